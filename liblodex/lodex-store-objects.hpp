#pragma once

/* Categories, images and routes are stored, fetched, listed and removed
 * alike; what differs per kind is gathered in its Family. */

#include "lodex-store-private.h"

namespace lodex
{

template <typename T>
struct Family;

template <>
struct Family<LodexCategory>
{
  static constexpr Registry LodexStorePrivate::*registry = &LodexStorePrivate::categories;
  static constexpr StoreSignal added = CATEGORY_ADDED, removed = CATEGORY_REMOVED, updated = CATEGORY_UPDATED;
  static gchar *&
  id (LodexCategory *c)
  {
    return _lodex_category_get_row (c)->id;
  }
  static LodexStore *
  store (LodexCategory *c)
  {
    return _lodex_category_get_store (c);
  }
  static void
  bind (LodexCategory *c, LodexStore *s)
  {
    _lodex_category_set_store (c, s);
  }
  static LodexCategory *
  load (sqlite3 *db, const gchar *id)
  {
    LodexCategoryRow *row = lodex_db_get_category_row_by_id (db, id);
    return row ? _lodex_category_new_with_row (row) : nullptr;
  }
  static bool
  reload (sqlite3 *db, LodexCategory *c)
  {
    LodexCategoryRow *row = lodex_db_get_category_row_by_id (db, id (c));
    if (row)
      _lodex_category_set_row (c, row);
    return row;
  }
  static constexpr auto insert = lodex_db_insert_category;
  static constexpr auto remove = lodex_db_delete_category;
  static constexpr auto update = lodex_db_update_category;
  static constexpr auto announce_added = lodex_tracker_signal_category_added;
  static constexpr auto announce_updated = lodex_tracker_signal_category_updated;
  static constexpr auto announce_removed = lodex_tracker_signal_category_removed;
  static constexpr const char *already = "Category already associated with database.";
  static constexpr const char *not_associated = "Category not associated with database.";
  static constexpr const char *not_found = "Problem getting category row from database";
};

template <>
struct Family<LodexImage>
{
  static constexpr Registry LodexStorePrivate::*registry = &LodexStorePrivate::images;
  static constexpr StoreSignal added = IMAGE_ADDED, removed = IMAGE_REMOVED, updated = IMAGE_UPDATED;
  static gchar *&
  id (LodexImage *i)
  {
    return _lodex_image_get_row (i)->id;
  }
  static LodexStore *
  store (LodexImage *i)
  {
    return _lodex_image_get_store (i);
  }
  static void
  bind (LodexImage *i, LodexStore *s)
  {
    _lodex_image_set_store (i, s);
  }
  static LodexImage *
  load (sqlite3 *db, const gchar *id)
  {
    LodexImageRow *row = lodex_db_get_image_row_by_id (db, id);
    return row ? _lodex_image_new_with_row (row) : nullptr;
  }
  static bool
  reload (sqlite3 *db, LodexImage *i)
  {
    LodexImageRow *row = lodex_db_get_image_row_by_id (db, id (i));
    if (row)
      _lodex_image_set_row (i, row);
    return row;
  }
  static constexpr auto insert = lodex_db_insert_image;
  static constexpr auto remove = lodex_db_delete_image;
  static constexpr auto update = lodex_db_update_image;
  static constexpr auto announce_added = lodex_tracker_signal_image_added;
  static constexpr auto announce_updated = lodex_tracker_signal_image_updated;
  static constexpr auto announce_removed = lodex_tracker_signal_image_removed;
  static constexpr const char *already = "Image already associated with database";
  static constexpr const char *not_associated = "Image not associated with database.";
  static constexpr const char *not_found = "Problem getting image row from database";
};

template <>
struct Family<LodexRoute>
{
  static constexpr Registry LodexStorePrivate::*registry = &LodexStorePrivate::routes;
  static constexpr StoreSignal added = ROUTE_ADDED, removed = ROUTE_REMOVED, updated = ROUTE_UPDATED;
  static gchar *&
  id (LodexRoute *r)
  {
    return _lodex_route_get_row (r)->id;
  }
  static LodexStore *
  store (LodexRoute *r)
  {
    return _lodex_route_get_store (r);
  }
  static void
  bind (LodexRoute *r, LodexStore *s)
  {
    _lodex_route_set_store (r, s);
  }
  static LodexRoute *
  load (sqlite3 *db, const gchar *id)
  {
    return lodex_db_get_route_by_id (db, id);
  }
  static constexpr auto insert = lodex_db_insert_route;
  static constexpr auto remove = lodex_db_delete_route;
  static gboolean
  update (sqlite3 *db, LodexRoute *r)
  {
    return _lodex_db_update_route_columns (db, _lodex_route_get_row (r), _lodex_route_get_changed (r));
  }
  static constexpr auto announce_added = lodex_tracker_signal_route_added;
  static constexpr auto announce_updated = lodex_tracker_signal_route_updated;
  static constexpr auto announce_removed = lodex_tracker_signal_route_removed;
  static constexpr const char *already = "Route already associated with database";
  static constexpr const char *not_associated = "Route not associated with database.";
  static constexpr const char *not_found = "Problem getting route from database";
};

template <typename T>
Registry &
registry_of (LodexStore *store)
{
  return store_priv (store)->*Family<T>::registry;
}

/* (transfer full) (nullable): the live object of @id. */
template <typename T>
T *
lookup_entry (LodexStore *store, const gchar *id)
{
  return reinterpret_cast<T *> (registry_of<T> (store).lookup (id));
}

/* Gives @object a new id and stores it; a failed insert leaves it new. */
template <typename T>
gboolean
add_object (LodexStore *store, T *object)
{
  using F = Family<T>;
  gchar *&id = F::id (object);
  if (id)
    {
      fail (LODEX_ERROR_EXISTS, "%s", F::already);
      return FALSE;
    }

  Hold hold (store);
  LodexStorePrivate *priv = store_priv (store);
  if (!insert_with_new_id (store, id, [&] { return F::insert (priv->db, object) != FALSE; }))
    return FALSE;
  F::bind (object, store);
  registry_of<T> (store).add (G_OBJECT (object));
  g_signal_emit_by_name (object, "added", store);
  F::announce_added (priv->tracker, id);
  return TRUE;
}

/* The live object for @id, or one built from its row. */
template <typename T>
T *
get_object (LodexStore *store, const gchar *id)
{
  using F = Family<T>;
  if (T *live = lookup_entry<T> (store, id))
    return live;

  T *object = F::load (store_priv (store)->db, id);
  if (!object)
    {
      fail (LODEX_ERROR_NOT_STORED, "%s", F::not_found);
      return nullptr;
    }
  F::bind (object, store);
  registry_of<T> (store).add (G_OBJECT (object));
  return object;
}

/* Deletes @object's row; nothing else happens unless that succeeded. */
template <typename T>
gboolean
remove_object (LodexStore *store, T *object, bool clear_id = true)
{
  using F = Family<T>;
  gchar *&id = F::id (object);
  if (!id || F::store (object) != store)
    {
      fail (LODEX_ERROR_NOT_STORED, "%s", F::not_associated);
      return FALSE;
    }

  Hold hold (store);
  LodexStorePrivate *priv = store_priv (store);
  if (!F::remove (priv->db, object))
    return FALSE;
  registry_of<T> (store).remove (G_OBJECT (object));
  F::bind (object, nullptr);
  g_signal_emit_by_name (object, "removed", store);
  F::announce_removed (priv->tracker, id);
  if (clear_id)
    g_clear_pointer (&id, g_free);
  return TRUE;
}

/* Every object whose id the statement yields, in row order. */
template <typename T>
GList *
list_objects (LodexStore *store, Stmt statement, gchar *(*next_id) (sqlite3 *, sqlite3_stmt *) )
{
  sqlite3 *db = store_priv (store)->db;
  GList *objects = nullptr;
  /* the iterator finalizes the statement when it returns NULL */
  while (gchar *id = next_id (db, statement.get ()))
    {
      /* a membership whose object is gone is skipped, never a NULL element */
      if (T *object = get_object<T> (store, id))
        objects = g_list_prepend (objects, object);
      g_free (id);
    }
  statement.release ();
  return g_list_reverse (objects);
}

/* Every object of the kind. */
template <typename T>
GList *
list_all (LodexStore *store, const char *query, gchar *(*next_id) (sqlite3 *, sqlite3_stmt *) )
{
  Stmt statement = prepare_listing (store_priv (store)->db, query);
  return statement ? list_objects<T> (store, std::move (statement), next_id) : nullptr;
}

/* The objects that a place's memberships name: column @column of the rows
 * of @query, a literal text bound with :place_id and kept prepared. */
template <typename T>
GList *
list_for_place (LodexStore *store, LodexPlace *place, const char *query, int column)
{
  db::Statement statement = db::borrow_bound (store_priv (store)->db, query, ":place_id",
                                              _lodex_place_get_row (place)->id, nullptr);
  if (!statement)
    return nullptr;
  g_autoptr (GPtrArray) ids = g_ptr_array_new_with_free_func (g_free);
  while (db::fetch_row (statement))
    g_ptr_array_add (ids, db::column_strdup (statement.get (), column));
  db::finish_read (statement);

  GList *objects = nullptr;
  for (guint i = 0; i < ids->len; i++)
    /* a membership whose object is gone is skipped, never a NULL element */
    if (T *object = get_object<T> (store, static_cast<const gchar *> (ids->pdata[i])))
      objects = g_list_prepend (objects, object);
  return g_list_reverse (objects);
}

/* Writes a bound object's row; announced only when written. */
template <typename T>
gboolean
update_object (LodexStore *store, T *object)
{
  using F = Family<T>;
  if (F::store (object) != store)
    {
      fail (LODEX_ERROR_NOT_STORED, "%s", F::not_associated);
      return FALSE;
    }
  LodexStorePrivate *priv = store_priv (store);
  if (!F::update (priv->db, object))
    return FALSE;
  F::announce_updated (priv->tracker, F::id (object));
  return TRUE;
}

/* Memberships: one row written or deleted, then announced on the object
 * whose set of members changed. */
inline gboolean
write_membership (LodexStore *store, bool written, const char *failure, void (*announce) (LodexTracker *, const gchar *), const gchar *announced_id) noexcept
{
  if (!written)
    {
      fail (LODEX_ERROR_DATABASE, "%s", failure);
      return FALSE;
    }
  announce (store_priv (store)->tracker, announced_id);
  return TRUE;
}

} // namespace lodex
