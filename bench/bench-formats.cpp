/* GeoJSON and GPX side by side: a store of many places exported to each
 * format and the file imported back into an empty database, each export
 * and import in a process of its own (so that its peak memory is its own),
 * the formats taken in turn (A B A B ...), with the median of each.
 *
 * Usage: bench-formats [--runs N] [--places N]
 *
 * The places (100,000 by default) have a name, a description, an altitude,
 * one in seven a category (of 20), one in ten a link and a city. Runs
 * without a bus, in a temporary directory: what the formats take. */

#include "lodex-private.h"
#include "bench-common.hpp"

#include <gio/gio.h>
#include <glib/gstdio.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

namespace
{

LodexStore *
open_store (const char *database)
{
  /* "Failed to connect to the bus" is expected without one */
  g_log_set_handler (
    "Lodex", G_LOG_LEVEL_WARNING, [] (const gchar *, GLogLevelFlags, const gchar *, gpointer) {}, nullptr);
  return _lodex_store_get_from_file (database, LODEX_BENCH_SCHEMA);
}

/* The children: one export of a whole store, or one import into a new
 * database; the format is the file name's. */
int
child (const char *what, const char *database, const char *file)
{
  LodexStore *store = open_store (database);
  g_autoptr (GError) error = nullptr;
  bool export_ = g_str_equal (what, "--export");
  if (!(export_ ? lodex_store_export_to_file (store, file, &error) : lodex_store_import_from_file (store, file, &error)))
    {
      fprintf (stderr, "%s: %s\n", file, error->message);
      return 1;
    }
  g_object_unref (store);
  return 0;
}

/* The source: written as GeoJSON, then imported. */
void
write_source (const char *path, int places)
{
  FILE *file = fopen (path, "w");
  if (!file)
    g_error ("cannot write %s", path);
  fputs ("{\"type\": \"FeatureCollection\", \"features\": [\n", file);
  for (int i = 0; i < places; i++)
    {
      fprintf (file,
               "%s{\"type\": \"Feature\", \"geometry\": {\"type\": \"Point\", \"coordinates\": [%.7f, %.7f, %d.5]}, "
               "\"properties\": {\"name\": \"P%06d\", \"description\": \"Place number %d, with a description of some "
               "length\"",
               i ? "," : "", -180 + 360.0 * double ((gint64 (i) * 7919) % places) / places, -80 + 160.0 * double ((gint64 (i) * 104729) % places) / places,
               i % 3000, i + 1, i + 1);
      if (i % 7 == 0)
        fprintf (file, ", \"categories\": [\"Category %d\"]", i % 20);
      if (i % 10 == 0)
        fprintf (file, ", \"city\": \"City %d\", \"links\": [{\"url\": \"https://example.org/%d\"}]", i % 500, i);
      fputs ("}}\n", file);
    }
  fputs ("]}\n", file);
  if (fclose (file) != 0)
    g_error ("cannot write %s", path);
}

struct Run
{
  double seconds;     /* on the wall */
  double cpu_seconds; /* user and system: less noisy on a shared machine */
  long peak_kb;
};

Run
run_child (const char *self, const char *what, const char *database, const char *file)
{
  const char *argv[] = {self, what, database, file, nullptr};
  gint64 start = g_get_monotonic_time ();
  GPid pid;
  g_autoptr (GError) error = nullptr;
  if (!g_spawn_async (nullptr, const_cast<gchar **> (argv), nullptr, G_SPAWN_DO_NOT_REAP_CHILD, nullptr, nullptr, &pid,
                      &error))
    g_error ("%s", error->message);
  int status;
  struct rusage usage;
  if (wait4 (pid, &status, 0, &usage) != pid || !WIFEXITED (status) || WEXITSTATUS (status) != 0)
    g_error ("%s %s failed", what, file);
  auto seconds = [] (const struct timeval &t) { return double (t.tv_sec) + t.tv_usec / 1e6; };
  return {double (g_get_monotonic_time () - start) / G_USEC_PER_SEC,
          seconds (usage.ru_utime) + seconds (usage.ru_stime), usage.ru_maxrss};
}

template <typename T>
T
median (std::vector<T> values)
{
  std::sort (values.begin (), values.end ());
  return values[values.size () / 2];
}

void
remove_database (const char *path)
{
  for (const char *suffix : {"", "-wal", "-shm", "-journal"})
    {
      g_autofree gchar *name = g_strconcat (path, suffix, nullptr);
      g_unlink (name);
    }
}

} // namespace

int
main (int argc, char **argv)
{
  if (argc == 4 && (g_str_equal (argv[1], "--export") || g_str_equal (argv[1], "--import")))
    return child (argv[1], argv[2], argv[3]);
  int runs = 3, places = 100000;
  for (int i = 1; i < argc; i++)
    if (i + 1 < argc && g_str_equal (argv[i], "--runs"))
      runs = atoi (argv[++i]);
    else if (i + 1 < argc && g_str_equal (argv[i], "--places"))
      places = atoi (argv[++i]);
    else
      {
        fprintf (stderr, "Usage: %s [--runs N] [--places N]\n", argv[0]);
        return 2;
      }
  if (runs < 1 || places < 1)
    return 2;

  g_setenv ("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent", TRUE);
  g_autofree gchar *self = g_file_read_link ("/proc/self/exe", nullptr);
  g_autofree gchar *dir = g_dir_make_tmp ("bench-formats-XXXXXX", nullptr);
  g_autofree gchar *source_file = g_build_filename (dir, "source.geojson", nullptr);
  g_autofree gchar *source = g_build_filename (dir, "source.db", nullptr);
  g_autofree gchar *target = g_build_filename (dir, "target.db", nullptr);
  write_source (source_file, places);
  run_child (self, "--import", source, source_file);
  g_unlink (source_file);

  const char *formats[] = {"geojson", "gpx"};
  std::vector<Run> exports[2], imports[2];
  gint64 sizes[2] = {};
  for (int r = 0; r < runs; r++)
    for (int f = 0; f < 2; f++) /* in turn: A B A B */
      {
        g_autofree gchar *name = g_strdup_printf ("places.%s", formats[f]);
        g_autofree gchar *file = g_build_filename (dir, name, nullptr);
        exports[f].push_back (run_child (self, "--export", source, file));
        remove_database (target);
        imports[f].push_back (run_child (self, "--import", target, file));
        GStatBuf st;
        g_stat (file, &st);
        sizes[f] = st.st_size;
        g_unlink (file);
      }

  g_print ("%d places; %d runs each, in turn; medians; without a bus\n", places, runs);
  g_print ("%-8s %9s  %9s %9s %11s  %9s %9s %11s\n", "format", "file", "export", "(cpu)", "export peak", "import",
           "(cpu)", "import peak");
  for (int f = 0; f < 2; f++)
    {
      auto seconds = [] (const std::vector<Run> &v, bool cpu = false) {
        std::vector<double> s;
        for (const Run &run : v)
          s.push_back (cpu ? run.cpu_seconds : run.seconds);
        return median (s);
      };
      auto peak = [] (const std::vector<Run> &v) {
        std::vector<long> p;
        for (const Run &run : v)
          p.push_back (run.peak_kb);
        return median (p) / 1024.0;
      };
      g_print ("%-8s %6.1f MB  %7.2f s %7.2f s %8.1f MB  %7.2f s %7.2f s %8.1f MB\n", formats[f], sizes[f] / 1e6,
               seconds (exports[f]), seconds (exports[f], true), peak (exports[f]), seconds (imports[f]),
               seconds (imports[f], true), peak (imports[f]));
    }

  remove_database (source);
  remove_database (target);
  g_rmdir (dir);
  return 0;
}
