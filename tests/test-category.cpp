/* Categories: the object, its rows, memberships, and the store's operations
 * on them as a second store sees them. */

#include "lodex-test-utils.h"

static gchar *
name_of (gpointer object)
{
  gchar *name = nullptr;
  g_object_get (object, "name", &name, nullptr);
  return name;
}

static void
count (gpointer, gpointer data)
{
  (*static_cast<guint *> (data))++;
}

static void
test_category_object (void)
{
  g_test_expect_message ("Lodex", G_LOG_LEVEL_CRITICAL, "lodex_category_new: assertion 'name != NULL' failed");
  g_assert_null (lodex_category_new (nullptr, "no name"));
  g_test_assert_expected_messages ();

  g_autoptr (LodexCategory) category = lodex_category_new ("Parks", nullptr);
  g_autofree gchar *description = nullptr;
  g_object_get (category, "description", &description, nullptr);
  g_assert_null (description);

  guint changed = 0;
  g_signal_connect (category, "changed", G_CALLBACK (count), &changed);
  g_object_set (category, "name", "Parks", nullptr);
  g_assert_cmpuint (changed, ==, 0);
  g_object_set (category, "name", "Gardens", nullptr);
  g_assert_cmpuint (changed, ==, 1);

  /* two detached objects cannot make a membership */
  g_autoptr (LodexPlace) place = lodex_place_new ("Kew", 51.47, -0.29);
  g_test_expect_message ("Lodex", G_LOG_LEVEL_CRITICAL, "*assertion 'LODEX_IS_STORE (store)' failed");
  g_assert_false (lodex_category_add_place (category, place));
  g_test_assert_expected_messages ();
}

static void
test_category_rows (StoreFixture *f, gconstpointer)
{
  sqlite3 *db = _lodex_set_get_db (LODEX_SET (f->store));
  LodexCategoryRow *row = _lodex_category_row_new ();
  row->id = g_strdup ("c1");
  row->name = nullptr; /* stored as NULL */
  row->description = g_strdup ("it's quoted");
  g_autoptr (LodexCategory) category = _lodex_category_new_with_row (row);
  g_assert_true (lodex_db_insert_category (db, category));

  g_autoptr (LodexCategoryRow) back = lodex_db_get_category_row_by_id (db, "c1");
  g_assert_cmpstr (back->id, ==, "c1");
  g_assert_null (back->name);
  g_assert_cmpstr (back->description, ==, "it's quoted");

  row->name = g_strdup ("Museums");
  g_assert_true (lodex_db_update_category (db, category));
  g_autofree gchar *id = lodex_db_get_category_id_by_name (db, "Museums");
  g_assert_cmpstr (id, ==, "c1");
  g_assert_null (lodex_db_get_category_id_by_name (db, "Nothing"));

  /* a membership is written once; the category's deletion takes it along */
  g_assert_true (lodex_db_add_place_to_category (db, "p1", "c1"));
  g_test_expect_message ("Lodex", G_LOG_LEVEL_WARNING, "Problem executing statement: UNIQUE constraint failed: *");
  g_assert_false (lodex_db_add_place_to_category (db, "p1", "c1"));
  g_test_assert_expected_messages ();
  g_assert_true (lodex_db_remove_place_from_category (db, "p9", "c1")); /* absent: still fine */
  g_assert_true (lodex_db_delete_category (db, category));
  g_assert_null (lodex_db_get_category_row_by_id (db, "c1"));
  g_assert_true (lodex_db_add_place_to_category (db, "p1", "c1")); /* the old row went with it */
}

static void
test_category_store (StoreFixture *f, gconstpointer)
{
  LodexStore *other = lodex_test_store_new ();
  LodexTestRecorder added (other, "category-added");
  LodexTestRecorder updated (other, "category-updated");
  LodexTestRecorder removed (other, "category-removed");

  g_assert_null (lodex_store_categories (f->store));
  g_autoptr (LodexCategory) parks = lodex_category_new ("Parks", "green");
  guint on_added = 0;
  g_signal_connect (parks, "added", G_CALLBACK (+[] (LodexCategory *, LodexStore *, guint *n) { (*n)++; }),
                    &on_added);
  g_assert_true (lodex_store_add_category (f->store, parks));
  g_assert_cmpuint (on_added, ==, 1);
  g_autofree gchar *id = nullptr;
  g_object_get (parks, "id", &id, nullptr);
  g_assert_nonnull (id);

  g_test_expect_message ("Lodex", G_LOG_LEVEL_WARNING, "Category already associated with database.");
  g_assert_false (lodex_store_add_category (f->store, parks));
  g_test_assert_expected_messages ();

  /* by id and by name: the live object */
  g_autoptr (LodexCategory) by_id = lodex_store_get_category_by_id (f->store, id);
  g_autoptr (LodexCategory) by_name = lodex_store_get_category_by_name (f->store, "Parks");
  g_assert_true (by_id == parks);
  g_assert_true (by_name == parks);
  g_assert_null (lodex_store_get_category_by_name (f->store, "Nowhere"));
  g_test_expect_message ("Lodex", G_LOG_LEVEL_WARNING, "Problem getting category row from database");
  g_assert_null (lodex_store_get_category_by_id (f->store, "no such id"));
  g_test_assert_expected_messages ();

  /* a bound category writes each change at once */
  g_object_set (parks, "name", "City parks", nullptr);
  g_autoptr (LodexCategory) theirs = lodex_store_get_category_by_id (other, id);
  g_autofree gchar *their_name = name_of (theirs);
  g_assert_cmpstr (their_name, ==, "City parks");

  /* a place in two categories */
  g_autoptr (LodexCategory) views = lodex_category_new ("Views", nullptr);
  g_assert_true (lodex_store_add_category (f->store, views));
  g_autoptr (LodexPlace) place = lodex_place_new ("Hill", 1, 2);
  g_assert_true (lodex_store_add_place (f->store, place));
  g_assert_true (lodex_category_add_place (parks, place));
  g_assert_true (lodex_category_add_place (views, place));
  g_test_expect_message ("Lodex", G_LOG_LEVEL_WARNING, "Problem executing statement: UNIQUE constraint failed: *");
  g_test_expect_message ("Lodex", G_LOG_LEVEL_WARNING, "Unable to add place to category in the database");
  g_assert_false (lodex_category_add_place (views, place));
  g_test_assert_expected_messages ();
  GList *of_place = _lodex_store_get_categories_for_place (f->store, place);
  g_assert_cmpuint (g_list_length (of_place), ==, 2);
  g_assert_nonnull (g_list_find (of_place, parks));
  g_assert_nonnull (g_list_find (of_place, views));
  g_list_free_full (of_place, g_object_unref);

  GList *all = lodex_store_categories (f->store);
  g_assert_cmpuint (g_list_length (all), ==, 2);
  g_list_free_full (all, g_object_unref);

  /* a place of another store is refused */
  g_autoptr (LodexPlace) foreign = lodex_store_get_place_by_id (other, _lodex_place_get_row (place)->id);
  g_test_expect_message ("Lodex", G_LOG_LEVEL_WARNING, "Trying to add a Place to a Category from a different store.");
  g_assert_false (lodex_category_add_place (parks, foreign));
  g_test_assert_expected_messages ();

  /* removal takes the memberships along; the object may be added again */
  g_assert_true (lodex_store_remove_category (f->store, views));
  g_autofree gchar *removed_id = nullptr;
  g_object_get (views, "id", &removed_id, nullptr);
  g_assert_null (removed_id);
  of_place = _lodex_store_get_categories_for_place (f->store, place);
  g_assert_cmpuint (g_list_length (of_place), ==, 1);
  g_list_free_full (of_place, g_object_unref);
  g_test_expect_message ("Lodex", G_LOG_LEVEL_WARNING, "Category not associated with database.");
  g_assert_false (lodex_store_remove_category (f->store, views));
  g_test_assert_expected_messages ();
  g_assert_true (lodex_category_remove_place (parks, place));

  lodex_test_wait ([&] { return removed.count == 1; });
  lodex_test_settle ();
  g_assert_cmpuint (added.count, ==, 2);
  g_assert_true (added.saw (id));
  /* rename, two adds and one removal of a place */
  g_assert_cmpuint (updated.count, ==, 4);

  g_clear_object (&theirs);
  g_clear_object (&foreign);
  g_assert_finalize_object (other);
}

static void
test_category_follows_changes (StoreFixture *f, gconstpointer)
{
  g_autoptr (LodexCategory) mine = lodex_category_new ("Cafes", nullptr);
  g_assert_true (lodex_store_add_category (f->store, mine));
  g_autofree gchar *id = nullptr;
  g_object_get (mine, "id", &id, nullptr);
  LodexStore *other = lodex_test_store_new ();
  g_autoptr (LodexCategory) theirs = lodex_store_get_category_by_id (other, id);

  GString *order = g_string_new (nullptr);
  g_signal_connect_swapped (mine, "changed", G_CALLBACK (+[] (GString *s) { g_string_append (s, "object "); }), order);
  g_signal_connect_swapped (f->store, "category-updated",
                            G_CALLBACK (+[] (GString *s, const gchar *) { g_string_append (s, "store "); }), order);
  g_object_set (theirs, "description", "coffee", nullptr);
  lodex_test_wait ([&] { return order->len > 0; });
  lodex_test_settle ();
  g_assert_cmpstr (order->str, ==, "object store ");
  g_autofree gchar *description = nullptr;
  g_object_get (mine, "description", &description, nullptr);
  g_assert_cmpstr (description, ==, "coffee");

  /* removed elsewhere: the store's signal, then the object's; it keeps its id */
  g_string_truncate (order, 0);
  g_signal_connect_swapped (mine, "removed",
                            G_CALLBACK (+[] (GString *s, LodexStore *) { g_string_append (s, "object "); }), order);
  g_signal_connect_swapped (f->store, "category-removed",
                            G_CALLBACK (+[] (GString *s, const gchar *) { g_string_append (s, "store "); }), order);
  g_assert_true (lodex_store_remove_category (other, theirs));
  lodex_test_wait ([&] { return strstr (order->str, "object") != nullptr; });
  g_assert_cmpstr (order->str, ==, "store object ");
  g_autofree gchar *kept = nullptr;
  g_object_get (mine, "id", &kept, nullptr);
  g_assert_cmpstr (kept, ==, id);

  g_signal_handlers_disconnect_by_data (f->store, order);
  g_string_free (order, TRUE);
  g_clear_object (&theirs);
  lodex_test_settle ();
  g_assert_finalize_object (other);
}

int
main (int argc, char **argv)
{
  g_test_init (&argc, &argv, G_TEST_OPTION_ISOLATE_DIRS, nullptr);

  g_test_add_func ("/category/object", test_category_object);
  LODEX_TEST_ADD ("/category/rows", test_category_rows);
  LODEX_TEST_ADD ("/category/store", test_category_store);
  LODEX_TEST_ADD ("/category/follows-changes", test_category_follows_changes);

  return lodex_test_run_with_bus ();
}
