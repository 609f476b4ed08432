/* The store's import and export of files: the format by the file name;
 * an import run by the import engine, then announced. */

#include "lodex-store-private.h"
#include "lodex-importer.hpp"

namespace lodex
{

gboolean
import_file (LodexStore *store, const char *filename, bool lmx, GCancellable *cancellable, ImportProgressFunc progress, gpointer progress_data, GError **error) noexcept
{
  LodexStorePrivate *priv = store_priv (store);
  /* the import writes on a connection of its own, which would wait for the
   * store's own open transaction in vain */
  if (!sqlite3_get_autocommit (priv->db))
    {
      g_set_error (error, LODEX_ERROR, LODEX_ERROR_BUSY, "Could not import %s while the store has a write open",
                   filename);
      return FALSE;
    }
  const char *database = sqlite3_db_filename (priv->db, "main");
  if (!database || !*database)
    {
      g_set_error (error, LODEX_ERROR, LODEX_ERROR_DATABASE, "Could not import %s: the store has no file", filename);
      return FALSE;
    }

  Hold hold (store);
  Importer importer (database, cancellable, progress, progress_data);
  if (!importer.begin (error) || !(lmx ? import_lmx : import_gpx) (importer, filename, error)
      || !importer.commit (error))
    return FALSE;
  /* every store, this one included, reads what was stored from the
   * journal: one doorbell for the whole file */
  _lodex_store_announce_batch (store);
  return TRUE;
}

} // namespace lodex

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
 * @store, in one transaction: the whole file, or nothing at all.
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
