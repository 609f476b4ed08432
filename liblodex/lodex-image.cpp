/* LodexImage: a picture file that places can carry, with its decoded picture
 * cached until the image changes. */

#include "lodex-object.hpp"

#include <cmath>

struct LodexImagePrivate
{
  LodexImageRow *row;
  LodexStore *store; /* strong ref while bound */
  GdkPixbuf *pixbuf; /* decoded on first use, dropped on "changed" */
};

/**
 * LodexImage:
 *
 * A picture file with a description, which places may show. Add it to a
 * store with lodex_store_add_image() and attach it to places with
 * lodex_place_add_image(); a stored image writes a change of its properties
 * at once. lodex_image_get_pixbuf() loads the picture.
 *
 * Since: 0.1
 */
G_DEFINE_TYPE_WITH_PRIVATE (LodexImage, lodex_image, G_TYPE_OBJECT)

enum
{
  PROP_0,
  PROP_ID,
  PROP_DESCRIPTION,
  PROP_FILENAME,
  N_PROPS
};

enum
{
  CHANGED,
  ADDED,
  REMOVED,
  N_SIGNALS
};

static GParamSpec *props[N_PROPS];
static guint signals[N_SIGNALS];

static LodexImagePrivate *
get_priv (LodexImage *self)
{
  return static_cast<LodexImagePrivate *> (lodex_image_get_instance_private (self));
}

/* Property ids 1 to 3, in order. */
static constexpr gchar *LodexImageRow::*const fields[] = {
  &LodexImageRow::id,
  &LodexImageRow::description,
  &LodexImageRow::filename,
};

static void
lodex_image_set_property (GObject *object, guint prop_id, const GValue *value, GParamSpec *pspec)
{
  LodexImage *self = LODEX_IMAGE (object);
  lodex_return_if_foreign (get_priv (self)->store);
  if (!lodex::set_text_property (object, _lodex_image_get_row (self), fields, prop_id, value, pspec))
    return;

  /* a bound image hears of it, and drops its picture, when the store
   * reloads it after the change notice */
  LodexImagePrivate *priv = get_priv (self);
  if (priv->store)
    _lodex_store_update_image (priv->store, self);
  else
    g_signal_emit (self, signals[CHANGED], 0);
}

static void
lodex_image_get_property (GObject *object, guint prop_id, GValue *value, GParamSpec *pspec)
{
  lodex::get_text_property (object, _lodex_image_get_row (LODEX_IMAGE (object)), fields, prop_id, value, pspec);
}

static void
lodex_image_dispose (GObject *object)
{
  LodexImagePrivate *priv = get_priv (LODEX_IMAGE (object));
  if (priv->store)
    _lodex_store_forget (priv->store, object);
  g_clear_object (&priv->store);
  g_clear_object (&priv->pixbuf);
  G_OBJECT_CLASS (lodex_image_parent_class)->dispose (object);
}

static void
lodex_image_finalize (GObject *object)
{
  g_clear_pointer (&get_priv (LODEX_IMAGE (object))->row, _lodex_image_row_free);
  G_OBJECT_CLASS (lodex_image_parent_class)->finalize (object);
}

static void
lodex_image_class_init (LodexImageClass *klass)
{
  GObjectClass *object_class = G_OBJECT_CLASS (klass);

  object_class->set_property = lodex_image_set_property;
  object_class->get_property = lodex_image_get_property;
  object_class->dispose = lodex_image_dispose;
  object_class->finalize = lodex_image_finalize;

  /**
   * LodexImage:id:
   *
   * The image's id in the database, or %NULL while it is in no store.
   *
   * Since: 0.1
   */
  props[PROP_ID] = g_param_spec_string ("id", "Identifier", "Identifier", nullptr,
                                        GParamFlags (G_PARAM_READABLE | G_PARAM_STATIC_STRINGS));
  /**
   * LodexImage:description:
   *
   * What the picture shows.
   *
   * Since: 0.1
   */
  props[PROP_DESCRIPTION] = g_param_spec_string ("description", "Description", "Description", nullptr,
                                                 GParamFlags (G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS));
  /**
   * LodexImage:filename:
   *
   * The path of the picture file. The database keeps the path, not the
   * picture.
   *
   * Since: 0.1
   */
  props[PROP_FILENAME] = g_param_spec_string ("filename", "Filename", "Filename", nullptr,
                                              GParamFlags (G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS));
  g_object_class_install_properties (object_class, N_PROPS, props);

  /**
   * LodexImage::changed:
   * @image: the image
   *
   * Emitted when the image's values changed: for a stored image, when it has
   * reloaded after a change broadcast by any process, this one included; for
   * an image in no store, at once on every property change. The decoded
   * picture is dropped first.
   *
   * Since: 0.1
   */
  /**
   * LodexImage::added:
   * @image: the image
   * @store: the store that added it
   *
   * Emitted when lodex_store_add_image() has stored the image.
   *
   * Since: 0.1
   */
  /**
   * LodexImage::removed:
   * @image: the image
   * @store: the store it was removed from
   *
   * Emitted when the image was removed from the database, by
   * lodex_store_remove_image() or by another process. The store forgets it.
   *
   * Since: 0.1
   */
  lodex::new_object_signals (klass, &signals[CHANGED], &signals[ADDED], &signals[REMOVED],
                             G_STRUCT_OFFSET (LodexImageClass, changed), G_STRUCT_OFFSET (LodexImageClass, added),
                             G_STRUCT_OFFSET (LodexImageClass, removed));
}

static void
drop_pixbuf (LodexImage *self, gpointer)
{
  g_clear_object (&get_priv (self)->pixbuf);
}

static void
lodex_image_init (LodexImage *self)
{
  /* connected first, so later handlers of "changed" find the cache empty */
  g_signal_connect (self, "changed", G_CALLBACK (drop_pixbuf), nullptr);
}

/**
 * lodex_image_new:
 * @description: (nullable): what the picture shows
 * @filename: (nullable): path of the picture file
 *
 * Makes an image that belongs to no store; lodex_store_add_image() stores
 * it. The file is read only when the picture is asked for.
 *
 * Returns: (transfer full): an image in no store
 *
 * Since: 0.1
 */
LodexImage *
lodex_image_new (const gchar *description, const gchar *filename)
{
  return LODEX_IMAGE (g_object_new (LODEX_TYPE_IMAGE, "description", description, "filename", filename, nullptr));
}

/* The picture, decoded once and kept until the image changes; %NULL
 * without an error when there is no file name. */
static GdkPixbuf *
load_pixbuf (LodexImage *image, GError **error)
{
  LodexImagePrivate *priv = get_priv (image);
  if (!priv->pixbuf)
    {
      if (!priv->row || !priv->row->filename)
        return nullptr;
      priv->pixbuf = gdk_pixbuf_new_from_file (priv->row->filename, error);
      if (!priv->pixbuf)
        return nullptr;
    }
  return GDK_PIXBUF (g_object_ref (priv->pixbuf));
}

/**
 * lodex_image_get_pixbuf:
 * @image: a #LodexImage
 *
 * Decodes the picture once and keeps it until the image changes. A file
 * that cannot be loaded is logged as a warning;
 * lodex_image_get_pixbuf_full() gives the error to the caller instead.
 *
 * Returns: (transfer full) (nullable): the picture, or %NULL without a file
 *   name or when the file cannot be loaded
 *
 * Since: 0.1
 */
GdkPixbuf *
lodex_image_get_pixbuf (LodexImage *image)
{
  g_return_val_if_fail (LODEX_IS_IMAGE (image), NULL);
  g_autoptr (GError) error = nullptr;
  GdkPixbuf *pixbuf = load_pixbuf (image, &error);
  if (error)
    g_warning ("Error whilst loading pixbuf: %s", error->message);
  return pixbuf;
}

/**
 * lodex_image_get_pixbuf_full:
 * @image: a #LodexImage
 * @error: return location for a #GError, or %NULL
 *
 * Decodes the picture as lodex_image_get_pixbuf() does, and tells why the
 * file could not be loaded rather than logging it: the errors are those of
 * gdk_pixbuf_new_from_file(), in %G_FILE_ERROR (the file cannot be read)
 * or %GDK_PIXBUF_ERROR (it is not a picture the loaders know).
 *
 * Returns: (transfer full) (nullable): the picture; %NULL without an error
 *   when the image has no file name, or with @error set
 *
 * Since: 0.2
 */
GdkPixbuf *
lodex_image_get_pixbuf_full (LodexImage *image, GError **error)
{
  g_return_val_if_fail (LODEX_IS_IMAGE (image), NULL);
  g_return_val_if_fail (error == NULL || *error == NULL, NULL);
  return load_pixbuf (image, error);
}

/**
 * lodex_image_get_preview_pixbuf:
 * @image: a #LodexImage
 * @height: rows of the preview, more than 0
 *
 * Scales the picture to @height rows, keeping its aspect ratio (the width is
 * truncated, and at least one column).
 *
 * Returns: (transfer full) (nullable): a new picture
 *
 * Since: 0.1
 */
GdkPixbuf *
lodex_image_get_preview_pixbuf (LodexImage *image, gint height)
{
  g_return_val_if_fail (LODEX_IS_IMAGE (image), NULL);
  g_return_val_if_fail (height > 0, NULL);

  g_autoptr (GdkPixbuf) picture = lodex_image_get_pixbuf (image);
  if (!picture)
    return nullptr;

  float scale = float (gdk_pixbuf_get_height (picture)) / float (height);
  float width = std::trunc (float (gdk_pixbuf_get_width (picture)) / scale);
  /* a very tall picture, or a huge ratio, must not give 0 or overflow */
  gint columns = width < 1.0f ? 1 : width >= float (G_MAXINT) ? G_MAXINT
                                                              : gint (width);
  return gdk_pixbuf_scale_simple (picture, columns, height, GDK_INTERP_BILINEAR);
}

LodexImage *
_lodex_image_new_with_row (LodexImageRow *row)
{
  LodexImage *self = LODEX_IMAGE (g_object_new (LODEX_TYPE_IMAGE, nullptr));
  _lodex_image_set_row (self, row);
  return self;
}

LodexImageRow *
_lodex_image_get_row (LodexImage *image)
{
  g_return_val_if_fail (image != NULL, NULL);
  g_return_val_if_fail (LODEX_IS_IMAGE (image), NULL);
  LodexImagePrivate *priv = get_priv (image);

  if (!priv->row)
    priv->row = _lodex_image_row_new ();
  return priv->row;
}

void
_lodex_image_set_row (LodexImage *image, LodexImageRow *row)
{
  g_return_if_fail (image != NULL);
  g_return_if_fail (LODEX_IS_IMAGE (image));
  g_assert (row != NULL);
  LodexImagePrivate *priv = get_priv (image);

  g_clear_pointer (&priv->row, _lodex_image_row_free);
  priv->row = row;
}

LodexStore *
_lodex_image_get_store (LodexImage *image)
{
  g_return_val_if_fail (image != NULL, NULL);
  g_return_val_if_fail (LODEX_IS_IMAGE (image), NULL);
  return get_priv (image)->store;
}

void
_lodex_image_set_store (LodexImage *image, LodexStore *store)
{
  g_return_if_fail (image != NULL);
  g_return_if_fail (LODEX_IS_IMAGE (image));
  lodex::bind_store (&get_priv (image)->store, store, G_STRFUNC);
}

LodexImageRow *
_lodex_image_row_new (void)
{
  return g_slice_new0 (LodexImageRow);
}

void
_lodex_image_row_free (LodexImageRow *row)
{
  lodex::text_row_free (row, fields);
}
