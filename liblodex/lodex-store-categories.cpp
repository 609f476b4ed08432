/* The store's operations on categories and on the places' memberships in
 * them. */

#include "lodex-store-objects.hpp"

using namespace lodex;

/**
 * lodex_store_add_category:
 * @store: a #LodexStore
 * @category: a category in no store
 *
 * Gives @category a new id and stores it. The category then belongs to
 * the store: a change of its properties is written at once.
 *
 * Returns: whether the category was stored; on failure it is left as it was
 *
 * Since: 0.1
 */
gboolean
lodex_store_add_category (LodexStore *store, LodexCategory *category)
{
  g_return_val_if_fail (store != NULL, FALSE);
  g_return_val_if_fail (category != NULL, FALSE);
  g_return_val_if_fail (LODEX_IS_STORE (store), FALSE);
  g_return_val_if_fail (LODEX_IS_CATEGORY (category), FALSE);
  lodex_return_val_if_foreign (store, FALSE);
  return add_object (store, category);
}

/**
 * lodex_store_add_category_full:
 * @store: a #LodexStore
 * @category: a category in no store
 * @error: return location for a #GError, or %NULL
 *
 * Does what lodex_store_add_category() does, and tells why it failed rather than
 * logging it. The errors, in the %LODEX_ERROR domain:
 * %LODEX_ERROR_EXISTS when @category is stored already,
 * %LODEX_ERROR_BUSY when another program held the database locked too long,
 * %LODEX_ERROR_DATABASE when the database refused the write.
 *
 * Returns: whether the category was stored; on failure it is left as it was
 *
 * Since: 0.2
 */
gboolean
lodex_store_add_category_full (LodexStore *store, LodexCategory *category, GError **error)
{
  g_return_val_if_fail (LODEX_IS_STORE (store), FALSE);
  g_return_val_if_fail (LODEX_IS_CATEGORY (category), FALSE);
  g_return_val_if_fail (error == NULL || *error == NULL, FALSE);
  lodex_return_val_if_foreign (store, FALSE);
  lodex::Failures failures;
  return failures.finish (add_object (store, category), error, "Storing the category");
}

/**
 * lodex_store_get_category_by_id:
 * @store: a #LodexStore
 * @id: a category id
 *
 * Reads a category of @store. While the application holds it, every call
 * with its id gives the same object.
 *
 * Returns: (transfer full) (nullable): the category; %NULL with a warning
 *   when no category has @id
 *
 * Since: 0.1
 */
LodexCategory *
lodex_store_get_category_by_id (LodexStore *store, const gchar *id)
{
  g_return_val_if_fail (store != NULL, NULL);
  g_return_val_if_fail (id != NULL, NULL);
  g_return_val_if_fail (LODEX_IS_STORE (store), NULL);
  lodex_return_val_if_foreign (store, NULL);
  return get_object<LodexCategory> (store, id);
}

/**
 * lodex_store_get_category_by_id_full:
 * @store: a #LodexStore
 * @id: a category id
 * @error: return location for a #GError, or %NULL
 *
 * Does what lodex_store_get_category_by_id() does, and tells why there is no
 * category rather than logging it. The errors, in the %LODEX_ERROR domain:
 * %LODEX_ERROR_NOT_STORED when no category has @id,
 * %LODEX_ERROR_DATABASE when the database could not be read.
 *
 * Returns: (transfer full): the category, or %NULL with @error set
 *
 * Since: 0.2
 */
LodexCategory *
lodex_store_get_category_by_id_full (LodexStore *store, const gchar *id, GError **error)
{
  g_return_val_if_fail (LODEX_IS_STORE (store), NULL);
  g_return_val_if_fail (id != NULL, NULL);
  g_return_val_if_fail (error == NULL || *error == NULL, NULL);
  lodex_return_val_if_foreign (store, NULL);
  lodex::Failures failures;
  LodexCategory *found = get_object<LodexCategory> (store, id);
  if (!found) /* after any failure of the database's, which is the cause */
    lodex::fail (LODEX_ERROR_NOT_STORED, "No category has the id %s", id);
  failures.finish (found != nullptr, error, "Reading the category");
  return found;
}

/**
 * lodex_store_get_category_by_name:
 * @store: a #LodexStore
 * @name: a category name
 *
 * Looks a category up by its name, as lodex_store_get_category_by_id() does
 * by id.
 *
 * Returns: (transfer full) (nullable): the first category of that name, or
 *   %NULL
 *
 * Since: 0.1
 */
LodexCategory *
lodex_store_get_category_by_name (LodexStore *store, const gchar *name)
{
  g_return_val_if_fail (store != NULL, NULL);
  g_return_val_if_fail (name != NULL, NULL);
  g_return_val_if_fail (LODEX_IS_STORE (store), NULL);
  lodex_return_val_if_foreign (store, NULL);

  g_autofree gchar *id = lodex_db_get_category_id_by_name (store_priv (store)->db, name);
  return id ? lodex_store_get_category_by_id (store, id) : nullptr;
}

/**
 * lodex_store_remove_category:
 * @store: a #LodexStore
 * @category: a category of @store
 *
 * Deletes the category and its memberships; the object may be added again.
 *
 * Returns: whether the category was removed
 *
 * Since: 0.1
 */
gboolean
lodex_store_remove_category (LodexStore *store, LodexCategory *category)
{
  g_return_val_if_fail (store != NULL, FALSE);
  g_return_val_if_fail (category != NULL, FALSE);
  g_return_val_if_fail (LODEX_IS_STORE (store), FALSE);
  g_return_val_if_fail (LODEX_IS_CATEGORY (category), FALSE);
  lodex_return_val_if_foreign (store, FALSE);
  return remove_object (store, category);
}

/**
 * lodex_store_remove_category_full:
 * @store: a #LodexStore
 * @category: a category of @store
 * @error: return location for a #GError, or %NULL
 *
 * Does what lodex_store_remove_category() does, and tells why it failed rather than
 * logging it. The errors, in the %LODEX_ERROR domain:
 * %LODEX_ERROR_NOT_STORED when @category is not a category of @store,
 * %LODEX_ERROR_BUSY when another program held the database locked too long,
 * %LODEX_ERROR_DATABASE when the database refused the write.
 *
 * Returns: whether the category was removed
 *
 * Since: 0.2
 */
gboolean
lodex_store_remove_category_full (LodexStore *store, LodexCategory *category, GError **error)
{
  g_return_val_if_fail (LODEX_IS_STORE (store), FALSE);
  g_return_val_if_fail (LODEX_IS_CATEGORY (category), FALSE);
  g_return_val_if_fail (error == NULL || *error == NULL, FALSE);
  lodex_return_val_if_foreign (store, FALSE);
  lodex::Failures failures;
  return failures.finish (remove_object (store, category), error, "Removing the category");
}

/**
 * lodex_store_categories:
 * @store: a #LodexStore
 *
 * Lists the categories of the database, each as its live object.
 *
 * Returns: (transfer full) (element-type LodexCategory): every category
 *
 * Since: 0.1
 */
GList *
lodex_store_categories (LodexStore *store)
{
  g_return_val_if_fail (store != NULL, NULL);
  g_return_val_if_fail (LODEX_IS_STORE (store), NULL);
  lodex_return_val_if_foreign (store, NULL);

  return list_all<LodexCategory> (store, "SELECT id from categories", lodex_db_get_next_category_id);
}

GList *
_lodex_store_get_categories_for_place (LodexStore *store, LodexPlace *place)
{
  g_return_val_if_fail (store != NULL, NULL);
  g_return_val_if_fail (place != NULL, NULL);
  g_return_val_if_fail (LODEX_IS_STORE (store), NULL);
  g_return_val_if_fail (LODEX_IS_PLACE (place), NULL);
  return list_for_place<LodexCategory> (store, place, "SELECT * from p2c WHERE place_id=:place_id", 1);
}

gboolean
_lodex_store_update_category (LodexStore *store, LodexCategory *category)
{
  g_return_val_if_fail (store != NULL, FALSE);
  g_return_val_if_fail (category != NULL, FALSE);
  g_return_val_if_fail (LODEX_IS_STORE (store), FALSE);
  g_return_val_if_fail (LODEX_IS_CATEGORY (category), FALSE);
  return update_object (store, category);
}

gboolean
_lodex_store_add_place_to_category (LodexStore *store, LodexPlace *place, LodexCategory *category)
{
  g_return_val_if_fail (LODEX_IS_STORE (store), FALSE);
  g_return_val_if_fail (LODEX_IS_PLACE (place), FALSE);
  g_return_val_if_fail (LODEX_IS_CATEGORY (category), FALSE);

  const gchar *category_id = _lodex_category_get_row (category)->id;
  return write_for_place (store, _lodex_place_get_row (place)->id, [&] {
    return write_membership (store,
                             lodex_db_add_place_to_category (store_priv (store)->db, _lodex_place_get_row (place)->id,
                                                             category_id),
                             "Unable to add place to category in the database",
                             lodex_tracker_signal_category_updated, category_id);
  });
}

gboolean
_lodex_store_remove_place_from_category (LodexStore *store, LodexPlace *place, LodexCategory *category)
{
  g_return_val_if_fail (LODEX_IS_STORE (store), FALSE);
  g_return_val_if_fail (LODEX_IS_PLACE (place), FALSE);
  g_return_val_if_fail (LODEX_IS_CATEGORY (category), FALSE);

  const gchar *category_id = _lodex_category_get_row (category)->id;
  return write_membership (store,
                           lodex_db_remove_place_from_category (store_priv (store)->db,
                                                                _lodex_place_get_row (place)->id, category_id),
                           "Unable to remove place from category in the database",
                           lodex_tracker_signal_category_updated, category_id);
}
