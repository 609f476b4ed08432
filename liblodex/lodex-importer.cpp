/* The import engine: rows into the database, in one transaction on a
 * connection of its own. */

#include "lodex-importer.hpp"
#include "lodex-db-private.hpp"

#include <cstdarg>

namespace lodex
{

ImportResult::~ImportResult ()
{
  g_ptr_array_unref (categories);
  g_ptr_array_unref (joined);
  g_ptr_array_unref (routes);
}

Importer::Importer (const char *database, GCancellable *cancellable, ImportProgressFunc progress, gpointer progress_data) noexcept
    : database_ (g_strdup (database)), cancellable_ (cancellable ? G_CANCELLABLE (g_object_ref (cancellable)) : nullptr),
      progress_ (progress), progress_data_ (progress_data)
{
}

Importer::~Importer ()
{
  if (open_)
    sqlite3_exec (db_, "ROLLBACK", nullptr, nullptr, nullptr);
  lodex_db_close (db_);
  g_hash_table_unref (joined_);
  g_free (route_id_);
  g_clear_object (&cancellable_);
  g_free (database_);
}

/* @format and SQLite's message: %LODEX_ERROR_BUSY for a lock held longer
 * than the wait, else %LODEX_ERROR_STORE. Always FALSE. */
bool
Importer::failed (GError **error, const char *format, ...) noexcept
{
  va_list args;
  va_start (args, format);
  g_autofree gchar *what = g_strdup_vprintf (format, args);
  va_end (args);
  int code = sqlite3_errcode (db_);
  g_set_error (error, LODEX_ERROR, code == SQLITE_BUSY || code == SQLITE_LOCKED ? LODEX_ERROR_BUSY : LODEX_ERROR_STORE,
               "%s: %s", what, sqlite3_errmsg (db_));
  return false;
}

bool
Importer::begin (GError **error) noexcept
{
  db::Quiet quiet;
  db_ = lodex_db_open (database_);
  if (!db_)
    {
      g_set_error (error, LODEX_ERROR, LODEX_ERROR_DATABASE, "Could not open the database %s", database_);
      return false;
    }
  /* what the import keeps aside (memberships by name, places already
   * stored) goes to disk, not to memory, however large the file */
  sqlite3_exec (db_, "PRAGMA temp_store=FILE", nullptr, nullptr, nullptr);
  /* the write lock at once: nothing half-way meets another writer */
  if (db::wait_out_busy ([&] { return sqlite3_exec (db_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr); }) != SQLITE_OK)
    return failed (error, "Could not start writing to the database");
  open_ = true;
  before_ = _lodex_db_last_place_rowid (db_);
  if (before_ < 0)
    return failed (error, "Could not read the database");
  return true;
}

bool
Importer::go_on (GError **error) noexcept
{
  return !g_cancellable_set_error_if_cancelled (cancellable_, error);
}

void
Importer::read (goffset done, goffset total) noexcept
{
  if (!progress_)
    return;
  guint64 places = result_.places + result_.skipped;
  /* about a hundred calls for a file, and one for every thousand places */
  if (places < reported_places_ + 1000 && done < reported_bytes_ + MAX (total / 100, 64 * 1024) && done < total)
    return;
  reported_places_ = places;
  reported_bytes_ = done;
  progress_ (places, done, total, progress_data_);
}

bool
Importer::temp_table (const char *sql, GError **error) noexcept
{
  if (sqlite3_exec (db_, sql, nullptr, nullptr, nullptr) != SQLITE_OK)
    return failed (error, "Could not prepare the import");
  return true;
}

/* Inserts with a new id in *@id, another when another program took it. */
template <typename Insert>
static bool
insert_new (sqlite3 *db, gchar *&id, Insert insert)
{
  for (int attempt = 0; attempt < 3; attempt++)
    {
      g_free (id);
      id = _lodex_store_gen_id (nullptr);
      if (insert ())
        return true;
      if (!_lodex_id_collided (db))
        break;
    }
  g_clear_pointer (&id, g_free);
  return false;
}

static bool
address_is_empty (const LodexPlaceAddress *address)
{
  for (const AddressField &field : address_fields)
    if (address->*field.member)
      return false;
  return true;
}

bool
Importer::add_place (LodexPlaceRow *row, LodexPlaceAddress *address, GList *links, bool *added, GError **error) noexcept
{
  db::Quiet quiet;
  *added = false;
  if (!go_on (error) || !_lodex_place_check_position (row->latitude, row->longitude, error))
    return false;
  const char *name = row->name ? row->name : "";

  if (row->id)
    {
      if (_lodex_db_place_exists (db_, row->id))
        {
          /* the same place: it stays as it is, and the file's routes get it */
          result_.skipped++;
          if (!routes_hold_places_)
            return true;
          return temp_table ("CREATE TEMP TABLE IF NOT EXISTS import_present (id TEXT)", error)
                 && (db::exec_bound (db_, "INSERT INTO temp.import_present (id) VALUES (:id)", ":id", row->id, nullptr)
                     || failed (error, "Could not store place \"%s\"", name));
        }
      if (!_lodex_db_insert_place_row (db_, row))
        return failed (error, "Could not store place \"%s\"", name);
    }
  else if (!insert_new (db_, row->id, [&] { return _lodex_db_insert_place_row (db_, row) != FALSE; }))
    return failed (error, "Could not store place \"%s\"", name);
  result_.last_place = sqlite3_last_insert_rowid (db_);

  if (address && !address_is_empty (address) && !lodex_db_place_address_set (db_, row->id, address))
    return failed (error, "Could not store the address of place \"%s\"", name);
  for (GList *l = links; l; l = l->next)
    {
      auto link = static_cast<LodexPlaceLink *> (l->data);
      g_free (link->place_id);
      link->place_id = g_strdup (row->id);
      bool written = link->link_id ? lodex_db_add_place_link (db_, link)
                                   : insert_new (db_, link->link_id, [&] { return lodex_db_add_place_link (db_, link) != FALSE; });
      if (!written)
        return failed (error, "Could not store a link of place \"%s\"", name);
    }
  result_.places++;
  *added = true;
  return true;
}

gchar *
Importer::category_id (const char *name) noexcept
{
  return lodex_db_get_category_id_by_name (db_, name);
}

/* Keeps the id of a category that gained a member, once. */
bool
Importer::joined (const char *category_id) noexcept
{
  if (!g_hash_table_contains (joined_, category_id))
    {
      gchar *copy = g_strdup (category_id);
      g_ptr_array_add (result_.joined, copy);
      g_hash_table_add (joined_, copy);
    }
  return true;
}

bool
Importer::add_category (const char *name, const char *description, GError **error) noexcept
{
  db::Quiet quiet;
  if (!name) /* a category without a name cannot be found again */
    return true;
  if (!go_on (error))
    return false;
  g_autofree gchar *present = category_id (name);
  if (present)
    return true;
  g_autoptr (LodexCategoryRow) row = _lodex_category_row_new ();
  row->name = g_strdup (name);
  row->description = g_strdup (description);
  if (!insert_new (db_, row->id, [&] { return _lodex_db_insert_category_row (db_, row) != FALSE; }))
    return failed (error, "Could not store category \"%s\"", name);
  g_ptr_array_add (result_.categories, g_strdup (row->id));
  return true;
}

bool
Importer::join_category (const char *place_id, const char *name, const char *description, GError **error) noexcept
{
  db::Quiet quiet;
  g_autofree gchar *id = category_id (name);
  if (id)
    g_debug ("Using existing category %s", name);
  else
    {
      if (!add_category (name, description, error))
        return false;
      id = category_id (name);
    }
  if (!id || !lodex_db_add_place_to_category (db_, place_id, id))
    return failed (error, "Could not store the membership of a place in \"%s\"", name);
  return joined (id);
}

bool
Importer::join_category_later (const char *place_id, const char *name, GError **error) noexcept
{
  db::Quiet quiet;
  return temp_table ("CREATE TEMP TABLE IF NOT EXISTS import_memberships (place_id TEXT, name TEXT)", error)
         && (db::exec_bound (db_, "INSERT INTO temp.import_memberships (place_id, name) VALUES (:place_id, :name)",
                             ":place_id", place_id, ":name", name, nullptr)
             || failed (error, "Could not store the membership of a place in \"%s\"", name));
}

bool
Importer::set_appdata (const char *place_id, const char *key, const char *data, GError **error) noexcept
{
  db::Quiet quiet;
  return _lodex_db_place_appdata_upsert (db_, place_id, key, data)
         || failed (error, "Could not store the application data of a place");
}

bool
Importer::begin_route (GError **error) noexcept
{
  g_free (route_id_);
  route_id_ = _lodex_store_gen_id (nullptr);
  position_ = 0;
  return go_on (error);
}

bool
Importer::add_waypoint (LodexWaypointRow *row, bool has_altitude, GError **error) noexcept
{
  db::Quiet quiet;
  g_return_val_if_fail (route_id_ != nullptr, false);
  if (!go_on (error))
    return false;
  g_free (row->route_id);
  row->route_id = g_strdup (route_id_);
  row->order_weight = position_;
  if (!insert_new (db_, row->id, [&] { return _lodex_db_insert_waypoint_row (db_, row, has_altitude) != FALSE; }))
    return failed (error, "Could not store point %u of a route", position_ + 1);
  position_++;
  result_.waypoints++;
  return true;
}

bool
Importer::end_route (const char *name, const char *comment, const char *description, const char *type, GError **error) noexcept
{
  db::Quiet quiet;
  g_return_val_if_fail (route_id_ != nullptr, false);
  LodexRouteRow row = {route_id_, const_cast<gchar *> (name), const_cast<gchar *> (comment),
                       const_cast<gchar *> (description), const_cast<gchar *> (type)};
  if (!_lodex_db_insert_route_row (db_, &row))
    {
      /* an id another program took meanwhile is not worth another try:
       * its waypoints carry it already */
      return failed (error, "Could not store route \"%s\"", name ? name : "");
    }
  g_ptr_array_add (result_.routes, g_steal_pointer (&route_id_));
  return true;
}

static bool
has_table (sqlite3 *db, const char *name)
{
  db::Statement statement = db::borrow_bound (db, "SELECT 1 FROM temp.sqlite_schema WHERE name = :name", ":name", name,
                                              nullptr);
  return statement && db::fetch_row (statement);
}

bool
Importer::commit (GError **error) noexcept
{
  db::Quiet quiet;
  if (!go_on (error))
    return false;

  /* memberships by name, now that the file's categories are in */
  if (has_table (db_, "import_memberships"))
    {
      static const char chosen[] = "SELECT DISTINCT category_id FROM (SELECT (SELECT id FROM categories WHERE "
                                   "name = m.name LIMIT 1) AS category_id FROM temp.import_memberships m) "
                                   "WHERE category_id IS NOT NULL";
      db::Statement categories = db::borrow (db_, chosen);
      while (categories && db::fetch_row (categories))
        joined (reinterpret_cast<const char *> (sqlite3_column_text (categories.get (), 0)));
      if (!categories || !db::exec_bound (db_, "INSERT OR IGNORE INTO p2c (place_id, category_id) SELECT place_id, "
                                               "category_id FROM (SELECT m.place_id, (SELECT id FROM categories WHERE "
                                               "name = m.name LIMIT 1) AS category_id FROM temp.import_memberships m) "
                                               "WHERE category_id IS NOT NULL",
                                          nullptr))
        return failed (error, "Could not store the memberships of the places");
    }

  /* every route of the file holds every place of the file */
  bool present = routes_hold_places_ && has_table (db_, "import_present");
  for (guint i = 0; routes_hold_places_ && i < result_.routes->len; i++)
    {
      auto route = static_cast<const char *> (result_.routes->pdata[i]);
      db::Statement members = db::borrow (db_, "INSERT OR IGNORE INTO r2p (place_id, route_id) SELECT id, :route_id "
                                               "FROM places WHERE rowid > :before");
      if (!members || !members.bind (":route_id", route) || !members.bind_int64 (":before", before_)
          || !db::run (members)
          || (present && !db::exec_bound (db_, "INSERT OR IGNORE INTO r2p (place_id, route_id) SELECT id, :route_id FROM temp.import_present", ":route_id", route, nullptr)))
        return failed (error, "Could not store the places of a route");
    }

  if (db::wait_out_busy ([&] { return sqlite3_exec (db_, "COMMIT", nullptr, nullptr, nullptr); }) != SQLITE_OK)
    {
      failed (error, "Could not store the import");
      sqlite3_exec (db_, "ROLLBACK", nullptr, nullptr, nullptr);
      open_ = false;
      return false;
    }
  open_ = false;
  result_.first_place = before_ + 1;
  return true;
}

} // namespace lodex
