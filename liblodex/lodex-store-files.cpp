/* The store's import and export of files: the format by the file name;
 * an import run by the import engine, in the calling thread or in another,
 * then announced; progress told on the caller's main context. */

#include "lodex-store-private.h"
#include "lodex-importer.hpp"
#include "lodex-export-file.hpp"

#include <glib/gstdio.h>

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

namespace lodex
{

enum class Format
{
  gpx,
  lmx,
  geojson
};

static Format
format_of (const char *filename)
{
  return is_lmx (filename) ? Format::lmx : is_geojson (filename) ? Format::geojson : Format::gpx;
}

static FileReader
reader_of (const char *filename)
{
  switch (format_of (filename))
    {
    case Format::lmx:
      return import_lmx;
    case Format::geojson:
      return import_geojson;
    default:
      return import_gpx;
    }
}

} // namespace lodex

namespace lodex
{

/* The progress of work in another thread, told on the caller's main
 * context: the worker keeps the latest figures, and one idle source at a
 * time hands them over, so that calls come in order and never pile up. */
struct ProgressRelay
{
  gatomicrefcount refs;
  GMutex lock;
  GMainContext *context;
  LodexProgressCallback callback;
  gpointer data;
  GDestroyNotify data_free;
  guint64 places = 0;
  goffset done = 0;
  goffset total = -1;
  bool fresh = false;    /* figures not told yet */
  bool pending = false;  /* an idle source is attached */
  bool finished = false; /* the work is over: nothing more is told */
};

static ProgressRelay *
relay_new (LodexProgressCallback callback, gpointer data, GDestroyNotify data_free)
{
  auto relay = new ProgressRelay;
  g_atomic_ref_count_init (&relay->refs);
  g_mutex_init (&relay->lock);
  relay->context = g_main_context_ref_thread_default ();
  relay->callback = callback;
  relay->data = data;
  relay->data_free = data_free;
  return relay;
}

static ProgressRelay *
relay_ref (ProgressRelay *relay)
{
  g_atomic_ref_count_inc (&relay->refs);
  return relay;
}

static void
relay_unref (ProgressRelay *relay)
{
  if (!g_atomic_ref_count_dec (&relay->refs))
    return;
  /* relay_finish () has freed the caller's data on the caller's thread,
   * unless the work never started */
  if (relay->data_free)
    relay->data_free (relay->data);
  g_main_context_unref (relay->context);
  g_mutex_clear (&relay->lock);
  delete relay;
}

/* The figures not told yet, taken: FALSE when there are none. */
static bool
relay_take (ProgressRelay *relay, guint64 *places, goffset *done, goffset *total, bool finish)
{
  g_mutex_lock (&relay->lock);
  bool fresh = relay->fresh && !relay->finished && relay->callback;
  *places = relay->places;
  *done = relay->done;
  *total = relay->total;
  relay->fresh = false;
  relay->pending = false;
  relay->finished = relay->finished || finish;
  g_mutex_unlock (&relay->lock);
  return fresh;
}

static gboolean
relay_dispatch (gpointer data)
{
  auto relay = static_cast<ProgressRelay *> (data);
  guint64 places;
  goffset done, total;
  if (relay_take (relay, &places, &done, &total, false))
    relay->callback (places, done, total, relay->data);
  return G_SOURCE_REMOVE;
}

/* From the worker. */
static void
relay_post (guint64 places, goffset done, goffset total, gpointer data)
{
  auto relay = static_cast<ProgressRelay *> (data);
  if (!relay->callback)
    return;
  g_mutex_lock (&relay->lock);
  relay->places = MAX (relay->places, places);
  relay->done = MAX (relay->done, done);
  relay->total = total;
  relay->fresh = true;
  bool attach = !relay->pending && !relay->finished;
  relay->pending = relay->pending || attach;
  g_mutex_unlock (&relay->lock);
  if (attach)
    {
      GSource *source = g_idle_source_new ();
      g_source_set_priority (source, G_PRIORITY_DEFAULT);
      g_source_set_callback (source, relay_dispatch, relay_ref (relay), GDestroyNotify (relay_unref));
      g_source_set_static_name (source, "[lodex] progress");
      g_source_attach (source, relay->context);
      g_source_unref (source);
    }
}

/* On the caller's thread, once the work is over: the last figures are told
 * before the result, and the caller's data is freed there. */
static void
relay_finish (ProgressRelay *relay)
{
  guint64 places;
  goffset done, total;
  if (relay_take (relay, &places, &done, &total, true))
    relay->callback (places, done, total, relay->data);
  if (relay->data_free)
    relay->data_free (std::exchange (relay->data, nullptr));
  relay->data_free = nullptr;
}

namespace
{

/* One import: what the worker needs, and nothing of the store. */
struct ImportJob
{
  gchar *database = nullptr;
  gchar *filename = nullptr;
  FileReader reader = nullptr;
  ImportSettings settings;
  gchar *category = nullptr;
  GCancellable *cancellable = nullptr;
  ProgressRelay *relay = nullptr;

  ImportJob () = default;
  ImportJob (const ImportJob &) = delete;
  ImportJob &operator= (const ImportJob &) = delete;
  ~ImportJob ()
  {
    g_free (database);
    g_free (filename);
    g_free (category);
    g_clear_object (&cancellable);
    if (relay)
      relay_unref (relay);
  }
};

/* The database file of @store, which an import may write on a connection
 * of its own; NULL with @error when it may not now. */
gchar *
import_database (LodexStore *store, const char *filename, GError **error)
{
  LodexStorePrivate *priv = store_priv (store);
  /* the import writes on a connection of its own, which would wait for the
   * store's own open transaction in vain */
  if (!sqlite3_get_autocommit (priv->db))
    {
      g_set_error (error, LODEX_ERROR, LODEX_ERROR_BUSY, "Could not import %s while the store has a write open",
                   filename);
      return nullptr;
    }
  const char *database = sqlite3_db_filename (priv->db, "main");
  if (!database || !*database)
    {
      g_set_error (error, LODEX_ERROR, LODEX_ERROR_DATABASE, "Could not import %s: the store has no file", filename);
      return nullptr;
    }
  return g_strdup (database);
}

/* The whole import, in any thread: the store is not touched. */
LodexImportResult *
run_import (ImportJob *job, GError **error)
{
  ProgressRelay *relay = job->relay && job->relay->callback ? job->relay : nullptr;
  Importer importer (job->database, job->cancellable, relay ? relay_post : nullptr, relay);
  importer.configure (job->settings);
  if (!importer.begin (error) || !job->reader (importer, job->filename, error))
    return nullptr;
  if (relay)
    {
      /* the file is read to its end */
      GStatBuf st;
      goffset size = g_stat (job->filename, &st) == 0 ? goffset (st.st_size) : -1;
      ImportResult &done = importer.result ();
      relay_post (done.places + done.updated + done.skipped, size, size, relay);
    }
  if (!importer.commit (error))
    return nullptr;
  return import_result_new (importer.result ());
}

/* The job of an import of @file, or NULL with @error. */
ImportJob *
import_job_new (LodexStore *store, GFile *file, LodexImportOptions *options, GCancellable *cancellable, GError **error)
{
  g_autofree gchar *filename = g_file_get_path (file);
  if (!filename)
    {
      g_autofree gchar *uri = g_file_get_uri (file);
      g_set_error (error, G_IO_ERROR, G_IO_ERROR_NOT_SUPPORTED, "Could not import %s: not a local file", uri);
      return nullptr;
    }
  gchar *database = import_database (store, filename, error);
  if (!database)
    return nullptr;
  auto job = new ImportJob;
  job->database = database;
  job->reader = reader_of (filename);
  job->filename = g_steal_pointer (&filename);
  job->settings.by_name = true;
  if (options)
    {
      job->category = g_strdup (lodex_import_options_get_category (options));
      job->settings.category = job->category;
      switch (lodex_import_options_get_duplicates (options))
        {
        case LODEX_DUPLICATES_UPDATE:
          job->settings.duplicates = Duplicates::update;
          break;
        case LODEX_DUPLICATES_ADD:
          job->settings.duplicates = Duplicates::add;
          break;
        default:
          job->settings.duplicates = Duplicates::skip;
        }
    }
  job->cancellable = cancellable ? G_CANCELLABLE (g_object_ref (cancellable)) : nullptr;
  return job;
}

void
import_thread (GTask *task, gpointer source, gpointer data, GCancellable *)
{
  GError *error = nullptr;
  LodexImportResult *result = run_import (static_cast<ImportJob *> (data), &error);
  if (result)
    g_task_return_pointer (task, result, g_object_unref);
  else
    g_task_return_error (task, error);
}

/* Back on the caller's thread: the last progress, the announcement, then
 * the caller's callback. */
void
import_done (GObject *, GAsyncResult *inner, gpointer data)
{
  g_autoptr (GTask) outer = G_TASK (data);
  auto job = static_cast<ImportJob *> (g_task_get_task_data (G_TASK (inner)));
  GError *error = nullptr;
  auto result = static_cast<LodexImportResult *> (g_task_propagate_pointer (G_TASK (inner), &error));
  relay_finish (job->relay);
  if (!result)
    {
      g_task_return_error (outer, error);
      return;
    }
  /* every store, this one included, reads what was stored from the
   * journal: one doorbell for the whole file */
  _lodex_store_announce_batch (LODEX_STORE (g_task_get_source_object (outer)));
  g_task_return_pointer (outer, result, g_object_unref);
}

/* One export: a walk detached from its set, and nothing of the store. */
struct ExportJob
{
  ExportWalk walk;
  gchar *filename = nullptr;
  Format format = Format::gpx;
  bool whole_store = false;
  ExportSettings settings;
  ProgressRelay *relay = nullptr;

  explicit ExportJob (LodexSet *set) noexcept : walk (set) {}
  ExportJob (const ExportJob &) = delete;
  ExportJob &operator= (const ExportJob &) = delete;
  ~ExportJob ()
  {
    g_free (filename);
    if (relay)
      relay_unref (relay);
  }
};

/* The job of an export of @set to @file, or NULL with @error; @detach for
 * a walk that goes on in another thread. */
ExportJob *
export_job_new (LodexStore *store, LodexSet *set, GFile *file, LodexExportOptions *options, GCancellable *cancellable, ProgressRelay *relay, bool detach, GError **error)
{
  g_autofree gchar *filename = g_file_get_path (file);
  if (!filename)
    {
      g_autofree gchar *uri = g_file_get_uri (file);
      g_set_error (error, G_IO_ERROR, G_IO_ERROR_NOT_SUPPORTED, "Could not export to %s: not a local file", uri);
      return nullptr;
    }
  auto job = new ExportJob (set ? set : LODEX_SET (store));
  job->format = format_of (filename);
  job->whole_store = !set || set == LODEX_SET (store);
  job->filename = g_steal_pointer (&filename);
  if (options)
    {
      job->settings.routes = lodex_export_options_get_routes (options);
      job->settings.extension = lodex_export_options_get_extension (options);
    }
  job->relay = relay ? relay_ref (relay) : nullptr;
  job->walk.watch (cancellable, relay && relay->callback ? relay_post : nullptr, relay);
  if (detach && !job->walk.detach (error))
    {
      delete job;
      return nullptr;
    }
  return job;
}

bool
run_export (ExportJob *job, GError **error)
{
  switch (job->format)
    {
    case Format::lmx:
      return export_lmx (job->walk, job->filename, error);
    case Format::geojson:
      return export_geojson (job->walk, job->filename, error);
    default:
      return export_gpx (job->walk, job->whole_store, job->filename, job->settings, error);
    }
}

void
export_thread (GTask *task, gpointer source, gpointer data, GCancellable *)
{
  GError *error = nullptr;
  if (run_export (static_cast<ExportJob *> (data), &error))
    g_task_return_boolean (task, TRUE);
  else
    g_task_return_error (task, error);
}

void
export_done (GObject *, GAsyncResult *inner, gpointer data)
{
  g_autoptr (GTask) outer = G_TASK (data);
  auto job = static_cast<ExportJob *> (g_task_get_task_data (G_TASK (inner)));
  GError *error = nullptr;
  bool written = g_task_propagate_boolean (G_TASK (inner), &error);
  relay_finish (job->relay);
  if (written)
    g_task_return_boolean (outer, TRUE);
  else
    g_task_return_error (outer, error);
}

} // namespace

gboolean
import_file (LodexStore *store, const char *filename, bool lmx, GCancellable *cancellable, ImportProgressFunc progress, gpointer progress_data, GError **error) noexcept
{
  return import_file (store, filename, lmx ? import_lmx : import_gpx, cancellable, progress, progress_data, error);
}

gboolean
import_file (LodexStore *store, const char *filename, FileReader reader, GCancellable *cancellable, ImportProgressFunc progress, gpointer progress_data, GError **error) noexcept
{
  g_autofree gchar *database = import_database (store, filename, error);
  if (!database)
    return FALSE;
  Hold hold (store);
  Importer importer (database, cancellable, progress, progress_data);
  if (!importer.begin (error) || !reader (importer, filename, error) || !importer.commit (error))
    return FALSE;
  /* every store, this one included, reads what was stored from the
   * journal: one doorbell for the whole file */
  _lodex_store_announce_batch (store);
  return TRUE;
}

} // namespace lodex

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
  lodex::ExportWalk walk (LODEX_SET (store));
  switch (lodex::format_of (filename))
    {
    case lodex::Format::lmx:
      return lodex::export_lmx (walk, filename, error);
    case lodex::Format::geojson:
      return lodex::export_geojson (walk, filename, error);
    default:
      return lodex::export_gpx (walk, true, filename, lodex::ExportSettings{}, error);
    }
}

/**
 * lodex_store_import:
 * @store: a #LodexStore
 * @file: an LMX file (a name ending in ".lmx"), a GeoJSON file (".geojson"
 *   or ".json"), in any case, or a GPX file (any other name), on the local file system
 * @options: (nullable): how to treat the places of the file; %NULL for
 *   the defaults of lodex_import_options_new()
 * @cancellable: (nullable): a #GCancellable
 * @error: return location for a #GError, or %NULL
 *
 * Reads the places (and, from GPX, the routes and tracks) of @file into
 * @store, in one transaction: the whole file, or nothing at all.
 *
 * A place of the file is stored already when its id is stored, or else
 * when a stored place of the same name lies within 10 metres of it;
 * @options say whether it is skipped (the default), updated or added
 * again (see #LodexDuplicates). Unlike lodex_store_import_from_file(),
 * which only knows places by their id and skips them, this recognises
 * the places of files other programs wrote.
 *
 * The file is read and stored in the calling thread; see
 * lodex_store_import_async() for the same work in another thread. Once it
 * is stored, every store (this one included, when its main context runs)
 * hears of it as one batch of changes.
 *
 * Returns: (transfer full) (nullable): what the import did, or %NULL with
 *   @error set: in %LODEX_ERROR, %G_IO_ERROR_CANCELLED when @cancellable
 *   was cancelled, or a file error
 *
 * Since: 0.2
 */
LodexImportResult *
lodex_store_import (LodexStore *store, GFile *file, LodexImportOptions *options, GCancellable *cancellable, GError **error)
{
  g_return_val_if_fail (LODEX_IS_STORE (store), NULL);
  g_return_val_if_fail (G_IS_FILE (file), NULL);
  g_return_val_if_fail (options == NULL || LODEX_IS_IMPORT_OPTIONS (options), NULL);
  g_return_val_if_fail (cancellable == NULL || G_IS_CANCELLABLE (cancellable), NULL);
  g_return_val_if_fail (error == NULL || *error == NULL, NULL);

  lodex::ImportJob *job = lodex::import_job_new (store, file, options, cancellable, error);
  if (!job)
    return nullptr;
  LodexImportResult *result = lodex::run_import (job, error);
  delete job;
  if (result)
    _lodex_store_announce_batch (store);
  return result;
}

/**
 * lodex_store_import_async:
 * @store: a #LodexStore
 * @file: an LMX file (a name ending in ".lmx"), a GeoJSON file (".geojson"
 *   or ".json"), in any case, or a GPX file (any other name), on the local file system
 * @options: (nullable): how to treat the places of the file; %NULL for
 *   the defaults
 * @cancellable: (nullable): a #GCancellable
 * @progress_callback: (nullable) (scope notified) (closure progress_data) (destroy progress_data_free):
 *   called with how far the import is
 * @progress_data: data for @progress_callback
 * @progress_data_free: (nullable): frees @progress_data once the import is over
 * @callback: (scope async) (closure user_data): called once the import is over
 * @user_data: data for @callback
 *
 * Does what lodex_store_import() does, in another thread with a database
 * connection of its own: the calling thread's main context stays free.
 * The thread touches neither @store nor its objects.
 *
 * @progress_callback and @callback are called on the thread-default main
 * context of the calling thread, the last progress before @callback. The
 * import holds the database's write lock until it is over: writes of this
 * and other programs wait for it, up to ten seconds.
 *
 * Cancelling @cancellable before the import is stored ends it with
 * %G_IO_ERROR_CANCELLED, and nothing of the file is stored. Once stored,
 * the import is reported as done even when @cancellable was cancelled
 * meanwhile.
 *
 * Since: 0.2
 */
void
lodex_store_import_async (LodexStore *store,
                          GFile *file,
                          LodexImportOptions *options,
                          GCancellable *cancellable,
                          LodexProgressCallback progress_callback,
                          gpointer progress_data,
                          GDestroyNotify progress_data_free,
                          GAsyncReadyCallback callback,
                          gpointer user_data)
{
  g_return_if_fail (LODEX_IS_STORE (store));
  g_return_if_fail (G_IS_FILE (file));
  g_return_if_fail (options == NULL || LODEX_IS_IMPORT_OPTIONS (options));
  g_return_if_fail (cancellable == NULL || G_IS_CANCELLABLE (cancellable));

  GTask *outer = g_task_new (store, cancellable, callback, user_data);
  g_task_set_source_tag (outer, reinterpret_cast<gpointer> (lodex_store_import_async));
  /* a file stored is reported as stored */
  g_task_set_check_cancellable (outer, FALSE);

  GError *error = nullptr;
  lodex::ImportJob *job = lodex::import_job_new (store, file, options, cancellable, &error);
  lodex::ProgressRelay *relay = lodex::relay_new (progress_callback, progress_data, progress_data_free);
  if (!job)
    {
      lodex::relay_finish (relay);
      lodex::relay_unref (relay);
      g_task_return_error (outer, error);
      g_object_unref (outer);
      return;
    }
  job->relay = relay;
  /* no source object: the worker may drop the last reference of its task,
   * and the store must never be released there */
  GTask *inner = g_task_new (nullptr, nullptr, lodex::import_done, outer);
  g_task_set_task_data (inner, job, [] (gpointer data) { delete static_cast<lodex::ImportJob *> (data); });
  g_task_run_in_thread (inner, lodex::import_thread);
  g_object_unref (inner);
}

/**
 * lodex_store_import_finish:
 * @store: a #LodexStore
 * @result: the #GAsyncResult given to the callback of
 *   lodex_store_import_async()
 * @error: return location for a #GError, or %NULL
 *
 * Finishes an import started with lodex_store_import_async().
 *
 * Returns: (transfer full) (nullable): what the import did, or %NULL with
 *   @error set as lodex_store_import() sets it
 *
 * Since: 0.2
 */
LodexImportResult *
lodex_store_import_finish (LodexStore *store, GAsyncResult *result, GError **error)
{
  g_return_val_if_fail (LODEX_IS_STORE (store), NULL);
  g_return_val_if_fail (g_task_is_valid (result, store), NULL);
  g_return_val_if_fail (g_task_get_source_tag (G_TASK (result)) == reinterpret_cast<gpointer> (lodex_store_import_async), NULL);
  g_return_val_if_fail (error == NULL || *error == NULL, NULL);
  return static_cast<LodexImportResult *> (g_task_propagate_pointer (G_TASK (result), error));
}

static bool
set_of_store (LodexStore *store, LodexSet *set)
{
  g_autoptr (LodexStore) owner = lodex_set_get_store (set);
  return owner == store;
}

/**
 * lodex_store_export:
 * @store: a #LodexStore
 * @set: (nullable): the places to write, a set of @store's places; %NULL
 *   for every place of @store
 * @file: the file to write, on the local file system: LMX for a name
 *   ending in ".lmx", GeoJSON for one ending in ".geojson" or ".json" (in
 *   any case), GPX for any other; an existing file is replaced
 * @options: (nullable): what to write beyond the places; %NULL for the
 *   defaults of lodex_export_options_new()
 * @cancellable: (nullable): a #GCancellable
 * @error: return location for a #GError, or %NULL
 *
 * Writes the places of @set, in its order, as lodex_export_set_to_gpx_file(),
 * lodex_export_set_to_lmx_file() and lodex_export_set_to_geojson_file()
 * write them; a GPX export of every place of @store also writes its routes
 * and tracks, unless @options leave them out. The file takes its name
 * only once it is complete: a failed or cancelled export leaves @file as
 * it was.
 *
 * Returns: whether the file was written; %FALSE with @error set in
 *   %G_FILE_ERROR, %LODEX_ERROR, or %G_IO_ERROR (%G_IO_ERROR_CANCELLED)
 *
 * Since: 0.2
 */
gboolean
lodex_store_export (LodexStore *store, LodexSet *set, GFile *file, LodexExportOptions *options, GCancellable *cancellable, GError **error)
{
  g_return_val_if_fail (LODEX_IS_STORE (store), FALSE);
  g_return_val_if_fail (set == NULL || LODEX_IS_SET (set), FALSE);
  g_return_val_if_fail (set == NULL || set_of_store (store, set), FALSE);
  g_return_val_if_fail (G_IS_FILE (file), FALSE);
  g_return_val_if_fail (options == NULL || LODEX_IS_EXPORT_OPTIONS (options), FALSE);
  g_return_val_if_fail (cancellable == NULL || G_IS_CANCELLABLE (cancellable), FALSE);
  g_return_val_if_fail (error == NULL || *error == NULL, FALSE);

  lodex::ExportJob *job = lodex::export_job_new (store, set, file, options, cancellable, nullptr, false, error);
  if (!job)
    return FALSE;
  bool written = lodex::run_export (job, error);
  delete job;
  return written;
}

/**
 * lodex_store_export_async:
 * @store: a #LodexStore
 * @set: (nullable): the places to write, a set of @store's places; %NULL
 *   for every place of @store
 * @file: the file to write, as for lodex_store_export()
 * @options: (nullable): what to write beyond the places; %NULL for the
 *   defaults
 * @cancellable: (nullable): a #GCancellable
 * @progress_callback: (nullable) (scope notified) (closure progress_data) (destroy progress_data_free):
 *   called with the number of places written so far
 * @progress_data: data for @progress_callback
 * @progress_data_free: (nullable): frees @progress_data once the export is over
 * @callback: (scope async) (closure user_data): called once the export is over
 * @user_data: data for @callback
 *
 * Does what lodex_store_export() does, in another thread: the statement
 * of @set is prepared and bound now, on a database connection of the
 * export's own, and the thread reads its rows there and writes the file,
 * touching neither @store nor @set nor any live object. The export reads
 * the places as they are when it begins; later changes to @set (its
 * filters' values, say) do not reach it.
 *
 * @progress_callback and @callback are called on the thread-default main
 * context of the calling thread, the last progress before @callback.
 * Cancelling @cancellable ends the export with %G_IO_ERROR_CANCELLED and
 * leaves @file as it was.
 *
 * Since: 0.2
 */
void
lodex_store_export_async (LodexStore *store,
                          LodexSet *set,
                          GFile *file,
                          LodexExportOptions *options,
                          GCancellable *cancellable,
                          LodexProgressCallback progress_callback,
                          gpointer progress_data,
                          GDestroyNotify progress_data_free,
                          GAsyncReadyCallback callback,
                          gpointer user_data)
{
  g_return_if_fail (LODEX_IS_STORE (store));
  g_return_if_fail (set == NULL || LODEX_IS_SET (set));
  g_return_if_fail (set == NULL || set_of_store (store, set));
  g_return_if_fail (G_IS_FILE (file));
  g_return_if_fail (options == NULL || LODEX_IS_EXPORT_OPTIONS (options));
  g_return_if_fail (cancellable == NULL || G_IS_CANCELLABLE (cancellable));

  GTask *outer = g_task_new (store, cancellable, callback, user_data);
  g_task_set_source_tag (outer, reinterpret_cast<gpointer> (lodex_store_export_async));
  g_task_set_check_cancellable (outer, FALSE);

  GError *error = nullptr;
  lodex::ProgressRelay *relay = lodex::relay_new (progress_callback, progress_data, progress_data_free);
  lodex::ExportJob *job = lodex::export_job_new (store, set, file, options, cancellable, relay, true, &error);
  if (!job)
    {
      lodex::relay_finish (relay);
      lodex::relay_unref (relay);
      g_task_return_error (outer, error);
      g_object_unref (outer);
      return;
    }
  lodex::relay_unref (relay); /* the job holds it */
  /* no source object: the store is never released in the worker */
  GTask *inner = g_task_new (nullptr, nullptr, lodex::export_done, outer);
  g_task_set_task_data (inner, job, [] (gpointer data) { delete static_cast<lodex::ExportJob *> (data); });
  g_task_run_in_thread (inner, lodex::export_thread);
  g_object_unref (inner);
}

/**
 * lodex_store_export_finish:
 * @store: a #LodexStore
 * @result: the #GAsyncResult given to the callback of
 *   lodex_store_export_async()
 * @error: return location for a #GError, or %NULL
 *
 * Finishes an export started with lodex_store_export_async().
 *
 * Returns: whether the file was written; %FALSE with @error set as
 *   lodex_store_export() sets it
 *
 * Since: 0.2
 */
gboolean
lodex_store_export_finish (LodexStore *store, GAsyncResult *result, GError **error)
{
  g_return_val_if_fail (LODEX_IS_STORE (store), FALSE);
  g_return_val_if_fail (g_task_is_valid (result, store), FALSE);
  g_return_val_if_fail (g_task_get_source_tag (G_TASK (result)) == reinterpret_cast<gpointer> (lodex_store_export_async), FALSE);
  g_return_val_if_fail (error == NULL || *error == NULL, FALSE);
  return g_task_propagate_boolean (G_TASK (result), error);
}
