/* What each operation announces on the bus, member and id exactly, and
 * that a failed write announces nothing. */

#include "lodex-test-utils.h"

#include <string>

struct Listener
{
  GDBusConnection *connection = nullptr;
  guint subscription = 0;
  GPtrArray *heard = g_ptr_array_new_with_free_func (g_free);

  Listener ()
  {
    /* a connection of its own, like another process's */
    g_autofree gchar *address = g_dbus_address_get_for_bus_sync (G_BUS_TYPE_SESSION, nullptr, nullptr);
    connection = g_dbus_connection_new_for_address_sync (
      address,
      GDBusConnectionFlags (G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT | G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
      nullptr, nullptr, nullptr);
    g_assert_nonnull (connection);
    subscription = g_dbus_connection_signal_subscribe (connection, nullptr, "com.mirrex.lodex.dbus.Signal", nullptr,
                                                       "/com/mirrex/lodex/store", nullptr, G_DBUS_SIGNAL_FLAGS_NONE,
                                                       on_signal, this, nullptr);
    g_autoptr (GVariant) reply = g_dbus_connection_call_sync (connection, "org.freedesktop.DBus",
                                                              "/org/freedesktop/DBus", "org.freedesktop.DBus",
                                                              "GetId", nullptr, nullptr, G_DBUS_CALL_FLAGS_NONE,
                                                              -1, nullptr, nullptr);
    g_assert_nonnull (reply);
  }
  ~Listener ()
  {
    g_dbus_connection_signal_unsubscribe (connection, subscription);
    g_object_unref (connection);
    g_ptr_array_unref (heard);
  }

  static void
  on_signal (GDBusConnection *, const gchar *, const gchar *, const gchar *, const gchar *member, GVariant *parameters, gpointer data)
  {
    const gchar *id = "";
    if (g_variant_is_of_type (parameters, G_VARIANT_TYPE ("(s)")))
      g_variant_get (parameters, "(&s)", &id);
    g_ptr_array_add (static_cast<Listener *> (data)->heard, g_strdup_printf ("%s %s", member, id));
  }

  /* Waits for @expected more messages and checks them, in order. */
  void
  expect (std::initializer_list<std::string> expected)
  {
    guint first = heard->len;
    lodex_test_wait ([&] { return heard->len >= first + expected.size (); });
    guint i = first;
    for (const std::string &line : expected)
      g_assert_cmpstr (static_cast<const char *> (heard->pdata[i++]), ==, line.c_str ());
  }
};

static std::string
id_of (gpointer object)
{
  g_autofree gchar *id = nullptr;
  g_object_get (object, "id", &id, nullptr);
  return id;
}

static gboolean
move_all (LodexWaypoint *waypoint, gpointer)
{
  g_object_set (waypoint, "altitude", 5.0, nullptr);
  return TRUE;
}

static void
test_announce_every_operation (void)
{
  Listener bus;
  LodexStore *store = lodex_test_store_new ();

  g_autoptr (LodexCategory) category = lodex_category_new ("Beaches", nullptr);
  g_assert_true (lodex_store_add_category (store, category));
  std::string c = id_of (category);
  g_object_set (category, "name", "Sandy beaches", nullptr);
  bus.expect ({"CategoryAdded " + c, "CategoryUpdated " + c});

  g_autoptr (LodexImage) image = lodex_image_new ("view", "/nonexistent.png");
  g_assert_true (lodex_store_add_image (store, image));
  std::string i = id_of (image);
  g_object_set (image, "description", "the view", nullptr);
  bus.expect ({"ImageAdded " + i, "ImageUpdated " + i});

  g_autoptr (LodexPlace) place = lodex_place_new ("Shore", 1, 2);
  g_object_set (place, "city", "Brighton", nullptr);
  g_assert_true (lodex_store_add_place (store, place));
  std::string p = id_of (place);
  bus.expect ({"PlaceUpdated " + p, "StoreUpdated ", "PlaceAdded " + p});

  g_assert_true (lodex_category_add_place (category, place));
  g_assert_true (lodex_category_remove_place (category, place));
  g_assert_true (_lodex_store_add_image_to_place (store, image, place));
  g_assert_true (_lodex_store_remove_image_from_place (store, image, place));
  g_assert_true (_lodex_store_place_set_appdata (store, place, "app", "data"));
  g_assert_true (_lodex_store_place_set_appdata (store, place, "app", nullptr));
  bus.expect ({"CategoryUpdated " + c, "CategoryUpdated " + c, "PlaceUpdated " + p, "PlaceUpdated " + p,
               "PlaceUpdated " + p, "PlaceUpdated " + p});

  g_autoptr (LodexRoute) route = lodex_route_new ("Promenade", nullptr);
  g_assert_true (lodex_store_add_route (store, route));
  std::string r = id_of (route);
  g_assert_true (lodex_route_add_place (route, place));
  g_assert_true (lodex_route_remove_place (route, place));
  g_autoptr (LodexWaypoint) waypoint = lodex_waypoint_new (1, 2, 3, 4);
  g_assert_true (lodex_route_add_waypoint (route, waypoint));
  g_assert_true (lodex_route_remove_waypoint (route, waypoint));
  g_autoptr (LodexWaypoint) kept = lodex_waypoint_new (5, 6, 7, 8);
  g_assert_true (lodex_route_add_waypoint (route, kept));
  {
    LodexTestPrintCapture quiet;
    g_assert_true (lodex_route_foreach (route, move_all, nullptr));
    g_assert_true (lodex_route_foreach_remove (route, move_all, nullptr));
  }
  g_object_set (route, "name", "Seafront", nullptr); /* saved when idle */
  bus.expect ({"RouteAdded " + r, "RouteUpdated " + r, "RouteUpdated " + r, "RouteWaypoints " + r,
               "RouteWaypoints " + r, "RouteWaypoints " + r, "RouteWaypoints " + r, "RouteWaypoints " + r,
               "RouteUpdated " + r});

  g_assert_true (lodex_store_remove_image (store, image));
  g_assert_true (lodex_store_remove_category (store, category));
  g_assert_true (lodex_store_remove_route (store, route));
  g_assert_true (lodex_store_remove_place (store, place));
  bus.expect ({"ImageRemoved " + i, "CategoryRemoved " + c, "RouteRemoved " + r, "StoreUpdated ",
               "PlaceRemoved " + p});

  g_clear_object (&route);
  lodex_test_settle ();
  g_assert_finalize_object (store);
}

static void
test_announce_failed_removal (void)
{
  LodexStore *store = lodex_test_store_new ();
  g_autoptr (LodexPlace) place = lodex_place_new ("Fixed", 1, 2);
  g_autoptr (LodexCategory) category = lodex_category_new ("Fixed", nullptr);
  g_autoptr (LodexImage) image = lodex_image_new ("Fixed", nullptr);
  g_autoptr (LodexRoute) route = lodex_route_new ("Fixed", nullptr);
  g_assert_true (lodex_store_add_place (store, place));
  g_assert_true (lodex_store_add_category (store, category));
  g_assert_true (lodex_store_add_image (store, image));
  g_assert_true (lodex_store_add_route (store, route));
  lodex_test_settle ();

  Listener bus;
  sqlite3 *db = _lodex_set_get_db (LODEX_SET (store));
  g_assert_cmpint (sqlite3_exec (db, "PRAGMA query_only=1", nullptr, nullptr, nullptr), ==, SQLITE_OK);

  const char *refused = "Problem executing statement: attempt to write a readonly database";
  g_test_expect_message ("Lodex", G_LOG_LEVEL_WARNING, refused);
  g_assert_false (lodex_store_remove_place (store, place));
  g_test_expect_message ("Lodex", G_LOG_LEVEL_WARNING, refused);
  g_assert_false (lodex_store_remove_category (store, category));
  g_test_expect_message ("Lodex", G_LOG_LEVEL_WARNING, refused);
  g_assert_false (lodex_store_remove_image (store, image));
  g_test_expect_message ("Lodex", G_LOG_LEVEL_WARNING, "SQL ERROR: attempt to write a readonly database");
  g_assert_false (lodex_store_remove_route (store, route));
  g_test_assert_expected_messages ();

  /* nothing announced, and every object still stored and live */
  lodex_test_settle ();
  g_assert_cmpuint (bus.heard->len, ==, 0);
  g_assert_true (lodex_place_has_id (place));
  g_autoptr (LodexImage) same = lodex_store_get_image_by_id (store, id_of (image).c_str ());
  g_assert_true (same == image);

  g_assert_cmpint (sqlite3_exec (db, "PRAGMA query_only=0", nullptr, nullptr, nullptr), ==, SQLITE_OK);
  g_clear_object (&same);
  g_clear_object (&place);
  g_clear_object (&category);
  g_clear_object (&image);
  g_clear_object (&route);
  lodex_test_settle ();
  g_assert_finalize_object (store);
}

int
main (int argc, char **argv)
{
  g_test_init (&argc, &argv, G_TEST_OPTION_ISOLATE_DIRS, nullptr);
  g_test_add_func ("/announce/every-operation", test_announce_every_operation);
  g_test_add_func ("/announce/failed-removal", test_announce_failed_removal);
  return lodex_test_run_with_bus ();
}
