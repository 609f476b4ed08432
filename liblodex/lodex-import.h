#pragma once

#include <glib.h>
#include <liblodex/lodex-types.h>

G_BEGIN_DECLS

gboolean lodex_import_from_lmx_file (LodexStore *store, const char *filename, GError **error);
gboolean lodex_import_from_gpx_file (LodexStore *store, const char *filename, GError **error);
gboolean lodex_import_from_geojson_file (LodexStore *store, const char *filename, GError **error);

G_END_DECLS
