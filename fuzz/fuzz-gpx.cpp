/* libFuzzer target: each input is a GPX file, imported whole into a store
 * (the place-data extension included), then the store is emptied. Besides
 * what the sanitizers catch, a warning or critical logged during an import
 * is a finding: file content must only ever give a GError.
 *
 *   CC=clang CXX=clang++ meson setup _build/fuzz -Dfuzzing=true \
 *     -Db_sanitize=address,undefined -Db_lundef=false
 *   meson compile -C _build/fuzz fuzz/fuzz-gpx
 *   mkdir -p _build/fuzz/gpx-corpus
 *   _build/fuzz/fuzz/fuzz-gpx -dict=tests/data/gpx/fuzz/gpx.dict \
 *     _build/fuzz/gpx-corpus tests/data/gpx tests/data/gpx/fuzz
 *
 * The store works without a bus, and its schema is the source tree's. */

#include "lodex-private.h"

#include <glib/gstdio.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

namespace
{

LodexStore *store;
gchar *directory;
gchar *input;
bool importing;

/* The source tree's schema: this file is compiled by its path relative to
 * the build directory, two levels above the program. */
gchar *
schema_path (void)
{
  g_autofree gchar *program = g_file_read_link ("/proc/self/exe", nullptr);
  g_autofree gchar *program_dir = g_path_get_dirname (program);
  g_autofree gchar *build_dir = g_path_get_dirname (program_dir);
  g_autofree gchar *source = g_path_is_absolute (__FILE__) ? g_strdup (__FILE__)
                                                           : g_build_filename (build_dir, __FILE__, nullptr);
  g_autofree gchar *fuzz_dir = g_path_get_dirname (source);
  return g_build_filename (fuzz_dir, "..", "data", "database-schema", nullptr);
}

/* Traces are dropped; a warning or critical while importing aborts, so
 * that libFuzzer keeps the input. */
void
on_log (const gchar *domain, GLogLevelFlags level, const gchar *message, gpointer)
{
  if (importing && (level & (G_LOG_LEVEL_ERROR | G_LOG_LEVEL_CRITICAL | G_LOG_LEVEL_WARNING)))
    {
      g_printerr ("logged while importing: %s\n", message);
      abort ();
    }
}

void
remove_scratch (void)
{
  for (const char *name : {"input.gpx", "places.db", "places.db-wal", "places.db-shm"})
    {
      g_autofree gchar *path = g_build_filename (directory, name, nullptr);
      g_unlink (path);
    }
  g_rmdir (directory);
}

} // namespace

extern "C" int
LLVMFuzzerInitialize (int *argc, char ***argv)
{
  g_log_set_default_handler (on_log, nullptr);
  g_setenv ("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent", TRUE);
  directory = g_dir_make_tmp ("fuzz-gpx-XXXXXX", nullptr);
  input = g_build_filename (directory, "input.gpx", nullptr);
  atexit (remove_scratch);
  g_autofree gchar *database = g_build_filename (directory, "places.db", nullptr);
  g_autofree gchar *schema = schema_path ();
  if (!g_file_test (schema, G_FILE_TEST_EXISTS))
    g_error ("no schema at %s", schema);
  store = _lodex_store_get_from_file (database, schema);
  if (!store)
    g_error ("no store");
  return 0;
}

extern "C" int
LLVMFuzzerTestOneInput (const uint8_t *data, size_t size)
{
  if (!g_file_set_contents (input, reinterpret_cast<const char *> (data), gssize (size), nullptr))
    g_error ("cannot write %s", input);
  GError *error = nullptr;
  importing = true;
  gboolean ok = lodex_import_from_gpx_file (store, input, &error);
  importing = false;
  if (ok == (error != nullptr))
    abort (); /* FALSE comes with an error, TRUE without */
  g_clear_error (&error);

  /* what was stored goes, so that every input starts from an empty store */
  sqlite3 *db = _lodex_set_get_db (LODEX_SET (store));
  if (sqlite3_exec (db, "DELETE FROM places; DELETE FROM categories; DELETE FROM routes;", nullptr, nullptr,
                    nullptr)
      != SQLITE_OK)
    g_error ("cannot empty the store: %s", sqlite3_errmsg (db));
  return 0;
}
