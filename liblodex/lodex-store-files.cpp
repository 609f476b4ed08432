/* The store's import and export of files: the format by the file name;
 * an import run by the import engine, then announced. */

#include "lodex-store-private.h"
#include "lodex-importer.hpp"
#include "lodex-export-file.hpp"

namespace lodex
{

gboolean
import_file (LodexStore *store, const char *filename, bool lmx, GCancellable *cancellable, ImportProgressFunc progress, gpointer progress_data, GError **error) noexcept
{
  return import_file (store, filename, lmx ? import_lmx : import_gpx, cancellable, progress, progress_data, error);
}

gboolean
import_file (LodexStore *store, const char *filename, FileReader reader, GCancellable *cancellable, ImportProgressFunc progress, gpointer progress_data, GError **error) noexcept
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
  if (!importer.begin (error) || !reader (importer, filename, error)
      || !importer.commit (error))
    return FALSE;
  /* every store, this one included, reads what was stored from the
   * journal: one doorbell for the whole file */
  _lodex_store_announce_batch (store);
  return TRUE;
}

} // namespace lodex

/* The format is the name's: a name ending in ".lmx" is LMX, in
 * ".geojson" or ".json" GeoJSON, in any case; any other, one without a
 * suffix included, is GPX. */
static bool
has_suffix (const char *filename, const char *suffix)
{
  gsize length = strlen (filename), suffix_length = strlen (suffix);
  return length >= suffix_length && g_ascii_strcasecmp (filename + length - suffix_length, suffix) == 0;
}

static bool
is_lmx (const char *filename)
{
  return has_suffix (filename, ".lmx");
}

static bool
is_geojson (const char *filename)
{
  return has_suffix (filename, ".geojson") || has_suffix (filename, ".json");
}

/**
 * lodex_store_import_from_file:
 * @store: a #LodexStore
 * @filename: (type filename): an LMX file (a name ending in ".lmx"), a
 *   GeoJSON file (a name ending in ".geojson" or ".json"), in any case, or a
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
  if (is_geojson (filename))
    return lodex_import_from_geojson_file (store, filename, error);
  return is_lmx (filename) ? lodex_import_from_lmx_file (store, filename, error)
                           : lodex_import_from_gpx_file (store, filename, error);
}

/**
 * lodex_store_export_to_file:
 * @store: a #LodexStore
 * @filename: (type filename): the file to write: LMX for a name ending in
 *   ".lmx", GeoJSON for one ending in ".geojson" or ".json" (in any case,
 *   since 0.2), GPX for any other
 * @error: return location for a #GError, or %NULL
 *
 * Writes every place of the database to a file. A GPX file also holds
 * every route of the database as a `<rte>`, and every track (a route whose
 * "type" is "track") as a `<trk>`, after the places (since 0.2).
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
  if (is_geojson (filename))
    return lodex::export_geojson_file (LODEX_SET (store), filename, error);
  return is_lmx (filename) ? lodex_export_set_to_lmx_file (LODEX_SET (store), filename, error)
                           : lodex::export_gpx_file (LODEX_SET (store), store, filename, lodex::ExportSettings{}, error);
}
