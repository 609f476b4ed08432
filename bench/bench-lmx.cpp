/* LMX import and export of a large file, beside gpsbabel converting the same
 * file to GPX in the same run. Prints landmarks per second, the peak memory
 * of each phase, and how many "place-added" a store in another process
 * heard.
 *
 * Usage: bench-lmx FILE.lmx [RUNS] [--traces]   (default 3 runs, best kept)
 *
 * Make FILE with shared/corpus/make-large-gpx.py OUT --format lmx -n 100000.
 * Each phase runs in a process of its own, so that its peak memory is its
 * own; the import's "%s := %s" traces are dropped unless --traces (they
 * then go to standard error). Runs on a private session bus and in a
 * temporary directory. */

#include "lodex-private.h"
#include "bench-common.hpp"

#include <gio/gio.h>
#include <glib/gstdio.h>

#include <sys/resource.h>
#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace
{

long
peak_kb ()
{
  struct rusage usage;
  getrusage (RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

void
drop_traces (const gchar *, GLogLevelFlags, const gchar *, gpointer)
{
}

guint
count_places (LodexStore *store)
{
  guint n = 0;
  for (LodexPlace *place = lodex_set_first (LODEX_SET (store)); place; place = lodex_set_next (LODEX_SET (store)))
    {
      n++;
      g_object_unref (place);
    }
  return n;
}

/* Child: imports FILE into a new database; prints seconds, peak memory and
 * places, then how long until its own store heard every place-added. */
int
import (const char *db, const char *file, bool traces, bool mute)
{
  LodexStore *store = _lodex_store_get_from_file (db, LODEX_BENCH_SCHEMA);
  guint heard = 0;
  g_signal_connect_swapped (store, "place-added", G_CALLBACK (+[] (guint *count) { (*count)++; }), &heard);
  if (!traces)
    g_log_set_handler ("Lodex", G_LOG_LEVEL_MESSAGE, drop_traces, nullptr);

  gint64 start = g_get_monotonic_time ();
  g_autoptr (GError) error = nullptr;
  if (!lodex_import_from_lmx_file (store, file, &error))
    g_error ("import: %s", error->message);
  double seconds = double (g_get_monotonic_time () - start) / G_USEC_PER_SEC;
  long peak = peak_kb ();
  guint places = count_places (store);
  printf ("import %.3f %ld %u\n", seconds, peak, places);
  fflush (stdout);

  /* as an application would: its main loop handles the echoes */
  guint tick = g_timeout_add (
    100, [] (gpointer) -> gboolean { return G_SOURCE_CONTINUE; }, nullptr);
  const gint64 deadline = g_get_monotonic_time () + 60 * G_USEC_PER_SEC;
  while (!mute && heard < places && g_get_monotonic_time () < deadline)
    g_main_context_iteration (nullptr, TRUE);
  g_source_remove (tick);
  printf ("echoes %.3f %u %ld\n", double (g_get_monotonic_time () - start) / G_USEC_PER_SEC, heard, peak_kb ());
  g_object_unref (store);
  return 0;
}

/* Child: exports the whole store. */
int
export_all (const char *db, const char *file)
{
  LodexStore *store = _lodex_store_get_from_file (db, LODEX_BENCH_SCHEMA);
  long before = peak_kb ();
  gint64 start = g_get_monotonic_time ();
  g_autoptr (GError) error = nullptr;
  if (!lodex_export_set_to_lmx_file (LODEX_SET (store), file, &error))
    g_error ("export: %s", error->message);
  printf ("export %.3f %ld %ld\n", double (g_get_monotonic_time () - start) / G_USEC_PER_SEC, peak_kb (), before);
  g_object_unref (store);
  return 0;
}

/* Child: another process's store, counting place-added until @expected or
 * five quiet seconds. */
int
listen (const char *db, guint expected)
{
  LodexStore *store = _lodex_store_get_from_file (db, LODEX_BENCH_SCHEMA);
  struct
  {
    guint heard = 0;
    gint64 last = 0;
  } state;
  g_signal_connect_swapped (store, "place-added", G_CALLBACK (+[] (decltype (state) *s) {
                              s->heard++;
                              s->last = g_get_monotonic_time ();
                            }),
                            &state);
  bench::say_ready_on_bus ();
  /* a lost broadcast would leave us waiting: give up after quiet seconds,
   * once something was heard (an import is heard only at its commit) */
  guint tick = g_timeout_add (
    100, [] (gpointer) -> gboolean { return G_SOURCE_CONTINUE; }, nullptr);
  gint64 quiet_since = g_get_monotonic_time ();
  guint before = 0;
  while (state.heard < expected && g_get_monotonic_time () - quiet_since < (state.heard ? 5 : 600) * G_USEC_PER_SEC)
    {
      g_main_context_iteration (nullptr, TRUE);
      if (state.heard != before)
        {
          before = state.heard;
          quiet_since = g_get_monotonic_time ();
        }
    }
  g_source_remove (tick);
  printf ("heard %u %" G_GINT64_FORMAT "\n", state.heard, state.last);
  fflush (stdout);
  g_object_unref (store);
  return 0;
}

gchar *
run_child (const char *const *argv, GSubprocess **out_process = nullptr, bool no_bus = false)
{
  g_autoptr (GError) error = nullptr;
  g_autoptr (GSubprocessLauncher) launcher = g_subprocess_launcher_new (G_SUBPROCESS_FLAGS_STDOUT_PIPE);
  if (no_bus) /* the tracker warns once and stays mute */
    g_subprocess_launcher_setenv (launcher, "DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent", TRUE);
  g_autoptr (GSubprocess) child = g_subprocess_launcher_spawnv (launcher, argv, &error);
  if (!child)
    g_error ("%s: %s", argv[0], error->message);
  if (out_process)
    {
      *out_process = static_cast<GSubprocess *> (g_steal_pointer (&child));
      return nullptr;
    }
  gchar *out = nullptr;
  if (!g_subprocess_communicate_utf8 (child, nullptr, nullptr, &out, nullptr, &error) || !g_subprocess_get_successful (child))
    g_error ("%s %s failed", argv[0], argv[1]);
  return out;
}

gchar *
read_line (GDataInputStream *from)
{
  gchar *line = g_data_input_stream_read_line_utf8 (from, nullptr, nullptr, nullptr);
  if (!line)
    g_error ("a child stopped");
  return line;
}

} // namespace

int
main (int argc, char **argv)
{
  if (argc >= 5 && g_str_equal (argv[1], "--import"))
    return import (argv[2], argv[3], g_str_equal (argv[4], "traces"), g_str_equal (argv[4], "mute"));
  if (argc == 4 && g_str_equal (argv[1], "--export"))
    return export_all (argv[2], argv[3]);
  if (argc == 4 && g_str_equal (argv[1], "--listen"))
    return listen (argv[2], guint (atoi (argv[3])));
  if (argc < 2)
    {
      fprintf (stderr, "usage: %s FILE.lmx [RUNS] [--traces]\n", argv[0]);
      return 2;
    }
  const char *file = argv[1];
  int runs = argc > 2 && g_ascii_isdigit (argv[2][0]) ? atoi (argv[2]) : 3;
  bool traces = g_str_equal (argv[argc - 1], "--traces");

  g_autofree gchar *dir = g_dir_make_tmp ("bench-lmx-XXXXXX", nullptr);
  g_autofree gchar *self = g_file_read_link ("/proc/self/exe", nullptr);
  g_autofree gchar *gpx = g_build_filename (dir, "gpsbabel.gpx", nullptr);
  g_autofree gchar *exported = g_build_filename (dir, "exported.lmx", nullptr);
  g_autoptr (GTestDBus) bus = g_test_dbus_new (G_TEST_DBUS_NONE);
  g_test_dbus_up (bus);

  /* the peer: gpsbabel reads the file and writes GPX */
  double babel = G_MAXDOUBLE;
  for (int run = 0; run < runs; run++)
    {
      const char *babel_argv[] = {"gpsbabel", "-i", "lmx", "-f", file, "-o", "gpx", "-F", gpx, nullptr};
      gint64 start = g_get_monotonic_time ();
      g_free (run_child (babel_argv));
      babel = std::min (babel, double (g_get_monotonic_time () - start) / G_USEC_PER_SEC);
    }

  /* import, each run into a new database; the first with a listener in
   * another process */
  double import_s = G_MAXDOUBLE, echoes_s = 0;
  long import_kb = 0;
  guint places = 0, heard_self = 0, heard_other = 0;
  double heard_other_s = 0;
  g_autofree gchar *db = nullptr;
  for (int run = 0; run < runs; run++)
    {
      if (db)
        bench::remove_scratch (dir, {"import.db"});
      g_free (db);
      db = g_build_filename (dir, "import.db", nullptr);
      /* the schema first, so that the listener finds the tables */
      g_object_unref (_lodex_store_get_from_file (db, LODEX_BENCH_SCHEMA));

      g_autoptr (GSubprocess) listener = nullptr;
      g_autoptr (GDataInputStream) from_listener = nullptr;
      if (run == 0)
        {
          g_autofree gchar *expected = g_strdup_printf ("%u", G_MAXUINT);
          const char *listen_argv[] = {self, "--listen", db, expected, nullptr};
          run_child (listen_argv, &listener);
          from_listener = g_data_input_stream_new (g_subprocess_get_stdout_pipe (listener));
          g_autofree gchar *ready = read_line (from_listener);
          if (!g_str_equal (ready, "ready"))
            g_error ("the listener said '%s'", ready);
        }

      const char *import_argv[] = {self, "--import", db, file, traces ? "traces" : "-", nullptr};
      gint64 started = g_get_monotonic_time ();
      g_autofree gchar *out = run_child (import_argv);
      double seconds, echoes;
      long kb, kb_after;
      guint n, heard;
      if (sscanf (out, "import %lf %ld %u\nechoes %lf %u %ld", &seconds, &kb, &n, &echoes, &heard, &kb_after) != 6)
        g_error ("import said: %s", out);
      if (seconds < import_s)
        {
          import_s = seconds;
          import_kb = kb;
          echoes_s = echoes;
        }
      places = n;
      heard_self = heard;

      if (listener)
        {
          g_autofree gchar *line = read_line (from_listener);
          gint64 last;
          if (sscanf (line, "heard %u %" G_GINT64_FORMAT, &heard_other, &last) != 2)
            g_error ("listener said: %s", line);
          heard_other_s = double (last - started) / G_USEC_PER_SEC;
          g_subprocess_wait (listener, nullptr, nullptr);
        }
    }

  /* the same without a bus: what the reader and the database cost alone */
  double mute_s = G_MAXDOUBLE;
  long mute_kb = 0;
  for (int run = 0; run < runs; run++)
    {
      g_autofree gchar *mute_db = g_build_filename (dir, "mute.db", nullptr);
      const char *import_argv[] = {self, "--import", mute_db, file, "mute", nullptr};
      g_autofree gchar *out = run_child (import_argv, nullptr, true);
      double seconds, echoes;
      long kb, kb_after;
      guint n, heard;
      if (sscanf (out, "import %lf %ld %u\nechoes %lf %u %ld", &seconds, &kb, &n, &echoes, &heard, &kb_after) != 6)
        g_error ("import said: %s", out);
      if (seconds < mute_s)
        {
          mute_s = seconds;
          mute_kb = kb;
        }
      bench::remove_scratch (dir, {"mute.db"});
      g_mkdir (dir, 0700);
    }

  double export_s = G_MAXDOUBLE;
  long export_kb = 0, base_kb = 0;
  for (int run = 0; run < runs; run++)
    {
      const char *export_argv[] = {self, "--export", db, exported, nullptr};
      g_autofree gchar *out = run_child (export_argv);
      double seconds;
      long kb, before;
      if (sscanf (out, "export %lf %ld %ld", &seconds, &kb, &before) != 3)
        g_error ("export said: %s", out);
      if (seconds < export_s)
        {
          export_s = seconds;
          export_kb = kb;
          base_kb = before;
        }
    }

  GStatBuf st;
  g_stat (file, &st);
  printf ("%s: %u landmarks, %.1f MB; best of %d runs\n", file, places, st.st_size / 1e6, runs);
  printf ("  gpsbabel lmx -> gpx   %7.3f s  %9.0f landmarks/s\n", babel, places / babel);
  printf ("  import                %7.3f s  %9.0f landmarks/s  (%.2fx gpsbabel's time)  peak %ld kB\n", import_s,
          places / import_s, import_s / babel, import_kb);
  printf ("    own store heard %u of %u place-added, %.3f s after the start\n", heard_self, places, echoes_s);
  printf ("    a store in another process heard %u of %u place-added, the last %.3f s after the start\n",
          heard_other, places, heard_other_s);
  printf ("  import without a bus  %7.3f s  %9.0f landmarks/s  (%.2fx gpsbabel's time)  peak %ld kB\n", mute_s,
          places / mute_s, mute_s / babel, mute_kb);
  printf ("  export                %7.3f s  %9.0f landmarks/s  (%.2fx gpsbabel's time)  peak %ld kB (%ld kB before)\n",
          export_s, places / export_s, export_s / babel, export_kb, base_kb);

  bench::remove_scratch (dir, {"import.db"});
  g_unlink (gpx);
  g_unlink (exported);
  g_rmdir (dir);
  g_test_dbus_down (bus);
  return 0;
}
