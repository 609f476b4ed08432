/* Images: the picture and its previews, the rows, and the store's
 * operations on images and their places. */

#include "lodex-test-utils.h"

static gchar *
write_png (int width, int height)
{
  g_autoptr (GdkPixbuf) pixbuf = gdk_pixbuf_new (GDK_COLORSPACE_RGB, FALSE, 8, width, height);
  gdk_pixbuf_fill (pixbuf, 0x3366ccff);
  g_autofree gchar *name = g_strdup_printf ("picture-%dx%d.png", width, height);
  gchar *path = g_build_filename (g_get_home_dir (), name, nullptr);
  g_assert_cmpint (g_mkdir_with_parents (g_get_home_dir (), 0700), ==, 0);
  g_autoptr (GError) error = nullptr;
  g_assert_true (gdk_pixbuf_save (pixbuf, path, "png", &error, nullptr));
  g_assert_no_error (error);
  return path;
}

static void
test_image_pictures (void)
{
  g_autofree gchar *path = write_png (400, 300);
  g_autoptr (LodexImage) image = lodex_image_new ("blue", path);

  /* decoded once, then the same picture */
  g_autoptr (GdkPixbuf) first = lodex_image_get_pixbuf (image);
  g_autoptr (GdkPixbuf) second = lodex_image_get_pixbuf (image);
  g_assert_nonnull (first);
  g_assert_true (first == second);

  g_autoptr (GdkPixbuf) preview = lodex_image_get_preview_pixbuf (image, 150);
  g_assert_cmpint (gdk_pixbuf_get_width (preview), ==, 200);
  g_assert_cmpint (gdk_pixbuf_get_height (preview), ==, 150);

  /* the width is truncated, never below one column */
  g_autofree gchar *odd = write_png (333, 100);
  g_autoptr (LodexImage) odd_image = lodex_image_new (nullptr, odd);
  g_autoptr (GdkPixbuf) narrow = lodex_image_get_preview_pixbuf (odd_image, 30);
  g_assert_cmpint (gdk_pixbuf_get_width (narrow), ==, 99);
  g_autofree gchar *tall = write_png (1, 300);
  g_autoptr (LodexImage) tall_image = lodex_image_new (nullptr, tall);
  g_autoptr (GdkPixbuf) thin = lodex_image_get_preview_pixbuf (tall_image, 10);
  g_assert_cmpint (gdk_pixbuf_get_width (thin), ==, 1);

  for (int height : {0, -5})
    {
      g_test_expect_message ("Lodex", G_LOG_LEVEL_CRITICAL, "*assertion 'height > 0' failed");
      g_assert_null (lodex_image_get_preview_pixbuf (image, height));
      g_test_assert_expected_messages ();
    }

  /* a new file name drops the cached picture of a detached image */
  g_object_set (image, "filename", odd, nullptr);
  g_autoptr (GdkPixbuf) changed = lodex_image_get_pixbuf (image);
  g_assert_cmpint (gdk_pixbuf_get_width (changed), ==, 333);
}

static void
test_image_bad_files (void)
{
  g_autoptr (LodexImage) nameless = lodex_image_new ("none", nullptr);
  g_assert_null (lodex_image_get_pixbuf (nameless));
  g_assert_null (lodex_image_get_preview_pixbuf (nameless, 10));

  g_autoptr (LodexImage) missing = lodex_image_new ("missing", "/nonexistent/picture.png");
  g_test_expect_message ("Lodex", G_LOG_LEVEL_WARNING, "Error whilst loading pixbuf: *");
  g_assert_null (lodex_image_get_pixbuf (missing));
  g_test_assert_expected_messages ();

  /* not a picture; nothing is cached, so the next call tries again */
  g_autofree gchar *text = g_build_filename (g_get_home_dir (), "not-a-picture.png", nullptr);
  g_assert_cmpint (g_mkdir_with_parents (g_get_home_dir (), 0700), ==, 0);
  g_assert_true (g_file_set_contents (text, "hello", -1, nullptr));
  g_autoptr (LodexImage) bogus = lodex_image_new ("bogus", text);
  for (int attempt = 0; attempt < 2; attempt++)
    {
      g_test_expect_message ("Lodex", G_LOG_LEVEL_WARNING, "Error whilst loading pixbuf: *");
      g_assert_null (lodex_image_get_pixbuf (bogus));
      g_test_assert_expected_messages ();
    }

  g_test_expect_message ("Lodex", G_LOG_LEVEL_CRITICAL, "*assertion 'LODEX_IS_IMAGE (image)' failed");
  g_assert_null (lodex_image_get_pixbuf (nullptr));
  g_test_assert_expected_messages ();
}

static void
test_image_store (void)
{
  LodexStore *store = lodex_test_store_new ();
  LodexStore *other = lodex_test_store_new ();
  LodexTestRecorder heard_updates (other, "place-updated");
  g_autofree gchar *path = write_png (40, 30);
  g_autoptr (LodexImage) image = lodex_image_new ("a picture", path);
  g_assert_true (lodex_store_add_image (store, image));
  g_autofree gchar *id = nullptr;
  g_object_get (image, "id", &id, nullptr);

  g_autoptr (LodexImage) again = lodex_store_get_image_by_id (store, id);
  g_assert_true (again == image);

  /* attaching announces the place as changed */
  g_autoptr (LodexPlace) place = lodex_place_new ("Pictured", 1, 2);
  g_assert_true (lodex_store_add_place (store, place));
  g_autofree gchar *place_id = g_strdup (_lodex_place_get_row (place)->id);
  g_assert_true (_lodex_store_add_image_to_place (store, image, place));
  GList *images = _lodex_store_get_images_for_place (store, place);
  g_assert_cmpuint (g_list_length (images), ==, 1);
  g_assert_true (images->data == image);
  g_list_free_full (images, g_object_unref);
  lodex_test_wait ([&] { return heard_updates.saw (place_id); });

  /* a bound image writes its rows at once */
  g_object_set (image, "description", "renamed", nullptr);
  g_autoptr (LodexImageRow) row = lodex_db_get_image_row_by_id (_lodex_set_get_db (LODEX_SET (other)), id);
  g_assert_cmpstr (row->description, ==, "renamed");
  g_assert_cmpstr (row->filename, ==, path);

  GList *all = lodex_store_images (store);
  g_assert_cmpuint (g_list_length (all), ==, 1);
  g_list_free_full (all, g_object_unref);

  /* removal detaches it from its places */
  g_assert_true (lodex_store_remove_image (store, image));
  images = _lodex_store_get_images_for_place (store, place);
  g_assert_null (images);
  g_assert_null (lodex_store_images (store));
  g_test_expect_message ("Lodex", G_LOG_LEVEL_WARNING, "Image not associated with database.");
  g_assert_false (lodex_store_remove_image (store, image));
  g_test_assert_expected_messages ();

  g_clear_object (&again);
  g_clear_object (&place);
  lodex_test_settle ();
  g_assert_finalize_object (other);
  g_assert_finalize_object (store);
}

int
main (int argc, char **argv)
{
  /* gdk-pixbuf recognizes formats through the shared MIME database, which
   * the isolated XDG directories would hide: load it first */
  g_free (g_content_type_guess ("picture.png", nullptr, 0, nullptr));
  g_test_init (&argc, &argv, G_TEST_OPTION_ISOLATE_DIRS, nullptr);

  g_test_add_func ("/image/pictures", test_image_pictures);
  g_test_add_func ("/image/bad-files", test_image_bad_files);
  g_test_add_func ("/image/store", test_image_store);

  return lodex_test_run_with_bus ();
}
