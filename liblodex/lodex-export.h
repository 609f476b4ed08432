#pragma once

#include <glib.h>
#include <liblodex/lodex-types.h>

G_BEGIN_DECLS

gboolean lodex_export_place_to_lmx_file (LodexPlace *place, const char *filename, GError **error);
gboolean lodex_export_set_to_lmx_file (LodexSet *set, const char *filename, GError **error);
gboolean lodex_export_set_to_gpx_file (LodexSet *set, const char *filename, GError **error);
gboolean lodex_export_route_to_gpx_file (LodexRoute *route, const char *filename, GError **error);
gboolean lodex_export_set_to_geojson_file (LodexSet *set, const char *filename, GError **error);

G_END_DECLS
