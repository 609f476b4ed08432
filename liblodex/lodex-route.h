#pragma once

#include <glib-object.h>
#include <liblodex/lodex-types.h>
#include <liblodex/lodex-waypoint.h>

G_BEGIN_DECLS

/**
 * LodexRouteRow:
 *
 * One row of the routes table; every field may be %NULL, @id until the
 * store adds the route.
 *
 * Since: 0.1
 */
typedef struct _LodexRouteRow
{
  gchar *id;
  gchar *name;
  gchar *comment;
  gchar *description;
  gchar *type;
} LodexRouteRow;

/**
 * LodexRouteBounds:
 *
 * The latitude/longitude box of a route's waypoints, in degrees.
 *
 * Since: 0.1
 */
typedef struct _LodexRouteBounds
{
  gdouble min_latitude;
  gdouble min_longitude;
  gdouble max_latitude;
  gdouble max_longitude;
} LodexRouteBounds;

typedef struct _LodexRoutePrivate LodexRoutePrivate;
typedef struct _LodexRouteClass LodexRouteClass;

#define LODEX_TYPE_ROUTE (lodex_route_get_type ())
#define LODEX_ROUTE(obj) (G_TYPE_CHECK_INSTANCE_CAST ((obj), LODEX_TYPE_ROUTE, LodexRoute))
#define LODEX_IS_ROUTE(obj) (G_TYPE_CHECK_INSTANCE_TYPE ((obj), LODEX_TYPE_ROUTE))
#define LODEX_ROUTE_CLASS(klass) (G_TYPE_CHECK_CLASS_CAST ((klass), LODEX_TYPE_ROUTE, LodexRouteClass))
#define LODEX_IS_ROUTE_CLASS(klass) (G_TYPE_CHECK_CLASS_TYPE ((klass), LODEX_TYPE_ROUTE))
#define LODEX_ROUTE_GET_CLASS(obj) (G_TYPE_INSTANCE_GET_CLASS ((obj), LODEX_TYPE_ROUTE, LodexRouteClass))

/**
 * LodexRoute:
 *
 * An ordered series of waypoints and a set of member places. Its own
 * properties are saved by an idle callback shared by all routes: a program
 * that never returns to the main loop loses them.
 *
 * Since: 0.1
 */
struct _LodexRoute
{
  GObject parent_instance;
  LodexRoutePrivate *priv;
};

struct _LodexRouteClass
{
  GObjectClass parent_class;

  void (*waypoints_modified) (LodexRoute *route);
  void (*changed) (LodexRoute *route);
  void (*added) (LodexRoute *route, LodexStore *store);
  void (*removed) (LodexRoute *route, LodexStore *store);
};

GType lodex_route_get_type (void) G_GNUC_CONST;
G_DEFINE_AUTOPTR_CLEANUP_FUNC (LodexRoute, g_object_unref)

LodexRoute *lodex_route_new (const gchar *name, const gchar *description);
gboolean lodex_route_add_waypoint (LodexRoute *route, LodexWaypoint *waypoint);
gboolean lodex_route_add_waypoint_full (LodexRoute *route, LodexWaypoint *waypoint, GError **error);
gboolean lodex_route_remove_waypoint (LodexRoute *route, LodexWaypoint *waypoint);
gboolean lodex_route_remove_waypoint_full (LodexRoute *route, LodexWaypoint *waypoint, GError **error);
gboolean lodex_route_add_place (LodexRoute *route, LodexPlace *place);
gboolean lodex_route_add_place_full (LodexRoute *route, LodexPlace *place, GError **error);
gboolean lodex_route_remove_place (LodexRoute *route, LodexPlace *place);
gboolean lodex_route_remove_place_full (LodexRoute *route, LodexPlace *place, GError **error);
gboolean lodex_route_foreach (LodexRoute *route, LodexWaypointFunc callback, gpointer user_data);
gboolean lodex_route_foreach_full (LodexRoute *route, LodexWaypointFunc callback, gpointer user_data, GError **error);
gboolean lodex_route_foreach_remove (LodexRoute *route, LodexWaypointFunc callback, gpointer user_data);
gboolean lodex_route_foreach_remove_full (LodexRoute *route, LodexWaypointFunc callback, gpointer user_data, GError **error);
GList *lodex_route_get_waypoints (LodexRoute *route);
gboolean lodex_route_get_bounds (LodexRoute *route, LodexRouteBounds *bounds);

G_END_DECLS
