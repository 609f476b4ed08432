/* LodexExportOptions: what an export writes beyond the places. */

#include "lodex-private.h"

#include <liblodex/lodex-export-options.h>

/**
 * LodexExportOptions:
 *
 * What lodex_store_export() and lodex_store_export_async() write beyond
 * the places of their set. The options are read when the export starts.
 *
 * Since: 0.2
 */
struct _LodexExportOptions
{
  GObject parent_instance;
  gboolean routes;
  gboolean extension;
};

G_DEFINE_FINAL_TYPE (LodexExportOptions, lodex_export_options, G_TYPE_OBJECT)

enum
{
  PROP_0,
  PROP_ROUTES,
  PROP_EXTENSION,
  N_PROPS
};
static GParamSpec *props[N_PROPS];

static void
lodex_export_options_get_property (GObject *object, guint prop_id, GValue *value, GParamSpec *pspec)
{
  LodexExportOptions *self = LODEX_EXPORT_OPTIONS (object);
  switch (prop_id)
    {
    case PROP_ROUTES:
      g_value_set_boolean (value, self->routes);
      break;
    case PROP_EXTENSION:
      g_value_set_boolean (value, self->extension);
      break;
    default:
      G_OBJECT_WARN_INVALID_PROPERTY_ID (object, prop_id, pspec);
    }
}

static void
lodex_export_options_set_property (GObject *object, guint prop_id, const GValue *value, GParamSpec *pspec)
{
  LodexExportOptions *self = LODEX_EXPORT_OPTIONS (object);
  switch (prop_id)
    {
    case PROP_ROUTES:
      lodex_export_options_set_routes (self, g_value_get_boolean (value));
      break;
    case PROP_EXTENSION:
      lodex_export_options_set_extension (self, g_value_get_boolean (value));
      break;
    default:
      G_OBJECT_WARN_INVALID_PROPERTY_ID (object, prop_id, pspec);
    }
}

static void
lodex_export_options_class_init (LodexExportOptionsClass *klass)
{
  GObjectClass *object_class = G_OBJECT_CLASS (klass);
  object_class->get_property = lodex_export_options_get_property;
  object_class->set_property = lodex_export_options_set_property;

  /**
   * LodexExportOptions:routes:
   *
   * Whether a GPX export of the whole store writes its routes and tracks
   * after the places. %TRUE by default.
   *
   * Since: 0.2
   */
  props[PROP_ROUTES] = g_param_spec_boolean ("routes", nullptr, nullptr, TRUE,
                                             GParamFlags (G_PARAM_READWRITE | G_PARAM_EXPLICIT_NOTIFY | G_PARAM_STATIC_STRINGS));

  /**
   * LodexExportOptions:extension:
   *
   * Whether a GPX export writes the place-data extension, which keeps
   * every field of a place and its categories for this library. Without
   * it, other programs see a place's first category as the waypoint's
   * `<type>`. %TRUE by default.
   *
   * Since: 0.2
   */
  props[PROP_EXTENSION] = g_param_spec_boolean ("extension", nullptr, nullptr, TRUE,
                                                GParamFlags (G_PARAM_READWRITE | G_PARAM_EXPLICIT_NOTIFY | G_PARAM_STATIC_STRINGS));
  g_object_class_install_properties (object_class, N_PROPS, props);
}

static void
lodex_export_options_init (LodexExportOptions *self)
{
  self->routes = TRUE;
  self->extension = TRUE;
}

/**
 * lodex_export_options_new:
 *
 * Options that write routes, tracks and the place-data extension.
 *
 * Returns: (transfer full): new options
 *
 * Since: 0.2
 */
LodexExportOptions *
lodex_export_options_new (void)
{
  return LODEX_EXPORT_OPTIONS (g_object_new (LODEX_TYPE_EXPORT_OPTIONS, nullptr));
}

/**
 * lodex_export_options_get_routes:
 * @options: a #LodexExportOptions
 *
 * Tells the #LodexExportOptions:routes of @options.
 *
 * Returns: the #LodexExportOptions:routes
 *
 * Since: 0.2
 */
gboolean
lodex_export_options_get_routes (LodexExportOptions *options)
{
  g_return_val_if_fail (LODEX_IS_EXPORT_OPTIONS (options), TRUE);
  return options->routes;
}

/**
 * lodex_export_options_set_routes:
 * @options: a #LodexExportOptions
 * @routes: whether routes and tracks are written
 *
 * Sets the #LodexExportOptions:routes.
 *
 * Since: 0.2
 */
void
lodex_export_options_set_routes (LodexExportOptions *options, gboolean routes)
{
  g_return_if_fail (LODEX_IS_EXPORT_OPTIONS (options));
  routes = !!routes;
  if (options->routes == routes)
    return;
  options->routes = routes;
  g_object_notify_by_pspec (G_OBJECT (options), props[PROP_ROUTES]);
}

/**
 * lodex_export_options_get_extension:
 * @options: a #LodexExportOptions
 *
 * Tells the #LodexExportOptions:extension of @options.
 *
 * Returns: the #LodexExportOptions:extension
 *
 * Since: 0.2
 */
gboolean
lodex_export_options_get_extension (LodexExportOptions *options)
{
  g_return_val_if_fail (LODEX_IS_EXPORT_OPTIONS (options), TRUE);
  return options->extension;
}

/**
 * lodex_export_options_set_extension:
 * @options: a #LodexExportOptions
 * @extension: whether the place-data extension is written
 *
 * Sets the #LodexExportOptions:extension.
 *
 * Since: 0.2
 */
void
lodex_export_options_set_extension (LodexExportOptions *options, gboolean extension)
{
  g_return_if_fail (LODEX_IS_EXPORT_OPTIONS (options));
  extension = !!extension;
  if (options->extension == extension)
    return;
  options->extension = extension;
  g_object_notify_by_pspec (G_OBJECT (options), props[PROP_EXTENSION]);
}
