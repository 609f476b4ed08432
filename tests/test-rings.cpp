/* The distance sort's own walk, ring by ring: the order of the whole sort,
 * around any inner set, whatever the walks around it do; and the index of
 * positions it reads, in new and older databases. */

#include "lodex-test-utils.h"
#include "lodex-location-sort-private.h"

#include <algorithm>
#include <cmath>
#include <functional>
#include <set>
#include <string>
#include <vector>

static const double NO_ALTITUDE = NAN;

/* Rings of one candidate more or less, half as many again each time, never
 * giving up for one statement: a walk of a thousand places goes through
 * dozens of them. */
static const LodexRingPlan many_rings = {1, 1.5, 1};

struct Spot
{
  double latitude, longitude, altitude;
};

/* Rows written as another program would, one transaction for all: fast,
 * and through the same triggers. Named and identified "<prefix><n>". */
static void
insert_places (const char *path, const std::vector<Spot> &spots, const char *prefix)
{
  sqlite3 *db = nullptr;
  g_assert_cmpint (sqlite3_open (path, &db), ==, SQLITE_OK);
  sqlite3_busy_timeout (db, 5000);
  sqlite3_stmt *insert = nullptr;
  g_assert_cmpint (sqlite3_exec (db, "BEGIN", nullptr, nullptr, nullptr), ==, SQLITE_OK);
  g_assert_cmpint (sqlite3_prepare_v2 (db,
                                       "INSERT INTO places (id, latitude, longitude, altitude, name, ctime) "
                                       "VALUES (?1, ?2, ?3, ?4, ?1, 0)",
                                       -1, &insert, nullptr),
                   ==, SQLITE_OK);
  for (size_t i = 0; i < spots.size (); i++)
    {
      g_autofree gchar *id = g_strdup_printf ("%s%04zu", prefix, i);
      sqlite3_bind_text (insert, 1, id, -1, SQLITE_TRANSIENT);
      sqlite3_bind_double (insert, 2, spots[i].latitude);
      sqlite3_bind_double (insert, 3, spots[i].longitude);
      if (std::isnan (spots[i].altitude))
        sqlite3_bind_null (insert, 4);
      else
        sqlite3_bind_double (insert, 4, spots[i].altitude);
      g_assert_cmpint (sqlite3_step (insert), ==, SQLITE_DONE);
      sqlite3_reset (insert);
    }
  sqlite3_finalize (insert);
  g_assert_cmpint (sqlite3_exec (db, "COMMIT", nullptr, nullptr, nullptr), ==, SQLITE_OK);
  sqlite3_close (db);
}

static void
exec_sql (const char *path, const char *sql)
{
  sqlite3 *db = nullptr;
  g_assert_cmpint (sqlite3_open (path, &db), ==, SQLITE_OK);
  sqlite3_busy_timeout (db, 5000);
  g_assert_cmpint (sqlite3_exec (db, sql, nullptr, nullptr, nullptr), ==, SQLITE_OK);
  sqlite3_close (db);
}

static gint64
query_int (const char *path, const char *sql)
{
  sqlite3 *db = nullptr;
  sqlite3_stmt *s = nullptr;
  g_assert_cmpint (sqlite3_open (path, &db), ==, SQLITE_OK);
  g_assert_cmpint (sqlite3_prepare_v2 (db, sql, -1, &s, nullptr), ==, SQLITE_OK);
  g_assert_cmpint (sqlite3_step (s), ==, SQLITE_ROW);
  gint64 value = sqlite3_column_int64 (s, 0);
  sqlite3_finalize (s);
  sqlite3_close (db);
  return value;
}

/* A place as a walk gave it. */
struct Visit
{
  std::string id, name;
  double latitude, longitude, altitude; /* altitude 0 when there is none */
};

static std::vector<Visit>
walk (gpointer set)
{
  std::vector<Visit> visits;
  for (LodexPlace *place = lodex_set_first (LODEX_SET (set)); place; place = lodex_set_next (LODEX_SET (set)))
    {
      const LodexPlaceRow *row = _lodex_place_get_row (place);
      visits.push_back ({row->id, row->name, row->latitude, row->longitude,
                         (row->fields & LODEX_PLACE_FIELD_ALTITUDE) ? row->altitude : 0.0});
      g_object_unref (place);
    }
  return visits;
}

static std::vector<std::string>
names (const std::vector<Visit> &visits)
{
  std::vector<std::string> names;
  for (const Visit &v : visits)
    names.push_back (v.name);
  return names;
}

/* Worked out apart from the library: the chord between unit vectors gives
 * the central angle. */
static double
independent_distance (const Visit &v, const double point[3])
{
  auto unit = [] (double lat, double lon, double u[3]) {
    lat *= G_PI / 180;
    lon *= G_PI / 180;
    u[0] = cos (lat) * cos (lon);
    u[1] = cos (lat) * sin (lon);
    u[2] = sin (lat);
  };
  double a[3], b[3];
  unit (v.latitude, v.longitude, a);
  unit (point[0], point[1], b);
  double chord = sqrt ((a[0] - b[0]) * (a[0] - b[0]) + (a[1] - b[1]) * (a[1] - b[1]) + (a[2] - b[2]) * (a[2] - b[2]));
  double surface = 6371008.8 * 2 * asin (MIN (chord / 2, 1.0));
  return hypot (surface, v.altitude - point[2]);
}

static bool
usual (const Visit &v)
{
  return fabs (v.latitude) <= 90 && fabs (v.longitude) <= 180;
}

/* @visits in the order of the independent distance from @point (usual
 * positions; within half a metre, which the two ways of working it out
 * may differ by near the antipode), places at one position in order of
 * id, and each place once. */
static void
assert_distance_order (const std::vector<Visit> &visits, const double point[3])
{
  std::set<std::string> seen;
  const Visit *last = nullptr;
  for (const Visit &v : visits)
    {
      g_assert_true (seen.insert (v.name).second);
      if (!usual (v))
        continue;
      if (last)
        {
          g_assert_cmpfloat (independent_distance (v, point), >=, independent_distance (*last, point) - 0.5);
          if (v.latitude == last->latitude && v.longitude == last->longitude && v.altitude == last->altitude)
            g_assert_cmpstr (last->name.c_str (), <, v.name.c_str ());
        }
      last = &v;
    }
}

/* The ids of the one statement of @set's text, as its walk would read it. */
static std::vector<std::string>
statement_ids (gpointer set)
{
  std::vector<std::string> ids;
  sqlite3_stmt *statement = _lodex_set_do_query (LODEX_SET (set));
  g_assert_nonnull (statement);
  while (sqlite3_step (statement) == SQLITE_ROW)
    ids.emplace_back (reinterpret_cast<const char *> (sqlite3_column_text (statement, 0)));
  sqlite3_finalize (statement);
  return ids;
}

/* The sort's walk against the one statement of its whole text (a filter
 * that keeps everything around it), and against the distance. */
static void
assert_rings_sort (LodexLocationSort *sort, const double point[3], size_t expected)
{
  g_object_set (sort, "latitude", point[0], "longitude", point[1], "altitude", point[2], nullptr);
  g_autoptr (LodexCategoryFilter) whole = lodex_category_filter_new (LODEX_SET (sort));
  std::vector<Visit> by_rings = walk (sort);
  g_assert_cmpuint (by_rings.size (), ==, expected);
  std::vector<std::string> ids;
  for (const Visit &v : by_rings)
    ids.push_back (v.id);
  g_assert_true (ids == statement_ids (whole));
  assert_distance_order (by_rings, point);
}

static void
test_order (StoreFixture *f, gconstpointer)
{
  g_autofree gchar *path = lodex_test_db_path ();
  g_autoptr (GRand) rand = g_rand_new_with_seed (1612);
  std::vector<Spot> spots;
  for (int i = 0; i < 1000; i++)
    spots.push_back ({asin (g_rand_double_range (rand, -1, 1)) * 180 / G_PI, g_rand_double_range (rand, -180, 180),
                      i % 3 ? g_rand_double_range (rand, -400, 9000) : NO_ALTITUDE});
  const Spot special[] = {
    /* the poles, whatever the longitude */
    {90, 0, NO_ALTITUDE},
    {90, 135, NO_ALTITUDE},
    {-90, -45, 0},
    {89.9999, 17, NO_ALTITUDE},
    {-89.5, 170, 20},
    /* the 180th meridian, from both sides */
    {0, 180, NO_ALTITUDE},
    {0, -180, NO_ALTITUDE},
    {5, 179.9999, 0},
    {5, -179.9999, 0},
    {-16.8, 179.5, NO_ALTITUDE},
    {-16.8, -179.5, NO_ALTITUDE},
    /* equal distances: one position many times, with altitude 0 or none,
     * and four around (0, 0) */
    {48.5, 2.5, NO_ALTITUDE},
    {48.5, 2.5, 0},
    {48.5, 2.5, NO_ALTITUDE},
    {48.5, 2.5, 0},
    {48.5, 2.5, NO_ALTITUDE},
    {48.5, 2.5, 300},
    {48.5, 2.5, 300},
    {0, 1, NO_ALTITUDE},
    {0, -1, NO_ALTITUDE},
    {1, 0, NO_ALTITUDE},
    {-1, 0, NO_ALTITUDE},
    /* positions the library accepts beyond the usual ranges */
    {95, 10, NO_ALTITUDE},
    {-100, 0, NO_ALTITUDE},
    {10, 200, NO_ALTITUDE},
    {-20, -400, 50},
    {1e300, 0, NO_ALTITUDE},
    {INFINITY, 0, NO_ALTITUDE},
    {0, -INFINITY, NO_ALTITUDE},
  };
  spots.insert (spots.end (), std::begin (special), std::end (special));
  for (int copy = 0; copy < 20; copy++) /* more places at one position than a ring holds */
    spots.push_back ({-33.9, 151.2, copy % 2 ? 0 : NO_ALTITUDE});
  insert_places (path, spots, "p");
  exec_sql (path, "INSERT INTO categories (id, name) VALUES ('c', 'every other place');"
                  "INSERT INTO p2c (place_id, category_id) SELECT id, 'c' FROM places WHERE rowid % 2 = 0");

  g_autoptr (LodexCategory) category = lodex_store_get_category_by_id (f->store, "c");
  g_autoptr (LodexCategoryFilter) members = lodex_category_filter_new (LODEX_SET (f->store));
  g_object_set (members, "category", category, nullptr);
  g_autoptr (LodexLocationFilter) box = lodex_location_filter_new (LODEX_SET (f->store));
  g_object_set (box, "min-lat", -30.0, "max-lat", 60.0, "min-long", -20.0, "max-long", 100.0, nullptr);
  g_autoptr (LodexLocationFilter) across = lodex_location_filter_new (LODEX_SET (f->store));
  g_object_set (across, "min-lat", -40.0, "max-lat", 40.0, "min-long", 150.0, "max-long", -150.0, nullptr);
  const struct
  {
    LodexSet *set;
    size_t places;
  } inners[] = {
    {LODEX_SET (f->store), spots.size ()},
    {LODEX_SET (members), spots.size () / 2},
    {LODEX_SET (box), walk (box).size ()},
    {LODEX_SET (across), walk (across).size ()},
  };
  /* around the filters, the first four */
  const double points[][3] = {
    {48.5, 2.5, 0},
    {0, 180, 0},
    {89.5, -30, 0},
    {-33.9, 151.2, 0},
    {90, 0, 0},
    {-16.8, -180, 0},
    {0, 0, 0},
    {10, 20, 5000},
  };

  _lodex_location_sort_set_ring_plan (&many_rings);
  for (const auto &inner : inners)
    {
      g_assert_cmpuint (inner.places, >, 0);
      g_autoptr (LodexLocationSort) sort = lodex_location_sort_new (inner.set);
      for (const auto &point : points)
        if (inner.set == LODEX_SET (f->store) || &point - points < 4)
          assert_rings_sort (sort, point, inner.places);
    }

  /* the library's own rings */
  _lodex_location_sort_set_ring_plan (nullptr);
  g_autoptr (LodexLocationSort) sort = lodex_location_sort_new (LODEX_SET (f->store));
  for (const auto &point : points)
    assert_rings_sort (sort, point, spots.size ());

  /* a longitude that is text, which another program may write: SQL
   * compares it above any number, the distance and the R*Tree take it for
   * 0 */
  exec_sql (path, "INSERT INTO places (id, latitude, longitude, name, ctime) VALUES ('text', 3, 'east', 'text', 0)");
  _lodex_location_sort_set_ring_plan (&many_rings);
  for (const auto &point : {points[5], points[6]})
    assert_rings_sort (sort, point, spots.size () + 1);
  g_autoptr (LodexLocationSort) across_sort = lodex_location_sort_new (LODEX_SET (across));
  assert_rings_sort (across_sort, points[1], inners[3].places + 1);
  _lodex_location_sort_set_ring_plan (nullptr);
}

/* Walks @sorts to their ends in turns, a place each, calling @between after
 * every turn. */
static void
assert_walks_interleaved (std::vector<LodexLocationSort *> sorts, const std::vector<std::vector<std::string>> &expected, const std::function<void (int)> &between)
{
  std::vector<std::vector<std::string>> found (sorts.size ());
  std::vector<LodexPlace *> current (sorts.size ());
  for (size_t s = 0; s < sorts.size (); s++)
    current[s] = lodex_set_first (LODEX_SET (sorts[s]));
  for (int step = 0; std::any_of (current.begin (), current.end (), [] (LodexPlace *p) { return p != nullptr; }); step++)
    {
      for (size_t s = 0; s < sorts.size (); s++)
        if (current[s])
          {
            found[s].emplace_back (_lodex_place_get_row (current[s])->name);
            g_object_unref (current[s]);
            current[s] = lodex_set_next (LODEX_SET (sorts[s]));
          }
      between (step);
    }
  for (size_t s = 0; s < sorts.size (); s++)
    g_assert_true (found[s] == expected[s]);
}

static void
test_walks_apart (StoreFixture *f, gconstpointer)
{
  g_autofree gchar *path = lodex_test_db_path ();
  std::vector<Spot> spots;
  for (int i = 0; i < 300; i++) /* every 0.1 degree along the equator */
    spots.push_back ({0, -15 + 0.1 * i, i % 2 ? NO_ALTITUDE : 10});
  insert_places (path, spots, "e");
  std::vector<std::string> eastwards, westwards;
  for (int i = 0; i < 300; i++)
    {
      g_autofree gchar *name = g_strdup_printf ("e%04d", i);
      eastwards.push_back (name);
    }
  westwards.assign (eastwards.rbegin (), eastwards.rend ());

  _lodex_location_sort_set_ring_plan (&many_rings);

  /* a set inside that changes half-way does not change the set that a walk
   * around it gives, as it would not change one statement */
  exec_sql (path, "INSERT INTO categories (id, name) VALUES ('odd', 'odd'), ('even', 'even');"
                  "INSERT INTO p2c (place_id, category_id) "
                  "SELECT id, CASE WHEN rowid % 2 THEN 'odd' ELSE 'even' END FROM places");
  {
    g_autoptr (LodexCategory) odd = lodex_store_get_category_by_id (f->store, "odd");
    g_autoptr (LodexCategory) even = lodex_store_get_category_by_id (f->store, "even");
    g_autoptr (LodexCategoryFilter) members = lodex_category_filter_new (LODEX_SET (f->store));
    g_object_set (members, "category", odd, nullptr);
    g_autoptr (LodexLocationSort) around = lodex_location_sort_new (LODEX_SET (members));
    g_object_set (around, "longitude", -15.0, nullptr);
    std::vector<std::string> found;
    for (LodexPlace *place = lodex_set_first (LODEX_SET (around)); place; place = lodex_set_next (LODEX_SET (around)))
      {
        found.emplace_back (_lodex_place_get_row (place)->name);
        g_object_unref (place);
        if (found.size () == 30)
          g_object_set (members, "category", even, nullptr);
        else if (found.size () == 60)
          g_object_set (members, "category", nullptr, nullptr);
      }
    g_assert_cmpuint (found.size (), ==, 150);
    for (size_t i = 0; i < found.size (); i++)
      g_assert_cmpstr (found[i].c_str (), ==, eastwards[2 * i].c_str ());
  }

  g_autoptr (LodexLocationSort) west = lodex_location_sort_new (LODEX_SET (f->store));
  g_object_set (west, "longitude", -15.0, nullptr);
  g_autoptr (LodexLocationSort) east = lodex_location_sort_new (LODEX_SET (f->store));
  g_object_set (east, "longitude", 15.0, nullptr);

  /* a walk left after its first place holds its connection and snapshot */
  g_autoptr (LodexLocationSort) left = lodex_location_sort_new (LODEX_SET (f->store));
  g_autoptr (LodexPlace) centre = lodex_set_first (LODEX_SET (left));
  g_assert_cmpstr (_lodex_place_get_row (centre)->name, ==, "e0150");

  /* two walks in turns, a third started between their steps and left, and
   * the store changed half-way: each walk keeps its own point and the
   * places as they were at its first step, every one once */
  g_autoptr (LodexPlace) moved = lodex_store_get_place_by_id (f->store, "e0010");
  g_autoptr (LodexPlace) removed = lodex_store_get_place_by_id (f->store, "e0290");
  g_autoptr (LodexLocationSort) middle = lodex_location_sort_new (LODEX_SET (f->store));
  g_object_set (middle, "longitude", 0.02, nullptr);
  assert_walks_interleaved ({west, east}, {eastwards, westwards}, [&] (int step) {
    if (step % 10 == 0)
      {
        g_autoptr (LodexPlace) first = lodex_set_first (LODEX_SET (middle));
        g_autoptr (LodexPlace) second = lodex_set_next (LODEX_SET (middle));
        g_assert_cmpstr (_lodex_place_get_row (first)->name, ==, "e0150");
        g_assert_cmpstr (_lodex_place_get_row (second)->name, ==, "e0151");
      }
    if (step == 100)
      {
        g_autoptr (LodexPlace) added = lodex_place_new ("added", 0, -14.95);
        g_assert_true (lodex_store_add_place (f->store, added));
        g_object_set (moved, "longitude", 40.0, nullptr);
        lodex_place_commit (moved);
        g_assert_true (lodex_store_remove_place (f->store, removed));
      }
  });

  /* new walks see the change; the one left over starts again */
  std::vector<std::string> now = names (walk (west));
  g_assert_cmpuint (now.size (), ==, 300);
  g_assert_cmpstr (now[0].c_str (), ==, "e0000");
  g_assert_cmpstr (now[1].c_str (), ==, "added");
  g_assert_cmpstr (now.back ().c_str (), ==, "e0010");
  g_assert_true (std::find (now.begin (), now.end (), "e0290") == now.end ());
  g_clear_object (&centre);
  centre = lodex_set_first (LODEX_SET (left));
  g_assert_cmpstr (_lodex_place_get_row (centre)->name, ==, "e0150");
  _lodex_location_sort_set_ring_plan (nullptr);
}

static void
test_few_places (StoreFixture *f, gconstpointer)
{
  g_autofree gchar *path = lodex_test_db_path ();
  g_autoptr (LodexLocationSort) sort = lodex_location_sort_new (LODEX_SET (f->store));
  const double here[3] = {10, 10, 0}, far[3] = {-20, 50, 0};

  for (const LodexRingPlan *plan : {&many_rings, (const LodexRingPlan *) nullptr})
    {
      _lodex_location_sort_set_ring_plan (plan);
      g_assert_null (lodex_set_first (LODEX_SET (sort))); /* an empty store */
    }

  insert_places (path, {{10, 10, 50}}, "one");
  for (const LodexRingPlan *plan : {&many_rings, (const LodexRingPlan *) nullptr})
    {
      _lodex_location_sort_set_ring_plan (plan);
      assert_rings_sort (sort, far, 1);
    }

  /* all at one point: the order of id, the higher ones after */
  std::vector<Spot> same;
  for (int i = 0; i < 40; i++)
    same.push_back ({10, 10, i % 2 ? 0 : NO_ALTITUDE});
  insert_places (path, same, "same");
  for (const LodexRingPlan *plan : {&many_rings, (const LodexRingPlan *) nullptr})
    {
      _lodex_location_sort_set_ring_plan (plan);
      for (const double *point : {here, far})
        {
          assert_rings_sort (sort, point, 41);
          std::vector<std::string> order = names (walk (sort));
          g_assert_cmpstr (order.front ().c_str (), ==, "same0000");
          g_assert_cmpstr (order[39].c_str (), ==, "same0039");
          g_assert_cmpstr (order.back ().c_str (), ==, "one0000");
        }
    }

  /* ever new chains of sets, each with texts of its own, as nested boxes
   * have: their statements are not all kept */
  for (int chain = 0; chain < 40; chain++)
    {
      g_autoptr (LodexLocationFilter) outer = lodex_location_filter_new (LODEX_SET (f->store));
      g_object_set (outer, "min-lat", 0.0, "max-lat", 20.0, "min-long", 0.0, "max-long", 20.0, nullptr);
      g_autoptr (LodexLocationFilter) inner = lodex_location_filter_new (LODEX_SET (outer));
      g_object_set (inner, "min-lat", 5.0, "max-lat", 15.0, "min-long", 5.0, "max-long", 15.0, nullptr);
      g_autoptr (LodexLocationSort) nested = lodex_location_sort_new (LODEX_SET (inner));
      assert_rings_sort (nested, far, 41);
    }

  /* a latitude that is text, which another program may write: SQL
   * compares it above any number, the distance takes it for 0 */
  exec_sql (path, "INSERT INTO places (id, latitude, longitude, name, ctime) VALUES ('text', 'north', 12, 'text', 0)");
  const double pole[3] = {89.5, -30, 0};
  for (const LodexRingPlan *plan : {&many_rings, (const LodexRingPlan *) nullptr})
    {
      _lodex_location_sort_set_ring_plan (plan);
      assert_rings_sort (sort, pole, 42);
    }
  _lodex_location_sort_set_ring_plan (nullptr);
}

static void
test_older_database (StoreFixture *f, gconstpointer)
{
  /* a database of the version before the index of positions */
  g_autofree gchar *path = g_build_filename (g_get_home_dir (), "older.db", nullptr);
  exec_sql (path, "PRAGMA journal_mode=WAL");
  {
    g_autofree gchar *schema = nullptr;
    g_assert_true (g_file_get_contents (LODEX_TEST_SCHEMA, &schema, nullptr, nullptr));
    exec_sql (path, schema);
  }
  exec_sql (path, "DROP TRIGGER places_rtree_insert; DROP TRIGGER places_rtree_delete; "
                  "DROP TRIGGER places_rtree_update; DROP TABLE places_rtree");
  g_autoptr (GRand) rand = g_rand_new_with_seed (77);
  std::vector<Spot> spots;
  for (int i = 0; i < 500; i++)
    spots.push_back ({g_rand_double_range (rand, 40, 50), g_rand_double_range (rand, 0, 10), NO_ALTITUDE});
  insert_places (path, spots, "o");
  g_assert_cmpint (query_int (path, "PRAGMA user_version"), ==, 0);
  _lodex_location_sort_set_ring_plan (&many_rings);
  const double point[3] = {45, 5, 0};

  /* opened without the schema file, it is sorted in one statement */
  {
    LodexStore *store = _lodex_store_get_from_file (path, nullptr);
    g_assert_nonnull (store);
    LodexLocationSort *sort = lodex_location_sort_new (LODEX_SET (store));
    assert_rings_sort (sort, point, 500);
    g_assert_finalize_object (sort);
    g_assert_finalize_object (store);
  }

  /* opened with it, it gains the index, filled once */
  LodexStore *store = _lodex_store_get_from_file (path, LODEX_TEST_SCHEMA);
  g_assert_nonnull (store);
  g_assert_cmpint (query_int (path, "PRAGMA user_version"), >=, 1);
  g_assert_cmpint (query_int (path, "SELECT count(*) FROM places_rtree"), ==, 500);
  LodexLocationSort *sort = lodex_location_sort_new (LODEX_SET (store));
  assert_rings_sort (sort, point, 500);

  /* which follows every change */
  std::vector<std::string> before = names (walk (sort));
  g_autoptr (LodexPlace) nearest = lodex_store_get_place_by_id (store, before.front ().c_str ());
  g_autoptr (LodexPlace) farthest = lodex_store_get_place_by_id (store, before.back ().c_str ());
  g_object_set (nearest, "latitude", -45.0, nullptr);
  lodex_place_commit (nearest);
  g_object_set (farthest, "latitude", 45.0002, "longitude", 5.0, nullptr);
  lodex_place_commit (farthest);
  g_assert_true (lodex_store_remove_place (store, farthest));
  g_autoptr (LodexPlace) added = lodex_place_new ("added", 45.0001, 5);
  g_assert_true (lodex_store_add_place (store, added));
  g_assert_true (lodex_store_add_place (store, farthest));
  g_assert_cmpint (query_int (path, "SELECT count(*) FROM places_rtree"), ==, 501);
  assert_rings_sort (sort, point, 501);
  std::vector<std::string> after = names (walk (sort));
  g_assert_cmpstr (after[0].c_str (), ==, "added");
  g_assert_cmpstr (after[1].c_str (), ==, before.back ().c_str ());
  g_assert_cmpstr (after.back ().c_str (), ==, before.front ().c_str ());
  _lodex_location_sort_set_ring_plan (nullptr);

  g_clear_object (&nearest);
  g_clear_object (&farthest);
  g_clear_object (&added);
  g_assert_finalize_object (sort);
  lodex_test_settle ();
  g_assert_finalize_object (store);
}

int
main (int argc, char **argv)
{
  g_test_init (&argc, &argv, G_TEST_OPTION_ISOLATE_DIRS, nullptr);
  LODEX_TEST_ADD ("/location-sort/rings/order", test_order);
  LODEX_TEST_ADD ("/location-sort/rings/walks-apart", test_walks_apart);
  LODEX_TEST_ADD ("/location-sort/rings/few-places", test_few_places);
  LODEX_TEST_ADD ("/location-sort/rings/older-database", test_older_database);
  return lodex_test_run_with_bus ();
}
