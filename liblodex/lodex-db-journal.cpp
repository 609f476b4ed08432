/* The rows of the change journal: reading those after a position, where it
 * ends, and pruning the oldest. The schema's triggers write them. */

#include "lodex-db-private.hpp"

namespace lodex::db
{

namespace
{

constexpr struct
{
  const char *name;
  JournalTable table;
} tables[] = {
  {"transaction", JournalTable::TRANSACTION},
  {"places", JournalTable::PLACES},
  {"places_address", JournalTable::PLACES_ADDRESS},
  {"places_links", JournalTable::PLACES_LINKS},
  {"places_appdata", JournalTable::PLACES_APPDATA},
  {"categories", JournalTable::CATEGORIES},
  {"p2c", JournalTable::P2C},
  {"images", JournalTable::IMAGES},
  {"p2i", JournalTable::P2I},
  {"routes", JournalTable::ROUTES},
  {"r2p", JournalTable::R2P},
  {"waypoints", JournalTable::WAYPOINTS},
};

constexpr char end_query[] = "SELECT coalesce(max(seq), 0) FROM journal";

void
clear_row (gpointer data)
{
  auto row = static_cast<JournalRow *> (data);
  g_free (row->id);
  g_free (row->related);
}

bool
parse (sqlite3_stmt *statement, JournalRow *row)
{
  auto table = reinterpret_cast<const char *> (sqlite3_column_text (statement, 1));
  auto op = reinterpret_cast<const char *> (sqlite3_column_text (statement, 2));
  if (!table || !op)
    return false;
  bool known = false;
  for (const auto &t : tables)
    if (g_str_equal (table, t.name))
      {
        row->table = t.table;
        known = true;
        break;
      }
  if (g_str_equal (op, "insert"))
    row->op = JournalOp::INSERT;
  else if (g_str_equal (op, "update"))
    row->op = JournalOp::UPDATE;
  else if (g_str_equal (op, "delete"))
    row->op = JournalOp::DELETE;
  else if (g_str_equal (op, "commit"))
    row->op = JournalOp::COMMIT;
  else
    known = false;
  row->seq = sqlite3_column_int64 (statement, 0);
  return known;
}

bool
read_end (sqlite3 *db, gint64 *end) noexcept
{
  Statement statement = borrow (db, end_query);
  if (!statement || !fetch_row (statement))
    return false;
  *end = sqlite3_column_int64 (statement.get (), 0);
  return finish_read (statement);
}

bool
read_rows (sqlite3 *db, gint64 after, guint limit, GArray *rows) noexcept
{
  Statement statement = borrow (db, "SELECT seq, kind, op, id, related FROM journal WHERE seq > :after ORDER BY seq LIMIT :limit");
  if (!statement || !statement.bind_int64 (":after", after) || !statement.bind_int64 (":limit", limit))
    return false;
  int res;
  while ((res = _lodex_db_step (statement.get ())) == SQLITE_ROW)
    {
      JournalRow row{};
      /* a row another version wrote, of a kind not known here, only moves
       * the position on */
      if (!parse (statement.get (), &row))
        row.table = JournalTable (-1);
      row.id = column_strdup (statement.get (), 3);
      row.related = column_strdup (statement.get (), 4);
      g_array_append_val (rows, row);
    }
  if (res != SQLITE_DONE)
    {
      g_warning ("Error when retrieving row: %s", sqlite3_errmsg (db));
      return false;
    }
  return finish_read (statement);
}

} // namespace

gint64
journal_end_quietly (sqlite3 *db) noexcept
{
  Statement statement = borrow (db, end_query, false);
  if (!statement || _lodex_db_step (statement.get ()) != SQLITE_ROW)
    return -1;
  return sqlite3_column_int64 (statement.get (), 0);
}

void
mark_transaction (sqlite3 *db, gint64 start) noexcept
{
  gint64 end = journal_end_quietly (db);
  if (end - start < 2)
    return; /* a single row is a write of its own */
  Statement mark = borrow (db, "INSERT INTO journal (kind, op, id) VALUES ('transaction', 'commit', :first)");
  if (mark && mark.bind_int64 (":first", start + 1))
    run (mark);
}

GArray *
journal_rows_new () noexcept
{
  GArray *rows = g_array_new (FALSE, FALSE, sizeof (JournalRow));
  g_array_set_clear_func (rows, clear_row);
  return rows;
}

bool
read_journal (sqlite3 *db, gint64 after, guint limit, GArray *rows, gint64 *end) noexcept
{
  if (!read_rows (db, after, limit, rows))
    return false;
  if (rows->len && g_array_index (rows, JournalRow, 0).seq == after + 1)
    {
      *end = g_array_index (rows, JournalRow, rows->len - 1).seq; /* as far as we know */
      return true;
    }

  /* again, with the end from the same snapshot: a first row past after + 1,
   * or an end past after without rows, then means that rows were pruned */
  g_array_set_size (rows, 0);
  Statement begin = borrow (db, "BEGIN");
  if (!begin || !run (begin))
    return false;
  bool read = read_rows (db, after, limit, rows) && read_end (db, end);
  Statement commit = borrow (db, "COMMIT");
  if (!commit || !run (commit))
    {
      sqlite3_exec (db, "ROLLBACK", nullptr, nullptr, nullptr);
      return false;
    }
  return read;
}

} // namespace lodex::db

using namespace lodex::db;

gint64
_lodex_db_journal_end (sqlite3 *db)
{
  g_return_val_if_fail (db != NULL, -1);
  return journal_end_quietly (db);
}

gboolean
_lodex_db_prune_journal (sqlite3 *db, gint64 keep_rows, gint64 max_age_seconds, gint64 max_rows)
{
  g_return_val_if_fail (db != NULL, FALSE);

  gint64 first, end;
  {
    Statement bounds = borrow (db, "SELECT (SELECT min(seq) FROM journal), (SELECT max(seq) FROM journal)");
    if (!bounds || !fetch_row (bounds))
      return FALSE;
    if (sqlite3_column_type (bounds.get (), 0) == SQLITE_NULL)
      return finish_read (bounds); /* empty */
    first = sqlite3_column_int64 (bounds.get (), 0);
    end = sqlite3_column_int64 (bounds.get (), 1);
    if (!finish_read (bounds))
      return FALSE;
  }
  /* the newest row stays, whatever is asked: the next number is one more */
  gint64 cut = MIN (end - MAX (keep_rows, 1), first + max_rows - 1);
  if (cut < first)
    return TRUE;
  {
    /* only the oldest go: a store notices pruned rows by the gap before
     * the first row it reads, so none may go from the middle */
    Statement young = borrow (db, "SELECT min(seq) FROM journal WHERE seq BETWEEN :first AND :cut"
                                  " AND time > CAST(strftime('%s', 'now') AS INTEGER) - :age");
    if (!young || !young.bind_int64 (":first", first) || !young.bind_int64 (":cut", cut)
        || !young.bind_int64 (":age", max_age_seconds) || !fetch_row (young))
      return FALSE;
    if (sqlite3_column_type (young.get (), 0) != SQLITE_NULL)
      cut = sqlite3_column_int64 (young.get (), 0) - 1;
    if (!finish_read (young))
      return FALSE;
  }
  if (cut < first)
    return TRUE;
  Statement prune = borrow (db, "DELETE FROM journal WHERE seq <= :cut");
  return prune && prune.bind_int64 (":cut", cut) && run (prune);
}
