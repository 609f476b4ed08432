#pragma once

#include <glib-object.h>
#include <liblodex/lodex-types.h>
#include <liblodex/lodex-set.h>

G_BEGIN_DECLS

#define LODEX_TYPE_PAGE (lodex_page_get_type ())
G_DECLARE_FINAL_TYPE (LodexPage, lodex_page, LODEX, PAGE, GObject)

LodexPage *lodex_page_new (LodexSet *set, guint offset, gint limit);

G_END_DECLS
