/* The peak memory and the time of importing files into an empty database,
 * each import in a process of its own (so that its peak is its own), the
 * files taken in turn (A B A B ...), with the median of each.
 *
 * Usage: bench-import [--runs N] [--no-bus] FILE...
 *   for example a track of a million points and a million landmarks,
 *   written by the shared corpus's generator:
 *     make-large-gpx.py track.gpx -n 0 --tracks 1 --track-points 1000000
 *     make-large-gpx.py places.lmx --format lmx -n 1000000
 *
 * Runs on a private session bus, in a temporary directory; the imports
 * announce what they store, as they would on a desktop. With --no-bus
 * they announce nothing: what the import itself takes. */

#include "lodex-private.h"
#include "bench-common.hpp"

#include <gio/gio.h>
#include <glib/gstdio.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace
{

/* The child: one import into a new database. */
int
import (const char *file, const char *database)
{
  /* "Failed to connect to the bus" is expected without one */
  g_log_set_handler (
    "Lodex", G_LOG_LEVEL_WARNING, [] (const gchar *, GLogLevelFlags, const gchar *, gpointer) {}, nullptr);
  LodexStore *store = _lodex_store_get_from_file (database, LODEX_BENCH_SCHEMA);
  g_autoptr (GError) error = nullptr;
  if (!lodex_store_import_from_file (store, file, &error))
    {
      fprintf (stderr, "%s: %s\n", file, error->message);
      return 1;
    }
  g_object_unref (store);
  return 0;
}

struct Run
{
  double seconds;
  long peak_kb;
};

Run
run_child (const char *self, const char *file, const char *dir)
{
  g_autofree gchar *database = g_build_filename (dir, "places.db", nullptr);
  bench::remove_scratch (dir, {"places.db"}, false);
  const char *argv[] = {self, "--import", file, database, nullptr};
  gint64 start = g_get_monotonic_time ();
  GPid pid;
  g_autoptr (GError) error = nullptr;
  if (!g_spawn_async (nullptr, const_cast<gchar **> (argv), nullptr, G_SPAWN_DO_NOT_REAP_CHILD, nullptr, nullptr, &pid,
                      &error))
    g_error ("%s", error->message);
  int status;
  struct rusage usage;
  if (wait4 (pid, &status, 0, &usage) != pid || !WIFEXITED (status) || WEXITSTATUS (status) != 0)
    g_error ("the import of %s failed", file);
  return {double (g_get_monotonic_time () - start) / G_USEC_PER_SEC, usage.ru_maxrss};
}

template <typename T>
T
median (std::vector<T> values)
{
  std::sort (values.begin (), values.end ());
  return values[values.size () / 2];
}

} // namespace

int
main (int argc, char **argv)
{
  if (argc == 4 && g_str_equal (argv[1], "--import"))
    return import (argv[2], argv[3]);
  int runs = 5;
  int first = 1;
  bool bus_wanted = true;
  for (;;)
    if (first + 1 < argc && g_str_equal (argv[first], "--runs"))
      {
        runs = atoi (argv[first + 1]);
        first += 2;
      }
    else if (first < argc && g_str_equal (argv[first], "--no-bus"))
      {
        bus_wanted = false;
        first++;
      }
    else
      break;
  if (first >= argc || runs < 1)
    {
      fprintf (stderr, "Usage: %s [--runs N] FILE...\n", argv[0]);
      return 2;
    }

  g_autofree gchar *self = g_file_read_link ("/proc/self/exe", nullptr);
  g_autofree gchar *dir = g_dir_make_tmp ("bench-import-XXXXXX", nullptr);
  g_autoptr (GTestDBus) bus = g_test_dbus_new (G_TEST_DBUS_NONE);
  if (bus_wanted)
    g_test_dbus_up (bus);
  else
    g_setenv ("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent", TRUE);

  int files = argc - first;
  std::vector<std::vector<Run>> results (files);
  for (int r = 0; r < runs; r++)
    for (int f = 0; f < files; f++) /* in turn: A B A B */
      results[f].push_back (run_child (self, argv[first + f], dir));

  g_print ("%d runs each, in turn; medians; %s\n", runs, bus_wanted ? "on a private bus" : "without a bus");
  for (int f = 0; f < files; f++)
    {
      std::vector<double> seconds;
      std::vector<long> peaks;
      for (const Run &run : results[f])
        {
          seconds.push_back (run.seconds);
          peaks.push_back (run.peak_kb);
        }
      GStatBuf st;
      g_stat (argv[first + f], &st);
      g_print ("%-40s %6.0f MB file  %7.2f s  peak %6.1f MB  (peaks %ld to %ld KB)\n", argv[first + f],
               st.st_size / 1e6, median (seconds), median (peaks) / 1024.0,
               *std::min_element (peaks.begin (), peaks.end ()), *std::max_element (peaks.begin (), peaks.end ()));
    }

  if (bus_wanted)
    g_test_dbus_down (bus);
  bench::remove_scratch (dir, {"places.db"});
  return 0;
}
