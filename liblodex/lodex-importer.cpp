/* The import engine: rows into the database, in one transaction on a
 * connection of its own. */

#include "lodex-importer.hpp"
#include "lodex-db-private.hpp"

#include <cmath>
#include <cstdarg>

namespace lodex
{

ImportResult::~ImportResult ()
{
  g_ptr_array_unref (categories);
  g_ptr_array_unref (joined);
  g_ptr_array_unref (routes);
  g_ptr_array_unref (added_ids);
  g_ptr_array_unref (updated_ids);
  g_ptr_array_unref (skipped_ids);
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
  g_free (category_);
  g_free (chosen_category_id_);
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

void
Importer::configure (const ImportSettings &settings) noexcept
{
  settings_ = settings;
  g_free (category_);
  settings_.category = category_ = g_strdup (settings.category);
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
  guint64 places = result_.places + result_.skipped + result_.updated;
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

/* The id of the stored place @row is (transfer full), or NULL: its id, or
 * else the nearest place of the same name close enough. */
gchar *
Importer::stored_place (LodexPlaceRow *row, GError **error) noexcept
{
  if (row->id && _lodex_db_place_exists (db_, row->id))
    return g_strdup (row->id);
  if (!settings_.by_name || !row->name)
    return nullptr;
  /* a box around the point first, through the index of positions */
  double lat_span = same_place_metres / 111000.0 * 1.1;
  double cos_lat = cos (row->latitude * G_PI / 180.0);
  double long_span = cos_lat > 1e-6 ? MIN (lat_span / cos_lat, 360.0) : 360.0;
  db::Statement near = db::borrow (db_, "SELECT id FROM places WHERE latitude BETWEEN :south AND :north "
                                        "AND longitude BETWEEN :west AND :east AND name = :name "
                                        "AND lodex_surface_distance (latitude, longitude, :latitude, :longitude) <= :metres "
                                        "ORDER BY lodex_surface_distance (latitude, longitude, :latitude, :longitude) LIMIT 1");
  if (!near || !near.bind (":south", row->latitude - lat_span) || !near.bind (":north", row->latitude + lat_span)
      || !near.bind (":west", row->longitude - long_span) || !near.bind (":east", row->longitude + long_span)
      || !near.bind (":name", row->name) || !near.bind (":latitude", row->latitude)
      || !near.bind (":longitude", row->longitude) || !near.bind (":metres", same_place_metres))
    {
      failed (error, "Could not look for place \"%s\"", row->name);
      return nullptr;
    }
  if (!db::fetch_row (near))
    {
      int code = sqlite3_errcode (db_);
      if (code != SQLITE_OK && code != SQLITE_DONE && code != SQLITE_ROW)
        failed (error, "Could not look for place \"%s\"", row->name);
      return nullptr;
    }
  gchar *id = db::column_strdup (near.get (), 0);
  db::finish_read (near);
  return id;
}

/* The place is the file's: its routes get it. */
bool
Importer::mark_present (const char *place_id, GError **error) noexcept
{
  if (!routes_hold_places_)
    return true;
  return temp_table ("CREATE TEMP TABLE IF NOT EXISTS import_present (id TEXT)", error)
         && (db::exec_bound (db_, "INSERT INTO temp.import_present (id) VALUES (:id)", ":id", place_id, nullptr)
             || failed (error, "Could not store place \"%s\"", place_id));
}

/* The address and links of the place @row, stored already. */
bool
Importer::write_attachments (LodexPlaceRow *row, LodexPlaceAddress *address, GList *links, GError **error) noexcept
{
  const char *name = row->name ? row->name : "";
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
  return true;
}

/* The file's version of a stored place: every column but its creation
 * time, its address and its links. */
bool
Importer::update_place (LodexPlaceRow *row, LodexPlaceAddress *address, GList *links, GError **error) noexcept
{
  const char *name = row->name ? row->name : "";
  constexpr guint every_column = (LODEX_PLACE_COLUMN_PRESENCE << 1) - 1;
  if (!_lodex_db_update_place_columns (db_, row, every_column)
      || !db::exec_bound (db_, "DELETE FROM places_address WHERE place_id = :id", ":id", row->id, nullptr)
      || !db::exec_bound (db_, "DELETE FROM places_links WHERE place_id = :id", ":id", row->id, nullptr))
    return failed (error, "Could not update place \"%s\"", name);
  return write_attachments (row, address, links, error);
}

/* The place joins the category the import was asked to put it in. */
bool
Importer::join_chosen_category (const char *place_id, GError **error) noexcept
{
  if (!settings_.category)
    return true;
  if (!chosen_category_id_)
    {
      if (!add_category (settings_.category, nullptr, error))
        return false;
      chosen_category_id_ = category_id (settings_.category);
      if (!chosen_category_id_)
        return failed (error, "Could not store category \"%s\"", settings_.category);
    }
  if (!db::exec_bound (db_, "INSERT OR IGNORE INTO p2c (place_id, category_id) VALUES (:place_id, :category_id)",
                       ":place_id", place_id, ":category_id", chosen_category_id_, nullptr))
    return failed (error, "Could not store the membership of a place in \"%s\"", settings_.category);
  return joined (chosen_category_id_);
}

bool
Importer::add_place (LodexPlaceRow *row, LodexPlaceAddress *address, GList *links, bool *added, GError **error) noexcept
{
  db::Quiet quiet;
  *added = false;
  if (!go_on (error) || !_lodex_place_check_position (row->latitude, row->longitude, error))
    return false;
  const char *name = row->name ? row->name : "";

  GError *failure = nullptr;
  g_autofree gchar *present = stored_place (row, &failure);
  if (failure)
    {
      g_propagate_error (error, failure);
      return false;
    }
  if (present && settings_.duplicates == Duplicates::skip)
    {
      result_.skipped++;
      g_ptr_array_add (result_.skipped_ids, g_strdup (present));
      return mark_present (present, error);
    }
  if (present && settings_.duplicates == Duplicates::update)
    {
      g_free (row->id);
      row->id = g_strdup (present);
      if (!update_place (row, address, links, error) || !mark_present (present, error)
          || !join_chosen_category (present, error))
        return false;
      result_.updated++;
      g_ptr_array_add (result_.updated_ids, g_strdup (present));
      return true;
    }
  if (present && row->id && g_str_equal (row->id, present)) /* added again: under a new id */
    g_clear_pointer (&row->id, g_free);

  if (row->id)
    {
      if (!_lodex_db_insert_place_row (db_, row))
        return failed (error, "Could not store place \"%s\"", name);
    }
  else if (!insert_new (db_, row->id, [&] { return _lodex_db_insert_place_row (db_, row) != FALSE; }))
    return failed (error, "Could not store place \"%s\"", name);
  result_.last_place = sqlite3_last_insert_rowid (db_);

  if (!write_attachments (row, address, links, error) || !join_chosen_category (row->id, error))
    return false;
  result_.places++;
  g_ptr_array_add (result_.added_ids, g_strdup (row->id));
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
