#pragma once

#include <glib-object.h>

G_BEGIN_DECLS

/**
 * LodexDuplicates:
 * @LODEX_DUPLICATES_SKIP: the stored place is left as it is, and the
 *   file's is not stored
 * @LODEX_DUPLICATES_UPDATE: the stored place takes the file's version: its
 *   fields, address and links
 * @LODEX_DUPLICATES_ADD: the file's place is stored as a new place beside
 *   the stored one
 *
 * What an import does with a place of the file that is stored already:
 * one whose id is stored, or else a stored place of the same name within
 * 10 metres of it (the nearest, when several are).
 *
 * Since: 0.2
 */
typedef enum
{
  LODEX_DUPLICATES_SKIP,
  LODEX_DUPLICATES_UPDATE,
  LODEX_DUPLICATES_ADD,
} LodexDuplicates;

#define LODEX_TYPE_DUPLICATES (lodex_duplicates_get_type ())
GType lodex_duplicates_get_type (void);

#define LODEX_TYPE_IMPORT_OPTIONS (lodex_import_options_get_type ())
G_DECLARE_FINAL_TYPE (LodexImportOptions, lodex_import_options, LODEX, IMPORT_OPTIONS, GObject)

LodexImportOptions *lodex_import_options_new (void);
const char *lodex_import_options_get_category (LodexImportOptions *options);
void lodex_import_options_set_category (LodexImportOptions *options, const char *category);
LodexDuplicates lodex_import_options_get_duplicates (LodexImportOptions *options);
void lodex_import_options_set_duplicates (LodexImportOptions *options, LodexDuplicates duplicates);

G_END_DECLS
