#pragma once

#include <glib-object.h>

G_BEGIN_DECLS

/**
 * LodexChangeKind:
 * @LODEX_CHANGE_KIND_PLACE: a place (its row, address, links, app data or
 *   images)
 * @LODEX_CHANGE_KIND_CATEGORY: a category, or the membership of a place in
 *   it
 * @LODEX_CHANGE_KIND_IMAGE: an image
 * @LODEX_CHANGE_KIND_ROUTE: a route, the membership of a place in it, or
 *   its waypoints
 *
 * What kind of object a #LodexChange is about.
 *
 * Since: 0.2
 */
typedef enum
{
  LODEX_CHANGE_KIND_PLACE,
  LODEX_CHANGE_KIND_CATEGORY,
  LODEX_CHANGE_KIND_IMAGE,
  LODEX_CHANGE_KIND_ROUTE,
} LodexChangeKind;

/**
 * LodexChangeEvent:
 * @LODEX_CHANGE_EVENT_ADDED: the object was stored
 * @LODEX_CHANGE_EVENT_UPDATED: the object changed; for a place, also its
 *   address, links, app data or images
 * @LODEX_CHANGE_EVENT_REMOVED: the object was removed
 * @LODEX_CHANGE_EVENT_JOINED: the place named by
 *   lodex_change_get_place_id() joined the category or route
 * @LODEX_CHANGE_EVENT_LEFT: the place named by lodex_change_get_place_id()
 *   left the category or route (also when the place was removed)
 * @LODEX_CHANGE_EVENT_WAYPOINTS: waypoints of the route were added,
 *   changed or removed
 *
 * What happened to the object of a #LodexChange.
 *
 * Since: 0.2
 */
typedef enum
{
  LODEX_CHANGE_EVENT_ADDED,
  LODEX_CHANGE_EVENT_UPDATED,
  LODEX_CHANGE_EVENT_REMOVED,
  LODEX_CHANGE_EVENT_JOINED,
  LODEX_CHANGE_EVENT_LEFT,
  LODEX_CHANGE_EVENT_WAYPOINTS,
} LodexChangeEvent;

#define LODEX_TYPE_CHANGE_KIND (lodex_change_kind_get_type ())
#define LODEX_TYPE_CHANGE_EVENT (lodex_change_event_get_type ())
#define LODEX_TYPE_CHANGE (lodex_change_get_type ())

/**
 * LodexChange:
 *
 * One entry of #LodexStore::changes: what happened to one object, or to
 * one membership of a place. Immutable and reference counted.
 *
 * Since: 0.2
 */
typedef struct _LodexChange LodexChange;

GType lodex_change_kind_get_type (void);
GType lodex_change_event_get_type (void);
GType lodex_change_get_type (void);

LodexChange *lodex_change_ref (LodexChange *change);
void lodex_change_unref (LodexChange *change);
LodexChangeKind lodex_change_get_kind (LodexChange *change);
LodexChangeEvent lodex_change_get_event (LodexChange *change);
const gchar *lodex_change_get_id (LodexChange *change);
const gchar *lodex_change_get_place_id (LodexChange *change);

G_DEFINE_AUTOPTR_CLEANUP_FUNC (LodexChange, lodex_change_unref)

G_END_DECLS
