/* The place object on its own and bound to a store. */

#include "lodex-test-utils.h"

#include <ctime>

static void
count_changed (LodexPlace *, gpointer data)
{
  (*static_cast<guint *> (data))++;
}

static void
test_place_properties (void)
{
  g_autoptr (LodexPlace) place = LODEX_PLACE (g_object_new (LODEX_TYPE_PLACE, nullptr));
  gchar *name = (gchar *) "unset", *id = (gchar *) "unset";
  guint fields = 99;
  g_object_get (place, "name", &name, "id", &id, "fields", &fields, nullptr);
  /* no property is construct-time: the declared "" never reaches the row */
  g_assert_null (name);
  g_assert_null (id);
  g_assert_cmpuint (fields, ==, 0);

  /* an optional double sets its bit, 0.0 included; only "fields" clears */
  g_object_set (place, "altitude", 0.0, "coverage", 25.0, nullptr);
  g_object_get (place, "fields", &fields, nullptr);
  g_assert_cmpuint (fields, ==, LODEX_PLACE_FIELD_ALTITUDE | LODEX_PLACE_FIELD_COVERAGE);
  g_object_set (place, "fields", 0u, nullptr);
  gdouble coverage = 0;
  g_object_get (place, "fields", &fields, "coverage", &coverage, nullptr);
  g_assert_cmpuint (fields, ==, 0);
  g_assert_cmpfloat (coverage, ==, 25.0);

  /* every address property is its own field */
  g_object_set (place, "building-floor", "3", "building-zone", "B", "country-code", "FI",
                "phone-number", "+358 9", "crossing1", "A", "crossing2", "B2", nullptr);
  g_object_set (place, "building-zone", "C", nullptr);
  g_autofree gchar *floor = nullptr, *zone = nullptr, *code = nullptr, *phone = nullptr, *c1 = nullptr,
                   *country = nullptr;
  g_object_get (place, "building-floor", &floor, "building-zone", &zone, "country-code", &code,
                "phone-number", &phone, "crossing1", &c1, "country", &country, nullptr);
  g_assert_cmpstr (floor, ==, "3");
  g_assert_cmpstr (zone, ==, "C");
  g_assert_cmpstr (code, ==, "FI");
  g_assert_cmpstr (phone, ==, "+358 9");
  g_assert_cmpstr (c1, ==, "A");
  g_assert_null (country);
  g_assert_cmpstr (_lodex_place_peek_address (place)->building_zone, ==, "C");
}

static void
test_place_detached_changes (void)
{
  g_autoptr (LodexPlace) place = lodex_place_new ("Name", 60.17, 24.94);
  guint changed = 0;
  g_signal_connect (place, "changed", G_CALLBACK (count_changed), &changed);

  g_object_set (place, "name", "Name", nullptr); /* same text: no change */
  g_assert_cmpuint (changed, ==, 0);
  g_assert_false (_lodex_place_is_dirty (place));

  g_object_set (place, "name", "Other", nullptr);
  g_object_set (place, "latitude", 60.17, nullptr); /* doubles always count */
  g_object_set (place, "icon", "pin", nullptr);
  g_assert_cmpuint (changed, ==, 3);

  g_object_set (place, "presence", nullptr, nullptr);
  g_assert_cmpuint (changed, ==, 3);

  /* committing a detached place only clears the dirty mark */
  g_assert_true (_lodex_place_is_dirty (place));
  lodex_place_commit (place);
  g_assert_false (_lodex_place_is_dirty (place));
}

static void
test_place_new (void)
{
  gint64 before = gint64 (time (nullptr));
  g_autoptr (LodexPlace) place = lodex_place_new (nullptr, -90, 180);
  gint64 ctime = 0;
  guint fields = 1;
  g_object_get (place, "ctime", &ctime, "fields", &fields, nullptr);
  g_assert_cmpint (ctime, >=, before);
  g_assert_cmpint (ctime, <=, before + 2);
  g_assert_cmpuint (fields, ==, 0);
  g_assert_false (lodex_place_has_id (place));
  g_assert_null (_lodex_place_get_store (place));
}

static void
test_place_bad_arguments (void)
{
  g_test_expect_message ("GLib-GObject", G_LOG_LEVEL_WARNING, "*property 'id'*not writable*");
  g_autoptr (LodexPlace) place = lodex_place_new ("p", 0, 0);
  g_object_set (place, "id", "forged", nullptr);
  g_test_assert_expected_messages ();
  g_assert_false (lodex_place_has_id (place));

  g_test_expect_message ("Lodex", G_LOG_LEVEL_CRITICAL, "lodex_place_has_id: assertion 'place != NULL' failed");
  g_assert_false (lodex_place_has_id (nullptr));
  g_test_assert_expected_messages ();

  g_autoptr (GObject) other = G_OBJECT (g_object_new (G_TYPE_OBJECT, nullptr));
  g_test_expect_message ("Lodex", G_LOG_LEVEL_CRITICAL,
                         "lodex_place_has_id: assertion 'LODEX_IS_PLACE (place)' failed");
  g_assert_false (lodex_place_has_id ((LodexPlace *) other));
  g_test_assert_expected_messages ();

  g_test_expect_message ("Lodex", G_LOG_LEVEL_CRITICAL,
                         "lodex_place_commit: assertion 'LODEX_IS_PLACE (place)' failed");
  lodex_place_commit (nullptr);
  g_test_assert_expected_messages ();
}

static void
test_place_bound (void)
{
  LodexStore *store = lodex_test_store_new ();
  LodexPlace *place = lodex_place_new ("Bound", 1, 2);
  g_assert_true (lodex_store_add_place (store, place));
  g_autofree gchar *id = g_strdup (_lodex_place_get_row (place)->id);

  /* a bound place announces its change through the store, not at once */
  guint changed = 0;
  g_signal_connect (place, "changed", G_CALLBACK (count_changed), &changed);
  g_object_set (place, "name", "Renamed", "street", "High Street", nullptr);
  g_assert_cmpuint (changed, ==, 0);

  /* a place dropped with pending changes writes them before it goes */
  g_object_unref (place);
  LodexStore *reader = lodex_test_store_new ();
  g_autoptr (LodexPlace) copy = lodex_store_get_place_by_id (reader, id);
  g_autofree gchar *name = nullptr, *street = nullptr, *city = nullptr;
  g_object_get (copy, "name", &name, "street", &street, "city", &city, nullptr);
  g_assert_cmpstr (name, ==, "Renamed");
  g_assert_cmpstr (street, ==, "High Street");
  g_assert_null (city);

  g_clear_object (&copy);
  lodex_test_settle ();
  g_assert_finalize_object (reader);
  g_assert_finalize_object (store);
}

static void
test_place_address_through_store (void)
{
  LodexStore *store = lodex_test_store_new ();
  g_autoptr (LodexPlace) place = lodex_place_new ("Addressed", 1, 2);
  g_object_set (place, "city", "Oulu", "postcode", "90100", nullptr);
  g_assert_true (lodex_store_add_place (store, place));
  g_autofree gchar *id = g_strdup (_lodex_place_get_row (place)->id);
  g_clear_object (&place);

  /* a second store loads the address when it is first read */
  LodexStore *other = lodex_test_store_new ();
  g_autoptr (LodexPlace) copy = lodex_store_get_place_by_id (other, id);
  g_assert_null (_lodex_place_peek_address (copy));
  g_autofree gchar *city = nullptr, *postcode = nullptr;
  g_object_get (copy, "city", &city, "postcode", &postcode, nullptr);
  g_assert_cmpstr (city, ==, "Oulu");
  g_assert_cmpstr (postcode, ==, "90100");

  /* and follows it when the first store clears it */
  place = lodex_store_get_place_by_id (store, id);
  g_assert_true (_lodex_store_place_clear_address (store, place));
  lodex_test_wait ([&] { return _lodex_place_peek_address (copy) == nullptr; });

  g_clear_object (&place);
  g_clear_object (&copy);
  lodex_test_settle ();
  g_assert_finalize_object (other);
  g_assert_finalize_object (store);
}

int
main (int argc, char **argv)
{
  g_test_init (&argc, &argv, G_TEST_OPTION_ISOLATE_DIRS, nullptr);

  g_test_add_func ("/place/properties", test_place_properties);
  g_test_add_func ("/place/detached-changes", test_place_detached_changes);
  g_test_add_func ("/place/new", test_place_new);
  g_test_add_func ("/place/bad-arguments", test_place_bad_arguments);
  g_test_add_func ("/place/bound", test_place_bound);
  g_test_add_func ("/place/address", test_place_address_through_store);

  return lodex_test_run_with_bus ();
}
