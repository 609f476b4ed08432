/* GPX import: the GPX library's stream of records into the import engine.
 * Waypoints become places, routes and tracks become routes; what the
 * place-data extension carries is restored. */

#include "lodex-extension.h"
#include "lodex-importer.hpp"

#include <liblodex/lodex-import.h>

namespace
{

struct GpxImport
{
  lodex::Importer &importer;
  GpxExtension *extension;
  GpxExtension *garmin;
  LodexWaypointRow pending = {}; /* the last track point read, kept until we know whether it ends its segment */
  bool has_pending = false;
  bool pending_altitude = false;
  /* optional values left out: how many, and the first */
  guint dropped = 0;
  gchar *first_dropped = nullptr;

  ~GpxImport ()
  {
    clear_pending ();
    g_free (first_dropped);
  }

  void
  clear_pending ()
  {
    for (gchar *LodexWaypointRow::*field : {&LodexWaypointRow::id, &LodexWaypointRow::route_id, &LodexWaypointRow::name,
                                            &LodexWaypointRow::desc, &LodexWaypointRow::sym, &LodexWaypointRow::type})
      g_clear_pointer (&(pending.*field), g_free);
    has_pending = false;
  }
};

GpxImport *
of (gpointer data)
{
  return static_cast<GpxImport *> (data);
}

/* The place a waypoint stands for: the extension's row, with its id, icon,
 * presence, coverage and address, or a new one; filled from the point. */
gboolean
on_waypoint (GpxPoint *point, gpointer data, GError **error)
{
  GpxImport *import = of (data);
  auto extra = static_cast<LodexExtensionPointData *> (gpx_point_get_exdata (point, import->extension));
  bool ours = extra && extra->row; /* our own extension names the categories */
  g_autoptr (LodexPlaceRow) row = extra && extra->row ? static_cast<LodexPlaceRow *> (g_steal_pointer (&extra->row))
                                                      : _lodex_place_row_new ();
  g_autoptr (LodexPlaceAddress) address = extra ? static_cast<LodexPlaceAddress *> (g_steal_pointer (&extra->address))
                                                : nullptr;
  if (extra)
    import->importer.count_dropped (extra->dropped);
  auto garmin = static_cast<LodexGarminPointData *> (gpx_point_get_exdata (point, import->garmin));
  if (!address && garmin && garmin->address)
    address = static_cast<LodexPlaceAddress *> (g_steal_pointer (&garmin->address));

  row->latitude = point->latitude;
  row->longitude = point->longitude;
  if (point->flags & GPX_POINT_ELEVATION)
    {
      row->altitude = point->elevation;
      row->fields |= LODEX_PLACE_FIELD_ALTITUDE;
    }
  if ((point->flags & GPX_POINT_HDOP) && point->extra)
    {
      row->haccuracy = point->extra->hdop;
      row->fields |= LODEX_PLACE_FIELD_HACCURACY;
    }
  if ((point->flags & GPX_POINT_VDOP) && point->extra)
    {
      row->vaccuracy = point->extra->vdop;
      row->fields |= LODEX_PLACE_FIELD_VACCURACY;
    }
  g_free (row->name);
  row->name = g_steal_pointer (&point->name);
  g_free (row->description);
  row->description = g_steal_pointer (&point->desc);
  g_free (row->comment);
  row->comment = g_steal_pointer (&point->cmt);
  row->ctime = (point->flags & GPX_POINT_TIME) ? point->time.seconds : 0;
  /* other applications' symbol name: the nearest thing to our icon */
  if ((!row->icon || !*row->icon) && point->sym && *point->sym)
    {
      g_free (row->icon);
      row->icon = g_steal_pointer (&point->sym);
    }

  GList *links = nullptr;
  for (GList *l = point->links; l; l = l->next)
    {
      auto gpx_link = static_cast<GpxLink *> (l->data);
      LodexPlaceLink *link = lodex_place_link_new ();
      link->name = g_steal_pointer (&gpx_link->text);
      link->url = g_steal_pointer (&gpx_link->href);
      link->mime = g_steal_pointer (&gpx_link->type);
      links = g_list_prepend (links, link);
    }
  links = g_list_reverse (links);
  bool added = false;
  bool stored = import->importer.add_place (row, address, links, &added, error);
  g_list_free_full (links, GDestroyNotify (lodex_place_link_free));
  if (!stored || !added)
    return stored;
  /* other applications keep a waypoint's group in <type>, Garmin's in its
   * extension */
  if (!ours)
    {
      if (point->type && *g_strstrip (point->type)
          && !import->importer.join_category (row->id, point->type, nullptr, error))
        return FALSE;
      for (GList *l = garmin ? garmin->category_names : nullptr; l; l = l->next)
        {
          auto name = static_cast<const gchar *> (l->data);
          if (g_strcmp0 (name, point->type) != 0
              && g_list_find_custom (garmin->category_names, name, GCompareFunc (g_strcmp0)) == l
              && !import->importer.join_category (row->id, name, nullptr, error))
            return FALSE;
        }
      return TRUE;
    }

  /* memberships by name, once the file's category list is in */
  for (GList *l = extra->category_names; l; l = l->next)
    {
      auto name = static_cast<const gchar *> (l->data);
      if (g_list_find_custom (extra->category_names, name, GCompareFunc (g_strcmp0)) != l)
        continue; /* named twice: one membership */
      if (!import->importer.join_category_later (row->id, name, error))
        return FALSE;
    }
  return TRUE;
}

/* The file's category list: a name the database does not know yet is
 * added. */
gboolean
on_tree_data (GpxExtension *extension, gpointer *exdata, gpointer data, GError **error)
{
  GpxImport *import = of (data);
  auto tree = static_cast<LodexExtensionTreeData *> (*exdata);
  if (extension != import->extension || !tree)
    return TRUE;
  for (guint i = 0; i < tree->categories->len; i++)
    {
      auto category = static_cast<LodexCategoryRow *> (tree->categories->pdata[i]);
      if (!import->importer.add_category (category->name, category->description, error))
        return FALSE;
    }
  return TRUE;
}

bool
add_point (GpxImport *import, GpxPoint *point, bool segment_end, GError **error)
{
  LodexWaypointRow row = {};
  row.latitude = point->latitude;
  row.longitude = point->longitude;
  row.altitude = (point->flags & GPX_POINT_ELEVATION) ? point->elevation : 0.0;
  /* a waypoint's time has room for 1970 to 2038 only */
  row.ctime = (point->flags & GPX_POINT_TIME) ? gint (CLAMP (point->time.seconds, gint64 (0), gint64 (G_MAXINT))) : 0;
  row.name = point->name;
  row.desc = point->desc;
  row.sym = point->sym;
  row.type = point->type;
  row.segment_end = segment_end;
  bool added = import->importer.add_waypoint (&row, (point->flags & GPX_POINT_ELEVATION) != 0, error);
  g_free (row.id);
  g_free (row.route_id);
  return added;
}

gboolean
on_route_start (gpointer data, GError **error)
{
  return of (data)->importer.begin_route (error);
}

gboolean
on_route_point (GpxPoint *point, gpointer data, GError **error)
{
  return add_point (of (data), point, false, error);
}

gboolean
on_route_end (GpxRoute *route, gpointer data, GError **error)
{
  return of (data)->importer.end_route (route->name, route->cmt, route->desc, nullptr, error);
}

gboolean
on_track_start (gpointer data, GError **error)
{
  return of (data)->importer.begin_route (error);
}

/* The point before is written now: it does not end its segment. */
bool
write_pending (GpxImport *import, bool segment_end, GError **error)
{
  if (!import->has_pending)
    return true;
  import->pending.segment_end = segment_end;
  g_clear_pointer (&import->pending.id, g_free);
  bool added = import->importer.add_waypoint (&import->pending, import->pending_altitude, error);
  import->clear_pending ();
  return added;
}

gboolean
on_track_point (GpxPoint *point, gpointer data, GError **error)
{
  GpxImport *import = of (data);
  if (!write_pending (import, false, error))
    return FALSE;
  LodexWaypointRow &row = import->pending;
  row.latitude = point->latitude;
  row.longitude = point->longitude;
  row.altitude = (point->flags & GPX_POINT_ELEVATION) ? point->elevation : 0.0;
  row.ctime = (point->flags & GPX_POINT_TIME) ? gint (CLAMP (point->time.seconds, gint64 (0), gint64 (G_MAXINT))) : 0;
  row.name = g_steal_pointer (&point->name);
  row.desc = g_steal_pointer (&point->desc);
  row.sym = g_steal_pointer (&point->sym);
  row.type = g_steal_pointer (&point->type);
  import->pending_altitude = (point->flags & GPX_POINT_ELEVATION) != 0;
  import->has_pending = true;
  return TRUE;
}

gboolean
on_segment_end (gpointer data, GError **error)
{
  return write_pending (of (data), true, error);
}

gboolean
on_track_end (GpxTrack *track, gpointer data, GError **error)
{
  GpxImport *import = of (data);
  return write_pending (import, true, error)
         && import->importer.end_route (track->name, track->cmt, track->desc, "track", error);
}

void
on_dropped (const gchar *element, glong line, const gchar *text, gpointer data)
{
  GpxImport *import = of (data);
  if (import->dropped++ == 0)
    import->first_dropped = g_strdup_printf ("<%s> on line %ld: \"%s\"", element, line, text);
}

void
on_progress (goffset done, goffset total, gpointer data)
{
  of (data)->importer.read (done, total);
}

} // namespace

bool
lodex::import_gpx (Importer &importer, const char *filename, GError **error) noexcept
{
  static const GpxReadHandler handler = {
    .waypoint = on_waypoint,
    .route_start = on_route_start,
    .route_point = on_route_point,
    .route_end = on_route_end,
    .track_start = on_track_start,
    .segment_start = nullptr,
    .track_point = on_track_point,
    .segment_end = on_segment_end,
    .track_end = on_track_end,
    .tree_data = on_tree_data,
    .title = nullptr,
    .dropped = on_dropped,
    .progress = on_progress,
  };
  GpxImport import{importer, lodex_extension_get (), lodex_garmin_extension_get ()};
  importer.set_routes_hold_places (true);
  if (!gpx_read_file (filename, &handler, &import, error))
    {
      _lodex_error_from_gpx (error ? *error : nullptr);
      return false;
    }
  importer.count_dropped (import.dropped);
  if (importer.result ().dropped)
    g_debug ("%s: %u optional values could not be read and were left out%s%s", filename, importer.result ().dropped,
             import.first_dropped ? ", the first " : "", import.first_dropped ? import.first_dropped : "");
  return true;
}

/**
 * lodex_import_from_gpx_file:
 * @store: a #LodexStore
 * @filename: a GPX 1.0 or 1.1 file
 * @error: return location for a #GError
 *
 * Stores every waypoint of the file as a place, and every route and track
 * as a #LodexRoute holding the file's places (a track has the type "track"
 * and marks the last point of each segment). A waypoint written with the
 * place-data extension keeps its id and every field; one whose id is
 * already in the store is left as it is there.
 *
 * The file is read as it is stored, in one transaction: the whole file or
 * nothing. A missing or unreadable latitude or longitude fails the file;
 * an optional value that cannot be read (an elevation, a time, a dilution)
 * is left out, and a point without one has none in the store either.
 *
 * The errors: %G_FILE_ERROR when the file cannot be opened or read;
 * in %LODEX_ERROR, %LODEX_ERROR_PARSE when it is not well-formed XML or
 * ends too early, %LODEX_ERROR_INVALID when it is not a GPX document or a
 * position is missing or cannot be read, %LODEX_ERROR_STORE or
 * %LODEX_ERROR_BUSY when the database refused what was read,
 * %LODEX_ERROR_DATABASE when it could not be opened. Each message
 * names the file, and the line where there is one.
 *
 * Returns: whether the whole file was read and stored; on failure @error
 *   names the line that is wrong, or says what the database refused
 *
 * Since: 0.1
 */
gboolean
lodex_import_from_gpx_file (LodexStore *store, const char *filename, GError **error)
{
  g_return_val_if_fail (store != NULL, FALSE);
  g_return_val_if_fail (filename != NULL, FALSE);
  g_return_val_if_fail (LODEX_IS_STORE (store), FALSE);
  return lodex::import_file (store, filename, false, nullptr, nullptr, nullptr, error);
}
