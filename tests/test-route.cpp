/* Routes and waypoints: stored and read back, walked, batch-updated, saved
 * when idle, and removed. */

#include "lodex-test-utils.h"

#include <algorithm>
#include <vector>

static LodexRoute *
add_route (LodexStore *store, const char *name)
{
  LodexRoute *route = lodex_route_new (name, "a description");
  g_assert_true (lodex_store_add_route (store, route));
  return route;
}

static LodexWaypoint *
add_waypoint (LodexRoute *route, double latitude, double longitude, double weight)
{
  LodexWaypoint *waypoint = lodex_waypoint_new (latitude, longitude, 10.5, 1000);
  g_object_set (waypoint, "order-weight", weight, nullptr);
  g_assert_true (lodex_route_add_waypoint (route, waypoint));
  return waypoint;
}

static gchar *
get_string (gpointer object, const char *property)
{
  gchar *value = nullptr;
  g_object_get (object, property, &value, nullptr);
  return value;
}

static void
test_waypoint_object (void)
{
  g_autoptr (LodexWaypoint) made = lodex_waypoint_new (1.5, 2.5, 10.0, 1000);
  gdouble weight = -1;
  gboolean segment_end = TRUE;
  g_object_get (made, "order-weight", &weight, "segment-end", &segment_end, nullptr);
  g_assert_cmpfloat (weight, ==, 0.0);
  g_assert_false (segment_end);
  g_assert_true (_lodex_waypoint_get_modified (made));

  /* text converts to the properties' types, as a row read as text would */
  const char *names[] = {"latitude", "segment-end", "ctime", "order-weight"};
  const char *values[] = {"12.5", "true", "99999999999", "not a number"};
  g_autoptr (LodexWaypoint) built = lodex_waypoint_new (0, 0, 0, 0);
  for (gsize i = 0; i < G_N_ELEMENTS (names); i++)
    {
      GValue text = G_VALUE_INIT;
      g_value_set_static_string (g_value_init (&text, G_TYPE_STRING), values[i]);
      g_object_set_property (G_OBJECT (built), names[i], &text);
      g_value_unset (&text);
    }
  LodexWaypointRow *row = _lodex_waypoint_get_row (built);
  g_assert_cmpfloat (row->latitude, ==, 12.5);
  g_assert_false (row->segment_end);          /* only a number counts */
  g_assert_cmpint (row->ctime, ==, G_MAXINT); /* clamped, not truncated */
  g_assert_cmpfloat (row->order_weight, ==, 0.0);

  /* every write marks it, unchanged values too */
  _lodex_waypoint_set_modified (made, FALSE);
  g_object_set (made, "name", nullptr, nullptr);
  g_assert_true (_lodex_waypoint_get_modified (made));

  g_test_expect_message ("GLib-GObject", G_LOG_LEVEL_WARNING, "*order-weight*");
  g_object_set (made, "order-weight", -1.0, nullptr);
  g_test_assert_expected_messages ();
  g_object_get (made, "order-weight", &weight, nullptr);
  g_assert_cmpfloat (weight, ==, 0.0);
}

static void
test_route_round_trip (StoreFixture *f, gconstpointer)
{
  g_autoptr (LodexRoute) route = lodex_route_new ("Coast path", "along the sea");
  g_object_set (route, "comment", "windy", "type", "hike", nullptr);
  g_assert_true (lodex_store_add_route (f->store, route));
  g_autofree gchar *id = g_strdup (_lodex_route_get_id (route));

  LodexRouteBounds bounds = {-1, -1, -1, -1};
  g_assert_false (lodex_route_get_bounds (route, &bounds));
  g_assert_cmpfloat (bounds.min_latitude, ==, -1);

  /* 50 waypoints added in an order unlike their weights */
  for (int i = 0; i < 50; i++)
    {
      double weight = (i * 37) % 50 + 0.25;
      LodexWaypoint *waypoint = lodex_waypoint_new (50.0 + weight / 100, -5.0 - i * 0.001, 100 + i, 1700000000 + i);
      g_autofree gchar *name = g_strdup_printf ("wp'%d", i);
      g_object_set (waypoint, "order-weight", weight, "name", name, "desc", "a point", "sym", "flag", "type",
                    "trail", "segment-end", i % 10 == 9, nullptr);
      g_assert_true (lodex_route_add_waypoint (route, waypoint));
      g_assert_nonnull (_lodex_waypoint_get_row (waypoint)->id);
      g_assert_cmpstr (_lodex_waypoint_get_row (waypoint)->route_id, ==, id);
      g_object_unref (waypoint);
    }
  g_clear_object (&route);

  /* a second store reads the same route back */
  LodexStore *other = lodex_test_store_new ();
  g_autoptr (LodexRoute) back = lodex_store_get_route_by_id (other, id);
  g_assert_nonnull (back);
  g_autofree gchar *name = get_string (back, "name");
  g_autofree gchar *comment = get_string (back, "comment");
  g_autofree gchar *type = get_string (back, "type");
  g_assert_cmpstr (name, ==, "Coast path");
  g_assert_cmpstr (comment, ==, "windy");
  g_assert_cmpstr (type, ==, "hike");

  GList *waypoints = lodex_route_get_waypoints (back);
  g_assert_cmpuint (g_list_length (waypoints), ==, 50);
  double previous = -1, min_lat = G_MAXDOUBLE, max_lat = -G_MAXDOUBLE, min_lon = G_MAXDOUBLE,
         max_lon = -G_MAXDOUBLE;
  for (GList *l = waypoints; l; l = l->next)
    {
      LodexWaypointRow *row = _lodex_waypoint_get_row (LODEX_WAYPOINT (l->data));
      g_assert_cmpfloat (row->order_weight, >, previous);
      previous = row->order_weight;
      int i = atoi (row->name + 3);
      g_assert_cmpfloat (row->order_weight, ==, (i * 37) % 50 + 0.25);
      g_assert_cmpfloat_with_epsilon (row->latitude, 50.0 + row->order_weight / 100, 1e-6);
      g_assert_cmpfloat_with_epsilon (row->longitude, -5.0 - i * 0.001, 1e-6);
      g_assert_cmpfloat (row->altitude, ==, 100 + i);
      g_assert_cmpint (row->ctime, ==, 1700000000 + i);
      g_assert_cmpint (row->segment_end, ==, i % 10 == 9);
      g_assert_cmpstr (row->desc, ==, "a point");
      g_assert_cmpstr (row->sym, ==, "flag");
      g_assert_cmpstr (row->type, ==, "trail");
      g_assert_cmpstr (row->route_id, ==, id);
      min_lat = std::min (min_lat, row->latitude);
      max_lat = std::max (max_lat, row->latitude);
      min_lon = std::min (min_lon, row->longitude);
      max_lon = std::max (max_lon, row->longitude);
    }
  g_list_free_full (waypoints, g_object_unref);

  g_assert_true (lodex_route_get_bounds (back, &bounds));
  g_assert_cmpfloat_with_epsilon (bounds.min_latitude, min_lat, 1e-9);
  g_assert_cmpfloat_with_epsilon (bounds.max_latitude, max_lat, 1e-9);
  g_assert_cmpfloat_with_epsilon (bounds.min_longitude, min_lon, 1e-9);
  g_assert_cmpfloat_with_epsilon (bounds.max_longitude, max_lon, 1e-9);

  GList *routes = lodex_store_routes (other);
  g_assert_cmpuint (g_list_length (routes), ==, 1);
  g_assert_true (routes->data == back);
  g_list_free_full (routes, g_object_unref);

  g_clear_object (&back);
  lodex_test_settle ();
  g_assert_finalize_object (other);
}

static gboolean
shift_two (LodexWaypoint *waypoint, gpointer)
{
  gdouble latitude;
  g_object_get (waypoint, "latitude", &latitude, nullptr);
  if (latitude == 1.0 || latitude == 3.0)
    g_object_set (waypoint, "order-weight", latitude * 10 + 0.1234567, "name", "not stored", nullptr);
  return TRUE;
}

static gboolean
refuse_in_the_middle (LodexWaypoint *waypoint, gpointer)
{
  gdouble latitude;
  g_object_get (waypoint, "latitude", &latitude, nullptr);
  /* the trigger below refuses latitude 99 */
  g_object_set (waypoint, "latitude", latitude == 2.0 ? 99.0 : latitude + 0.5, nullptr);
  return TRUE;
}

static gboolean
nothing (LodexWaypoint *, gpointer)
{
  return FALSE;
}

static std::vector<double>
latitudes (LodexRoute *route)
{
  std::vector<double> found;
  GList *waypoints = lodex_route_get_waypoints (route);
  for (GList *l = waypoints; l; l = l->next)
    found.push_back (_lodex_waypoint_get_row (LODEX_WAYPOINT (l->data))->latitude);
  g_list_free_full (waypoints, g_object_unref);
  return found;
}

static void
test_route_batch (StoreFixture *f, gconstpointer)
{
  g_autoptr (LodexRoute) route = add_route (f->store, "Batch");
  for (double latitude : {1.0, 2.0, 3.0, 4.0})
    g_object_unref (add_waypoint (route, latitude, 0, latitude));
  LodexTestPrintCapture capture; /* a library never prints */
  GString *printed = capture.text;

  /* nothing changed: no batch at all */
  g_assert_true (lodex_route_foreach (route, nothing, nullptr));
  g_assert_cmpstr (printed->str, ==, "");

  /* two changes in one transaction, weights exact, names not kept */
  g_assert_true (lodex_route_foreach (route, shift_two, nullptr));
  GList *waypoints = lodex_route_get_waypoints (route);
  LodexWaypointRow *last = _lodex_waypoint_get_row (LODEX_WAYPOINT (g_list_last (waypoints)->data));
  g_assert_cmpfloat (last->latitude, ==, 3.0);
  g_assert_cmpfloat (last->order_weight, ==, 30.1234567);
  g_assert_null (last->name);
  g_list_free_full (waypoints, g_object_unref);

  /* a failure in the middle rolls the whole batch back */
  sqlite3 *db = _lodex_set_get_db (LODEX_SET (f->store));
  g_assert_cmpint (sqlite3_exec (db,
                                 "CREATE TEMP TRIGGER refuse BEFORE UPDATE ON waypoints WHEN new.latitude = 99 "
                                 "BEGIN SELECT RAISE(ABORT, 'refused'); END",
                                 nullptr, nullptr, nullptr),
                   ==, SQLITE_OK);
  std::vector<double> before = latitudes (route);
  g_test_expect_message ("Lodex", G_LOG_LEVEL_WARNING, "SQL Error: refused*");
  g_assert_false (lodex_route_foreach (route, refuse_in_the_middle, nullptr)); /* read, not written */
  g_test_assert_expected_messages ();
  g_assert_true (latitudes (route) == before);
  g_assert_true (sqlite3_get_autocommit (db));

  /* and the connection's later writes still commit */
  g_autoptr (LodexPlace) place = lodex_place_new ("After the failure", 1, 1);
  g_assert_true (lodex_store_add_place (f->store, place));
  LodexStore *other = lodex_test_store_new ();
  g_autoptr (LodexPlace) seen = lodex_store_get_place_by_id (other, _lodex_place_get_row (place)->id);
  g_assert_nonnull (seen);
  g_clear_object (&seen);
  lodex_test_settle ();
  g_assert_finalize_object (other);

  /* removal by predicate: exactly the chosen */
  auto odd = +[] (LodexWaypoint *waypoint, gpointer) -> gboolean {
    return int (_lodex_waypoint_get_row (waypoint)->latitude) % 2 == 1;
  };
  g_assert_true (lodex_route_foreach_remove (route, odd, nullptr));
  g_assert_true (latitudes (route) == (std::vector<double>{2.0, 4.0}));
  g_assert_true (lodex_route_foreach_remove (route, nothing, nullptr));
  g_assert_true (latitudes (route) == (std::vector<double>{2.0, 4.0}));
  g_assert_cmpstr (printed->str, ==, "");
}

static void
test_route_idle_save (StoreFixture *f, gconstpointer)
{
  LodexStore *listener = lodex_test_store_new ();
  LodexTestRecorder updated (listener, "route-updated");
  g_autoptr (LodexRoute) a = add_route (f->store, "A");
  g_autoptr (LodexRoute) b = add_route (f->store, "B");
  g_autoptr (LodexRoute) c = add_route (f->store, "C");
  g_autoptr (LodexRoute) detached = lodex_route_new ("Detached", nullptr);
  lodex_test_settle ();

  /* several changes to each before the main loop runs */
  for (const char *name : {"first", "second", "renamed"})
    for (LodexRoute *route : {a, b, c})
      g_object_set (route, "name", name, nullptr);
  g_object_set (a, "type", "loop", nullptr);
  g_object_set (detached, "name", "still detached", nullptr);
  g_object_set (c, "comment", "also saved", nullptr); /* queued already, by its name */

  lodex_test_wait ([&] { return updated.count >= 3; });
  lodex_test_settle ();
  g_assert_cmpuint (updated.count, ==, 3); /* once each */
  for (LodexRoute *route : {a, b, c})
    g_assert_true (updated.saw (_lodex_route_get_id (route)));

  g_autoptr (LodexRoute) stored = lodex_store_get_route_by_id (listener, _lodex_route_get_id (a));
  g_autofree gchar *name = get_string (stored, "name");
  g_autofree gchar *type = get_string (stored, "type");
  g_assert_cmpstr (name, ==, "renamed");
  g_assert_cmpstr (type, ==, "loop");

  /* copying the stored row in is no change to save */
  sqlite3 *db = _lodex_set_get_db (LODEX_SET (f->store));
  g_autofree gchar *rename = g_strdup_printf ("UPDATE routes SET name = 'from elsewhere' WHERE id = '%s'",
                                              _lodex_route_get_id (b));
  g_assert_cmpint (sqlite3_exec (db, rename, nullptr, nullptr, nullptr), ==, SQLITE_OK);
  lodex_db_load_route (db, b);
  g_autofree gchar *loaded = get_string (b, "name");
  g_assert_cmpstr (loaded, ==, "from elsewhere");
  lodex_test_settle ();
  g_assert_cmpuint (updated.count, ==, 3);

  g_clear_object (&stored);
  lodex_test_settle ();
  g_assert_finalize_object (listener);
}

static void
test_route_membership_and_removal (StoreFixture *f, gconstpointer)
{
  g_autoptr (LodexRoute) route = add_route (f->store, "Members");
  g_autoptr (LodexRoute) elsewhere = add_route (f->store, "Elsewhere");
  g_autoptr (LodexPlace) place = lodex_place_new ("Stop", 1, 2);
  g_autoptr (LodexPlace) unstored = lodex_place_new ("Unstored", 3, 4);
  g_assert_true (lodex_store_add_place (f->store, place));

  g_assert_true (lodex_route_add_place (route, place));
  g_test_expect_message ("Lodex", G_LOG_LEVEL_WARNING, "SQL ERROR: UNIQUE constraint failed: *");
  g_test_expect_message ("Lodex", G_LOG_LEVEL_WARNING, "Unable to add place to route in the database");
  g_assert_false (lodex_route_add_place (route, place));
  g_test_assert_expected_messages ();
  /* a place that is not stored never becomes a NULL member */
  g_test_expect_message ("Lodex", G_LOG_LEVEL_CRITICAL, "*assertion 'place_id != NULL' failed");
  g_test_expect_message ("Lodex", G_LOG_LEVEL_WARNING, "Unable to add place to route in the database");
  g_assert_false (lodex_route_add_place (route, unstored));
  g_test_assert_expected_messages ();

  /* a waypoint belongs to one route */
  g_autoptr (LodexWaypoint) waypoint = add_waypoint (route, 1, 1, 1);
  g_test_expect_message ("Lodex", G_LOG_LEVEL_CRITICAL,
                         "*assertion 'strcmp (route_id, row->route_id) == 0' failed");
  g_assert_false (lodex_route_remove_waypoint (elsewhere, waypoint));
  g_test_assert_expected_messages ();
  g_test_expect_message ("Lodex", G_LOG_LEVEL_CRITICAL, "*assertion 'row->id == NULL' failed");
  g_assert_false (lodex_route_add_waypoint (elsewhere, waypoint));
  g_test_assert_expected_messages ();
  g_assert_true (lodex_route_remove_waypoint (route, waypoint));
  g_assert_nonnull (_lodex_waypoint_get_row (waypoint)->id); /* keeps both ids */

  /* a removed route keeps its id and cannot come back */
  g_object_unref (add_waypoint (route, 2, 2, 2));
  g_assert_true (lodex_store_remove_route (f->store, route));
  g_assert_nonnull (_lodex_route_get_id (route));
  g_test_expect_message ("Lodex", G_LOG_LEVEL_WARNING, "Route already associated with database");
  g_assert_false (lodex_store_add_route (f->store, route));
  g_test_assert_expected_messages ();
  g_test_expect_message ("Lodex", G_LOG_LEVEL_WARNING, "Problem getting route from database");
  g_assert_null (lodex_store_get_route_by_id (f->store, _lodex_route_get_id (route)));
  g_test_assert_expected_messages ();

  /* its waypoints and memberships went with it */
  sqlite3 *db = _lodex_set_get_db (LODEX_SET (f->store));
  sqlite3_stmt *count = nullptr;
  g_assert_cmpint (sqlite3_prepare_v2 (db, "SELECT (SELECT count(*) FROM waypoints) + (SELECT count(*) FROM r2p)", -1,
                                       &count, nullptr),
                   ==, SQLITE_OK);
  g_assert_cmpint (sqlite3_step (count), ==, SQLITE_ROW);
  g_assert_cmpint (sqlite3_column_int (count, 0), ==, 0);
  sqlite3_finalize (count);

  /* a detached route's operations fail in the store's checks */
  g_autoptr (LodexRoute) detached = lodex_route_new ("Detached", nullptr);
  g_test_expect_message ("Lodex", G_LOG_LEVEL_CRITICAL, "*assertion 'LODEX_IS_STORE (store)' failed");
  g_assert_null (lodex_route_get_waypoints (detached));
  g_test_assert_expected_messages ();
  LodexRouteBounds bounds;
  g_test_expect_message ("Lodex", G_LOG_LEVEL_CRITICAL, "*assertion 'LODEX_IS_SET (route->priv->store)' failed");
  g_assert_false (lodex_route_get_bounds (detached, &bounds));
  g_test_assert_expected_messages ();
}

int
main (int argc, char **argv)
{
  g_test_init (&argc, &argv, G_TEST_OPTION_ISOLATE_DIRS, nullptr);

  g_test_add_func ("/route/waypoint-object", test_waypoint_object);
  LODEX_TEST_ADD ("/route/round-trip", test_route_round_trip);
  LODEX_TEST_ADD ("/route/batch", test_route_batch);
  LODEX_TEST_ADD ("/route/idle-save", test_route_idle_save);
  LODEX_TEST_ADD ("/route/membership-and-removal", test_route_membership_and_removal);

  return lodex_test_run_with_bus ();
}
