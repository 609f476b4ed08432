/* GPX export: a set's places as waypoints carrying the place-data
 * extension, and a route or track with its member places. */

#include "lodex-extension.h"

#include <liblodex/lodex-export.h>

namespace
{

/* The names of every place's categories, by place id: one walk per
 * category costs far less than a query per place. */
GHashTable *
category_names (LodexStore *store, GList *categories)
{
  GHashTable *names = g_hash_table_new_full (g_str_hash, g_str_equal, g_free, [] (gpointer list) {
    g_list_free_full (static_cast<GList *> (list), g_free);
  });
  for (GList *c = categories; c; c = c->next)
    {
      g_autofree gchar *name = nullptr;
      if (c->data)
        g_object_get (c->data, "name", &name, nullptr);
      if (!name || !store)
        continue;
      g_autoptr (LodexCategoryFilter) members = lodex_category_filter_new (LODEX_SET (store));
      g_object_set (members, "category", c->data, nullptr);
      for (LodexPlace *place = lodex_set_first (LODEX_SET (members)); place;
           place = lodex_set_next (LODEX_SET (members)))
        {
          const gchar *id = _lodex_place_get_row (place)->id;
          auto list = static_cast<GList *> (g_hash_table_lookup (names, id));
          if (!list)
            g_hash_table_insert (names, g_strdup (id), g_list_prepend (nullptr, g_strdup (name)));
          else if (!g_list_find_custom (list, name, GCompareFunc (g_strcmp0)))
            list = g_list_append (list, g_strdup (name)); /* the head stays */
          g_object_unref (place);
        }
    }
  return names;
}

/* A plain copy of a place's row, which the point's extension data keeps
 * instead of the live place. */
LodexPlaceRow *
copy_row (const LodexPlaceRow *row)
{
  LodexPlaceRow *copy = _lodex_place_row_new ();
  copy->fields = row->fields;
  copy->id = g_strdup (row->id);
  copy->latitude = row->latitude;
  copy->longitude = row->longitude;
  copy->altitude = row->altitude;
  copy->name = g_strdup (row->name);
  copy->icon = g_strdup (row->icon);
  copy->haccuracy = row->haccuracy;
  copy->vaccuracy = row->vaccuracy;
  copy->description = g_strdup (row->description);
  copy->comment = g_strdup (row->comment);
  copy->coverage = row->coverage;
  copy->presence = g_strdup (row->presence);
  copy->ctime = row->ctime;
  return copy;
}

/* A copy of the address, or NULL when it has no field set. */
LodexPlaceAddress *
copy_address (const LodexPlaceAddress *address)
{
  LodexPlaceAddress *copy = nullptr;
  for (const lodex::AddressField &field : lodex::address_fields)
    if (address->*field.member)
      {
        if (!copy)
          copy = _lodex_place_address_new ();
        copy->*field.member = g_strdup (address->*field.member);
      }
  return copy;
}

/* The point of a place, with the extension data that carries the rest. */
GpxPoint *
point_for_place (LodexPlace *place, GpxExtension *extension, GHashTable *names)
{
  LodexPlaceRow *row = _lodex_place_get_row (place);
  GpxTime created = {row->ctime, 0};
  /* no creation time is better left out than written as 1970 */
  GpxPoint *point = gpx_point_new (row->latitude, row->longitude, row->altitude, row->ctime ? &created : nullptr);
  if (!(row->fields & LODEX_PLACE_FIELD_ALTITUDE))
    point->flags &= ~GPX_POINT_ELEVATION;
  point->name = g_strdup (row->name);
  point->desc = g_strdup (row->description);
  point->cmt = g_strdup (row->comment);
  if (row->fields & LODEX_PLACE_FIELD_HACCURACY)
    {
      point->extra = gpx_point_extra_new ();
      point->extra->hdop = row->haccuracy;
      point->flags |= GPX_POINT_HDOP;
    }
  if (row->fields & LODEX_PLACE_FIELD_VACCURACY)
    {
      if (!point->extra)
        point->extra = gpx_point_extra_new ();
      point->extra->vdop = row->vaccuracy;
      point->flags |= GPX_POINT_VDOP;
    }

  GList *links = lodex_place_get_links (place);
  for (GList *l = links; l; l = l->next)
    {
      auto link = static_cast<LodexPlaceLink *> (l->data);
      auto gpx_link = g_new0 (GpxLink, 1);
      gpx_link->href = g_strdup (link->url);
      gpx_link->text = g_strdup (link->name);
      gpx_link->type = g_strdup (link->mime);
      point->links = g_list_append (point->links, gpx_link);
    }
  g_list_free_full (links, GDestroyNotify (lodex_place_link_free));

  auto data = g_new0 (LodexExtensionPointData, 1);
  data->row = copy_row (row);
  data->address = copy_address (_lodex_place_get_address (place));
  auto member_of = static_cast<GList *> (g_hash_table_lookup (names, row->id));
  data->category_names = g_list_copy_deep (
    member_of, [] (gconstpointer name, gpointer) -> gpointer { return g_strdup (static_cast<const gchar *> (name)); },
    nullptr);
  gpx_point_set_exdata (point, extension, data);
  return point;
}

/* One waypoint per place of @set, and the store's category list. */
void
add_waypoints (LodexSet *set, GpxExtension *extension, GpxTree *tree)
{
  g_autoptr (LodexStore) store = lodex_set_get_store (set);
  auto data = g_new0 (LodexExtensionTreeData, 1);
  data->categories = store ? lodex_store_categories (store) : nullptr;
  gpx_tree_set_exdata (tree, extension, data);

  GHashTable *names = category_names (store, data->categories);
  for (LodexPlace *place = lodex_set_first (set); place; place = lodex_set_next (set))
    {
      gpx_tree_add_waypoint (tree, point_for_place (place, extension, names));
      g_object_unref (place);
    }
  g_hash_table_unref (names);
}

GpxPoint *
point_for_waypoint (LodexWaypoint *waypoint)
{
  LodexWaypointRow *row = _lodex_waypoint_get_row (waypoint);
  GpxTime created = {row->ctime, 0};
  GpxPoint *point = gpx_point_new (row->latitude, row->longitude, row->altitude, row->ctime ? &created : nullptr);
  point->name = g_strdup (row->name);
  point->desc = g_strdup (row->desc);
  point->sym = g_strdup (row->sym);
  point->type = g_strdup (row->type);
  return point;
}

gboolean
add_route_point (LodexWaypoint *waypoint, gpointer data)
{
  gpx_route_add_point (static_cast<GpxRoute *> (data), point_for_waypoint (waypoint));
  return FALSE;
}

struct TrackWalk
{
  GpxTrack *track;
  GpxTrackSegment *segment; /* not yet in the track */
};

gboolean
add_track_point (LodexWaypoint *waypoint, gpointer data)
{
  auto walk = static_cast<TrackWalk *> (data);
  gpx_track_segment_add_point (walk->segment, point_for_waypoint (waypoint));
  if (_lodex_waypoint_get_row (waypoint)->segment_end)
    {
      gpx_track_add_segment (walk->track, walk->segment);
      walk->segment = gpx_track_segment_new ();
    }
  return FALSE;
}

} // namespace

/**
 * lodex_export_set_to_gpx_file:
 * @set: the places to write
 * @filename: the file to write, replaced if it exists
 * @error: return location for a #GError
 *
 * Writes the places of @set as GPX 1.1 waypoints. What GPX has no room for
 * (id, icon, presence, coverage, address, categories) and the store's
 * category list travel in the place-data extension, so that
 * lodex_import_from_gpx_file() restores all of it.
 *
 * Returns: whether the file was written
 *
 * Since: 0.1
 */
gboolean
lodex_export_set_to_gpx_file (LodexSet *set, const char *filename, GError **error)
{
  g_return_val_if_fail (set != NULL, FALSE);
  g_return_val_if_fail (LODEX_IS_SET (set), FALSE);
  g_return_val_if_fail (filename != NULL, FALSE);

  GpxExtension *extension = lodex_extension_get ();
  GpxTree *tree = gpx_tree_new ("Exported data from Lodex database", 0);
  add_waypoints (set, extension, tree);

  GError *failure = nullptr;
  gboolean written = gpx_tree_write_to_file (tree, filename, &failure);
  if (!written)
    {
      g_warning ("Writing out GPX data to file failed: %s", failure->message);
      g_propagate_error (error, failure);
    }
  gpx_tree_free (tree);
  return written;
}

/**
 * lodex_export_route_to_gpx_file:
 * @route: a stored route
 * @filename: the file to write, replaced if it exists
 * @error: return location for a #GError
 *
 * Writes @route as a GPX track when its "type" is "track", with a segment
 * ending at each waypoint marked as a segment end, and as a GPX route
 * otherwise; the route's member places go with it as waypoints, as
 * lodex_export_set_to_gpx_file() writes them.
 *
 * Returns: whether the file was written
 *
 * Since: 0.1
 */
gboolean
lodex_export_route_to_gpx_file (LodexRoute *route, const char *filename, GError **error)
{
  g_return_val_if_fail (LODEX_IS_ROUTE (route), FALSE);
  g_return_val_if_fail (filename != NULL, FALSE);

  GpxExtension *extension = lodex_extension_get ();
  GpxTree *tree = gpx_tree_new ("Exported route from Lodex database", 0);
  LodexRouteRow *row = _lodex_route_get_row (route);
  g_autofree gchar *type = nullptr;
  g_object_get (route, "type", &type, nullptr);
  /* a route in no store has neither waypoints nor places to read */
  LodexStore *store = _lodex_route_get_store (route);

  if (g_strcmp0 (type, "track") == 0)
    {
      TrackWalk walk = {gpx_track_new (row->name, row->description), gpx_track_segment_new ()};
      walk.track->cmt = g_strdup (row->comment);
      gpx_tree_add_track (tree, walk.track);
      if (store)
        lodex_route_foreach (route, add_track_point, &walk);
      /* points after the last segment end form a last segment */
      if (walk.segment->points)
        gpx_track_add_segment (walk.track, walk.segment);
      else
        gpx_track_segment_free (walk.segment);
    }
  else
    {
      GpxRoute *gpx_route = gpx_route_new (row->name, row->description);
      gpx_route->cmt = g_strdup (row->comment);
      gpx_tree_add_route (tree, gpx_route);
      if (store)
        lodex_route_foreach (route, add_route_point, gpx_route);
    }

  if (store)
    {
      g_autoptr (LodexRouteFilter) places = lodex_route_filter_new (LODEX_SET (store));
      g_object_set (places, "route", route, nullptr);
      add_waypoints (LODEX_SET (places), extension, tree);
    }

  gboolean written = gpx_tree_write_to_file (tree, filename, error);
  gpx_tree_free (tree);
  return written;
}
