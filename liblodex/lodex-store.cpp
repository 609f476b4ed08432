/* LodexStore: the class, its connection and registries, the store as the
 * set of all places, batches of writes, and lodex_make_resident(). The
 * operations on each kind of object and the reactions to change broadcasts
 * live in the sibling lodex-store-*.cpp files. */

#include "lodex-store-private.h"
#include "lodex-config.h"
#include "lodex-location-sort-private.h"

#include <gmodule.h>

#include <atomic>

static void lodex_store_set_init (LodexSetInterface *iface);

/**
 * LodexStore:
 *
 * The user's place database, through which every place, category, image and
 * route is reached. An application makes one with lodex_store_get_system()
 * and keeps it.
 *
 * While the application holds an object, every lookup of its id on the store
 * gives that same object; once the application lets go of it, the store
 * forgets it. The database records every change, made by this process or
 * another, in a change journal, and the writer rings the session bus: when
 * the main loop runs, the store reads what the journal says, live objects
 * reload and emit "changed" or "removed", the store emits its own signals
 * with the id of the object concerned, and then #LodexStore::changes with
 * the whole batch. A broadcast that the journal does not bear out changes
 * nothing.
 *
 * A store is also the #LodexSet of all places.
 *
 * A store reads its database through a memory map of the file, as large
 * as the file up to 2 GiB (beyond that, pages are read into the page
 * cache). The mapped pages count in the process's resident memory once
 * read, but they are the system's file cache: shared with every program
 * that uses the database, and given back when memory runs short. Each of
 * the store's connections, one for writes and one for each walk under way
 * at the same time, keeps a page cache of its own for the pages of the
 * write-ahead log, of writes, and of a file beyond the map: a 64th of the
 * file as it was when the store opened it, between 2 and 8 MiB, filled
 * only as pages are read there.
 *
 * Since: 0.1
 */
G_DEFINE_TYPE_WITH_CODE (LodexStore, lodex_store, G_TYPE_OBJECT, G_ADD_PRIVATE (LodexStore) G_IMPLEMENT_INTERFACE (LODEX_TYPE_SET, lodex_store_set_init))

static guint signals[lodex::N_STORE_SIGNALS];
static guint changes_signal;

namespace lodex
{

LodexStorePrivate *
store_priv (LodexStore *store) noexcept
{
  return static_cast<LodexStorePrivate *> (lodex_store_get_instance_private (store));
}

void
store_emit (LodexStore *store, StoreSignal signal, const gchar *id) noexcept
{
  g_signal_emit (store, signals[signal], 0, id);
}

void
store_emit_changes (LodexStore *store, GPtrArray *changes, gboolean resynced) noexcept
{
  g_signal_emit (store, changes_signal, 0, changes, resynced);
}

const gchar *
place_id_of (GObject *object) noexcept
{
  return _lodex_place_get_row (LODEX_PLACE (object))->id;
}

const gchar *
category_id_of (GObject *object) noexcept
{
  return _lodex_category_get_row (LODEX_CATEGORY (object))->id;
}

const gchar *
image_id_of (GObject *object) noexcept
{
  return _lodex_image_get_row (LODEX_IMAGE (object))->id;
}

const gchar *
route_id_of (GObject *object) noexcept
{
  return _lodex_route_get_id (LODEX_ROUTE (object));
}

Stmt
prepare_listing (sqlite3 *db, const char *query) noexcept
{
  sqlite3_stmt *statement = nullptr;
  if (sqlite3_prepare_v2 (db, query, -1, &statement, nullptr) != SQLITE_OK)
    {
      g_warning ("Error whilst preparing statement: %s", sqlite3_errmsg (db));
      sqlite3_finalize (statement);
      return nullptr;
    }
  return Stmt (statement);
}

StoreWrite::StoreWrite (LodexStore *store, bool batch) noexcept
    : store_ (store), transaction_ (store_priv (store)->db), tracker_ (store_priv (store)->tracker),
      mark_ (_lodex_tracker_hold (tracker_, batch))
{
}

StoreWrite::~StoreWrite ()
{
  if (!released_)
    {
      transaction_.rollback ();
      _lodex_tracker_release (tracker_, mark_, FALSE);
      store_after_transaction (store_);
    }
}

/* Allocated with GLib, which aborts when memory runs out: nothing throws. */
StoreWrite *
StoreWrite::create (LodexStore *store, bool batch) noexcept
{
  return new (g_new (StoreWrite, 1)) StoreWrite (store, batch);
}

void
StoreWrite::free (StoreWrite *write) noexcept
{
  write->~StoreWrite ();
  g_free (write);
}

/* The journal is pruned by the programs that write it, inside one of their
 * writes, at most every half minute each: a row goes once it is ten minutes
 * old and 10,000 newer rows follow it, at most 100,000 at a time, so no
 * write is held up for long. A store that was not looking for longer finds
 * the gap and reads everything anew. */
constexpr gint64 prune_interval_us = 30 * G_USEC_PER_SEC;
constexpr gint64 journal_keep_rows = 10000;
constexpr gint64 journal_keep_seconds = 10 * 60;
constexpr gint64 journal_prune_rows = 100000;

static void
prune_now_and_then (sqlite3 *db) noexcept
{
  static std::atomic<gint64> last_prune; /* an import may write in a thread */
  gint64 now = g_get_monotonic_time ();
  gint64 last = last_prune;
  if ((last && now - last < prune_interval_us) || !last_prune.compare_exchange_strong (last, now))
    return;
  db::Transaction savepoint (db); /* a failure here never costs the write */
  if (savepoint && _lodex_db_prune_journal (db, journal_keep_rows, journal_keep_seconds, journal_prune_rows))
    savepoint.commit ();
}

bool
StoreWrite::commit () noexcept
{
  if (transaction_ && transaction_.outermost ())
    prune_now_and_then (transaction_.db ());
  bool committed = transaction_ && transaction_.commit ();
  released_ = true;
  _lodex_tracker_release (tracker_, mark_, committed);
  store_after_transaction (store_);
  return committed;
}

} // namespace lodex

using lodex::store_priv;

static LodexStorePrivate *
get_priv (LodexStore *self)
{
  return store_priv (self);
}

/* Construction and destruction */

static void
lodex_store_init (LodexStore *self)
{
  LodexStorePrivate *priv = new (get_priv (self)) LodexStorePrivate{}; /* GObject only zero-fills */
  priv->home = g_thread_self ();
  priv->tracker = _lodex_tracker_new_doorbell ([] (gpointer store) { lodex::store_catch_up (LODEX_STORE (store)); },
                                               self);
}

static void
lodex_store_dispose (GObject *object)
{
  LodexStorePrivate *priv = get_priv (LODEX_STORE (object));

  /* unfinished batches are rolled back, innermost first */
  while (priv->batches && priv->batches->len)
    lodex::StoreWrite::free (static_cast<lodex::StoreWrite *> (g_ptr_array_steal_index (priv->batches, priv->batches->len - 1)));
  g_clear_pointer (&priv->batches, g_ptr_array_unref);
  g_clear_object (&priv->tracker);

  G_OBJECT_CLASS (lodex_store_parent_class)->dispose (object);
}

static void
lodex_store_finalize (GObject *object)
{
  LodexStorePrivate *priv = get_priv (LODEX_STORE (object));

  priv->walk.end ();
  if (priv->walk_dbs)
    for (guint i = 0; i < priv->walk_dbs->len; i++)
      lodex_db_close (static_cast<sqlite3 *> (priv->walk_dbs->pdata[i]));
  g_clear_pointer (&priv->walk_dbs, g_ptr_array_unref);
  if (lodex_db_close (priv->db) != SQLITE_OK)
    g_warning ("Error closing database: %s", sqlite3_errmsg (priv->db));
  priv->~LodexStorePrivate ();

  G_OBJECT_CLASS (lodex_store_parent_class)->finalize (object);
}

static void
lodex_store_class_init (LodexStoreClass *klass)
{
  GObjectClass *object_class = G_OBJECT_CLASS (klass);
  object_class->dispose = lodex_store_dispose;
  object_class->finalize = lodex_store_finalize;

  struct
  {
    const char *name;
    glong offset;
  } const table[lodex::N_STORE_SIGNALS] = {
    {"category-added", G_STRUCT_OFFSET (LodexStoreClass, category_added)},
    {"category-removed", G_STRUCT_OFFSET (LodexStoreClass, category_removed)},
    {"category-updated", G_STRUCT_OFFSET (LodexStoreClass, category_updated)},
    {"image-added", G_STRUCT_OFFSET (LodexStoreClass, image_added)},
    {"image-removed", G_STRUCT_OFFSET (LodexStoreClass, image_removed)},
    {"image-updated", G_STRUCT_OFFSET (LodexStoreClass, image_updated)},
    {"place-added", G_STRUCT_OFFSET (LodexStoreClass, place_added)},
    {"place-removed", G_STRUCT_OFFSET (LodexStoreClass, place_removed)},
    {"place-updated", G_STRUCT_OFFSET (LodexStoreClass, place_updated)},
    {"route-added", G_STRUCT_OFFSET (LodexStoreClass, route_added)},
    {"route-removed", G_STRUCT_OFFSET (LodexStoreClass, route_removed)},
    {"route-updated", G_STRUCT_OFFSET (LodexStoreClass, route_updated)},
  };
  /**
   * LodexStore::category-added:
   * @store: the store
   * @id: the id of the category
   *
   * Emitted from the main loop when a category was added to the database, by
   * this process or another.
   *
   * Since: 0.1
   */
  /**
   * LodexStore::category-removed:
   * @store: the store
   * @id: the id of the category
   *
   * Emitted from the main loop when a category was removed from the
   * database. The live category, if any, then emits
   * #LodexCategory::removed and is forgotten.
   *
   * Since: 0.1
   */
  /**
   * LodexStore::category-updated:
   * @store: the store
   * @id: the id of the category
   *
   * Emitted from the main loop when a category was changed; a live category
   * has reloaded and emitted #LodexCategory::changed first.
   *
   * Since: 0.1
   */
  /**
   * LodexStore::image-added:
   * @store: the store
   * @id: the id of the image
   *
   * Emitted from the main loop when an image was added to the database, by
   * this process or another.
   *
   * Since: 0.1
   */
  /**
   * LodexStore::image-removed:
   * @store: the store
   * @id: the id of the image
   *
   * Emitted from the main loop when an image was removed from the database;
   * a live image emits #LodexImage::removed just after.
   *
   * Since: 0.1
   */
  /**
   * LodexStore::image-updated:
   * @store: the store
   * @id: the id of the image
   *
   * Emitted from the main loop when an image was changed; a live image has
   * reloaded and emitted #LodexImage::changed first.
   *
   * Since: 0.1
   */
  /**
   * LodexStore::place-added:
   * @store: the store
   * @id: the id of the place
   *
   * Emitted from the main loop when a place was added to the database, by
   * this process or another.
   *
   * Since: 0.1
   */
  /**
   * LodexStore::place-removed:
   * @store: the store
   * @id: the id of the place
   *
   * Emitted from the main loop when a place was removed from the database; a
   * live place emits #LodexPlace::removed just after.
   *
   * Since: 0.1
   */
  /**
   * LodexStore::place-updated:
   * @store: the store
   * @id: the id of the place
   *
   * Emitted from the main loop when a place was changed; a live place has
   * reloaded and emitted #LodexPlace::changed first.
   *
   * Since: 0.1
   */
  /**
   * LodexStore::route-added:
   * @store: the store
   * @id: the id of the route
   *
   * Emitted from the main loop when a route was added to the database, by
   * this process or another.
   *
   * Since: 0.1
   */
  /**
   * LodexStore::route-removed:
   * @store: the store
   * @id: the id of the route
   *
   * Emitted from the main loop when a route was removed from the database; a
   * live route emits #LodexRoute::removed just after.
   *
   * Since: 0.1
   */
  /**
   * LodexStore::route-updated:
   * @store: the store
   * @id: the id of the route
   *
   * Emitted from the main loop when a route's own properties were changed; a
   * live route has reloaded and emitted #LodexRoute::changed first.
   *
   * Since: 0.1
   */
  for (int i = 0; i < lodex::N_STORE_SIGNALS; i++)
    signals[i] = g_signal_new (table[i].name, G_TYPE_FROM_CLASS (klass), G_SIGNAL_RUN_LAST,
                               table[i].offset, nullptr, nullptr, g_cclosure_marshal_VOID__STRING,
                               G_TYPE_NONE, 1, G_TYPE_STRING);

  /**
   * LodexStore::changes:
   * @store: the store
   * @changes: (element-type LodexChange): what became of each object and
   *   membership, in the order the database recorded them: one entry each,
   *   or, for an object removed and stored again, a removal and an
   *   addition; empty when @resynced
   * @resynced: %TRUE when the store could not tell what changed: read
   *   every object anew
   *
   * Emitted from the main loop once for every batch of changes the store
   * reads from the database's change journal, by this process or another,
   * whoever wrote them (the sqlite3 shell included), after the live
   * objects reloaded and the per-object signals (#LodexStore::place-added
   * and its kin) of the same changes. A batch holds what was committed
   * since the store last looked, up to 10,000 journal rows; an import may
   * come in several.
   *
   * A place added and removed within one batch is in neither list; an
   * object added, then changed, is only added; a place that joined and then
   * left a category within one batch is not listed for it.
   *
   * The journal keeps a row for ten minutes, or longer while fewer than
   * 10,000 newer rows follow it. A store whose main loop did not run for
   * that long may find rows it never read gone: every live object then
   * reloads (or emits "removed" if it was removed), the store emits
   * #LodexSet::changed, and then this signal with @resynced %TRUE.
   *
   * Since: 0.2
   */
  changes_signal = g_signal_new ("changes", G_TYPE_FROM_CLASS (klass), G_SIGNAL_RUN_LAST, 0, nullptr, nullptr,
                                 nullptr, G_TYPE_NONE, 2, G_TYPE_PTR_ARRAY, G_TYPE_BOOLEAN);
}

/**
 * lodex_store_get_system:
 *
 * Opens the user's place database, `~/.lodex.db`, creating it when needed,
 * with the installed schema (the environment variable `LODEX_SCHEMA_FILE`
 * names another, for the tests of an uninstalled build). Every call makes a
 * new store with its own connection; an application keeps one.
 *
 * The store and every object it gives (places, categories, images, routes,
 * sets over it) belong to the calling thread: a call from another thread
 * fails with a critical warning. A program that works in several threads
 * opens one store in each.
 *
 * Returns: (transfer full) (nullable): the store, or %NULL when the database
 *   cannot be opened or its tables cannot be made
 *
 * Since: 0.1
 */
LodexStore *
lodex_store_get_system (void)
{
  g_autofree gchar *path = g_build_filename (g_get_home_dir (), ".lodex.db", nullptr);
  const gchar *schema = g_getenv ("LODEX_SCHEMA_FILE");
  return _lodex_store_get_from_file (path, schema && *schema ? schema : LODEX_SCHEMA_FILE);
}

/**
 * lodex_store_get_system_full:
 * @error: return location for a #GError, or %NULL
 *
 * Opens the user's place database as lodex_store_get_system() does, and
 * tells why it could not rather than logging it: %LODEX_ERROR_DATABASE when
 * the file is not a place database, is damaged or cannot be opened,
 * %LODEX_ERROR_BUSY when another program held it locked too long while its
 * tables were made.
 *
 * The store belongs to the calling thread: see lodex_store_get_system().
 *
 * Returns: (transfer full): the store, or %NULL with @error set
 *
 * Since: 0.2
 */
LodexStore *
lodex_store_get_system_full (GError **error)
{
  g_return_val_if_fail (error == NULL || *error == NULL, NULL);
  lodex::Failures failures;
  LodexStore *store = lodex_store_get_system ();
  failures.finish (store != nullptr, error, "Opening the place database");
  return store;
}

LodexStore *
_lodex_store_get_from_file (const gchar *filename, const gchar *schema_filename)
{
  g_return_val_if_fail (filename != NULL, NULL);

  sqlite3 *db = lodex_db_open (filename);
  if (!db)
    return nullptr;
  if (schema_filename && !lodex_db_create_tables (db, schema_filename))
    {
      lodex::fail (LODEX_ERROR_DATABASE, "Creating database tables failed");
      /* a garbage file, or another program's tables, is not a place
       * database; without the schema file (a broken installation) an
       * existing database still works */
      if (g_file_test (schema_filename, G_FILE_TEST_IS_REGULAR))
        {
          lodex_db_close (db);
          return nullptr;
        }
    }

  LodexStore *store = LODEX_STORE (g_object_new (LODEX_TYPE_STORE, nullptr));
  LodexStorePrivate *priv = get_priv (store);
  priv->db = db;
  /* changes made before the store existed are not its news */
  priv->journal_seq = _lodex_db_journal_end (db);
  if (priv->journal_seq < 0)
    g_warning ("The database has no change journal: the store will not hear of changes");
  priv->positions_indexed = lodex::db::indexes_positions (db);
  return store;
}

gboolean
_lodex_store_is_home (LodexStore *store)
{
  return !store || get_priv (store)->home == g_thread_self ();
}

/* The store as a set: all places, in the order SQLite returns them. */

static LodexPlace *
lodex_store_set_first (LodexSet *set)
{
  g_return_val_if_fail (LODEX_IS_STORE (set), NULL);
  return lodex::walk_first (set, &get_priv (LODEX_STORE (set))->walk);
}

static LodexPlace *
lodex_store_set_next (LodexSet *set)
{
  g_return_val_if_fail (LODEX_IS_STORE (set), NULL);
  LodexStorePrivate *priv = get_priv (LODEX_STORE (set));
  if (!lodex::check (bool (priv->walk), G_STRFUNC, "priv->statement != NULL"))
    return nullptr;
  return lodex::walk_next (set, &priv->walk);
}

static LodexStore *
_lodex_store_set_get_store (LodexSet *set)
{
  g_return_val_if_fail (LODEX_IS_STORE (set), NULL);
  return LODEX_STORE (g_object_ref (set));
}

static sqlite3 *
_lodex_store_set_get_db (LodexSet *set)
{
  g_return_val_if_fail (LODEX_IS_STORE (set), NULL);
  return get_priv (LODEX_STORE (set))->db;
}

static const gchar *
_lodex_store_set_get_query (LodexSet *set)
{
  g_return_val_if_fail (LODEX_IS_STORE (set), NULL);
  return "SELECT * from places";
}

static gboolean
_lodex_store_set_bind (LodexSet *set, sqlite3_stmt *statement)
{
  return TRUE;
}

static void
lodex_store_set_init (LodexSetInterface *iface)
{
  iface->first = lodex_store_set_first;
  iface->next = lodex_store_set_next;
  iface->get_store = _lodex_store_set_get_store;
  iface->get_db = _lodex_store_set_get_db;
  iface->get_query = _lodex_store_set_get_query;
  iface->bind = _lodex_store_set_bind;
}

gboolean
_lodex_store_indexes_positions (LodexStore *store)
{
  g_return_val_if_fail (LODEX_IS_STORE (store), FALSE);
  return get_priv (store)->positions_indexed;
}

/* Registries */

void
_lodex_store_forget (LodexStore *store, GObject *object)
{
  LodexStorePrivate *priv = get_priv (store);
  if (G_TYPE_CHECK_INSTANCE_TYPE (object, LODEX_TYPE_PLACE))
    priv->places.forget (object);
  else if (LODEX_IS_CATEGORY (object))
    priv->categories.forget (object);
  else if (LODEX_IS_IMAGE (object))
    priv->images.forget (object);
  else if (LODEX_IS_ROUTE (object))
    priv->routes.forget (object);
}

/* Walks */

/* Whether a statement of @db is part-way through its rows: the connection
 * then holds a read snapshot, which every new statement on it would share. */
static bool
reading (sqlite3 *db)
{
  for (sqlite3_stmt *s = sqlite3_next_stmt (db, nullptr); s; s = sqlite3_next_stmt (db, s))
    if (sqlite3_stmt_busy (s))
      return true;
  return false;
}

/* A connection for a new walk. Walks read on connections of their own: a
 * walk left open keeps its snapshot for itself, and the store's connection,
 * on which objects are fetched, reloaded and written, never reads stale
 * data or holds a lock because of it. A walk sees the places as they were
 * at its first step. */
sqlite3 *
_lodex_store_get_walk_db (LodexStore *store)
{
  g_return_val_if_fail (LODEX_IS_STORE (store), NULL);
  LodexStorePrivate *priv = get_priv (store);
  if (!priv->walk_dbs)
    priv->walk_dbs = g_ptr_array_new ();
  for (guint i = 0; i < priv->walk_dbs->len; i++)
    if (!reading (static_cast<sqlite3 *> (priv->walk_dbs->pdata[i])))
      return static_cast<sqlite3 *> (priv->walk_dbs->pdata[i]);

  sqlite3 *db = lodex_db_open (sqlite3_db_filename (priv->db, "main"));
  if (!db)
    return nullptr;
  sqlite3_exec (db, "PRAGMA query_only=1", nullptr, nullptr, nullptr);
  _lodex_location_sort_register (db);
  g_ptr_array_add (priv->walk_dbs, db);
  return db;
}

/* Batches */

gboolean
_lodex_store_batch_begin (LodexStore *store)
{
  g_return_val_if_fail (LODEX_IS_STORE (store), FALSE);
  LodexStorePrivate *priv = get_priv (store);
  auto batch = lodex::StoreWrite::create (store, true);
  if (!*batch)
    {
      lodex::StoreWrite::free (batch);
      return FALSE;
    }
  if (!priv->batches)
    priv->batches = g_ptr_array_new ();
  g_ptr_array_add (priv->batches, batch);
  return TRUE;
}

gboolean
_lodex_store_batch_end (LodexStore *store)
{
  g_return_val_if_fail (LODEX_IS_STORE (store), FALSE);
  LodexStorePrivate *priv = get_priv (store);
  g_return_val_if_fail (priv->batches && priv->batches->len > 0, FALSE);
  auto batch = static_cast<lodex::StoreWrite *> (g_ptr_array_steal_index (priv->batches, priv->batches->len - 1));
  bool committed = batch->commit ();
  lodex::StoreWrite::free (batch);
  return committed;
}

void
_lodex_store_announce_batch (LodexStore *store)
{
  g_return_if_fail (LODEX_IS_STORE (store));
  _lodex_tracker_ring (get_priv (store)->tracker);
}

/**
 * lodex_make_resident:
 *
 * Keeps the library loaded for the life of the process, for programs that
 * load it as a module.
 *
 * Since: 0.1
 */
void
lodex_make_resident (void)
{
  GModule *module = g_module_open (LODEX_LIBRARY_FILE, GModuleFlags (0));
  if (!module)
    {
      g_critical ("%s: g_module_open() failed: %s", "lodex_make_resident", g_module_error ());
      return;
    }
  g_module_make_resident (module);
}
