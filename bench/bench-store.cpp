/* Places through the store against the same work in hand-written SQLite:
 * add, walk, and fetch by id with nothing live. Prints places per second
 * for both and their ratio.
 *
 * Usage: bench-store [N]   (default 10000)
 *
 * Runs on a private session bus and in a temporary directory; the user's
 * database and bus are never touched. */

#include "lodex-private.h"
#include "bench-common.hpp"

#include <gio/gio.h>
#include <glib/gstdio.h>
#include <unistd.h>
#include <algorithm>
#include <vector>
#include <string>

namespace
{

using bench::check;
using bench::free_row;
using bench::read_row;
using bench::Row;

double
seconds_since (gint64 start)
{
  return double (g_get_monotonic_time () - start) / G_USEC_PER_SEC;
}

/* Items per second of the best of five runs of @work. */
template <typename Work>
double
best_rate (int items, Work work)
{
  return items / (bench::best_ms (5, work) / 1000.0);
}

struct Figures
{
  double add, walk, fetch;
};

/* Iterates the main loop until @store has heard @expected place-added. */
void
drain (guint *heard, guint expected)
{
  while (*heard < expected)
    g_main_context_iteration (nullptr, TRUE);
}

Figures
run_library (const char *dir, int n)
{
  g_autofree gchar *path = g_build_filename (dir, "library.db", nullptr);
  LodexStore *store = _lodex_store_get_from_file (path, LODEX_BENCH_SCHEMA);
  guint heard = 0;
  g_signal_connect_swapped (store, "place-added", G_CALLBACK (+[] (guint *count) { (*count)++; }), &heard);
  std::vector<std::string> ids;
  ids.reserve (n);
  Figures f{};

  /* as an application would: its main loop also handles the echoes */
  gint64 start = g_get_monotonic_time ();
  for (int i = 0; i < n; i++)
    {
      g_autofree gchar *name = g_strdup_printf ("Place %d", i);
      LodexPlace *place = lodex_place_new (name, -60.0 + (i % 1200) * 0.1, -170.0 + (i % 3400) * 0.1);
      g_object_set (place, "altitude", double (i % 500), "description", "benchmark place", nullptr);
      lodex_place_commit (place);
      if (!lodex_store_add_place (store, place))
        g_error ("add failed");
      ids.emplace_back (_lodex_place_get_row (place)->id);
      g_object_unref (place);
      g_main_context_iteration (nullptr, FALSE);
    }
  drain (&heard, guint (n));
  f.add = n / seconds_since (start);

  f.walk = best_rate (n, [&] {
    int walked = 0;
    for (LodexPlace *p = lodex_set_first (LODEX_SET (store)); p; p = lodex_set_next (LODEX_SET (store)))
      {
        walked++;
        g_object_unref (p);
      }
    if (walked != n)
      g_error ("walked %d of %d", walked, n);
  });

  f.fetch = best_rate (n, [&] {
    for (const std::string &id : ids)
      {
        LodexPlace *p = lodex_store_get_place_by_id (store, id.c_str ());
        if (!p)
          g_error ("no place %s", id.c_str ());
        g_object_unref (p);
      }
  });

  g_object_unref (store);
  return f;
}

Figures
run_raw (const char *dir, int n)
{
  g_autofree gchar *path = g_build_filename (dir, "raw.db", nullptr);
  g_autofree gchar *schema = nullptr;
  if (!g_file_get_contents (LODEX_BENCH_SCHEMA, &schema, nullptr, nullptr))
    g_error ("no schema");
  sqlite3 *db = nullptr;
  check (sqlite3_open (path, &db), SQLITE_OK, db);
  check (sqlite3_exec (db, "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;", nullptr, nullptr, nullptr), SQLITE_OK, db);
  check (sqlite3_exec (db, schema, nullptr, nullptr, nullptr), SQLITE_OK, db);
  std::vector<std::string> ids;
  ids.reserve (n);
  Figures f{};

  sqlite3_stmt *insert = nullptr;
  check (sqlite3_prepare_v2 (db,
                             "INSERT INTO places (id, latitude, longitude, altitude, name, icon, description, "
                             "haccuracy, vaccuracy, comment, coverage, presence, ctime) VALUES "
                             "(?1, ?2, ?3, ?4, ?5, NULL, ?6, NULL, NULL, NULL, NULL, NULL, ?7)",
                             -1, &insert, nullptr),
         SQLITE_OK, db);
  gint64 start = g_get_monotonic_time ();
  for (int i = 0; i < n; i++)
    {
      g_autofree gchar *id = g_strdup_printf ("%d.%d.%d@%d", int (getpid ()), int (getppid ()), i, int (time (nullptr)));
      g_autofree gchar *name = g_strdup_printf ("Place %d", i);
      sqlite3_bind_text (insert, 1, id, -1, SQLITE_TRANSIENT);
      sqlite3_bind_double (insert, 2, -60.0 + (i % 1200) * 0.1);
      sqlite3_bind_double (insert, 3, -170.0 + (i % 3400) * 0.1);
      sqlite3_bind_double (insert, 4, double (i % 500));
      sqlite3_bind_text (insert, 5, name, -1, SQLITE_TRANSIENT);
      sqlite3_bind_text (insert, 6, "benchmark place", -1, SQLITE_STATIC);
      sqlite3_bind_int64 (insert, 7, time (nullptr));
      check (sqlite3_step (insert), SQLITE_DONE, db);
      sqlite3_reset (insert);
      ids.emplace_back (id);
    }
  f.add = n / seconds_since (start);
  sqlite3_finalize (insert);

  f.walk = best_rate (n, [&] {
    sqlite3_stmt *walk = nullptr;
    check (sqlite3_prepare_v2 (db, "SELECT * FROM places", -1, &walk, nullptr), SQLITE_OK, db);
    while (sqlite3_step (walk) == SQLITE_ROW)
      {
        Row r;
        read_row (walk, &r);
        free_row (&r);
      }
    sqlite3_finalize (walk);
  });

  sqlite3_stmt *fetch = nullptr;
  check (sqlite3_prepare_v2 (db, "SELECT * FROM places WHERE id = ?1", -1, &fetch, nullptr), SQLITE_OK, db);
  f.fetch = best_rate (n, [&] {
    for (const std::string &id : ids)
      {
        sqlite3_bind_text (fetch, 1, id.c_str (), -1, SQLITE_STATIC);
        check (sqlite3_step (fetch), SQLITE_ROW, db);
        Row r;
        read_row (fetch, &r);
        free_row (&r);
        sqlite3_reset (fetch);
      }
  });
  sqlite3_finalize (fetch);

  sqlite3_close (db);
  return f;
}

/* The write-ahead log grows while a walk is left open: the log cannot be
 * reset under a reader's snapshot. Returns its size in bytes after @n adds,
 * with a walk abandoned at its first place or without. */
goffset
wal_after_adds (const char *dir, int n, bool open_walk)
{
  g_autofree gchar *path = g_build_filename (dir, "wal.db", nullptr);
  bench::remove_scratch (dir, {"wal.db"}, false);
  LodexStore *store = _lodex_store_get_from_file (path, LODEX_BENCH_SCHEMA);
  g_autoptr (LodexPlace) seed = lodex_place_new ("seed", 0, 0);
  lodex_store_add_place (store, seed);
  LodexPlace *first = open_walk ? lodex_set_first (LODEX_SET (store)) : nullptr;
  for (int i = 0; i < n; i++)
    {
      g_autoptr (LodexPlace) place = lodex_place_new ("Place", -60.0 + (i % 1200) * 0.1, -170.0 + (i % 3400) * 0.1);
      if (!lodex_store_add_place (store, place))
        g_error ("add failed");
      g_main_context_iteration (nullptr, FALSE);
    }
  g_autofree gchar *wal = g_strconcat (path, "-wal", nullptr);
  GStatBuf st{};
  g_stat (wal, &st);
  g_clear_object (&first);
  while (g_main_context_iteration (nullptr, FALSE))
    ;
  g_object_unref (store);
  return st.st_size;
}

} // namespace

int
main (int argc, char **argv)
{
  int n = argc > 1 ? atoi (argv[1]) : 10000;
  g_autofree gchar *dir = g_dir_make_tmp ("bench-store-XXXXXX", nullptr);
  g_autoptr (GTestDBus) bus = g_test_dbus_new (G_TEST_DBUS_NONE);
  g_test_dbus_up (bus);

  Figures raw = run_raw (dir, n);
  Figures lib = run_library (dir, n);

  g_print ("%d places, places per second (higher is better)\n", n);
  g_print ("%-28s %12s %12s %8s\n", "", "liblodex", "raw sqlite", "ratio");
  g_print ("%-28s %12.0f %12.0f %7.0f%%\n", "add (with bus echoes)", lib.add, raw.add, 100 * lib.add / raw.add);
  g_print ("%-28s %12.0f %12.0f %7.0f%%\n", "walk all", lib.walk, raw.walk, 100 * lib.walk / raw.walk);
  g_print ("%-28s %12.0f %12.0f %7.0f%%\n", "fetch by id (none live)", lib.fetch, raw.fetch, 100 * lib.fetch / raw.fetch);

  goffset closed = wal_after_adds (dir, n, false);
  goffset open = wal_after_adds (dir, n, true);
  g_print ("write-ahead log after %d adds: %.1f MiB, with a walk left open %.1f MiB\n", n,
           closed / 1048576.0, open / 1048576.0);

  g_test_dbus_down (bus);
  bench::remove_scratch (dir, {"library.db", "raw.db", "wal.db"});
  return 0;
}
