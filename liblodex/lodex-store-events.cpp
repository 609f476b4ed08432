/* The store's reactions to change broadcasts, this process's own included:
 * live objects reload or are forgotten and say so, then the store tells.
 * They run from the main loop; each holds the store, since a handler of the
 * application's may drop its last reference. */

#include "lodex-store-objects.hpp"

namespace lodex
{

namespace
{

void
place_added_cb (LodexTracker *tracker, const gchar *id, LodexStore *store)
{
  store_emit (store, PLACE_ADDED, id);
}

void
place_removed_cb (LodexTracker *tracker, const gchar *id, LodexStore *store)
{
  Hold hold (store);

  store_emit (store, PLACE_REMOVED, id);
  g_autoptr (LodexPlace) live = _lodex_store_query_table (store, id);
  if (live)
    {
      g_signal_emit_by_name (live, "removed", store);
      store_priv (store)->places.remove (G_OBJECT (live));
      /* it keeps its id, values and store; changes not written yet have
       * nowhere to go, and later ones are refused */
      _lodex_place_discard_changes (live);
    }
}

void
place_updated_cb (LodexTracker *tracker, const gchar *id, LodexStore *store)
{
  Hold hold (store);

  g_autoptr (LodexPlace) live = _lodex_store_query_table (store, id);
  if (live)
    {
      /* local edits not yet written are newer than the notice: write them
       * first; if that fails they stay on top of what is reloaded */
      if (_lodex_place_is_dirty (live))
        lodex_place_commit (live);

      LodexPlaceRow *row = lodex_db_get_row_by_id (store_priv (store)->db, id);
      if (!row)
        {
          g_warning ("Error retrieving row from the database");
          return;
        }
      _lodex_place_reload (live, row, lodex_db_place_address_get (store_priv (store)->db, id));
      _lodex_place_update_links (live);
      g_signal_emit_by_name (live, "changed");
    }
  store_emit (store, PLACE_UPDATED, id);
}

void
store_updated_cb (LodexTracker *tracker, LodexStore *store)
{
  _lodex_set_emit_changed (LODEX_SET (store));
}

template <typename T>
void
object_added_cb (LodexTracker *tracker, const gchar *id, LodexStore *store)
{
  store_emit (store, Family<T>::added, id);
}

/* The store's signal first, then the live object's "removed": it keeps its
 * id and values, but the store forgets it. */
template <typename T>
void
object_removed_cb (LodexTracker *tracker, const gchar *id, LodexStore *store)
{
  Hold hold (store);
  store_emit (store, Family<T>::removed, id);
  if (T *live = lookup_entry<T> (store, id))
    {
      g_signal_emit_by_name (live, "removed", store);
      registry_of<T> (store).remove (G_OBJECT (live));
      g_object_unref (live);
    }
}

/* A live object reloads and says so first; then the store tells. */
template <typename T>
void
object_updated_cb (LodexTracker *tracker, const gchar *id, LodexStore *store)
{
  Hold hold (store);
  if (T *live = lookup_entry<T> (store, id))
    {
      bool reloaded = Family<T>::reload (store_priv (store)->db, live);
      if (reloaded)
        g_signal_emit_by_name (live, "changed");
      g_object_unref (live);
      if (!reloaded)
        {
          g_warning ("%s", Family<T>::not_found);
          return;
        }
    }
  store_emit (store, Family<T>::updated, id);
}

void
route_updated_cb (LodexTracker *tracker, const gchar *id, LodexStore *store)
{
  Hold hold (store);
  g_debug ("%s: %s", "route_updated_cb", id);
  if (LodexRoute *live = lookup_entry<LodexRoute> (store, id))
    {
      /* its own unsaved changes are newer than the notice */
      _lodex_route_save_pending (live);
      lodex_db_load_route (store_priv (store)->db, live);
      g_signal_emit_by_name (live, "changed");
      g_object_unref (live);
    }
  store_emit (store, ROUTE_UPDATED, id);
}

void
route_waypoints_cb (LodexTracker *tracker, const gchar *id, LodexStore *store)
{
  Hold hold (store);
  g_debug ("%s: %s", "route_waypoints_cb", id);
  if (LodexRoute *live = lookup_entry<LodexRoute> (store, id))
    {
      g_signal_emit_by_name (live, "waypoints-modified");
      g_object_unref (live);
    }
}

} // namespace

void
store_listen (LodexStore *store) noexcept
{
  LodexTracker *tracker = store_priv (store)->tracker;
  struct
  {
    const char *signal;
    GCallback handler;
  } const handlers[] = {
    {"place-updated", G_CALLBACK (place_updated_cb)},
    {"place-added", G_CALLBACK (place_added_cb)},
    {"place-removed", G_CALLBACK (place_removed_cb)},
    {"store-updated", G_CALLBACK (store_updated_cb)},
    {"category-added", G_CALLBACK (object_added_cb<LodexCategory>)},
    {"category-removed", G_CALLBACK (object_removed_cb<LodexCategory>)},
    {"category-updated", G_CALLBACK (object_updated_cb<LodexCategory>)},
    {"image-added", G_CALLBACK (object_added_cb<LodexImage>)},
    {"image-removed", G_CALLBACK (object_removed_cb<LodexImage>)},
    {"image-updated", G_CALLBACK (object_updated_cb<LodexImage>)},
    {"route-added", G_CALLBACK (object_added_cb<LodexRoute>)},
    {"route-removed", G_CALLBACK (object_removed_cb<LodexRoute>)},
    {"route-updated", G_CALLBACK (route_updated_cb)},
    {"route-waypoints", G_CALLBACK (route_waypoints_cb)},
  };
  for (const auto &h : handlers)
    g_signal_connect (tracker, h.signal, h.handler, store);
}

} // namespace lodex
