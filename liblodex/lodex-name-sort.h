#pragma once

#include <glib-object.h>
#include <liblodex/lodex-types.h>
#include <liblodex/lodex-set.h>

G_BEGIN_DECLS

#define LODEX_TYPE_NAME_SORT (lodex_name_sort_get_type ())
G_DECLARE_FINAL_TYPE (LodexNameSort, lodex_name_sort, LODEX, NAME_SORT, GObject)

LodexNameSort *lodex_name_sort_new (LodexSet *set);

G_END_DECLS
