/* LodexImportResult: what one import did with the places of its file. */

#include "lodex-private.h"
#include "lodex-importer.hpp"

#include <liblodex/lodex-import-result.h>

#include <utility>

/**
 * LodexImportResult:
 *
 * What an import (lodex_store_import(), lodex_store_import_finish()) did
 * with the places of its file: how many it added, updated and skipped,
 * and their ids, each list in the order of the file. A place named twice
 * in the file counts twice.
 *
 * It is read-only, and stays as it is when the store changes afterwards.
 *
 * Since: 0.2
 */
struct _LodexImportResult
{
  GObject parent_instance;
  GPtrArray *ids[3]; /* added, updated, skipped: each NULL-terminated */
};

G_DEFINE_FINAL_TYPE (LodexImportResult, lodex_import_result, G_TYPE_OBJECT)

enum
{
  PROP_0,
  PROP_ADDED,
  PROP_UPDATED,
  PROP_SKIPPED,
  N_PROPS
};
static GParamSpec *props[N_PROPS];

static void
lodex_import_result_finalize (GObject *object)
{
  for (GPtrArray *ids : LODEX_IMPORT_RESULT (object)->ids)
    g_ptr_array_unref (ids);
  G_OBJECT_CLASS (lodex_import_result_parent_class)->finalize (object);
}

static void
lodex_import_result_get_property (GObject *object, guint prop_id, GValue *value, GParamSpec *pspec)
{
  LodexImportResult *self = LODEX_IMPORT_RESULT (object);
  switch (prop_id)
    {
    case PROP_ADDED:
    case PROP_UPDATED:
    case PROP_SKIPPED:
      g_value_set_uint (value, self->ids[prop_id - PROP_ADDED]->len - 1);
      break;
    default:
      G_OBJECT_WARN_INVALID_PROPERTY_ID (object, prop_id, pspec);
    }
}

static void
lodex_import_result_class_init (LodexImportResultClass *klass)
{
  GObjectClass *object_class = G_OBJECT_CLASS (klass);
  object_class->finalize = lodex_import_result_finalize;
  object_class->get_property = lodex_import_result_get_property;

  /**
   * LodexImportResult:added:
   *
   * The number of places the import added.
   *
   * Since: 0.2
   */
  props[PROP_ADDED] = g_param_spec_uint ("added", nullptr, nullptr, 0, G_MAXUINT, 0,
                                         GParamFlags (G_PARAM_READABLE | G_PARAM_STATIC_STRINGS));

  /**
   * LodexImportResult:updated:
   *
   * The number of stored places the import wrote as the file has them
   * (%LODEX_DUPLICATES_UPDATE).
   *
   * Since: 0.2
   */
  props[PROP_UPDATED] = g_param_spec_uint ("updated", nullptr, nullptr, 0, G_MAXUINT, 0,
                                           GParamFlags (G_PARAM_READABLE | G_PARAM_STATIC_STRINGS));

  /**
   * LodexImportResult:skipped:
   *
   * The number of places of the file left out because they were stored
   * already (%LODEX_DUPLICATES_SKIP).
   *
   * Since: 0.2
   */
  props[PROP_SKIPPED] = g_param_spec_uint ("skipped", nullptr, nullptr, 0, G_MAXUINT, 0,
                                           GParamFlags (G_PARAM_READABLE | G_PARAM_STATIC_STRINGS));
  g_object_class_install_properties (object_class, N_PROPS, props);
}

static void
lodex_import_result_init (LodexImportResult *self)
{
}

LodexImportResult *
lodex::import_result_new (ImportResult &result) noexcept
{
  auto self = LODEX_IMPORT_RESULT (g_object_new (LODEX_TYPE_IMPORT_RESULT, nullptr));
  GPtrArray **from[] = {&result.added_ids, &result.updated_ids, &result.skipped_ids};
  for (guint i = 0; i < G_N_ELEMENTS (from); i++)
    {
      self->ids[i] = std::exchange (*from[i], g_ptr_array_new_with_free_func (g_free));
      g_ptr_array_add (self->ids[i], nullptr);
    }
  return self;
}

/**
 * lodex_import_result_get_added:
 * @result: a #LodexImportResult
 *
 * Tells the #LodexImportResult:added of @result.
 *
 * Returns: the #LodexImportResult:added
 *
 * Since: 0.2
 */
guint
lodex_import_result_get_added (LodexImportResult *result)
{
  g_return_val_if_fail (LODEX_IS_IMPORT_RESULT (result), 0);
  return result->ids[0]->len - 1;
}

/**
 * lodex_import_result_get_updated:
 * @result: a #LodexImportResult
 *
 * Tells the #LodexImportResult:updated of @result.
 *
 * Returns: the #LodexImportResult:updated
 *
 * Since: 0.2
 */
guint
lodex_import_result_get_updated (LodexImportResult *result)
{
  g_return_val_if_fail (LODEX_IS_IMPORT_RESULT (result), 0);
  return result->ids[1]->len - 1;
}

/**
 * lodex_import_result_get_skipped:
 * @result: a #LodexImportResult
 *
 * Tells the #LodexImportResult:skipped of @result.
 *
 * Returns: the #LodexImportResult:skipped
 *
 * Since: 0.2
 */
guint
lodex_import_result_get_skipped (LodexImportResult *result)
{
  g_return_val_if_fail (LODEX_IS_IMPORT_RESULT (result), 0);
  return result->ids[2]->len - 1;
}

/**
 * lodex_import_result_get_added_ids:
 * @result: a #LodexImportResult
 *
 * The ids of the places the import added, for lodex_store_get_place().
 *
 * Returns: (transfer none) (array zero-terminated=1): the ids, in the
 *   order of the file
 *
 * Since: 0.2
 */
const char *const *
lodex_import_result_get_added_ids (LodexImportResult *result)
{
  g_return_val_if_fail (LODEX_IS_IMPORT_RESULT (result), NULL);
  return reinterpret_cast<const char *const *> (result->ids[0]->pdata);
}

/**
 * lodex_import_result_get_updated_ids:
 * @result: a #LodexImportResult
 *
 * The ids of the stored places the import updated.
 *
 * Returns: (transfer none) (array zero-terminated=1): the ids, in the
 *   order of the file
 *
 * Since: 0.2
 */
const char *const *
lodex_import_result_get_updated_ids (LodexImportResult *result)
{
  g_return_val_if_fail (LODEX_IS_IMPORT_RESULT (result), NULL);
  return reinterpret_cast<const char *const *> (result->ids[1]->pdata);
}

/**
 * lodex_import_result_get_skipped_ids:
 * @result: a #LodexImportResult
 *
 * The ids of the stored places the file named again and the import left
 * as they were.
 *
 * Returns: (transfer none) (array zero-terminated=1): the ids, in the
 *   order of the file
 *
 * Since: 0.2
 */
const char *const *
lodex_import_result_get_skipped_ids (LodexImportResult *result)
{
  g_return_val_if_fail (LODEX_IS_IMPORT_RESULT (result), NULL);
  return reinterpret_cast<const char *const *> (result->ids[2]->pdata);
}
