/* LodexRoute: an ordered series of waypoints and a set of member places,
 * both kept in the database and reached through the store every time. */

#include "lodex-object.hpp"

#include <utility>

struct _LodexRoutePrivate
{
  LodexStore *store; /* strong ref while bound */
  LodexRouteRow row;
  guint changed; /* bits (1 << prop_id) changed here, not saved yet */
};

G_DEFINE_TYPE_WITH_PRIVATE (LodexRoute, lodex_route, G_TYPE_OBJECT)

enum
{
  PROP_0,
  PROP_ID,
  PROP_NAME,
  PROP_COMMENT,
  PROP_DESCRIPTION,
  PROP_TYPE,
  N_PROPS
};

enum
{
  WAYPOINTS_MODIFIED,
  CHANGED,
  ADDED,
  REMOVED,
  N_SIGNALS
};

static GParamSpec *props[N_PROPS];
static guint signals[N_SIGNALS];

/* Routes whose properties changed, each with a reference, waiting for the
 * one idle save that serves them all: one list per thread, as each store
 * belongs to one. */
static thread_local GList *pending_route_saves;

static gchar *LodexRouteRow::*
row_field (guint prop_id)
{
  switch (prop_id)
    {
    case PROP_ID:
      return &LodexRouteRow::id;
    case PROP_NAME:
      return &LodexRouteRow::name;
    case PROP_COMMENT:
      return &LodexRouteRow::comment;
    case PROP_DESCRIPTION:
      return &LodexRouteRow::description;
    case PROP_TYPE:
      return &LodexRouteRow::type;
    default:
      return nullptr;
    }
}

/* Writes the properties changed here; those stay changed if that fails. */
static void
save (LodexRoute *route)
{
  /* a route removed meanwhile has no store to be saved to */
  guint changed = route->priv->changed;
  if (route->priv->store && changed && _lodex_store_update_route (route->priv->store, route))
    route->priv->changed &= ~changed;
}

static gboolean
save_pending_routes (gpointer)
{
  GList *routes = g_steal_pointer (&pending_route_saves);
  for (GList *l = routes; l; l = l->next)
    save (LODEX_ROUTE (l->data));
  g_list_free_full (routes, g_object_unref);
  return G_SOURCE_REMOVE;
}

gboolean
_lodex_route_save_pending (LodexRoute *route)
{
  GList *link = g_list_find (pending_route_saves, route);
  if (!link)
    return FALSE;
  pending_route_saves = g_list_delete_link (pending_route_saves, link);
  save (route);
  g_object_unref (route);
  return TRUE;
}

static void
lodex_route_set_property (GObject *object, guint prop_id, const GValue *value, GParamSpec *pspec)
{
  LodexRoute *self = LODEX_ROUTE (object);
  lodex_return_if_foreign (self->priv->store);
  auto field = row_field (prop_id);
  if (!field)
    {
      G_OBJECT_WARN_INVALID_PROPERTY_ID (object, prop_id, pspec);
      return;
    }
  if (!_lodex_update_property_string (&(self->priv->row.*field), value))
    return;

  self->priv->changed |= 1u << prop_id;
  if (!self->priv->store || g_list_find (pending_route_saves, self))
    return;
  if (!pending_route_saves)
    {
      /* the loop of the thread that owns the store saves them */
      GSource *idle = g_idle_source_new ();
      g_source_set_priority (idle, G_PRIORITY_DEFAULT_IDLE);
      g_source_set_callback (idle, save_pending_routes, nullptr, nullptr);
      g_source_attach (idle, g_main_context_get_thread_default ());
      g_source_unref (idle);
    }
  pending_route_saves = g_list_append (pending_route_saves, g_object_ref (self));
}

static void
lodex_route_get_property (GObject *object, guint prop_id, GValue *value, GParamSpec *pspec)
{
  LodexRoute *self = LODEX_ROUTE (object);
  if (auto field = row_field (prop_id))
    g_value_set_string (value, self->priv->row.*field);
  else
    G_OBJECT_WARN_INVALID_PROPERTY_ID (object, prop_id, pspec);
}

static void
lodex_route_dispose (GObject *object)
{
  LodexRoute *self = LODEX_ROUTE (object);
  if (self->priv->store)
    _lodex_store_forget (self->priv->store, object);
  /* or a store that ever bound a route would never be finalized */
  g_clear_object (&self->priv->store);
  G_OBJECT_CLASS (lodex_route_parent_class)->dispose (object);
}

static void
lodex_route_finalize (GObject *object)
{
  LodexRouteRow *row = &LODEX_ROUTE (object)->priv->row;
  for (guint prop_id = PROP_ID; prop_id < N_PROPS; prop_id++)
    g_free (row->*row_field (prop_id));
  G_OBJECT_CLASS (lodex_route_parent_class)->finalize (object);
}

static void
lodex_route_class_init (LodexRouteClass *klass)
{
  GObjectClass *object_class = G_OBJECT_CLASS (klass);

  object_class->set_property = lodex_route_set_property;
  object_class->get_property = lodex_route_get_property;
  object_class->dispose = lodex_route_dispose;
  object_class->finalize = lodex_route_finalize;

  auto flags = GParamFlags (G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS);
  /**
   * LodexRoute:id:
   *
   * The route's id in the database, or %NULL while it was never stored.
   *
   * Since: 0.1
   */
  props[PROP_ID] = g_param_spec_string ("id", "Identifier", "Identifier", nullptr,
                                        GParamFlags (flags | G_PARAM_CONSTRUCT_ONLY));
  /**
   * LodexRoute:name:
   *
   * The route's name.
   *
   * Since: 0.1
   */
  props[PROP_NAME] = g_param_spec_string ("name", "Name", "Name", nullptr, flags);
  /**
   * LodexRoute:comment:
   *
   * A comment on the route.
   *
   * Since: 0.1
   */
  props[PROP_COMMENT] = g_param_spec_string ("comment", "Comment", "Comment", nullptr, flags);
  /**
   * LodexRoute:description:
   *
   * What the route is.
   *
   * Since: 0.1
   */
  props[PROP_DESCRIPTION] = g_param_spec_string ("description", "Description", "Description", nullptr, flags);
  /**
   * LodexRoute:type:
   *
   * The kind of route, as the application names it.
   *
   * Since: 0.1
   */
  props[PROP_TYPE] = g_param_spec_string ("type", "Type", "Type", nullptr, flags);
  g_object_class_install_properties (object_class, N_PROPS, props);

  /**
   * LodexRoute::waypoints-modified:
   * @route: the route
   *
   * Emitted on a live route when its waypoints were added, changed or
   * removed, by any process, this one included. The waypoints are read anew
   * by lodex_route_get_waypoints() or lodex_route_foreach().
   *
   * Since: 0.1
   */
  signals[WAYPOINTS_MODIFIED] = g_signal_new ("waypoints-modified", G_TYPE_FROM_CLASS (klass), G_SIGNAL_RUN_LAST,
                                              G_STRUCT_OFFSET (LodexRouteClass, waypoints_modified), nullptr,
                                              nullptr, g_cclosure_marshal_VOID__VOID, G_TYPE_NONE, 0);
  /**
   * LodexRoute::changed:
   * @route: the route
   *
   * Emitted when a stored route has reloaded its own properties after a
   * change broadcast by any process, this one included.
   *
   * Since: 0.1
   */
  /**
   * LodexRoute::added:
   * @route: the route
   * @store: the store that added it
   *
   * Emitted when lodex_store_add_route() has stored the route.
   *
   * Since: 0.1
   */
  /**
   * LodexRoute::removed:
   * @route: the route
   * @store: the store it was removed from
   *
   * Emitted when the route was removed from the database, by
   * lodex_store_remove_route() or by another process. The store forgets it.
   *
   * Since: 0.1
   */
  lodex::new_object_signals (klass, &signals[CHANGED], &signals[ADDED], &signals[REMOVED],
                             G_STRUCT_OFFSET (LodexRouteClass, changed), G_STRUCT_OFFSET (LodexRouteClass, added),
                             G_STRUCT_OFFSET (LodexRouteClass, removed));
}

static void
lodex_route_init (LodexRoute *self)
{
  self->priv = static_cast<LodexRoutePrivate *> (lodex_route_get_instance_private (self));
}

/**
 * lodex_route_new:
 * @name: (nullable): the route's name
 * @description: (nullable): its description
 *
 * Makes a route that belongs to no store; lodex_store_add_route() stores it.
 *
 * Returns: (transfer full): a route in no store
 *
 * Since: 0.1
 */
LodexRoute *
lodex_route_new (const gchar *name, const gchar *description)
{
  return LODEX_ROUTE (g_object_new (LODEX_TYPE_ROUTE, "name", name, "description", description, nullptr));
}

/* What the store's own checks take for a program's mistake: a route or a
 * place in no store, or in another one. */
static bool
route_ready (LodexRoute *route, LodexPlace *place)
{
  if (!route->priv->store || !route->priv->row.id)
    {
      lodex::fail (LODEX_ERROR_NOT_STORED, "Route not associated with database.");
      return false;
    }
  if (place && (_lodex_place_get_store (place) != route->priv->store || !_lodex_place_get_row (place)->id))
    {
      lodex::fail (LODEX_ERROR_NOT_STORED, "Place is not associated with the database");
      return false;
    }
  return true;
}

/* A waypoint that is not new belongs to a route already. */
static bool
waypoint_free (LodexWaypoint *waypoint)
{
  LodexWaypointRow *row = _lodex_waypoint_get_row (waypoint);
  if (!row->id && !row->route_id)
    return true;
  lodex::fail (LODEX_ERROR_EXISTS, "Waypoint already belongs to a route");
  return false;
}

static bool
waypoint_of (LodexRoute *route, LodexWaypoint *waypoint)
{
  LodexWaypointRow *row = _lodex_waypoint_get_row (waypoint);
  if (row->id && row->route_id && g_strcmp0 (row->route_id, route->priv->row.id) == 0)
    return true;
  lodex::fail (LODEX_ERROR_NOT_STORED, "Waypoint is not one of the route's");
  return false;
}

/**
 * lodex_route_add_waypoint:
 * @route: a stored route
 * @waypoint: a waypoint of no route
 *
 * Gives @waypoint its ids and stores it as a point of @route, at once; every
 * live copy of the route then emits #LodexRoute::waypoints-modified.
 *
 * Returns: whether the waypoint was stored as part of @route
 *
 * Since: 0.1
 */
gboolean
lodex_route_add_waypoint (LodexRoute *route, LodexWaypoint *waypoint)
{
  g_return_val_if_fail (LODEX_IS_ROUTE (route), FALSE);
  g_return_val_if_fail (LODEX_IS_WAYPOINT (waypoint), FALSE);
  lodex_return_val_if_foreign (route->priv->store, FALSE);
  return _lodex_store_add_waypoint_to_route (route->priv->store, waypoint, route);
}

/**
 * lodex_route_add_waypoint_full:
 * @route: a stored route
 * @waypoint: a waypoint of no route
 * @error: return location for a #GError, or %NULL
 *
 * Does what lodex_route_add_waypoint() does, and tells why it failed rather than
 * logging it. The errors, in the %LODEX_ERROR domain:
 * %LODEX_ERROR_EXISTS when @waypoint belongs to a route already,
 * %LODEX_ERROR_NOT_STORED when @route is in no store,
 * %LODEX_ERROR_BUSY when another program held the database locked too long,
 * %LODEX_ERROR_DATABASE when the database refused the write.
 *
 * Returns: whether the waypoint was stored as part of @route
 *
 * Since: 0.2
 */
gboolean
lodex_route_add_waypoint_full (LodexRoute *route, LodexWaypoint *waypoint, GError **error)
{
  g_return_val_if_fail (LODEX_IS_ROUTE (route), FALSE);
  g_return_val_if_fail (LODEX_IS_WAYPOINT (waypoint), FALSE);
  g_return_val_if_fail (error == NULL || *error == NULL, FALSE);
  lodex_return_val_if_foreign (route->priv->store, FALSE);
  lodex::Failures failures;
  return failures.finish (waypoint_free (waypoint) && route_ready (route, nullptr) && _lodex_store_add_waypoint_to_route (route->priv->store, waypoint, route), error, "Adding the waypoint");
}

/**
 * lodex_route_remove_waypoint:
 * @route: a stored route
 * @waypoint: a stored waypoint of @route
 *
 * Deletes a waypoint of @route, at once.
 *
 * Returns: whether the waypoint was deleted; it keeps its ids
 *
 * Since: 0.1
 */
gboolean
lodex_route_remove_waypoint (LodexRoute *route, LodexWaypoint *waypoint)
{
  g_return_val_if_fail (LODEX_IS_ROUTE (route), FALSE);
  g_return_val_if_fail (LODEX_IS_WAYPOINT (waypoint), FALSE);
  lodex_return_val_if_foreign (route->priv->store, FALSE);
  return _lodex_store_remove_waypoint_from_route (route->priv->store, waypoint, route);
}

/**
 * lodex_route_remove_waypoint_full:
 * @route: a stored route
 * @waypoint: a stored waypoint of @route
 * @error: return location for a #GError, or %NULL
 *
 * Does what lodex_route_remove_waypoint() does, and tells why it failed rather than
 * logging it. The errors, in the %LODEX_ERROR domain:
 * %LODEX_ERROR_NOT_STORED when @route is in no store, or @waypoint is not one of its waypoints,
 * %LODEX_ERROR_BUSY when another program held the database locked too long,
 * %LODEX_ERROR_DATABASE when the database refused the write.
 *
 * Returns: whether the waypoint was deleted; it keeps its ids
 *
 * Since: 0.2
 */
gboolean
lodex_route_remove_waypoint_full (LodexRoute *route, LodexWaypoint *waypoint, GError **error)
{
  g_return_val_if_fail (LODEX_IS_ROUTE (route), FALSE);
  g_return_val_if_fail (LODEX_IS_WAYPOINT (waypoint), FALSE);
  g_return_val_if_fail (error == NULL || *error == NULL, FALSE);
  lodex_return_val_if_foreign (route->priv->store, FALSE);
  lodex::Failures failures;
  return failures.finish (route_ready (route, nullptr) && waypoint_of (route, waypoint) && _lodex_store_remove_waypoint_from_route (route->priv->store, waypoint, route), error, "Removing the waypoint");
}

/**
 * lodex_route_add_place:
 * @route: a stored route
 * @place: a stored place
 *
 * Makes @place a member of @route, at once. The members are walked with a
 * #LodexRouteFilter.
 *
 * Returns: whether the place is now a member of @route
 *
 * Since: 0.1
 */
gboolean
lodex_route_add_place (LodexRoute *route, LodexPlace *place)
{
  g_return_val_if_fail (LODEX_IS_ROUTE (route), FALSE);
  g_return_val_if_fail (LODEX_IS_PLACE (place), FALSE);
  lodex_return_val_if_foreign (route->priv->store, FALSE);
  return _lodex_store_add_place_to_route (route->priv->store, place, route);
}

/**
 * lodex_route_add_place_full:
 * @route: a stored route
 * @place: a stored place
 * @error: return location for a #GError, or %NULL
 *
 * Does what lodex_route_add_place() does, and tells why it failed rather than
 * logging it. The errors, in the %LODEX_ERROR domain:
 * %LODEX_ERROR_EXISTS when @place is a member already,
 * %LODEX_ERROR_NOT_STORED when @route or @place is not stored in the same store, or another program removed @place,
 * %LODEX_ERROR_BUSY when another program held the database locked too long,
 * %LODEX_ERROR_DATABASE when the database refused the write.
 *
 * Returns: whether the place is now a member of @route
 *
 * Since: 0.2
 */
gboolean
lodex_route_add_place_full (LodexRoute *route, LodexPlace *place, GError **error)
{
  g_return_val_if_fail (LODEX_IS_ROUTE (route), FALSE);
  g_return_val_if_fail (LODEX_IS_PLACE (place), FALSE);
  g_return_val_if_fail (error == NULL || *error == NULL, FALSE);
  lodex_return_val_if_foreign (route->priv->store, FALSE);
  lodex::Failures failures;
  return failures.finish (route_ready (route, place) && _lodex_store_add_place_to_route (route->priv->store, place, route), error, "Adding the place to the route");
}

/**
 * lodex_route_remove_place:
 * @route: a stored route
 * @place: a stored place
 *
 * Ends the membership of @place in @route, at once.
 *
 * Returns: whether the membership was ended (also when there was none)
 *
 * Since: 0.1
 */
gboolean
lodex_route_remove_place (LodexRoute *route, LodexPlace *place)
{
  g_return_val_if_fail (LODEX_IS_ROUTE (route), FALSE);
  g_return_val_if_fail (LODEX_IS_PLACE (place), FALSE);
  lodex_return_val_if_foreign (route->priv->store, FALSE);
  return _lodex_store_remove_place_from_route (route->priv->store, place, route);
}

/**
 * lodex_route_remove_place_full:
 * @route: a stored route
 * @place: a stored place
 * @error: return location for a #GError, or %NULL
 *
 * Does what lodex_route_remove_place() does, and tells why it failed rather than
 * logging it. The errors, in the %LODEX_ERROR domain:
 * %LODEX_ERROR_NOT_STORED when @route or @place is not stored in the same store,
 * %LODEX_ERROR_BUSY when another program held the database locked too long,
 * %LODEX_ERROR_DATABASE when the database refused the write.
 *
 * Returns: whether the membership was ended (also when there was none)
 *
 * Since: 0.2
 */
gboolean
lodex_route_remove_place_full (LodexRoute *route, LodexPlace *place, GError **error)
{
  g_return_val_if_fail (LODEX_IS_ROUTE (route), FALSE);
  g_return_val_if_fail (LODEX_IS_PLACE (place), FALSE);
  g_return_val_if_fail (error == NULL || *error == NULL, FALSE);
  lodex_return_val_if_foreign (route->priv->store, FALSE);
  lodex::Failures failures;
  return failures.finish (route_ready (route, place) && _lodex_store_remove_place_from_route (route->priv->store, place, route), error, "Removing the place from the route");
}

/**
 * lodex_route_foreach:
 * @route: a stored route
 * @callback: (scope call): called with each waypoint, in ascending order
 *   weight
 * @user_data: data for @callback
 *
 * Waypoints whose properties @callback sets are written back, all in one
 * transaction, after the walk. Only their positions, order weights, segment
 * marks and times are written.
 *
 * Returns: whether the waypoints were read and what @callback changed was
 *   written
 *
 * Since: 0.1
 */
gboolean
lodex_route_foreach (LodexRoute *route, LodexWaypointFunc callback, gpointer user_data)
{
  g_return_val_if_fail (LODEX_IS_ROUTE (route), FALSE);
  lodex_return_val_if_foreign (route->priv->store, FALSE);
  return _lodex_store_route_select_update_waypoints (route->priv->store, route->priv->row.id, callback,
                                                     user_data);
}

/**
 * lodex_route_foreach_full:
 * @route: a stored route
 * @callback: (scope call): called with each waypoint, in ascending order weight
 * @user_data: data for @callback
 * @error: return location for a #GError, or %NULL
 *
 * Does what lodex_route_foreach() does, and tells why it failed rather than
 * logging it. The errors, in the %LODEX_ERROR domain:
 * %LODEX_ERROR_NOT_STORED when @route is in no store,
 * %LODEX_ERROR_BUSY when another program held the database locked too long,
 * %LODEX_ERROR_DATABASE when the database refused the write.
 *
 * Returns: whether the waypoints were read and what @callback changed was written
 *
 * Since: 0.2
 */
gboolean
lodex_route_foreach_full (LodexRoute *route, LodexWaypointFunc callback, gpointer user_data, GError **error)
{
  g_return_val_if_fail (LODEX_IS_ROUTE (route), FALSE);
  g_return_val_if_fail (error == NULL || *error == NULL, FALSE);
  lodex_return_val_if_foreign (route->priv->store, FALSE);
  lodex::Failures failures;
  return failures.finish (route_ready (route, nullptr) && _lodex_store_route_select_update_waypoints (route->priv->store, route->priv->row.id, callback, user_data), error, "Walking the waypoints");
}

/**
 * lodex_route_foreach_remove:
 * @route: a stored route
 * @callback: (scope call): returns %TRUE for each waypoint to delete
 * @user_data: data for @callback
 *
 * Calls @callback with each waypoint of @route, in ascending order weight,
 * and deletes those for which it returns %TRUE, in one transaction.
 *
 * Returns: whether the walk and the deletion succeeded
 *
 * Since: 0.1
 */
gboolean
lodex_route_foreach_remove (LodexRoute *route, LodexWaypointFunc callback, gpointer user_data)
{
  g_return_val_if_fail (LODEX_IS_ROUTE (route), FALSE);
  lodex_return_val_if_foreign (route->priv->store, FALSE);
  return _lodex_store_route_delete_waypoints (route->priv->store, route->priv->row.id, callback, user_data);
}

/**
 * lodex_route_foreach_remove_full:
 * @route: a stored route
 * @callback: (scope call): returns %TRUE for each waypoint to delete
 * @user_data: data for @callback
 * @error: return location for a #GError, or %NULL
 *
 * Does what lodex_route_foreach_remove() does, and tells why it failed rather than
 * logging it. The errors, in the %LODEX_ERROR domain:
 * %LODEX_ERROR_NOT_STORED when @route is in no store,
 * %LODEX_ERROR_BUSY when another program held the database locked too long,
 * %LODEX_ERROR_DATABASE when the database refused the write.
 *
 * Returns: whether the walk and the deletion succeeded
 *
 * Since: 0.2
 */
gboolean
lodex_route_foreach_remove_full (LodexRoute *route, LodexWaypointFunc callback, gpointer user_data, GError **error)
{
  g_return_val_if_fail (LODEX_IS_ROUTE (route), FALSE);
  g_return_val_if_fail (error == NULL || *error == NULL, FALSE);
  lodex_return_val_if_foreign (route->priv->store, FALSE);
  lodex::Failures failures;
  return failures.finish (route_ready (route, nullptr) && _lodex_store_route_delete_waypoints (route->priv->store, route->priv->row.id, callback, user_data), error, "Deleting the waypoints");
}

/**
 * lodex_route_get_waypoints:
 * @route: a stored route
 *
 * The waypoints are new objects each time and not bound to anything:
 * changes made to them are not saved (use lodex_route_foreach()).
 *
 * Returns: (transfer full) (element-type LodexWaypoint): the waypoints in
 *   ascending order weight
 *
 * Since: 0.1
 */
GList *
lodex_route_get_waypoints (LodexRoute *route)
{
  g_return_val_if_fail (LODEX_IS_ROUTE (route), NULL);
  lodex_return_val_if_foreign (route->priv->store, NULL);

  GList *waypoints = nullptr;
  auto collect = +[] (LodexWaypoint *waypoint, gpointer data) -> gboolean {
    auto list = static_cast<GList **> (data);
    *list = g_list_prepend (*list, g_object_ref (waypoint));
    return FALSE;
  };
  if (!lodex_route_foreach (route, collect, &waypoints))
    {
      g_list_free_full (waypoints, g_object_unref);
      return nullptr;
    }
  return g_list_reverse (waypoints);
}

/**
 * lodex_route_get_bounds:
 * @route: a stored route
 * @bounds: (out caller-allocates): the box of its waypoints
 *
 * Reads the smallest latitude/longitude box around the waypoints of @route.
 *
 * Returns: whether @bounds was filled; %FALSE, with @bounds untouched, for
 *   a route without waypoints
 *
 * Since: 0.1
 */
gboolean
lodex_route_get_bounds (LodexRoute *route, LodexRouteBounds *bounds)
{
  g_return_val_if_fail (LODEX_IS_ROUTE (route), FALSE);
  g_return_val_if_fail (bounds != NULL, FALSE);
  g_return_val_if_fail (LODEX_IS_SET (route->priv->store), FALSE);
  lodex_return_val_if_foreign (route->priv->store, FALSE);
  return lodex_db_route_get_bounds (_lodex_set_get_db (LODEX_SET (route->priv->store)), route, bounds);
}

LodexRouteRow *
_lodex_route_row_new (void)
{
  return g_new0 (LodexRouteRow, 1);
}

void
_lodex_route_row_free (LodexRouteRow *row)
{
  if (!row)
    return;
  for (guint prop_id = PROP_ID; prop_id < N_PROPS; prop_id++)
    g_free (row->*row_field (prop_id));
  g_free (row);
}

/* Takes @row: a route of no store with the stored values. */
LodexRoute *
_lodex_route_new_with_row (LodexRouteRow *row)
{
  LodexRoute *route = LODEX_ROUTE (g_object_new (LODEX_TYPE_ROUTE, nullptr));
  _lodex_route_load_row (route, row);
  return route;
}

/* Takes @row and copies its values in, telling of each change; copying the
 * stored row in is no change to save, and what was changed here and not
 * saved yet stays on top. */
void
_lodex_route_load_row (LodexRoute *route, LodexRouteRow *row)
{
  g_return_if_fail (LODEX_IS_ROUTE (route));
  g_object_freeze_notify (G_OBJECT (route));
  for (guint prop_id = PROP_ID; prop_id < N_PROPS; prop_id++)
    {
      gchar *LodexRouteRow::*field = row_field (prop_id);
      /* a partial row leaves the id alone */
      if ((prop_id == PROP_ID && !(row->*field)) || (route->priv->changed & (1u << prop_id)))
        continue;
      if (g_strcmp0 (route->priv->row.*field, row->*field) == 0)
        continue;
      g_free (route->priv->row.*field);
      route->priv->row.*field = std::exchange (row->*field, nullptr);
      g_object_notify_by_pspec (G_OBJECT (route), props[prop_id]);
    }
  g_object_thaw_notify (G_OBJECT (route));
  _lodex_route_row_free (row);
}

/* The properties changed here and not saved yet, as bits (1 << prop_id):
 * PROP_NAME 2, PROP_COMMENT 3, PROP_DESCRIPTION 4, PROP_TYPE 5. */
guint
_lodex_route_get_changed (LodexRoute *route)
{
  g_return_val_if_fail (LODEX_IS_ROUTE (route), 0);
  return route->priv->changed;
}

LodexRouteRow *
_lodex_route_get_row (LodexRoute *route)
{
  g_return_val_if_fail (LODEX_IS_ROUTE (route), NULL);
  return &route->priv->row;
}

const gchar *
_lodex_route_get_id (LodexRoute *route)
{
  g_return_val_if_fail (LODEX_IS_ROUTE (route), NULL);
  return route->priv->row.id;
}

LodexStore *
_lodex_route_get_store (LodexRoute *route)
{
  g_return_val_if_fail (LODEX_IS_ROUTE (route), NULL);
  return route->priv->store;
}

void
_lodex_route_set_store (LodexRoute *route, LodexStore *store)
{
  g_return_if_fail (LODEX_IS_ROUTE (route));
  /* unlike the other row objects, a route may move between stores */
  if (route->priv->store == store)
    return;
  g_clear_object (&route->priv->store);
  if (store)
    route->priv->store = LODEX_STORE (g_object_ref (store));
}
