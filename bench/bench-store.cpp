/* Places through the store against the same work in hand-written SQLite:
 * the same schema and triggers, connections opened with the same settings
 * (lodex_db_open), measured side by side in one run, interleaved (library,
 * raw, then raw, library, ...), medians of REPS rounds:
 *
 *   walk   every place, each dropped at once; raw: SELECT * copying every
 *          text column of each row
 *   fetch  every place by id, none live, in a shuffled order; raw: the
 *          same SELECT * WHERE id = ?, prepared once
 *   add    places one by one, each its own transaction, with the library's
 *          broadcasts and their echoes; raw: BEGIN IMMEDIATE, INSERT, COMMIT
 *   batch  1,000 places in one transaction, as an import adds them; raw:
 *          one transaction of 1,000 INSERTs
 *          (add and batch are measured again in a process without a
 *          session bus: the library without its broadcasts)
 *   wal    the write-ahead log after 10,000 adds, with a walk left open
 *
 * Usage: bench-store [N [REPS [WHAT...]]]   (default 100000 7, all but wal)
 *
 * N places are read by walk and fetch (made with raw SQL first); add and
 * batch write into databases of their own. Runs on a private session bus
 * and in a temporary directory; the user's database and bus are never
 * touched. */

#include "lodex-private.h"
#include "bench-common.hpp"

#include <gio/gio.h>
#include <glib/gstdio.h>
#include <unistd.h>
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace
{

using bench::check;
using bench::free_row;
using bench::read_row;
using bench::Row;

constexpr int adds_per_round = 200;
constexpr int batch_size = 1000; /* the importers' */

const char insert_sql[] = "INSERT INTO places (id, latitude, longitude, altitude, name, icon, description, "
                          "haccuracy, vaccuracy, comment, coverage, presence, ctime) VALUES "
                          "(?1, ?2, ?3, ?4, ?5, ?6, ?7, NULL, NULL, ?8, NULL, NULL, ?9)";

/* A new database made from the schema, on a connection set up as the
 * library sets up its own. */
sqlite3 *
open_raw (const char *path)
{
  sqlite3 *db = lodex_db_open (path);
  if (!db)
    g_error ("cannot open %s", path);
  g_autofree gchar *schema = nullptr;
  if (!g_file_get_contents (LODEX_BENCH_SCHEMA, &schema, nullptr, nullptr))
    g_error ("no schema");
  check (sqlite3_exec (db, schema, nullptr, nullptr, nullptr), SQLITE_OK, db);
  check (sqlite3_exec (db, "PRAGMA user_version = 1", nullptr, nullptr, nullptr), SQLITE_OK, db);
  return db;
}

/* The values of place @i: a name and a description for each, an icon for
 * a fourth, a comment for a third, an altitude for two thirds. */
void
bind_place (sqlite3_stmt *insert, int i, const char *id)
{
  char name[32];
  g_snprintf (name, sizeof name, "Place %d", i);
  sqlite3_bind_text (insert, 1, id, -1, SQLITE_TRANSIENT);
  sqlite3_bind_double (insert, 2, -60.0 + (i % 1200) * 0.1);
  sqlite3_bind_double (insert, 3, -170.0 + (i % 3400) * 0.1);
  if (i % 3)
    sqlite3_bind_double (insert, 4, double (i % 500));
  else
    sqlite3_bind_null (insert, 4);
  sqlite3_bind_text (insert, 5, name, -1, SQLITE_TRANSIENT);
  if (i % 4 == 0)
    sqlite3_bind_text (insert, 6, "landmark", -1, SQLITE_STATIC);
  else
    sqlite3_bind_null (insert, 6);
  sqlite3_bind_text (insert, 7, "benchmark place", -1, SQLITE_STATIC);
  if (i % 3 == 0)
    sqlite3_bind_text (insert, 8, "seen from the road", -1, SQLITE_STATIC);
  else
    sqlite3_bind_null (insert, 8);
  sqlite3_bind_int64 (insert, 9, 1700000000 + i);
}

/* The same place as an application makes it. */
LodexPlace *
new_place (int i)
{
  char name[32];
  g_snprintf (name, sizeof name, "Place %d", i);
  LodexPlace *place = lodex_place_new (name, -60.0 + (i % 1200) * 0.1, -170.0 + (i % 3400) * 0.1);
  g_object_set (place, "description", "benchmark place", nullptr);
  if (i % 3)
    g_object_set (place, "altitude", double (i % 500), nullptr);
  if (i % 4 == 0)
    g_object_set (place, "icon", "landmark", nullptr);
  if (i % 3 == 0)
    g_object_set (place, "comment", "seen from the road", nullptr);
  return place;
}

gchar *
raw_id (int i)
{
  return g_strdup_printf ("%d.%d.%d@%d", int (getpid ()), int (getppid ()), i, int (time (nullptr)));
}

/* Per item: the medians of both sides, wall clock and processor time,
 * and the ratio of the medians with the range of the rounds' ratios. */
void
report (const char *what, int items, bench::Rounds &lib, bench::Rounds &raw)
{
  auto column = [&] (std::vector<double> &l, std::vector<double> &r) {
    std::vector<double> ratios;
    for (size_t i = 0; i < l.size (); i++)
      ratios.push_back (l[i] / r[i]);
    double lib_ms = bench::median (l), raw_ms = bench::median (r);
    g_print ("  %9.3f %9.3f %6.2fx (%4.2f..%4.2f)", 1000 * lib_ms / items, 1000 * raw_ms / items, lib_ms / raw_ms,
             *std::min_element (ratios.begin (), ratios.end ()), *std::max_element (ratios.begin (), ratios.end ()));
  };
  g_print ("%-31s", what);
  column (lib.wall_ms, raw.wall_ms);
  column (lib.cpu_ms, raw.cpu_ms);
  g_print ("\n");
}

/* walk and fetch, on one database of @n places that both read */
void
run_reads (const char *dir, int n, int reps, bool walk, bool fetch)
{
  g_autofree gchar *path = g_build_filename (dir, "read.db", nullptr);
  {
    sqlite3 *db = open_raw (path);
    sqlite3_stmt *insert = nullptr;
    check (sqlite3_prepare_v2 (db, insert_sql, -1, &insert, nullptr), SQLITE_OK, db);
    check (sqlite3_exec (db, "BEGIN", nullptr, nullptr, nullptr), SQLITE_OK, db);
    for (int i = 0; i < n; i++)
      {
        g_autofree gchar *id = raw_id (i);
        bind_place (insert, i, id);
        check (sqlite3_step (insert), SQLITE_DONE, db);
        sqlite3_reset (insert);
      }
    check (sqlite3_exec (db, "COMMIT", nullptr, nullptr, nullptr), SQLITE_OK, db);
    sqlite3_finalize (insert);
    lodex_db_close (db);
  }

  LodexStore *store = _lodex_store_get_from_file (path, LODEX_BENCH_SCHEMA);
  sqlite3 *raw = lodex_db_open (path);

  std::vector<std::string> ids;
  {
    sqlite3_stmt *s = nullptr;
    check (sqlite3_prepare_v2 (raw, "SELECT id FROM places", -1, &s, nullptr), SQLITE_OK, raw);
    while (sqlite3_step (s) == SQLITE_ROW)
      ids.emplace_back (reinterpret_cast<const char *> (sqlite3_column_text (s, 0)));
    sqlite3_finalize (s);
    GRand *rand = g_rand_new_with_seed (21);
    for (size_t i = ids.size () - 1; i > 0; i--)
      std::swap (ids[i], ids[g_rand_int_range (rand, 0, gint32 (i + 1))]);
    g_rand_free (rand);
  }

  if (walk)
    {
      bench::Rounds lib_ms, raw_ms;
      bench::interleave (
        reps,
        [&] {
          int walked = 0;
          for (LodexPlace *p = lodex_set_first (LODEX_SET (store)); p; p = lodex_set_next (LODEX_SET (store)))
            {
              walked++;
              g_object_unref (p);
            }
          if (walked != n)
            g_error ("walked %d of %d", walked, n);
        },
        [&] {
          sqlite3_stmt *s = nullptr;
          check (sqlite3_prepare_v2 (raw, "SELECT * FROM places", -1, &s, nullptr), SQLITE_OK, raw);
          int walked = 0;
          while (sqlite3_step (s) == SQLITE_ROW)
            {
              Row r;
              read_row (s, &r);
              free_row (&r);
              walked++;
            }
          sqlite3_finalize (s);
          if (walked != n)
            g_error ("raw walked %d of %d", walked, n);
        },
        &lib_ms, &raw_ms);
      report ("walk all, dropping each", n, lib_ms, raw_ms);
    }

  if (fetch)
    {
      sqlite3_stmt *by_id = nullptr;
      check (sqlite3_prepare_v2 (raw, "SELECT * FROM places WHERE id = ?1", -1, &by_id, nullptr), SQLITE_OK, raw);
      bench::Rounds lib_ms, raw_ms;
      bench::interleave (
        reps,
        [&] {
          for (const std::string &id : ids)
            {
              LodexPlace *p = lodex_store_get_place_by_id (store, id.c_str ());
              if (!p)
                g_error ("no place %s", id.c_str ());
              g_object_unref (p);
            }
        },
        [&] {
          for (const std::string &id : ids)
            {
              sqlite3_bind_text (by_id, 1, id.c_str (), -1, SQLITE_STATIC);
              check (sqlite3_step (by_id), SQLITE_ROW, raw);
              Row r;
              read_row (by_id, &r);
              free_row (&r);
              sqlite3_reset (by_id);
            }
        },
        &lib_ms, &raw_ms);
      report ("fetch by id, none live", int (ids.size ()), lib_ms, raw_ms);
      sqlite3_finalize (by_id);
    }

  lodex_db_close (raw);
  g_object_unref (store);
}

/* Without a bus no echo comes back. */
bool bus_echoes = true;

/* Iterates the main loop until *@heard reaches @expected. */
void
drain (const guint *heard, guint expected)
{
  while (bus_echoes && *heard < expected)
    g_main_context_iteration (nullptr, TRUE);
}

/* add and batch: each side writes into a database of its own, which grows
 * alike on both sides through the run */
void
run_writes (const char *dir, int reps, bool add, bool batch, const char *label = "")
{
  g_autofree gchar *lib_path = g_build_filename (dir, "write-library.db", nullptr);
  g_autofree gchar *raw_path = g_build_filename (dir, "write-raw.db", nullptr);
  LodexStore *store = _lodex_store_get_from_file (lib_path, LODEX_BENCH_SCHEMA);
  guint heard = 0, sent = 0;
  g_signal_connect_swapped (store, "place-added", G_CALLBACK (+[] (guint *count) { (*count)++; }), &heard);
  sqlite3 *raw = open_raw (raw_path);
  sqlite3_stmt *insert = nullptr, *begin = nullptr, *commit = nullptr;
  check (sqlite3_prepare_v2 (raw, insert_sql, -1, &insert, nullptr), SQLITE_OK, raw);
  check (sqlite3_prepare_v2 (raw, "BEGIN IMMEDIATE", -1, &begin, nullptr), SQLITE_OK, raw);
  check (sqlite3_prepare_v2 (raw, "COMMIT", -1, &commit, nullptr), SQLITE_OK, raw);
  int lib_count = 0, raw_count = 0; /* kept equal: both databases grow alike */

  auto raw_insert = [&] {
    g_autofree gchar *id = raw_id (raw_count);
    bind_place (insert, raw_count++, id);
    check (sqlite3_step (insert), SQLITE_DONE, raw);
    sqlite3_reset (insert);
  };
  auto raw_transaction = [&] (int places) {
    check (sqlite3_step (begin), SQLITE_DONE, raw);
    sqlite3_reset (begin);
    for (int i = 0; i < places; i++)
      raw_insert ();
    check (sqlite3_step (commit), SQLITE_DONE, raw);
    sqlite3_reset (commit);
  };
  /* as an application would: its main loop also handles the echoes */
  auto lib_add = [&] {
    LodexPlace *place = new_place (lib_count++);
    if (!lodex_store_add_place (store, place))
      g_error ("add failed");
    g_object_unref (place);
    sent++;
  };

  /* a first round unmeasured on each side: statements prepared, files made */
  for (int i = 0; i < adds_per_round; i++)
    {
      lib_add ();
      g_main_context_iteration (nullptr, FALSE);
      raw_transaction (1);
    }
  drain (&heard, sent);

  if (add)
    {
      bench::Rounds lib_ms, raw_ms;
      bench::interleave (
        reps,
        [&] {
          for (int i = 0; i < adds_per_round; i++)
            {
              lib_add ();
              g_main_context_iteration (nullptr, FALSE);
            }
          drain (&heard, sent);
        },
        [&] {
          for (int i = 0; i < adds_per_round; i++)
            raw_transaction (1);
        },
        &lib_ms, &raw_ms);
      g_autofree gchar *what = g_strconcat ("add one place", label, nullptr);
      report (what, adds_per_round, lib_ms, raw_ms);
    }

  if (batch)
    {
      bench::Rounds lib_ms, raw_ms;
      bench::interleave (
        reps,
        [&] {
          if (!_lodex_store_batch_begin (store))
            g_error ("no batch");
          for (int i = 0; i < batch_size; i++)
            lib_add ();
          if (!_lodex_store_batch_end (store))
            g_error ("batch failed");
          drain (&heard, sent);
        },
        [&] { raw_transaction (batch_size); },
        &lib_ms, &raw_ms);
      g_autofree gchar *what = g_strconcat ("add 1,000 in a batch", label, nullptr);
      report (what, batch_size, lib_ms, raw_ms);
    }
  if (!*label)
    g_print ("%-31s  (%d places written by each side)\n", "", lib_count);

  sqlite3_finalize (insert);
  sqlite3_finalize (begin);
  sqlite3_finalize (commit);
  lodex_db_close (raw);
  g_object_unref (store);
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
      g_autoptr (LodexPlace) place = new_place (i);
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
  /* the writes again in a process of their own with no session bus: what
   * the database and the objects cost without the broadcasts */
  if (argc == 4 && g_str_equal (argv[1], "--no-bus"))
    {
      g_setenv ("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent", TRUE);
      bus_echoes = false;
      g_autofree gchar *dir = g_dir_make_tmp ("bench-store-XXXXXX", nullptr);
      bool add = strchr (argv[3], 'a'), batch = strchr (argv[3], 'b');
      run_writes (dir, atoi (argv[2]), add, batch, ", no bus");
      bench::remove_scratch (dir, {"write-library.db", "write-raw.db"});
      return 0;
    }

  int n = argc > 1 ? atoi (argv[1]) : 100000;
  int reps = argc > 2 ? atoi (argv[2]) : 7;
  auto wanted = [&] (const char *what) {
    if (argc <= 3)
      return !g_str_equal (what, "wal");
    for (int i = 3; i < argc; i++)
      if (g_str_equal (argv[i], what))
        return true;
    return false;
  };
  if (n < 1 || reps < 1)
    g_error ("usage: bench-store [N [REPS [walk|fetch|add|batch|wal]...]]");

  g_autofree gchar *dir = g_dir_make_tmp ("bench-store-XXXXXX", nullptr);
  g_autoptr (GTestDBus) bus = g_test_dbus_new (G_TEST_DBUS_NONE);
  g_test_dbus_up (bus);

  g_print ("liblodex against raw SQLite %s: medians of %d interleaved rounds\n", sqlite3_libversion (), reps);
  g_print ("%-31s  %-40s %s\n", "", "wall clock", "processor time (all threads)");
  g_print ("%-31s", "microseconds a place");
  for (int i = 0; i < 2; i++)
    g_print ("  %9s %9s %6s %-13s", "liblodex", "raw", "lib/raw", " (rounds)");
  g_print ("\n");
  if (wanted ("walk") || wanted ("fetch"))
    {
      g_print ("%d places:\n", n);
      run_reads (dir, n, reps, wanted ("walk"), wanted ("fetch"));
    }
  if (wanted ("add") || wanted ("batch"))
    {
      run_writes (dir, reps, wanted ("add"), wanted ("batch"));
      g_autofree gchar *self = g_file_read_link ("/proc/self/exe", nullptr);
      g_autofree gchar *rounds = g_strdup_printf ("%d", reps);
      const char *what = wanted ("add") && wanted ("batch") ? "ab" : wanted ("add") ? "a"
                                                                                    : "b";
      const char *child[] = {self, "--no-bus", rounds, what, nullptr};
      g_autofree gchar *out = nullptr;
      if (!g_spawn_sync (nullptr, const_cast<char **> (child), nullptr, G_SPAWN_STDERR_TO_DEV_NULL, nullptr, nullptr,
                         &out, nullptr, nullptr, nullptr))
        g_error ("cannot run the writes without a bus");
      g_print ("%s", out);
    }
  if (wanted ("wal"))
    {
      goffset closed = wal_after_adds (dir, 10000, false);
      goffset open = wal_after_adds (dir, 10000, true);
      g_print ("write-ahead log after 10000 adds: %.1f MiB, with a walk left open %.1f MiB\n", closed / 1048576.0,
               open / 1048576.0);
    }

  g_test_dbus_down (bus);
  bench::remove_scratch (dir, {"read.db", "write-library.db", "write-raw.db", "wal.db"});
  return 0;
}
