#pragma once

#include <glib-object.h>
#include <liblodex/lodex-types.h>
#include <liblodex/lodex-set.h>

G_BEGIN_DECLS

#define LODEX_TYPE_APPDATA_FILTER (lodex_appdata_filter_get_type ())
G_DECLARE_FINAL_TYPE (LodexAppdataFilter, lodex_appdata_filter, LODEX, APPDATA_FILTER, GObject)

LodexAppdataFilter *lodex_appdata_filter_new (LodexSet *set, const gchar *key, const gchar *value);

G_END_DECLS
