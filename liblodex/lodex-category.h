#pragma once

#include <glib-object.h>
#include <liblodex/lodex-types.h>

G_BEGIN_DECLS

/**
 * LodexCategoryRow:
 *
 * The in-memory copy of one row of the categories table; every field may be
 * %NULL, @id until the store adds the category.
 *
 * Since: 0.1
 */
typedef struct _LodexCategoryRow
{
  gchar *id;
  gchar *name;
  gchar *description;
} LodexCategoryRow;

#define LODEX_TYPE_CATEGORY (lodex_category_get_type ())
G_DECLARE_DERIVABLE_TYPE (LodexCategory, lodex_category, LODEX, CATEGORY, GObject)

struct _LodexCategoryClass
{
  GObjectClass parent_class;

  void (*changed) (LodexCategory *category);
  void (*added) (LodexCategory *category, LodexStore *store);
  void (*removed) (LodexCategory *category, LodexStore *store);
};

LodexCategory *lodex_category_new (const gchar *name, const gchar *description);
gboolean lodex_category_add_place (LodexCategory *category, LodexPlace *place);
gboolean lodex_category_add_place_full (LodexCategory *category, LodexPlace *place, GError **error);
gboolean lodex_category_remove_place (LodexCategory *category, LodexPlace *place);
gboolean lodex_category_remove_place_full (LodexCategory *category, LodexPlace *place, GError **error);

G_END_DECLS
