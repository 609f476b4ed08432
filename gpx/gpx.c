/* The GPX document library: the error domain, registered extensions,
 * extension data and the records of a tree. */

#include "gpx-private.h"

GQuark
gpx_error_quark (void)
{
  return g_quark_from_static_string ("gpx-error-quark");
}

/* Registered extensions */

G_LOCK_DEFINE_STATIC (registry);
static GPtrArray *registry; /* of GpxRegistration, never shrinks */

void
gpx_extension_register (const gchar *name, GpxExtension *extension)
{
  g_return_if_fail (name != NULL);
  g_return_if_fail (extension != NULL);
  g_return_if_fail (extension->namespace_uri != NULL);

  G_LOCK (registry);
  if (!registry)
    registry = g_ptr_array_new ();
  GpxRegistration *found = NULL;
  for (guint i = 0; i < registry->len && !found; i++)
    if (g_str_equal (((GpxRegistration *) registry->pdata[i])->name, name))
      found = registry->pdata[i];
  if (!found)
    {
      found = g_new0 (GpxRegistration, 1);
      found->name = g_strdup (name);
      g_ptr_array_add (registry, found);
    }
  found->extension = extension;
  G_UNLOCK (registry);
}

/* The registrations as they are now, in registration order. */
GPtrArray *
_gpx_registrations (void)
{
  GPtrArray *copy = g_ptr_array_new ();
  G_LOCK (registry);
  for (guint i = 0; registry && i < registry->len; i++)
    g_ptr_array_add (copy, registry->pdata[i]);
  G_UNLOCK (registry);
  return copy;
}

GpxExtension *
_gpx_extension_for_namespace (const xmlChar *uri)
{
  GpxExtension *found = NULL;
  if (!uri)
    return NULL;
  G_LOCK (registry);
  for (guint i = 0; registry && i < registry->len && !found; i++)
    {
      GpxExtension *extension = ((GpxRegistration *) registry->pdata[i])->extension;
      if (g_str_equal (extension->namespace_uri, (const char *) uri))
        found = extension;
    }
  G_UNLOCK (registry);
  return found;
}

/* Extension data: one record per extension, on a point or the tree */

typedef struct
{
  GpxExtension *extension;
  gpointer data;
} ExData;

static void
exdata_free_one (ExData *entry, gboolean tree)
{
  GDestroyNotify free_data = tree ? entry->extension->free_tree_data : entry->extension->free_point_data;
  if (entry->data && free_data)
    free_data (entry->data);
  g_free (entry);
}

void
_gpx_exdata_free (GSList *list, gboolean tree)
{
  for (GSList *l = list; l; l = l->next)
    exdata_free_one (l->data, tree);
  g_slist_free (list);
}

GpxExtension *
_gpx_exdata_extension (GSList *link)
{
  return ((ExData *) link->data)->extension;
}

gpointer *
_gpx_exdata_slot (GSList *link)
{
  return &((ExData *) link->data)->data;
}

gpointer
_gpx_exdata_get (GSList *list, GpxExtension *extension)
{
  for (GSList *l = list; l; l = l->next)
    if (((ExData *) l->data)->extension == extension)
      return ((ExData *) l->data)->data;
  return NULL;
}

/* Replaces the extension's record, freeing the one it had. */
GSList *
_gpx_exdata_set (GSList *list, GpxExtension *extension, gpointer data, gboolean tree)
{
  for (GSList *l = list; l; l = l->next)
    {
      ExData *entry = l->data;
      if (entry->extension != extension)
        continue;
      if (entry->data != data)
        {
          gpointer old = entry->data;
          entry->data = data;
          GDestroyNotify free_data = tree ? extension->free_tree_data : extension->free_point_data;
          if (old && free_data)
            free_data (old);
        }
      return list;
    }
  ExData *entry = g_new0 (ExData, 1);
  entry->extension = extension;
  entry->data = data;
  return g_slist_prepend (list, entry);
}

gpointer
gpx_point_get_exdata (GpxPoint *point, GpxExtension *extension)
{
  g_return_val_if_fail (point != NULL, NULL);
  return _gpx_exdata_get (point->exdata, extension);
}

void
gpx_point_set_exdata (GpxPoint *point, GpxExtension *extension, gpointer data)
{
  g_return_if_fail (point != NULL);
  g_return_if_fail (extension != NULL);
  point->exdata = _gpx_exdata_set (point->exdata, extension, data, FALSE);
}

gpointer
gpx_tree_get_exdata (GpxTree *tree, GpxExtension *extension)
{
  g_return_val_if_fail (tree != NULL, NULL);
  return _gpx_exdata_get (tree->exdata, extension);
}

void
gpx_tree_set_exdata (GpxTree *tree, GpxExtension *extension, gpointer data)
{
  g_return_if_fail (tree != NULL);
  g_return_if_fail (extension != NULL);
  tree->exdata = _gpx_exdata_set (tree->exdata, extension, data, TRUE);
}

/* Records */

/* Appends in constant time, keeping the list's last link in @last. */
static void
append (GList **list, GList **last, gpointer data)
{
  GList *link = g_list_alloc ();
  link->data = data;
  link->prev = *last;
  if (*last)
    (*last)->next = link;
  else
    *list = link;
  *last = link;
}

static void
link_free (GpxLink *link)
{
  g_free (link->href);
  g_free (link->text);
  g_free (link->type);
  g_free (link);
}

void
_gpx_point_free (GpxPoint *point)
{
  g_free (point->name);
  g_free (point->cmt);
  g_free (point->desc);
  g_free (point->sym);
  g_free (point->type);
  g_list_free_full (point->links, (GDestroyNotify) link_free);
  g_free (point->extra);
  _gpx_exdata_free (point->exdata, FALSE);
  g_free (point);
}

void
_gpx_route_free (GpxRoute *route)
{
  g_free (route->name);
  g_free (route->cmt);
  g_free (route->desc);
  g_list_free_full (route->points, (GDestroyNotify) _gpx_point_free);
  g_free (route);
}

void
_gpx_track_free (GpxTrack *track)
{
  g_free (track->name);
  g_free (track->cmt);
  g_free (track->desc);
  g_list_free_full (track->segments, (GDestroyNotify) gpx_track_segment_free);
  g_free (track);
}

GpxTree *
gpx_tree_new (const gchar *title, guint flags)
{
  GpxTree *tree = g_new0 (GpxTree, 1);
  tree->title = g_strdup (title);
  return tree;
}

void
gpx_tree_free (GpxTree *tree)
{
  if (!tree)
    return;
  g_free (tree->title);
  g_list_free_full (tree->waypoints, (GDestroyNotify) _gpx_point_free);
  g_list_free_full (tree->routes, (GDestroyNotify) _gpx_route_free);
  g_list_free_full (tree->tracks, (GDestroyNotify) _gpx_track_free);
  _gpx_exdata_free (tree->exdata, TRUE);
  g_free (tree);
}

void
gpx_tree_add_waypoint (GpxTree *tree, GpxPoint *point)
{
  g_return_if_fail (tree != NULL);
  g_return_if_fail (point != NULL);
  append (&tree->waypoints, &tree->last_waypoint, point);
}

void
gpx_tree_add_route (GpxTree *tree, GpxRoute *route)
{
  g_return_if_fail (tree != NULL);
  g_return_if_fail (route != NULL);
  tree->routes = g_list_append (tree->routes, route);
}

void
gpx_tree_add_track (GpxTree *tree, GpxTrack *track)
{
  g_return_if_fail (tree != NULL);
  g_return_if_fail (track != NULL);
  tree->tracks = g_list_append (tree->tracks, track);
}

GpxRoute *
gpx_route_new (const gchar *name, const gchar *desc)
{
  GpxRoute *route = g_new0 (GpxRoute, 1);
  route->name = g_strdup (name);
  route->desc = g_strdup (desc);
  return route;
}

void
gpx_route_add_point (GpxRoute *route, GpxPoint *point)
{
  g_return_if_fail (route != NULL);
  g_return_if_fail (point != NULL);
  append (&route->points, &route->last, point);
}

void
gpx_route_free (GpxRoute *route)
{
  if (route)
    _gpx_route_free (route);
}

void
gpx_track_free (GpxTrack *track)
{
  if (track)
    _gpx_track_free (track);
}

GpxTrack *
gpx_track_new (const gchar *name, const gchar *desc)
{
  GpxTrack *track = g_new0 (GpxTrack, 1);
  track->name = g_strdup (name);
  track->desc = g_strdup (desc);
  return track;
}

GpxTrackSegment *
gpx_track_segment_new (void)
{
  return g_new0 (GpxTrackSegment, 1);
}

void
gpx_track_segment_add_point (GpxTrackSegment *segment, GpxPoint *point)
{
  g_return_if_fail (segment != NULL);
  g_return_if_fail (point != NULL);
  append (&segment->points, &segment->last, point);
}

void
gpx_track_add_segment (GpxTrack *track, GpxTrackSegment *segment)
{
  g_return_if_fail (track != NULL);
  g_return_if_fail (segment != NULL);
  track->segments = g_list_append (track->segments, segment);
}

void
gpx_track_segment_free (GpxTrackSegment *segment)
{
  if (!segment)
    return;
  g_list_free_full (segment->points, (GDestroyNotify) _gpx_point_free);
  g_free (segment);
}

GpxPoint *
gpx_point_new (gdouble latitude, gdouble longitude, gdouble elevation, const GpxTime *time)
{
  GpxPoint *point = g_new0 (GpxPoint, 1);
  point->flags = GPX_POINT_ELEVATION;
  point->latitude = latitude;
  point->longitude = longitude;
  point->elevation = elevation;
  if (time)
    {
      point->flags |= GPX_POINT_TIME;
      point->time = *time;
    }
  return point;
}

void
gpx_point_free (GpxPoint *point)
{
  if (point)
    _gpx_point_free (point);
}

GpxPointExtra *
gpx_point_extra_new (void)
{
  return g_new0 (GpxPointExtra, 1);
}

/* libxml2 reports some problems (encodings, input and output) to handlers
 * of the thread, which would print them: while we work, the structured one
 * is ours and the plain one, which only repeats them, says nothing. */
static void
say_nothing (void *context, const char *format, ...)
{
}

GpxErrorHandler
_gpx_catch_errors (xmlStructuredErrorFunc handler, void *context)
{
  GpxErrorHandler previous = {xmlStructuredError, xmlStructuredErrorContext, xmlGenericError,
                              xmlGenericErrorContext};
  xmlSetStructuredErrorFunc (context, handler);
  xmlSetGenericErrorFunc (NULL, say_nothing);
  return previous;
}

void
_gpx_restore_errors (GpxErrorHandler previous)
{
  xmlSetStructuredErrorFunc (previous.context, previous.handler);
  xmlSetGenericErrorFunc (previous.generic_context, previous.generic);
}
