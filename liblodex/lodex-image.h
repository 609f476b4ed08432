#pragma once

#include <glib-object.h>
#include <gdk-pixbuf/gdk-pixbuf.h>
#include <liblodex/lodex-types.h>

G_BEGIN_DECLS

/**
 * LodexImageRow:
 *
 * The in-memory copy of one row of the images table; every field may be
 * %NULL, @id until the store adds the image.
 *
 * Since: 0.1
 */
typedef struct _LodexImageRow
{
  gchar *id;
  gchar *description;
  gchar *filename;
} LodexImageRow;

#define LODEX_TYPE_IMAGE (lodex_image_get_type ())
G_DECLARE_DERIVABLE_TYPE (LodexImage, lodex_image, LODEX, IMAGE, GObject)

struct _LodexImageClass
{
  GObjectClass parent_class;

  void (*changed) (LodexImage *image);
  void (*added) (LodexImage *image, LodexStore *store);
  void (*removed) (LodexImage *image, LodexStore *store);
};

LodexImage *lodex_image_new (const gchar *description, const gchar *filename);
GdkPixbuf *lodex_image_get_pixbuf (LodexImage *image);
GdkPixbuf *lodex_image_get_pixbuf_full (LodexImage *image, GError **error);
GdkPixbuf *lodex_image_get_preview_pixbuf (LodexImage *image, gint height);

G_END_DECLS
