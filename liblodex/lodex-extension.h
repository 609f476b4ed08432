#pragma once

/* The place-data GPX extension: what GPX has no room for (a place's id,
 * icon, presence, coverage, address and categories, and the store's
 * category list) travels in elements of its own namespace, prefix "lodex".
 * Private: the GPX library's types are not installed. */

#include "lodex-private.h"

#include <gpx.h>

G_BEGIN_DECLS

#define LODEX_EXTENSION_NAMESPACE "http://mirrex.com/xmlschemas/lodex/gpx/1"

/* Tree data: the store's categories, as rows (name and description). */
typedef struct
{
  GPtrArray *categories; /* of LodexCategoryRow */
} LodexExtensionTreeData;

/* Point data: the place the waypoint stands for, as its row (with its id)
 * and address, and the names of its categories. Plain copies: a large
 * export holds no live place, an import makes the place from them. */
typedef struct
{
  LodexPlaceRow *row;         /* NULL when the element was not a place */
  LodexPlaceAddress *address; /* NULL without one */
  GList *category_names;
  guint dropped; /* optional values that could not be read, left out */
} LodexExtensionPointData;

GpxExtension *lodex_extension_get (void);

/* Garmin's waypoint extension (GpxExtensions v3), read only: its address
 * and phone number, and its category names. */
#define LODEX_GARMIN_NAMESPACE "http://www.garmin.com/xmlschemas/GpxExtensions/v3"

typedef struct
{
  LodexPlaceAddress *address; /* NULL without one */
  GList *category_names;
} LodexGarminPointData;

GpxExtension *lodex_garmin_extension_get (void);
LodexExtensionTreeData *lodex_extension_tree_data_new (void);

G_END_DECLS
