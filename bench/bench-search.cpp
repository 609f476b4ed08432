/* Searching a large database, each query beside the hand-written SQLite
 * query doing the same work on the same database, in one run, interleaved
 * (library, raw, library, raw, ...), medians of the runs:
 *
 *   1. the first 10 places whose name holds a common word, a rare word;
 *      the count of all those with the common word;
 *   2. the 10 nearest within 5 km of a dense point and of a sparse one;
 *   3. the first page of 50 in order of name, and page 1,000 (and how long
 *      the first sorted walk after an import takes: it makes every key);
 *   4. the count of the whole store;
 *   5. what the new indexes cost: adding a place with and without the
 *      triggers that queue it for them, side by side, and the space they
 *      take.
 *
 * The places: names of one to four words (a kind of place, a made-up
 * proper name in Latin with accents, Cyrillic, Greek or Han script,
 * sometimes a number), a tenth of them cafés; 90% in towns, 10% spread
 * over the sphere, as in bench-location.
 *
 * Usage: bench-search [N] [RUNS]   (default 1000000 places, 7 runs)
 *
 * Runs on a private session bus and in a temporary directory. */

#include "lodex-private.h"
#include "bench-common.hpp"
#include "lodex-location-sort-private.h"

#include <gio/gio.h>
#include <sys/wait.h>
#include <unistd.h>
#include <algorithm>
#include <cmath>
#include <functional>
#include <string>
#include <vector>

namespace
{

using namespace bench;

constexpr double degrees = 180 / G_PI;

struct Point
{
  const char *what;
  double latitude, longitude;
};
constexpr Point dense = {"dense (the largest town)", 45.0, 7.0};
constexpr Point sparse = {"sparse (mid-Pacific)", 0.0, -140.0};

const char *const kinds[] = {"Restaurant", "Hotel", "Bäckerei", "Kirche", "Église", "Museum", "Park", "Bahnhof",
                             "Plaza", "Tower", "Bridge", "Mill", "Market", "Station", "Apotheke", "Школа",
                             "Ταβέρνα", "酒店", "Biblioteca", "Straße"};
const char *const latin[] = {"zü", "ri", "ma", "la", "ga", "kra", "kó", "são", "pau", "lo", "ber", "lin", "mün",
                             "chen", "ø", "re", "sund", "æ", "rø", "ško", "fja", "rey", "kja", "vík", "gen",
                             "ève", "ná", "po", "li", "ţa", "dő", "wał", "brn", "ñu", "el", "an", "tor"};
const char *const cyrillic[] = {"мос", "ква", "нев", "ский", "ки", "ев", "оде", "сса", "пе", "тер", "бург", "ка"};
const char *const greek[] = {"αθ", "ή", "να", "θεσ", "σα", "λο", "νί", "κη", "πά", "τρα"};
const char *const han[] = {"東", "京", "大", "阪", "山", "川", "橋", "北", "南", "城"};
constexpr char rare[] = "Xylophon";

std::string
proper_name (GRand *rand)
{
  int script = g_rand_int_range (rand, 0, 20);
  auto pick = [&] (const char *const *list, int n, int syllables) {
    std::string word;
    for (int i = 0; i < syllables; i++)
      word += list[g_rand_int_range (rand, 0, n)];
    return word;
  };
  if (script < 14)
    {
      std::string word = pick (latin, G_N_ELEMENTS (latin), g_rand_int_range (rand, 2, 5));
      g_autofree gchar *title = g_utf8_strup (word.c_str (), g_utf8_next_char (word.c_str ()) - word.c_str ());
      return title + word.substr (g_utf8_next_char (word.c_str ()) - word.c_str ());
    }
  if (script < 17)
    return pick (cyrillic, G_N_ELEMENTS (cyrillic), g_rand_int_range (rand, 2, 4));
  if (script < 19)
    return pick (greek, G_N_ELEMENTS (greek), g_rand_int_range (rand, 2, 4));
  return pick (han, G_N_ELEMENTS (han), g_rand_int_range (rand, 2, 4));
}

std::string
place_name (GRand *rand, int i)
{
  std::string name;
  int kind = g_rand_int_range (rand, 0, 10);
  if (kind == 0)
    name = g_rand_boolean (rand) ? "Café " : "CAFE ";
  else if (kind < 6)
    name = std::string (kinds[g_rand_int_range (rand, 0, G_N_ELEMENTS (kinds))]) + " ";
  name += proper_name (rand);
  if (i % 50000 == 7)
    name += std::string (" ") + rare;
  if (g_rand_int_range (rand, 0, 10) < 3)
    name += " " + std::to_string (g_rand_int_range (rand, 1, 200));
  return name;
}

double
gaussian (GRand *rand)
{
  double u = g_rand_double_range (rand, 1e-12, 1.0), v = g_rand_double (rand);
  return sqrt (-2 * log (u)) * cos (2 * G_PI * v);
}

/* Places as in bench-location: towns whose size falls with their rank. */
struct Town
{
  double latitude, longitude, sigma;
};

void
insert_places (sqlite3 *db, int n, guint32 seed, const char *prefix)
{
  GRand *rand = g_rand_new_with_seed (seed);
  std::vector<Town> towns = {{dense.latitude, dense.longitude, 0.1}};
  while (towns.size () < 1500)
    towns.push_back ({g_rand_double_range (rand, -40, 60), g_rand_double_range (rand, -120, 140),
                      g_rand_double_range (rand, 0.02, 0.3)});
  std::vector<double> cumulative;
  double total = 0;
  for (size_t i = 0; i < towns.size (); i++)
    cumulative.push_back (total += 1.0 / double (i + 1));

  sqlite3_stmt *insert = nullptr;
  check (sqlite3_prepare_v2 (db,
                             "INSERT INTO places (id, latitude, longitude, altitude, name, icon, description, "
                             "haccuracy, vaccuracy, comment, coverage, presence, ctime) VALUES "
                             "(?1, ?2, ?3, NULL, ?4, NULL, NULL, NULL, NULL, NULL, NULL, NULL, 0)",
                             -1, &insert, nullptr),
         SQLITE_OK, db);
  check (sqlite3_exec (db, "BEGIN", nullptr, nullptr, nullptr), SQLITE_OK, db);
  for (int i = 0; i < n; i++)
    {
      double latitude, longitude;
      if (i % 10 == 0)
        latitude = asin (g_rand_double_range (rand, -1, 1)) * degrees, longitude = g_rand_double_range (rand, -180, 180);
      else
        {
          const Town &t = towns[std::upper_bound (cumulative.begin (), cumulative.end (), g_rand_double_range (rand, 0, total))
                                - cumulative.begin ()];
          latitude = std::clamp (t.latitude + t.sigma * gaussian (rand), -90.0, 90.0);
          longitude = remainder (t.longitude + t.sigma * gaussian (rand) / cos (t.latitude / degrees), 360.0);
        }
      std::string id = std::string (prefix) + std::to_string (i);
      std::string name = place_name (rand, i);
      sqlite3_bind_text (insert, 1, id.c_str (), -1, SQLITE_TRANSIENT);
      sqlite3_bind_double (insert, 2, latitude);
      sqlite3_bind_double (insert, 3, longitude);
      sqlite3_bind_text (insert, 4, name.c_str (), -1, SQLITE_TRANSIENT);
      check (sqlite3_step (insert), SQLITE_DONE, db);
      sqlite3_reset (insert);
    }
  check (sqlite3_exec (db, "COMMIT", nullptr, nullptr, nullptr), SQLITE_OK, db);
  sqlite3_finalize (insert);
  g_rand_free (rand);
}

constexpr char new_triggers[][40] = {"places_queue_insert", "places_queue_delete", "places_queue_update",
                                     "places_queue_address_insert", "places_queue_address_update",
                                     "places_queue_address_delete"};

/* A database of @n places with the project's schema, in a child process so
 * that its page cache does not count here; without @words, as today's
 * main writes it: none of the new triggers. */
void
fill (const char *path, int n, bool words)
{
  pid_t child = fork ();
  if (child < 0)
    g_error ("fork failed");
  if (child > 0)
    {
      int status = 0;
      waitpid (child, &status, 0);
      if (!WIFEXITED (status) || WEXITSTATUS (status) != 0)
        g_error ("filling the database failed");
      return;
    }
  g_autofree gchar *schema = nullptr;
  if (!g_file_get_contents (LODEX_BENCH_SCHEMA, &schema, nullptr, nullptr))
    g_error ("no schema at %s", LODEX_BENCH_SCHEMA);
  sqlite3 *db = nullptr;
  check (sqlite3_open (path, &db), SQLITE_OK, db);
  check (sqlite3_exec (db, "PRAGMA journal_mode=WAL; PRAGMA cache_size=-262144;", nullptr, nullptr, nullptr), SQLITE_OK, db);
  check (sqlite3_exec (db, schema, nullptr, nullptr, nullptr), SQLITE_OK, db);
  check (sqlite3_exec (db, "PRAGMA user_version = 3", nullptr, nullptr, nullptr), SQLITE_OK, db);
  if (!words)
    for (const char *trigger : new_triggers)
      {
        g_autofree gchar *drop = g_strdup_printf ("DROP TRIGGER %s", trigger);
        check (sqlite3_exec (db, drop, nullptr, nullptr, nullptr), SQLITE_OK, db);
      }
  insert_places (db, n, 20240601, "p");
  check (sqlite3_close (db), SQLITE_OK, db);
  _exit (0);
}

/* Medians of interleaved runs: @a then @b, @runs times. */
struct Pair
{
  double a, b;
};

Pair
interleaved (int runs, const std::function<void ()> &a, const std::function<void ()> &b)
{
  std::vector<double> ta, tb;
  for (int r = 0; r < runs; r++)
    {
      double start = now_ms ();
      a ();
      ta.push_back (now_ms () - start);
      start = now_ms ();
      b ();
      tb.push_back (now_ms () - start);
    }
  std::sort (ta.begin (), ta.end ());
  std::sort (tb.begin (), tb.end ());
  return {ta[ta.size () / 2], tb[tb.size () / 2]};
}

void
report (const char *what, Pair p, double target)
{
  g_print ("   %-44s library %8.3f ms   raw SQLite %8.3f ms   ratio %5.2f   target < %g ms: %s\n", what, p.a, p.b,
           p.a / p.b, target, p.a < target ? "met" : "MISSED");
}

/* Walks @set to its end (at most @k places), dropping each. */
int
walk (gpointer set, int k = -1)
{
  int walked = 0;
  for (LodexPlace *p = lodex_set_first (LODEX_SET (set)); p; p = k < 0 || walked < k ? lodex_set_next (LODEX_SET (set)) : nullptr)
    {
      walked++;
      g_object_unref (p);
    }
  return walked;
}

/* Reads at most @k rows of @s whole, as a careful program would, and resets it. */
int
read_rows (sqlite3_stmt *s, int k = -1)
{
  int n = 0;
  while ((k < 0 || n < k) && sqlite3_step (s) == SQLITE_ROW)
    {
      Row r;
      read_row (s, &r);
      free_row (&r);
      n++;
    }
  sqlite3_reset (s);
  return n;
}

gint64
count_of (sqlite3_stmt *s)
{
  if (sqlite3_step (s) != SQLITE_ROW)
    g_error ("count failed");
  gint64 n = sqlite3_column_int64 (s, 0);
  sqlite3_reset (s);
  return n;
}

sqlite3_stmt *
prepare (sqlite3 *db, const char *query)
{
  sqlite3_stmt *s = nullptr;
  check (sqlite3_prepare_v2 (db, query, -1, &s, nullptr), SQLITE_OK, db);
  return s;
}

/* The raw program's own distance: the library's haversine, its own point. */
void
raw_surface (sqlite3_context *context, int argc, sqlite3_value **argv)
{
  LodexDistanceOrigin origin;
  _lodex_location_sort_origin_init (&origin, sqlite3_value_double (argv[2]), sqlite3_value_double (argv[3]), 0.0);
  sqlite3_result_double (context, _lodex_location_sort_distance (&origin, sqlite3_value_double (argv[0]),
                                                                 sqlite3_value_double (argv[1]), 0.0));
}

gint64
table_bytes (sqlite3 *db, const char *where)
{
  g_autofree gchar *query = g_strdup_printf ("SELECT sum(pgsize) FROM dbstat WHERE %s", where);
  sqlite3_stmt *s = prepare (db, query);
  gint64 n = count_of (s);
  sqlite3_finalize (s);
  return n;
}

/* Adds @n places to @store, as an application would, its main loop also
 * handling the echoes; milliseconds. */
double
add_places (LodexStore *store, int n, int *serial)
{
  double start = now_ms ();
  for (int i = 0; i < n; i++)
    {
      g_autofree gchar *name = g_strdup_printf ("Café Neu %d", (*serial)++);
      LodexPlace *place = lodex_place_new (name, 45 + (i % 100) * 0.01, 7 + (i % 77) * 0.01);
      if (!lodex_store_add_place (store, place))
        g_error ("add failed");
      g_object_unref (place);
      g_main_context_iteration (nullptr, FALSE);
    }
  return now_ms () - start;
}

} // namespace

int
main (int argc, char **argv)
{
  const int n = argc > 1 ? atoi (argv[1]) : 1000000;
  const int runs = argc > 2 ? std::max (5, atoi (argv[2])) : 7;
  if (n < 100000)
    g_error ("at least 100000 places");
  g_autofree gchar *dir = g_dir_make_tmp ("bench-search-XXXXXX", nullptr);
  g_autofree gchar *path = g_build_filename (dir, "places.db", nullptr);

  double start = now_ms ();
  fill (path, n, true);
  g_print ("liblodex search benchmark: %d places, SQLite %s, medians of %d interleaved runs\n", n,
           sqlite3_libversion (), runs);
  g_print ("filled in %.1f s (raw SQLite through the triggers, one transaction, child process)\n",
           (now_ms () - start) / 1000);

  g_autoptr (GTestDBus) bus = g_test_dbus_new (G_TEST_DBUS_NONE);
  g_test_dbus_up (bus);
  start = now_ms ();
  LodexStore *store = _lodex_store_get_from_file (path, LODEX_BENCH_SCHEMA);
  if (!store)
    g_error ("no store");
  g_print ("opened in %.1f s, the words of every place (all queued by the triggers) indexed on the way\n\n",
           (now_ms () - start) / 1000);
  sqlite3 *raw = nullptr;
  check (sqlite3_open_v2 (path, &raw, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK, raw);
  check (sqlite3_create_function_v2 (raw, "raw_surface", 4, SQLITE_UTF8 | SQLITE_DETERMINISTIC, nullptr, raw_surface,
                                     nullptr, nullptr, nullptr),
         SQLITE_OK, raw);

  g_print ("1. Text\n");
  sqlite3_stmt *words = prepare (raw, "SELECT p.* FROM places_words (?1) AS w JOIN places_key AS k ON k.docid = w.rowid "
                                      "JOIN places AS p ON p.id = k.place_id LIMIT 10");
  sqlite3_stmt *words_count = prepare (raw, "SELECT count(*) FROM places_words (?1)");
  for (const char *word : {"cafe", "xylophon"})
    {
      g_autoptr (LodexTextFilter) filter = lodex_text_filter_new (LODEX_SET (store), word);
      g_autofree gchar *query = g_strdup_printf ("{name} : (\"%s\")", word);
      sqlite3_bind_text (words, 1, query, -1, SQLITE_TRANSIENT);
      sqlite3_bind_text (words_count, 1, query, -1, SQLITE_TRANSIENT);
      gint64 all = lodex_set_count (LODEX_SET (filter), nullptr);
      if (all != count_of (words_count) || walk (filter, 10) != read_rows (words, 10))
        g_error ("the library and the raw query disagree on %s", word);
      g_print ("   \"%s\": %" G_GINT64_FORMAT " places\n", word, all);
      g_autofree gchar *first = g_strdup_printf ("first 10 with \"%s\"", word);
      report (first, interleaved (runs, [&] { walk (filter, 10); }, [&] { read_rows (words, 10); }),
              g_str_equal (word, "cafe") ? 5 : 2);
      if (g_str_equal (word, "cafe"))
        report ("count of all with \"cafe\"",
                interleaved (runs, [&] { lodex_set_count (LODEX_SET (filter), nullptr); }, [&] { count_of (words_count); }),
                50);
    }

  g_print ("\n2. The 10 nearest within 5 km (a radius filter inside the distance sort, paged)\n");
  sqlite3_stmt *nearest = prepare (raw, "SELECT * FROM places WHERE id IN (SELECT place_id FROM places_rtree "
                                        "WHERE max_lat >= ?1 AND min_lat <= ?2 AND max_long >= ?3 AND min_long <= ?4) "
                                        "AND raw_surface (latitude, longitude, ?5, ?6) <= 5000 "
                                        "ORDER BY raw_surface (latitude, longitude, ?5, ?6), id LIMIT 10");
  for (const Point &p : {dense, sparse})
    {
      g_autoptr (LodexRadiusFilter) circle = lodex_radius_filter_new (LODEX_SET (store), p.latitude, p.longitude, 5000);
      g_autoptr (LodexLocationSort) sort = lodex_location_sort_new (LODEX_SET (circle));
      g_object_set (sort, "latitude", p.latitude, "longitude", p.longitude, nullptr);
      g_autoptr (LodexPage) page = lodex_page_new (LODEX_SET (sort), 0, 10);
      const double angle = 5000 / 6371008.8 * degrees * 1.0001;
      const double spread = angle / cos (p.latitude / degrees);
      const double bounds[6] = {p.latitude - angle, p.latitude + angle, p.longitude - spread, p.longitude + spread,
                                p.latitude, p.longitude};
      for (int i = 0; i < 6; i++)
        sqlite3_bind_double (nearest, i + 1, bounds[i]);
      int found = walk (page);
      if (found != read_rows (nearest))
        g_error ("the library and the raw query disagree at %s", p.what);
      g_autofree gchar *what = g_strdup_printf ("%s: %d found", p.what, found);
      report (what, interleaved (runs, [&] { walk (page); }, [&] { read_rows (nearest); }), 2);
    }

  g_print ("\n3. Pages of 50 by name\n");
  {
    g_autoptr (LodexNameSort) by_name = lodex_name_sort_new (LODEX_SET (store));
    g_autoptr (LodexPage) page = lodex_page_new (LODEX_SET (by_name), 0, 50);
    start = now_ms ();
    walk (page);
    g_print ("   the first sorted walk makes every name key: %.1f s\n", (now_ms () - start) / 1000);
    sqlite3_stmt *names = prepare (raw, "SELECT p.* FROM places_key AS k JOIN places AS p ON p.id = k.place_id "
                                        "ORDER BY k.name_key, k.place_id LIMIT 50 OFFSET ?1");
    for (guint number : {1u, 1000u})
      {
        g_object_set (page, "offset", (number - 1) * 50, nullptr);
        sqlite3_bind_int64 (names, 1, (number - 1) * 50);
        if (walk (page) != 50 || read_rows (names) != 50)
          g_error ("a page is short");
        g_autofree gchar *what = g_strdup_printf ("page %u", number);
        report (what, interleaved (runs, [&] { walk (page); }, [&] { read_rows (names); }), number == 1 ? 20 : 50);
      }
    sqlite3_finalize (names);
  }

  g_print ("\n4. Counts\n");
  sqlite3_stmt *all = prepare (raw, "SELECT count(*) FROM places");
  if (lodex_set_count (LODEX_SET (store), nullptr) != count_of (all))
    g_error ("the counts disagree");
  report ("the whole store", interleaved (runs, [&] { lodex_set_count (LODEX_SET (store), nullptr); }, [&] { count_of (all); }), 50);

  g_print ("\n5. What the new indexes cost\n");
  gint64 total = table_bytes (raw, "1");
  gint64 added = table_bytes (raw, "name LIKE 'places_words%' OR name LIKE 'places_key%' "
                                   "OR name = 'sqlite_autoindex_places_key_1' OR name = 'places_appdata_key'");
  g_print ("   database %.1f MiB, of which the words and keys %.1f MiB (%.0f%% more than without)\n",
           total / 1048576.0, added / 1048576.0, 100.0 * added / double (total - added));
  for (sqlite3_stmt *s : {words, words_count, nearest, all})
    sqlite3_finalize (s);
  sqlite3_close (raw);
  g_object_unref (store);

  /* two stores of 100,000 places each: with the new triggers, and with
   * only what today's main has */
  {
    const int base = 100000, batch = 500;
    g_autofree gchar *with = g_build_filename (dir, "with.db", nullptr);
    g_autofree gchar *without = g_build_filename (dir, "without.db", nullptr);
    fill (with, base, true);
    fill (without, base, false);
    LodexStore *a = _lodex_store_get_from_file (with, nullptr);
    LodexStore *b = _lodex_store_get_from_file (without, nullptr);
    int serial = 0;
    Pair p = interleaved (runs, [&] { add_places (a, batch, &serial); }, [&] { add_places (b, batch, &serial); });
    while (g_main_context_iteration (nullptr, FALSE))
      ;
    g_print ("   adding a place to 100,000 (batches of %d, each add its own transaction): with the words and keys "
             "%.1f us, without %.1f us: %+.0f%% (target at most +25%%: %s)\n",
             batch, p.a * 1000 / batch, p.b * 1000 / batch, 100 * (p.a / p.b - 1), p.a <= 1.25 * p.b ? "met" : "MISSED");
    g_object_unref (a);
    g_object_unref (b);
    remove_scratch (dir, {"with.db", "without.db"}, false);
  }

  remove_scratch (dir, {"places.db"});
  g_test_dbus_down (bus);
  return 0;
}
