/* GPX import and export of a large file, beside GPSBabel reading the same
 * file and writing GPX. The import writes every place to the database and
 * announces it; a listener in another process counts what it hears.
 *
 * Usage: bench-gpx FILE.gpx
 *   FILE.gpx: for example the 100,000 waypoints that
 *   `python3 make-large-gpx.py FILE.gpx` writes (the shared corpus's
 *   generator)
 *
 * Runs on a private session bus and in a temporary directory. */

#include "lodex-private.h"
#include "bench-common.hpp"

#include <gio/gio.h>
#include <glib/gstdio.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <cstdio>

namespace
{

/* The listener: a store on the same database, counting "place-added";
 * reports the count once it has @expected, or after five quiet seconds
 * once it heard something (an import is heard only at its commit). */
int
listen (const char *path, guint expected)
{
  LodexStore *store = _lodex_store_get_from_file (path, nullptr);
  guint heard = 0;
  g_signal_connect_swapped (store, "place-added", G_CALLBACK (+[] (guint *count) { (*count)++; }), &heard);
  bench::say_ready_on_bus ();

  gint64 last_heard = g_get_monotonic_time ();
  guint tick = g_timeout_add (
    100, [] (gpointer) -> gboolean { return G_SOURCE_CONTINUE; }, nullptr);
  while (heard < expected && g_get_monotonic_time () - last_heard < (heard ? 5 : 600) * G_USEC_PER_SEC)
    {
      guint before = heard;
      g_main_context_iteration (nullptr, TRUE);
      if (heard != before)
        last_heard = g_get_monotonic_time ();
    }
  g_source_remove (tick);
  printf ("%u %" G_GINT64_FORMAT "\n", heard, last_heard);
  fflush (stdout);
  g_object_unref (store);
  return 0;
}

long
peak_kb (int who)
{
  struct rusage usage;
  getrusage (who, &usage);
  return usage.ru_maxrss;
}

/* GPSBabel reading @in and writing GPX 1.1 to @out; seconds, and its peak
 * memory in kB. */
double
run_gpsbabel (const char *in, const char *out, long *peak)
{
  const char *argv[] = {"gpsbabel", "-i", "gpx", "-f", in, "-o", "gpx,gpxver=1.1", "-F", out, nullptr};
  gint64 start = g_get_monotonic_time ();
  GPid pid;
  g_autoptr (GError) error = nullptr;
  if (!g_spawn_async (nullptr, const_cast<gchar **> (argv), nullptr,
                      GSpawnFlags (G_SPAWN_SEARCH_PATH | G_SPAWN_DO_NOT_REAP_CHILD), nullptr, nullptr, &pid, &error))
    g_error ("gpsbabel: %s", error->message);
  int status;
  struct rusage usage;
  if (wait4 (pid, &status, 0, &usage) != pid || !WIFEXITED (status) || WEXITSTATUS (status) != 0)
    g_error ("gpsbabel failed");
  *peak = usage.ru_maxrss;
  return double (g_get_monotonic_time () - start) / G_USEC_PER_SEC;
}

guint
count_waypoints (const char *file)
{
  g_autofree gchar *text = nullptr;
  if (!g_file_get_contents (file, &text, nullptr, nullptr))
    g_error ("cannot read %s", file);
  guint count = 0;
  for (const char *p = text; (p = strstr (p, "<wpt ")); p++)
    count++;
  return count;
}

} // namespace

int
main (int argc, char **argv)
{
  if (argc == 4 && g_str_equal (argv[1], "--listen"))
    return listen (argv[2], guint (g_ascii_strtoull (argv[3], nullptr, 10)));
  if (argc != 2)
    {
      fprintf (stderr, "Usage: %s FILE.gpx\n", argv[0]);
      return 2;
    }
  const char *file = argv[1];
  guint n = count_waypoints (file);

  g_autofree gchar *dir = g_dir_make_tmp ("bench-gpx-XXXXXX", nullptr);
  g_autofree gchar *path = g_build_filename (dir, "places.db", nullptr);
  g_autofree gchar *exported = g_build_filename (dir, "exported.gpx", nullptr);
  g_autofree gchar *babel_out = g_build_filename (dir, "gpsbabel.gpx", nullptr);
  g_autoptr (GTestDBus) bus = g_test_dbus_new (G_TEST_DBUS_NONE);
  g_test_dbus_up (bus);

  LodexStore *store = _lodex_store_get_from_file (path, LODEX_BENCH_SCHEMA);
  g_autofree gchar *self = g_file_read_link ("/proc/self/exe", nullptr);
  g_autofree gchar *expected = g_strdup_printf ("%u", n);
  g_autoptr (GError) error = nullptr;
  g_autoptr (GSubprocess) listener = g_subprocess_new (G_SUBPROCESS_FLAGS_STDOUT_PIPE, &error, self, "--listen",
                                                       path, expected, nullptr);
  if (!listener)
    g_error ("%s", error->message);
  g_autoptr (GDataInputStream) from_listener = g_data_input_stream_new (g_subprocess_get_stdout_pipe (listener));
  g_autofree gchar *ready = g_data_input_stream_read_line_utf8 (from_listener, nullptr, nullptr, nullptr);
  if (g_strcmp0 (ready, "ready") != 0)
    g_error ("the listener said '%s'", ready);

  /* first, while this process is small: a child's peak counts what it
   * was forked from */
  long babel_peak = 0;
  double babel_s = run_gpsbabel (file, babel_out, &babel_peak);

  /* the import's own messages are not what is measured */
  g_log_set_handler (
    "Lodex", G_LOG_LEVEL_MESSAGE, [] (const gchar *, GLogLevelFlags, const gchar *, gpointer) {},
    nullptr);
  long peak_before = peak_kb (RUSAGE_SELF);
  gint64 import_start = g_get_monotonic_time ();
  if (!lodex_import_from_gpx_file (store, file, &error))
    g_error ("import: %s", error->message);
  double import_s = double (g_get_monotonic_time () - import_start) / G_USEC_PER_SEC;
  long peak_import = peak_kb (RUSAGE_SELF);

  g_autofree gchar *report = g_data_input_stream_read_line_utf8 (from_listener, nullptr, nullptr, nullptr);
  guint heard = 0;
  gint64 heard_at = 0;
  if (!report || sscanf (report, "%u %" G_GINT64_FORMAT, &heard, &heard_at) != 2)
    g_error ("the listener stopped");
  g_subprocess_wait (listener, nullptr, nullptr);
  while (g_main_context_iteration (nullptr, FALSE)) /* our own echoes */
    ;

  gint64 start = g_get_monotonic_time ();
  if (!lodex_export_set_to_gpx_file (LODEX_SET (store), exported, &error))
    g_error ("export: %s", error->message);
  double export_s = double (g_get_monotonic_time () - start) / G_USEC_PER_SEC;
  long peak_export = peak_kb (RUSAGE_SELF);
  guint written = count_waypoints (exported);

  g_print ("%u waypoints in %s\n", n, file);
  g_print ("import   %7.2f s  %8.0f waypoints/s  (%.2f x GPSBabel's time); listener heard %u of %u place-added, "
           "the last %.2f s after the import began\n",
           import_s, n / import_s, import_s / babel_s, heard, n, double (heard_at - import_start) / G_USEC_PER_SEC);
  g_print ("export   %7.2f s  %8.0f waypoints/s  (%.2f x GPSBabel's time); %u waypoints written\n", export_s,
           n / export_s, export_s / babel_s, written);
  g_print ("gpsbabel %7.2f s  %8.0f waypoints/s  (reads the file and writes GPX 1.1)\n", babel_s, n / babel_s);
  g_print ("peak memory: this process %ld MB before the import, %ld MB after it, %ld MB after the export; "
           "gpsbabel %ld MB\n",
           peak_before / 1024, peak_import / 1024, peak_export / 1024, babel_peak / 1024);

  g_object_unref (store);
  g_test_dbus_down (bus);
  for (const char *name : {exported, babel_out})
    g_unlink (name);
  bench::remove_scratch (dir, {"places.db"});
  return heard == n && written == n ? 0 : 1;
}
