/* The database rows of places and of what hangs off them: links, the
 * address and application data. */

#include "lodex-db-private.hpp"

using namespace lodex::db;

gboolean
_lodex_db_bind_place_row (sqlite3 *db, sqlite3_stmt *statement, LodexPlaceRow *row)
{
  /* a statement that writes some columns only has no parameter for the
   * others: index 0, skipped */
  auto index = [statement] (const char *name) {
    return sqlite3_bind_parameter_index (statement, name);
  };
  auto number = [&] (const char *name, double value) {
    int i = index (name);
    return i ? sqlite3_bind_double (statement, i, value) : SQLITE_OK;
  };
  auto optional_double = [&] (const char *name, guint bit, double value) {
    int i = index (name);
    return !i ? SQLITE_OK : (row->fields & bit) ? sqlite3_bind_double (statement, i, value)
                                                : sqlite3_bind_null (statement, i);
  };
  auto text = [&] (const char *name, const char *value) {
    int i = index (name);
    return !i ? SQLITE_OK : value ? sqlite3_bind_text (statement, i, value, -1, SQLITE_TRANSIENT)
                                  : sqlite3_bind_null (statement, i);
  };
  auto integer = [&] (const char *name, gint64 value) {
    int i = index (name);
    return i ? sqlite3_bind_int64 (statement, i, value) : SQLITE_OK;
  };

  return number (":latitude", row->latitude) == SQLITE_OK && number (":longitude", row->longitude) == SQLITE_OK
         && optional_double (":altitude", LODEX_PLACE_FIELD_ALTITUDE, row->altitude) == SQLITE_OK
         && text (":name", row->name) == SQLITE_OK
         && text (":icon", row->icon) == SQLITE_OK
         && optional_double (":haccuracy", LODEX_PLACE_FIELD_HACCURACY, row->haccuracy) == SQLITE_OK
         && optional_double (":vaccuracy", LODEX_PLACE_FIELD_VACCURACY, row->vaccuracy) == SQLITE_OK
         && text (":description", row->description) == SQLITE_OK
         && text (":comment", row->comment) == SQLITE_OK
         && optional_double (":coverage", LODEX_PLACE_FIELD_COVERAGE, row->coverage) == SQLITE_OK
         && text (":presence", row->presence) == SQLITE_OK
         && integer (":ctime", row->ctime) == SQLITE_OK;
}

static constexpr const char *place_columns[] = {"id", "latitude", "longitude", "altitude", "name", "icon", "haccuracy",
                                                "vaccuracy", "comment", "description", "coverage", "presence", "ctime"};

bool
lodex::db::is_place_row (sqlite3_stmt *statement) noexcept
{
  if (sqlite3_column_count (statement) < int (G_N_ELEMENTS (place_columns)))
    return false;
  for (guint i = 0; i < G_N_ELEMENTS (place_columns); i++)
    if (g_strcmp0 (sqlite3_column_name (statement, int (i)), place_columns[i]) != 0)
      return false;
  return true;
}

LodexPlaceRow *
_lodex_db_place_row_from_statement (sqlite3_stmt *statement)
{
  LodexPlaceRow *row = _lodex_place_row_new ();
  read_place_row (statement, reinterpret_cast<const char *> (sqlite3_column_text (statement, 0)), row);
  return row;
}

/* Each column is read once, as a value: a column read twice (its type,
 * then its number) costs SQLite's connection lock twice. The values are
 * used at once, on the thread that steps the statement. */
void
lodex::db::read_place_row (sqlite3_stmt *statement, const char *id, LodexPlaceRow *row) noexcept
{
  auto text = [statement] (int column) {
    return g_strdup (reinterpret_cast<const char *> (sqlite3_column_text (statement, column)));
  };
  auto optional_double = [&] (int column, guint bit, gdouble *field) {
    sqlite3_value *value = sqlite3_column_value (statement, column);
    if (sqlite3_value_type (value) != SQLITE_NULL)
      {
        row->fields |= bit;
        *field = sqlite3_value_double (value);
      }
  };

  row->id = g_strdup (id);
  row->latitude = sqlite3_column_double (statement, 1);
  row->longitude = sqlite3_column_double (statement, 2);
  optional_double (3, LODEX_PLACE_FIELD_ALTITUDE, &row->altitude);
  row->name = text (4);
  row->icon = text (5);
  optional_double (6, LODEX_PLACE_FIELD_HACCURACY, &row->haccuracy);
  optional_double (7, LODEX_PLACE_FIELD_VACCURACY, &row->vaccuracy);
  row->comment = text (8);
  row->description = text (9);
  optional_double (10, LODEX_PLACE_FIELD_COVERAGE, &row->coverage);
  row->presence = text (11);
  row->ctime = sqlite3_column_int64 (statement, 12);
}

static gboolean
write_place (sqlite3 *db, const char *query, LodexPlaceRow *row)
{
  Statement statement = borrow_bound (db, query, ":id", row->id, nullptr);
  if (!statement)
    return FALSE;
  if (!_lodex_db_bind_place_row (db, statement.get (), row))
    {
      warn (db, "Problem whilst binding statement: %s", sqlite3_errmsg (db));
      return FALSE;
    }
  return run (statement);
}

gboolean
lodex_db_insert_place (sqlite3 *db, LodexPlace *place)
{
  g_return_val_if_fail (db != NULL, FALSE);
  g_return_val_if_fail (place != NULL, FALSE);
  g_return_val_if_fail (LODEX_IS_PLACE (place), FALSE);
  return _lodex_db_insert_place_row (db, _lodex_place_get_row (place));
}

gboolean
_lodex_db_insert_place_row (sqlite3 *db, LodexPlaceRow *row)
{
  g_return_val_if_fail (db != NULL, FALSE);
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
  if (!statement || !fetch_row (statement))
    return nullptr;

  g_autoptr (LodexPlaceRow) row = _lodex_db_place_row_from_statement (statement.get ());
  if (!finish_read (statement))
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
  while (fetch_row (statement))
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
  if (!statement || !fetch_row (statement))
    return nullptr;

  g_autoptr (LodexPlaceAddress) address = _lodex_place_address_new ();
  int column = 1;
  for (const lodex::AddressField &field : lodex::address_fields)
    address->*field.member = column_strdup (statement.get (), column++);
  if (!finish_read (statement))
    return nullptr;
  return static_cast<LodexPlaceAddress *> (g_steal_pointer (&address));
}

/* An UPSERT of the address fields whose bits are in @fields, in
 * lodex::address_fields order: the others keep their stored values. Two
 * programs writing an address at once both succeed. */
gboolean
_lodex_db_place_address_upsert (sqlite3 *db, const gchar *place_id, LodexPlaceAddress *address, guint fields)
{
  g_return_val_if_fail (db != NULL, FALSE);
  g_return_val_if_fail (place_id != NULL, FALSE);
  g_return_val_if_fail (address != NULL, FALSE);
  if (fields == 0)
    return TRUE;

  GString *columns = g_string_new ("INSERT INTO places_address (place_id");
  GString *values = g_string_new (") VALUES (:place_id");
  GString *updates = g_string_new (") ON CONFLICT (place_id) DO UPDATE SET ");
  guint bit = 1;
  for (const lodex::AddressField &field : lodex::address_fields)
    {
      if (fields & bit)
        {
          const char *column = field.parameter + 1;
          g_string_append_printf (columns, ", %s", column);
          g_string_append_printf (values, ", %s", field.parameter);
          g_string_append_printf (updates, "%s%s=excluded.%s", updates->str[updates->len - 1] == ' ' ? "" : ", ",
                                  column, column);
        }
      bit <<= 1;
    }
  g_string_append (columns, values->str);
  g_string_append (columns, updates->str);
  g_string_free (values, TRUE);
  g_string_free (updates, TRUE);
  /* one text per set of fields, kept for the process: the cache's key */
  const char *query = g_intern_string (columns->str);
  g_string_free (columns, TRUE);

  Statement statement = borrow_bound (db, query, ":place_id", place_id, nullptr);
  if (!statement)
    return FALSE;
  bit = 1;
  for (const lodex::AddressField &field : lodex::address_fields)
    {
      if ((fields & bit) && !statement.bind (field.parameter, address->*field.member))
        return FALSE;
      bit <<= 1;
    }
  return run (statement);
}

gboolean
lodex_db_place_address_set (sqlite3 *db, const gchar *place_id, LodexPlaceAddress *address)
{
  return _lodex_db_place_address_upsert (db, place_id, address, (1u << G_N_ELEMENTS (lodex::address_fields)) - 1);
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
  if (!statement || !fetch_row (statement))
    return nullptr;

  g_autofree gchar *data = column_strdup (statement.get (), 0);
  if (!finish_read (statement))
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

/* Writes the columns whose bits are in @columns (LodexPlaceColumn); the
 * others keep their stored values, which another program may have
 * changed. */
gboolean
_lodex_db_update_place_columns (sqlite3 *db, LodexPlaceRow *row, guint columns)
{
  g_return_val_if_fail (db != NULL, FALSE);
  g_return_val_if_fail (row != NULL && row->id != NULL, FALSE);
  if (columns == 0)
    return TRUE;

  static constexpr const char *names[] = {"latitude", "longitude", "altitude", "name", "icon", "haccuracy",
                                          "vaccuracy", "comment", "description", "coverage", "presence"};
  GString *text = g_string_new ("UPDATE places SET ");
  for (guint i = 0; i < G_N_ELEMENTS (names); i++)
    if (columns & (1u << i))
      g_string_append_printf (text, "%s%s=:%s", text->str[text->len - 1] == ' ' ? "" : ", ", names[i], names[i]);
  g_string_append (text, " WHERE id=:id;");
  const char *query = g_intern_string (text->str); /* the cache's key */
  g_string_free (text, TRUE);

  Statement statement = borrow_bound (db, query, ":id", row->id, nullptr);
  if (!statement)
    return FALSE;
  if (!_lodex_db_bind_place_row (db, statement.get (), row))
    {
      warn (db, "Problem whilst binding statement: %s", sqlite3_errmsg (db));
      return FALSE;
    }
  return run (statement);
}

gboolean
_lodex_db_place_exists (sqlite3 *db, const gchar *id)
{
  Statement statement = borrow_bound (db, "SELECT 1 FROM places WHERE id=:id", ":id", id, nullptr);
  if (!statement || !fetch_row (statement))
    return FALSE;
  return finish_read (statement);
}

gboolean
_lodex_db_place_appdata_upsert (sqlite3 *db, const gchar *place_id, const gchar *key, const gchar *data)
{
  g_return_val_if_fail (db != NULL, FALSE);
  g_return_val_if_fail (place_id != NULL, FALSE);
  g_return_val_if_fail (key != NULL, FALSE);
  return exec_bound (db,
                     "INSERT INTO places_appdata (place_id, key, data) VALUES (:place_id, :key, :data) "
                     "ON CONFLICT (place_id, key) DO UPDATE SET data=excluded.data",
                     ":place_id", place_id, ":key", key, ":data", data, nullptr);
}

/* The largest rowid of the places table: the places an import adds, in
 * its one transaction, all come after it. */
gint64
_lodex_db_last_place_rowid (sqlite3 *db)
{
  g_return_val_if_fail (db != NULL, -1);
  Statement statement = borrow (db, "SELECT coalesce (max (rowid), 0) FROM places");
  if (!statement || !fetch_row (statement))
    return -1;
  gint64 rowid = sqlite3_column_int64 (statement.get (), 0);
  return finish_read (statement) ? rowid : -1;
}

/* Calls @func with the id of each place whose rowid is in @first..@last. */
gboolean
_lodex_db_foreach_place_between (sqlite3 *db, gint64 first, gint64 last, GFunc func, gpointer data)
{
  g_return_val_if_fail (db != NULL, FALSE);
  Statement statement = borrow (db, "SELECT id FROM places WHERE rowid BETWEEN :first AND :last ORDER BY rowid");
  if (!statement || !statement.bind_int64 (":first", first) || !statement.bind_int64 (":last", last))
    return FALSE;
  int res;
  while ((res = _lodex_db_step (statement.get ())) == SQLITE_ROW)
    func (const_cast<unsigned char *> (sqlite3_column_text (statement.get (), 0)), data);
  if (res != SQLITE_DONE)
    {
      warn (db, "Error when retrieving row: %s", sqlite3_errmsg (db));
      return FALSE;
    }
  return TRUE;
}
