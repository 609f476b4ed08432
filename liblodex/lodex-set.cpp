/* LodexSet: a restartable walk over places backed by one SQL query. */

#include "lodex-search-private.hpp"
#include "lodex-db-private.hpp"

/**
 * LodexSet:
 *
 * A restartable walk over places, backed by one SQL query: the store itself
 * (all places), or a filter or sort built around another set
 * (#LodexCategoryFilter, #LodexRouteFilter, #LodexLocationFilter,
 * #LodexLocationSort), to any depth. A whole chain runs as one statement.
 *
 * Walk a set with lodex_set_first() and lodex_set_next(). A walk reads on a
 * database connection of its own and sees the places as they were at its
 * first step; it may be abandoned at any point. Its statement is kept until
 * the next lodex_set_first() or the set's destruction.
 *
 * Since: 0.1
 */
G_DEFINE_INTERFACE (LodexSet, lodex_set, G_TYPE_OBJECT)

static G_DEFINE_QUARK (lodex-set-walk-error, walk_error)

static guint changed_signal;

static void
lodex_set_default_init (LodexSetInterface *iface)
{
  /**
   * LodexSet::changed:
   * @set: the set
   *
   * Emitted when places may have come into or left the set: a place added to
   * or removed from the store, by any process. A set built around another
   * relays its inner set's signal; a category or route filter also emits it
   * when its category or route is replaced or changes. A walk under way is
   * not affected; a new walk sees the change.
   *
   * Since: 0.1
   */
  changed_signal = g_signal_new ("changed", G_TYPE_FROM_INTERFACE (iface), G_SIGNAL_RUN_LAST,
                                 G_STRUCT_OFFSET (LodexSetInterface, changed), nullptr, nullptr,
                                 g_cclosure_marshal_VOID__VOID, G_TYPE_NONE, 0);
}

/* Borrowed: a set holds its store. */
static LodexStore *
store_of (LodexSet *set)
{
  LodexStore *store = LODEX_SET_GET_IFACE (set)->get_store (set);
  if (store)
    g_object_unref (store);
  return store;
}

/**
 * lodex_set_first:
 * @set: a #LodexSet
 *
 * Starts a new walk over @set, dropping one under way.
 *
 * Returns: (transfer full) (nullable): the first place, or %NULL
 *
 * Since: 0.1
 */
LodexPlace *
lodex_set_first (LodexSet *set)
{
  g_return_val_if_fail (LODEX_IS_SET (set), NULL);
  lodex_return_val_if_foreign (store_of (set), NULL);
  g_object_set_qdata (G_OBJECT (set), walk_error_quark (), nullptr);
  return LODEX_SET_GET_IFACE (set)->first (set);
}

/**
 * lodex_set_next:
 * @set: a #LodexSet whose walk is under way
 *
 * Steps the walk that lodex_set_first() started.
 *
 * Returns: (transfer full) (nullable): the next place, or %NULL at the end
 *
 * Since: 0.1
 */
LodexPlace *
lodex_set_next (LodexSet *set)
{
  g_return_val_if_fail (LODEX_IS_SET (set), NULL);
  lodex_return_val_if_foreign (store_of (set), NULL);
  return LODEX_SET_GET_IFACE (set)->next (set);
}

/**
 * lodex_set_get_walk_error:
 * @set: a #LodexSet
 *
 * Tells why the last walk of @set ended early. lodex_set_next() returns
 * %NULL both at the end of the places and when reading them failed (a
 * damaged database, an I/O error); a program that must not take a partial
 * list for the whole one asks here once the walk has ended.
 *
 * Returns: (transfer none) (nullable): the error that ended the last walk,
 *   in %LODEX_ERROR, or %NULL when it reached the end, is under way, or
 *   never started
 *
 * Since: 0.2
 */
const GError *
lodex_set_get_walk_error (LodexSet *set)
{
  g_return_val_if_fail (LODEX_IS_SET (set), NULL);
  return static_cast<const GError *> (g_object_get_qdata (G_OBJECT (set), walk_error_quark ()));
}

void
_lodex_set_walk_failed (LodexSet *set, sqlite3 *db, const char *what)
{
  GError *error = nullptr;
  _lodex_set_database_error (&error, db, what);
  g_warning ("%s", error->message);
  g_object_set_qdata_full (G_OBJECT (set), walk_error_quark (), error, GDestroyNotify (g_error_free));
}

/**
 * lodex_set_get_store:
 * @set: a #LodexSet
 *
 * Tells which store the places of @set come from.
 *
 * Returns: (transfer full): the store whose places @set holds
 *
 * Since: 0.1
 */
LodexStore *
lodex_set_get_store (LodexSet *set)
{
  g_return_val_if_fail (LODEX_IS_SET (set), NULL);
  return LODEX_SET_GET_IFACE (set)->get_store (set);
}

sqlite3 *
_lodex_set_get_db (LodexSet *set)
{
  g_return_val_if_fail (LODEX_IS_SET (set), NULL);
  return LODEX_SET_GET_IFACE (set)->get_db (set);
}

const gchar *
_lodex_set_get_query (LodexSet *set)
{
  g_return_val_if_fail (LODEX_IS_SET (set), NULL);
  return LODEX_SET_GET_IFACE (set)->get_query (set);
}

gboolean
_lodex_set_bind (LodexSet *set, sqlite3_stmt *statement)
{
  g_return_val_if_fail (LODEX_IS_SET (set), FALSE);
  return LODEX_SET_GET_IFACE (set)->bind (set, statement);
}

void
_lodex_set_emit_changed (LodexSet *set)
{
  g_signal_emit (set, changed_signal, 0);
}

sqlite3_stmt *
_lodex_set_do_query (LodexSet *set)
{
  g_return_val_if_fail (set != NULL, NULL);

  const gchar *query = _lodex_set_get_query (set);
  g_return_val_if_fail (query != NULL, NULL);
  g_autoptr (LodexStore) store = lodex_set_get_store (set);
  sqlite3 *db = store ? _lodex_store_get_walk_db (store) : nullptr;
  g_return_val_if_fail (db != NULL, NULL);

  /* SQLite may drop the ORDER BY of a subquery: a chain keeps the order of
   * its outermost sort by ordering the whole */
  g_autofree gchar *ordered = nullptr;
  if (const char *order = lodex::chain_order (set))
    query = ordered = g_strdup_printf ("SELECT * from (%s) ORDER BY %s", query, order);

  sqlite3_stmt *raw = nullptr;
  int res = sqlite3_prepare_v2 (db, query, -1, &raw, nullptr);
  lodex::Stmt statement (raw);
  if (res != SQLITE_OK)
    {
      _lodex_set_walk_failed (set, db, "Problem preparing SQL statement");
      return nullptr;
    }
  if (!_lodex_set_bind (set, statement.get ()))
    {
      g_warning ("Error with chained binding of statement.");
      return nullptr;
    }
  return statement.release ();
}

/* One step of a walk: the place of the next row, or NULL with the statement
 * finalized (end of rows, an error, or an id without a place). */
static LodexPlace *
walk_step (LodexSet *set, lodex::Walk *walk)
{
  int res = _lodex_db_step (walk->statement);
  if (res != SQLITE_ROW)
    {
      if (res != SQLITE_DONE) /* the walk's own connection has the message */
        _lodex_set_walk_failed (set, sqlite3_db_handle (walk->statement), "Error when retrieving row");
      walk->end ();
      return nullptr;
    }

  LodexPlace *place = lodex::place_for_row (walk->store, walk->statement, walk->place_rows);
  if (!place) /* ends the walk, and with it the statement's read lock */
    walk->end ();
  return place;
}

LodexPlace *
lodex::walk_first (LodexSet *set, Walk *walk) noexcept
{
  walk->end ();
  walk->statement = _lodex_set_do_query (set);
  if (!walk->statement)
    return nullptr;
  g_autoptr (LodexStore) store = lodex_set_get_store (set);
  walk->store = store; /* @set holds it while the walk lasts */
  walk->place_rows = lodex::db::is_place_row (walk->statement);
  return walk_step (set, walk);
}

LodexPlace *
lodex::walk_next (LodexSet *set, Walk *walk) noexcept
{
  return walk_step (set, walk);
}

/* The same for a walk kept as its statement alone: what the step needs is
 * found anew each time. */
LodexPlace *
_lodex_set_walk_first (LodexSet *set, sqlite3_stmt **statement)
{
  lodex::Walk walk{*statement, nullptr, false};
  LodexPlace *place = lodex::walk_first (set, &walk);
  *statement = walk.statement;
  return place;
}

LodexPlace *
_lodex_set_walk_next (LodexSet *set, sqlite3_stmt **statement)
{
  g_autoptr (LodexStore) store = lodex_set_get_store (set);
  if (!store)
    {
      g_clear_pointer (statement, sqlite3_finalize);
      return nullptr;
    }
  lodex::Walk walk{*statement, store, lodex::db::is_place_row (*statement)};
  LodexPlace *place = walk_step (set, &walk);
  *statement = walk.statement;
  return place;
}

/**
 * lodex_set_count:
 * @set: a #LodexSet
 * @error: return location for a #GError, or %NULL
 *
 * Counts the places of @set as a walk would give them, in one query,
 * without making an object for any of them.
 *
 * Returns: the number of places, or -1 with @error set (in %LODEX_ERROR)
 *   when the database could not tell
 *
 * Since: 0.2
 */
gint64
lodex_set_count (LodexSet *set, GError **error)
{
  g_return_val_if_fail (LODEX_IS_SET (set), -1);
  g_return_val_if_fail (error == NULL || *error == NULL, -1);
  lodex_return_val_if_foreign (store_of (set), -1);

  /* composed and bound without orders */
  struct CountScope
  {
    CountScope () { lodex::composing_for_count = true; }
    ~CountScope () { lodex::composing_for_count = false; }
  } scope;
  const gchar *query = _lodex_set_get_query (set);
  g_autofree gchar *count = query ? lodex::count_text (set) : nullptr;
  if (query && !count)
    count = g_strdup_printf ("SELECT count(*) FROM (%s)", query);
  g_autoptr (LodexStore) store = lodex_set_get_store (set);
  sqlite3 *db = store ? _lodex_store_get_walk_db (store) : nullptr;
  if (!query || !db)
    {
      g_set_error_literal (error, LODEX_ERROR, LODEX_ERROR_DATABASE, "The set has no query");
      return -1;
    }
  sqlite3_stmt *raw = nullptr;
  int res = sqlite3_prepare_v2 (db, count, -1, &raw, nullptr);
  lodex::Stmt statement (raw);
  if (res != SQLITE_OK)
    {
      _lodex_set_database_error (error, db, "Problem preparing SQL statement");
      return -1;
    }
  if (!_lodex_set_bind (set, raw))
    {
      g_set_error_literal (error, LODEX_ERROR, LODEX_ERROR_DATABASE, "Error with chained binding of statement.");
      return -1;
    }
  if (_lodex_db_step (raw) != SQLITE_ROW)
    {
      _lodex_set_database_error (error, db, "Error when retrieving row");
      return -1;
    }
  return sqlite3_column_int64 (raw, 0);
}
