#pragma once

#include <glib-object.h>
#include <liblodex/lodex-types.h>
#include <liblodex/lodex-set.h>
#include <liblodex/lodex-place.h>
#include <liblodex/lodex-category.h>
#include <liblodex/lodex-image.h>
#include <liblodex/lodex-route.h>
#include <liblodex/lodex-change.h>

G_BEGIN_DECLS

#define LODEX_TYPE_STORE (lodex_store_get_type ())
G_DECLARE_DERIVABLE_TYPE (LodexStore, lodex_store, LODEX, STORE, GObject)

/* One class closure per store signal; each gets the id of the object concerned. */
struct _LodexStoreClass
{
  GObjectClass parent_class;

  void (*category_added) (LodexStore *store, const gchar *id);
  void (*category_removed) (LodexStore *store, const gchar *id);
  void (*category_updated) (LodexStore *store, const gchar *id);
  void (*image_added) (LodexStore *store, const gchar *id);
  void (*image_removed) (LodexStore *store, const gchar *id);
  void (*image_updated) (LodexStore *store, const gchar *id);
  void (*place_added) (LodexStore *store, const gchar *id);
  void (*place_removed) (LodexStore *store, const gchar *id);
  void (*place_updated) (LodexStore *store, const gchar *id);
  void (*route_added) (LodexStore *store, const gchar *id);
  void (*route_removed) (LodexStore *store, const gchar *id);
  void (*route_updated) (LodexStore *store, const gchar *id);
};

LodexStore *lodex_store_get_system (void);
LodexStore *lodex_store_get_system_full (GError **error);

gboolean lodex_store_add_place (LodexStore *store, LodexPlace *place);
gboolean lodex_store_add_place_full (LodexStore *store, LodexPlace *place, GError **error);
LodexPlace *lodex_store_get_place_by_id (LodexStore *store, const gchar *id);
LodexPlace *lodex_store_get_place_by_id_full (LodexStore *store, const gchar *id, GError **error);
gboolean lodex_store_remove_place (LodexStore *store, LodexPlace *place);
gboolean lodex_store_remove_place_full (LodexStore *store, LodexPlace *place, GError **error);

gboolean lodex_store_add_category (LodexStore *store, LodexCategory *category);
gboolean lodex_store_add_category_full (LodexStore *store, LodexCategory *category, GError **error);
LodexCategory *lodex_store_get_category_by_id (LodexStore *store, const gchar *id);
LodexCategory *lodex_store_get_category_by_id_full (LodexStore *store, const gchar *id, GError **error);
LodexCategory *lodex_store_get_category_by_name (LodexStore *store, const gchar *name);
gboolean lodex_store_remove_category (LodexStore *store, LodexCategory *category);
gboolean lodex_store_remove_category_full (LodexStore *store, LodexCategory *category, GError **error);
GList *lodex_store_categories (LodexStore *store);

gboolean lodex_store_add_image (LodexStore *store, LodexImage *image);
gboolean lodex_store_add_image_full (LodexStore *store, LodexImage *image, GError **error);
LodexImage *lodex_store_get_image_by_id (LodexStore *store, const gchar *id);
LodexImage *lodex_store_get_image_by_id_full (LodexStore *store, const gchar *id, GError **error);
gboolean lodex_store_remove_image (LodexStore *store, LodexImage *image);
gboolean lodex_store_remove_image_full (LodexStore *store, LodexImage *image, GError **error);
GList *lodex_store_images (LodexStore *store);

gboolean lodex_store_add_route (LodexStore *store, LodexRoute *route);
gboolean lodex_store_add_route_full (LodexStore *store, LodexRoute *route, GError **error);
LodexRoute *lodex_store_get_route_by_id (LodexStore *store, const gchar *id);
LodexRoute *lodex_store_get_route_by_id_full (LodexStore *store, const gchar *id, GError **error);
gboolean lodex_store_remove_route (LodexStore *store, LodexRoute *route);
gboolean lodex_store_remove_route_full (LodexStore *store, LodexRoute *route, GError **error);
GList *lodex_store_routes (LodexStore *store);

gboolean lodex_store_import_from_file (LodexStore *store, const char *filename, GError **error);
gboolean lodex_store_export_to_file (LodexStore *store, const char *filename, GError **error);

void lodex_make_resident (void);

G_END_DECLS
