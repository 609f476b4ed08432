#pragma once

#include <glib-object.h>
#include <liblodex/lodex-types.h>
#include <liblodex/lodex-set.h>

G_BEGIN_DECLS

/**
 * LodexLocationFilter:
 *
 * The places of an inner set inside a latitude/longitude box and, unless
 * "ignore-altitude" is set (the default), inside an altitude band. Bounds
 * are inclusive; a place without altitude passes any band. A box whose
 * "min-long" is greater than its "max-long" crosses the 180th meridian.
 *
 * Since: 0.1
 */
#define LODEX_TYPE_LOCATION_FILTER (lodex_location_filter_get_type ())
G_DECLARE_FINAL_TYPE (LodexLocationFilter, lodex_location_filter, LODEX, LOCATION_FILTER, GObject)

LodexLocationFilter *lodex_location_filter_new (LodexSet *set);

G_END_DECLS
