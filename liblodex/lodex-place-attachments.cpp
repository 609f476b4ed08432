/* What a place carries besides its row: links (the LodexPlaceLink boxed
 * type), application data, images and categories. */

#include "lodex-place-private.h"

G_DEFINE_BOXED_TYPE (LodexPlaceLink, lodex_place_link, lodex_place_link_copy, lodex_place_link_free)

static LodexPlacePrivate *
get_priv (LodexPlace *place)
{
  return lodex::place_priv (place);
}

GList *
_lodex_place_get_links (LodexPlace *place)
{
  g_return_val_if_fail (place != NULL, NULL);
  g_return_val_if_fail (LODEX_IS_PLACE (place), NULL);
  return get_priv (place)->links;
}

void
_lodex_place_update_links (LodexPlace *place)
{
  g_return_if_fail (place != NULL);
  g_return_if_fail (LODEX_IS_PLACE (place));
  LodexPlacePrivate *priv = get_priv (place);

  if (!priv->store)
    return;
  GList *links = _lodex_store_get_place_links (priv->store, place);
  _lodex_place_free_links (place);
  priv->links = links;
}

void
_lodex_place_free_links (LodexPlace *place)
{
  g_return_if_fail (place != NULL);
  g_return_if_fail (LODEX_IS_PLACE (place));
  LodexPlacePrivate *priv = get_priv (place);

  g_list_free_full (g_steal_pointer (&priv->links), GDestroyNotify (lodex_place_link_free));
}

static GList *
find_link (GList *links, const LodexPlaceLink *link)
{
  for (GList *l = links; l; l = l->next)
    if (g_strcmp0 (static_cast<LodexPlaceLink *> (l->data)->link_id, link->link_id) == 0)
      return l;
  return nullptr;
}

static gboolean
add_link (LodexPlace *place, LodexPlaceLink *link)
{
  LodexPlacePrivate *priv = get_priv (place);

  if (link->link_id)
    {
      lodex::fail (LODEX_ERROR_EXISTS, "Link already associated with a place.");
      return FALSE;
    }
  g_free (link->place_id);
  link->place_id = g_strdup (_lodex_place_get_row (place)->id);
  link->link_id = _lodex_store_gen_id (priv->store);

  if (priv->store)
    {
      if (!_lodex_store_add_place_link (priv->store, link))
        {
          /* still new: it may be added again */
          g_clear_pointer (&link->link_id, g_free);
          g_clear_pointer (&link->place_id, g_free);
          return FALSE;
        }
      _lodex_place_update_links (place);
      return TRUE;
    }
  priv->links = g_list_append (priv->links, lodex_place_link_copy (link));
  lodex::place_emit_changed (place);
  return TRUE;
}

/**
 * lodex_place_add_link:
 * @place: a #LodexPlace
 * @link: a link of no place; it stays the caller's
 *
 * Gives @link its ids and attaches a copy. A stored place writes it at once;
 * a detached one keeps it until the store adds the place.
 *
 * Returns: whether the link was attached; on failure @link is left as it was
 *
 * Since: 0.1
 */
gboolean
lodex_place_add_link (LodexPlace *place, LodexPlaceLink *link)
{
  g_return_val_if_fail (place != NULL, FALSE);
  g_return_val_if_fail (LODEX_IS_PLACE (place), FALSE);
  g_return_val_if_fail (link != NULL, FALSE);
  lodex_return_val_if_foreign (get_priv (place)->store, FALSE);
  return add_link (place, link);
}

/**
 * lodex_place_add_link_full:
 * @place: a #LodexPlace
 * @link: a link of no place
 * @error: return location for a #GError, or %NULL
 *
 * Does what lodex_place_add_link() does, and tells why it failed rather than
 * logging it. The errors, in the %LODEX_ERROR domain:
 * %LODEX_ERROR_EXISTS when @link belongs to a place already,
 * %LODEX_ERROR_NOT_STORED when another program removed the place,
 * %LODEX_ERROR_BUSY when another program held the database locked too long,
 * %LODEX_ERROR_DATABASE when the database refused the write.
 *
 * Returns: whether the link was attached; on failure @link is left as it was
 *
 * Since: 0.2
 */
gboolean
lodex_place_add_link_full (LodexPlace *place, LodexPlaceLink *link, GError **error)
{
  g_return_val_if_fail (LODEX_IS_PLACE (place), FALSE);
  g_return_val_if_fail (link != NULL, FALSE);
  g_return_val_if_fail (error == NULL || *error == NULL, FALSE);
  lodex_return_val_if_foreign (get_priv (place)->store, FALSE);
  lodex::Failures failures;
  return failures.finish (add_link (place, link), error, "Attaching the link");
}

/* Update and removal: a stored place goes through the store and reloads;
 * a detached one changes its own list. */
static gboolean
change_link (LodexPlace *place, LodexPlaceLink *link, gboolean (*store_change) (LodexStore *, LodexPlaceLink *), bool remove)
{
  LodexPlacePrivate *priv = get_priv (place);
  if (!link->link_id)
    {
      lodex::fail (LODEX_ERROR_NOT_STORED, "Link not associated with a place.");
      return FALSE;
    }

  if (priv->store)
    {
      if (!link->place_id)
        link->place_id = g_strdup (_lodex_place_get_row (place)->id);
      if (!store_change (priv->store, link))
        return FALSE;
      _lodex_place_update_links (place);
      if (remove) /* so that it can be added again */
        {
          g_clear_pointer (&link->place_id, g_free);
          g_clear_pointer (&link->link_id, g_free);
        }
      return TRUE;
    }

  GList *found = find_link (priv->links, link);
  if (!found)
    {
      lodex::fail (LODEX_ERROR_NOT_STORED, "Link not present in internal list.");
      return FALSE;
    }
  lodex_place_link_free (static_cast<LodexPlaceLink *> (found->data));
  if (remove)
    priv->links = g_list_delete_link (priv->links, found);
  else
    found->data = lodex_place_link_copy (link);
  lodex::place_emit_changed (place);
  return TRUE;
}

/**
 * lodex_place_update_link:
 * @place: a #LodexPlace
 * @link: a link of @place, with the new name, type and URL
 *
 * Replaces the name, type and URL of the link of @place that has @link's id.
 * A stored place writes the change at once.
 *
 * Returns: whether the link with @link's id was replaced
 *
 * Since: 0.1
 */
gboolean
lodex_place_update_link (LodexPlace *place, LodexPlaceLink *link)
{
  g_return_val_if_fail (place != NULL, FALSE);
  g_return_val_if_fail (LODEX_IS_PLACE (place), FALSE);
  g_return_val_if_fail (link != NULL, FALSE);
  lodex_return_val_if_foreign (get_priv (place)->store, FALSE);
  return change_link (place, link, _lodex_store_update_place_link, false);
}

/**
 * lodex_place_update_link_full:
 * @place: a #LodexPlace
 * @link: a link of @place
 * @error: return location for a #GError, or %NULL
 *
 * Does what lodex_place_update_link() does, and tells why it failed rather than
 * logging it. The errors, in the %LODEX_ERROR domain:
 * %LODEX_ERROR_NOT_STORED when @place has no link with @link's id, or another program removed the place,
 * %LODEX_ERROR_BUSY when another program held the database locked too long,
 * %LODEX_ERROR_DATABASE when the database refused the write.
 *
 * Returns: whether the link with @link's id was replaced
 *
 * Since: 0.2
 */
gboolean
lodex_place_update_link_full (LodexPlace *place, LodexPlaceLink *link, GError **error)
{
  g_return_val_if_fail (LODEX_IS_PLACE (place), FALSE);
  g_return_val_if_fail (link != NULL, FALSE);
  g_return_val_if_fail (error == NULL || *error == NULL, FALSE);
  lodex_return_val_if_foreign (get_priv (place)->store, FALSE);
  lodex::Failures failures;
  return failures.finish (change_link (place, link, _lodex_store_update_place_link, false), error, "Updating the link");
}

/**
 * lodex_place_remove_link:
 * @place: a #LodexPlace
 * @link: a link of @place
 *
 * Detaches the link of @place that has @link's id. A stored place deletes it
 * at once; @link loses its ids and may be added again.
 *
 * Returns: whether the link with @link's id was detached
 *
 * Since: 0.1
 */
gboolean
lodex_place_remove_link (LodexPlace *place, LodexPlaceLink *link)
{
  g_return_val_if_fail (place != NULL, FALSE);
  g_return_val_if_fail (LODEX_IS_PLACE (place), FALSE);
  g_return_val_if_fail (link != NULL, FALSE);
  lodex_return_val_if_foreign (get_priv (place)->store, FALSE);
  return change_link (place, link, _lodex_store_remove_place_link, true);
}

/**
 * lodex_place_remove_link_full:
 * @place: a #LodexPlace
 * @link: a link of @place
 * @error: return location for a #GError, or %NULL
 *
 * Does what lodex_place_remove_link() does, and tells why it failed rather than
 * logging it. The errors, in the %LODEX_ERROR domain:
 * %LODEX_ERROR_NOT_STORED when @place has no link with @link's id, or another program removed the place,
 * %LODEX_ERROR_BUSY when another program held the database locked too long,
 * %LODEX_ERROR_DATABASE when the database refused the write.
 *
 * Returns: whether the link with @link's id was detached
 *
 * Since: 0.2
 */
gboolean
lodex_place_remove_link_full (LodexPlace *place, LodexPlaceLink *link, GError **error)
{
  g_return_val_if_fail (LODEX_IS_PLACE (place), FALSE);
  g_return_val_if_fail (link != NULL, FALSE);
  g_return_val_if_fail (error == NULL || *error == NULL, FALSE);
  lodex_return_val_if_foreign (get_priv (place)->store, FALSE);
  lodex::Failures failures;
  return failures.finish (change_link (place, link, _lodex_store_remove_place_link, true), error, "Detaching the link");
}

/**
 * lodex_place_get_links:
 * @place: a #LodexPlace
 *
 * Lists the links of @place, as copies: changing one changes nothing until
 * it is given to lodex_place_update_link().
 *
 * Returns: (transfer full) (element-type LodexPlaceLink) (nullable): copies
 *   of the place's links
 *
 * Since: 0.1
 */
GList *
lodex_place_get_links (LodexPlace *place)
{
  g_return_val_if_fail (place != NULL, NULL);
  g_return_val_if_fail (LODEX_IS_PLACE (place), NULL);
  lodex_return_val_if_foreign (get_priv (place)->store, NULL);

  _lodex_place_update_links (place);
  auto copy = [] (gconstpointer link, gpointer) -> gpointer {
    return lodex_place_link_copy (static_cast<const LodexPlaceLink *> (link));
  };
  return g_list_copy_deep (get_priv (place)->links, copy, nullptr);
}

/* App data lives only in the database: the place must be stored. */
static LodexStore *
appdata_store (LodexPlace *place)
{
  LodexStore *store = get_priv (place)->store;
  if (!store)
    lodex::fail (LODEX_ERROR_NOT_STORED, "Place must be associated with the store");
  return store;
}

/**
 * lodex_place_get_appdata:
 * @place: a stored place
 * @key: the application's key
 *
 * Reads the value an application keeps under @key on @place. Application
 * data lives only in the database: a place in no store has none, with a
 * warning.
 *
 * Returns: (transfer full) (nullable): the value under @key, or %NULL
 *
 * Since: 0.1
 */
gchar *
lodex_place_get_appdata (LodexPlace *place, const gchar *key)
{
  g_return_val_if_fail (place != NULL, NULL);
  g_return_val_if_fail (LODEX_IS_PLACE (place), NULL);
  g_return_val_if_fail (key != NULL, NULL);
  lodex_return_val_if_foreign (get_priv (place)->store, NULL);
  LodexStore *store = appdata_store (place);
  return store ? _lodex_store_place_get_appdata (store, place, key) : nullptr;
}

/**
 * lodex_place_get_appdata_full:
 * @place: a stored place
 * @key: the application's key
 * @error: return location for a #GError, or %NULL
 *
 * Reads the value an application keeps under @key on @place, as
 * lodex_place_get_appdata() does, and tells a key without a value from a
 * failure: the errors, in the %LODEX_ERROR domain, are
 * %LODEX_ERROR_NOT_STORED when @place is in no store,
 * %LODEX_ERROR_DATABASE when the database could not be read.
 *
 * Returns: (transfer full) (nullable): the value under @key; %NULL without
 *   an error when the key has none
 *
 * Since: 0.2
 */
gchar *
lodex_place_get_appdata_full (LodexPlace *place, const gchar *key, GError **error)
{
  g_return_val_if_fail (LODEX_IS_PLACE (place), NULL);
  g_return_val_if_fail (key != NULL, NULL);
  g_return_val_if_fail (error == NULL || *error == NULL, NULL);
  lodex_return_val_if_foreign (get_priv (place)->store, NULL);
  lodex::Failures failures;
  LodexStore *store = appdata_store (place);
  gchar *data = store ? _lodex_store_place_get_appdata (store, place, key) : nullptr;
  if (!failures.finish (!failures.any (), error, "Reading the application data"))
    g_clear_pointer (&data, g_free);
  return data;
}

/**
 * lodex_place_set_appdata:
 * @place: a stored place
 * @key: the application's key
 * @data: (nullable): the value; %NULL removes the key
 *
 * Writes @data under @key on a stored place, at once.
 *
 * Returns: whether the value was written
 *
 * Since: 0.1
 */
gboolean
lodex_place_set_appdata (LodexPlace *place, const gchar *key, const gchar *data)
{
  g_return_val_if_fail (place != NULL, FALSE);
  g_return_val_if_fail (LODEX_IS_PLACE (place), FALSE);
  g_return_val_if_fail (key != NULL, FALSE);
  lodex_return_val_if_foreign (get_priv (place)->store, FALSE);
  LodexStore *store = appdata_store (place);
  return store && _lodex_store_place_set_appdata (store, place, key, data);
}

/**
 * lodex_place_set_appdata_full:
 * @place: a stored place
 * @key: the application's key
 * @data: (nullable): the value; %NULL removes the key
 * @error: return location for a #GError, or %NULL
 *
 * Does what lodex_place_set_appdata() does, and tells why it failed rather than
 * logging it. The errors, in the %LODEX_ERROR domain:
 * %LODEX_ERROR_NOT_STORED when @place is in no store, or another program removed it,
 * %LODEX_ERROR_BUSY when another program held the database locked too long,
 * %LODEX_ERROR_DATABASE when the database refused the write.
 *
 * Returns: whether the value was written
 *
 * Since: 0.2
 */
gboolean
lodex_place_set_appdata_full (LodexPlace *place, const gchar *key, const gchar *data, GError **error)
{
  g_return_val_if_fail (LODEX_IS_PLACE (place), FALSE);
  g_return_val_if_fail (key != NULL, FALSE);
  g_return_val_if_fail (error == NULL || *error == NULL, FALSE);
  lodex_return_val_if_foreign (get_priv (place)->store, FALSE);
  lodex::Failures failures;
  LodexStore *store = appdata_store (place);
  return failures.finish (store && _lodex_store_place_set_appdata (store, place, key, data), error, "Writing the application data");
}

/**
 * lodex_place_clear_appdata:
 * @place: a stored place
 * @key: the application's key
 *
 * Removes the value under @key from a stored place, at once.
 *
 * Returns: whether the key was removed (also when it had no value)
 *
 * Since: 0.1
 */
gboolean
lodex_place_clear_appdata (LodexPlace *place, const gchar *key)
{
  g_return_val_if_fail (place != NULL, FALSE);
  g_return_val_if_fail (LODEX_IS_PLACE (place), FALSE);
  g_return_val_if_fail (key != NULL, FALSE);
  lodex_return_val_if_foreign (get_priv (place)->store, FALSE);
  LodexStore *store = appdata_store (place);
  return store && _lodex_store_place_clear_appdata (store, place, key);
}

/**
 * lodex_place_clear_appdata_full:
 * @place: a stored place
 * @key: the application's key
 * @error: return location for a #GError, or %NULL
 *
 * Does what lodex_place_clear_appdata() does, and tells why it failed rather than
 * logging it. The errors, in the %LODEX_ERROR domain:
 * %LODEX_ERROR_NOT_STORED when @place is in no store, or another program removed it,
 * %LODEX_ERROR_BUSY when another program held the database locked too long,
 * %LODEX_ERROR_DATABASE when the database refused the write.
 *
 * Returns: whether the key was removed (also when it had no value)
 *
 * Since: 0.2
 */
gboolean
lodex_place_clear_appdata_full (LodexPlace *place, const gchar *key, GError **error)
{
  g_return_val_if_fail (LODEX_IS_PLACE (place), FALSE);
  g_return_val_if_fail (key != NULL, FALSE);
  g_return_val_if_fail (error == NULL || *error == NULL, FALSE);
  lodex_return_val_if_foreign (get_priv (place)->store, FALSE);
  lodex::Failures failures;
  LodexStore *store = appdata_store (place);
  return failures.finish (store && _lodex_store_place_clear_appdata (store, place, key), error, "Removing the application data");
}

/* What the store's own checks take for a program's mistake: a place or an
 * image in no store, or in another one. */
static bool
attach_ready (LodexPlace *place, LodexImage *image)
{
  LodexStore *store = get_priv (place)->store;
  if (!store || !_lodex_place_get_row (place)->id)
    {
      lodex::fail (LODEX_ERROR_NOT_STORED, "Place must be associated with the store");
      return false;
    }
  if (_lodex_image_get_store (image) != store || !_lodex_image_get_row (image)->id)
    {
      lodex::fail (LODEX_ERROR_NOT_STORED, "Image not associated with database.");
      return false;
    }
  return true;
}

/**
 * lodex_place_add_image:
 * @place: a stored place
 * @image: a stored image
 *
 * Attaches a stored image to a stored place, at once.
 *
 * Returns: whether the image is now attached to @place
 *
 * Since: 0.1
 */
gboolean
lodex_place_add_image (LodexPlace *place, LodexImage *image)
{
  g_return_val_if_fail (place != FALSE, FALSE);
  g_return_val_if_fail (LODEX_IS_PLACE (place), FALSE);
  g_return_val_if_fail (LODEX_IS_IMAGE (image), FALSE);
  lodex_return_val_if_foreign (get_priv (place)->store, FALSE);
  return _lodex_store_add_image_to_place (get_priv (place)->store, image, place);
}

/**
 * lodex_place_add_image_full:
 * @place: a stored place
 * @image: a stored image
 * @error: return location for a #GError, or %NULL
 *
 * Does what lodex_place_add_image() does, and tells why it failed rather than
 * logging it. The errors, in the %LODEX_ERROR domain:
 * %LODEX_ERROR_EXISTS when @image is attached to @place already,
 * %LODEX_ERROR_NOT_STORED when @place or @image is not stored in the same store, or another program removed @place,
 * %LODEX_ERROR_BUSY when another program held the database locked too long,
 * %LODEX_ERROR_DATABASE when the database refused the write.
 *
 * Returns: whether the image is now attached to @place
 *
 * Since: 0.2
 */
gboolean
lodex_place_add_image_full (LodexPlace *place, LodexImage *image, GError **error)
{
  g_return_val_if_fail (LODEX_IS_PLACE (place), FALSE);
  g_return_val_if_fail (LODEX_IS_IMAGE (image), FALSE);
  g_return_val_if_fail (error == NULL || *error == NULL, FALSE);
  lodex_return_val_if_foreign (get_priv (place)->store, FALSE);
  lodex::Failures failures;
  return failures.finish (attach_ready (place, image) && _lodex_store_add_image_to_place (get_priv (place)->store, image, place), error, "Attaching the image");
}

/**
 * lodex_place_remove_image:
 * @place: a stored place
 * @image: a stored image
 *
 * Detaches an image from a stored place, at once.
 *
 * Returns: whether the image was detached (also when it was not attached)
 *
 * Since: 0.1
 */
gboolean
lodex_place_remove_image (LodexPlace *place, LodexImage *image)
{
  g_return_val_if_fail (place != FALSE, FALSE);
  g_return_val_if_fail (LODEX_IS_PLACE (place), FALSE);
  g_return_val_if_fail (LODEX_IS_IMAGE (image), FALSE);
  lodex_return_val_if_foreign (get_priv (place)->store, FALSE);
  return _lodex_store_remove_image_from_place (get_priv (place)->store, image, place);
}

/**
 * lodex_place_remove_image_full:
 * @place: a stored place
 * @image: a stored image
 * @error: return location for a #GError, or %NULL
 *
 * Does what lodex_place_remove_image() does, and tells why it failed rather than
 * logging it. The errors, in the %LODEX_ERROR domain:
 * %LODEX_ERROR_NOT_STORED when @place or @image is not stored in the same store, or another program removed @place,
 * %LODEX_ERROR_BUSY when another program held the database locked too long,
 * %LODEX_ERROR_DATABASE when the database refused the write.
 *
 * Returns: whether the image was detached (also when it was not attached)
 *
 * Since: 0.2
 */
gboolean
lodex_place_remove_image_full (LodexPlace *place, LodexImage *image, GError **error)
{
  g_return_val_if_fail (LODEX_IS_PLACE (place), FALSE);
  g_return_val_if_fail (LODEX_IS_IMAGE (image), FALSE);
  g_return_val_if_fail (error == NULL || *error == NULL, FALSE);
  lodex_return_val_if_foreign (get_priv (place)->store, FALSE);
  lodex::Failures failures;
  return failures.finish (attach_ready (place, image) && _lodex_store_remove_image_from_place (get_priv (place)->store, image, place), error, "Detaching the image");
}

/**
 * lodex_place_get_images:
 * @place: a stored place
 *
 * Lists the images attached to @place, each as its live object.
 *
 * Returns: (transfer full) (element-type LodexImage): its images
 *
 * Since: 0.1
 */
GList *
lodex_place_get_images (LodexPlace *place)
{
  g_return_val_if_fail (place != NULL, NULL);
  g_return_val_if_fail (LODEX_IS_PLACE (place), NULL);
  LodexPlacePrivate *priv = get_priv (place);
  g_return_val_if_fail (priv->store != NULL, NULL);
  lodex_return_val_if_foreign (get_priv (place)->store, NULL);
  return _lodex_store_get_images_for_place (priv->store, place);
}

/**
 * lodex_place_get_categories:
 * @place: a stored place
 *
 * Lists the categories @place is a member of, each as its live object.
 *
 * Returns: (transfer full) (element-type LodexCategory): its categories
 *
 * Since: 0.1
 */
GList *
lodex_place_get_categories (LodexPlace *place)
{
  g_return_val_if_fail (place != NULL, NULL);
  g_return_val_if_fail (LODEX_IS_PLACE (place), NULL);
  LodexPlacePrivate *priv = get_priv (place);
  g_return_val_if_fail (priv->store != NULL, NULL);
  lodex_return_val_if_foreign (get_priv (place)->store, NULL);
  return _lodex_store_get_categories_for_place (priv->store, place);
}

/**
 * lodex_place_link_new:
 *
 * Makes an empty link, to be filled in and given to lodex_place_add_link().
 *
 * Returns: (transfer full): a link whose fields are all %NULL
 *
 * Since: 0.1
 */
LodexPlaceLink *
lodex_place_link_new (void)
{
  return g_slice_new0 (LodexPlaceLink);
}

/**
 * lodex_place_link_copy:
 * @link: a #LodexPlaceLink
 *
 * Copies a link with all its fields.
 *
 * Returns: (transfer full): a deep copy of @link
 *
 * Since: 0.1
 */
LodexPlaceLink *
lodex_place_link_copy (const LodexPlaceLink *link)
{
  g_return_val_if_fail (link != NULL, NULL);

  LodexPlaceLink *copy = lodex_place_link_new ();
  copy->name = g_strdup (link->name);
  copy->mime = g_strdup (link->mime);
  copy->url = g_strdup (link->url);
  copy->link_id = g_strdup (link->link_id);
  copy->place_id = g_strdup (link->place_id);
  return copy;
}

/**
 * lodex_place_link_free:
 * @link: (nullable): a #LodexPlaceLink
 *
 * Frees a link and its fields.
 *
 * Since: 0.1
 */
void
lodex_place_link_free (LodexPlaceLink *link)
{
  if (!link)
    return;
  g_free (link->name);
  g_free (link->mime);
  g_free (link->url);
  g_free (link->link_id);
  g_free (link->place_id);
  g_slice_free (LodexPlaceLink, link);
}
