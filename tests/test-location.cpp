/* The location filter and the location sort: boxes, distance order, chains
 * of sets, and walks that end or interleave. */

#include "lodex-test-utils.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <set>
#include <string>
#include <vector>

static const double NO_ALTITUDE = NAN;

static void
add_place (LodexStore *store, const char *name, double latitude, double longitude, double altitude = NO_ALTITUDE)
{
  g_autoptr (LodexPlace) place = lodex_place_new (name, latitude, longitude);
  if (!std::isnan (altitude))
    g_object_set (place, "altitude", altitude, nullptr);
  g_assert_true (lodex_store_add_place (store, place));
}

/* The names of a whole walk, in walk order. */
static std::vector<std::string>
walk (gpointer set)
{
  std::vector<std::string> names;
  for (LodexPlace *place = lodex_set_first (LODEX_SET (set)); place; place = lodex_set_next (LODEX_SET (set)))
    {
      names.emplace_back (_lodex_place_get_row (place)->name);
      g_object_unref (place);
    }
  return names;
}

static std::set<std::string>
walk_set (gpointer set)
{
  auto names = walk (set);
  return {names.begin (), names.end ()};
}

using Names = std::set<std::string>;

/* Location filter */

static void
test_filter_box (StoreFixture *f, gconstpointer)
{
  add_place (f->store, "inside", 10, 20, 5000);
  add_place (f->store, "south-west corner", 9, 18);
  add_place (f->store, "north-east corner", 11, 22, -30);
  add_place (f->store, "too far north", 11.000001, 20);
  add_place (f->store, "too far west", 10, 17.999999);
  add_place (f->store, "elsewhere", -40, 100);

  g_autoptr (LodexLocationFilter) filter = lodex_location_filter_new (LODEX_SET (f->store));
  g_object_set (filter, "min-lat", 9.0, "max-lat", 11.0, "min-long", 18.0, "max-long", 22.0, nullptr);

  /* each bound lands in its own property */
  double min_lat, max_lat, min_long, max_long;
  gboolean ignore_altitude;
  g_object_get (filter, "min-lat", &min_lat, "max-lat", &max_lat, "min-long", &min_long, "max-long",
                &max_long, "ignore-altitude", &ignore_altitude, nullptr);
  g_assert_cmpfloat (min_lat, ==, 9.0);
  g_assert_cmpfloat (max_lat, ==, 11.0);
  g_assert_cmpfloat (min_long, ==, 18.0);
  g_assert_cmpfloat (max_long, ==, 22.0);
  g_assert_true (ignore_altitude);

  /* inclusive bounds; altitude ignored by default */
  g_assert_true (walk_set (filter) == (Names{"inside", "south-west corner", "north-east corner"}));

  /* an empty box says nothing and holds nothing */
  g_object_set (filter, "min-lat", 12.0, nullptr);
  g_assert_null (lodex_set_first (LODEX_SET (filter)));
  g_test_expect_message ("Lodex", G_LOG_LEVEL_CRITICAL,
                         "lodex_location_filter_set_next: assertion 'priv->statement != NULL' failed");
  g_assert_null (lodex_set_next (LODEX_SET (filter)));
  g_test_assert_expected_messages ();
}

static void
test_filter_antimeridian (StoreFixture *f, gconstpointer)
{
  add_place (f->store, "east", 1, 175);
  add_place (f->store, "west", -1, -175);
  add_place (f->store, "edge east", 0, 170);
  add_place (f->store, "edge west", 0, -170);
  add_place (f->store, "greenwich", 0, 0);
  add_place (f->store, "just inside the gap", 0, 169.9);

  g_autoptr (LodexLocationFilter) filter = lodex_location_filter_new (LODEX_SET (f->store));
  g_object_set (filter, "min-lat", -10.0, "max-lat", 10.0, "min-long", 170.0, "max-long", -170.0, nullptr);
  g_assert_true (walk_set (filter) == (Names{"east", "west", "edge east", "edge west"}));

  /* the ordinary box again: 0 but neither side */
  g_object_set (filter, "min-long", -170.0, "max-long", 170.0, nullptr);
  g_assert_true (walk_set (filter) == (Names{"edge east", "edge west", "greenwich", "just inside the gap"}));
}

/* Boxes of under an eighth of the longitudes go through the R*Tree of
 * positions and give what the index of latitudes gives: across the 180th
 * meridian, at the poles, on their edges, and just outside them, where the
 * R*Tree's rounded coordinates still hold the place. */
static void
test_filter_rtree (StoreFixture *f, gconstpointer)
{
  const double latitudes[] = {-90, -89.99999, -45.1, -0.000001, 0, 45.12345678, 45.123456789, 89.99999, 90};
  const double longitudes[] = {-180, -179.99999, -90, -0.000001, 0, 10, 10.00000001, 90, 179.99999, 180};
  g_autoptr (GRand) rand = g_rand_new_with_seed (21);
  g_assert_true (_lodex_store_batch_begin (f->store));
  int n = 0;
  for (double latitude : latitudes)
    for (double longitude : longitudes)
      add_place (f->store, "grid", latitude, longitude, n++ % 3 ? 50.0 * (n % 3) : NO_ALTITUDE);
  for (int i = 0; i < 300; i++)
    add_place (f->store, "random", g_rand_double_range (rand, -90, 90), g_rand_double_range (rand, -180, 180),
               i % 2 ? g_rand_double_range (rand, -100, 200) : NO_ALTITUDE);
  g_assert_true (_lodex_store_batch_end (f->store));

  g_autofree gchar *path = lodex_test_db_path ();
  sqlite3 *db = nullptr;
  g_assert_cmpint (sqlite3_open (path, &db), ==, SQLITE_OK);
  const struct
  {
    double min_lat, max_lat, min_long, max_long, min_alt, max_alt;
  } boxes[] = {
    {-10, 10, 170, -170, 1, 0},                   /* across the 180th meridian */
    {89, 90, -180, -170, 1, 0},                   /* the North Pole, the western edge */
    {89.99999, 90, 170, -170, 1, 0},              /* both */
    {-90, -89, 179.99999, 180, 1, 0},             /* the South Pole, the eastern edge */
    {45.123456789, 60, 10, 40, 1, 0},             /* a place on the edge, one just south */
    {-60, 45.12345678, 0, 10, 1, 0},              /* and the other way */
    {-0.000001, 0, -0.000001, 10.00000001, 1, 0}, /* around the origin */
    {0, 0, 0, 0, 1, 0},                           /* a point */
    {-50, 50, -100, -60, 0, 100},                 /* with the altitude */
  };
  g_autoptr (LodexLocationFilter) filter = lodex_location_filter_new (LODEX_SET (f->store));
  _lodex_location_filter_set_rtree_cost (0); /* so few places: the band would do */
  for (const auto &b : boxes)
    {
      const bool altitude = b.min_alt <= b.max_alt, crosses = b.min_long > b.max_long;
      g_object_set (filter, "min-lat", b.min_lat, "max-lat", b.max_lat, "min-long", b.min_long, "max-long", b.max_long,
                    "ignore-altitude", !altitude, "min-alt", b.min_alt, "max-alt", b.max_alt, nullptr);
      g_assert_nonnull (strstr (_lodex_set_get_query (LODEX_SET (filter)), "places_rtree"));
      std::set<std::string> walked;
      for (LodexPlace *p = lodex_set_first (LODEX_SET (filter)); p; p = lodex_set_next (LODEX_SET (filter)))
        {
          walked.insert (_lodex_place_get_row (p)->id);
          g_object_unref (p);
        }

      /* the filter's text before it read the R*Tree */
      g_autofree gchar *band = g_strdup_printf (
        "SELECT id FROM places WHERE latitude >= ?1 AND latitude <= ?2 AND %s%s",
        crosses ? "(longitude >= ?3 OR longitude <= ?4)" : "longitude >= ?3 AND longitude <= ?4",
        altitude ? " AND ((altitude >= ?5 AND altitude <= ?6) OR altitude IS NULL)" : "");
      sqlite3_stmt *s = nullptr;
      g_assert_cmpint (sqlite3_prepare_v2 (db, band, -1, &s, nullptr), ==, SQLITE_OK);
      const double values[] = {b.min_lat, b.max_lat, b.min_long, b.max_long, b.min_alt, b.max_alt};
      for (int i = 0; i < (altitude ? 6 : 4); i++)
        sqlite3_bind_double (s, i + 1, values[i]);
      std::set<std::string> expected;
      while (sqlite3_step (s) == SQLITE_ROW)
        expected.insert (reinterpret_cast<const char *> (sqlite3_column_text (s, 0)));
      sqlite3_finalize (s);
      g_assert_cmpuint (expected.size (), >, 0);
      g_assert_true (walked == expected);
    }
  _lodex_location_filter_set_rtree_cost (-1);
  sqlite3_close (db);
}

static void
test_filter_altitude (StoreFixture *f, gconstpointer)
{
  add_place (f->store, "low", 1, 1, 50);
  add_place (f->store, "middle", 1, 1, 150);
  add_place (f->store, "high", 1, 1, 250);
  add_place (f->store, "sea level", 1, 1, 0);
  add_place (f->store, "unknown", 1, 1);

  g_autoptr (LodexLocationFilter) filter = lodex_location_filter_new (LODEX_SET (f->store));
  g_object_set (filter, "min-lat", 0.0, "max-lat", 2.0, "min-long", 0.0, "max-long", 2.0, nullptr);

  /* the band left at 0 .. 0 */
  g_object_set (filter, "ignore-altitude", FALSE, nullptr);
  g_assert_true (walk_set (filter) == (Names{"sea level", "unknown"}));

  g_object_set (filter, "min-alt", 50.0, "max-alt", 150.0, nullptr);
  g_assert_true (walk_set (filter) == (Names{"low", "middle", "unknown"}));

  /* off and on again between walks: the band comes back as it was */
  g_object_set (filter, "ignore-altitude", TRUE, nullptr);
  g_assert_true (walk_set (filter) == (Names{"low", "middle", "high", "sea level", "unknown"}));
  g_object_set (filter, "ignore-altitude", FALSE, nullptr);
  g_assert_true (walk_set (filter) == (Names{"low", "middle", "unknown"}));
}

static void
test_filter_walk_ends (StoreFixture *f, gconstpointer)
{
  for (int i = 0; i < 3; i++)
    {
      g_autofree gchar *name = g_strdup_printf ("p%d", i);
      add_place (f->store, name, i, i);
    }
  g_autoptr (LodexLocationFilter) filter = lodex_location_filter_new (LODEX_SET (f->store));
  g_object_set (filter, "min-lat", -1.0, "max-lat", 5.0, "min-long", -1.0, "max-long", 5.0, nullptr);
  LodexTestRecorder changed (filter, "changed");

  /* first () in the middle of a walk starts it over */
  g_autoptr (LodexPlace) one = lodex_set_first (LODEX_SET (filter));
  g_assert_nonnull (one);
  g_autoptr (LodexPlace) two = lodex_set_next (LODEX_SET (filter));
  g_assert_nonnull (two);
  g_assert_cmpuint (walk (filter).size (), ==, 3);

  /* setting a bound to the value it has still ends the walk and tells */
  g_autoptr (LodexPlace) again = lodex_set_first (LODEX_SET (filter));
  g_assert_nonnull (again);
  g_object_set (filter, "min-lat", -1.0, nullptr);
  g_assert_cmpuint (changed.count, ==, 1);
  g_test_expect_message ("Lodex", G_LOG_LEVEL_CRITICAL,
                         "lodex_location_filter_set_next: assertion 'priv->statement != NULL' failed");
  g_assert_null (lodex_set_next (LODEX_SET (filter)));
  g_test_assert_expected_messages ();

  g_object_set (filter, "ignore-altitude", TRUE, "max-alt", 3.0, nullptr);
  g_assert_cmpuint (changed.count, ==, 3);
}

static void
test_filter_nested (StoreFixture *f, gconstpointer)
{
  add_place (f->store, "both", 5, 5);
  add_place (f->store, "inner only", 1, 1);
  add_place (f->store, "outer only", 9, 9);

  g_autoptr (LodexLocationFilter) inner = lodex_location_filter_new (LODEX_SET (f->store));
  g_object_set (inner, "min-lat", 0.0, "max-lat", 6.0, "min-long", 0.0, "max-long", 6.0, nullptr);
  g_autoptr (LodexLocationFilter) outer = lodex_location_filter_new (LODEX_SET (inner));
  g_object_set (outer, "min-lat", 4.0, "max-lat", 10.0, "min-long", 4.0, "max-long", 10.0, "ignore-altitude",
                FALSE, "min-alt", -1.0, "max-alt", 1.0, nullptr);

  /* each level keeps its own box */
  g_assert_true (walk_set (outer) == (Names{"both"}));
  g_assert_true (walk_set (inner) == (Names{"both", "inner only"}));
}

static void
test_filter_changed (StoreFixture *f, gconstpointer)
{
  g_autoptr (LodexLocationFilter) filter = lodex_location_filter_new (LODEX_SET (f->store));
  g_autoptr (LodexLocationSort) sort = lodex_location_sort_new (LODEX_SET (filter));
  LodexTestRecorder filter_changed (filter, "changed");
  LodexTestRecorder sort_changed (sort, "changed");

  add_place (f->store, "new", 0, 0);
  lodex_test_wait ([&] { return filter_changed.count > 0 && sort_changed.count > 0; });

  /* after the filter's own change, the sort relays it too */
  guint before = sort_changed.count;
  g_object_set (filter, "max-lat", 1.0, nullptr);
  g_assert_cmpuint (sort_changed.count, ==, before + 1);
  g_assert_true (walk_set (sort) == (Names{"new"}));
}

static void
test_new_null (StoreFixture *f, gconstpointer)
{
  g_test_expect_message ("Lodex", G_LOG_LEVEL_CRITICAL, "lodex_location_filter_new: assertion 'set != NULL' failed");
  g_assert_null (lodex_location_filter_new (nullptr));
  g_test_assert_expected_messages ();

  g_test_expect_message ("Lodex", G_LOG_LEVEL_CRITICAL, "lodex_location_sort_new: assertion 'set != NULL' failed");
  g_assert_null (lodex_location_sort_new (nullptr));
  g_test_assert_expected_messages ();
}

/* Location sort */

/* Worked out apart from the library: the chord between unit vectors gives
 * the central angle. */
static double
expected_distance (const LodexPlaceRow *row, double latitude, double longitude, double altitude)
{
  auto unit = [] (double lat, double lon, double v[3]) {
    lat *= G_PI / 180;
    lon *= G_PI / 180;
    v[0] = cos (lat) * cos (lon);
    v[1] = cos (lat) * sin (lon);
    v[2] = sin (lat);
  };
  double a[3], b[3];
  unit (row->latitude, row->longitude, a);
  unit (latitude, longitude, b);
  double chord = sqrt ((a[0] - b[0]) * (a[0] - b[0]) + (a[1] - b[1]) * (a[1] - b[1]) + (a[2] - b[2]) * (a[2] - b[2]));
  double surface = 6371008.8 * 2 * asin (MIN (chord / 2, 1.0));
  double place_altitude = (row->fields & LODEX_PLACE_FIELD_ALTITUDE) ? row->altitude : 0.0;
  return hypot (surface, place_altitude - altitude);
}

/* Walks @sort and checks that it gives every one of @n places once, each no
 * nearer the point than the one before. */
static void
assert_sorted (LodexLocationSort *sort, guint n)
{
  double latitude, longitude, altitude;
  g_object_get (sort, "latitude", &latitude, "longitude", &longitude, "altitude", &altitude, nullptr);
  std::set<std::string> seen;
  double last = 0;
  for (LodexPlace *place = lodex_set_first (LODEX_SET (sort)); place; place = lodex_set_next (LODEX_SET (sort)))
    {
      const LodexPlaceRow *row = _lodex_place_get_row (place);
      double distance = expected_distance (row, latitude, longitude, altitude);
      g_assert_cmpfloat (distance, >=, last - 1.0); /* within rounding near the antipode */
      last = distance;
      g_assert_true (seen.insert (row->name).second);
      g_object_unref (place);
    }
  g_assert_cmpuint (seen.size (), ==, n);
}

static void
test_sort_random (StoreFixture *f, gconstpointer)
{
  const guint n = 300;
  g_autoptr (GRand) rand = g_rand_new_with_seed (4242);
  for (guint i = 0; i < n; i++)
    {
      g_autofree gchar *name = g_strdup_printf ("r%u", i);
      double altitude = g_rand_int_range (rand, 0, 3) == 0 ? NO_ALTITUDE : g_rand_double_range (rand, -400, 9000);
      add_place (f->store, name, g_rand_double_range (rand, -90, 90), g_rand_double_range (rand, -180, 180),
                 altitude);
    }

  g_autoptr (LodexLocationSort) sort = lodex_location_sort_new (LODEX_SET (f->store));
  const double points[][3] = {{0, 0, 0}, {51.5, -0.1, 30}, {-33.9, 179.5, 0}, {89.9, 40, 8000}};
  for (const auto &point : points)
    {
      g_object_set (sort, "latitude", point[0], "longitude", point[1], "altitude", point[2], nullptr);
      assert_sorted (sort, n);
    }
}

static void
test_sort_metres (StoreFixture *f, gconstpointer)
{
  add_place (f->store, "across the meridian", 0, -179);
  add_place (f->store, "same side", 0, 170);
  add_place (f->store, "greenwich", 0, 0);
  add_place (f->store, "overhead", 0, 179, 300000);

  g_autoptr (LodexLocationSort) sort = lodex_location_sort_new (LODEX_SET (f->store));
  g_object_set (sort, "longitude", 179.0, nullptr);
  /* 2 degrees of arc are 222 km; 300 km straight up counts in full */
  std::vector<std::string> expected = {"across the meridian", "overhead", "same side", "greenwich"};
  g_assert_true (walk (sort) == expected);

  /* the values themselves, from the function of the connection that the
   * next walk reads on */
  sqlite3 *db = _lodex_store_get_walk_db (f->store);
  sqlite3_stmt *raw = nullptr;
  g_assert_cmpint (sqlite3_prepare_v2 (db, "SELECT distance_func (0, -179, NULL), distance_func (3, 4, 5)", -1, &raw, nullptr),
                   ==, SQLITE_OK);
  g_object_set (sort, "longitude", 179.0, "altitude", 5.0, nullptr);
  g_autoptr (LodexPlace) first = lodex_set_first (LODEX_SET (sort)); /* puts the point in place */
  g_assert_nonnull (first);
  g_assert_cmpint (sqlite3_step (raw), ==, SQLITE_ROW);
  g_assert_cmpfloat_with_epsilon (sqlite3_column_double (raw, 0), 222390.16, 0.01);
  g_assert_cmpfloat_with_epsilon (sqlite3_column_double (raw, 1), 19366959.3, 0.1);
  sqlite3_finalize (raw);
}

static void
collect_message (const gchar *domain, GLogLevelFlags level, const gchar *message, gpointer data)
{
  static_cast<std::vector<std::string> *> (data)->emplace_back (message);
}

static void
test_sort_debug_log (StoreFixture *f, gconstpointer)
{
  add_place (f->store, "here", 0, 179);
  add_place (f->store, "across", 0, -179);
  g_autoptr (LodexLocationSort) sort = lodex_location_sort_new (LODEX_SET (f->store));
  g_object_set (sort, "longitude", 179.0, nullptr);

  std::vector<std::string> logged;
  guint handler = g_log_set_handler ("Lodex", G_LOG_LEVEL_DEBUG, collect_message, &logged);
  gboolean was_enabled = g_log_get_debug_enabled ();

  g_log_set_debug_enabled (TRUE);
  walk (sort);
  std::sort (logged.begin (), logged.end ());
  g_assert_true (logged == (std::vector<std::string>{"0.000000", "222390.160467"}));

  /* nobody listening: not even formatted */
  logged.clear ();
  g_log_set_debug_enabled (FALSE);
  if (g_log_writer_default_would_drop (G_LOG_LEVEL_DEBUG, "Lodex"))
    {
      walk (sort);
      g_assert_true (logged.empty ());
    }

  g_log_set_debug_enabled (was_enabled);
  g_log_remove_handler ("Lodex", handler);
}

static void
test_sort_ties (StoreFixture *f, gconstpointer)
{
  add_place (f->store, "north", 1, 0);
  add_place (f->store, "south", -1, 0);
  add_place (f->store, "east", 0, 1);
  add_place (f->store, "west", 0, -1);
  add_place (f->store, "centre", 0, 0);

  g_autoptr (LodexLocationSort) sort = lodex_location_sort_new (LODEX_SET (f->store));
  auto names = walk (sort);
  g_assert_cmpuint (names.size (), ==, 5);
  g_assert_cmpstr (names[0].c_str (), ==, "centre");
  g_assert_true (Names (names.begin (), names.end ()) == (Names{"north", "south", "east", "west", "centre"}));
}

static void
test_sort_chain (StoreFixture *f, gconstpointer)
{
  add_place (f->store, "far in box", 5, 5);
  add_place (f->store, "near in box", 1, 1);
  add_place (f->store, "middle in box", 3, 3);
  add_place (f->store, "nearest of all, outside", -0.5, -0.5);

  g_autoptr (LodexLocationFilter) filter = lodex_location_filter_new (LODEX_SET (f->store));
  g_object_set (filter, "min-lat", 0.0, "max-lat", 6.0, "min-long", 0.0, "max-long", 6.0, nullptr);
  g_autoptr (LodexLocationSort) sort = lodex_location_sort_new (LODEX_SET (filter));

  std::vector<std::string> near_first = {"near in box", "middle in box", "far in box"};
  g_assert_true (walk (sort) == near_first);

  g_object_set (sort, "latitude", 6.0, "longitude", 6.0, nullptr);
  std::vector<std::string> far_first = {"far in box", "middle in box", "near in box"};
  g_assert_true (walk (sort) == far_first);

  /* the other way round: the sort's point reaches SQL through its bind */
  g_autoptr (LodexLocationFilter) around = lodex_location_filter_new (LODEX_SET (sort));
  g_object_set (around, "min-lat", 0.0, "max-lat", 6.0, "min-long", 0.0, "max-long", 6.0, nullptr);
  g_assert_true (walk (around) == far_first);
  g_object_set (sort, "latitude", 0.0, "longitude", 0.0, nullptr);
  g_assert_true (walk (around) == near_first);
}

static void
test_sort_interleaved (StoreFixture *f, gconstpointer)
{
  for (int i = 0; i <= 10; i++)
    {
      g_autofree gchar *name = g_strdup_printf ("%d", i);
      add_place (f->store, name, 0, i);
    }

  /* an abandoned walk holds a statement of the connection open */
  g_autoptr (LodexPlace) held = lodex_set_first (LODEX_SET (f->store));
  g_assert_nonnull (held);

  g_autoptr (LodexLocationSort) west = lodex_location_sort_new (LODEX_SET (f->store));
  g_autoptr (LodexLocationSort) east = lodex_location_sort_new (LODEX_SET (f->store));
  g_object_set (east, "longitude", 10.0, nullptr);

  std::vector<std::string> from_west, from_east;
  LodexPlace *w = lodex_set_first (LODEX_SET (west));
  LodexPlace *e = lodex_set_first (LODEX_SET (east));
  while (w || e)
    {
      if (w)
        {
          from_west.emplace_back (_lodex_place_get_row (w)->name);
          g_object_unref (w);
          w = lodex_set_next (LODEX_SET (west));
        }
      if (e)
        {
          from_east.emplace_back (_lodex_place_get_row (e)->name);
          g_object_unref (e);
          e = lodex_set_next (LODEX_SET (east));
        }
      /* a third walk in between, from a point of its own */
      g_autoptr (LodexLocationSort) middle = lodex_location_sort_new (LODEX_SET (f->store));
      g_object_set (middle, "longitude", 5.0, nullptr);
      g_autoptr (LodexPlace) centre = lodex_set_first (LODEX_SET (middle));
      g_assert_cmpstr (_lodex_place_get_row (centre)->name, ==, "5");
    }
  g_assert_true (from_west == (std::vector<std::string>{"0", "1", "2", "3", "4", "5", "6", "7", "8", "9", "10"}));
  g_assert_true (from_east == (std::vector<std::string>{"10", "9", "8", "7", "6", "5", "4", "3", "2", "1", "0"}));

  /* a new point ends the walk under way */
  g_autoptr (LodexPlace) one = lodex_set_first (LODEX_SET (west));
  g_assert_nonnull (one);
  g_object_set (west, "latitude", 1.0, nullptr);
  g_test_expect_message ("Lodex", G_LOG_LEVEL_CRITICAL,
                         "lodex_location_sort_set_next: assertion 'priv->statement != NULL' failed");
  g_assert_null (lodex_set_next (LODEX_SET (west)));
  g_test_assert_expected_messages ();
}

static void
test_sort_connections (StoreFixture *f, gconstpointer)
{
  add_place (f->store, "a", 0, 0);
  add_place (f->store, "b", 0, 1);

  /* other connections, opened and closed in turn: each gets the function,
   * whatever address the last closed one had */
  for (int round = 0; round < 3; round++)
    {
      LodexStore *store = lodex_test_store_new ();
      LodexLocationSort *sort = lodex_location_sort_new (LODEX_SET (store));
      g_object_set (sort, "longitude", round % 2 ? 1.0 : 0.0, nullptr);
      auto names = walk (sort);
      g_assert_cmpstr (names.at (0).c_str (), ==, round % 2 ? "b" : "a");
      g_assert_finalize_object (sort);
      lodex_test_settle ();
      g_assert_finalize_object (store);
    }

  g_autoptr (LodexLocationSort) sort = lodex_location_sort_new (LODEX_SET (f->store));
  g_object_set (sort, "longitude", 1.0, nullptr);
  auto names = walk (sort);
  g_assert_cmpstr (names.at (0).c_str (), ==, "b");
}

int
main (int argc, char **argv)
{
  g_test_init (&argc, &argv, G_TEST_OPTION_ISOLATE_DIRS, nullptr);

  struct
  {
    const char *path;
    void (*test) (StoreFixture *, gconstpointer);
  } const tests[] = {
    {"/location-filter/box", test_filter_box},
    {"/location-filter/antimeridian", test_filter_antimeridian},
    {"/location-filter/rtree", test_filter_rtree},
    {"/location-filter/altitude", test_filter_altitude},
    {"/location-filter/walk-ends", test_filter_walk_ends},
    {"/location-filter/nested", test_filter_nested},
    {"/location-filter/changed", test_filter_changed},
    {"/location/new/null", test_new_null},
    {"/location-sort/random", test_sort_random},
    {"/location-sort/metres", test_sort_metres},
    {"/location-sort/debug-log", test_sort_debug_log},
    {"/location-sort/ties", test_sort_ties},
    {"/location-sort/chain", test_sort_chain},
    {"/location-sort/interleaved", test_sort_interleaved},
    {"/location-sort/connections", test_sort_connections},
  };
  for (const auto &t : tests)
    LODEX_TEST_ADD (t.path, t.test);
  return lodex_test_run_with_bus ();
}
