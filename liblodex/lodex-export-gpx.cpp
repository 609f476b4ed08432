/* GPX export: a set's places as waypoints carrying the place-data
 * extension, and a route or track with its member places, streamed into a
 * file that replaces its target once complete. */

#include "lodex-extension.h"
#include "lodex-export-file.hpp"
#include "lodex-db-private.hpp"

#include <liblodex/lodex-export.h>

#include <optional>

namespace
{

/* The point of a place; its extension data takes the row, the address and
 * the category names. Without the extension, the first category goes as
 * <type> and the icon as <sym>, where other applications look for them. */
GpxPoint *
point_for_place (lodex::ExportedPlace &place, GpxExtension *extension)
{
  LodexPlaceRow *row = place.row;
  GpxTime created = {row->ctime, 0};
  /* no creation time is better left out than written as 1970 */
  GpxPoint *point = gpx_point_new (row->latitude, row->longitude, row->altitude, row->ctime ? &created : nullptr);
  if (!(row->fields & LODEX_PLACE_FIELD_ALTITUDE))
    point->flags &= ~GPX_POINT_ELEVATION;
  point->name = g_strdup (row->name);
  point->desc = g_strdup (row->description);
  point->cmt = g_strdup (row->comment);
  if (row->fields & (LODEX_PLACE_FIELD_HACCURACY | LODEX_PLACE_FIELD_VACCURACY))
    point->extra = gpx_point_extra_new ();
  if (row->fields & LODEX_PLACE_FIELD_HACCURACY)
    {
      point->extra->hdop = row->haccuracy;
      point->flags |= GPX_POINT_HDOP;
    }
  if (row->fields & LODEX_PLACE_FIELD_VACCURACY)
    {
      point->extra->vdop = row->vaccuracy;
      point->flags |= GPX_POINT_VDOP;
    }

  for (GList *l = place.links; l; l = l->next)
    {
      auto link = static_cast<LodexPlaceLink *> (l->data);
      auto gpx_link = g_new0 (GpxLink, 1);
      gpx_link->href = g_steal_pointer (&link->url);
      gpx_link->text = g_steal_pointer (&link->name);
      gpx_link->type = g_steal_pointer (&link->mime);
      point->links = g_list_append (point->links, gpx_link);
    }

  if (!extension)
    {
      if (row->icon && *row->icon)
        point->sym = g_strdup (row->icon);
      if (place.category_names)
        point->type = g_strdup (static_cast<const gchar *> (place.category_names->data));
      return point;
    }
  auto data = g_new0 (LodexExtensionPointData, 1);
  data->row = static_cast<LodexPlaceRow *> (g_steal_pointer (&place.row));
  data->address = static_cast<LodexPlaceAddress *> (g_steal_pointer (&place.address));
  data->category_names = static_cast<GList *> (g_steal_pointer (&place.category_names));
  gpx_point_set_exdata (point, extension, data);
  return point;
}

/* The writer's failure as the export's: an output that failed names the
 * file. */
void
writer_failed (GError *failure, const char *filename, GError **error)
{
  if (failure->domain == G_FILE_ERROR)
    g_set_error (error, G_FILE_ERROR, failure->code, "Failed to write %s: %s", filename, failure->message);
  else
    {
      _lodex_error_from_gpx (failure);
      g_propagate_error (error, g_error_copy (failure));
    }
  g_error_free (failure);
}

/* One waypoint per place of @walk, and the store's category list. */
bool
write_places (lodex::ExportWalk &walk, GpxWriter *writer, GpxExtension *extension, GError **error)
{
  if (extension)
    {
      GPtrArray *categories = walk.categories (error);
      if (!categories)
        return false;
      LodexExtensionTreeData *tree = lodex_extension_tree_data_new ();
      g_ptr_array_unref (tree->categories);
      tree->categories = categories;
      gpx_writer_set_exdata (writer, extension, tree);
    }

  lodex::ExportedPlace place;
  GError *failure = nullptr;
  while (walk.next (place, &failure))
    {
      GpxPoint *point = point_for_place (place, extension);
      bool written = gpx_writer_add_waypoint (writer, point);
      gpx_point_free (point);
      if (!written)
        return true; /* gpx_writer_finish () tells why */
    }
  if (failure)
    {
      g_propagate_error (error, failure);
      return false;
    }
  return true;
}

/* Writes the places of @places, then what @add_records adds (GPX puts
 * waypoints before routes and tracks), into a file that replaces
 * @filename once complete. */
template <typename Add>
gboolean
export_gpx (const char *filename, const char *title, lodex::ExportWalk *places, bool with_extension, GError **error, Add add_records)
{
  GpxExtension *extension = with_extension ? lodex_extension_get () : nullptr;
  lodex::ExportFile file (filename);
  if (!file.open (error))
    return FALSE;
  GpxWriter *writer = gpx_writer_new (file.fd (), title);
  bool read = (!places || write_places (*places, writer, extension, error)) && add_records (writer, error);
  GError *failure = nullptr;
  bool written = read && gpx_writer_finish (writer, &failure);
  gpx_writer_free (writer);
  if (failure)
    writer_failed (failure, filename, error);
  return written && file.commit (error);
}

GpxPoint *
point_for_waypoint (LodexWaypoint *waypoint)
{
  LodexWaypointRow *row = _lodex_waypoint_get_row (waypoint);
  GpxTime created = {row->ctime, 0};
  GpxPoint *point = gpx_point_new (row->latitude, row->longitude, row->altitude, row->ctime ? &created : nullptr);
  if (!_lodex_waypoint_has_altitude (waypoint)) /* not an elevation of 0 */
    point->flags &= ~GPX_POINT_ELEVATION;
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

bool
is_track (LodexRoute *route)
{
  g_autofree gchar *type = nullptr;
  g_object_get (route, "type", &type, nullptr);
  return g_strcmp0 (type, "track") == 0;
}

/* @route as a track when its type is "track", as a route otherwise; its
 * waypoints read on @db, none without one. */
void
write_route (GpxWriter *writer, LodexRoute *route, sqlite3 *db)
{
  LodexRouteRow *row = _lodex_route_get_row (route);
  if (is_track (route))
    {
      TrackWalk walk = {gpx_track_new (row->name, row->description), gpx_track_segment_new ()};
      walk.track->cmt = g_strdup (row->comment);
      if (db)
        lodex_db_select_update_waypoints (db, row->id, add_track_point, &walk);
      /* points after the last segment end form a last segment */
      if (walk.segment->points)
        gpx_track_add_segment (walk.track, walk.segment);
      else
        gpx_track_segment_free (walk.segment);
      gpx_writer_add_track (writer, walk.track);
      gpx_track_free (walk.track);
    }
  else
    {
      GpxRoute *gpx_route = gpx_route_new (row->name, row->description);
      gpx_route->cmt = g_strdup (row->comment);
      if (db)
        lodex_db_select_update_waypoints (db, row->id, add_route_point, gpx_route);
      gpx_writer_add_route (writer, gpx_route);
      gpx_route_free (gpx_route);
    }
}

/* The store's routes, then its tracks (GPX puts every route before the
 * first track), read on @db: objects of no store, so that an export may
 * run in any thread. */
bool
write_store_routes (GpxWriter *writer, sqlite3 *db, GError **error)
{
  lodex::db::Quiet quiet;
  g_autoptr (GPtrArray) ids = g_ptr_array_new_with_free_func (g_free);
  {
    lodex::db::Statement statement = lodex::db::borrow (db, "SELECT id FROM routes ORDER BY rowid");
    int res = statement ? SQLITE_ROW : SQLITE_ERROR;
    while (statement && (res = _lodex_db_step (statement.get ())) == SQLITE_ROW)
      g_ptr_array_add (ids, lodex::db::column_strdup (statement.get (), 0));
    if (res != SQLITE_DONE)
      {
        _lodex_set_database_error (error, db, "The routes could not be read");
        return false;
      }
  }
  g_autoptr (GPtrArray) routes = g_ptr_array_new_with_free_func (g_object_unref);
  for (guint i = 0; i < ids->len; i++)
    if (LodexRoute *route = lodex_db_get_route_by_id (db, static_cast<const char *> (ids->pdata[i])))
      g_ptr_array_add (routes, route);
  for (bool tracks : {false, true})
    for (guint i = 0; i < routes->len; i++)
      {
        auto route = LODEX_ROUTE (routes->pdata[i]);
        if (is_track (route) == tracks)
          write_route (writer, route, db);
      }
  return true;
}

} // namespace

bool
lodex::export_gpx (ExportWalk &walk, bool whole_store, const char *filename, const ExportSettings &settings, GError **error) noexcept
{
  return ::export_gpx (filename, "Exported data from Lodex database", &walk, settings.extension, error,
                       [&] (GpxWriter *writer, GError **error) {
                         if (!whole_store || !settings.routes)
                           return true;
                         sqlite3 *db = walk.db ();
                         return db && write_store_routes (writer, db, error);
                       });
}

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
 * The file is written beside @filename and takes its name only once it is
 * complete: when the export fails (a full disk, a database that cannot be
 * read to its end), @filename is left as it was.
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
  g_return_val_if_fail (error == NULL || *error == NULL, FALSE);
  lodex::ExportWalk walk (set);
  return export_gpx (filename, "Exported data from Lodex database", &walk, true, error, [] (GpxWriter *, GError **) { return true; });
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
 * lodex_export_set_to_gpx_file() writes them, and as it does, replacing
 * @filename only once the file is complete.
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
  g_return_val_if_fail (error == NULL || *error == NULL, FALSE);

  /* a route in no store has neither waypoints nor places to read */
  LodexStore *store = _lodex_route_get_store (route);
  g_autoptr (LodexRouteFilter) places = nullptr;
  std::optional<lodex::ExportWalk> walk;
  if (store)
    {
      places = lodex_route_filter_new (LODEX_SET (store));
      g_object_set (places, "route", route, nullptr);
      walk.emplace (LODEX_SET (places));
    }

  return export_gpx (filename, "Exported route from Lodex database", walk ? &*walk : nullptr, true, error,
                     [&] (GpxWriter *writer, GError **) {
                       write_route (writer, route, store ? _lodex_set_get_db (LODEX_SET (store)) : nullptr);
                       return true;
                     });
}
