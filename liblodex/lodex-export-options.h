#pragma once

#include <glib-object.h>

G_BEGIN_DECLS

#define LODEX_TYPE_EXPORT_OPTIONS (lodex_export_options_get_type ())
G_DECLARE_FINAL_TYPE (LodexExportOptions, lodex_export_options, LODEX, EXPORT_OPTIONS, GObject)

LodexExportOptions *lodex_export_options_new (void);
gboolean lodex_export_options_get_routes (LodexExportOptions *options);
void lodex_export_options_set_routes (LodexExportOptions *options, gboolean routes);
gboolean lodex_export_options_get_extension (LodexExportOptions *options);
void lodex_export_options_set_extension (LodexExportOptions *options, gboolean extension);

G_END_DECLS
