#pragma once

#include <glib-object.h>
#include <liblodex/lodex-types.h>
#include <liblodex/lodex-set.h>

G_BEGIN_DECLS

#define LODEX_TYPE_UNION (lodex_union_get_type ())
G_DECLARE_FINAL_TYPE (LodexUnion, lodex_union, LODEX, UNION, GObject)

LodexUnion *lodex_union_new (LodexSet *set, LodexSet *other);

G_END_DECLS
