#pragma once

/* What the database layer's files share: the bounded busy wait, the cache
 * of prepared statements and the helpers that bind, step and read them.
 * Every statement of the layer is prepared once per connection, with named
 * parameters, and bound; no SQL text is ever built from values. */

#include "lodex-private.h"

#include <utility>

namespace lodex::db
{

/* Every process of the user shares the file; a lock held elsewhere is waited
 * out this long, then reported like any other failure. */
extern gint64 busy_timeout_us;

/* While one is in scope, the failures of the layer's functions called on
 * this thread are not logged: the caller reports them itself, as a GError
 * made from SQLite's message. */
class Quiet
{
public:
  Quiet () noexcept;
  ~Quiet ();
  Quiet (const Quiet &) = delete;
  Quiet &operator= (const Quiet &) = delete;
};

/* g_warning (), unless a Quiet is in scope; kept as the failure of an
 * operation that reports it (lodex::Failures), with SQLite's code on @db. */
void warn (sqlite3 *db, const char *format, ...) noexcept G_GNUC_PRINTF (2, 3);

/* Calls @attempt until it stops answering SQLITE_BUSY or the wait is over. */
template <typename F>
int
wait_out_busy (F attempt)
{
  int res = attempt ();
  if (res != SQLITE_BUSY)
    return res;

  const gint64 deadline = g_get_monotonic_time () + busy_timeout_us;
  while (res == SQLITE_BUSY && g_get_monotonic_time () < deadline)
    {
      g_usleep (100);
      res = attempt ();
    }
  return res;
}

/* A statement borrowed from the connection's cache; reset, cleared and given
 * back at the end of the scope, so it never holds a lock between calls. The
 * cache is keyed by the address of the query text, which must be a literal
 * (or otherwise live as long as the process). */
class Statement
{
public:
  Statement () = default;
  Statement (sqlite3 *db, const char *query, sqlite3_stmt *statement) noexcept
      : db_ (db), query_ (query), statement_ (statement)
  {
  }
  Statement (Statement &&other) noexcept
      : db_ (other.db_), query_ (other.query_), statement_ (std::exchange (other.statement_, nullptr))
  {
  }
  Statement (const Statement &) = delete;
  Statement &operator= (const Statement &) = delete;
  ~Statement ();

  sqlite3_stmt *
  get () const noexcept
  {
    return statement_;
  }
  sqlite3 *
  db () const noexcept
  {
    return db_;
  }
  explicit operator bool () const noexcept { return statement_ != nullptr; }

  /* Binds text (NULL binds SQL NULL), a double, an integer; false after a
   * warning "Problem whilst binding statement: %s". */
  bool bind (const char *name, const char *value) noexcept;
  bool bind (const char *name, double value) noexcept;
  bool bind_int64 (const char *name, gint64 value) noexcept;

private:
  sqlite3 *db_ = nullptr;
  const char *query_ = nullptr;
  sqlite3_stmt *statement_ = nullptr;
};

/* The cached statement for @query; empty after a warning
 * "Problem preparing sql statement: %s" (unless not @warn). */
Statement borrow (sqlite3 *db, const char *query, bool warn = true) noexcept;

/* borrow () with name/value text pairs bound, ending with NULL. */
Statement borrow_bound (sqlite3 *db, const char *query, ...) noexcept G_GNUC_NULL_TERMINATED;

/* Steps a write to its end and resets it; false after a warning made from
 * @failure, a format with one %s for SQLite's message. */
bool run (Statement &statement, const char *failure = "Problem executing statement: %s") noexcept;

/* borrow_bound () and run () in one. */
bool exec_bound (sqlite3 *db, const char *query, ...) noexcept G_GNUC_NULL_TERMINATED;

/* Steps a read: true on a row; false at the end or after a logged error. */
bool fetch_row (Statement &statement) noexcept;

/* Ends a single-row read that found its row. */
bool finish_read (Statement &statement) noexcept;

gchar *column_strdup (sqlite3_stmt *statement, int column) noexcept;

/* Whether the database's R*Tree of positions holds every place. */
bool indexes_positions (sqlite3 *db) noexcept;

/* Whether the rows of @statement begin with the columns of places, in
 * their order: a walk that knows it reads each place from its own row. */
bool is_place_row (sqlite3_stmt *statement) noexcept;

/* Fills the empty @row with the place row at hand, whose id (column 0) is
 * @id. */
void read_place_row (sqlite3_stmt *statement, const char *id, LodexPlaceRow *row) noexcept;

/* One transaction, or a savepoint inside one already open: nothing is
 * written unless commit () succeeds, and a scope left without it rolls
 * back. The outermost takes the write lock at once (BEGIN IMMEDIATE), so
 * that its writes never meet a busy database half-way, and marks in the
 * journal which of its rows were one write. */
class Transaction
{
public:
  explicit Transaction (sqlite3 *db) noexcept;
  ~Transaction ();
  Transaction (const Transaction &) = delete;
  Transaction &operator= (const Transaction &) = delete;

  explicit operator bool () const noexcept { return open_; }
  bool commit () noexcept;
  void rollback () noexcept;
  /* not a savepoint inside another transaction */
  bool outermost () const noexcept { return outermost_; }
  sqlite3 *db () const noexcept { return db_; }

private:
  sqlite3 *db_;
  bool outermost_ = false;
  bool open_ = false;
  gint64 journal_start_ = -1; /* the journal's end when it began */
};

/* lodex-db-journal.cpp: the rows of the change journal (see the schema). */
enum class JournalTable
{
  TRANSACTION, /* ends the rows of one write; id: its first row's number */
  PLACES,
  PLACES_ADDRESS,
  PLACES_LINKS,
  PLACES_APPDATA,
  CATEGORIES,
  P2C,
  IMAGES,
  P2I,
  ROUTES,
  R2P,
  WAYPOINTS,
};

enum class JournalOp
{
  INSERT,
  UPDATE,
  DELETE,
  COMMIT,
};

struct JournalRow
{
  gint64 seq;
  JournalTable table;
  JournalOp op;
  gchar *id;
  gchar *related;
};

/* A GArray of JournalRow that frees their texts. */
GArray *journal_rows_new () noexcept;

/* Appends to @rows up to @limit rows after @after, in order, and gives in
 * @end the last number the journal gave, from the same snapshot when the
 * rows do not start at @after + 1; false after a warning. */
bool read_journal (sqlite3 *db, gint64 after, guint limit, GArray *rows, gint64 *end) noexcept;

/* The last number the journal gave, 0 before its first row, -1 without a
 * journal; no warning. */
gint64 journal_end_quietly (sqlite3 *db) noexcept;

/* Inside a transaction that began when the journal ended at @start: if it
 * wrote more than one row, a row saying they were one write. */
void mark_transaction (sqlite3 *db, gint64 start) noexcept;

} // namespace lodex::db
