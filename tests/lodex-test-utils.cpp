#include "lodex-test-utils.h"

#include <cstdio>
#include <tuple>

gchar *
lodex_test_db_path (void)
{
  g_assert_cmpint (g_mkdir_with_parents (g_get_home_dir (), 0700), ==, 0);
  return g_build_filename (g_get_home_dir (), ".lodex.db", nullptr);
}

LodexStore *
lodex_test_store_new (void)
{
  g_autofree gchar *path = lodex_test_db_path ();
  LodexStore *store = _lodex_store_get_from_file (path, LODEX_TEST_SCHEMA);
  g_assert_nonnull (store);
  return store;
}

void
lodex_test_fixture_setup (StoreFixture *f, gconstpointer)
{
  f->store = lodex_test_store_new ();
}

void
lodex_test_fixture_teardown (StoreFixture *f, gconstpointer)
{
  lodex_test_settle ();
  g_assert_finalize_object (f->store);
}

static void
on_settle (GDBusConnection *, const gchar *, const gchar *, const gchar *, const gchar *, GVariant *parameters, gpointer data)
{
  const gchar *marker = nullptr;
  g_variant_get (parameters, "(&s)", &marker);
  if (g_str_equal (marker, static_cast<const char *> (static_cast<gpointer *> (data)[0])))
    static_cast<gpointer *> (data)[1] = GINT_TO_POINTER (TRUE);
}

void
lodex_test_settle (void)
{
  /* a store that has not listened yet starts now, and its request goes to
   * the bus before the marker: the marker then comes back after it */
  while (g_main_context_iteration (nullptr, FALSE))
    ;
  g_autoptr (GDBusConnection) bus = g_bus_get_sync (G_BUS_TYPE_SESSION, nullptr, nullptr);
  g_assert_nonnull (bus);
  g_autofree gchar *marker = g_strdup_printf ("%" G_GINT64_FORMAT, g_get_monotonic_time ());
  gpointer state[2] = {marker, nullptr};
  /* an interface of its own, which no listener of the library's sees */
  guint id = g_dbus_connection_signal_subscribe (bus, nullptr, "com.mirrex.lodex.Test",
                                                 "LodexTestSettle", nullptr, nullptr,
                                                 G_DBUS_SIGNAL_FLAGS_NONE, on_settle, state, nullptr);
  g_dbus_connection_emit_signal (bus, nullptr, "/com/mirrex/lodex/store",
                                 "com.mirrex.lodex.Test", "LodexTestSettle",
                                 g_variant_new ("(s)", marker), nullptr);
  lodex_test_wait ([&] { return state[1] != nullptr; });
  g_dbus_connection_signal_unsubscribe (bus, id);
}

static void
record_void (GObject *instance, gpointer data)
{
  static_cast<LodexTestRecorder *> (data)->count++;
}

static void
record (GObject *instance, const gchar *id, gpointer data)
{
  auto self = static_cast<LodexTestRecorder *> (data);
  self->count++;
  g_ptr_array_add (self->ids, g_strdup (id));
}

LodexTestRecorder::LodexTestRecorder (gpointer object, const char *signal)
    : instance (G_OBJECT (object))
{
  GSignalQuery query;
  g_signal_query (g_signal_lookup (signal, G_OBJECT_TYPE (object)), &query);
  g_assert_cmpuint (query.signal_id, !=, 0);
  /* another argument would arrive where the handler takes this recorder */
  g_assert_true (query.n_params == 0 || (query.n_params == 1 && query.param_types[0] == G_TYPE_STRING));
  if (query.n_params == 1 && query.param_types[0] == G_TYPE_STRING)
    handler = g_signal_connect (object, signal, G_CALLBACK (record), this);
  else
    handler = g_signal_connect (object, signal, G_CALLBACK (record_void), this);
  g_object_add_weak_pointer (instance, reinterpret_cast<gpointer *> (&instance));
}

LodexTestRecorder::~LodexTestRecorder ()
{
  if (instance) /* the object may be gone before the recorder */
    {
      g_object_remove_weak_pointer (instance, reinterpret_cast<gpointer *> (&instance));
      g_signal_handler_disconnect (instance, handler);
    }
  g_ptr_array_unref (ids);
}

bool
LodexTestRecorder::saw (const char *id) const
{
  for (guint i = 0; i < ids->len; i++)
    if (g_strcmp0 (static_cast<const char *> (ids->pdata[i]), id) == 0)
      return true;
  return false;
}

static LodexTestPrintCapture *capture;

static void
capture_print (const gchar *text)
{
  for (const char *tap : {"ok ", "not ok ", "Bail out!", "#", "1.."})
    if (g_str_has_prefix (text, tap))
      {
        fputs (text, stdout);
        fflush (stdout);
        return;
      }
  g_string_append (capture->text, text);
}

LodexTestPrintCapture::LodexTestPrintCapture ()
{
  g_assert_null (capture);
  capture = this;
  previous = g_set_print_handler (capture_print);
}

LodexTestPrintCapture::~LodexTestPrintCapture ()
{
  g_set_print_handler (previous);
  capture = nullptr;
  g_string_free (text, TRUE);
}

GSubprocess *
lodex_test_spawn (GSubprocessFlags flags, const char *const *argv)
{
  g_autoptr (GSubprocessLauncher) launcher = g_subprocess_launcher_new (flags);
  g_subprocess_launcher_setenv (launcher, "HOME", g_get_home_dir (), TRUE);
  g_autoptr (GError) error = nullptr;
  GSubprocess *process = g_subprocess_launcher_spawnv (launcher, argv, &error);
  g_assert_no_error (error);
  return process;
}

int
lodex_test_run_with_bus (void)
{
  g_autoptr (GTestDBus) bus = g_test_dbus_new (G_TEST_DBUS_NONE);
  g_test_dbus_up (bus);
  int ret = g_test_run ();
  g_test_dbus_down (bus);
  return ret;
}

LodexPlace *
lodex_test_place_with_every_field (const char *name, const char *description)
{
  LodexPlace *place = lodex_place_new (name, 51.508112345678901, -0.0759);
  g_object_set (place, "altitude", 13.0 / 3.0, "icon", "castle", "haccuracy", 5.5, "vaccuracy", 1e-7, "comment",
                "a comment", "description", description, "coverage", 50.125, "presence",
                "open 9\xe2\x80\x93"
                "17",
                nullptr);
  for (const lodex::AddressField &field : lodex::address_fields)
    g_object_set (place, field.parameter + 1, field.nick, nullptr);
  _lodex_place_get_row (place)->ctime = 1700000000;
  for (auto [link_name, mime, url] : {std::tuple{"Home page", "text/html", "https://example.org/?a=1&b=2"},
                                      std::tuple{(const char *) nullptr, (const char *) nullptr, "www.two.example"}})
    {
      g_autoptr (LodexPlaceLink) link = lodex_place_link_new ();
      link->name = g_strdup (link_name);
      link->mime = g_strdup (mime);
      link->url = g_strdup (url);
      g_assert_true (lodex_place_add_link (place, link));
    }
  return place;
}
