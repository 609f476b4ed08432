/* The store's import and export of files: the format by the file name. */

#include "lodex-private.h"

/* A name ending in ".lmx" (exactly) is LMX; any other, one without a
 * suffix included, is GPX. */
static bool
is_lmx (const char *filename)
{
  return g_str_has_suffix (filename, ".lmx");
}

/**
 * lodex_store_import_from_file:
 * @store: a #LodexStore
 * @filename: (type filename): an LMX file (a name ending in ".lmx") or a
 *   GPX file (any other name)
 * @error: return location for a #GError, or %NULL
 *
 * Reads the places (and, from GPX, the routes and tracks) of a file into
 * @store. What was stored before an error stays.
 *
 * Returns: whether the whole file was read and stored
 *
 * Since: 0.1
 */
gboolean
lodex_store_import_from_file (LodexStore *store, const char *filename, GError **error)
{
  g_return_val_if_fail (LODEX_IS_STORE (store), FALSE);
  g_return_val_if_fail (filename != NULL, FALSE);
  g_return_val_if_fail (error == NULL || *error == NULL, FALSE);
  return is_lmx (filename) ? lodex_import_from_lmx_file (store, filename, error)
                           : lodex_import_from_gpx_file (store, filename, error);
}

/**
 * lodex_store_export_to_file:
 * @store: a #LodexStore
 * @filename: (type filename): the file to write: LMX for a name ending in
 *   ".lmx", GPX for any other
 * @error: return location for a #GError, or %NULL
 *
 * Writes every place of the database to a file.
 *
 * Returns: whether the file was written
 *
 * Since: 0.1
 */
gboolean
lodex_store_export_to_file (LodexStore *store, const char *filename, GError **error)
{
  g_return_val_if_fail (LODEX_IS_STORE (store), FALSE);
  g_return_val_if_fail (filename != NULL, FALSE);
  g_return_val_if_fail (error == NULL || *error == NULL, FALSE);
  return is_lmx (filename) ? lodex_export_set_to_lmx_file (LODEX_SET (store), filename, error)
                           : lodex_export_set_to_gpx_file (LODEX_SET (store), filename, error);
}
