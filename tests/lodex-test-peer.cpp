/* Another process on the same bus and database, driven by a test: it waits
 * for a place to be added elsewhere, reports it and renames it. */

#include "lodex-test-utils.h"

#include <cstdio>

static void
sync_with_bus (void)
{
  /* once a call returns, the bus has our match rule too */
  g_autoptr (GDBusConnection) bus = g_bus_get_sync (G_BUS_TYPE_SESSION, nullptr, nullptr);
  g_autoptr (GVariant) reply = g_dbus_connection_call_sync (bus, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                                            "org.freedesktop.DBus", "GetId", nullptr, nullptr,
                                                            G_DBUS_CALL_FLAGS_NONE, -1, nullptr, nullptr);
  g_assert_nonnull (reply);
}

static int
rename_added_place (const char *new_name)
{
  LodexStore *store = lodex_test_store_new ();
  LodexTestRecorder added (store, "place-added");
  sync_with_bus ();
  printf ("ready\n");
  fflush (stdout);

  lodex_test_wait ([&] { return added.count > 0; });
  const char *id = static_cast<const char *> (added.ids->pdata[0]);
  LodexPlace *place = lodex_store_get_place_by_id (store, id);
  g_assert_nonnull (place);
  g_autofree gchar *name = nullptr;
  gdouble latitude, longitude;
  g_object_get (place, "name", &name, "latitude", &latitude, "longitude", &longitude, nullptr);
  printf ("added %s %s %.6f %.6f\n", id, name, latitude, longitude);
  fflush (stdout);

  g_object_set (place, "name", new_name, nullptr);
  lodex_place_commit (place);
  lodex_test_settle ();
  printf ("renamed\n");
  fflush (stdout);

  g_object_unref (place);
  g_object_unref (store);
  return 0;
}

int
main (int argc, char **argv)
{
  if (argc == 3 && g_str_equal (argv[1], "rename"))
    return rename_added_place (argv[2]);
  g_printerr ("usage: %s rename NEW-NAME\n", argv[0]);
  return 2;
}
