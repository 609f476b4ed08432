#pragma once

#include <glib-object.h>
#include <liblodex/lodex-types.h>
#include <liblodex/lodex-set.h>

G_BEGIN_DECLS

/**
 * LodexLocationSort:
 *
 * The places of an inner set by increasing distance from a point: the
 * great-circle distance in metres combined with the altitude difference.
 * A place without altitude counts as altitude 0; places at equal distances
 * come in order of id.
 *
 * A walk of the sort reads the places in rings of growing distance through
 * an index of positions, so that the first places come at once however
 * large the set; a walk taken to its end gives every place once.
 *
 * Since: 0.1
 */
#define LODEX_TYPE_LOCATION_SORT (lodex_location_sort_get_type ())
G_DECLARE_FINAL_TYPE (LodexLocationSort, lodex_location_sort, LODEX, LOCATION_SORT, GObject)

LodexLocationSort *lodex_location_sort_new (LodexSet *set);
gdouble lodex_location_sort_get_distance (LodexLocationSort *sort);

G_END_DECLS
