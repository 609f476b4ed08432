/* The store's operations on routes, their member places and their
 * waypoints. */

#include "lodex-store-objects.hpp"

using namespace lodex;

void
_lodex_store_add_to_route_table (LodexStore *store, LodexRoute *route)
{
  if (!check (LODEX_IS_ROUTE (route), G_STRFUNC, "LODEX_IS_ROUTE(route)"))
    return;
  /* a registered route is bound: its dispose takes it out of the registry */
  if (!_lodex_route_get_store (route))
    _lodex_route_set_store (route, store);
  g_return_if_fail (_lodex_route_get_store (route) == store);
  registry_of<LodexRoute> (store).add (G_OBJECT (route));
}

void
_lodex_store_remove_from_route_table (LodexStore *store, LodexRoute *route)
{
  if (check (LODEX_IS_ROUTE (route), G_STRFUNC, "LODEX_IS_ROUTE(route)"))
    registry_of<LodexRoute> (store).remove (G_OBJECT (route));
}

LodexRoute *
_lodex_store_query_route_table (LodexStore *store, const gchar *id)
{
  if (!check (LODEX_IS_STORE (store), G_STRFUNC, "LODEX_IS_STORE(store)"))
    return nullptr;
  return lookup_entry<LodexRoute> (store, id);
}

/**
 * lodex_store_add_route:
 * @store: a #LodexStore
 * @route: a route in no store, that was never stored
 *
 * Gives @route a new id and stores it. The route then belongs to @store: a
 * change of its properties is saved at the next idle moment of the main
 * loop.
 *
 * Returns: whether the route was stored; on failure it is left as it was
 *
 * Since: 0.1
 */
gboolean
lodex_store_add_route (LodexStore *store, LodexRoute *route)
{
  g_return_val_if_fail (LODEX_IS_STORE (store), FALSE);
  g_return_val_if_fail (LODEX_IS_ROUTE (route), FALSE);
  lodex_return_val_if_foreign (store, FALSE);
  return add_object (store, route);
}

/**
 * lodex_store_add_route_full:
 * @store: a #LodexStore
 * @route: a route in no store
 * @error: return location for a #GError, or %NULL
 *
 * Does what lodex_store_add_route() does, and tells why it failed rather than
 * logging it. The errors, in the %LODEX_ERROR domain:
 * %LODEX_ERROR_EXISTS when @route is stored already,
 * %LODEX_ERROR_BUSY when another program held the database locked too long,
 * %LODEX_ERROR_DATABASE when the database refused the write.
 *
 * Returns: whether the route was stored; on failure it is left as it was
 *
 * Since: 0.2
 */
gboolean
lodex_store_add_route_full (LodexStore *store, LodexRoute *route, GError **error)
{
  g_return_val_if_fail (LODEX_IS_STORE (store), FALSE);
  g_return_val_if_fail (LODEX_IS_ROUTE (route), FALSE);
  g_return_val_if_fail (error == NULL || *error == NULL, FALSE);
  lodex_return_val_if_foreign (store, FALSE);
  lodex::Failures failures;
  return failures.finish (add_object (store, route), error, "Storing the route");
}

/**
 * lodex_store_get_route_by_id:
 * @store: a #LodexStore
 * @id: a route id
 *
 * Reads a route of @store. While the application holds it, every call with
 * its id gives the same object.
 *
 * Returns: (transfer full) (nullable): the route; %NULL with a warning when
 *   no route has @id
 *
 * Since: 0.1
 */
LodexRoute *
lodex_store_get_route_by_id (LodexStore *store, const gchar *id)
{
  if (!check (LODEX_IS_STORE (store), G_STRFUNC, "LODEX_IS_STORE(store)"))
    return nullptr;
  g_return_val_if_fail (id != NULL, NULL);
  lodex_return_val_if_foreign (store, NULL);
  return get_object<LodexRoute> (store, id);
}

/**
 * lodex_store_get_route_by_id_full:
 * @store: a #LodexStore
 * @id: a route id
 * @error: return location for a #GError, or %NULL
 *
 * Does what lodex_store_get_route_by_id() does, and tells why there is no
 * route rather than logging it. The errors, in the %LODEX_ERROR domain:
 * %LODEX_ERROR_NOT_STORED when no route has @id,
 * %LODEX_ERROR_DATABASE when the database could not be read.
 *
 * Returns: (transfer full): the route, or %NULL with @error set
 *
 * Since: 0.2
 */
LodexRoute *
lodex_store_get_route_by_id_full (LodexStore *store, const gchar *id, GError **error)
{
  g_return_val_if_fail (LODEX_IS_STORE (store), NULL);
  g_return_val_if_fail (id != NULL, NULL);
  g_return_val_if_fail (error == NULL || *error == NULL, NULL);
  lodex_return_val_if_foreign (store, NULL);
  lodex::Failures failures;
  LodexRoute *found = get_object<LodexRoute> (store, id);
  if (!found) /* after any failure of the database's, which is the cause */
    lodex::fail (LODEX_ERROR_NOT_STORED, "No route has the id %s", id);
  failures.finish (found != nullptr, error, "Reading the route");
  return found;
}

/**
 * lodex_store_remove_route:
 * @store: a #LodexStore
 * @route: a route of @store
 *
 * Deletes the route with its waypoints and memberships. The object keeps
 * its id, so it cannot be added again.
 *
 * Returns: whether the route was removed
 *
 * Since: 0.1
 */
gboolean
lodex_store_remove_route (LodexStore *store, LodexRoute *route)
{
  g_return_val_if_fail (LODEX_IS_STORE (store), FALSE);
  g_return_val_if_fail (LODEX_IS_ROUTE (route), FALSE);
  lodex_return_val_if_foreign (store, FALSE);
  return remove_object (store, route, false);
}

/**
 * lodex_store_remove_route_full:
 * @store: a #LodexStore
 * @route: a route of @store
 * @error: return location for a #GError, or %NULL
 *
 * Does what lodex_store_remove_route() does, and tells why it failed rather than
 * logging it. The errors, in the %LODEX_ERROR domain:
 * %LODEX_ERROR_NOT_STORED when @route is not a route of @store,
 * %LODEX_ERROR_BUSY when another program held the database locked too long,
 * %LODEX_ERROR_DATABASE when the database refused the write.
 *
 * Returns: whether the route was removed
 *
 * Since: 0.2
 */
gboolean
lodex_store_remove_route_full (LodexStore *store, LodexRoute *route, GError **error)
{
  g_return_val_if_fail (LODEX_IS_STORE (store), FALSE);
  g_return_val_if_fail (LODEX_IS_ROUTE (route), FALSE);
  g_return_val_if_fail (error == NULL || *error == NULL, FALSE);
  lodex_return_val_if_foreign (store, FALSE);
  lodex::Failures failures;
  return failures.finish (remove_object (store, route, false), error, "Removing the route");
}

/**
 * lodex_store_routes:
 * @store: a #LodexStore
 *
 * Lists the routes of the database, each as its live object.
 *
 * Returns: (transfer full) (element-type LodexRoute): every route
 *
 * Since: 0.1
 */
GList *
lodex_store_routes (LodexStore *store)
{
  g_return_val_if_fail (LODEX_IS_STORE (store), NULL);
  lodex_return_val_if_foreign (store, NULL);

  return list_all<LodexRoute> (store, "SELECT id from routes", lodex_db_get_next_route_id);
}

gboolean
_lodex_store_update_route (LodexStore *store, LodexRoute *route)
{
  g_return_val_if_fail (LODEX_IS_STORE (store), FALSE);
  g_return_val_if_fail (LODEX_IS_ROUTE (route), FALSE);
  return update_object (store, route);
}

gboolean
_lodex_store_add_place_to_route (LodexStore *store, LodexPlace *place, LodexRoute *route)
{
  g_return_val_if_fail (LODEX_IS_STORE (store), FALSE);
  g_return_val_if_fail (LODEX_IS_ROUTE (route), FALSE);
  g_return_val_if_fail (LODEX_IS_PLACE (place), FALSE);

  const gchar *route_id = _lodex_route_get_id (route);
  return write_for_place (store, _lodex_place_get_row (place)->id, [&] {
    return write_membership (store,
                             lodex_db_add_place_to_route (store_priv (store)->db, _lodex_place_get_row (place)->id,
                                                          route_id),
                             "Unable to add place to route in the database", lodex_tracker_signal_route_updated,
                             route_id);
  });
}

gboolean
_lodex_store_remove_place_from_route (LodexStore *store, LodexPlace *place, LodexRoute *route)
{
  g_return_val_if_fail (LODEX_IS_STORE (store), FALSE);
  g_return_val_if_fail (LODEX_IS_ROUTE (route), FALSE);
  g_return_val_if_fail (LODEX_IS_PLACE (place), FALSE);

  const gchar *route_id = _lodex_route_get_id (route);
  return write_membership (store,
                           lodex_db_remove_place_from_route (store_priv (store)->db,
                                                             _lodex_place_get_row (place)->id, route_id),
                           "Unable to remove place from route in the database",
                           lodex_tracker_signal_route_updated, route_id);
}

gboolean
_lodex_store_add_waypoint_to_route (LodexStore *store, LodexWaypoint *waypoint, LodexRoute *route)
{
  g_return_val_if_fail (LODEX_IS_STORE (store), FALSE);
  g_return_val_if_fail (LODEX_IS_WAYPOINT (waypoint), FALSE);
  g_return_val_if_fail (LODEX_IS_ROUTE (route), FALSE);
  LodexWaypointRow *row = _lodex_waypoint_get_row (waypoint);
  const gchar *route_id = _lodex_route_get_id (route);
  g_return_val_if_fail (row->id == NULL, FALSE);
  g_return_val_if_fail (row->route_id == NULL, FALSE);
  g_return_val_if_fail (route_id != NULL, FALSE);

  LodexStorePrivate *priv = store_priv (store);
  row->route_id = g_strdup (route_id);
  if (!insert_with_new_id (store, row->id, [&] { return lodex_db_insert_waypoint (priv->db, waypoint) != FALSE; }))
    {
      g_clear_pointer (&row->route_id, g_free); /* still new: it may be added again */
      return FALSE;
    }
  lodex_tracker_signal_route_waypoints (priv->tracker, route_id);
  return TRUE;
}

gboolean
_lodex_store_remove_waypoint_from_route (LodexStore *store, LodexWaypoint *waypoint, LodexRoute *route)
{
  g_return_val_if_fail (LODEX_IS_STORE (store), FALSE);
  g_return_val_if_fail (LODEX_IS_WAYPOINT (waypoint), FALSE);
  g_return_val_if_fail (LODEX_IS_ROUTE (route), FALSE);
  LodexWaypointRow *row = _lodex_waypoint_get_row (waypoint);
  const gchar *route_id = _lodex_route_get_id (route);
  g_return_val_if_fail (row->id != NULL, FALSE);
  g_return_val_if_fail (row->route_id != NULL, FALSE);
  g_return_val_if_fail (route_id != NULL, FALSE);
  g_return_val_if_fail (strcmp (route_id, row->route_id) == 0, FALSE);

  LodexStorePrivate *priv = store_priv (store);
  if (!lodex_db_remove_waypoint (priv->db, waypoint))
    return FALSE;
  lodex_tracker_signal_route_waypoints (priv->tracker, route_id);
  return TRUE;
}

gboolean
_lodex_store_route_delete_waypoints (LodexStore *store, const gchar *route_id, LodexWaypointFunc func, gpointer user_data)
{
  g_return_val_if_fail (LODEX_IS_STORE (store), FALSE);
  g_return_val_if_fail (route_id != NULL, FALSE);

  LodexStorePrivate *priv = store_priv (store);
  if (!lodex_db_remove_waypoints (priv->db, route_id, func, user_data))
    return FALSE;
  lodex_tracker_signal_route_waypoints (priv->tracker, route_id);
  return TRUE;
}

gboolean
_lodex_store_route_select_update_waypoints (LodexStore *store, const gchar *route_id, LodexWaypointFunc func, gpointer user_data)
{
  g_return_val_if_fail (LODEX_IS_STORE (store), FALSE);
  g_return_val_if_fail (route_id != NULL, FALSE);

  LodexStorePrivate *priv = store_priv (store);
  guint result = lodex_db_select_update_waypoints (priv->db, route_id, func, user_data);
  if (result & 0x2)
    lodex_tracker_signal_route_waypoints (priv->tracker, route_id);
  return (result & 0x1) && !(result & 0x4);
}
