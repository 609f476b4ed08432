/* The database layer: plain functions over one SQLite connection. */

#include "lodex-private.h"

#include <cstdarg>
#include <cstring>
#include <unordered_map>
#include <utility>
#include <vector>

namespace
{

/* Every process of the user shares the file; a lock held elsewhere is waited
 * out this long, then reported like any other failure. */
gint64 busy_timeout_us = 10 * G_USEC_PER_SEC;

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

lodex::Stmt
prepare (sqlite3 *db, const char *query)
{
  sqlite3_stmt *statement = nullptr;
  int res = wait_out_busy ([&] {
    return sqlite3_prepare_v2 (db, query, -1, &statement, nullptr);
  });
  lodex::Stmt owned (statement);
  if (res != SQLITE_OK)
    {
      g_warning ("Problem preparing sql statement: %s", sqlite3_errmsg (db));
      return nullptr;
    }
  return owned;
}

bool
bind_text (sqlite3 *db, sqlite3_stmt *statement, const char *name, const char *value)
{
  int index = sqlite3_bind_parameter_index (statement, name);
  int res = value ? sqlite3_bind_text (statement, index, value, -1, SQLITE_TRANSIENT)
                  : sqlite3_bind_null (statement, index);
  if (res != SQLITE_OK)
    {
      g_warning ("Problem whilst binding statement: %s", sqlite3_errmsg (db));
      return false;
    }
  return true;
}

bool
bind_pairs (sqlite3 *db, sqlite3_stmt *statement, va_list args)
{
  for (const char *name = va_arg (args, const char *); name; name = va_arg (args, const char *))
    {
      const char *value = va_arg (args, const char *);
      if (!bind_text (db, statement, name, value))
        return false;
    }
  return true;
}

/* The layer's own queries are kept prepared, per connection, between calls:
 * preparing "SELECT *" costs more than running it. Keyed by the address of
 * the query text, which is a literal of one call site. */
GMutex cache_lock;
std::unordered_map<sqlite3 *, std::unordered_map<const char *, sqlite3_stmt *>> cache;

/* A statement borrowed from the cache; reset and given back at the end of
 * the scope, so it never holds a lock between calls. */
class Statement
{
public:
  Statement () = default;
  Statement (sqlite3 *db, const char *query, sqlite3_stmt *statement)
      : db_ (db), query_ (query), statement_ (statement)
  {
  }
  Statement (Statement &&other) noexcept
      : db_ (other.db_), query_ (other.query_), statement_ (std::exchange (other.statement_, nullptr))
  {
  }
  Statement (const Statement &) = delete;
  Statement &operator= (const Statement &) = delete;
  ~Statement ()
  {
    if (!statement_)
      return;
    sqlite3_reset (statement_);
    sqlite3_clear_bindings (statement_);
    g_mutex_lock (&cache_lock);
    sqlite3_stmt *&slot = cache[db_][query_];
    sqlite3_stmt *spare = slot ? statement_ : nullptr; /* borrowed twice at once */
    if (!slot)
      slot = statement_;
    g_mutex_unlock (&cache_lock);
    sqlite3_finalize (spare);
  }

  sqlite3_stmt *
  get () const
  {
    return statement_;
  }
  explicit operator bool () const { return statement_ != nullptr; }

private:
  sqlite3 *db_ = nullptr;
  const char *query_ = nullptr;
  sqlite3_stmt *statement_ = nullptr;
};

Statement
borrow (sqlite3 *db, const char *query)
{
  g_mutex_lock (&cache_lock);
  sqlite3_stmt *cached = std::exchange (cache[db][query], nullptr);
  g_mutex_unlock (&cache_lock);
  if (cached)
    return Statement (db, query, cached);

  sqlite3_stmt *statement = nullptr;
  int res = wait_out_busy ([&] {
    return sqlite3_prepare_v3 (db, query, -1, SQLITE_PREPARE_PERSISTENT, &statement, nullptr);
  });
  if (res != SQLITE_OK)
    {
      g_warning ("Problem preparing sql statement: %s", sqlite3_errmsg (db));
      sqlite3_finalize (statement);
      return Statement ();
    }
  return Statement (db, query, statement);
}

/* borrow () with its name/value pairs bound; empty after a logged failure. */
Statement
borrow_bound (sqlite3 *db, const char *query, ...) G_GNUC_NULL_TERMINATED;

Statement
borrow_bound (sqlite3 *db, const char *query, ...)
{
  Statement statement = borrow (db, query);
  if (!statement)
    return statement;
  va_list args;
  va_start (args, query);
  bool bound = bind_pairs (db, statement.get (), args);
  va_end (args);
  return bound ? std::move (statement) : Statement ();
}

gboolean
run (sqlite3 *db, Statement &statement)
{
  if (_lodex_db_step (statement.get ()) != SQLITE_DONE)
    {
      g_warning ("Problem executing statement: %s", sqlite3_errmsg (db));
      return FALSE;
    }
  if (sqlite3_reset (statement.get ()) != SQLITE_OK)
    {
      g_warning ("Problem resetting statement: %s", sqlite3_errmsg (db));
      return FALSE;
    }
  return TRUE;
}

/* Prepares @query with its name/value pairs and runs it to completion. */
gboolean
exec_bound (sqlite3 *db, const char *query, ...) G_GNUC_NULL_TERMINATED;

gboolean
exec_bound (sqlite3 *db, const char *query, ...)
{
  Statement statement = borrow (db, query);
  if (!statement)
    return FALSE;
  va_list args;
  va_start (args, query);
  bool bound = bind_pairs (db, statement.get (), args);
  va_end (args);
  return bound && run (db, statement);
}

gchar *
column_strdup (sqlite3_stmt *statement, int column)
{
  return g_strdup (reinterpret_cast<const gchar *> (sqlite3_column_text (statement, column)));
}

/* Steps a read: TRUE on a row; FALSE at the end or after a logged error. */
bool
fetch_row (sqlite3 *db, Statement &statement)
{
  int res = _lodex_db_step (statement.get ());
  if (res == SQLITE_ROW)
    return true;
  if (res != SQLITE_DONE)
    g_warning ("Error when retrieving row: %s", sqlite3_errmsg (db));
  return false;
}

/* Ends a single-row read that found its row. */
bool
finish_read (sqlite3 *db, Statement &statement)
{
  if (sqlite3_reset (statement.get ()) != SQLITE_OK)
    {
      g_warning ("Problem resetting statement: %s", sqlite3_errmsg (db));
      return false;
    }
  return true;
}

} // namespace

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

sqlite3 *
lodex_db_open (const gchar *filename)
{
  g_return_val_if_fail (filename != NULL, NULL);

  sqlite3 *db = nullptr;
  if (sqlite3_open (filename, &db) != SQLITE_OK)
    {
      g_warning ("Error opening database: %s", db ? sqlite3_errmsg (db) : "out of memory");
      sqlite3_close (db);
      return nullptr;
    }

  /* WAL: readers never block the writer, and a commit costs no fsync of the
   * main file. Not fatal: without it the database still works. */
  for (const char *pragma : {"PRAGMA journal_mode=WAL", "PRAGMA synchronous=NORMAL"})
    {
      int res = wait_out_busy ([&] { return sqlite3_exec (db, pragma, nullptr, nullptr, nullptr); });
      if (res != SQLITE_OK)
        g_debug ("%s failed: %s", pragma, sqlite3_errmsg (db));
    }
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
  auto node = cache.extract (db);
  g_mutex_unlock (&cache_lock);
  if (node)
    for (auto &[query, statement] : node.mapped ())
      sqlite3_finalize (statement);
  return sqlite3_close (db);
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
      g_warning ("Error opening the schema file: %s", error->message);
      return FALSE;
    }

  g_autofree gchar *commands = nullptr;
  gsize length = 0;
  if (g_io_channel_read_to_end (channel, &commands, &length, &error) != G_IO_STATUS_NORMAL)
    {
      g_warning ("Error reading schema data: %s", error ? error->message : "unexpected end");
      return FALSE;
    }
  if (!lodex::check (commands != nullptr, G_STRFUNC, "commands != NULL")
      || !lodex::check (length != 0, G_STRFUNC, "length != 0"))
    return FALSE;

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
          g_warning ("Problem when importing schema (prepare): %s", sqlite3_errmsg (db));
          return FALSE;
        }
      if (!statement) /* only blanks or comments were left */
        return TRUE;
      if (_lodex_db_step (statement.get ()) != SQLITE_DONE)
        {
          g_warning ("Problem when importing schema (step): %s", sqlite3_errmsg (db));
          return FALSE;
        }
      cursor = tail;
    }
}

sqlite3_stmt *
lodex_db_generic_prepare_and_bind (sqlite3 *db, const gchar *query, ...)
{
  g_return_val_if_fail (db != NULL, NULL);
  g_return_val_if_fail (query != NULL, NULL);

  lodex::Stmt statement = prepare (db, query);
  if (!statement)
    return nullptr;
  va_list args;
  va_start (args, query);
  bool bound = bind_pairs (db, statement.get (), args);
  va_end (args);
  return bound ? statement.release () : nullptr;
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

/* places */

gboolean
_lodex_db_bind_place_row (sqlite3 *db, sqlite3_stmt *statement, LodexPlaceRow *row)
{
  auto index = [statement] (const char *name) {
    return sqlite3_bind_parameter_index (statement, name);
  };
  auto optional_double = [&] (const char *name, guint bit, double value) {
    return (row->fields & bit) ? sqlite3_bind_double (statement, index (name), value)
                               : sqlite3_bind_null (statement, index (name));
  };
  auto text = [&] (const char *name, const char *value) {
    return value ? sqlite3_bind_text (statement, index (name), value, -1, SQLITE_TRANSIENT)
                 : sqlite3_bind_null (statement, index (name));
  };

  return sqlite3_bind_double (statement, index (":latitude"), row->latitude) == SQLITE_OK
         && sqlite3_bind_double (statement, index (":longitude"), row->longitude) == SQLITE_OK
         && optional_double (":altitude", LODEX_PLACE_FIELD_ALTITUDE, row->altitude) == SQLITE_OK
         && text (":name", row->name) == SQLITE_OK
         && text (":icon", row->icon) == SQLITE_OK
         && optional_double (":haccuracy", LODEX_PLACE_FIELD_HACCURACY, row->haccuracy) == SQLITE_OK
         && optional_double (":vaccuracy", LODEX_PLACE_FIELD_VACCURACY, row->vaccuracy) == SQLITE_OK
         && text (":description", row->description) == SQLITE_OK
         && text (":comment", row->comment) == SQLITE_OK
         && optional_double (":coverage", LODEX_PLACE_FIELD_COVERAGE, row->coverage) == SQLITE_OK
         && text (":presence", row->presence) == SQLITE_OK
         && sqlite3_bind_int64 (statement, index (":ctime"), row->ctime) == SQLITE_OK;
}

LodexPlaceRow *
_lodex_db_place_row_from_statement (sqlite3_stmt *statement)
{
  LodexPlaceRow *row = _lodex_place_row_new ();
  auto present = [statement] (int column) {
    return sqlite3_column_type (statement, column) != SQLITE_NULL;
  };
  auto optional_double = [&] (int column, guint bit, gdouble *field) {
    if (present (column))
      {
        row->fields |= bit;
        *field = sqlite3_column_double (statement, column);
      }
  };

  row->id = column_strdup (statement, 0);
  row->latitude = sqlite3_column_double (statement, 1);
  row->longitude = sqlite3_column_double (statement, 2);
  optional_double (3, LODEX_PLACE_FIELD_ALTITUDE, &row->altitude);
  row->name = column_strdup (statement, 4);
  row->icon = column_strdup (statement, 5);
  optional_double (6, LODEX_PLACE_FIELD_HACCURACY, &row->haccuracy);
  optional_double (7, LODEX_PLACE_FIELD_VACCURACY, &row->vaccuracy);
  row->comment = column_strdup (statement, 8);
  row->description = column_strdup (statement, 9);
  optional_double (10, LODEX_PLACE_FIELD_COVERAGE, &row->coverage);
  row->presence = column_strdup (statement, 11);
  row->ctime = sqlite3_column_int64 (statement, 12);
  return row;
}

static gboolean
write_place (sqlite3 *db, const char *query, LodexPlaceRow *row)
{
  Statement statement = borrow_bound (db, query, ":id", row->id, nullptr);
  if (!statement)
    return FALSE;
  if (!_lodex_db_bind_place_row (db, statement.get (), row))
    {
      g_warning ("Problem whilst binding statement: %s", sqlite3_errmsg (db));
      return FALSE;
    }
  return run (db, statement);
}

gboolean
lodex_db_insert_place (sqlite3 *db, LodexPlace *place)
{
  g_return_val_if_fail (db != NULL, FALSE);
  g_return_val_if_fail (place != NULL, FALSE);
  g_return_val_if_fail (LODEX_IS_PLACE (place), FALSE);
  LodexPlaceRow *row = _lodex_place_get_row (place);
  g_return_val_if_fail (row != NULL, FALSE);

  return write_place (db,
                      "INSERT INTO places (id, latitude, longitude, altitude, name, icon, "
                      "description, haccuracy, vaccuracy, comment, coverage, presence, ctime)"
                      "VALUES(:id, :latitude, :longitude, :altitude, :name, :icon, :description, "
                      ":haccuracy, :vaccuracy, :comment, :coverage, :presence, :ctime);",
                      row);
}

gboolean
lodex_db_update_place (sqlite3 *db, LodexPlace *place)
{
  g_return_val_if_fail (db != NULL, FALSE);
  g_return_val_if_fail (place != NULL, FALSE);
  g_return_val_if_fail (LODEX_IS_PLACE (place), FALSE);

  LodexPlaceRow *row = _lodex_place_get_row (place);
  if (!row->id)
    {
      g_message ("Place not associated with database.");
      return FALSE;
    }
  return write_place (db,
                      "UPDATE places SET latitude=:latitude, longitude=:longitude, "
                      "altitude=:altitude,name=:name, description=:description,icon=:icon, "
                      "comment=:comment,haccuracy=:haccuracy, vaccuracy=:vaccuracy,"
                      "coverage=:coverage, presence=:presence,ctime=:ctime WHERE id=:id;",
                      row);
}

gboolean
lodex_db_delete_place (sqlite3 *db, LodexPlace *place)
{
  g_return_val_if_fail (db != NULL, FALSE);
  g_return_val_if_fail (LODEX_IS_PLACE (place), FALSE);
  LodexPlaceRow *row = _lodex_place_get_row (place);
  g_return_val_if_fail (row != NULL, FALSE);

  if (!row->id)
    return FALSE;
  return exec_bound (db, "DELETE FROM places where id=:id;", ":id", row->id, nullptr);
}

LodexPlaceRow *
lodex_db_get_row_by_id (sqlite3 *db, const gchar *id)
{
  g_return_val_if_fail (id != NULL, NULL);
  g_return_val_if_fail (db != NULL, NULL);

  Statement statement = borrow_bound (db, "SELECT * from places where id=:id", ":id", id, nullptr);
  if (!statement || !fetch_row (db, statement))
    return nullptr;

  g_autoptr (LodexPlaceRow) row = _lodex_db_place_row_from_statement (statement.get ());
  if (!finish_read (db, statement))
    return nullptr;
  return static_cast<LodexPlaceRow *> (g_steal_pointer (&row));
}

/* links, address and app data */

gboolean
lodex_db_add_place_link (sqlite3 *db, LodexPlaceLink *link)
{
  g_return_val_if_fail (db != NULL, FALSE);
  g_return_val_if_fail (link != NULL, FALSE);

  return exec_bound (db,
                     "INSERT into places_links (link_id, place_id, name, mime, url)  "
                     "VALUES (:link_id, :place_id, :name, :mime, :url)",
                     ":link_id", link->link_id, ":place_id", link->place_id, ":name", link->name,
                     ":mime", link->mime, ":url", link->url, nullptr);
}

gboolean
lodex_db_update_place_link (sqlite3 *db, LodexPlaceLink *link)
{
  g_return_val_if_fail (db != NULL, FALSE);
  g_return_val_if_fail (link != NULL, FALSE);

  return exec_bound (db,
                     "UPDATE places_links set name=:name, mime=:mime, url=:url where link_id=:link_id",
                     ":link_id", link->link_id, ":name", link->name, ":mime", link->mime,
                     ":url", link->url, nullptr);
}

gboolean
lodex_db_remove_place_link (sqlite3 *db, LodexPlaceLink *link)
{
  g_return_val_if_fail (db != NULL, FALSE);
  g_return_val_if_fail (link != NULL, FALSE);

  return exec_bound (db, "DELETE from places_links where link_id=:link_id",
                     ":link_id", link->link_id, nullptr);
}

GList *
lodex_db_get_place_links (sqlite3 *db, const gchar *place_id)
{
  g_return_val_if_fail (db != NULL, NULL);
  g_return_val_if_fail (place_id != NULL, NULL);

  Statement statement = borrow_bound (db, "SELECT * from places_links WHERE place_id=:place_id",
                                      ":place_id", place_id, nullptr);
  if (!statement)
    return nullptr;

  GList *links = nullptr;
  while (fetch_row (db, statement))
    {
      LodexPlaceLink *link = lodex_place_link_new ();
      link->link_id = column_strdup (statement.get (), 0);
      link->place_id = column_strdup (statement.get (), 1);
      link->name = column_strdup (statement.get (), 2);
      link->mime = column_strdup (statement.get (), 3);
      link->url = column_strdup (statement.get (), 4);
      links = g_list_prepend (links, link);
    }
  return g_list_reverse (links);
}

LodexPlaceAddress *
lodex_db_place_address_get (sqlite3 *db, const gchar *place_id)
{
  g_return_val_if_fail (db != NULL, NULL);
  g_return_val_if_fail (place_id != NULL, NULL);

  Statement statement = borrow_bound (db, "SELECT * from places_address WHERE place_id=:place_id",
                                      ":place_id", place_id, nullptr);
  if (!statement || !fetch_row (db, statement))
    return nullptr;

  g_autoptr (LodexPlaceAddress) address = _lodex_place_address_new ();
  int column = 1;
  for (const lodex::AddressField &field : lodex::address_fields)
    address->*field.member = column_strdup (statement.get (), column++);
  if (!finish_read (db, statement))
    return nullptr;
  return static_cast<LodexPlaceAddress *> (g_steal_pointer (&address));
}

gboolean
lodex_db_place_address_set (sqlite3 *db, const gchar *place_id, LodexPlaceAddress *address)
{
  g_return_val_if_fail (db != NULL, FALSE);
  g_return_val_if_fail (place_id != NULL, FALSE);
  g_return_val_if_fail (address != NULL, FALSE);

  Statement check = borrow_bound (db, "SELECT * from places_address WHERE place_id=:place_id",
                                  ":place_id", place_id, nullptr);
  if (!check)
    return FALSE;

  const char *query;
  if (fetch_row (db, check))
    {
      if (!finish_read (db, check))
        return FALSE;
      query = "UPDATE places_address SET country=:country, country_code=:country_code, "
              "state=:state, county=:county, city=:city, district=:district, postcode=:postcode, "
              "crossing1=:crossing1, crossing2=:crossing2, street=:street, "
              "building_name=:building_name, building_zone=:building_zone, "
              "building_floor=:building_floor, building_room=:building_room, "
              "extension=:extension, phone_number=:phone_number where place_id=:place_id";
    }
  else
    query = "INSERT into places_address (country, country_code, state, county, city, district, "
            "postcode, crossing1, crossing2, street, building_name, building_zone, "
            "building_floor, building_room, extension, phone_number, place_id) VALUES "
            "(:country, :country_code, :state, :county, :city, :district, :postcode, "
            ":crossing1, :crossing2, :street, :building_name, :building_zone, "
            ":building_floor, :building_room, :extension, :phone_number, :place_id)";

  Statement statement = borrow_bound (db, query, ":place_id", place_id, nullptr);
  if (!statement)
    return FALSE;
  for (const lodex::AddressField &field : lodex::address_fields)
    if (!bind_text (db, statement.get (), field.parameter, address->*field.member))
      return FALSE;
  return run (db, statement);
}

gboolean
lodex_db_place_address_delete (sqlite3 *db, const gchar *place_id)
{
  g_return_val_if_fail (db != NULL, FALSE);
  g_return_val_if_fail (place_id != NULL, FALSE);

  return exec_bound (db, "DELETE FROM places_address WHERE place_id=:place_id",
                     ":place_id", place_id, nullptr);
}

gchar *
lodex_db_place_appdata_get (sqlite3 *db, const gchar *place_id, const gchar *key)
{
  g_return_val_if_fail (db != NULL, NULL);
  g_return_val_if_fail (place_id != NULL, NULL);
  g_return_val_if_fail (key != NULL, NULL);

  Statement statement = borrow_bound (db, "SELECT data FROM places_appdata WHERE place_id=:place_id AND key=:key",
                                      ":place_id", place_id, ":key", key, nullptr);
  if (!statement || !fetch_row (db, statement))
    return nullptr;

  g_autofree gchar *data = column_strdup (statement.get (), 0);
  if (!finish_read (db, statement))
    return nullptr;
  return static_cast<gchar *> (g_steal_pointer (&data));
}

gboolean
lodex_db_place_appdata_insert (sqlite3 *db, const gchar *place_id, const gchar *key, const gchar *data)
{
  g_return_val_if_fail (db != NULL, FALSE);
  g_return_val_if_fail (place_id != NULL, FALSE);
  g_return_val_if_fail (key != NULL, FALSE);
  g_return_val_if_fail (data != NULL, FALSE);

  return exec_bound (db,
                     "INSERT into places_appdata (place_id, key, data) VALUES (:place_id, :key, :data)",
                     ":place_id", place_id, ":key", key, ":data", data, nullptr);
}

gboolean
lodex_db_place_appdata_update (sqlite3 *db, const gchar *place_id, const gchar *key, const gchar *data)
{
  g_return_val_if_fail (db != NULL, FALSE);
  g_return_val_if_fail (place_id != NULL, FALSE);
  g_return_val_if_fail (key != NULL, FALSE);
  g_return_val_if_fail (data != NULL, FALSE);

  return exec_bound (db,
                     "UPDATE places_appdata SET data=:data WHERE place_id=:place_id AND key=:key",
                     ":place_id", place_id, ":key", key, ":data", data, nullptr);
}

gboolean
lodex_db_place_appdata_delete (sqlite3 *db, const gchar *place_id, const gchar *key)
{
  g_return_val_if_fail (db != NULL, FALSE);
  g_return_val_if_fail (place_id != NULL, FALSE);
  g_return_val_if_fail (key != NULL, FALSE);

  return exec_bound (db, "DELETE from places_appdata WHERE place_id=:place_id AND key=:key",
                     ":place_id", place_id, ":key", key, nullptr);
}

/* categories and images */

/* Writes a category: the id is bound with the others by name, then the
 * row's name and description. */
static gboolean
write_category (sqlite3 *db, const char *query, LodexCategoryRow *row)
{
  Statement statement = borrow_bound (db, query, ":id", row->id, nullptr);
  if (!statement)
    return FALSE;
  auto bind = [&] (const char *name, const char *value) {
    int index = sqlite3_bind_parameter_index (statement.get (), name);
    return sqlite3_bind_text (statement.get (), index, value, -1, SQLITE_TRANSIENT) == SQLITE_OK;
  };
  if (!bind (":name", row->name) || !bind (":description", row->description))
    {
      g_warning ("Problem whilst binding sql statement: %s", sqlite3_errmsg (db));
      return FALSE;
    }
  return run (db, statement);
}

gboolean
lodex_db_insert_category (sqlite3 *db, LodexCategory *category)
{
  g_return_val_if_fail (db != NULL, FALSE);
  g_return_val_if_fail (category != NULL, FALSE);
  return write_category (db, "INSERT INTO categories(id, name, description) VALUES (:id, :name, :description);",
                         _lodex_category_get_row (category));
}

gboolean
lodex_db_update_category (sqlite3 *db, LodexCategory *category)
{
  g_return_val_if_fail (db != NULL, FALSE);
  g_return_val_if_fail (category != NULL, FALSE);
  return write_category (db, "UPDATE categories SET name=:name, description=:description WHERE id=:id;",
                         _lodex_category_get_row (category));
}

gboolean
lodex_db_delete_category (sqlite3 *db, LodexCategory *category)
{
  g_return_val_if_fail (db != NULL, FALSE);
  g_return_val_if_fail (category != NULL, FALSE);
  return exec_bound (db, "DELETE FROM categories where id=:id;", ":id", _lodex_category_get_row (category)->id,
                     nullptr);
}

LodexCategoryRow *
lodex_db_get_category_row_by_id (sqlite3 *db, const gchar *id)
{
  g_return_val_if_fail (id != NULL, NULL);
  g_return_val_if_fail (db != NULL, NULL);

  Statement statement = borrow_bound (db, "select * from categories where id=:id", ":id", id, nullptr);
  if (!statement || !fetch_row (db, statement))
    return nullptr;
  g_autoptr (LodexCategoryRow) row = _lodex_category_row_new ();
  row->id = column_strdup (statement.get (), 0);
  row->name = column_strdup (statement.get (), 1);
  row->description = column_strdup (statement.get (), 2);
  if (!finish_read (db, statement))
    return nullptr;
  return static_cast<LodexCategoryRow *> (g_steal_pointer (&row));
}

gchar *
lodex_db_get_category_id_by_name (sqlite3 *db, const gchar *name)
{
  g_return_val_if_fail (db != NULL, NULL);
  g_return_val_if_fail (name != NULL, NULL);

  Statement statement = borrow_bound (db, "SELECT id from categories where name=:name", ":name", name, nullptr);
  if (!statement || !fetch_row (db, statement))
    return nullptr;
  g_autofree gchar *id = column_strdup (statement.get (), 0);
  if (!finish_read (db, statement))
    return nullptr;
  return static_cast<gchar *> (g_steal_pointer (&id));
}

gboolean
lodex_db_insert_image (sqlite3 *db, LodexImage *image)
{
  g_return_val_if_fail (db != NULL, FALSE);
  g_return_val_if_fail (image != NULL, FALSE);
  LodexImageRow *row = _lodex_image_get_row (image);
  g_return_val_if_fail (row != NULL, FALSE);

  return exec_bound (db, "INSERT INTO images (id, description, filename)VALUES(:id, :description, :filename);",
                     ":id", row->id, ":description", row->description, ":filename", row->filename, nullptr);
}

gboolean
lodex_db_update_image (sqlite3 *db, LodexImage *image)
{
  g_return_val_if_fail (db != NULL, FALSE);
  g_return_val_if_fail (image != NULL, FALSE);
  LodexImageRow *row = _lodex_image_get_row (image);

  return exec_bound (db, "UPDATE images SET description=:description, filename=:filename WHERE id=:id;",
                     ":id", row->id, ":description", row->description, ":filename", row->filename, nullptr);
}

gboolean
lodex_db_delete_image (sqlite3 *db, LodexImage *image)
{
  g_return_val_if_fail (db != NULL, FALSE);
  g_return_val_if_fail (image != NULL, FALSE);
  return exec_bound (db, "DELETE FROM images where id=:id;", ":id", _lodex_image_get_row (image)->id, nullptr);
}

LodexImageRow *
lodex_db_get_image_row_by_id (sqlite3 *db, const gchar *id)
{
  g_return_val_if_fail (id != NULL, NULL);
  g_return_val_if_fail (db != NULL, NULL);

  Statement statement = borrow_bound (db, "SELECT * FROM images where id=:id", ":id", id, nullptr);
  if (!statement || !fetch_row (db, statement))
    return nullptr;
  g_autoptr (LodexImageRow) row = _lodex_image_row_new ();
  row->id = column_strdup (statement.get (), 0);
  row->description = column_strdup (statement.get (), 1);
  row->filename = column_strdup (statement.get (), 2);
  if (!finish_read (db, statement))
    return nullptr;
  return static_cast<LodexImageRow *> (g_steal_pointer (&row));
}

/* memberships: the schema refuses a second identical row */

gboolean
lodex_db_add_place_to_category (sqlite3 *db, const gchar *place_id, const gchar *category_id)
{
  g_return_val_if_fail (db != NULL, FALSE);
  g_return_val_if_fail (place_id != NULL, FALSE);
  g_return_val_if_fail (category_id != NULL, FALSE);
  return exec_bound (db, "INSERT INTO p2c (place_id, category_id) values (:place_id, :category_id)",
                     ":place_id", place_id, ":category_id", category_id, nullptr);
}

gboolean
lodex_db_remove_place_from_category (sqlite3 *db, const gchar *place_id, const gchar *category_id)
{
  g_return_val_if_fail (db != NULL, FALSE);
  g_return_val_if_fail (place_id != NULL, FALSE);
  g_return_val_if_fail (category_id != NULL, FALSE);
  return exec_bound (db, "DELETE FROM p2c where place_id=:place_id AND category_id=:category_id",
                     ":place_id", place_id, ":category_id", category_id, nullptr);
}

gboolean
lodex_db_add_image_to_place (sqlite3 *db, const gchar *image_id, const gchar *place_id)
{
  g_return_val_if_fail (db != NULL, FALSE);
  g_return_val_if_fail (image_id != NULL, FALSE);
  g_return_val_if_fail (place_id != NULL, FALSE);
  return exec_bound (db, "INSERT INTO p2i (place_id, image_id) values (:place_id, :image_id)",
                     ":place_id", place_id, ":image_id", image_id, nullptr);
}

gboolean
lodex_db_remove_image_from_place (sqlite3 *db, const gchar *image_id, const gchar *place_id)
{
  g_return_val_if_fail (db != NULL, FALSE);
  g_return_val_if_fail (image_id != NULL, FALSE);
  g_return_val_if_fail (place_id != NULL, FALSE);
  return exec_bound (db, "DELETE FROM p2i where place_id=:place_id AND image_id=:image_id",
                     ":place_id", place_id, ":image_id", image_id, nullptr);
}

/* Routes and waypoints: SQL texts built with "%Q" quoting, and rows turned
 * into objects by column name. */

GObject *
_lodex_db_object_from_row (GType type, gint n_columns, gchar **values, gchar **names)
{
  std::vector<GValue> properties (n_columns, GValue G_VALUE_INIT);
  for (gint i = 0; i < n_columns; i++)
    {
      g_value_init (&properties[i], G_TYPE_STRING);
      g_value_set_string (&properties[i], values[i]);
    }
  GObject *object = g_object_new_with_properties (type, guint (n_columns), const_cast<const char **> (names),
                                                  properties.data ());
  for (GValue &value : properties)
    g_value_unset (&value);
  return object;
}

/* Runs a query whose rows go to @callback; @restart clears what an attempt
 * that met a lock collected before it is tried again. */
static int
query_rows (sqlite3 *db, char *sql, sqlite3_callback callback, void *data, void (*restart) (void *) = nullptr)
{
  lodex::SqlText owned (sql);
  return wait_out_busy ([&] {
    if (restart)
      restart (data);
    return sqlite3_exec (db, sql, callback, data, nullptr);
  });
}

gboolean
lodex_db_insert_route (sqlite3 *db, LodexRoute *route)
{
  g_return_val_if_fail (LODEX_IS_ROUTE (route), FALSE);
  LodexRouteRow *row = _lodex_route_get_row (route);
  return _lodex_db_exec_and_free (
    db, sqlite3_mprintf ("INSERT INTO routes (id, name, comment, description, type) VALUES (%Q, %Q, %Q, %Q, %Q);\n",
                         row->id, row->name, row->comment, row->description, row->type));
}

gboolean
lodex_db_store_route (sqlite3 *db, LodexRoute *route)
{
  g_return_val_if_fail (LODEX_IS_ROUTE (route), FALSE);
  LodexRouteRow *row = _lodex_route_get_row (route);
  return _lodex_db_exec_and_free (
    db, sqlite3_mprintf ("UPDATE routes SET name = %Q, comment = %Q, description = %Q, type = %Q WHERE id = %Q;\n",
                         row->name, row->comment, row->description, row->type, row->id));
}

gboolean
lodex_db_delete_route (sqlite3 *db, LodexRoute *route)
{
  g_return_val_if_fail (db != NULL, FALSE);
  g_return_val_if_fail (LODEX_IS_ROUTE (route), FALSE);
  return _lodex_db_exec_and_free (db, sqlite3_mprintf ("DELETE FROM routes WHERE id=%Q;", _lodex_route_get_id (route)));
}

gboolean
lodex_db_add_place_to_route (sqlite3 *db, const gchar *place_id, const gchar *route_id)
{
  g_return_val_if_fail (db != NULL, FALSE);
  /* "%Q" would write SQL NULL for a place or route that is not stored */
  g_return_val_if_fail (place_id != NULL, FALSE);
  g_return_val_if_fail (route_id != NULL, FALSE);
  return _lodex_db_exec_and_free (
    db, sqlite3_mprintf ("INSERT INTO r2p (place_id, route_id) VALUES (%Q, %Q);", place_id, route_id));
}

gboolean
lodex_db_remove_place_from_route (sqlite3 *db, const gchar *place_id, const gchar *route_id)
{
  g_return_val_if_fail (db != NULL, FALSE);
  g_return_val_if_fail (place_id != NULL, FALSE);
  g_return_val_if_fail (route_id != NULL, FALSE);
  return _lodex_db_exec_and_free (
    db, sqlite3_mprintf ("DELETE FROM r2p WHERE place_id=%Q AND route_id = %Q;", place_id, route_id));
}

gboolean
lodex_db_insert_waypoint (sqlite3 *db, LodexWaypoint *waypoint)
{
  g_return_val_if_fail (db != NULL, FALSE);
  g_return_val_if_fail (LODEX_IS_WAYPOINT (waypoint), FALSE);
  LodexWaypointRow *row = _lodex_waypoint_get_row (waypoint);
  return _lodex_db_exec_and_free (
    db, sqlite3_mprintf ("INSERT INTO waypoints (id, route_id, name, desc, sym, type, order_weight, latitude, "
                         "longitude, altitude, segment_end, ctime) VALUES (%Q, %Q, %Q, %Q, %Q, %Q, %lf, %lf, "
                         "%lf, %lf, %d, %d);",
                         row->id, row->route_id, row->name, row->desc, row->sym, row->type, row->order_weight,
                         row->latitude, row->longitude, row->altitude, row->segment_end, row->ctime));
}

gboolean
lodex_db_remove_waypoint (sqlite3 *db, LodexWaypoint *waypoint)
{
  g_return_val_if_fail (db != NULL, FALSE);
  g_return_val_if_fail (LODEX_IS_WAYPOINT (waypoint), FALSE);
  return _lodex_db_exec_and_free (
    db, sqlite3_mprintf ("DELETE FROM waypoints WHERE id = %Q;", _lodex_waypoint_get_row (waypoint)->id));
}

static int
_lodex_db_route_by_id_cb (void *data, int n_columns, char **values, char **names)
{
  auto route = static_cast<GObject **> (data);
  if (!*route) /* further rows are ignored */
    *route = _lodex_db_object_from_row (LODEX_TYPE_ROUTE, n_columns, values, names);
  return 0;
}

LodexRoute *
lodex_db_get_route_by_id (sqlite3 *db, const gchar *id)
{
  g_return_val_if_fail (db != NULL, NULL);
  g_return_val_if_fail (id != NULL, NULL);

  GObject *route = nullptr;
  query_rows (db, sqlite3_mprintf ("SELECT * FROM routes WHERE id = %Q;", id), _lodex_db_route_by_id_cb, &route);
  return route ? LODEX_ROUTE (route) : nullptr;
}

static int
_lodex_db_load_route_cb (void *data, int n_columns, char **values, char **names)
{
  GObject *route = G_OBJECT (data);
  /* copying the stored row in is no change to save */
  g_object_set_data (route, "do-not-save-changes", GINT_TO_POINTER (TRUE));
  for (int i = 0; i < n_columns; i++)
    g_object_set (route, names[i], values[i], nullptr);
  g_object_set_data (route, "do-not-save-changes", nullptr);
  return 0;
}

void
lodex_db_load_route (sqlite3 *db, LodexRoute *route)
{
  g_return_if_fail (db != NULL);
  g_return_if_fail (LODEX_IS_ROUTE (route));
  query_rows (db,
              sqlite3_mprintf ("SELECT name, comment, description, type FROM routes WHERE id = %Q;",
                               _lodex_route_get_id (route)),
              _lodex_db_load_route_cb, route);
}

static int
bounds_callback (void *data, int len, char **values, char **)
{
  g_assert (len == 4);
  for (int i = 0; i < 4; i++)
    if (!values[i]) /* a route without waypoints */
      return 1;
  auto bounds = static_cast<LodexRouteBounds *> (data);
  bounds->min_latitude = g_ascii_strtod (values[0], nullptr);
  bounds->min_longitude = g_ascii_strtod (values[1], nullptr);
  bounds->max_latitude = g_ascii_strtod (values[2], nullptr);
  bounds->max_longitude = g_ascii_strtod (values[3], nullptr);
  return 0;
}

gboolean
lodex_db_route_get_bounds (sqlite3 *db, LodexRoute *route, LodexRouteBounds *bounds)
{
  g_return_val_if_fail (db != NULL, FALSE);
  g_return_val_if_fail (LODEX_IS_ROUTE (route), FALSE);
  g_return_val_if_fail (bounds != NULL, FALSE);

  LodexRouteBounds found;
  int res = query_rows (db,
                        sqlite3_mprintf ("SELECT min(latitude), min(longitude), max(latitude), max(longitude) "
                                         "FROM waypoints WHERE route_id = %Q;",
                                         _lodex_route_get_id (route)),
                        bounds_callback, &found);
  if (res != SQLITE_OK)
    return FALSE;
  *bounds = found;
  return TRUE;
}

namespace
{

/* One walk of a route's waypoints through a caller's function. */
struct WaypointWalk
{
  LodexWaypointFunc func;
  gpointer user_data;
  GSList *chosen = nullptr; /* quoted ids, or waypoints; newest first */

  static void
  forget_ids (void *data)
  {
    auto walk = static_cast<WaypointWalk *> (data);
    g_slist_free_full (g_steal_pointer (&walk->chosen), sqlite3_free);
  }
  static void
  forget_waypoints (void *data)
  {
    auto walk = static_cast<WaypointWalk *> (data);
    g_slist_free_full (g_steal_pointer (&walk->chosen), g_object_unref);
  }
};

LodexWaypoint *
waypoint_from_row (int n_columns, char **values, char **names)
{
  return LODEX_WAYPOINT (_lodex_db_object_from_row (LODEX_TYPE_WAYPOINT, n_columns, values, names));
}

char *
waypoints_of_route (const gchar *route_id)
{
  return sqlite3_mprintf ("SELECT * FROM waypoints WHERE route_id=%Q ORDER BY order_weight;", route_id);
}

} // namespace

static int
_lodex_db_remove_waypoints_cb (void *data, int n_columns, char **values, char **names)
{
  auto walk = static_cast<WaypointWalk *> (data);
  g_autoptr (LodexWaypoint) waypoint = waypoint_from_row (n_columns, values, names);
  if (walk->func (waypoint, walk->user_data))
    walk->chosen = g_slist_prepend (walk->chosen, sqlite3_mprintf ("%Q", _lodex_waypoint_get_row (waypoint)->id));
  return 0;
}

gboolean
lodex_db_remove_waypoints (sqlite3 *db, const gchar *route_id, LodexWaypointFunc func, gpointer user_data)
{
  g_return_val_if_fail (db != NULL, FALSE);
  g_return_val_if_fail (func != NULL, FALSE);

  WaypointWalk walk{func, user_data};
  char *select = waypoints_of_route (route_id);
  g_print ("EXECUTING SQL:\n%s\n", select);
  int res = query_rows (db, select, _lodex_db_remove_waypoints_cb, &walk, WaypointWalk::forget_ids);
  if (!walk.chosen)
    return res == SQLITE_OK;

  sqlite3_str *sql = sqlite3_str_new (db);
  sqlite3_str_appendall (sql, "DELETE FROM waypoints WHERE id IN (");
  for (GSList *l = walk.chosen; l; l = l->next)
    sqlite3_str_appendf (sql, l == walk.chosen ? "%s" : ", %s", static_cast<char *> (l->data));
  sqlite3_str_appendall (sql, ");");
  WaypointWalk::forget_ids (&walk);
  char *text = sqlite3_str_finish (sql);
  g_print ("EXECUTING SQL:\n%s\n", text);
  /* the deletion's failure is the walk's failure */
  gboolean deleted = _lodex_db_exec_and_free (db, text);
  return res == SQLITE_OK && deleted;
}

static int
_lodex_db_select_update_waypoints_cb (void *data, int n_columns, char **values, char **names)
{
  auto walk = static_cast<WaypointWalk *> (data);
  LodexWaypoint *waypoint = waypoint_from_row (n_columns, values, names);
  _lodex_waypoint_set_modified (waypoint, FALSE);
  walk->func (waypoint, walk->user_data);
  if (_lodex_waypoint_get_modified (waypoint))
    walk->chosen = g_slist_prepend (walk->chosen, waypoint);
  else
    g_object_unref (waypoint);
  return 0;
}

guint
lodex_db_select_update_waypoints (sqlite3 *db, const gchar *route_id, LodexWaypointFunc func, gpointer user_data)
{
  g_return_val_if_fail (db != NULL, 0);
  g_return_val_if_fail (func != NULL, 0);

  WaypointWalk walk{func, user_data};
  int res = query_rows (db, waypoints_of_route (route_id), _lodex_db_select_update_waypoints_cb, &walk,
                        WaypointWalk::forget_waypoints);
  guint read = res == SQLITE_OK ? 0x1 : 0;
  if (!walk.chosen)
    return read;

  GString *batch = g_string_new ("BEGIN TRANSACTION;\n");
  for (GSList *l = walk.chosen; l; l = l->next)
    {
      LodexWaypointRow *row = _lodex_waypoint_get_row (LODEX_WAYPOINT (l->data));
      char *line = sqlite3_mprintf ("UPDATE waypoints SET order_weight = %lf, latitude = %lf, longitude = %lf, "
                                    "altitude = %lf, segment_end = %d, ctime = %d WHERE id = %Q;\n",
                                    row->order_weight, row->latitude, row->longitude, row->altitude,
                                    row->segment_end, row->ctime, row->id);
      g_string_append (batch, line);
      sqlite3_free (line);
    }
  WaypointWalk::forget_waypoints (&walk);
  g_string_append (batch, "END TRANSACTION;");
  g_print ("EXECUTING SQL: %s\n", batch->str);

  char *errmsg = nullptr;
  res = wait_out_busy ([&] {
    sqlite3_free (errmsg);
    errmsg = nullptr;
    int attempt = sqlite3_exec (db, batch->str, nullptr, nullptr, &errmsg);
    /* a batch that stopped half-way must not leave its transaction open,
     * or every later write of this connection would stay uncommitted */
    if (attempt != SQLITE_OK && !sqlite3_get_autocommit (db))
      sqlite3_exec (db, "ROLLBACK;", nullptr, nullptr, nullptr);
    return attempt;
  });
  g_string_free (batch, TRUE);
  if (errmsg)
    {
      g_warning ("SQL Error: %s\n", errmsg);
      sqlite3_free (errmsg);
    }
  return read | (res == SQLITE_OK ? 0x2 : 0);
}
