/* How fast a change reaches a live object in another process, and whether
 * any is lost: process A commits changes to a place that process B holds;
 * B reports each "changed" of its object.
 *
 * Usage: bench-live [LATENCY-CHANGES [RAPID-CHANGES]]   (default 1000 10000)
 *
 * Runs on a private session bus and in a temporary directory. */

#include "lodex-private.h"
#include "bench-common.hpp"

#include <gio/gio.h>
#include <glib/gstdio.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <thread>
#include <vector>

namespace
{

/* Process B: holds the place and reports every change of it. */
int
follow (const char *path, const char *id)
{
  LodexStore *store = _lodex_store_get_from_file (path, nullptr);
  LodexPlace *place = lodex_store_get_place_by_id (store, id);
  if (!place)
    g_error ("no place %s", id);
  g_signal_connect (place, "changed", G_CALLBACK (+[] (LodexPlace *p) {
                      printf ("%s %" G_GINT64_FORMAT "\n", _lodex_place_get_row (p)->name, g_get_monotonic_time ());
                      fflush (stdout);
                    }),
                    nullptr);
  bench::say_ready_on_bus ();

  g_autoptr (GMainLoop) loop = g_main_loop_new (nullptr, FALSE);
  g_signal_connect_swapped (place, "removed", G_CALLBACK (g_main_loop_quit), loop);
  g_main_loop_run (loop);
  g_object_unref (place);
  g_object_unref (store);
  return 0;
}

/* Reads B's next report; NULL once @cancellable fires (B went quiet). */
gchar *
read_line (GDataInputStream *from, GCancellable *cancellable = nullptr)
{
  gchar *line = g_data_input_stream_read_line_utf8 (from, nullptr, cancellable, nullptr);
  if (!line && !g_cancellable_is_cancelled (cancellable))
    g_error ("the follower stopped");
  return line;
}

/* Keeps this process's own main loop drained of its own echoes. */
void
drain (void)
{
  while (g_main_context_iteration (nullptr, FALSE))
    ;
}

gint64
time_of (const char *line, const char *expected_name)
{
  g_auto (GStrv) fields = g_strsplit (line, " ", 2);
  if (!fields[1] || !g_str_equal (fields[0], expected_name))
    return -1;
  return g_ascii_strtoll (fields[1], nullptr, 10);
}

} // namespace

int
main (int argc, char **argv)
{
  if (argc == 4 && g_str_equal (argv[1], "--follow"))
    return follow (argv[2], argv[3]);
  int latency_changes = argc > 1 ? atoi (argv[1]) : 1000;
  int rapid_changes = argc > 2 ? atoi (argv[2]) : 10000;

  g_autofree gchar *dir = g_dir_make_tmp ("bench-live-XXXXXX", nullptr);
  g_autofree gchar *path = g_build_filename (dir, "places.db", nullptr);
  g_autoptr (GTestDBus) bus = g_test_dbus_new (G_TEST_DBUS_NONE);
  g_test_dbus_up (bus);

  LodexStore *store = _lodex_store_get_from_file (path, LODEX_BENCH_SCHEMA);
  LodexPlace *place = lodex_place_new ("start", 60.17, 24.94);
  if (!lodex_store_add_place (store, place))
    g_error ("add failed");
  g_autofree gchar *id = g_strdup (_lodex_place_get_row (place)->id);

  g_autofree gchar *self = g_file_read_link ("/proc/self/exe", nullptr);
  g_autoptr (GError) error = nullptr;
  g_autoptr (GSubprocess) follower = g_subprocess_new (G_SUBPROCESS_FLAGS_STDOUT_PIPE, &error, self, "--follow",
                                                       path, id, nullptr);
  if (!follower)
    g_error ("%s", error->message);
  g_autoptr (GDataInputStream) from_b = g_data_input_stream_new (g_subprocess_get_stdout_pipe (follower));
  g_autofree gchar *ready = read_line (from_b);
  if (!g_str_equal (ready, "ready"))
    g_error ("the follower said '%s'", ready);

  /* one change at a time: commit here, "changed" there */
  std::vector<double> latencies;
  for (int i = 0; i < latency_changes; i++)
    {
      g_autofree gchar *name = g_strdup_printf ("L%d", i);
      g_object_set (place, "name", name, nullptr);
      gint64 committed = g_get_monotonic_time ();
      lodex_place_commit (place);
      g_autofree gchar *line = read_line (from_b);
      gint64 changed = time_of (line, name);
      if (changed < 0)
        g_error ("unexpected report '%s' for %s", line, name);
      latencies.push_back (double (changed - committed) / 1000.0);
      drain ();
    }
  std::sort (latencies.begin (), latencies.end ());

  /* a burst: every commit must reach B as its own "changed" */
  gint64 burst_start = g_get_monotonic_time ();
  for (int i = 0; i < rapid_changes; i++)
    {
      g_autofree gchar *name = g_strdup_printf ("R%d", i);
      g_object_set (place, "name", name, nullptr);
      lodex_place_commit (place);
    }
  gint64 burst_sent = g_get_monotonic_time ();
  int received = 0;
  g_autofree gchar *last = g_strdup ("");
  g_autofree gchar *final_name = g_strdup_printf ("R%d", rapid_changes - 1);
  /* a lost change would leave B quiet: give up after ten quiet seconds */
  g_autoptr (GCancellable) quiet = g_cancellable_new ();
  std::atomic<gint64> last_heard = g_get_monotonic_time ();
  std::atomic<bool> done = false;
  std::thread watchdog ([&] {
    while (!done && g_get_monotonic_time () - last_heard < 10 * G_USEC_PER_SEC)
      g_usleep (100 * 1000);
    g_cancellable_cancel (quiet);
  });
  while (received < rapid_changes)
    {
      gchar *line = read_line (from_b, quiet);
      if (!line)
        break;
      g_free (last);
      last = line;
      received++;
      last_heard = g_get_monotonic_time ();
      drain ();
    }
  done = true;
  watchdog.join ();
  gint64 burst_heard = g_get_monotonic_time ();
  /* the last report must show the last value: nothing stale is left */
  bool settled = time_of (last, final_name) >= 0;

  lodex_store_remove_place (store, place); /* ends the follower */
  g_subprocess_wait (follower, nullptr, nullptr);

  auto percentile = [&] (double p) { return latencies[std::min (latencies.size () - 1, size_t (p * latencies.size ()))]; };
  g_print ("commit in A to \"changed\" in B, %d changes one at a time (ms)\n", latency_changes);
  g_print ("  median %.3f   p90 %.3f   p99 %.3f   max %.3f\n", percentile (0.5), percentile (0.9),
           percentile (0.99), latencies.back ());
  g_print ("%d rapid changes: %d heard in B, %d missed; last value seen: %s\n", rapid_changes, received,
           rapid_changes - received, settled ? "the final one" : "stale");
  g_print ("  sent in %.0f ms (%.0f commits/s), all heard after %.0f ms\n", (burst_sent - burst_start) / 1000.0,
           rapid_changes / ((burst_sent - burst_start) / 1e6), (burst_heard - burst_start) / 1000.0);

  g_object_unref (place);
  drain ();
  g_object_unref (store);
  g_test_dbus_down (bus);
  bench::remove_scratch (dir, {"places.db"});
  return 0;
}
