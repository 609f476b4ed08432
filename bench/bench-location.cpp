/* The location filter and sort on a large database, against hand-written
 * SQLite in the same run:
 *
 *   1. a box of about 1,000 places walked through the filter;
 *   2. the 10 places nearest a point through the sort, beside the same query,
 *      a top-10 query, and an index-assisted search (a widening box);
 *   3. peak memory of walking every place through the store.
 *
 * Usage: bench-location [N]   (default 1000000 places)
 *
 * Runs on a private session bus and in a temporary directory; the user's
 * database and bus are never touched. */

#include "lodex-private.h"
#include "bench-common.hpp"
#include "lodex-location-sort-private.h"

#include <gio/gio.h>
#include <glib/gstdio.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

namespace
{

using namespace bench;

constexpr double earth_radius = 6371008.8;
constexpr double min_fill_lat = -80, max_fill_lat = 80;

/* The point of the nearest search and the box, away from any edge. */
constexpr double point_lat = 45.0, point_long = 7.0, point_alt = 0.0;

double
max_rss_mib ()
{
  struct rusage usage;
  getrusage (RUSAGE_SELF, &usage);
  return usage.ru_maxrss / 1024.0;
}

double
current_rss_mib ()
{
  g_autofree gchar *statm = nullptr;
  if (!g_file_get_contents ("/proc/self/statm", &statm, nullptr, nullptr))
    return 0;
  long pages = 0, resident = 0;
  sscanf (statm, "%ld %ld", &pages, &resident);
  return double (resident) * double (sysconf (_SC_PAGESIZE)) / (1024.0 * 1024.0);
}

/* Fills a new database made from the project's schema: one transaction, in
 * a child process so that its page cache does not count in our peak. */
void
fill (const char *path, int n)
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
  check (sqlite3_exec (db, "PRAGMA journal_mode=WAL; PRAGMA cache_size=-262144;", nullptr, nullptr, nullptr),
         SQLITE_OK, db);
  check (sqlite3_exec (db, schema, nullptr, nullptr, nullptr), SQLITE_OK, db);

  sqlite3_stmt *insert = nullptr;
  check (sqlite3_prepare_v2 (db,
                             "INSERT INTO places (id, latitude, longitude, altitude, name, icon, description, "
                             "haccuracy, vaccuracy, comment, coverage, presence, ctime) VALUES "
                             "(?1, ?2, ?3, ?4, ?5, NULL, ?6, NULL, NULL, NULL, NULL, NULL, ?7)",
                             -1, &insert, nullptr),
         SQLITE_OK, db);
  GRand *rand = g_rand_new_with_seed (20240601);
  gint64 ctime = time (nullptr);
  check (sqlite3_exec (db, "BEGIN", nullptr, nullptr, nullptr), SQLITE_OK, db);
  for (int i = 0; i < n; i++)
    {
      char id[32], name[32];
      g_snprintf (id, sizeof id, "%d.1.%d@%" G_GINT64_FORMAT, int (getpid ()), i, ctime);
      g_snprintf (name, sizeof name, "Place %d", i);
      sqlite3_bind_text (insert, 1, id, -1, SQLITE_TRANSIENT);
      sqlite3_bind_double (insert, 2, g_rand_double_range (rand, min_fill_lat, max_fill_lat));
      sqlite3_bind_double (insert, 3, g_rand_double_range (rand, -180, 180));
      if (i % 3) /* a third without altitude */
        sqlite3_bind_double (insert, 4, g_rand_double_range (rand, 0, 3000));
      else
        sqlite3_bind_null (insert, 4);
      sqlite3_bind_text (insert, 5, name, -1, SQLITE_TRANSIENT);
      sqlite3_bind_text (insert, 6, "benchmark place", -1, SQLITE_STATIC);
      sqlite3_bind_int64 (insert, 7, ctime);
      check (sqlite3_step (insert), SQLITE_DONE, db);
      sqlite3_reset (insert);
    }
  check (sqlite3_exec (db, "COMMIT", nullptr, nullptr, nullptr), SQLITE_OK, db);
  sqlite3_finalize (insert);
  g_rand_free (rand);
  check (sqlite3_close (db), SQLITE_OK, db);
  _exit (0);
}

void
print_plan (sqlite3 *db, const char *who, const char *query, const double *values, int n_values)
{
  g_autofree gchar *explain = g_strconcat ("EXPLAIN QUERY PLAN ", query, nullptr);
  sqlite3_stmt *s = nullptr;
  check (sqlite3_prepare_v2 (db, explain, -1, &s, nullptr), SQLITE_OK, db);
  for (int i = 0; i < n_values; i++)
    sqlite3_bind_double (s, i + 1, values[i]);
  while (sqlite3_step (s) == SQLITE_ROW)
    g_print ("    %-10s %s\n", who, sqlite3_column_text (s, 3));
  sqlite3_finalize (s);
}

/* The raw program's own SQL function: the library's distance, its own point. */
LodexDistanceOrigin raw_origin;
bool raw_log_every_row;

void
raw_distance_func (sqlite3_context *context, int argc, sqlite3_value **argv)
{
  double d = _lodex_location_sort_distance (&raw_origin, sqlite3_value_double (argv[0]),
                                            sqlite3_value_double (argv[1]), sqlite3_value_double (argv[2]));
  if (raw_log_every_row)
    g_debug ("%f", d);
  sqlite3_result_double (context, d);
}

/* Ids of a walk of @k rows of @s, read whole as a careful program would. */
std::vector<std::string>
read_rows (sqlite3 *db, sqlite3_stmt *s, int k)
{
  std::vector<std::string> ids;
  int res;
  while ((k < 0 || int (ids.size ()) < k) && (res = sqlite3_step (s)) == SQLITE_ROW)
    {
      Row r;
      read_row (s, &r);
      ids.emplace_back (r.id);
      free_row (&r);
    }
  return ids;
}

/* The physical best for the k nearest: only the index over (latitude,
 * longitude), read through a box around the point that widens until k
 * places lie within the radius the box guarantees. */
std::vector<std::string>
nearest_by_index (sqlite3 *db, sqlite3_stmt *box, int k, double start_radius, int *rounds, int *rows_read)
{
  LodexDistanceOrigin origin;
  _lodex_location_sort_origin_init (&origin, point_lat, point_long, point_alt);
  struct Candidate
  {
    double distance;
    std::string id;
  };
  std::vector<Candidate> within;
  *rounds = 0;
  *rows_read = 0;
  for (double radius = start_radius;; radius *= 2)
    {
      (*rounds)++;
      /* the box bounding a spherical cap of @radius */
      double angle = radius / earth_radius;
      double min_lat = point_lat - angle * 180 / G_PI;
      double max_lat = point_lat + angle * 180 / G_PI;
      double min_long = -180, max_long = 180;
      double cos_lat = cos (point_lat * G_PI / 180);
      if (min_lat > -90 && max_lat < 90 && sin (angle) < cos_lat)
        {
          double dlong = asin (sin (angle) / cos_lat) * 180 / G_PI;
          min_long = point_long - dlong; /* the point is far from the 180th meridian */
          max_long = point_long + dlong;
        }
      sqlite3_bind_double (box, 1, min_lat);
      sqlite3_bind_double (box, 2, max_lat);
      sqlite3_bind_double (box, 3, min_long);
      sqlite3_bind_double (box, 4, max_long);
      within.clear ();
      while (sqlite3_step (box) == SQLITE_ROW)
        {
          (*rows_read)++;
          double altitude = sqlite3_column_double (box, 3); /* NULL reads 0.0 */
          double d = _lodex_location_sort_distance (&origin, sqlite3_column_double (box, 1),
                                                    sqlite3_column_double (box, 2), altitude);
          if (d <= radius) /* anything outside the box is farther than @radius */
            within.push_back ({d, reinterpret_cast<const char *> (sqlite3_column_text (box, 0))});
        }
      sqlite3_reset (box);
      bool whole_world = min_lat <= -90 && max_lat >= 90;
      if (int (within.size ()) >= k || whole_world)
        break;
    }
  int take = std::min (k, int (within.size ()));
  std::partial_sort (within.begin (), within.begin () + take, within.end (),
                     [] (const Candidate &a, const Candidate &b) { return a.distance < b.distance; });
  std::vector<std::string> ids;
  for (int i = 0; i < take; i++)
    ids.push_back (within[i].id);
  return ids;
}

} // namespace

int
main (int argc, char **argv)
{
  const int n = argc > 1 ? atoi (argv[1]) : 1000000;
  if (n < 1000)
    g_error ("at least 1000 places");
  g_autofree gchar *dir = g_dir_make_tmp ("bench-location-XXXXXX", nullptr);
  g_autofree gchar *path = g_build_filename (dir, "places.db", nullptr);

  double start = now_ms ();
  fill (path, n);
  g_print ("liblodex location benchmark: %d places, SQLite %s\n", n, sqlite3_libversion ());
  g_print ("filled in %.1f s (raw SQLite, one transaction, child process)\n\n", (now_ms () - start) / 1000);

  g_autoptr (GTestDBus) bus = g_test_dbus_new (G_TEST_DBUS_NONE);
  g_test_dbus_up (bus);

  LodexStore *store = _lodex_store_get_from_file (path, LODEX_BENCH_SCHEMA);
  if (!store)
    g_error ("no store");
  sqlite3 *raw = nullptr;
  check (sqlite3_open_v2 (path, &raw, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK, raw);

  /* 3 first: the peak is the process's, and the sorts below use more */
  {
    g_print ("3. Walk all places through the store, dropping each\n");
    double before = max_rss_mib ();
    int walked = 0;
    double at[3] = {};
    start = now_ms ();
    for (LodexPlace *p = lodex_set_first (LODEX_SET (store)); p; p = lodex_set_next (LODEX_SET (store)))
      {
        g_object_unref (p);
        walked++;
        if (walked == n / 10)
          at[0] = current_rss_mib ();
        else if (walked == n / 2)
          at[1] = current_rss_mib ();
      }
    double seconds = (now_ms () - start) / 1000;
    at[2] = current_rss_mib ();
    if (walked != n)
      g_error ("walked %d of %d", walked, n);
    g_print ("   %d places in %.2f s (%.0f places/s)\n", walked, seconds, walked / seconds);
    g_print ("   resident at 10%%, 50%%, 100%%: %.1f, %.1f, %.1f MiB\n", at[0], at[1], at[2]);
    g_print ("   peak (ru_maxrss) before the walk %.1f MiB, after %.1f MiB (target < 64 MiB)\n\n", before,
             max_rss_mib ());
  }

  /* 1. the box */
  {
    const double density = n / ((max_fill_lat - min_fill_lat) * 360.0);
    const double side = sqrt (1000 / density);
    const double box[4] = {point_lat - side / 2, point_lat + side / 2, point_long - side / 2, point_long + side / 2};

    LodexLocationFilter *filter = lodex_location_filter_new (LODEX_SET (store));
    g_object_set (filter, "min-lat", box[0], "max-lat", box[1], "min-long", box[2], "max-long", box[3], nullptr);
    int lib_count = 0;
    double lib = best_ms (5, [&] {
      lib_count = 0;
      for (LodexPlace *p = lodex_set_first (LODEX_SET (filter)); p; p = lodex_set_next (LODEX_SET (filter)))
        {
          lib_count++;
          g_object_unref (p);
        }
    });

    const char *raw_query = "SELECT * FROM places WHERE latitude >= ?1 AND latitude <= ?2 "
                            "AND longitude >= ?3 AND longitude <= ?4";
    int raw_count = 0;
    double raw_ms = best_ms (5, [&] {
      sqlite3_stmt *s = nullptr;
      check (sqlite3_prepare_v2 (raw, raw_query, -1, &s, nullptr), SQLITE_OK, raw);
      for (int i = 0; i < 4; i++)
        sqlite3_bind_double (s, i + 1, box[i]);
      raw_count = int (read_rows (raw, s, -1).size ());
      sqlite3_finalize (s);
    });
    if (lib_count != raw_count)
      g_error ("the filter gave %d places, raw SQL %d", lib_count, raw_count);

    g_print ("1. Box %.2f..%.2f N, %.2f..%.2f E: %d places (best of 5)\n", box[0], box[1], box[2], box[3],
             lib_count);
    g_print ("   location filter  %8.2f ms per walk  (%.2f us per place)\n", lib, 1000 * lib / lib_count);
    g_print ("   raw SQLite       %8.2f ms per walk  (%.2f us per place)\n", raw_ms, 1000 * raw_ms / raw_count);
    g_print ("   ratio            %8.2fx (target <= 3x)\n", lib / raw_ms);
    g_print ("   query plans:\n");
    print_plan (_lodex_set_get_db (LODEX_SET (filter)), "filter", _lodex_set_get_query (LODEX_SET (filter)), nullptr,
                0);
    print_plan (raw, "raw", raw_query, box, 4);
    g_print ("\n");
    g_object_unref (filter);
  }

  /* 2. the ten nearest */
  {
    const int k = 10;
    std::vector<std::string> lib_ids;
    double lib = best_ms (5, [&] {
      LodexLocationSort *sort = lodex_location_sort_new (LODEX_SET (store));
      g_object_set (sort, "latitude", point_lat, "longitude", point_long, "altitude", point_alt, nullptr);
      lib_ids.clear ();
      LodexPlace *p = lodex_set_first (LODEX_SET (sort));
      for (int i = 0; p; i++)
        {
          lib_ids.emplace_back (_lodex_place_get_row (p)->id);
          g_object_unref (p);
          p = i + 1 < k ? lodex_set_next (LODEX_SET (sort)) : nullptr;
        }
      g_object_unref (sort); /* ends the walk: part of the cost */
    });

    _lodex_location_sort_origin_init (&raw_origin, point_lat, point_long, point_alt);
    check (sqlite3_create_function_v2 (raw, "distance_func", 3, SQLITE_ANY, nullptr, raw_distance_func, nullptr,
                                       nullptr, nullptr),
           SQLITE_OK, raw);
    auto raw_nearest = [&] (const char *query, int runs) {
      std::vector<std::string> ids;
      double ms = best_ms (runs, [&] {
        sqlite3_stmt *s = nullptr;
        check (sqlite3_prepare_v2 (raw, query, -1, &s, nullptr), SQLITE_OK, raw);
        ids = read_rows (raw, s, k);
        sqlite3_finalize (s);
      });
      if (ids != lib_ids)
        g_error ("raw SQL found other places than the sort");
      return ms;
    };
    const char *same_query = "SELECT * FROM places ORDER BY distance_func (latitude, longitude, altitude)";
    const char *top_query = "SELECT * FROM places ORDER BY distance_func (latitude, longitude, altitude) LIMIT 10";
    double same = raw_nearest (same_query, 5);
    double top = raw_nearest (top_query, 5);
    raw_log_every_row = true;
    double logged = raw_nearest (same_query, 3);
    raw_log_every_row = false;

    sqlite3_stmt *box = nullptr;
    check (sqlite3_prepare_v2 (raw,
                               "SELECT id, latitude, longitude, altitude FROM places WHERE latitude >= ?1 "
                               "AND latitude <= ?2 AND longitude >= ?3 AND longitude <= ?4",
                               -1, &box, nullptr),
           SQLITE_OK, raw);
    const double density = n / ((max_fill_lat - min_fill_lat) * 360.0); /* per square degree */
    /* a first cap expected to hold twice the places wanted: one round, usually */
    const double start_radius = sqrt (2 * k / (density * G_PI)) * G_PI / 180 * earth_radius;
    /* the search, then the ten rows whole, as the others give them */
    auto index_search = [&] (double radius, int *rounds, int *rows_read) {
      std::vector<std::string> ids;
      double ms = best_ms (5, [&] {
        ids = nearest_by_index (raw, box, k, radius, rounds, rows_read);
        sqlite3_stmt *s = nullptr;
        check (sqlite3_prepare_v2 (raw, "SELECT * FROM places WHERE id = ?1", -1, &s, nullptr), SQLITE_OK, raw);
        for (const std::string &id : ids)
          {
            sqlite3_bind_text (s, 1, id.c_str (), -1, SQLITE_STATIC);
            read_rows (raw, s, 1);
            sqlite3_reset (s);
          }
        sqlite3_finalize (s);
      });
      if (ids != lib_ids)
        g_error ("the index search found other places than the sort");
      return ms;
    };
    int rounds = 0, rows_read = 0, small_rounds = 0, small_rows = 0;
    double index_ms = index_search (start_radius, &rounds, &rows_read);
    double index_small_ms = index_search (start_radius / 16, &small_rounds, &small_rows);

    g_print ("2. The %d places nearest %.1f N %.1f E (first + %d next; best of 5)\n", k, point_lat, point_long,
             k - 1);
    g_print ("   location sort                         %9.2f ms\n", lib);
    g_print ("   raw, same query, same C function      %9.2f ms   ratio %.2fx (target <= 1.5x)\n", same,
             lib / same);
    g_print ("   raw, same with LIMIT 10 (top-N sort)  %9.2f ms   sort is %.1fx this\n", top, lib / top);
    g_print ("   raw, same, g_debug per row (dropped)  %9.2f ms   (+%.0f ns a row: what the once-a-walk check saves)\n",
             logged, (logged - same) * 1e6 / n);
    g_print ("   index-assisted widening box           %9.3f ms   %d round(s), %d rows in the boxes; sort is %.0fx this\n",
             index_ms, rounds, rows_read, lib / index_ms);
    g_print ("     same, first guess 16x too small     %9.3f ms   %d round(s), %d rows in the boxes\n", index_small_ms,
             small_rounds, small_rows);
    g_print ("   all give the same %d places in the same order\n", k);
    g_print ("   query plans:\n");
    g_autoptr (LodexLocationSort) sort = lodex_location_sort_new (LODEX_SET (store));
    print_plan (_lodex_set_get_db (LODEX_SET (store)), "sort", _lodex_set_get_query (LODEX_SET (sort)), nullptr, 0);
    const double guess_box[4] = {44, 46, 6, 8};
    print_plan (raw, "index", sqlite3_sql (box), guess_box, 4);
    sqlite3_finalize (box);
  }

  sqlite3_close (raw);
  g_object_unref (store);
  g_test_dbus_down (bus);
  bench::remove_scratch (dir, {"places.db"});
  return 0;
}
