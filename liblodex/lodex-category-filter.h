#pragma once

#include <glib-object.h>
#include <liblodex/lodex-set.h>

G_BEGIN_DECLS

#define LODEX_TYPE_CATEGORY_FILTER (lodex_category_filter_get_type ())
G_DECLARE_FINAL_TYPE (LodexCategoryFilter, lodex_category_filter, LODEX, CATEGORY_FILTER, GObject)

LodexCategoryFilter *lodex_category_filter_new (LodexSet *set);

G_END_DECLS
