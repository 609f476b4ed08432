#pragma once

/* Forward declarations, so that the class headers can name each other. */

typedef struct _LodexSet LodexSet;
typedef struct _LodexStore LodexStore;
typedef struct _LodexPlace LodexPlace;
typedef struct _LodexCategory LodexCategory;
typedef struct _LodexImage LodexImage;
typedef struct _LodexRoute LodexRoute;
typedef struct _LodexWaypoint LodexWaypoint;
typedef struct _LodexTracker LodexTracker;
