/* The store's operations on places: adding, importing, fetching, updating
 * and removing them, their links, address and application data, and the
 * registry of live places. */

#include "lodex-store-private.h"

namespace lodex
{

LodexPlace *
adopt_place_row (LodexStore *store, LodexPlaceRow *row) noexcept
{
  LodexPlace *place = place_new_bound (row, store);
  store_priv (store)->places.add_fresh (G_OBJECT (place));
  return place;
}

} // namespace lodex

static LodexStorePrivate *
get_priv (LodexStore *store)
{
  return lodex::store_priv (store);
}

/* A registered place is bound: its dispose takes it out of the registry. */
void
_lodex_store_add_to_table (LodexStore *store, LodexPlace *place)
{
  g_return_if_fail (place != NULL);
  if (!_lodex_place_get_store (place))
    _lodex_place_set_store (place, store);
  g_return_if_fail (_lodex_place_get_store (place) == store);
  lodex::store_priv (store)->places.add (G_OBJECT (place));
}

void
_lodex_store_remove_from_table (LodexStore *store, LodexPlace *place)
{
  g_return_if_fail (place != NULL);
  lodex::store_priv (store)->places.remove (G_OBJECT (place));
}

LodexPlace *
_lodex_store_query_table (LodexStore *store, const gchar *id)
{
  g_return_val_if_fail (store != NULL, NULL);
  g_return_val_if_fail (LODEX_IS_STORE (store), NULL);
  return LODEX_PLACE (lodex::store_priv (store)->places.lookup (id));
}

/* A walk's statement selects the places columns first; building the place
 * from the row at hand spares a second query per place. */
LodexPlace *
lodex::place_for_row (LodexStore *store, sqlite3_stmt *statement, bool place_rows) noexcept
{
  const char *id = reinterpret_cast<const char *> (sqlite3_column_text (statement, 0));
  if (!id)
    return nullptr;
  if (GObject *live = store_priv (store)->places.lookup (id))
    return LODEX_PLACE (live);
  if (place_rows)
    {
      LodexPlaceRow *row = _lodex_place_row_new ();
      db::read_place_row (statement, id, row);
      LodexPlace *place = place_new_bound (row, store);
      store_priv (store)->places.add_fresh (G_OBJECT (place));
      return place;
    }
  return lodex_store_get_place_by_id (store, id);
}

LodexPlace *
_lodex_store_get_place_for_statement (LodexStore *store, sqlite3_stmt *statement)
{
  return lodex::place_for_row (store, statement, lodex::db::is_place_row (statement));
}

/* An operation on a place of another store would corrupt both registries. */
static bool
belongs_here (LodexStore *store, LodexPlace *place)
{
  return _lodex_place_get_store (place) == store;
}

/* The place's id when it is stored in @store, else NULL after @message. */
static const gchar *
stored_id (LodexStore *store, LodexPlace *place, const char *message)
{
  const gchar *id = _lodex_place_get_row (place)->id;
  if (!id || !belongs_here (store, place))
    {
      lodex::fail (LODEX_ERROR_NOT_STORED, "%s", message);
      return nullptr;
    }
  return id;
}

/* A position a sort or a box can use; else FALSE after a warning that
 * names the value. */
static bool
position_storable (LodexPlaceRow *row)
{
  g_autoptr (GError) error = nullptr;
  if (_lodex_place_check_position (row->latitude, row->longitude, &error))
    return true;
  lodex::fail (LODEX_ERROR_INVALID, "Place not stored: %s", error->message);
  return false;
}

/* Writes a new place's row, address and links in one transaction, under
 * a new id when @new_id; on failure the place is left as it was. Then binds
 * it, registers it and tells. */
static gboolean
store_new_place (LodexStore *store, LodexPlace *place, bool new_id)
{
  LodexStorePrivate *priv = get_priv (store);
  LodexPlaceRow *row = _lodex_place_get_row (place);
  if (!position_storable (row))
    return FALSE;
  lodex::Hold hold (store);

  auto write_all = [&] () -> bool {
    lodex::StoreWrite write (store);
    if (!write)
      return false;
    auto insert = [&] { return lodex_db_insert_place (priv->db, place) != FALSE; };
    if (new_id ? !lodex::insert_with_new_id (store, row->id, insert) : !insert ())
      return false;
    if (LodexPlaceAddress *address = _lodex_place_peek_address (place))
      {
        if (!lodex_db_place_address_set (priv->db, row->id, address))
          return false;
        lodex_tracker_signal_place_updated (priv->tracker, row->id);
      }
    for (GList *l = _lodex_place_get_links (place); l; l = l->next)
      {
        auto link = static_cast<LodexPlaceLink *> (l->data);
        g_free (link->place_id);
        link->place_id = g_strdup (row->id);
        if (!lodex_db_add_place_link (priv->db, link))
          return false;
        lodex_tracker_signal_place_updated (priv->tracker, row->id);
      }
    return write.commit ();
  };
  if (!write_all ())
    {
      if (new_id) /* still new: it may be added again */
        g_clear_pointer (&row->id, g_free);
      return FALSE;
    }

  /* the insert wrote every property: nothing is left to write back */
  lodex_place_commit (place);
  _lodex_place_set_store (place, store);
  priv->places.add (G_OBJECT (place));
  g_signal_emit_by_name (place, "added", store);
  lodex_tracker_signal_store_updated (priv->tracker);
  lodex_tracker_signal_place_added (priv->tracker, row->id);
  return TRUE;
}

static gboolean
add_place (LodexStore *store, LodexPlace *place)
{
  if (_lodex_place_get_row (place)->id || _lodex_place_get_store (place))
    {
      lodex::fail (LODEX_ERROR_EXISTS, "Place is already associated with the database");
      return FALSE;
    }
  return store_new_place (store, place, true);
}

/**
 * lodex_store_add_place:
 * @store: a #LodexStore
 * @place: a place that is in no store
 *
 * Gives @place a new id and stores it with its address and links, all or
 * nothing. A failure is logged as a warning; lodex_store_add_place_full()
 * gives it to the caller instead.
 *
 * Returns: whether the place was stored; on failure it is left as it was
 *
 * Since: 0.1
 */
gboolean
lodex_store_add_place (LodexStore *store, LodexPlace *place)
{
  g_return_val_if_fail (store != NULL, FALSE);
  g_return_val_if_fail (place != NULL, FALSE);
  g_return_val_if_fail (LODEX_IS_STORE (store), FALSE);
  g_return_val_if_fail (LODEX_IS_PLACE (place), FALSE);
  lodex_return_val_if_foreign (store, FALSE);
  return add_place (store, place);
}

/**
 * lodex_store_add_place_full:
 * @store: a #LodexStore
 * @place: a place that is in no store
 * @error: return location for a #GError, or %NULL
 *
 * Does what lodex_store_add_place() does, and tells why it failed rather
 * than logging it. The errors, in the %LODEX_ERROR domain:
 * %LODEX_ERROR_EXISTS when @place is stored already,
 * %LODEX_ERROR_INVALID when its position is outside the valid range,
 * %LODEX_ERROR_BUSY when another program held the database locked too long,
 * %LODEX_ERROR_DATABASE when the database refused the write.
 *
 * Returns: whether the place was stored; on failure it is left as it was
 *
 * Since: 0.2
 */
gboolean
lodex_store_add_place_full (LodexStore *store, LodexPlace *place, GError **error)
{
  g_return_val_if_fail (LODEX_IS_STORE (store), FALSE);
  g_return_val_if_fail (LODEX_IS_PLACE (place), FALSE);
  g_return_val_if_fail (error == NULL || *error == NULL, FALSE);
  lodex_return_val_if_foreign (store, FALSE);
  lodex::Failures failures;
  return failures.finish (add_place (store, place), error, "Storing the place");
}

gboolean
_lodex_store_import_place (LodexStore *store, LodexPlace *place)
{
  g_return_val_if_fail (store != NULL, FALSE);
  g_return_val_if_fail (place != NULL, FALSE);
  g_return_val_if_fail (LODEX_IS_STORE (store), FALSE);
  g_return_val_if_fail (LODEX_IS_PLACE (place), FALSE);

  LodexPlaceRow *row = _lodex_place_get_row (place);
  if (!row->id)
    return FALSE;
  if (_lodex_db_place_exists (get_priv (store)->db, row->id))
    {
      g_debug ("Place already present in store.");
      return FALSE;
    }
  if (_lodex_place_get_store (place))
    {
      g_warning ("Place is already associated with the database");
      return FALSE;
    }
  return store_new_place (store, place, false);
}

/**
 * lodex_store_get_place_by_id:
 * @store: a #LodexStore
 * @id: a place id
 *
 * While a place is in use, every call with its id gives the same object.
 *
 * Returns: (transfer full) (nullable): the place, or %NULL if there is none
 *
 * Since: 0.1
 */
LodexPlace *
lodex_store_get_place_by_id (LodexStore *store, const gchar *id)
{
  g_return_val_if_fail (store != NULL, NULL);
  g_return_val_if_fail (id != NULL, NULL);
  g_return_val_if_fail (LODEX_IS_STORE (store), NULL);
  lodex_return_val_if_foreign (store, NULL);

  if (LodexPlace *live = _lodex_store_query_table (store, id))
    return live;

  LodexPlaceRow *row = lodex_db_get_row_by_id (get_priv (store)->db, id);
  if (!row)
    return nullptr;
  return lodex::adopt_place_row (store, row);
}

/**
 * lodex_store_get_place_by_id_full:
 * @store: a #LodexStore
 * @id: a place id
 * @error: return location for a #GError, or %NULL
 *
 * Does what lodex_store_get_place_by_id() does, and tells why there is no
 * place rather than logging it. The errors, in the %LODEX_ERROR domain:
 * %LODEX_ERROR_NOT_STORED when no place has @id,
 * %LODEX_ERROR_DATABASE when the database could not be read.
 *
 * Returns: (transfer full): the place, or %NULL with @error set
 *
 * Since: 0.2
 */
LodexPlace *
lodex_store_get_place_by_id_full (LodexStore *store, const gchar *id, GError **error)
{
  g_return_val_if_fail (LODEX_IS_STORE (store), NULL);
  g_return_val_if_fail (id != NULL, NULL);
  g_return_val_if_fail (error == NULL || *error == NULL, NULL);
  lodex_return_val_if_foreign (store, NULL);
  lodex::Failures failures;
  LodexPlace *found = lodex_store_get_place_by_id (store, id);
  if (!found) /* after any failure of the database's, which is the cause */
    lodex::fail (LODEX_ERROR_NOT_STORED, "No place has the id %s", id);
  failures.finish (found != nullptr, error, "Reading the place");
  return found;
}

static gboolean
remove_place (LodexStore *store, LodexPlace *place)
{
  if (!stored_id (store, place, "Place is not associated with the database"))
    return FALSE;

  LodexPlaceRow *row = _lodex_place_get_row (place);
  lodex::Hold hold (store);
  LodexStorePrivate *priv = get_priv (store);
  _lodex_place_update_links (place); /* the object keeps its links */
  if (!lodex_db_delete_place (priv->db, place))
    return FALSE;

  priv->places.remove (G_OBJECT (place));
  _lodex_place_set_store (place, nullptr);
  g_autofree gchar *id = static_cast<gchar *> (g_steal_pointer (&row->id));
  g_signal_emit_by_name (place, "removed", store);
  lodex_tracker_signal_store_updated (priv->tracker);
  lodex_tracker_signal_place_removed (priv->tracker, id);
  return TRUE;
}

/**
 * lodex_store_remove_place:
 * @store: a #LodexStore
 * @place: a place of @store
 *
 * Deletes the place with its address, links, app data and memberships. The
 * object keeps its values and links and may be added again under a new id.
 * A failure is logged as a warning; lodex_store_remove_place_full() gives
 * it to the caller instead.
 *
 * Returns: whether the place was removed
 *
 * Since: 0.1
 */
gboolean
lodex_store_remove_place (LodexStore *store, LodexPlace *place)
{
  g_return_val_if_fail (store != NULL, FALSE);
  g_return_val_if_fail (place != NULL, FALSE);
  g_return_val_if_fail (LODEX_IS_STORE (store), FALSE);
  g_return_val_if_fail (LODEX_IS_PLACE (place), FALSE);
  lodex_return_val_if_foreign (store, FALSE);
  return remove_place (store, place);
}

/**
 * lodex_store_remove_place_full:
 * @store: a #LodexStore
 * @place: a place of @store
 * @error: return location for a #GError, or %NULL
 *
 * Does what lodex_store_remove_place() does, and tells why it failed rather
 * than logging it. The errors, in the %LODEX_ERROR domain:
 * %LODEX_ERROR_NOT_STORED when @place is not a place of @store,
 * %LODEX_ERROR_BUSY when another program held the database locked too long,
 * %LODEX_ERROR_DATABASE when the database refused the write.
 *
 * Returns: whether the place was removed
 *
 * Since: 0.2
 */
gboolean
lodex_store_remove_place_full (LodexStore *store, LodexPlace *place, GError **error)
{
  g_return_val_if_fail (LODEX_IS_STORE (store), FALSE);
  g_return_val_if_fail (LODEX_IS_PLACE (place), FALSE);
  g_return_val_if_fail (error == NULL || *error == NULL, FALSE);
  lodex_return_val_if_foreign (store, FALSE);
  lodex::Failures failures;
  return failures.finish (remove_place (store, place), error, "Removing the place");
}

/* Writes the columns and address fields a place changed, in one
 * transaction; announced only once written. */
gboolean
_lodex_store_update (LodexStore *store, LodexPlace *place, guint columns, guint address_fields)
{
  g_return_val_if_fail (store != NULL, FALSE);
  g_return_val_if_fail (place != NULL, FALSE);
  g_return_val_if_fail (LODEX_IS_STORE (store), FALSE);
  g_return_val_if_fail (LODEX_IS_PLACE (place), FALSE);

  if (!stored_id (store, place, "Place is not associated with the database"))
    return FALSE;
  LodexPlaceRow *row = _lodex_place_get_row (place);
  if ((columns & (LODEX_PLACE_COLUMN_LATITUDE | LODEX_PLACE_COLUMN_LONGITUDE)) && !position_storable (row))
    return FALSE;
  LodexStorePrivate *priv = get_priv (store);
  return lodex::write_for_place (store, row->id, [&] {
    if (!_lodex_db_update_place_columns (priv->db, row, columns))
      return false;
    LodexPlaceAddress *address = _lodex_place_peek_address (place);
    if (address && !_lodex_db_place_address_upsert (priv->db, row->id, address, address_fields))
      return false;
    lodex_tracker_signal_place_updated (priv->tracker, row->id);
    return true;
  });
}

/* Links */

gboolean
_lodex_store_add_place_link (LodexStore *store, LodexPlaceLink *link)
{
  g_return_val_if_fail (store != NULL, FALSE);
  if (!lodex::check (LODEX_IS_STORE (store), G_STRFUNC, "LODEX_STORE (store)"))
    return FALSE;

  LodexStorePrivate *priv = get_priv (store);
  return lodex::write_for_place (store, link->place_id, [&] {
    if (!lodex_db_add_place_link (priv->db, link))
      return false;
    lodex_tracker_signal_place_updated (priv->tracker, link->place_id);
    return true;
  });
}

/* Update and removal share their checks and their announcement. */
static gboolean
change_place_link (LodexStore *store, LodexPlaceLink *link, const char *function, gboolean (*write) (sqlite3 *, LodexPlaceLink *))
{
  if (!lodex::check (store != nullptr, function, "store != NULL")
      || !lodex::check (LODEX_IS_STORE (store), function, "LODEX_STORE (store)"))
    return FALSE;
  if (!link || !link->link_id)
    {
      lodex::fail (LODEX_ERROR_NOT_STORED, "Link has no id.");
      return FALSE;
    }

  LodexStorePrivate *priv = get_priv (store);
  if (!write (priv->db, link))
    return FALSE;
  lodex_tracker_signal_place_updated (priv->tracker, link->place_id);
  return TRUE;
}

gboolean
_lodex_store_update_place_link (LodexStore *store, LodexPlaceLink *link)
{
  return change_place_link (store, link, G_STRFUNC, lodex_db_update_place_link);
}

gboolean
_lodex_store_remove_place_link (LodexStore *store, LodexPlaceLink *link)
{
  return change_place_link (store, link, G_STRFUNC, lodex_db_remove_place_link);
}

GList *
_lodex_store_get_place_links (LodexStore *store, LodexPlace *place)
{
  g_return_val_if_fail (store != NULL, NULL);
  g_return_val_if_fail (LODEX_IS_STORE (store), NULL);
  g_return_val_if_fail (place != NULL, NULL);
  g_return_val_if_fail (LODEX_IS_PLACE (place), NULL);

  const gchar *id = _lodex_place_get_row (place)->id;
  if (!id)
    return nullptr;
  return lodex_db_get_place_links (get_priv (store)->db, id);
}

/* Address and app data */

static constexpr char must_be_associated[] = "Place must be associated with the database";

LodexPlaceAddress *
_lodex_store_place_get_address (LodexStore *store, LodexPlace *place)
{
  g_return_val_if_fail (store != NULL, NULL);
  g_return_val_if_fail (LODEX_IS_STORE (store), NULL);
  g_return_val_if_fail (place != NULL, NULL);
  g_return_val_if_fail (LODEX_IS_PLACE (place), NULL);

  const gchar *id = stored_id (store, place, must_be_associated);
  if (!id)
    return nullptr;
  return lodex_db_place_address_get (get_priv (store)->db, id);
}

gboolean
_lodex_store_place_set_address (LodexStore *store, LodexPlace *place, LodexPlaceAddress *address)
{
  g_return_val_if_fail (store != NULL, FALSE);
  g_return_val_if_fail (LODEX_IS_STORE (store), FALSE);
  g_return_val_if_fail (place != NULL, FALSE);
  g_return_val_if_fail (LODEX_IS_PLACE (place), FALSE);

  const gchar *id = stored_id (store, place, must_be_associated);
  if (!id)
    return FALSE;
  LodexStorePrivate *priv = get_priv (store);
  return lodex::write_for_place (store, id, [&] {
    if (!lodex_db_place_address_set (priv->db, id, address))
      return false;
    lodex_tracker_signal_place_updated (priv->tracker, id);
    return true;
  });
}

gboolean
_lodex_store_place_clear_address (LodexStore *store, LodexPlace *place)
{
  g_return_val_if_fail (store != NULL, FALSE);
  g_return_val_if_fail (LODEX_IS_STORE (store), FALSE);
  g_return_val_if_fail (place != NULL, FALSE);
  g_return_val_if_fail (LODEX_IS_PLACE (place), FALSE);

  const gchar *id = stored_id (store, place, must_be_associated);
  if (!id)
    return FALSE;
  LodexStorePrivate *priv = get_priv (store);
  if (!lodex_db_place_address_delete (priv->db, id))
    return FALSE;
  lodex_tracker_signal_place_updated (priv->tracker, id);
  return TRUE;
}

gchar *
_lodex_store_place_get_appdata (LodexStore *store, LodexPlace *place, const gchar *key)
{
  g_return_val_if_fail (store != NULL, NULL);
  g_return_val_if_fail (LODEX_IS_STORE (store), NULL);
  g_return_val_if_fail (place != NULL, NULL);
  g_return_val_if_fail (LODEX_IS_PLACE (place), NULL);
  g_return_val_if_fail (key != NULL, NULL);

  const gchar *id = stored_id (store, place, must_be_associated);
  if (!id)
    return nullptr;
  return lodex_db_place_appdata_get (get_priv (store)->db, id, key);
}

gboolean
_lodex_store_place_set_appdata (LodexStore *store, LodexPlace *place, const gchar *key, const gchar *value)
{
  g_return_val_if_fail (store != NULL, FALSE);
  g_return_val_if_fail (LODEX_IS_STORE (store), FALSE);
  g_return_val_if_fail (place != NULL, FALSE);
  g_return_val_if_fail (LODEX_IS_PLACE (place), FALSE);
  g_return_val_if_fail (key != NULL, FALSE);

  if (!value)
    return _lodex_store_place_clear_appdata (store, place, key);

  const gchar *id = stored_id (store, place, "Place must be added to the store before app data can be set");
  if (!id)
    return FALSE;

  LodexStorePrivate *priv = get_priv (store);
  return lodex::write_for_place (store, id, [&] {
    if (!_lodex_db_place_appdata_upsert (priv->db, id, key, value))
      return false;
    lodex_tracker_signal_place_updated (priv->tracker, id);
    return true;
  });
}

gboolean
_lodex_store_place_clear_appdata (LodexStore *store, LodexPlace *place, const gchar *key)
{
  g_return_val_if_fail (store != NULL, FALSE);
  g_return_val_if_fail (LODEX_IS_STORE (store), FALSE);
  g_return_val_if_fail (place != NULL, FALSE);
  g_return_val_if_fail (LODEX_IS_PLACE (place), FALSE);

  const gchar *id = stored_id (store, place, must_be_associated);
  if (!id)
    return FALSE;
  LodexStorePrivate *priv = get_priv (store);
  if (!lodex_db_place_appdata_delete (priv->db, id, key))
    return FALSE;
  lodex_tracker_signal_place_updated (priv->tracker, id);
  return TRUE;
}
