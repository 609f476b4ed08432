/* The database rows of routes, of their member places and of their
 * waypoints. Rows are read by column name, so that columns may be added. */

#include "lodex-db-private.hpp"

#include <cstdarg>

using namespace lodex::db;

namespace
{

constexpr char sql_error[] = "SQL ERROR: %s";

/* Runs a route or waypoint write bound with @pairs (name, text, ..., NULL). */
gboolean
exec_route_write (sqlite3 *db, const char *query, ...) G_GNUC_NULL_TERMINATED;

gboolean
exec_route_write (sqlite3 *db, const char *query, ...)
{
  Statement statement = borrow (db, query);
  if (!statement)
    return FALSE;
  va_list args;
  va_start (args, query);
  bool bound = true;
  for (const char *name = va_arg (args, const char *); bound && name; name = va_arg (args, const char *))
    bound = statement.bind (name, va_arg (args, const char *));
  va_end (args);
  return bound && run (statement, sql_error);
}

gint
clamp_int (gint64 value)
{
  return gint (CLAMP (value, gint64 (G_MININT), gint64 (G_MAXINT)));
}

/* The route row of the statement's current row. */
LodexRouteRow *
route_row_from_statement (sqlite3_stmt *statement)
{
  LodexRouteRow *row = _lodex_route_row_new ();
  for (int i = 0; i < sqlite3_column_count (statement); i++)
    {
      const char *name = sqlite3_column_name (statement, i);
      gchar *LodexRouteRow::*field = g_str_equal (name, "id")            ? &LodexRouteRow::id
                                     : g_str_equal (name, "name")        ? &LodexRouteRow::name
                                     : g_str_equal (name, "comment")     ? &LodexRouteRow::comment
                                     : g_str_equal (name, "description") ? &LodexRouteRow::description
                                     : g_str_equal (name, "type")        ? &LodexRouteRow::type
                                                                         : nullptr;
      if (field)
        row->*field = column_strdup (statement, i);
    }
  return row;
}

/* A waypoint of no store built from the statement's current row. */
LodexWaypoint *
waypoint_from_statement (sqlite3_stmt *statement)
{
  LodexWaypoint *waypoint = lodex_waypoint_new (0, 0, 0, 0);
  LodexWaypointRow *row = _lodex_waypoint_get_row (waypoint);
  for (int i = 0; i < sqlite3_column_count (statement); i++)
    {
      const char *name = sqlite3_column_name (statement, i);
      gchar *LodexWaypointRow::*text = g_str_equal (name, "id")         ? &LodexWaypointRow::id
                                       : g_str_equal (name, "route_id") ? &LodexWaypointRow::route_id
                                       : g_str_equal (name, "name")     ? &LodexWaypointRow::name
                                       : g_str_equal (name, "desc")     ? &LodexWaypointRow::desc
                                       : g_str_equal (name, "sym")      ? &LodexWaypointRow::sym
                                       : g_str_equal (name, "type")     ? &LodexWaypointRow::type
                                                                        : nullptr;
      gdouble LodexWaypointRow::*number = g_str_equal (name, "order_weight") ? &LodexWaypointRow::order_weight
                                          : g_str_equal (name, "latitude")   ? &LodexWaypointRow::latitude
                                          : g_str_equal (name, "longitude")  ? &LodexWaypointRow::longitude
                                          : g_str_equal (name, "altitude")   ? &LodexWaypointRow::altitude
                                                                             : nullptr;
      if (text)
        row->*text = column_strdup (statement, i);
      else if (number == &LodexWaypointRow::altitude && sqlite3_column_type (statement, i) == SQLITE_NULL)
        _lodex_waypoint_set_has_altitude (waypoint, FALSE); /* reads 0.0 */
      else if (number)
        row->*number = sqlite3_column_double (statement, i);
      else if (g_str_equal (name, "segment_end"))
        row->segment_end = sqlite3_column_int64 (statement, i) != 0;
      else if (g_str_equal (name, "ctime"))
        row->ctime = clamp_int (sqlite3_column_int64 (statement, i));
    }
  row->modified = FALSE;
  return waypoint;
}

/* Calls @func with each waypoint of the route, in order. */
template <typename F>
bool
walk_waypoints (sqlite3 *db, const gchar *route_id, F func)
{
  Statement statement = borrow_bound (db, "SELECT * FROM waypoints WHERE route_id=:route_id ORDER BY order_weight;",
                                      ":route_id", route_id, nullptr);
  if (!statement)
    return false;
  g_debug ("%s", sqlite3_sql (statement.get ()));
  int res;
  while ((res = _lodex_db_step (statement.get ())) == SQLITE_ROW)
    func (waypoint_from_statement (statement.get ()));
  if (res != SQLITE_DONE)
    {
      warn (db, sql_error, sqlite3_errmsg (db));
      return false;
    }
  return true;
}

} // namespace

/* routes */

gboolean
lodex_db_insert_route (sqlite3 *db, LodexRoute *route)
{
  g_return_val_if_fail (LODEX_IS_ROUTE (route), FALSE);
  return _lodex_db_insert_route_row (db, _lodex_route_get_row (route));
}

gboolean
_lodex_db_insert_route_row (sqlite3 *db, LodexRouteRow *row)
{
  g_return_val_if_fail (row != NULL, FALSE);
  return exec_route_write (db,
                           "INSERT INTO routes (id, name, comment, description, type) "
                           "VALUES (:id, :name, :comment, :description, :type);",
                           ":id", row->id, ":name", row->name, ":comment", row->comment, ":description",
                           row->description, ":type", row->type, nullptr);
}

gboolean
lodex_db_store_route (sqlite3 *db, LodexRoute *route)
{
  g_return_val_if_fail (LODEX_IS_ROUTE (route), FALSE);
  LodexRouteRow *row = _lodex_route_get_row (route);
  return exec_route_write (db,
                           "UPDATE routes SET name = :name, comment = :comment, description = :description, "
                           "type = :type WHERE id = :id;",
                           ":id", row->id, ":name", row->name, ":comment", row->comment, ":description",
                           row->description, ":type", row->type, nullptr);
}

/* Writes the fields whose bits (1 << n, n = 2 name, 3 comment,
 * 4 description, 5 type) are in @columns: another program's changes to the
 * others survive. */
gboolean
_lodex_db_update_route_columns (sqlite3 *db, LodexRouteRow *row, guint columns)
{
  g_return_val_if_fail (db != NULL, FALSE);
  g_return_val_if_fail (row != NULL, FALSE);
  struct
  {
    const char *parameter; /* ":" + column */
    gchar *LodexRouteRow::*field;
  } const fields[] = {
    {":name", &LodexRouteRow::name},
    {":comment", &LodexRouteRow::comment},
    {":description", &LodexRouteRow::description},
    {":type", &LodexRouteRow::type},
  };
  GString *text = g_string_new ("UPDATE routes SET ");
  for (gsize i = 0; i < G_N_ELEMENTS (fields); i++)
    if (columns & (1u << (i + 2)))
      g_string_append_printf (text, "%s%s = %s", text->str[text->len - 1] == ' ' ? "" : ", ", fields[i].parameter + 1,
                              fields[i].parameter);
  if (text->str[text->len - 1] == ' ')
    {
      g_string_free (text, TRUE);
      return TRUE; /* nothing to write */
    }
  g_string_append (text, " WHERE id = :id;");
  const char *query = g_intern_string (text->str); /* the cache's key */
  g_string_free (text, TRUE);

  Statement statement = borrow_bound (db, query, ":id", row->id, nullptr);
  if (!statement)
    return FALSE;
  for (gsize i = 0; i < G_N_ELEMENTS (fields); i++)
    if ((columns & (1u << (i + 2))) && !statement.bind (fields[i].parameter, row->*fields[i].field))
      return FALSE;
  return run (statement, sql_error);
}

gboolean
lodex_db_delete_route (sqlite3 *db, LodexRoute *route)
{
  g_return_val_if_fail (db != NULL, FALSE);
  g_return_val_if_fail (LODEX_IS_ROUTE (route), FALSE);
  return exec_route_write (db, "DELETE FROM routes WHERE id=:id;", ":id", _lodex_route_get_id (route), nullptr);
}

/**
 * lodex_db_get_route_by_id:
 * @db: a connection
 * @id: a route id
 *
 * Returns: (transfer full) (nullable): a new route object, in no store, with
 *   the stored row; %NULL when there is none
 *
 * Since: 0.1
 */
LodexRoute *
lodex_db_get_route_by_id (sqlite3 *db, const gchar *id)
{
  g_return_val_if_fail (db != NULL, NULL);
  g_return_val_if_fail (id != NULL, NULL);

  Statement statement = borrow_bound (db, "SELECT * FROM routes WHERE id = :id;", ":id", id, nullptr);
  if (!statement || !fetch_row (statement))
    return nullptr;
  LodexRouteRow *row = route_row_from_statement (statement.get ());
  finish_read (statement);
  return _lodex_route_new_with_row (row);
}

/**
 * lodex_db_load_route:
 * @db: a connection
 * @route: a stored route
 *
 * Copies the stored name, comment, description and type into @route; that
 * is no change to save.
 *
 * Since: 0.1
 */
void
lodex_db_load_route (sqlite3 *db, LodexRoute *route)
{
  g_return_if_fail (db != NULL);
  g_return_if_fail (LODEX_IS_ROUTE (route));

  Statement statement = borrow_bound (db, "SELECT name, comment, description, type FROM routes WHERE id = :id;",
                                      ":id", _lodex_route_get_id (route), nullptr);
  if (!statement || !fetch_row (statement))
    return;
  LodexRouteRow *row = route_row_from_statement (statement.get ());
  finish_read (statement);
  _lodex_route_load_row (route, row);
}

gboolean
lodex_db_route_get_bounds (sqlite3 *db, LodexRoute *route, LodexRouteBounds *bounds)
{
  g_return_val_if_fail (db != NULL, FALSE);
  g_return_val_if_fail (LODEX_IS_ROUTE (route), FALSE);
  g_return_val_if_fail (bounds != NULL, FALSE);

  Statement statement = borrow_bound (db,
                                      "SELECT min(latitude), min(longitude), max(latitude), max(longitude) "
                                      "FROM waypoints WHERE route_id = :route_id;",
                                      ":route_id", _lodex_route_get_id (route), nullptr);
  if (!statement || !fetch_row (statement))
    return FALSE;
  sqlite3_stmt *s = statement.get ();
  if (sqlite3_column_type (s, 0) == SQLITE_NULL) /* a route without waypoints */
    return FALSE;
  bounds->min_latitude = sqlite3_column_double (s, 0);
  bounds->min_longitude = sqlite3_column_double (s, 1);
  bounds->max_latitude = sqlite3_column_double (s, 2);
  bounds->max_longitude = sqlite3_column_double (s, 3);
  return finish_read (statement);
}

gboolean
lodex_db_add_place_to_route (sqlite3 *db, const gchar *place_id, const gchar *route_id)
{
  g_return_val_if_fail (db != NULL, FALSE);
  /* a place or route that is not stored would become a NULL member */
  g_return_val_if_fail (place_id != NULL, FALSE);
  g_return_val_if_fail (route_id != NULL, FALSE);
  return exec_route_write (db, "INSERT INTO r2p (place_id, route_id) VALUES (:place_id, :route_id);",
                           ":place_id", place_id, ":route_id", route_id, nullptr);
}

gboolean
lodex_db_remove_place_from_route (sqlite3 *db, const gchar *place_id, const gchar *route_id)
{
  g_return_val_if_fail (db != NULL, FALSE);
  g_return_val_if_fail (place_id != NULL, FALSE);
  g_return_val_if_fail (route_id != NULL, FALSE);
  return exec_route_write (db, "DELETE FROM r2p WHERE place_id=:place_id AND route_id = :route_id;",
                           ":place_id", place_id, ":route_id", route_id, nullptr);
}

/* waypoints */

/* Binds the columns a waypoint write sets, doubles as they are; a missing
 * altitude stays missing. */
static bool
bind_waypoint (Statement &statement, const LodexWaypointRow *row, bool has_altitude)
{
  return statement.bind (":id", row->id) && statement.bind (":order_weight", row->order_weight)
         && statement.bind (":latitude", row->latitude) && statement.bind (":longitude", row->longitude)
         && (has_altitude ? statement.bind (":altitude", row->altitude)
                          : statement.bind (":altitude", static_cast<const char *> (nullptr)))
         && statement.bind_int64 (":segment_end", row->segment_end ? 1 : 0)
         && statement.bind_int64 (":ctime", row->ctime);
}

gboolean
lodex_db_insert_waypoint (sqlite3 *db, LodexWaypoint *waypoint)
{
  g_return_val_if_fail (db != NULL, FALSE);
  g_return_val_if_fail (LODEX_IS_WAYPOINT (waypoint), FALSE);
  return _lodex_db_insert_waypoint_row (db, _lodex_waypoint_get_row (waypoint),
                                        _lodex_waypoint_has_altitude (waypoint));
}

gboolean
_lodex_db_insert_waypoint_row (sqlite3 *db, LodexWaypointRow *row, gboolean has_altitude)
{
  g_return_val_if_fail (db != NULL, FALSE);
  g_return_val_if_fail (row != NULL, FALSE);

  Statement statement = borrow_bound (db,
                                      "INSERT INTO waypoints (id, route_id, name, desc, sym, type, order_weight, "
                                      "latitude, longitude, altitude, segment_end, ctime) VALUES (:id, :route_id, "
                                      ":name, :desc, :sym, :type, :order_weight, :latitude, :longitude, :altitude, "
                                      ":segment_end, :ctime);",
                                      ":route_id", row->route_id, ":name", row->name, ":desc", row->desc, ":sym",
                                      row->sym, ":type", row->type, nullptr);
  return statement && bind_waypoint (statement, row, has_altitude) && run (statement, sql_error);
}

gboolean
lodex_db_remove_waypoint (sqlite3 *db, LodexWaypoint *waypoint)
{
  g_return_val_if_fail (db != NULL, FALSE);
  g_return_val_if_fail (LODEX_IS_WAYPOINT (waypoint), FALSE);
  return exec_route_write (db, "DELETE FROM waypoints WHERE id = :id;", ":id",
                           _lodex_waypoint_get_row (waypoint)->id, nullptr);
}

gboolean
lodex_db_remove_waypoints (sqlite3 *db, const gchar *route_id, LodexWaypointFunc func, gpointer user_data)
{
  g_return_val_if_fail (db != NULL, FALSE);
  g_return_val_if_fail (func != NULL, FALSE);

  g_autoptr (GPtrArray) chosen = g_ptr_array_new_with_free_func (g_object_unref);
  bool read = walk_waypoints (db, route_id, [&] (LodexWaypoint *waypoint) {
    if (func (waypoint, user_data))
      g_ptr_array_add (chosen, waypoint);
    else
      g_object_unref (waypoint);
  });
  if (!read || chosen->len == 0)
    return read;

  /* all of them or none */
  Transaction transaction (db);
  if (!transaction)
    return FALSE;
  for (guint i = 0; i < chosen->len; i++)
    if (!lodex_db_remove_waypoint (db, LODEX_WAYPOINT (chosen->pdata[i])))
      return FALSE;
  return transaction.commit ();
}

/**
 * lodex_db_select_update_waypoints:
 * @db: a connection
 * @route_id: a route id
 * @func: (scope call): called with each waypoint, in order weight
 * @user_data: data for @func
 *
 * Writes back, in one transaction, the waypoints whose properties @func set.
 *
 * Returns: bits: 0x1 the waypoints were read, 0x2 changes were written,
 *   0x4 changes could not be written (and none was)
 *
 * Since: 0.1
 */
guint
lodex_db_select_update_waypoints (sqlite3 *db, const gchar *route_id, LodexWaypointFunc func, gpointer user_data)
{
  g_return_val_if_fail (db != NULL, 0);
  g_return_val_if_fail (func != NULL, 0);

  g_autoptr (GPtrArray) changed = g_ptr_array_new_with_free_func (g_object_unref);
  bool read = walk_waypoints (db, route_id, [&] (LodexWaypoint *waypoint) {
    func (waypoint, user_data);
    if (_lodex_waypoint_get_modified (waypoint))
      g_ptr_array_add (changed, waypoint);
    else
      g_object_unref (waypoint);
  });
  guint result = read ? 0x1 : 0;
  if (changed->len == 0)
    return result;

  /* all of them or none: a batch that stopped half-way is rolled back */
  result |= 0x4; /* until written */
  Transaction transaction (db);
  if (!transaction)
    return result;
  for (guint i = 0; i < changed->len; i++)
    {
      auto waypoint = LODEX_WAYPOINT (changed->pdata[i]);
      const LodexWaypointRow *row = _lodex_waypoint_get_row (waypoint);
      Statement statement = borrow (db,
                                    "UPDATE waypoints SET order_weight = :order_weight, latitude = :latitude, "
                                    "longitude = :longitude, altitude = :altitude, segment_end = :segment_end, "
                                    "ctime = :ctime WHERE id = :id;");
      if (!statement || !bind_waypoint (statement, row, _lodex_waypoint_has_altitude (waypoint))
          || !run (statement, "SQL Error: %s\n"))
        return result;
    }
  return transaction.commit () ? (result & ~0x4u) | 0x2 : result;
}
