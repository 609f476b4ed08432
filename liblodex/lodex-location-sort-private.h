#pragma once

/* The distance that orders a LodexLocationSort, for the library's tests and
 * benchmarks: not installed. */

#include <glib.h>
#include <sqlite3.h>

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

/* How the walk of a sort grows its rings: tests shrink them to walk many. */
typedef struct
{
  gdouble first_candidates; /* what the R*Tree gives the first ring */
  gdouble growth;           /* of that, ring after ring */
  gdouble share;            /* of the inner set, walked in rings before the rest goes in one */
} LodexRingPlan;

/* NULL: the library's own plan. */
void _lodex_location_sort_set_ring_plan (const LodexRingPlan *plan);

/* Registers "distance_func" on @db, once; FALSE after a warning. */
gboolean _lodex_location_sort_register (sqlite3 *db);

G_END_DECLS
