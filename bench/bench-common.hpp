#pragma once

/* What the benchmarks share: timing, and the hand-written SQLite that the
 * library is measured against. */

#include <glib.h>
#include <gio/gio.h>
#include <glib/gstdio.h>
#include <cstdio>
#include <ctime>
#include <sqlite3.h>

#include <algorithm>
#include <initializer_list>
#include <vector>

namespace bench
{

inline double
now_ms ()
{
  return double (g_get_monotonic_time ()) / 1000.0;
}

/* Reads can be repeated: the best of a few runs filters out the noise of a
 * shared machine. Returns milliseconds. */
template <typename Work>
double
best_ms (int runs, Work work)
{
  double best = G_MAXDOUBLE;
  for (int run = 0; run < runs; run++)
    {
      double start = now_ms ();
      work ();
      best = std::min (best, now_ms () - start);
    }
  return best;
}

/* The median of @values (sorted in place). */
inline double
median (std::vector<double> &values)
{
  std::sort (values.begin (), values.end ());
  size_t n = values.size ();
  return n == 0 ? 0 : n % 2 ? values[n / 2]
                            : (values[n / 2 - 1] + values[n / 2]) / 2;
}

/* Milliseconds of processor time used by the whole process so far: on a
 * machine shared with other work, less noisy than the clock on the wall. */
inline double
cpu_ms ()
{
  struct timespec ts;
  clock_gettime (CLOCK_PROCESS_CPUTIME_ID, &ts);
  return ts.tv_sec * 1000.0 + ts.tv_nsec / 1e6;
}

/* Times of one way of doing some work, a round each. */
struct Rounds
{
  std::vector<double> wall_ms, cpu_ms;
};

/* Two ways of doing the same work, measured side by side: @reps rounds,
 * each timing both, in the order A B, then B A, so that neither always runs
 * on the other's warm caches. */
template <typename A, typename B>
void
interleave (int reps, A a, B b, Rounds *a_rounds, Rounds *b_rounds)
{
  for (int rep = 0; rep < reps; rep++)
    for (int turn = 0; turn < 2; turn++)
      {
        bool run_a = (turn == 0) == (rep % 2 == 0);
        double wall = now_ms (), cpu = cpu_ms ();
        if (run_a)
          a ();
        else
          b ();
        Rounds *rounds = run_a ? a_rounds : b_rounds;
        rounds->wall_ms.push_back (now_ms () - wall);
        rounds->cpu_ms.push_back (cpu_ms () - cpu);
      }
}

inline void
check (int res, int expected, sqlite3 *db)
{
  if (res != expected)
    g_error ("sqlite: %s", sqlite3_errmsg (db));
}

/* What a careful C program keeps of a row of places. */
struct Row
{
  char *id, *name, *icon, *comment, *description, *presence;
  double latitude, longitude, altitude, haccuracy, vaccuracy, coverage;
  bool has_altitude;
  gint64 ctime;
};

inline void
read_row (sqlite3_stmt *s, Row *r)
{
  auto text = [s] (int c) { return g_strdup (reinterpret_cast<const char *> (sqlite3_column_text (s, c))); };
  r->id = text (0);
  r->latitude = sqlite3_column_double (s, 1);
  r->longitude = sqlite3_column_double (s, 2);
  r->has_altitude = sqlite3_column_type (s, 3) != SQLITE_NULL;
  r->altitude = sqlite3_column_double (s, 3);
  r->name = text (4);
  r->icon = text (5);
  r->haccuracy = sqlite3_column_double (s, 6);
  r->vaccuracy = sqlite3_column_double (s, 7);
  r->comment = text (8);
  r->description = text (9);
  r->coverage = sqlite3_column_double (s, 10);
  r->presence = text (11);
  r->ctime = sqlite3_column_int64 (s, 12);
}

inline void
free_row (Row *r)
{
  for (char *s : {r->id, r->name, r->icon, r->comment, r->description, r->presence})
    g_free (s);
}

/* Tells the parent process this listener is ready: a store asks the bus
 * for broadcasts once the main loop runs, and once a call made after that
 * returns, the bus has its match rule. */
inline void
say_ready_on_bus ()
{
  while (g_main_context_iteration (nullptr, FALSE))
    ;
  g_autoptr (GDBusConnection) bus = g_bus_get_sync (G_BUS_TYPE_SESSION, nullptr, nullptr);
  g_autoptr (GVariant) reply = g_dbus_connection_call_sync (bus, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                                            "org.freedesktop.DBus", "GetId", nullptr, nullptr,
                                                            G_DBUS_CALL_FLAGS_NONE, -1, nullptr, nullptr);
  if (!reply)
    g_error ("the bus does not answer");
  printf ("ready\n");
  fflush (stdout);
}

/* Removes the databases of a scratch directory, and the directory. */
inline void
remove_scratch (const char *dir, std::initializer_list<const char *> databases, bool remove_dir = true)
{
  for (const char *database : databases)
    for (const char *suffix : {"", "-wal", "-shm"})
      {
        g_autofree gchar *file = g_strconcat (dir, G_DIR_SEPARATOR_S, database, suffix, nullptr);
        g_unlink (file);
      }
  if (remove_dir)
    g_rmdir (dir);
}

} // namespace bench
