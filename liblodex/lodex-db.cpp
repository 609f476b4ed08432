/* The database layer's connection: opening, the schema, the bounded busy
 * wait, the cache of prepared statements, transactions, and the generic
 * statement functions. The rows of each table family live in the sibling
 * files lodex-db-places, -categories, -images and -routes. */

#include "lodex-db-private.hpp"

#include <cerrno>
#include <cstdarg>
#include <optional>
#include <fcntl.h>
#include <glib/gstdio.h>
#include <unistd.h>

namespace lodex::db
{

gint64 busy_timeout_us = 10 * G_USEC_PER_SEC;

/* The largest memory map of a database file that Debian's SQLite allows
 * (SQLITE_MAX_MMAP_SIZE): 2 GiB, less 64 KiB. */
#define LODEX_DB_MMAP_SIZE 2147418112

namespace
{

thread_local int quiet_depth;

} // namespace

Quiet::Quiet () noexcept
{
  quiet_depth++;
}

Quiet::~Quiet ()
{
  quiet_depth--;
}

void
warn (sqlite3 *db, const char *format, ...) noexcept
{
  if (quiet_depth > 0)
    return;
  va_list args;
  va_start (args, format);
  lodex::fail_db (db, format, args);
  va_end (args);
}

namespace
{

/* Prepared statements by connection, then by the address of their text:
 * preparing "SELECT *" costs more than running it. */
GMutex cache_lock;
GHashTable *cache; /* sqlite3 * -> GHashTable (const char * -> sqlite3_stmt *) */

GHashTable *
statements_of (sqlite3 *db)
{
  if (!cache)
    cache = g_hash_table_new_full (nullptr, nullptr, nullptr, GDestroyNotify (g_hash_table_unref));
  auto statements = static_cast<GHashTable *> (g_hash_table_lookup (cache, db));
  if (!statements)
    {
      statements = g_hash_table_new (nullptr, nullptr);
      g_hash_table_insert (cache, db, statements);
    }
  return statements;
}

bool
bind_pairs (Statement &statement, va_list args) noexcept
{
  for (const char *name = va_arg (args, const char *); name; name = va_arg (args, const char *))
    if (!statement.bind (name, va_arg (args, const char *)))
      return false;
  return true;
}

} // namespace

Statement::~Statement ()
{
  if (!statement_)
    return;
  sqlite3_reset (statement_);
  sqlite3_clear_bindings (statement_);
  g_mutex_lock (&cache_lock);
  GHashTable *statements = statements_of (db_);
  /* borrowed twice at once: the second copy is not kept */
  bool spare = g_hash_table_contains (statements, query_);
  if (!spare)
    g_hash_table_insert (statements, const_cast<char *> (query_), statement_);
  g_mutex_unlock (&cache_lock);
  if (spare)
    sqlite3_finalize (statement_);
}

bool
Statement::bind (const char *name, const char *value) noexcept
{
  int index = sqlite3_bind_parameter_index (statement_, name);
  int res = value ? sqlite3_bind_text (statement_, index, value, -1, SQLITE_TRANSIENT)
                  : sqlite3_bind_null (statement_, index);
  if (res != SQLITE_OK)
    {
      warn (db_, "Problem whilst binding statement: %s", sqlite3_errmsg (db_));
      return false;
    }
  return true;
}

bool
Statement::bind (const char *name, double value) noexcept
{
  if (sqlite3_bind_double (statement_, sqlite3_bind_parameter_index (statement_, name), value) != SQLITE_OK)
    {
      warn (db_, "Problem whilst binding statement: %s", sqlite3_errmsg (db_));
      return false;
    }
  return true;
}

bool
Statement::bind_int64 (const char *name, gint64 value) noexcept
{
  if (sqlite3_bind_int64 (statement_, sqlite3_bind_parameter_index (statement_, name), value) != SQLITE_OK)
    {
      warn (db_, "Problem whilst binding statement: %s", sqlite3_errmsg (db_));
      return false;
    }
  return true;
}

Statement
borrow (sqlite3 *db, const char *query, bool loud) noexcept
{
  g_mutex_lock (&cache_lock);
  gpointer cached = nullptr;
  g_hash_table_steal_extended (statements_of (db), query, nullptr, &cached);
  g_mutex_unlock (&cache_lock);
  if (cached)
    return Statement (db, query, static_cast<sqlite3_stmt *> (cached));

  sqlite3_stmt *statement = nullptr;
  int res = wait_out_busy ([&] {
    return sqlite3_prepare_v3 (db, query, -1, SQLITE_PREPARE_PERSISTENT, &statement, nullptr);
  });
  if (res != SQLITE_OK)
    {
      if (loud)
        warn (db, "Problem preparing sql statement: %s", sqlite3_errmsg (db));
      sqlite3_finalize (statement);
      return Statement ();
    }
  return Statement (db, query, statement);
}

Statement
borrow_bound (sqlite3 *db, const char *query, ...) noexcept
{
  Statement statement = borrow (db, query);
  if (!statement)
    return statement;
  va_list args;
  va_start (args, query);
  bool bound = bind_pairs (statement, args);
  va_end (args);
  return bound ? std::move (statement) : Statement ();
}

bool
run (Statement &statement, const char *failure) noexcept
{
  if (_lodex_db_step (statement.get ()) != SQLITE_DONE)
    {
      warn (statement.db (), failure, sqlite3_errmsg (statement.db ()));
      sqlite3_reset (statement.get ());
      return false;
    }
  if (sqlite3_reset (statement.get ()) != SQLITE_OK)
    {
      warn (statement.db (), "Problem resetting statement: %s", sqlite3_errmsg (statement.db ()));
      return false;
    }
  return true;
}

bool
exec_bound (sqlite3 *db, const char *query, ...) noexcept
{
  Statement statement = borrow (db, query);
  if (!statement)
    return false;
  va_list args;
  va_start (args, query);
  bool bound = bind_pairs (statement, args);
  va_end (args);
  return bound && run (statement);
}

bool
fetch_row (Statement &statement) noexcept
{
  int res = _lodex_db_step (statement.get ());
  if (res == SQLITE_ROW)
    return true;
  if (res != SQLITE_DONE)
    warn (statement.db (), "Error when retrieving row: %s", sqlite3_errmsg (statement.db ()));
  return false;
}

bool
finish_read (Statement &statement) noexcept
{
  if (sqlite3_reset (statement.get ()) != SQLITE_OK)
    {
      warn (statement.db (), "Problem resetting statement: %s", sqlite3_errmsg (statement.db ()));
      return false;
    }
  return true;
}

gchar *
column_strdup (sqlite3_stmt *statement, int column) noexcept
{
  return g_strdup (reinterpret_cast<const gchar *> (sqlite3_column_text (statement, column)));
}

/* Transactions */

namespace
{

bool
exec_quietly (sqlite3 *db, const char *sql) noexcept
{
  return wait_out_busy ([&] { return sqlite3_exec (db, sql, nullptr, nullptr, nullptr); }) == SQLITE_OK;
}

/* The same for one statement of a literal text, kept prepared: a writer
 * that waits for the lock tries again and again, and every writer begins
 * and ends each write. */
bool
step_quietly (sqlite3 *db, const char *sql) noexcept
{
  Statement statement = borrow (db, sql, false);
  if (!statement)
    return exec_quietly (db, sql);
  int res = _lodex_db_step (statement.get ());
  sqlite3_reset (statement.get ());
  return res == SQLITE_DONE;
}

} // namespace

Transaction::Transaction (sqlite3 *db) noexcept : db_ (db)
{
  outermost_ = sqlite3_get_autocommit (db) != 0;
  open_ = step_quietly (db, outermost_ ? "BEGIN IMMEDIATE" : "SAVEPOINT lodex");
  if (!open_)
    warn (db, "Problem executing statement: %s", sqlite3_errmsg (db));
  else if (outermost_)
    journal_start_ = journal_end_quietly (db);
}

Transaction::~Transaction ()
{
  if (open_)
    rollback ();
}

bool
Transaction::commit () noexcept
{
  g_return_val_if_fail (open_, false);
  if (outermost_ && journal_start_ >= 0)
    mark_transaction (db_, journal_start_);
  if (!step_quietly (db_, outermost_ ? "COMMIT" : "RELEASE lodex"))
    {
      warn (db_, "Problem executing statement: %s", sqlite3_errmsg (db_));
      rollback ();
      return false;
    }
  open_ = false;
  return true;
}

void
Transaction::rollback () noexcept
{
  if (!open_)
    return;
  open_ = false;
  /* a failed statement may have ended the transaction already */
  if (outermost_)
    {
      if (!sqlite3_get_autocommit (db_))
        sqlite3_exec (db_, "ROLLBACK", nullptr, nullptr, nullptr);
    }
  else
    sqlite3_exec (db_, "ROLLBACK TO lodex; RELEASE lodex", nullptr, nullptr, nullptr);
}

} // namespace lodex::db

using namespace lodex::db;

int
_lodex_db_step (sqlite3_stmt *statement)
{
  return wait_out_busy ([statement] { return sqlite3_step (statement); });
}

void
_lodex_db_set_busy_timeout (guint milliseconds)
{
  busy_timeout_us = gint64 (milliseconds) * 1000;
}

/* The page cache of a connection, in KiB: a 64th of the file as it is
 * when opened, between SQLite's default of 2 MiB and 8 MiB. Within the
 * memory map it holds little but the pages of the write-ahead log and of
 * writes; a file larger than the map (ten million places or so) reads the
 * rest through it, where a search for the nearest places finds the
 * pages it needs (in a third less time with 8 MiB than with 2 at ten million
 * places). */
static int
page_cache_kib (const char *filename)
{
  GStatBuf st{};
  gint64 size = g_stat (filename, &st) == 0 ? gint64 (st.st_size) : 0;
  return int (CLAMP (size / 64 / 1024, 2048, 8192));
}

sqlite3 *
lodex_db_open (const gchar *filename)
{
  g_return_val_if_fail (filename != NULL, NULL);

  /* a person's places, often their home and routines: a new database is
   * its owner's alone (SQLite gives its -wal and -shm files the same mode);
   * an existing one keeps the mode it has, and is never opened here:
   * closing a descriptor of it would drop the locks of the process's other
   * connections to it. A link to a file not made yet makes it 0600 too. */
  int fd = g_open (filename, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0 && errno == EEXIST && !g_file_test (filename, G_FILE_TEST_EXISTS))
    if (g_autofree gchar *link = g_file_read_link (filename, nullptr))
      {
        g_autofree gchar *dir = g_path_get_dirname (filename);
        g_autofree gchar *target = g_path_is_absolute (link) ? g_strdup (link) : g_build_filename (dir, link, nullptr);
        fd = g_open (target, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
      }
  if (fd >= 0)
    close (fd);

  sqlite3 *db = nullptr;
  if (sqlite3_open (filename, &db) != SQLITE_OK)
    {
      warn (db, "Error opening database: %s", db ? sqlite3_errmsg (db) : "out of memory");
      sqlite3_close (db);
      return nullptr;
    }

  /* WAL: readers never block the writer, and a commit costs no fsync of the
   * main file. Every write is a savepoint inside a batch: keeping their
   * journals in memory spares a write to a temporary file for each page
   * (a third of an import's time). The file is read through a memory map
   * as large as the file (SQLite maps no more than there is, up to its
   * limit): its pages are the system's file cache, shared by every
   * connection and process, with no copy into each connection's own page
   * cache, which holds the pages of the write-ahead log, of writes, and of
   * a file beyond the map (page_cache_kib ()). Not fatal: without them the
   * database still works. */
  static const char *const pragmas[] = {
    "PRAGMA journal_mode=WAL",
    "PRAGMA synchronous=NORMAL",
    "PRAGMA temp_store=MEMORY",
    sizeof (void *) >= 8 ? "PRAGMA mmap_size=" G_STRINGIFY (LODEX_DB_MMAP_SIZE) : "PRAGMA mmap_size=268435456",
  };
  g_autofree gchar *cache = g_strdup_printf ("PRAGMA cache_size=-%d", page_cache_kib (filename));
  for (const char *pragma : pragmas)
    {
      int res = wait_out_busy ([&] { return sqlite3_exec (db, pragma, nullptr, nullptr, nullptr); });
      if (res != SQLITE_OK)
        g_debug ("%s failed: %s", pragma, sqlite3_errmsg (db));
    }
  sqlite3_exec (db, cache, nullptr, nullptr, nullptr);
  /* the searches' own SQL functions, on every connection of ours */
  if (!_lodex_search_register (db))
    g_warning ("Error adding custom function to database: %s", sqlite3_errmsg (db));
  return db;
}

/**
 * lodex_db_close:
 * @db: (nullable): a connection from lodex_db_open()
 *
 * Releases the statements the layer keeps for @db, then closes it.
 *
 * Returns: sqlite3_close()'s result
 */
int
lodex_db_close (sqlite3 *db)
{
  if (!db)
    return SQLITE_OK;
  g_mutex_lock (&cache_lock);
  GHashTable *statements = nullptr;
  if (cache)
    g_hash_table_steal_extended (cache, db, nullptr, reinterpret_cast<gpointer *> (&statements));
  g_mutex_unlock (&cache_lock);
  if (statements)
    {
      GHashTableIter iter;
      gpointer statement;
      g_hash_table_iter_init (&iter, statements);
      while (g_hash_table_iter_next (&iter, nullptr, &statement))
        sqlite3_finalize (static_cast<sqlite3_stmt *> (statement));
      g_hash_table_unref (statements);
    }
  return sqlite3_close (db);
}

/* Runs every statement of @commands on @db. */
static bool
run_schema (sqlite3 *db, const char *commands)
{
  const char *cursor = commands;
  for (;;)
    {
      sqlite3_stmt *raw = nullptr;
      const char *tail = nullptr;
      int res = wait_out_busy ([&] {
        return sqlite3_prepare_v2 (db, cursor, -1, &raw, &tail);
      });
      lodex::Stmt statement (raw);
      if (res != SQLITE_OK)
        {
          lodex::db::warn (db, "Problem when importing schema (prepare): %s", sqlite3_errmsg (db));
          return false;
        }
      if (!statement) /* only blanks or comments were left */
        return true;
      if (_lodex_db_step (statement.get ()) != SQLITE_DONE)
        {
          lodex::db::warn (db, "Problem when importing schema (step): %s", sqlite3_errmsg (db));
          return false;
        }
      cursor = tail;
    }
}

/* The tables of @db, column by column, against those that @commands make
 * in an empty database: a file of another program's, with a table of the
 * same name, must not be read as ours. Columns added at the end are
 * allowed. */
static bool
schema_matches (sqlite3 *db, const char *commands)
{
  sqlite3 *reference = nullptr;
  if (sqlite3_open (":memory:", &reference) != SQLITE_OK || !run_schema (reference, commands))
    {
      sqlite3_close (reference);
      return false;
    }
  bool matches = true;
  sqlite3_stmt *tables = nullptr;
  sqlite3_prepare_v2 (reference, "SELECT name FROM sqlite_schema WHERE type = 'table'", -1, &tables, nullptr);
  while (matches && sqlite3_step (tables) == SQLITE_ROW)
    {
      const char *table = reinterpret_cast<const char *> (sqlite3_column_text (tables, 0));
      g_autofree gchar *select = g_strdup_printf ("SELECT * FROM \"%s\"", table);
      lodex::Stmt expected, found;
      sqlite3_stmt *raw = nullptr;
      sqlite3_prepare_v2 (reference, select, -1, &raw, nullptr);
      expected.reset (raw);
      raw = nullptr;
      sqlite3_prepare_v2 (db, select, -1, &raw, nullptr);
      found.reset (raw);
      int n = expected ? sqlite3_column_count (expected.get ()) : 0;
      matches = found && sqlite3_column_count (found.get ()) >= n;
      for (int i = 0; matches && i < n; i++)
        matches = g_str_equal (sqlite3_column_name (expected.get (), i), sqlite3_column_name (found.get (), i));
      if (!matches)
        lodex::fail (LODEX_ERROR_DATABASE, "The table %s of the database is not the one this library makes", table);
    }
  sqlite3_finalize (tables);
  sqlite3_close (reference);
  return matches;
}

/* What each version of the schema does to a database of the version
 * before, beyond what the schema file makes: run once, in one transaction,
 * when such a database is opened. PRAGMA user_version holds the version. */
static const char *const migrations[] = {
  /* 1: the R*Tree of positions gets the places stored before it */
  "DELETE FROM places_rtree;"
  "INSERT INTO places_rtree (min_lat, max_lat, min_long, max_long, place_id) "
  "SELECT latitude, latitude, longitude, longitude, id FROM places",
  /* 2: the change journal: the schema file, run in the same transaction,
   * makes its table and triggers; it starts empty, and stores start at its
   * end */
  "",
  /* 3: the words and the name keys of the places stored before them: all
   * queued, and indexed before the next search */
  "DELETE FROM places_words;"
  "DELETE FROM places_key;"
  "DELETE FROM places_queue;"
  "INSERT INTO places_queue (place_id) SELECT id FROM places",
};

static int
schema_version (sqlite3 *db)
{
  sqlite3_stmt *raw = nullptr;
  sqlite3_prepare_v2 (db, "PRAGMA user_version", -1, &raw, nullptr);
  lodex::Stmt statement (raw);
  return statement && _lodex_db_step (raw) == SQLITE_ROW ? sqlite3_column_int (raw, 0) : -1;
}

/* Version 1 filled the R*Tree of positions; later ones keep it. */
bool
lodex::db::indexes_positions (sqlite3 *db) noexcept
{
  return schema_version (db) >= 1;
}

static bool
migrate (sqlite3 *db)
{
  const int latest = G_N_ELEMENTS (migrations);
  if (schema_version (db) >= latest)
    return true;
  Transaction transaction (db);
  if (!transaction)
    return false;
  int version = schema_version (db); /* another program may have been first */
  bool done = version >= 0;
  for (int step = version; done && step < latest; step++)
    done = exec_quietly (db, migrations[step]);
  g_autofree gchar *mark = g_strdup_printf ("PRAGMA user_version = %d", latest);
  if (done && version < latest)
    done = exec_quietly (db, mark);
  if (!done)
    {
      lodex::fail (LODEX_ERROR_DATABASE, "Problem bringing the database to version %d: %s", latest, sqlite3_errmsg (db));
      return false;
    }
  return transaction.commit ();
}

gboolean
lodex_db_create_tables (sqlite3 *db, const gchar *schema_filename)
{
  g_return_val_if_fail (db != NULL, FALSE);
  g_return_val_if_fail (schema_filename != NULL, FALSE);

  g_autoptr (GError) error = nullptr;
  g_autoptr (GIOChannel) channel = g_io_channel_new_file (schema_filename, "r", &error);
  if (!channel)
    {
      lodex::fail (LODEX_ERROR_DATABASE, "Error opening the schema file: %s", error->message);
      return FALSE;
    }

  g_autofree gchar *commands = nullptr;
  gsize length = 0;
  if (g_io_channel_read_to_end (channel, &commands, &length, &error) != G_IO_STATUS_NORMAL)
    {
      lodex::fail (LODEX_ERROR_DATABASE, "Error reading schema data: %s", error ? error->message : "unexpected end");
      return FALSE;
    }
  if (!lodex::check (commands != nullptr, G_STRFUNC, "commands != NULL")
      || !lodex::check (length != 0, G_STRFUNC, "length != 0"))
    return FALSE;

  /* a database behind the latest version (a new one too) gets the schema
   * and the migrations in one transaction: no program ever sees half of
   * them, such as some tables journaled and others not */
  std::optional<Transaction> whole;
  int version = schema_version (db);
  if (version >= 0 && version < int (G_N_ELEMENTS (migrations)))
    {
      whole.emplace (db);
      if (!*whole)
        return FALSE;
    }
  if (!run_schema (db, commands))
    return FALSE;
  if (!schema_matches (db, commands) || !migrate (db))
    return FALSE;
  return !whole || whole->commit ();
}

sqlite3_stmt *
lodex_db_generic_prepare_and_bind (sqlite3 *db, const gchar *query, ...)
{
  g_return_val_if_fail (db != NULL, NULL);
  g_return_val_if_fail (query != NULL, NULL);

  sqlite3_stmt *raw = nullptr;
  int res = wait_out_busy ([&] { return sqlite3_prepare_v2 (db, query, -1, &raw, nullptr); });
  lodex::Stmt statement (raw);
  if (res != SQLITE_OK)
    {
      g_warning ("Problem preparing sql statement: %s", sqlite3_errmsg (db));
      return nullptr;
    }
  va_list args;
  va_start (args, query);
  for (const char *name = va_arg (args, const char *); name; name = va_arg (args, const char *))
    {
      const char *value = va_arg (args, const char *);
      int index = sqlite3_bind_parameter_index (raw, name);
      res = value ? sqlite3_bind_text (raw, index, value, -1, SQLITE_TRANSIENT) : sqlite3_bind_null (raw, index);
      if (res != SQLITE_OK)
        {
          g_warning ("Problem whilst binding statement: %s", sqlite3_errmsg (db));
          break;
        }
    }
  va_end (args);
  return res == SQLITE_OK ? statement.release () : nullptr;
}

gboolean
lodex_db_generic_exec (sqlite3 *db, sqlite3_stmt *statement)
{
  lodex::Stmt owned (statement);
  g_return_val_if_fail (db != NULL, FALSE);
  g_return_val_if_fail (statement != NULL, FALSE);

  int res = _lodex_db_step (statement);
  if (res != SQLITE_DONE)
    {
      g_warning ("Problem executing statement: %s", sqlite3_errmsg (db));
      return FALSE;
    }
  return lodex_db_generic_reset_and_finalize (db, owned.release ());
}

gboolean
lodex_db_generic_reset_and_finalize (sqlite3 *db, sqlite3_stmt *statement)
{
  lodex::Stmt owned (statement);
  g_return_val_if_fail (db != NULL, FALSE);
  g_return_val_if_fail (statement != NULL, FALSE);

  if (sqlite3_reset (statement) != SQLITE_OK)
    {
      g_warning ("Problem resetting statement: %s", sqlite3_errmsg (db));
      return FALSE;
    }
  return TRUE;
}

gboolean
lodex_db_generic_fetch (sqlite3 *db, sqlite3_stmt *statement, gint column, gchar **out, ...)
{
  g_return_val_if_fail (db != NULL, FALSE);
  g_return_val_if_fail (statement != NULL, FALSE);

  int res = _lodex_db_step (statement);
  if (res != SQLITE_ROW)
    {
      if (res != SQLITE_DONE)
        g_warning ("Error when retrieving row: %s", sqlite3_errmsg (db));
      sqlite3_finalize (statement);
      return FALSE;
    }

  va_list args;
  va_start (args, out);
  while (column != -1)
    {
      *out = column_strdup (statement, column);
      column = va_arg (args, gint);
      if (column != -1)
        out = va_arg (args, gchar **);
    }
  va_end (args);
  return TRUE;
}

gchar *
lodex_db_generic_next_id (sqlite3 *db, sqlite3_stmt *statement, gint column)
{
  g_return_val_if_fail (db != NULL, NULL);
  g_return_val_if_fail (statement != NULL, NULL);

  gchar *id = nullptr;
  if (!lodex_db_generic_fetch (db, statement, column, &id, -1))
    return nullptr;
  if (!id) /* the walk ends here: release the statement and its read lock */
    sqlite3_finalize (statement);
  return id;
}

gchar *
lodex_db_get_next_id (sqlite3 *db, sqlite3_stmt *statement)
{
  return lodex_db_generic_next_id (db, statement, 0);
}

gchar *
lodex_db_get_next_route_id (sqlite3 *db, sqlite3_stmt *statement)
{
  return lodex_db_generic_next_id (db, statement, 0);
}

gchar *
lodex_db_get_next_image_id (sqlite3 *db, sqlite3_stmt *statement)
{
  return lodex_db_generic_next_id (db, statement, 0);
}

gchar *
lodex_db_get_next_category_id (sqlite3 *db, sqlite3_stmt *statement)
{
  return lodex_db_generic_next_id (db, statement, 0);
}

gchar *
lodex_db_get_next_p2i_image_id (sqlite3 *db, sqlite3_stmt *statement)
{
  return lodex_db_generic_next_id (db, statement, 1);
}

gchar *
lodex_db_get_next_p2c_category_id (sqlite3 *db, sqlite3_stmt *statement)
{
  return lodex_db_generic_next_id (db, statement, 1);
}

gboolean
_lodex_db_exec_and_free (sqlite3 *db, gchar *sql)
{
  lodex::SqlText owned (sql);
  g_return_val_if_fail (db != NULL, FALSE);
  g_return_val_if_fail (sql != NULL, FALSE);

  char *errmsg = nullptr;
  int res = wait_out_busy ([&] {
    sqlite3_free (errmsg);
    errmsg = nullptr;
    return sqlite3_exec (db, sql, nullptr, nullptr, &errmsg);
  });
  if (errmsg)
    {
      g_warning ("SQL ERROR: %s", errmsg);
      sqlite3_free (errmsg);
    }
  return res == SQLITE_OK;
}
