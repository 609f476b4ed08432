/* What a place carries besides its row: links, app data, images and
 * categories, before and after it is stored. */

#include "lodex-test-utils.h"

static LodexPlaceLink *
new_link (const char *name, const char *url)
{
  LodexPlaceLink *link = lodex_place_link_new ();
  link->name = g_strdup (name);
  link->url = g_strdup (url);
  link->mime = g_strdup ("text/html");
  return link;
}

static guint
count_links (GList *links)
{
  guint n = g_list_length (links);
  g_list_free_full (links, GDestroyNotify (lodex_place_link_free));
  return n;
}

static void
test_links_detached (void)
{
  g_autoptr (LodexPlace) place = lodex_place_new ("Linked", 1, 2);
  guint changed = 0;
  g_signal_connect_swapped (place, "changed", G_CALLBACK (+[] (guint *n) { (*n)++; }), &changed);
  g_assert_null (lodex_place_get_links (place));

  g_autoptr (LodexPlaceLink) link = new_link ("home", "https://example.org/");
  g_assert_true (lodex_place_add_link (place, link));
  g_assert_nonnull (link->link_id);
  g_assert_null (link->place_id);
  g_assert_cmpuint (changed, ==, 1);

  GList *links = lodex_place_get_links (place);
  g_assert_cmpuint (g_list_length (links), ==, 1);
  auto copy = static_cast<LodexPlaceLink *> (links->data);
  g_assert_true (copy != link);
  g_assert_cmpstr (copy->link_id, ==, link->link_id);
  g_assert_cmpstr (copy->url, ==, "https://example.org/");
  count_links (links);

  g_test_expect_message ("Lodex", G_LOG_LEVEL_WARNING, "Link already associated with a place.");
  g_assert_false (lodex_place_add_link (place, link));
  g_test_assert_expected_messages ();

  g_free (link->url);
  link->url = g_strdup ("https://example.org/new");
  g_assert_true (lodex_place_update_link (place, link));
  links = lodex_place_get_links (place);
  g_assert_cmpstr (static_cast<LodexPlaceLink *> (links->data)->url, ==, "https://example.org/new");
  count_links (links);

  g_autoptr (LodexPlaceLink) stranger = new_link ("x", "y");
  stranger->link_id = g_strdup ("not in the list");
  g_test_expect_message ("Lodex", G_LOG_LEVEL_WARNING, "Link not present in internal list.");
  g_assert_false (lodex_place_update_link (place, stranger));
  g_test_assert_expected_messages ();
  g_autoptr (LodexPlaceLink) idless = new_link ("x", "y");
  g_test_expect_message ("Lodex", G_LOG_LEVEL_WARNING, "Link not associated with a place.");
  g_assert_false (lodex_place_remove_link (place, idless));
  g_test_assert_expected_messages ();

  /* removed from a detached place, the caller's link keeps its ids */
  g_assert_true (lodex_place_remove_link (place, link));
  g_assert_nonnull (link->link_id);
  g_assert_null (lodex_place_get_links (place));
  g_assert_cmpuint (changed, ==, 3);
}

static void
test_links_stored (void)
{
  LodexStore *store = lodex_test_store_new ();
  g_autoptr (LodexPlace) place = lodex_place_new ("Linked", 1, 2);
  g_autoptr (LodexPlaceLink) first = new_link ("first", "https://a.example/");
  g_autoptr (LodexPlaceLink) second = new_link ("second", "https://b.example/");
  g_assert_true (lodex_place_add_link (place, first));
  g_assert_true (lodex_place_add_link (place, second));

  /* collected while detached, written with the place */
  g_assert_true (lodex_store_add_place (store, place));
  g_autofree gchar *id = g_strdup (_lodex_place_get_row (place)->id);
  LodexStore *other = lodex_test_store_new ();
  g_autoptr (LodexPlace) theirs = lodex_store_get_place_by_id (other, id);
  GList *links = lodex_place_get_links (theirs);
  g_assert_cmpuint (g_list_length (links), ==, 2);
  g_assert_cmpstr (static_cast<LodexPlaceLink *> (links->data)->place_id, ==, id);
  count_links (links);

  /* on a stored place every change goes to the database */
  g_autoptr (LodexPlaceLink) third = new_link ("third", "https://c.example/");
  g_assert_true (lodex_place_add_link (place, third));
  g_assert_cmpstr (third->place_id, ==, id);
  g_free (first->name);
  first->name = g_strdup ("renamed");
  g_assert_true (lodex_place_update_link (place, first));
  g_assert_true (lodex_place_remove_link (place, second));
  g_assert_null (second->link_id); /* it may be added again */
  g_assert_null (second->place_id);

  /* the other store's live place follows */
  lodex_test_wait ([&] { return g_list_length (_lodex_place_get_links (theirs)) == 2; });
  lodex_test_settle ();
  bool renamed = false;
  for (GList *l = _lodex_place_get_links (theirs); l; l = l->next)
    renamed = renamed || g_strcmp0 (static_cast<LodexPlaceLink *> (l->data)->name, "renamed") == 0;
  g_assert_true (renamed);

  /* a removed place keeps its links in memory */
  g_assert_true (lodex_store_remove_place (store, place));
  g_assert_cmpuint (count_links (lodex_place_get_links (place)), ==, 2);
  g_assert_null (lodex_db_get_place_links (_lodex_set_get_db (LODEX_SET (store)), id));

  g_clear_object (&theirs);
  g_clear_object (&place);
  lodex_test_settle ();
  g_assert_finalize_object (other);
  g_assert_finalize_object (store);
}

static void
test_appdata (void)
{
  g_autoptr (LodexPlace) place = lodex_place_new ("With data", 1, 2);
  g_test_expect_message ("Lodex", G_LOG_LEVEL_WARNING, "Place must be associated with the store");
  g_assert_null (lodex_place_get_appdata (place, "key"));
  g_test_assert_expected_messages ();
  g_test_expect_message ("Lodex", G_LOG_LEVEL_CRITICAL, "lodex_place_set_appdata: assertion 'key != NULL' failed");
  g_assert_false (lodex_place_set_appdata (place, nullptr, "value"));
  g_test_assert_expected_messages ();

  LodexStore *store = lodex_test_store_new ();
  g_assert_true (lodex_store_add_place (store, place));
  g_assert_null (lodex_place_get_appdata (place, "key"));
  g_assert_true (lodex_place_set_appdata (place, "key", "one"));
  g_assert_true (lodex_place_set_appdata (place, "key", "two")); /* an update, not a second row */
  g_assert_true (lodex_place_set_appdata (place, "other", "x"));
  g_autofree gchar *value = lodex_place_get_appdata (place, "key");
  g_assert_cmpstr (value, ==, "two");
  g_assert_true (lodex_place_set_appdata (place, "key", nullptr)); /* NULL removes */
  g_assert_null (lodex_place_get_appdata (place, "key"));
  g_assert_true (lodex_place_clear_appdata (place, "other"));
  g_assert_null (lodex_place_get_appdata (place, "other"));

  g_clear_object (&place);
  lodex_test_settle ();
  g_assert_finalize_object (store);
}

static void
test_images_and_categories (void)
{
  g_autoptr (LodexPlace) place = lodex_place_new ("Pictured", 1, 2);
  g_test_expect_message ("Lodex", G_LOG_LEVEL_CRITICAL, "lodex_place_get_images: assertion 'priv->store != NULL' failed");
  g_assert_null (lodex_place_get_images (place));
  g_test_assert_expected_messages ();

  LodexStore *store = lodex_test_store_new ();
  g_assert_true (lodex_store_add_place (store, place));
  g_autoptr (LodexImage) image = lodex_image_new ("front", "/nonexistent.png");
  g_assert_true (lodex_store_add_image (store, image));
  g_autoptr (LodexCategory) category = lodex_category_new ("Sights", nullptr);
  g_assert_true (lodex_store_add_category (store, category));

  g_assert_true (lodex_place_add_image (place, image));
  g_assert_true (lodex_category_add_place (category, place));
  GList *images = lodex_place_get_images (place);
  GList *categories = lodex_place_get_categories (place);
  g_assert_cmpuint (g_list_length (images), ==, 1);
  g_assert_true (images->data == image);
  g_assert_cmpuint (g_list_length (categories), ==, 1);
  g_assert_true (categories->data == category);
  g_list_free_full (images, g_object_unref);
  g_list_free_full (categories, g_object_unref);

  g_assert_true (lodex_place_remove_image (place, image));
  g_assert_null (lodex_place_get_images (place));

  g_clear_object (&place);
  g_clear_object (&image);
  g_clear_object (&category);
  lodex_test_settle ();
  g_assert_finalize_object (store);
}

int
main (int argc, char **argv)
{
  g_test_init (&argc, &argv, G_TEST_OPTION_ISOLATE_DIRS, nullptr);

  g_test_add_func ("/attachments/links/detached", test_links_detached);
  g_test_add_func ("/attachments/links/stored", test_links_stored);
  g_test_add_func ("/attachments/appdata", test_appdata);
  g_test_add_func ("/attachments/images-and-categories", test_images_and_categories);

  return lodex_test_run_with_bus ();
}
