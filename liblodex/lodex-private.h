#pragma once

/* Library-internal declarations: shared between the library's modules and
 * its tests, exported from the shared library but not installed. */

#include <liblodex/lodex.h>

/* C++ would otherwise put the whole signature into every critical. */
#undef G_STRFUNC
#define G_STRFUNC (__func__)

G_BEGIN_DECLS

/* lodex-set */
sqlite3 *_lodex_set_get_db (LodexSet *set);
const gchar *_lodex_set_get_query (LodexSet *set);
gboolean _lodex_set_bind (LodexSet *set, sqlite3_stmt *statement);
sqlite3_stmt *_lodex_set_do_query (LodexSet *set);
LodexPlace *_lodex_set_walk_first (LodexSet *set, sqlite3_stmt **statement);
LodexPlace *_lodex_set_walk_next (LodexSet *set, sqlite3_stmt **statement);
void _lodex_set_emit_changed (LodexSet *set);
/* Ends a walk on SQLite's failure: warns with @what and SQLite's message,
 * and keeps it for lodex_set_get_walk_error(). */
void _lodex_set_walk_failed (LodexSet *set, sqlite3 *db, const char *what);

/* lodex-sql-functions: the SQL functions of the searching sets, on @db. */
gboolean _lodex_search_register (sqlite3 *db);
/* lodex-change */
LodexChange *_lodex_change_new (LodexChangeKind kind, LodexChangeEvent event, const gchar *id, const gchar *place_id);

/* lodex-error: @what and SQLite's last message for @db, as
 * %LODEX_ERROR_BUSY when it was a lock, else %LODEX_ERROR_DATABASE. */
void _lodex_set_database_error (GError **error, sqlite3 *db, const char *what);
/* A GPX_ERROR of the gpx/ library turned, in place, into %LODEX_ERROR_PARSE
 * (not well-formed), %LODEX_ERROR_INVALID (not GPX, or a value out of
 * range) or %G_FILE_ERROR_IO (the output failed); any other is left. */
void _lodex_error_from_gpx (GError *error);

/* lodex-store: whether the calling thread is the one that made @store; an
 * object in no store (%NULL) is anyone's. */
gboolean _lodex_store_is_home (LodexStore *store);

/* A store and its objects are used by the thread that made the store only:
 * a call from another fails at once, like g_return_val_if_fail (). */
#define lodex_return_val_if_foreign(store, val)                                        \
  G_STMT_START                                                                         \
  {                                                                                    \
    if (G_UNLIKELY (!_lodex_store_is_home (store)))                                    \
      {                                                                                \
        g_critical ("%s: called from a thread that does not own the store; a store "   \
                    "and its objects belong to the thread that created the store",     \
                    G_STRFUNC);                                                        \
        return val;                                                                    \
      }                                                                                \
  }                                                                                    \
  G_STMT_END
#define lodex_return_if_foreign(store) lodex_return_val_if_foreign (store, )

/* lodex-store */
LodexStore *_lodex_store_get_from_file (const gchar *filename, const gchar *schema_filename);
gchar *_lodex_store_gen_id (LodexStore *store);
sqlite3 *_lodex_store_get_walk_db (LodexStore *store);
/* Whether the R*Tree of positions holds every place. */
gboolean _lodex_store_indexes_positions (LodexStore *store);

/* lodex-location-filter: how many places of the index of latitudes one
 * found through the R*Tree costs, which decides the way a box is read; 0
 * reads every box that is narrow enough through the R*Tree, and a negative
 * cost restores the library's own (tests). */
void _lodex_location_filter_set_rtree_cost (gdouble cost);
/* Whether the last write of @db failed on an id already taken. */
gboolean _lodex_id_collided (sqlite3 *db);
gboolean _lodex_update_property_string (gchar **property_location, const GValue *value);
void _lodex_store_add_to_table (LodexStore *store, LodexPlace *place);
void _lodex_store_remove_from_table (LodexStore *store, LodexPlace *place);
LodexPlace *_lodex_store_query_table (LodexStore *store, const gchar *id);
LodexPlace *_lodex_store_get_place_for_statement (LodexStore *store, sqlite3_stmt *statement);
/* From the dispose of a place, category, image or route bound to @store:
 * the store forgets it, if it is registered. */
void _lodex_store_forget (LodexStore *store, GObject *object);
gboolean _lodex_store_import_place (LodexStore *store, LodexPlace *place);
gboolean _lodex_store_update (LodexStore *store, LodexPlace *place, guint columns, guint address_fields);
gboolean _lodex_store_add_place_link (LodexStore *store, LodexPlaceLink *link);
gboolean _lodex_store_update_place_link (LodexStore *store, LodexPlaceLink *link);
gboolean _lodex_store_remove_place_link (LodexStore *store, LodexPlaceLink *link);
GList *_lodex_store_get_place_links (LodexStore *store, LodexPlace *place);
LodexPlaceAddress *_lodex_store_place_get_address (LodexStore *store, LodexPlace *place);
gboolean _lodex_store_place_set_address (LodexStore *store, LodexPlace *place, LodexPlaceAddress *address);
gboolean _lodex_store_place_clear_address (LodexStore *store, LodexPlace *place);
gchar *_lodex_store_place_get_appdata (LodexStore *store, LodexPlace *place, const gchar *key);
gboolean _lodex_store_place_set_appdata (LodexStore *store, LodexPlace *place, const gchar *key, const gchar *value);
gboolean _lodex_store_place_clear_appdata (LodexStore *store, LodexPlace *place, const gchar *key);
GList *_lodex_store_get_categories_for_place (LodexStore *store, LodexPlace *place);
GList *_lodex_store_get_images_for_place (LodexStore *store, LodexPlace *place);
gboolean _lodex_store_update_category (LodexStore *store, LodexCategory *category);
gboolean _lodex_store_update_image (LodexStore *store, LodexImage *image);
gboolean _lodex_store_add_place_to_category (LodexStore *store, LodexPlace *place, LodexCategory *category);
gboolean _lodex_store_remove_place_from_category (LodexStore *store, LodexPlace *place, LodexCategory *category);
gboolean _lodex_store_add_image_to_place (LodexStore *store, LodexImage *image, LodexPlace *place);
gboolean _lodex_store_remove_image_from_place (LodexStore *store, LodexImage *image, LodexPlace *place);
void _lodex_store_add_to_route_table (LodexStore *store, LodexRoute *route);
void _lodex_store_remove_from_route_table (LodexStore *store, LodexRoute *route);
LodexRoute *_lodex_store_query_route_table (LodexStore *store, const gchar *id);
gboolean _lodex_store_update_route (LodexStore *store, LodexRoute *route);
gboolean _lodex_store_add_place_to_route (LodexStore *store, LodexPlace *place, LodexRoute *route);
gboolean _lodex_store_remove_place_from_route (LodexStore *store, LodexPlace *place, LodexRoute *route);
gboolean _lodex_store_add_waypoint_to_route (LodexStore *store, LodexWaypoint *waypoint, LodexRoute *route);
gboolean _lodex_store_remove_waypoint_from_route (LodexStore *store, LodexWaypoint *waypoint, LodexRoute *route);
gboolean _lodex_store_route_delete_waypoints (LodexStore *store, const gchar *route_id, LodexWaypointFunc func, gpointer user_data);
gboolean _lodex_store_route_select_update_waypoints (LodexStore *store, const gchar *route_id, LodexWaypointFunc func, gpointer user_data);

/* Groups many writes into one transaction (calls nest); their broadcasts
 * wait for the commit and go once each. End returns FALSE when the commit
 * failed. */
gboolean _lodex_store_batch_begin (LodexStore *store);
gboolean _lodex_store_batch_end (LodexStore *store);
/* Writes were committed on another connection (an import's own): rings the
 * doorbell of every store once, one "StoreUpdated". */
void _lodex_store_announce_batch (LodexStore *store);

/* lodex-tracker */
guint _lodex_tracker_hold (LodexTracker *tracker, gboolean batch);
void _lodex_tracker_release (LodexTracker *tracker, guint mark, gboolean send);
void _lodex_tracker_set_bus_timeout (guint milliseconds);
LodexTracker *_lodex_tracker_new_doorbell (void (*rung) (gpointer data), gpointer data);
void _lodex_tracker_ring_here (LodexTracker *tracker);
void _lodex_tracker_ring (LodexTracker *tracker);
/* For the tests: this process sends no change notice at all, as a writer
 * killed between its commits and its notices. */
void _lodex_tracker_skip_doorbells (gboolean skip);

/* lodex-place: the columns of a place's row that a write-back writes,
 * in the order of the places table after the id */
typedef enum
{
  LODEX_PLACE_COLUMN_LATITUDE = 1 << 0,
  LODEX_PLACE_COLUMN_LONGITUDE = 1 << 1,
  LODEX_PLACE_COLUMN_ALTITUDE = 1 << 2,
  LODEX_PLACE_COLUMN_NAME = 1 << 3,
  LODEX_PLACE_COLUMN_ICON = 1 << 4,
  LODEX_PLACE_COLUMN_HACCURACY = 1 << 5,
  LODEX_PLACE_COLUMN_VACCURACY = 1 << 6,
  LODEX_PLACE_COLUMN_COMMENT = 1 << 7,
  LODEX_PLACE_COLUMN_DESCRIPTION = 1 << 8,
  LODEX_PLACE_COLUMN_COVERAGE = 1 << 9,
  LODEX_PLACE_COLUMN_PRESENCE = 1 << 10,
} LodexPlaceColumn;

LodexPlace *_lodex_place_new_with_row (LodexPlaceRow *row);
gboolean _lodex_place_check_position (gdouble latitude, gdouble longitude, GError **error);
LodexPlaceRow *_lodex_place_get_row (LodexPlace *place);
void _lodex_place_set_row (LodexPlace *place, LodexPlaceRow *row);
LodexStore *_lodex_place_get_store (LodexPlace *place);
void _lodex_place_set_store (LodexPlace *place, LodexStore *store);
gboolean _lodex_place_is_dirty (LodexPlace *place);
void _lodex_place_reload (LodexPlace *place, LodexPlaceRow *row, LodexPlaceAddress *address);
void _lodex_place_discard_changes (LodexPlace *place);
LodexPlaceRow *_lodex_place_row_new (void);
void _lodex_place_row_free (LodexPlaceRow *row);
LodexPlaceAddress *_lodex_place_address_new (void);
void _lodex_place_address_free (LodexPlaceAddress *address);
LodexPlaceAddress *_lodex_place_get_address (LodexPlace *place);
LodexPlaceAddress *_lodex_place_peek_address (LodexPlace *place);
void _lodex_place_set_address (LodexPlace *place, LodexPlaceAddress *address);
GList *_lodex_place_get_links (LodexPlace *place);
void _lodex_place_update_links (LodexPlace *place);
void _lodex_place_free_links (LodexPlace *place);

/* lodex-category */
LodexCategory *_lodex_category_new_with_row (LodexCategoryRow *row);
LodexCategoryRow *_lodex_category_get_row (LodexCategory *category);
void _lodex_category_set_row (LodexCategory *category, LodexCategoryRow *row);
LodexStore *_lodex_category_get_store (LodexCategory *category);
void _lodex_category_set_store (LodexCategory *category, LodexStore *store);
LodexCategoryRow *_lodex_category_row_new (void);
void _lodex_category_row_free (LodexCategoryRow *row);

/* lodex-image */
LodexImage *_lodex_image_new_with_row (LodexImageRow *row);
LodexImageRow *_lodex_image_get_row (LodexImage *image);
void _lodex_image_set_row (LodexImage *image, LodexImageRow *row);
LodexStore *_lodex_image_get_store (LodexImage *image);
void _lodex_image_set_store (LodexImage *image, LodexStore *store);
LodexImageRow *_lodex_image_row_new (void);
void _lodex_image_row_free (LodexImageRow *row);

/* lodex-route, lodex-waypoint */
LodexRouteRow *_lodex_route_row_new (void);
void _lodex_route_row_free (LodexRouteRow *row);
LodexRoute *_lodex_route_new_with_row (LodexRouteRow *row);
void _lodex_route_load_row (LodexRoute *route, LodexRouteRow *row);
LodexRouteRow *_lodex_route_get_row (LodexRoute *route);
guint _lodex_route_get_changed (LodexRoute *route);
gboolean _lodex_db_update_route_columns (sqlite3 *db, LodexRouteRow *row, guint columns);
const gchar *_lodex_route_get_id (LodexRoute *route);
LodexStore *_lodex_route_get_store (LodexRoute *route);
void _lodex_route_set_store (LodexRoute *route, LodexStore *store);
gboolean _lodex_route_save_pending (LodexRoute *route);
LodexWaypointRow *_lodex_waypoint_get_row (LodexWaypoint *waypoint);
gboolean _lodex_waypoint_has_altitude (LodexWaypoint *waypoint);
void _lodex_waypoint_set_has_altitude (LodexWaypoint *waypoint, gboolean has_altitude);
gboolean _lodex_waypoint_get_modified (LodexWaypoint *waypoint);
void _lodex_waypoint_set_modified (LodexWaypoint *waypoint, gboolean modified);

/* lodex-db */
gboolean _lodex_db_exec_and_free (sqlite3 *db, gchar *sql);
gboolean _lodex_db_bind_place_row (sqlite3 *db, sqlite3_stmt *statement, LodexPlaceRow *row);
LodexPlaceRow *_lodex_db_place_row_from_statement (sqlite3_stmt *statement);
int _lodex_db_step (sqlite3_stmt *statement);
gboolean _lodex_db_update_place_columns (sqlite3 *db, LodexPlaceRow *row, guint columns);
gboolean _lodex_db_place_exists (sqlite3 *db, const gchar *id);
gboolean _lodex_db_place_address_upsert (sqlite3 *db, const gchar *place_id, LodexPlaceAddress *address, guint fields);
gboolean _lodex_db_place_appdata_upsert (sqlite3 *db, const gchar *place_id, const gchar *key, const gchar *data);
void _lodex_db_set_busy_timeout (guint milliseconds);
/* rows written as they are, without objects: for imports */
gboolean _lodex_db_insert_place_row (sqlite3 *db, LodexPlaceRow *row);
gboolean _lodex_db_insert_category_row (sqlite3 *db, LodexCategoryRow *row);
gboolean _lodex_db_insert_route_row (sqlite3 *db, LodexRouteRow *row);
gboolean _lodex_db_insert_waypoint_row (sqlite3 *db, LodexWaypointRow *row, gboolean has_altitude);
gint64 _lodex_db_last_place_rowid (sqlite3 *db);
gboolean _lodex_db_foreach_place_between (sqlite3 *db, gint64 first, gint64 last, GFunc func, gpointer data);

/* lodex-db-journal: the last number the change journal gave, 0 before its
 * first row; -1 after a warning (no journal). */
gint64 _lodex_db_journal_end (sqlite3 *db);
/* Deletes the oldest rows of the journal that are more than
 * @max_age_seconds old and have at least @keep_rows newer rows after them
 * (at least one: the newest always stays), at most @max_rows of them. */
gboolean _lodex_db_prune_journal (sqlite3 *db, gint64 keep_rows, gint64 max_age_seconds, gint64 max_rows);

G_END_DECLS

#ifdef __cplusplus
#include "lodex-raii.hpp"

namespace lodex
{

/* Returns on a failed check the way g_return_val_if_fail does, but logs
 * @text: for the few checks whose logged expression is not the code's. */
inline bool
check (bool ok, const char *function, const char *text)
{
  if (!ok)
    g_return_if_fail_warning ("Lodex", function, text);
  return ok;
}

/* While one is in scope, the failures the library would log on this
 * thread are kept instead: an operation's form that takes a GError gives
 * the first one to its caller and logs nothing. */
class Failures
{
public:
  Failures () noexcept;
  ~Failures ();
  Failures (const Failures &) = delete;
  Failures &operator= (const Failures &) = delete;

  /* @ok; else FALSE with the first failure kept in @error, or one that
   * says @what failed when none was told. A failure kept on the way to a
   * success (an id taken, then another tried; a signal handler's own) is
   * logged then, as it would have been. */
  gboolean finish (gboolean ok, GError **error, const char *what) noexcept;
  /* whether a failure was kept: for a result that may be empty */
  bool any () const noexcept { return kept_ && kept_->len; }

private:
  friend void keep (int code, const char *format, va_list args) noexcept;
  Failures *outer_;
  GPtrArray *kept_ = nullptr; /* of GError, in order */
};

/* g_warning (), or kept with @code (a #LodexError) by the Failures in
 * scope. */
void fail (int code, const char *format, ...) noexcept G_GNUC_PRINTF (2, 3);
/* The same for SQLite's answer on @db: %LODEX_ERROR_BUSY for a lock,
 * %LODEX_ERROR_EXISTS for a row already there, else
 * %LODEX_ERROR_DATABASE. */
void fail_db (sqlite3 *db, const char *format, va_list args) noexcept;

/* A walk under way over the rows of a set's statement, with what each step
 * needs found once at its start. */
struct Walk
{
  sqlite3_stmt *statement = nullptr;
  LodexStore *store = nullptr; /* the set's, which the set holds */
  bool place_rows = false;     /* each row is its place's whole row */

  explicit operator bool () const noexcept { return statement != nullptr; }
  void
  end () noexcept
  {
    g_clear_pointer (&statement, sqlite3_finalize);
  }
};

/* lodex-set: the first place of a new walk of @set (the walk under way
 * ends), and the next; NULL at the end, with the statement finalized. */
LodexPlace *walk_first (LodexSet *set, Walk *walk) noexcept;
LodexPlace *walk_next (LodexSet *set, Walk *walk) noexcept;

/* lodex-store-places: the place of the row at hand, live or made from the
 * row when @place_rows, else fetched by the id in column 0; NULL for a row
 * without a place. */
LodexPlace *place_for_row (LodexStore *store, sqlite3_stmt *statement, bool place_rows) noexcept;

/* lodex-place: a place with @row (taken), bound to @store, made as fast as
 * a walk needs it. */
LodexPlace *place_new_bound (LodexPlaceRow *row, LodexStore *store) noexcept;

} // namespace lodex

namespace lodex
{

/* The address fields in record order: column k + 1 of places_address, and
 * place properties 15 to 30 (GObject turns "_" into "-"). */
struct AddressField
{
  const char *parameter; /* ":" + column name */
  const char *nick;
  const char *blurb;
  gchar *LodexPlaceAddress::*member;
};

inline constexpr AddressField address_fields[] = {
  {":country", "country", "Country", &LodexPlaceAddress::country},
  {":country_code", "country code", "Country code", &LodexPlaceAddress::country_code},
  {":state", "state", "State", &LodexPlaceAddress::state},
  {":county", "county", "County", &LodexPlaceAddress::county},
  {":city", "city", "City", &LodexPlaceAddress::city},
  {":district", "district", "District", &LodexPlaceAddress::district},
  {":postcode", "postcode", "Postal code", &LodexPlaceAddress::postcode},
  {":crossing1", "crossing 1", "First road in a crossing", &LodexPlaceAddress::crossing1},
  {":crossing2", "crossing 2", "Second road in a crossing", &LodexPlaceAddress::crossing2},
  {":street", "street", "Street address", &LodexPlaceAddress::street},
  {":building_name", "building name", "Building name", &LodexPlaceAddress::building_name},
  {":building_zone", "building zone", "Building zone", &LodexPlaceAddress::building_zone},
  {":building_floor", "building floor", "Floor of building", &LodexPlaceAddress::building_floor},
  {":building_room", "building room", "Room of building", &LodexPlaceAddress::building_room},
  {":extension", "extension", "Telephone extension", &LodexPlaceAddress::extension},
  {":phone_number", "phone number", "Telephone number", &LodexPlaceAddress::phone_number},
};

} // namespace lodex

G_DEFINE_AUTOPTR_CLEANUP_FUNC (LodexPlaceRow, _lodex_place_row_free)
G_DEFINE_AUTOPTR_CLEANUP_FUNC (LodexCategoryRow, _lodex_category_row_free)
G_DEFINE_AUTOPTR_CLEANUP_FUNC (LodexImageRow, _lodex_image_row_free)
G_DEFINE_AUTOPTR_CLEANUP_FUNC (LodexPlaceAddress, _lodex_place_address_free)
#endif
