/* LodexImportOptions: how an import treats the places of its file. */

#include "lodex-private.h"

#include <liblodex/lodex-import-options.h>

G_DEFINE_ENUM_TYPE (LodexDuplicates, lodex_duplicates, G_DEFINE_ENUM_VALUE (LODEX_DUPLICATES_SKIP, "skip"), G_DEFINE_ENUM_VALUE (LODEX_DUPLICATES_UPDATE, "update"), G_DEFINE_ENUM_VALUE (LODEX_DUPLICATES_ADD, "add"))

/**
 * LodexImportOptions:
 *
 * How lodex_store_import() and lodex_store_import_async() treat the places
 * of a file: the category every place goes into, and what becomes of a
 * place that is stored already.
 *
 * The options are read when the import starts; changing them afterwards
 * changes nothing in an import under way.
 *
 * Since: 0.2
 */
struct _LodexImportOptions
{
  GObject parent_instance;
  gchar *category;
  LodexDuplicates duplicates;
};

G_DEFINE_FINAL_TYPE (LodexImportOptions, lodex_import_options, G_TYPE_OBJECT)

enum
{
  PROP_0,
  PROP_CATEGORY,
  PROP_DUPLICATES,
  N_PROPS
};
static GParamSpec *props[N_PROPS];

static void
lodex_import_options_finalize (GObject *object)
{
  g_free (LODEX_IMPORT_OPTIONS (object)->category);
  G_OBJECT_CLASS (lodex_import_options_parent_class)->finalize (object);
}

static void
lodex_import_options_get_property (GObject *object, guint prop_id, GValue *value, GParamSpec *pspec)
{
  LodexImportOptions *self = LODEX_IMPORT_OPTIONS (object);
  switch (prop_id)
    {
    case PROP_CATEGORY:
      g_value_set_string (value, self->category);
      break;
    case PROP_DUPLICATES:
      g_value_set_enum (value, self->duplicates);
      break;
    default:
      G_OBJECT_WARN_INVALID_PROPERTY_ID (object, prop_id, pspec);
    }
}

static void
lodex_import_options_set_property (GObject *object, guint prop_id, const GValue *value, GParamSpec *pspec)
{
  LodexImportOptions *self = LODEX_IMPORT_OPTIONS (object);
  switch (prop_id)
    {
    case PROP_CATEGORY:
      lodex_import_options_set_category (self, g_value_get_string (value));
      break;
    case PROP_DUPLICATES:
      lodex_import_options_set_duplicates (self, LodexDuplicates (g_value_get_enum (value)));
      break;
    default:
      G_OBJECT_WARN_INVALID_PROPERTY_ID (object, prop_id, pspec);
    }
}

static void
lodex_import_options_class_init (LodexImportOptionsClass *klass)
{
  GObjectClass *object_class = G_OBJECT_CLASS (klass);
  object_class->finalize = lodex_import_options_finalize;
  object_class->get_property = lodex_import_options_get_property;
  object_class->set_property = lodex_import_options_set_property;

  /**
   * LodexImportOptions:category:
   *
   * The name of a category that every place the import adds or updates
   * joins; the category is made when the store has none of that name. A
   * place left as it is (%LODEX_DUPLICATES_SKIP) does not join it. %NULL
   * (the default) for none.
   *
   * Since: 0.2
   */
  props[PROP_CATEGORY] = g_param_spec_string ("category", nullptr, nullptr, nullptr,
                                              GParamFlags (G_PARAM_READWRITE | G_PARAM_EXPLICIT_NOTIFY | G_PARAM_STATIC_STRINGS));

  /**
   * LodexImportOptions:duplicates:
   *
   * What becomes of a place of the file that is stored already (see
   * #LodexDuplicates). %LODEX_DUPLICATES_SKIP by default.
   *
   * Since: 0.2
   */
  props[PROP_DUPLICATES] = g_param_spec_enum ("duplicates", nullptr, nullptr, LODEX_TYPE_DUPLICATES, LODEX_DUPLICATES_SKIP,
                                              GParamFlags (G_PARAM_READWRITE | G_PARAM_EXPLICIT_NOTIFY | G_PARAM_STATIC_STRINGS));
  g_object_class_install_properties (object_class, N_PROPS, props);
}

static void
lodex_import_options_init (LodexImportOptions *self)
{
  self->duplicates = LODEX_DUPLICATES_SKIP;
}

/**
 * lodex_import_options_new:
 *
 * Options that put the places in no category and skip the places stored
 * already.
 *
 * Returns: (transfer full): new options
 *
 * Since: 0.2
 */
LodexImportOptions *
lodex_import_options_new (void)
{
  return LODEX_IMPORT_OPTIONS (g_object_new (LODEX_TYPE_IMPORT_OPTIONS, nullptr));
}

/**
 * lodex_import_options_get_category:
 * @options: a #LodexImportOptions
 *
 * Tells the #LodexImportOptions:category of @options.
 *
 * Returns: (nullable): the #LodexImportOptions:category
 *
 * Since: 0.2
 */
const char *
lodex_import_options_get_category (LodexImportOptions *options)
{
  g_return_val_if_fail (LODEX_IS_IMPORT_OPTIONS (options), NULL);
  return options->category;
}

/**
 * lodex_import_options_set_category:
 * @options: a #LodexImportOptions
 * @category: (nullable): a category name, or %NULL for none
 *
 * Sets the #LodexImportOptions:category.
 *
 * Since: 0.2
 */
void
lodex_import_options_set_category (LodexImportOptions *options, const char *category)
{
  g_return_if_fail (LODEX_IS_IMPORT_OPTIONS (options));
  if (g_strcmp0 (options->category, category) == 0)
    return;
  g_free (options->category);
  options->category = g_strdup (category);
  g_object_notify_by_pspec (G_OBJECT (options), props[PROP_CATEGORY]);
}

/**
 * lodex_import_options_get_duplicates:
 * @options: a #LodexImportOptions
 *
 * Tells the #LodexImportOptions:duplicates of @options.
 *
 * Returns: the #LodexImportOptions:duplicates
 *
 * Since: 0.2
 */
LodexDuplicates
lodex_import_options_get_duplicates (LodexImportOptions *options)
{
  g_return_val_if_fail (LODEX_IS_IMPORT_OPTIONS (options), LODEX_DUPLICATES_SKIP);
  return options->duplicates;
}

/**
 * lodex_import_options_set_duplicates:
 * @options: a #LodexImportOptions
 * @duplicates: what to do with a place stored already
 *
 * Sets the #LodexImportOptions:duplicates.
 *
 * Since: 0.2
 */
void
lodex_import_options_set_duplicates (LodexImportOptions *options, LodexDuplicates duplicates)
{
  g_return_if_fail (LODEX_IS_IMPORT_OPTIONS (options));
  g_return_if_fail (duplicates >= LODEX_DUPLICATES_SKIP && duplicates <= LODEX_DUPLICATES_ADD);
  if (options->duplicates == duplicates)
    return;
  options->duplicates = duplicates;
  g_object_notify_by_pspec (G_OBJECT (options), props[PROP_DUPLICATES]);
}
