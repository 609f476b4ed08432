/* GPX import: waypoints become places, routes and tracks become routes;
 * what the place-data extension carries is restored. */

#include "lodex-extension.h"

#include <liblodex/lodex-import.h>

namespace
{

/* Places stored per transaction: a long import lets other writers in
 * between, and its announcements go out as it goes. */
constexpr guint places_per_batch = 1000;

struct Import
{
  LodexStore *store;
  GpxExtension *extension;
  GHashTable *categories;  /* name to its category, or to NULL when there is none */
  GList *places = nullptr; /* the file's places, a reference each, for its routes */
  bool keep_places = false;
  gchar *failure = nullptr; /* the first thing that could not be stored */
  guint failures = 0;

  ~Import ()
  {
    g_hash_table_unref (categories);
    g_list_free_full (places, g_object_unref);
    g_free (failure);
  }
};

void failed (Import *import, const char *format, ...) G_GNUC_PRINTF (2, 3);

void
failed (Import *import, const char *format, ...)
{
  if (import->failures++ == 0)
    {
      va_list args;
      va_start (args, format);
      import->failure = g_strdup_vprintf (format, args);
      va_end (args);
    }
}

/* The file's category list: a name the store does not know yet is added. */
void
import_categories (Import *import, GpxTree *tree)
{
  auto data = static_cast<LodexExtensionTreeData *> (gpx_tree_get_exdata (tree, import->extension));
  for (GList *l = data ? data->categories : nullptr; l; l = l->next)
    {
      auto category = LODEX_CATEGORY (l->data);
      g_autofree gchar *name = nullptr;
      g_object_get (category, "name", &name, nullptr);
      g_autoptr (LodexCategory) present = lodex_store_get_category_by_name (import->store, name);
      if (!present && !lodex_store_add_category (import->store, category))
        failed (import, "category \"%s\"", name);
    }
}

LodexCategory *
category_named (Import *import, const gchar *name)
{
  gpointer category;
  if (!g_hash_table_lookup_extended (import->categories, name, nullptr, &category))
    {
      category = lodex_store_get_category_by_name (import->store, name);
      g_hash_table_insert (import->categories, g_strdup (name), category);
    }
  return static_cast<LodexCategory *> (category);
}

void
replace (gchar **slot, const gchar *value)
{
  g_free (*slot);
  *slot = g_strdup (value);
}

/* The place a waypoint stands for: the extension's, which has its id,
 * icon, presence, coverage and address, or a new one. */
LodexPlace *
place_for_point (Import *import, GpxPoint *point)
{
  auto data = static_cast<LodexExtensionPointData *> (gpx_point_get_exdata (point, import->extension));
  LodexPlace *place;
  if (data && data->row)
    {
      /* taken out, or freeing the tree would free them */
      place = _lodex_place_new_with_row (static_cast<LodexPlaceRow *> (g_steal_pointer (&data->row)));
      _lodex_place_set_address (place, static_cast<LodexPlaceAddress *> (g_steal_pointer (&data->address)));
    }
  else
    place = _lodex_place_new_with_row (_lodex_place_row_new ());
  LodexPlaceRow *row = _lodex_place_get_row (place);
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
  replace (&row->name, point->name);
  replace (&row->description, point->desc);
  replace (&row->comment, point->cmt);
  row->ctime = point->time.seconds;

  for (GList *l = point->links; l; l = l->next)
    {
      auto gpx_link = static_cast<GpxLink *> (l->data);
      g_autoptr (LodexPlaceLink) link = lodex_place_link_new ();
      link->name = g_strdup (gpx_link->text);
      link->url = g_strdup (gpx_link->href);
      link->mime = g_strdup (gpx_link->type);
      lodex_place_add_link (place, link);
    }
  return place;
}

void
join_categories (Import *import, LodexPlace *place, GpxPoint *point)
{
  auto data = static_cast<LodexExtensionPointData *> (gpx_point_get_exdata (point, import->extension));
  for (GList *l = data ? data->category_names : nullptr; l; l = l->next)
    {
      auto name = static_cast<const gchar *> (l->data);
      if (g_list_find_custom (data->category_names, name, GCompareFunc (g_strcmp0)) != l)
        continue; /* named twice: one membership */
      LodexCategory *category = category_named (import, name);
      if (category && !lodex_category_add_place (category, place))
        failed (import, "the membership of a place in \"%s\"", name);
    }
}

void
import_waypoint (Import *import, GpxPoint *point)
{
  g_autoptr (LodexPlace) place = place_for_point (import, point);
  LodexPlaceRow *row = _lodex_place_get_row (place);
  lodex_place_commit (place);

  if (row->id && !_lodex_store_import_place (import->store, place))
    {
      /* a place that is already here is the same place: it stays as it is,
       * and the file's routes get it */
      LodexPlace *present = lodex_store_get_place_by_id (import->store, row->id);
      if (!present)
        failed (import, "place \"%s\"", row->name ? row->name : row->id);
      else if (import->keep_places)
        import->places = g_list_prepend (import->places, present);
      else
        g_object_unref (present);
      return;
    }
  if (!row->id && !lodex_store_add_place (import->store, place))
    {
      failed (import, "place \"%s\"", row->name ? row->name : "");
      return;
    }
  join_categories (import, place, point);
  if (import->keep_places)
    import->places = g_list_prepend (import->places, g_object_ref (place));
}

/* A route of the file, holding every place of the file. */
LodexRoute *
new_route (Import *import, const gchar *name, const gchar *cmt, const gchar *desc, const char *type)
{
  LodexRoute *route = lodex_route_new (name, desc);
  g_object_set (route, "comment", cmt, "type", type, nullptr);
  if (!lodex_store_add_route (import->store, route))
    {
      failed (import, "route \"%s\"", name ? name : "");
      g_object_unref (route);
      return nullptr;
    }
  for (GList *l = import->places; l; l = l->next)
    if (!lodex_route_add_place (route, LODEX_PLACE (l->data)))
      failed (import, "the membership of a place in route \"%s\"", name ? name : "");
  return route;
}

void
add_waypoint (Import *import, LodexRoute *route, GpxPoint *point, guint position, gboolean segment_end)
{
  /* a waypoint's time has room for 1970 to 2038 only */
  gint ctime = gint (CLAMP (point->time.seconds, gint64 (0), gint64 (G_MAXINT)));
  g_autoptr (LodexWaypoint) waypoint = lodex_waypoint_new (point->latitude, point->longitude, point->elevation, ctime);
  g_object_set (waypoint, "name", point->name, "desc", point->desc, "sym", point->sym, "type", point->type,
                "order-weight", gdouble (position), "segment-end", segment_end, nullptr);
  if (!lodex_route_add_waypoint (route, waypoint))
    failed (import, "point %u of route \"%s\"", position + 1, _lodex_route_get_row (route)->name);
}

void
import_route (Import *import, GpxRoute *gpx_route)
{
  g_autoptr (LodexRoute) route = new_route (import, gpx_route->name, gpx_route->cmt, gpx_route->desc, nullptr);
  guint position = 0;
  for (GList *l = route ? gpx_route->points : nullptr; l; l = l->next)
    add_waypoint (import, route, static_cast<GpxPoint *> (l->data), position++, FALSE);
}

void
import_track (Import *import, GpxTrack *track)
{
  g_autoptr (LodexRoute) route = new_route (import, track->name, track->cmt, track->desc, "track");
  guint position = 0;
  for (GList *s = route ? track->segments : nullptr; s; s = s->next)
    for (GList *l = static_cast<GpxTrackSegment *> (s->data)->points; l; l = l->next)
      add_waypoint (import, route, static_cast<GpxPoint *> (l->data), position++, l->next == nullptr);
}

bool
import_tree (Import *import, GpxTree *tree)
{
  LodexStore *store = import->store;
  if (!_lodex_store_batch_begin (store))
    return false;
  import_categories (import, tree);
  guint in_batch = 0;
  for (GList *l = tree->waypoints; l; l = l->next)
    {
      if (!l->data)
        continue;
      import_waypoint (import, static_cast<GpxPoint *> (l->data));
      if (++in_batch == places_per_batch)
        {
          in_batch = 0;
          if (!_lodex_store_batch_end (store))
            failed (import, "%u places", places_per_batch);
          if (!_lodex_store_batch_begin (store))
            return false;
        }
    }
  import->places = g_list_reverse (import->places);

  g_message ("Importing %d routes", gint (g_list_length (tree->routes)));
  for (GList *l = tree->routes; l; l = l->next)
    import_route (import, static_cast<GpxRoute *> (l->data));
  g_message ("Importing %d tracks", gint (g_list_length (tree->tracks)));
  for (GList *l = tree->tracks; l; l = l->next)
    import_track (import, static_cast<GpxTrack *> (l->data));

  if (!_lodex_store_batch_end (store))
    failed (import, "the last %u places and the routes", in_batch);
  return true;
}

} // namespace

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
 * A file that cannot be read stores nothing. When something read cannot
 * be stored, the rest is stored all the same, and the result is %FALSE
 * with %LODEX_ERROR_STORE.
 *
 * Returns: whether the whole file was read and stored
 *
 * Since: 0.1
 */
gboolean
lodex_import_from_gpx_file (LodexStore *store, const char *filename, GError **error)
{
  g_return_val_if_fail (store != NULL, FALSE);
  g_return_val_if_fail (filename != NULL, FALSE);
  g_return_val_if_fail (LODEX_IS_STORE (store), FALSE);

  GpxExtension *extension = lodex_extension_get ();
  GError *failure = nullptr;
  GpxTree *tree = gpx_tree_read_from_file (filename, &failure);
  if (!tree)
    {
      g_warning ("Error producing tree from GPX file: %s", failure->message);
      g_propagate_error (error, failure);
      return FALSE;
    }

  lodex::Hold hold (store);
  auto unref = [] (gpointer category) {
    if (category)
      g_object_unref (category);
  };
  Import import{store, extension, g_hash_table_new_full (g_str_hash, g_str_equal, g_free, unref)};
  import.keep_places = tree->routes || tree->tracks;
  bool started = import_tree (&import, tree);
  gpx_tree_free (tree);

  if (!started)
    {
      g_set_error (error, LODEX_ERROR, LODEX_ERROR_STORE, "Could not store %s: the database refused a transaction",
                   filename);
      return FALSE;
    }
  if (import.failures)
    {
      g_set_error (error, LODEX_ERROR, LODEX_ERROR_STORE, "Could not store %s%s", import.failure,
                   import.failures > 1 ? " and more" : "");
      return FALSE;
    }
  return TRUE;
}
