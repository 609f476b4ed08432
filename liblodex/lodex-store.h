#pragma once

#include <gio/gio.h>
#include <liblodex/lodex-types.h>
#include <liblodex/lodex-set.h>
#include <liblodex/lodex-place.h>
#include <liblodex/lodex-category.h>
#include <liblodex/lodex-image.h>
#include <liblodex/lodex-route.h>
#include <liblodex/lodex-change.h>
#include <liblodex/lodex-import-options.h>
#include <liblodex/lodex-import-result.h>
#include <liblodex/lodex-export-options.h>

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

/**
 * LodexProgressCallback:
 * @places: the places read (an import) or written (an export) so far
 * @current_bytes: the bytes of the file an import read so far; 0 for an
 *   export
 * @total_bytes: the size of the file an import reads (0 for a pipe); -1
 *   for an export
 * @user_data: (closure): the data given with the callback
 *
 * How far an asynchronous import or export is. It is called on the main
 * context that was the thread-default one when the work started, in
 * order, with figures that never go back, at most a few hundred times for
 * a whole file; a completed import's last call has @current_bytes equal to
 * @total_bytes.
 *
 * Since: 0.2
 */
typedef void (*LodexProgressCallback) (guint64 places, goffset current_bytes, goffset total_bytes, gpointer user_data);

LodexImportResult *lodex_store_import (LodexStore *store,
                                       GFile *file,
                                       LodexImportOptions *options,
                                       GCancellable *cancellable,
                                       GError **error);
void lodex_store_import_async (LodexStore *store,
                               GFile *file,
                               LodexImportOptions *options,
                               GCancellable *cancellable,
                               LodexProgressCallback progress_callback,
                               gpointer progress_data,
                               GDestroyNotify progress_data_free,
                               GAsyncReadyCallback callback,
                               gpointer user_data);
LodexImportResult *lodex_store_import_finish (LodexStore *store, GAsyncResult *result, GError **error);

gboolean lodex_store_export (LodexStore *store,
                             LodexSet *set,
                             GFile *file,
                             LodexExportOptions *options,
                             GCancellable *cancellable,
                             GError **error);
void lodex_store_export_async (LodexStore *store,
                               LodexSet *set,
                               GFile *file,
                               LodexExportOptions *options,
                               GCancellable *cancellable,
                               LodexProgressCallback progress_callback,
                               gpointer progress_data,
                               GDestroyNotify progress_data_free,
                               GAsyncReadyCallback callback,
                               gpointer user_data);
gboolean lodex_store_export_finish (LodexStore *store, GAsyncResult *result, GError **error);

void lodex_make_resident (void);

G_END_DECLS
