#pragma once

/* The distance that orders a LodexLocationSort, for the library's tests and
 * benchmarks: not installed. */

#include <glib.h>

G_BEGIN_DECLS

/* A reference point with what every distance from it needs precomputed. */
typedef struct
{
  gdouble latitude;  /* radians */
  gdouble longitude; /* radians */
  gdouble altitude;
  gdouble cos_latitude;
} LodexDistanceOrigin;

void _lodex_location_sort_origin_init (LodexDistanceOrigin *origin,
                                       gdouble latitude,
                                       gdouble longitude,
                                       gdouble altitude);
gdouble _lodex_location_sort_distance (const LodexDistanceOrigin *origin,
                                       gdouble latitude,
                                       gdouble longitude,
                                       gdouble altitude);

G_END_DECLS
