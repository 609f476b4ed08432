/* The tracker on the wire: what it sends, what it hears from a real peer,
 * and what it does without a bus. */

#include "lodex-test-utils.h"

static constexpr char path[] = "/com/mirrex/lodex/store";
static constexpr char iface[] = "com.mirrex.lodex.dbus.Signal";

/* `gdbus emit` as an outside peer on the test's private bus. */
static void
gdbus_emit (const char *member, const char *body)
{
  g_autofree gchar *signal = g_strdup_printf ("%s.%s", iface, member);
  const char *argv[] = {"gdbus", "emit", "--session", "--object-path", path, "--signal", signal, body, nullptr};
  g_autoptr (GError) error = nullptr;
  int status = 0;
  g_assert_true (g_spawn_sync (nullptr, const_cast<gchar **> (argv), nullptr, G_SPAWN_SEARCH_PATH,
                               nullptr, nullptr, nullptr, nullptr, &status, &error));
  g_assert_no_error (error);
  g_assert_true (g_spawn_check_wait_status (status, nullptr));
}

static void
test_tracker_hears_peer (void)
{
  g_autoptr (LodexTracker) tracker = lodex_tracker_new ();
  LodexTestRecorder added (tracker, "place-added");
  LodexTestRecorder updated (tracker, "store-updated");
  LodexTestRecorder waypoints (tracker, "route-waypoints");

  gdbus_emit ("PlaceAdded", "'from-the-peer'");
  lodex_test_wait ([&] { return added.saw ("from-the-peer"); });

  /* a wrong body is ignored; StoreUpdated's body is not looked at */
  gdbus_emit ("PlaceAdded", "42");
  gdbus_emit ("StoreUpdated", "'ignored argument'");
  gdbus_emit ("RouteWaypoints", "'route-1'");
  lodex_test_wait ([&] { return waypoints.count == 1; });
  g_assert_cmpuint (added.count, ==, 1);
  g_assert_cmpuint (updated.count, ==, 1);
  g_assert_true (waypoints.saw ("route-1"));
}

struct Heard
{
  GPtrArray *lines = g_ptr_array_new_with_free_func (g_free);
  ~Heard () { g_ptr_array_unref (lines); }
};

static void
on_wire (GDBusConnection *, const gchar *sender, const gchar *object_path, const gchar *interface, const gchar *member, GVariant *parameters, gpointer data)
{
  g_autofree gchar *body = g_variant_print (parameters, FALSE);
  g_ptr_array_add (static_cast<Heard *> (data)->lines,
                   g_strdup_printf ("%s %s %s%s", object_path, interface, member, body));
}

static void
test_tracker_on_the_wire (void)
{
  /* a connection of its own, like another process's */
  g_autofree gchar *address = g_dbus_address_get_for_bus_sync (G_BUS_TYPE_SESSION, nullptr, nullptr);
  g_autoptr (GError) error = nullptr;
  g_autoptr (GDBusConnection) peer = g_dbus_connection_new_for_address_sync (
    address, GDBusConnectionFlags (G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT | G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
    nullptr, nullptr, &error);
  g_assert_no_error (error);
  Heard heard;
  guint subscription = g_dbus_connection_signal_subscribe (peer, nullptr, iface, nullptr, nullptr, nullptr,
                                                           G_DBUS_SIGNAL_FLAGS_NONE, on_wire, &heard, nullptr);
  /* the match rule is in place once a call made after it has returned */
  g_autoptr (GVariant) reply = g_dbus_connection_call_sync (peer, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                                            "org.freedesktop.DBus", "GetId", nullptr, nullptr,
                                                            G_DBUS_CALL_FLAGS_NONE, -1, nullptr, &error);
  g_assert_no_error (error);
  g_assert_nonnull (reply);

  LodexStore *store = lodex_test_store_new ();
  g_autoptr (LodexPlace) place = lodex_place_new ("Wired", 1, 2);
  g_object_set (place, "city", "Tampere", nullptr);
  g_assert_true (lodex_store_add_place (store, place));
  g_autofree gchar *id = g_strdup (_lodex_place_get_row (place)->id);
  g_assert_true (lodex_store_remove_place (store, place));

  lodex_test_wait ([&] { return heard.lines->len == 5; });
  g_autofree gchar *with_id = g_strdup_printf ("('%s',)", id);
  const char *expected[] = {"PlaceUpdated", "StoreUpdated", "PlaceAdded", "StoreUpdated", "PlaceRemoved"};
  for (guint i = 0; i < G_N_ELEMENTS (expected); i++)
    {
      bool has_id = !g_str_equal (expected[i], "StoreUpdated");
      g_autofree gchar *line = g_strdup_printf ("%s %s %s%s", path, iface, expected[i], has_id ? with_id : "()");
      g_assert_cmpstr (static_cast<const char *> (heard.lines->pdata[i]), ==, line);
    }

  g_dbus_connection_signal_unsubscribe (peer, subscription);
  lodex_test_settle ();
  g_assert_finalize_object (store);
}

static void
test_tracker_without_bus (void)
{
  if (g_test_subprocess ())
    {
      g_setenv ("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/bus", TRUE);
      g_test_expect_message ("Lodex", G_LOG_LEVEL_WARNING, "Failed to connect to the bus: *");
      LodexStore *store = lodex_test_store_new ();
      g_test_assert_expected_messages ();

      /* deaf and mute, but the database works */
      g_autoptr (LodexPlace) place = lodex_place_new ("Offline", 1, 2);
      g_assert_true (lodex_store_add_place (store, place));
      g_assert_true (lodex_store_remove_place (store, place));
      g_clear_object (&place);
      g_assert_finalize_object (store);
      return;
    }
  g_test_trap_subprocess (nullptr, 0, G_TEST_SUBPROCESS_INHERIT_STDERR);
  g_test_trap_assert_passed ();
}

static void
test_tracker_null_id (void)
{
  /* sending functions ignore what they cannot send */
  g_autoptr (LodexTracker) tracker = lodex_tracker_new ();
  lodex_tracker_signal_place_added (tracker, nullptr);
  lodex_tracker_signal_place_added (tracker, "\xff invalid utf-8");
  lodex_tracker_signal_place_added (nullptr, "id");
  lodex_tracker_signal_store_updated (nullptr);
}

int
main (int argc, char **argv)
{
  g_test_init (&argc, &argv, G_TEST_OPTION_ISOLATE_DIRS, nullptr);

  g_test_add_func ("/tracker/hears-peer", test_tracker_hears_peer);
  g_test_add_func ("/tracker/on-the-wire", test_tracker_on_the_wire);
  g_test_add_func ("/tracker/without-bus", test_tracker_without_bus);
  g_test_add_func ("/tracker/null-id", test_tracker_null_id);

  return lodex_test_run_with_bus ();
}
