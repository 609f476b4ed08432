/* The list model over many places sorted by distance: how long it takes to
 * make and count, and how soon another process's writes reach it. Process
 * A writes; process B holds a model and reports, with the time, each
 * items-changed and each notify::name of the place it holds.
 *
 * Usage: bench-model [N [CHANGES [IMPORTED]]]   (default 100000 200 1000)
 *
 * Runs on a private session bus and in a temporary directory. */

#include "lodex-private.h"
#include "bench-common.hpp"

#include <gio/gio.h>
#include <glib-unix.h>
#include <glib/gstdio.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

namespace
{

constexpr gdouble origin_latitude = 48.8566, origin_longitude = 2.3522;

LodexLocationSort *
nearest (LodexStore *store)
{
  LodexLocationSort *sort = lodex_location_sort_new (LODEX_SET (store));
  g_object_set (sort, "latitude", origin_latitude, "longitude", origin_longitude, nullptr);
  return sort;
}

void
say (const char *format, ...) G_GNUC_PRINTF (1, 2);

void
say (const char *format, ...)
{
  va_list args;
  va_start (args, format);
  vprintf (format, args);
  va_end (args);
  printf ("\n");
  fflush (stdout);
}

/* Process B: makes the model, holds its nearest place and one from the
 * middle, and reports until its standard input closes. */
int
listen (const char *path)
{
  LodexStore *store = _lodex_store_get_from_file (path, nullptr);
  LodexLocationSort *sort = nearest (store);
  double start = bench::now_ms ();
  LodexListModel *model = lodex_list_model_new (LODEX_SET (sort));
  guint n = g_list_model_get_n_items (G_LIST_MODEL (model));
  double cold = bench::now_ms () - start;
  /* again, on the connection and page cache the first one opened */
  start = bench::now_ms ();
  LodexListModel *again = lodex_list_model_new (LODEX_SET (sort));
  g_list_model_get_n_items (G_LIST_MODEL (again));
  double warm = bench::now_ms () - start;
  g_object_unref (again);
  say ("created %.1f, a second one %.1f, %u places", cold, warm, n);

  g_autoptr (LodexPlace) first = LODEX_PLACE (g_list_model_get_item (G_LIST_MODEL (model), 0));
  g_autoptr (LodexPlace) middle = LODEX_PLACE (g_list_model_get_item (G_LIST_MODEL (model), n / 2));
  g_signal_connect (first, "notify::name", G_CALLBACK (+[] (LodexPlace *p, GParamSpec *) {
                      say ("notify %s %" G_GINT64_FORMAT, _lodex_place_get_row (p)->name, g_get_monotonic_time ());
                    }),
                    nullptr);
  g_signal_connect (model, "items-changed", G_CALLBACK (+[] (GListModel *m, guint position, guint removed, guint added) {
                      say ("items-changed %u %u %u %u %" G_GINT64_FORMAT, position, removed, added,
                           g_list_model_get_n_items (m), g_get_monotonic_time ());
                    }),
                    nullptr);
  bench::say_ready_on_bus ();
  say ("holding %s %s", _lodex_place_get_row (first)->id, _lodex_place_get_row (middle)->id);

  g_autoptr (GMainLoop) loop = g_main_loop_new (nullptr, FALSE);
  g_unix_fd_add (
    0, GIOCondition (G_IO_IN | G_IO_HUP), [] (int, GIOCondition, gpointer loop) -> gboolean {
      g_main_loop_quit (static_cast<GMainLoop *> (loop));
      return G_SOURCE_REMOVE;
    },
    loop);
  g_main_loop_run (loop);
  g_clear_object (&first);
  g_clear_object (&middle);
  g_object_unref (model);
  g_object_unref (sort);
  g_object_unref (store);
  return 0;
}

gchar *
read_line (GDataInputStream *from)
{
  gchar *line = g_data_input_stream_read_line_utf8 (from, nullptr, nullptr, nullptr);
  if (!line)
    g_error ("the listener stopped");
  return line;
}

void
drain (void)
{
  while (g_main_context_iteration (nullptr, FALSE))
    ;
}

/* The last field of a report: its time. */
gint64
time_of (const char *line)
{
  const char *space = strrchr (line, ' ');
  return space ? g_ascii_strtoll (space + 1, nullptr, 10) : -1;
}

void
print_latencies (const char *what, std::vector<double> &ms)
{
  std::sort (ms.begin (), ms.end ());
  auto at = [&] (double p) { return ms[std::min (ms.size () - 1, size_t (p * ms.size ()))]; };
  g_print ("%s, %zu times (ms from the writer's commit call)\n", what, ms.size ());
  g_print ("  median %.3f   p90 %.3f   p99 %.3f   max %.3f\n", at (0.5), at (0.9), at (0.99), ms.back ());
}

} // namespace

int
main (int argc, char **argv)
{
  if (argc == 3 && g_str_equal (argv[1], "--listen"))
    return listen (argv[2]);
  const int n = argc > 1 ? atoi (argv[1]) : 100000;
  const int changes = argc > 2 ? atoi (argv[2]) : 200;
  const int imported = argc > 3 ? atoi (argv[3]) : 1000;

  g_autofree gchar *dir = g_dir_make_tmp ("bench-model-XXXXXX", nullptr);
  g_autofree gchar *path = g_build_filename (dir, "places.db", nullptr);
  g_autoptr (GTestDBus) bus = g_test_dbus_new (G_TEST_DBUS_NONE);
  g_test_dbus_up (bus);

  LodexStore *store = _lodex_store_get_from_file (path, LODEX_BENCH_SCHEMA);
  g_autoptr (GRand) rand = g_rand_new_with_seed (7);
  double start = bench::now_ms ();
  if (!_lodex_store_batch_begin (store))
    g_error ("no batch");
  for (int i = 0; i < n; i++)
    {
      g_autofree gchar *name = g_strdup_printf ("Place %d", i);
      g_autoptr (LodexPlace) place = lodex_place_new (name, origin_latitude + g_rand_double_range (rand, -2, 2),
                                                      origin_longitude + g_rand_double_range (rand, -2, 2));
      if (!lodex_store_add_place (store, place))
        g_error ("add failed");
    }
  if (!_lodex_store_batch_end (store))
    g_error ("no commit");
  drain ();
  g_print ("liblodex list model benchmark: %d places sorted by distance, SQLite %s\n", n, sqlite3_libversion ());
  g_print ("filled in %.1f s\n\n", (bench::now_ms () - start) / 1000);

  /* in this process, warm */
  LodexLocationSort *sort = nearest (store);
  std::vector<double> made;
  for (int run = 0; run < 7; run++)
    {
      double begin = bench::now_ms ();
      LodexListModel *model = lodex_list_model_new (LODEX_SET (sort));
      guint count = g_list_model_get_n_items (G_LIST_MODEL (model));
      made.push_back (bench::now_ms () - begin);
      if (count != guint (n))
        g_error ("the model has %u places", count);
      g_object_unref (model);
    }
  g_object_unref (sort);
  double median = bench::median (made); /* sorts */
  g_print ("making the model and reading its length, this process (ms): median %.1f, best %.1f of 7\n", median,
           made.front ());

  g_autofree gchar *self = g_file_read_link ("/proc/self/exe", nullptr);
  g_autoptr (GError) error = nullptr;
  g_autoptr (GSubprocess) listener = g_subprocess_new (GSubprocessFlags (G_SUBPROCESS_FLAGS_STDOUT_PIPE | G_SUBPROCESS_FLAGS_STDIN_PIPE),
                                                       &error, self, "--listen", path, nullptr);
  if (!listener)
    g_error ("%s", error->message);
  g_autoptr (GDataInputStream) from_b = g_data_input_stream_new (g_subprocess_get_stdout_pipe (listener));
  g_autofree gchar *created = read_line (from_b);
  g_print ("making the model and reading its length, a fresh process (ms): the first %s\n\n", created + strlen ("created "));
  g_autofree gchar *ready = read_line (from_b);
  g_autofree gchar *holding = read_line (from_b);
  g_auto (GStrv) held = g_strsplit (holding, " ", 3);
  if (!g_str_equal (ready, "ready") || g_strv_length (held) != 3)
    g_error ("the listener said '%s'", holding);
  g_autoptr (LodexPlace) first = lodex_store_get_place_by_id (store, held[1]);
  g_autoptr (LodexPlace) middle = lodex_store_get_place_by_id (store, held[2]);

  /* renames that move nothing: notify only */
  std::vector<double> renamed;
  for (int i = 0; i < changes; i++)
    {
      g_autofree gchar *name = g_strdup_printf ("Renamed%d", i);
      g_object_set (first, "name", name, nullptr);
      gint64 committed = g_get_monotonic_time ();
      lodex_place_commit (first);
      g_autofree gchar *line = read_line (from_b);
      g_autofree gchar *expected = g_strdup_printf ("notify %s ", name);
      if (!g_str_has_prefix (line, expected))
        g_error ("unexpected report '%s' (an items-changed for a rename?)", line);
      renamed.push_back ((time_of (line) - committed) / 1000.0);
      drain ();
    }
  print_latencies ("a rename in A to notify::name in B, the place staying where it is", renamed);

  /* moves across the list, away and back: removed, then inserted */
  std::vector<double> moved;
  guint move_signals = 0;
  for (int i = 0; i < changes; i++)
    {
      gdouble offset = i % 2 == 0 ? 1.5 : 0.0001 * i;
      g_object_set (middle, "latitude", origin_latitude + offset, nullptr);
      gint64 committed = g_get_monotonic_time ();
      lodex_place_commit (middle);
      for (;;)
        {
          g_autofree gchar *line = read_line (from_b);
          g_auto (GStrv) fields = g_strsplit (line, " ", -1);
          if (!g_str_equal (fields[0], "items-changed") || g_strv_length (fields) != 6)
            g_error ("unexpected report '%s'", line);
          move_signals++;
          if (!g_str_equal (fields[3], "0")) /* the place is in its new position */
            {
              moved.push_back ((time_of (line) - committed) / 1000.0);
              break;
            }
        }
      drain ();
    }
  g_print ("%u items-changed for %d moves\n", move_signals, changes);
  print_latencies ("a move in A to the items-changed in B that inserts it anew", moved);

  /* an import by A */
  g_autofree gchar *gpx = g_build_filename (dir, "imported.gpx", nullptr);
  GString *text = g_string_new ("<?xml version=\"1.0\"?>\n<gpx version=\"1.1\" creator=\"bench-model\" "
                                "xmlns=\"http://www.topografix.com/GPX/1/1\">\n");
  for (int i = 0; i < imported; i++)
    {
      char latitude[G_ASCII_DTOSTR_BUF_SIZE], longitude[G_ASCII_DTOSTR_BUF_SIZE];
      g_ascii_dtostr (latitude, sizeof latitude, origin_latitude + g_rand_double_range (rand, -2, 2));
      g_ascii_dtostr (longitude, sizeof longitude, origin_longitude + g_rand_double_range (rand, -2, 2));
      g_string_append_printf (text, "<wpt lat=\"%s\" lon=\"%s\"><name>Imported %d</name></wpt>\n", latitude,
                              longitude, i);
    }
  g_string_append (text, "</gpx>\n");
  if (!g_file_set_contents (gpx, text->str, text->len, &error))
    g_error ("%s", error->message);
  g_string_free (text, TRUE);
  gint64 import_start = g_get_monotonic_time ();
  if (!lodex_store_import_from_file (store, gpx, &error))
    g_error ("%s", error->message);
  gint64 import_done = g_get_monotonic_time ();
  guint signals = 0, total = 0;
  gint64 last = 0;
  while (total < guint (n + imported))
    {
      g_autofree gchar *line = read_line (from_b);
      g_auto (GStrv) fields = g_strsplit (line, " ", -1);
      if (!g_str_equal (fields[0], "items-changed") || g_strv_length (fields) != 6)
        g_error ("unexpected report '%s'", line);
      signals++;
      total = g_ascii_strtoull (fields[4], nullptr, 10);
      last = time_of (line);
      drain ();
    }
  g_print ("%d places imported by A: %u items-changed in B; the import took %.0f ms, B had them all %.1f ms "
           "after it returned\n",
           imported, signals, (import_done - import_start) / 1000.0, (last - import_done) / 1000.0);

  g_output_stream_close (g_subprocess_get_stdin_pipe (listener), nullptr, nullptr);
  g_subprocess_wait (listener, nullptr, nullptr);
  g_clear_object (&first);
  g_clear_object (&middle);
  drain ();
  g_object_unref (store);
  g_test_dbus_down (bus);
  g_unlink (gpx);
  bench::remove_scratch (dir, {"places.db"});
  return 0;
}
