/* LodexChange: one entry of the store's "changes" signal. */

#include "lodex-private.h"

struct _LodexChange
{
  LodexChangeKind kind;
  LodexChangeEvent event;
  gchar *id;
  gchar *place_id;
};

G_DEFINE_ENUM_TYPE (LodexChangeKind, lodex_change_kind,
  G_DEFINE_ENUM_VALUE (LODEX_CHANGE_KIND_PLACE, "place"),
  G_DEFINE_ENUM_VALUE (LODEX_CHANGE_KIND_CATEGORY, "category"),
  G_DEFINE_ENUM_VALUE (LODEX_CHANGE_KIND_IMAGE, "image"),
  G_DEFINE_ENUM_VALUE (LODEX_CHANGE_KIND_ROUTE, "route"))

G_DEFINE_ENUM_TYPE (LodexChangeEvent, lodex_change_event,
  G_DEFINE_ENUM_VALUE (LODEX_CHANGE_EVENT_ADDED, "added"),
  G_DEFINE_ENUM_VALUE (LODEX_CHANGE_EVENT_UPDATED, "updated"),
  G_DEFINE_ENUM_VALUE (LODEX_CHANGE_EVENT_REMOVED, "removed"),
  G_DEFINE_ENUM_VALUE (LODEX_CHANGE_EVENT_JOINED, "joined"),
  G_DEFINE_ENUM_VALUE (LODEX_CHANGE_EVENT_LEFT, "left"),
  G_DEFINE_ENUM_VALUE (LODEX_CHANGE_EVENT_WAYPOINTS, "waypoints"))

G_DEFINE_BOXED_TYPE (LodexChange, lodex_change, lodex_change_ref, lodex_change_unref)

static void
clear_change (gpointer data)
{
  auto change = static_cast<LodexChange *> (data);
  g_free (change->id);
  g_free (change->place_id);
}

LodexChange *
_lodex_change_new (LodexChangeKind kind, LodexChangeEvent event, const gchar *id, const gchar *place_id)
{
  auto change = static_cast<LodexChange *> (g_atomic_rc_box_new0 (LodexChange));
  change->kind = kind;
  change->event = event;
  change->id = g_strdup (id);
  change->place_id = g_strdup (place_id);
  return change;
}

/**
 * lodex_change_ref:
 * @change: a #LodexChange
 *
 * Takes a reference.
 *
 * Returns: (transfer full): @change
 *
 * Since: 0.2
 */
LodexChange *
lodex_change_ref (LodexChange *change)
{
  g_return_val_if_fail (change != NULL, NULL);
  return static_cast<LodexChange *> (g_atomic_rc_box_acquire (change));
}

/**
 * lodex_change_unref:
 * @change: (transfer full): a #LodexChange
 *
 * Drops a reference; the last frees the change.
 *
 * Since: 0.2
 */
void
lodex_change_unref (LodexChange *change)
{
  g_return_if_fail (change != NULL);
  g_atomic_rc_box_release_full (change, clear_change);
}

/**
 * lodex_change_get_kind:
 * @change: a #LodexChange
 *
 * What kind of object the change is about: a place, a category, an image
 * or a route.
 *
 * Returns: what kind of object changed
 *
 * Since: 0.2
 */
LodexChangeKind
lodex_change_get_kind (LodexChange *change)
{
  g_return_val_if_fail (change != NULL, LODEX_CHANGE_KIND_PLACE);
  return change->kind;
}

/**
 * lodex_change_get_event:
 * @change: a #LodexChange
 *
 * What happened to the object: added, updated or removed, its waypoints
 * changed, or for a category or route, a place joined or left it.
 *
 * Returns: what happened
 *
 * Since: 0.2
 */
LodexChangeEvent
lodex_change_get_event (LodexChange *change)
{
  g_return_val_if_fail (change != NULL, LODEX_CHANGE_EVENT_UPDATED);
  return change->event;
}

/**
 * lodex_change_get_id:
 * @change: a #LodexChange
 *
 * The id of the object that changed: of the place, category, image or
 * route; for %LODEX_CHANGE_EVENT_JOINED and %LODEX_CHANGE_EVENT_LEFT, of the
 * category or route.
 *
 * Returns: (transfer none): the id
 *
 * Since: 0.2
 */
const gchar *
lodex_change_get_id (LodexChange *change)
{
  g_return_val_if_fail (change != NULL, NULL);
  return change->id;
}

/**
 * lodex_change_get_place_id:
 * @change: a #LodexChange
 *
 * For %LODEX_CHANGE_EVENT_JOINED and %LODEX_CHANGE_EVENT_LEFT, the place
 * that joined or left the category or route.
 *
 * Returns: (transfer none) (nullable): the place's id, or %NULL for other
 *   events
 *
 * Since: 0.2
 */
const gchar *
lodex_change_get_place_id (LodexChange *change)
{
  g_return_val_if_fail (change != NULL, NULL);
  return change->place_id;
}
