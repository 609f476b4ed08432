/* Many programs writing one database at once while another listens: N
 * writer processes each add places and exit without releasing their store,
 * as a careless program would; a listener process counts "place-added".
 * Prints, per N, the total adds per second, the broadcasts lost, the
 * writers' errors and the database's integrity check.
 *
 * Usage: bench-writers [PLACES-PER-WRITER [RUNS [N...]]]
 *        (default 2500 5 1 2 4 8)
 *
 * Runs on a private session bus and in a temporary directory. */

#include "lodex-private.h"
#include "bench-common.hpp"

#include <gio/gio.h>
#include <glib/gstdio.h>

#include <cstdio>
#include <vector>

namespace
{

/* A writer: adds @count places; exits 0, or 1 if any add failed. The store
 * is deliberately never released. */
int
write_places (const char *path, int count)
{
  LodexStore *store = _lodex_store_get_from_file (path, nullptr);
  if (!store)
    return 1;
  int failed = 0;
  for (int i = 0; i < count; i++)
    {
      g_autofree gchar *name = g_strdup_printf ("w%d-%d", int (getpid ()), i);
      g_autoptr (LodexPlace) place = lodex_place_new (name, g_random_double_range (-80, 80),
                                                      g_random_double_range (-170, 170));
      if (!lodex_store_add_place (store, place))
        failed++;
    }
  return failed ? 1 : 0;
}

/* The listener: counts "place-added" until @expected arrived or the bus
 * has been quiet for five seconds, then prints the count. */
int
listen (const char *path, int expected)
{
  LodexStore *store = _lodex_store_get_from_file (path, nullptr);
  int heard = 0;
  gint64 last = g_get_monotonic_time ();
  g_signal_connect (store, "place-added", G_CALLBACK (+[] (LodexStore *, const gchar *, gpointer data) {
                      ++*static_cast<int *> (data);
                    }),
                    &heard);
  bench::say_ready_on_bus ();
  int seen = 0;
  while (heard < expected && g_get_monotonic_time () - last < 5 * G_USEC_PER_SEC)
    {
      g_main_context_iteration (nullptr, FALSE) || (g_usleep (1000), true);
      if (heard != seen)
        {
          seen = heard;
          last = g_get_monotonic_time ();
        }
    }
  printf ("%d\n", heard);
  fflush (stdout);
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

struct Result
{
  double adds_per_second;
  int lost;
  int errors;
  bool intact;
};

Result
run_once (const char *self, const char *dir, int writers, int per_writer)
{
  g_autofree gchar *path = g_build_filename (dir, "places.db", nullptr);
  bench::remove_scratch (dir, {"places.db"}, false);
  g_object_unref (_lodex_store_get_from_file (path, LODEX_BENCH_SCHEMA));

  const int expected = writers * per_writer;
  g_autofree gchar *expected_text = g_strdup_printf ("%d", expected);
  g_autoptr (GError) error = nullptr;
  g_autoptr (GSubprocess) listener = g_subprocess_new (G_SUBPROCESS_FLAGS_STDOUT_PIPE, &error, self, "--listen",
                                                       path, expected_text, nullptr);
  if (!listener)
    g_error ("%s", error->message);
  g_autoptr (GDataInputStream) from_listener = g_data_input_stream_new (g_subprocess_get_stdout_pipe (listener));
  g_free (read_line (from_listener)); /* "ready" */

  g_autofree gchar *count = g_strdup_printf ("%d", per_writer);
  std::vector<GSubprocess *> running;
  gint64 start = g_get_monotonic_time ();
  for (int i = 0; i < writers; i++)
    {
      GSubprocess *writer = g_subprocess_new (G_SUBPROCESS_FLAGS_NONE, &error, self, "--write", path, count, nullptr);
      if (!writer)
        g_error ("%s", error->message);
      running.push_back (writer);
    }
  int errors = 0;
  for (GSubprocess *writer : running)
    {
      g_subprocess_wait (writer, nullptr, nullptr);
      if (!g_subprocess_get_successful (writer))
        errors++;
      g_object_unref (writer);
    }
  gint64 end = g_get_monotonic_time ();

  g_autofree gchar *heard = read_line (from_listener);
  g_subprocess_wait (listener, nullptr, nullptr);

  sqlite3 *db = nullptr;
  sqlite3_open (path, &db);
  sqlite3_stmt *check = nullptr;
  sqlite3_prepare_v2 (db, "PRAGMA integrity_check", -1, &check, nullptr);
  bool intact = sqlite3_step (check) == SQLITE_ROW
                && g_str_equal (reinterpret_cast<const char *> (sqlite3_column_text (check, 0)), "ok");
  sqlite3_finalize (check);
  sqlite3_prepare_v2 (db, "SELECT count(*) FROM places", -1, &check, nullptr);
  int stored = sqlite3_step (check) == SQLITE_ROW ? sqlite3_column_int (check, 0) : -1;
  sqlite3_finalize (check);
  sqlite3_close (db);
  if (stored != expected)
    errors += expected - stored;

  return {stored / ((end - start) / 1e6), expected - atoi (heard), errors, intact};
}

} // namespace

int
main (int argc, char **argv)
{
  if (argc == 4 && g_str_equal (argv[1], "--write"))
    return write_places (argv[2], atoi (argv[3]));
  if (argc == 4 && g_str_equal (argv[1], "--listen"))
    return listen (argv[2], atoi (argv[3]));

  int per_writer = argc > 1 ? atoi (argv[1]) : 2500;
  int runs = argc > 2 ? atoi (argv[2]) : 5;
  std::vector<int> sizes;
  for (int i = 3; i < argc; i++)
    sizes.push_back (atoi (argv[i]));
  if (sizes.empty ())
    sizes = {1, 2, 4, 8};

  g_autofree gchar *dir = g_dir_make_tmp ("bench-writers-XXXXXX", nullptr);
  g_autoptr (GTestDBus) bus = g_test_dbus_new (G_TEST_DBUS_NONE);
  g_test_dbus_up (bus);
  g_autofree gchar *self = g_file_read_link ("/proc/self/exe", nullptr);

  g_print ("%d places per writer, %d runs each; writers exit without releasing their store\n", per_writer, runs);
  g_print ("writers   adds/s (min..max)      lost (each run)       errors   integrity\n");
  for (int writers : sizes)
    {
      double low = G_MAXDOUBLE, high = 0;
      GString *lost = g_string_new (nullptr);
      int errors = 0;
      bool intact = true;
      for (int run = 0; run < runs; run++)
        {
          Result r = run_once (self, dir, writers, per_writer);
          low = std::min (low, r.adds_per_second);
          high = std::max (high, r.adds_per_second);
          g_string_append_printf (lost, "%s%d", run ? " " : "", r.lost);
          errors += r.errors;
          intact = intact && r.intact;
        }
      g_print ("%7d   %7.0f..%-7.0f       %-20s  %6d   %s\n", writers, low, high, lost->str, errors,
               intact ? "ok" : "FAILED");
      g_string_free (lost, TRUE);
    }

  g_test_dbus_down (bus);
  bench::remove_scratch (dir, {"places.db"});
  return 0;
}
