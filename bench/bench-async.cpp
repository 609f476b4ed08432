/* How long the caller's main loop stalls while an asynchronous import
 * runs: a 1 ms timeout source notes the gap between its dispatches, from
 * the start of the import to its callback, then on to the store's batch
 * of changes for what was stored (the store reading it on its own thread),
 * and then as long again with no work, for the machine's own stalls.
 *
 * Usage: bench-async [--runs N] FILE
 *   for example 100,000 waypoints from the shared corpus's generator:
 *     make-large-gpx.py large.gpx
 *
 * Runs on a private session bus, each run into a new database in a
 * temporary directory. */

#include "lodex-private.h"
#include "bench-common.hpp"

#include <cstdlib>
#include <cstring>

namespace
{

struct Watch
{
  gint64 last = 0;
  gint64 longest = 0; /* microseconds between two ticks */
  guint ticks = 0;

  void
  reset ()
  {
    last = g_get_monotonic_time ();
    longest = 0;
    ticks = 0;
  }
};

gboolean
tick (gpointer data)
{
  auto watch = static_cast<Watch *> (data);
  gint64 now = g_get_monotonic_time ();
  watch->longest = MAX (watch->longest, now - watch->last);
  watch->last = now;
  watch->ticks++;
  return G_SOURCE_CONTINUE;
}

struct Run
{
  bool finished = false;
  bool told = false; /* the store's batch of changes came */
  guint progress_calls = 0;
  LodexImportResult *result = nullptr;
  GError *error = nullptr;
};

void
on_progress (guint64, goffset, goffset, gpointer data)
{
  static_cast<Run *> (data)->progress_calls++;
}

void
on_imported (GObject *store, GAsyncResult *result, gpointer data)
{
  auto run = static_cast<Run *> (data);
  run->result = lodex_store_import_finish (LODEX_STORE (store), result, &run->error);
  run->finished = true;
}

void
on_changes (LodexStore *, GPtrArray *, gboolean, gpointer data)
{
  static_cast<Run *> (data)->told = true;
}

} // namespace

int
main (int argc, char **argv)
{
  int runs = 3;
  if (argc > 2 && strcmp (argv[1], "--runs") == 0)
    {
      runs = atoi (argv[2]);
      argv += 2;
      argc -= 2;
    }
  if (argc != 2 || runs < 1)
    {
      fprintf (stderr, "Usage: bench-async [--runs N] FILE\n");
      return 1;
    }
  g_autoptr (GFile) file = g_file_new_for_path (argv[1]);
  g_autofree gchar *dir = g_dir_make_tmp ("bench-async-XXXXXX", nullptr);
  g_autofree gchar *path = g_build_filename (dir, "places.db", nullptr);
  g_autoptr (GTestDBus) bus = g_test_dbus_new (G_TEST_DBUS_NONE);
  g_test_dbus_up (bus);

  printf ("run  places  import s  ticks  progress  longest stall ms (import)  (catch-up)  (no work)\n");
  std::vector<double> import_stalls, catch_up_stalls, idle_stalls;
  for (int i = 0; i < runs; i++)
    {
      bench::remove_scratch (dir, {"places.db"}, false);
      LodexStore *store = _lodex_store_get_from_file (path, LODEX_BENCH_SCHEMA);
      Run run;
      gulong handler = g_signal_connect (store, "changes", G_CALLBACK (on_changes), &run);
      /* the store listens from its first iteration */
      while (g_main_context_iteration (nullptr, FALSE))
        ;

      Watch watch;
      guint source = g_timeout_add (1, tick, &watch);
      watch.reset ();
      gint64 start = g_get_monotonic_time ();
      lodex_store_import_async (store, file, nullptr, nullptr, on_progress, &run, nullptr, on_imported, &run);
      while (!run.finished)
        g_main_context_iteration (nullptr, TRUE);
      double seconds = (g_get_monotonic_time () - start) / 1e6;
      if (!run.result)
        g_error ("%s", run.error->message);
      double import_stall = watch.longest / 1000.0;
      guint ticks = watch.ticks;

      watch.reset ();
      while (!run.told)
        g_main_context_iteration (nullptr, TRUE);
      double catch_up_stall = watch.longest / 1000.0;

      /* the machine's own: as long again, with nothing running */
      watch.reset ();
      gint64 idle_end = g_get_monotonic_time () + gint64 (seconds * G_USEC_PER_SEC);
      while (g_get_monotonic_time () < idle_end)
        g_main_context_iteration (nullptr, TRUE);
      double idle_stall = watch.longest / 1000.0;
      g_source_remove (source);

      printf ("%3d  %6u  %8.2f  %5u  %8u  %25.1f  %10.1f  %10.1f\n", i + 1, lodex_import_result_get_added (run.result),
              seconds, ticks, run.progress_calls, import_stall, catch_up_stall, idle_stall);
      idle_stalls.push_back (idle_stall);
      import_stalls.push_back (import_stall);
      catch_up_stalls.push_back (catch_up_stall);
      g_clear_object (&run.result);
      g_signal_handler_disconnect (store, handler);
      g_object_unref (store);
    }
  printf ("median longest stall: %.1f ms during the import, %.1f ms while the store reads what it stored, "
          "%.1f ms with no work as long (the machine's own)\n",
          bench::median (import_stalls), bench::median (catch_up_stalls), bench::median (idle_stalls));

  bench::remove_scratch (dir, {"places.db"});
  g_test_dbus_down (bus);
  return 0;
}
