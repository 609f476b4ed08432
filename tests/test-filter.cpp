/* The category and route filters: alone, nested in and around a location
 * filter and each other, and the "changed" signals they relay. */

#include "lodex-test-utils.h"

#include <set>
#include <string>

struct Fixture
{
  LodexStore *store;
  LodexPlace *places[6]; /* "p0" .. "p5" at latitude and longitude i */
  LodexCategory *category;
  LodexRoute *route;
  LodexTestPrintCapture *printed; /* a library never prints */
};

static void
fixture_setup (Fixture *f, gconstpointer)
{
  f->store = lodex_test_store_new ();
  for (int i = 0; i < 6; i++)
    {
      g_autofree gchar *name = g_strdup_printf ("p%d", i);
      f->places[i] = lodex_place_new (name, i, i);
      g_assert_true (lodex_store_add_place (f->store, f->places[i]));
    }
  /* category: p1 p2 p3 p4; route: p3 p4 p5 */
  f->category = lodex_category_new ("Chosen", nullptr);
  g_assert_true (lodex_store_add_category (f->store, f->category));
  for (int i : {1, 2, 3, 4})
    g_assert_true (lodex_category_add_place (f->category, f->places[i]));
  f->route = lodex_route_new ("Way", nullptr);
  g_assert_true (lodex_store_add_route (f->store, f->route));
  for (int i : {3, 4, 5})
    g_assert_true (lodex_route_add_place (f->route, f->places[i]));
  f->printed = new LodexTestPrintCapture;
  lodex_test_settle ();
}

static void
fixture_teardown (Fixture *f, gconstpointer)
{
  delete f->printed;
  for (LodexPlace *place : f->places)
    g_object_unref (place);
  g_object_unref (f->category);
  g_object_unref (f->route);
  lodex_test_settle ();
  g_assert_finalize_object (f->store);
}

static std::string
walk (gpointer set)
{
  std::set<std::string> names;
  for (LodexPlace *p = lodex_set_first (LODEX_SET (set)); p; p = lodex_set_next (LODEX_SET (set)))
    {
      g_autofree gchar *name = nullptr;
      g_object_get (p, "name", &name, nullptr);
      names.insert (name);
      g_object_unref (p);
    }
  std::string joined;
  for (const std::string &name : names)
    joined += (joined.empty () ? "" : " ") + name;
  return joined;
}

/* The names of the places a walk of @set yields, sorted. */
static void
assert_walk (gpointer set, const char *expected)
{
  std::string names = walk (set);
  g_assert_cmpstr (names.c_str (), ==, expected);
}

static LodexLocationFilter *
box (gpointer inner, double from, double to)
{
  LodexLocationFilter *filter = lodex_location_filter_new (LODEX_SET (inner));
  g_object_set (filter, "min-lat", from, "max-lat", to, "min-long", from, "max-long", to, nullptr);
  return filter;
}

static void
test_filter_alone (Fixture *f, gconstpointer)
{
  g_autoptr (LodexCategoryFilter) by_category = lodex_category_filter_new (LODEX_SET (f->store));
  /* no category yet: every place */
  assert_walk (by_category, "p0 p1 p2 p3 p4 p5");
  g_object_set (by_category, "category", f->category, nullptr);
  assert_walk (by_category, "p1 p2 p3 p4");

  g_autoptr (LodexRouteFilter) by_route = lodex_route_filter_new (LODEX_SET (f->store));
  g_object_set (by_route, "route", f->route, nullptr);
  assert_walk (by_route, "p3 p4 p5");

  /* a category without places gives nothing; the walk then holds nothing */
  g_autoptr (LodexCategory) empty = lodex_category_new ("Empty", nullptr);
  g_assert_true (lodex_store_add_category (f->store, empty));
  g_object_set (by_category, "category", empty, nullptr);
  g_assert_null (lodex_set_first (LODEX_SET (by_category)));
  g_test_expect_message ("Lodex", G_LOG_LEVEL_CRITICAL,
                         "lodex_category_filter_set_next: assertion 'priv->statement != NULL' failed");
  g_assert_null (lodex_set_next (LODEX_SET (by_category)));
  g_test_assert_expected_messages ();

  /* destroyed in the middle of a walk: its statement goes with it */
  LodexPlace *first = lodex_set_first (LODEX_SET (by_route));
  g_assert_nonnull (first);
  g_object_unref (first);
}

static void
test_filter_nested (Fixture *f, gconstpointer)
{
  /* category filter around a location filter, and the reverse */
  g_autoptr (LodexLocationFilter) inner_box = box (f->store, 2, 5);
  g_autoptr (LodexCategoryFilter) around_box = lodex_category_filter_new (LODEX_SET (inner_box));
  g_object_set (around_box, "category", f->category, nullptr);
  assert_walk (around_box, "p2 p3 p4");

  g_autoptr (LodexCategoryFilter) by_category = lodex_category_filter_new (LODEX_SET (f->store));
  g_object_set (by_category, "category", f->category, nullptr);
  g_autoptr (LodexLocationFilter) outer_box = box (by_category, 0, 3);
  assert_walk (outer_box, "p1 p2 p3");

  /* route filter around a category filter: places in both */
  g_autoptr (LodexRouteFilter) both = lodex_route_filter_new (LODEX_SET (by_category));
  g_object_set (both, "route", f->route, nullptr);
  assert_walk (both, "p3 p4");

  /* two filters of one kind: each binds its own category */
  g_autoptr (LodexCategory) even = lodex_category_new ("Even", nullptr);
  g_assert_true (lodex_store_add_category (f->store, even));
  for (int i : {0, 2, 4})
    g_assert_true (lodex_category_add_place (even, f->places[i]));
  g_autoptr (LodexCategoryFilter) twice = lodex_category_filter_new (LODEX_SET (by_category));
  g_object_set (twice, "category", even, nullptr);
  assert_walk (twice, "p2 p4");
  g_autoptr (LodexCategoryFilter) thrice = lodex_category_filter_new (LODEX_SET (twice));
  g_object_set (thrice, "category", f->category, nullptr);
  assert_walk (thrice, "p2 p4");

  g_autoptr (LodexRoute) short_route = lodex_route_new ("Short", nullptr);
  g_assert_true (lodex_store_add_route (f->store, short_route));
  g_assert_true (lodex_route_add_place (short_route, f->places[4]));
  g_autoptr (LodexRouteFilter) by_route = lodex_route_filter_new (LODEX_SET (f->store));
  g_object_set (by_route, "route", f->route, nullptr);
  g_autoptr (LodexRouteFilter) routes_twice = lodex_route_filter_new (LODEX_SET (by_route));
  g_object_set (routes_twice, "route", short_route, nullptr);
  assert_walk (routes_twice, "p4");
}

static void
test_filter_changed (Fixture *f, gconstpointer)
{
  g_autoptr (LodexCategoryFilter) by_category = lodex_category_filter_new (LODEX_SET (f->store));
  g_autoptr (LodexLocationFilter) outer_box = box (by_category, 0, 10);
  LodexTestRecorder category_changed (by_category, "changed");
  LodexTestRecorder box_changed (outer_box, "changed");

  /* setting the category: once, and not again for the same one */
  g_object_set (by_category, "category", f->category, nullptr);
  g_object_set (by_category, "category", f->category, nullptr);
  g_assert_cmpuint (category_changed.count, ==, 1);
  g_assert_cmpuint (box_changed.count, ==, 1);

  /* a place joining the category reloads it: the filters follow */
  g_assert_true (lodex_category_add_place (f->category, f->places[0]));
  lodex_test_wait ([&] { return category_changed.count == 2; });
  g_assert_cmpuint (box_changed.count, ==, 2);
  assert_walk (by_category, "p0 p1 p2 p3 p4");

  /* so does a place added to the store, through the inner set */
  g_autoptr (LodexPlace) extra = lodex_place_new ("extra", 9, 9);
  g_assert_true (lodex_store_add_place (f->store, extra));
  lodex_test_wait ([&] { return category_changed.count == 3; });

  /* the route filter relays its route's changes and its set's, silently */
  g_autoptr (LodexRouteFilter) by_route = lodex_route_filter_new (LODEX_SET (f->store));
  LodexTestRecorder route_changed (by_route, "changed");
  g_object_set (by_route, "route", f->route, nullptr);
  g_assert_cmpuint (route_changed.count, ==, 1);
  g_string_truncate (f->printed->text, 0);
  g_assert_true (lodex_route_add_place (f->route, f->places[0]));
  lodex_test_wait ([&] { return route_changed.count == 2; });
  g_assert_true (lodex_store_remove_place (f->store, extra));
  lodex_test_wait ([&] { return route_changed.count == 3; });
  g_assert_cmpstr (f->printed->text->str, ==, "");

  /* dropping the category turns the filter back into a pass-through */
  g_object_set (by_category, "category", nullptr, nullptr);
  g_assert_cmpuint (category_changed.count, ==, 5);
  assert_walk (by_category, "p0 p1 p2 p3 p4 p5");
  g_autoptr (LodexCategory) held = nullptr;
  g_object_get (by_category, "category", &held, nullptr);
  g_assert_null (held);
}

int
main (int argc, char **argv)
{
  g_test_init (&argc, &argv, G_TEST_OPTION_ISOLATE_DIRS, nullptr);

#define ADD(path, fn) g_test_add (path, Fixture, nullptr, fixture_setup, fn, fixture_teardown)
  ADD ("/filter/alone", test_filter_alone);
  ADD ("/filter/nested", test_filter_nested);
  ADD ("/filter/changed", test_filter_changed);
#undef ADD

  return lodex_test_run_with_bus ();
}
