#pragma once

#include <glib-object.h>

G_BEGIN_DECLS

#define LODEX_TYPE_IMPORT_RESULT (lodex_import_result_get_type ())
G_DECLARE_FINAL_TYPE (LodexImportResult, lodex_import_result, LODEX, IMPORT_RESULT, GObject)

guint lodex_import_result_get_added (LodexImportResult *result);
guint lodex_import_result_get_updated (LodexImportResult *result);
guint lodex_import_result_get_skipped (LodexImportResult *result);
const char *const *lodex_import_result_get_added_ids (LodexImportResult *result);
const char *const *lodex_import_result_get_updated_ids (LodexImportResult *result);
const char *const *lodex_import_result_get_skipped_ids (LodexImportResult *result);

G_END_DECLS
