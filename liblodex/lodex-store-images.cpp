/* The store's operations on images and on their attachment to places. */

#include "lodex-store-objects.hpp"

using namespace lodex;

/**
 * lodex_store_add_image:
 * @store: a #LodexStore
 * @image: an image in no store
 *
 * Gives @image a new id and stores it. The image then belongs to @store: a
 * change of its properties is written at once.
 *
 * Returns: whether the image was stored; on failure it is left as it was
 *
 * Since: 0.1
 */
gboolean
lodex_store_add_image (LodexStore *store, LodexImage *image)
{
  g_return_val_if_fail (store != NULL, FALSE);
  g_return_val_if_fail (image != NULL, FALSE);
  g_return_val_if_fail (LODEX_IS_STORE (store), FALSE);
  g_return_val_if_fail (LODEX_IS_IMAGE (image), FALSE);
  lodex_return_val_if_foreign (store, FALSE);
  return add_object (store, image);
}

/**
 * lodex_store_add_image_full:
 * @store: a #LodexStore
 * @image: an image in no store
 * @error: return location for a #GError, or %NULL
 *
 * Does what lodex_store_add_image() does, and tells why it failed rather than
 * logging it. The errors, in the %LODEX_ERROR domain:
 * %LODEX_ERROR_EXISTS when @image is stored already,
 * %LODEX_ERROR_BUSY when another program held the database locked too long,
 * %LODEX_ERROR_DATABASE when the database refused the write.
 *
 * Returns: whether the image was stored; on failure it is left as it was
 *
 * Since: 0.2
 */
gboolean
lodex_store_add_image_full (LodexStore *store, LodexImage *image, GError **error)
{
  g_return_val_if_fail (LODEX_IS_STORE (store), FALSE);
  g_return_val_if_fail (LODEX_IS_IMAGE (image), FALSE);
  g_return_val_if_fail (error == NULL || *error == NULL, FALSE);
  lodex_return_val_if_foreign (store, FALSE);
  lodex::Failures failures;
  return failures.finish (add_object (store, image), error, "Storing the image");
}

/**
 * lodex_store_get_image_by_id:
 * @store: a #LodexStore
 * @id: an image id
 *
 * Reads an image of @store. While the application holds it, every call with
 * its id gives the same object.
 *
 * Returns: (transfer full) (nullable): the image; %NULL with a warning when
 *   no image has @id
 *
 * Since: 0.1
 */
LodexImage *
lodex_store_get_image_by_id (LodexStore *store, const gchar *id)
{
  g_return_val_if_fail (store != NULL, NULL);
  g_return_val_if_fail (id != NULL, NULL);
  g_return_val_if_fail (LODEX_IS_STORE (store), NULL);
  lodex_return_val_if_foreign (store, NULL);
  return get_object<LodexImage> (store, id);
}

/**
 * lodex_store_get_image_by_id_full:
 * @store: a #LodexStore
 * @id: an image id
 * @error: return location for a #GError, or %NULL
 *
 * Does what lodex_store_get_image_by_id() does, and tells why there is no
 * image rather than logging it. The errors, in the %LODEX_ERROR domain:
 * %LODEX_ERROR_NOT_STORED when no image has @id,
 * %LODEX_ERROR_DATABASE when the database could not be read.
 *
 * Returns: (transfer full): the image, or %NULL with @error set
 *
 * Since: 0.2
 */
LodexImage *
lodex_store_get_image_by_id_full (LodexStore *store, const gchar *id, GError **error)
{
  g_return_val_if_fail (LODEX_IS_STORE (store), NULL);
  g_return_val_if_fail (id != NULL, NULL);
  g_return_val_if_fail (error == NULL || *error == NULL, NULL);
  lodex_return_val_if_foreign (store, NULL);
  lodex::Failures failures;
  LodexImage *found = get_object<LodexImage> (store, id);
  if (!found) /* after any failure of the database's, which is the cause */
    lodex::fail (LODEX_ERROR_NOT_STORED, "No image has the id %s", id);
  failures.finish (found != nullptr, error, "Reading the image");
  return found;
}

/**
 * lodex_store_remove_image:
 * @store: a #LodexStore
 * @image: an image of @store
 *
 * Deletes the image and detaches it from its places; the object may be
 * added again.
 *
 * Returns: whether the image was removed
 *
 * Since: 0.1
 */
gboolean
lodex_store_remove_image (LodexStore *store, LodexImage *image)
{
  g_return_val_if_fail (store != NULL, FALSE);
  g_return_val_if_fail (image != NULL, FALSE);
  g_return_val_if_fail (LODEX_IS_STORE (store), FALSE);
  g_return_val_if_fail (LODEX_IS_IMAGE (image), FALSE);
  lodex_return_val_if_foreign (store, FALSE);
  return remove_object (store, image);
}

/**
 * lodex_store_remove_image_full:
 * @store: a #LodexStore
 * @image: an image of @store
 * @error: return location for a #GError, or %NULL
 *
 * Does what lodex_store_remove_image() does, and tells why it failed rather than
 * logging it. The errors, in the %LODEX_ERROR domain:
 * %LODEX_ERROR_NOT_STORED when @image is not an image of @store,
 * %LODEX_ERROR_BUSY when another program held the database locked too long,
 * %LODEX_ERROR_DATABASE when the database refused the write.
 *
 * Returns: whether the image was removed
 *
 * Since: 0.2
 */
gboolean
lodex_store_remove_image_full (LodexStore *store, LodexImage *image, GError **error)
{
  g_return_val_if_fail (LODEX_IS_STORE (store), FALSE);
  g_return_val_if_fail (LODEX_IS_IMAGE (image), FALSE);
  g_return_val_if_fail (error == NULL || *error == NULL, FALSE);
  lodex_return_val_if_foreign (store, FALSE);
  lodex::Failures failures;
  return failures.finish (remove_object (store, image), error, "Removing the image");
}

/**
 * lodex_store_images:
 * @store: a #LodexStore
 *
 * Lists the images of the database, each as its live object.
 *
 * Returns: (transfer full) (element-type LodexImage): every image
 *
 * Since: 0.1
 */
GList *
lodex_store_images (LodexStore *store)
{
  g_return_val_if_fail (store != NULL, NULL);
  g_return_val_if_fail (LODEX_IS_STORE (store), NULL);
  lodex_return_val_if_foreign (store, NULL);

  return list_all<LodexImage> (store, "SELECT id from images", lodex_db_get_next_image_id);
}

GList *
_lodex_store_get_images_for_place (LodexStore *store, LodexPlace *place)
{
  g_return_val_if_fail (store != NULL, NULL);
  g_return_val_if_fail (place != NULL, NULL);
  g_return_val_if_fail (LODEX_IS_STORE (store), NULL);
  g_return_val_if_fail (LODEX_IS_PLACE (place), NULL);
  return list_for_place<LodexImage> (store, place, "SELECT * from p2i WHERE place_id=:place_id", 1);
}

gboolean
_lodex_store_update_image (LodexStore *store, LodexImage *image)
{
  g_return_val_if_fail (store != NULL, FALSE);
  g_return_val_if_fail (image != NULL, FALSE);
  g_return_val_if_fail (LODEX_IS_STORE (store), FALSE);
  g_return_val_if_fail (LODEX_IS_IMAGE (image), FALSE);
  return update_object (store, image);
}

gboolean
_lodex_store_add_image_to_place (LodexStore *store, LodexImage *image, LodexPlace *place)
{
  g_return_val_if_fail (LODEX_IS_STORE (store), FALSE);
  g_return_val_if_fail (LODEX_IS_IMAGE (image), FALSE);
  g_return_val_if_fail (LODEX_IS_PLACE (place), FALSE);

  const gchar *place_id = _lodex_place_get_row (place)->id;
  return write_for_place (store, place_id, [&] {
    return write_membership (store,
                             lodex_db_add_image_to_place (store_priv (store)->db, _lodex_image_get_row (image)->id,
                                                          place_id),
                             "Unable to add image to place in the database",
                             lodex_tracker_signal_place_updated, place_id);
  });
}

gboolean
_lodex_store_remove_image_from_place (LodexStore *store, LodexImage *image, LodexPlace *place)
{
  g_return_val_if_fail (LODEX_IS_STORE (store), FALSE);
  g_return_val_if_fail (LODEX_IS_IMAGE (image), FALSE);
  g_return_val_if_fail (LODEX_IS_PLACE (place), FALSE);

  const gchar *place_id = _lodex_place_get_row (place)->id;
  return write_membership (store,
                           lodex_db_remove_image_from_place (store_priv (store)->db,
                                                             _lodex_image_get_row (image)->id, place_id),
                           "Unable to remove image from place in the database",
                           lodex_tracker_signal_place_updated, place_id);
}

/* Batches */
