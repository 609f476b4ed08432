#pragma once

#include <glib-object.h>
#include <liblodex/lodex-types.h>

G_BEGIN_DECLS

/**
 * LodexWaypointRow:
 *
 * One row of the waypoints table. @id and @route_id are %NULL until the
 * store adds the waypoint to a route; @modified is set by every property
 * write and never stored.
 *
 * Since: 0.1
 */
typedef struct _LodexWaypointRow
{
  gchar *id;
  gchar *route_id;
  gchar *name;
  gchar *desc;
  gchar *sym;
  gchar *type;
  gdouble order_weight;
  gdouble latitude;
  gdouble longitude;
  gdouble altitude;
  gboolean segment_end;
  gint ctime;
  gboolean modified;
} LodexWaypointRow;

#define LODEX_TYPE_WAYPOINT (lodex_waypoint_get_type ())
G_DECLARE_FINAL_TYPE (LodexWaypoint, lodex_waypoint, LODEX, WAYPOINT, GObject)

/**
 * LodexWaypointFunc:
 * @waypoint: one waypoint of a route, in ascending order weight
 * @user_data: the caller's data
 *
 * The function that lodex_route_foreach() and lodex_route_foreach_remove()
 * call with each waypoint of a route.
 *
 * Returns: for lodex_route_foreach_remove(), whether to delete @waypoint;
 *   ignored by lodex_route_foreach()
 *
 * Since: 0.1
 */
typedef gboolean (*LodexWaypointFunc) (LodexWaypoint *waypoint, gpointer user_data);

LodexWaypoint *lodex_waypoint_new (gdouble latitude, gdouble longitude, gdouble altitude, gint ctime);

G_END_DECLS
