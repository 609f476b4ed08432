/* libFuzzer target for one file reader, built once per format (FUZZ_NAME,
 * FUZZ_SUFFIX and FUZZ_IMPORT come from fuzz/meson.build): each input is
 * imported, as a file, into a store on a scratch database. Besides what
 * the sanitizers catch, a warning or critical logged during an import is a
 * finding: file content must only ever give a GError.
 *
 * Run by hand (the first directory receives new inputs):
 *   mkdir -p _build/fuzz/lmx-corpus
 *   _build/fuzz/fuzz/fuzz-lmx -max_total_time=30 _build/fuzz/lmx-corpus \
 *     tests/data/lmx tests/data/lmx/bad
 *   mkdir -p _build/fuzz/geojson-corpus
 *   _build/fuzz/fuzz/fuzz-geojson -max_total_time=30 _build/fuzz/geojson-corpus \
 *     tests/data/geojson tests/data/geojson/fuzz */

#include "lodex-private.h"

#include <glib/gstdio.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

namespace
{

LodexStore *store;
gchar *schema;
gchar *dir;
gchar *input;
guint runs;
bool importing;

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

/* A new database now and then, so that it does not grow for ever. */
void
renew_store (void)
{
  g_clear_object (&store);
  for (const char *name : {"fuzz.db", "fuzz.db-wal", "fuzz.db-shm"})
    {
      g_autofree gchar *path = g_build_filename (dir, name, nullptr);
      g_unlink (path);
    }
  g_autofree gchar *path = g_build_filename (dir, "fuzz.db", nullptr);
  store = _lodex_store_get_from_file (path, schema);
  if (!store)
    abort ();
}

/* The source tree's schema. Meson compiles in the build directory, two
 * levels above this program, and names sources relative to it. */
gchar *
find_schema (void)
{
  g_autofree gchar *source = nullptr;
  if (g_path_is_absolute (__FILE__))
    source = g_strdup (__FILE__);
  else
    {
      g_autofree gchar *self = g_file_read_link ("/proc/self/exe", nullptr);
      g_autofree gchar *program_dir = g_path_get_dirname (self);
      g_autofree gchar *build_dir = g_path_get_dirname (program_dir);
      source = g_build_filename (build_dir, __FILE__, nullptr);
    }
  g_autofree gchar *path = g_build_filename (source, "..", "..", "data", "database-schema", nullptr);
  return g_canonicalize_filename (path, nullptr);
}

} // namespace

extern "C" int
LLVMFuzzerInitialize (int *argc, char ***argv)
{
  schema = find_schema ();
  if (!g_file_test (schema, G_FILE_TEST_EXISTS))
    {
      g_printerr ("no schema at %s\n", schema);
      abort ();
    }
  /* no broadcasts: the tracker stays mute */
  g_setenv ("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent", TRUE);
  g_log_set_default_handler (on_log, nullptr);
  dir = g_dir_make_tmp ("fuzz-" FUZZ_NAME "-XXXXXX", nullptr);
  input = g_build_filename (dir, "input" FUZZ_SUFFIX, nullptr);
  return 0;
}

extern "C" int
LLVMFuzzerTestOneInput (const uint8_t *data, size_t size)
{
  if (runs++ % 2000 == 0)
    renew_store ();
  if (!g_file_set_contents (input, reinterpret_cast<const char *> (data), gssize (size), nullptr))
    abort ();

  g_autoptr (GError) error = nullptr;
  importing = true;
  gboolean ok = FUZZ_IMPORT (store, input, &error);
  importing = false;
  if (ok == (error != nullptr))
    abort (); /* FALSE comes with an error, TRUE without */
  if (error && error->domain != LODEX_ERROR)
    abort ();
  return 0;
}
