#pragma once

#include <glib.h>
#include <sqlite3.h>
#include <liblodex/lodex-types.h>
#include <liblodex/lodex-place.h>
#include <liblodex/lodex-category.h>
#include <liblodex/lodex-image.h>
#include <liblodex/lodex-route.h>
#include <liblodex/lodex-waypoint.h>

G_BEGIN_DECLS

/* Every function waits out a busy database (another process's lock) for a
 * bounded time, then fails like any other error. */

sqlite3 *lodex_db_open (const gchar *filename);
int lodex_db_close (sqlite3 *db);
gboolean lodex_db_create_tables (sqlite3 *db, const gchar *schema_filename);

sqlite3_stmt *lodex_db_generic_prepare_and_bind (sqlite3 *db, const gchar *query, ...) G_GNUC_NULL_TERMINATED;
gboolean lodex_db_generic_exec (sqlite3 *db, sqlite3_stmt *statement);
gboolean lodex_db_generic_reset_and_finalize (sqlite3 *db, sqlite3_stmt *statement);
gboolean lodex_db_generic_fetch (sqlite3 *db, sqlite3_stmt *statement, gint column, gchar **out, ...);
gchar *lodex_db_generic_next_id (sqlite3 *db, sqlite3_stmt *statement, gint column);

gchar *lodex_db_get_next_id (sqlite3 *db, sqlite3_stmt *statement);
gchar *lodex_db_get_next_route_id (sqlite3 *db, sqlite3_stmt *statement);
gchar *lodex_db_get_next_image_id (sqlite3 *db, sqlite3_stmt *statement);
gchar *lodex_db_get_next_category_id (sqlite3 *db, sqlite3_stmt *statement);
gchar *lodex_db_get_next_p2i_image_id (sqlite3 *db, sqlite3_stmt *statement);
gchar *lodex_db_get_next_p2c_category_id (sqlite3 *db, sqlite3_stmt *statement);

/* places */
gboolean lodex_db_insert_place (sqlite3 *db, LodexPlace *place);
gboolean lodex_db_update_place (sqlite3 *db, LodexPlace *place);
gboolean lodex_db_delete_place (sqlite3 *db, LodexPlace *place);
LodexPlaceRow *lodex_db_get_row_by_id (sqlite3 *db, const gchar *id);

/* links, address and app data of places */
gboolean lodex_db_add_place_link (sqlite3 *db, LodexPlaceLink *link);
gboolean lodex_db_update_place_link (sqlite3 *db, LodexPlaceLink *link);
gboolean lodex_db_remove_place_link (sqlite3 *db, LodexPlaceLink *link);
GList *lodex_db_get_place_links (sqlite3 *db, const gchar *place_id);
LodexPlaceAddress *lodex_db_place_address_get (sqlite3 *db, const gchar *place_id);
gboolean lodex_db_place_address_set (sqlite3 *db, const gchar *place_id, LodexPlaceAddress *address);
gboolean lodex_db_place_address_delete (sqlite3 *db, const gchar *place_id);
gchar *lodex_db_place_appdata_get (sqlite3 *db, const gchar *place_id, const gchar *key);
gboolean lodex_db_place_appdata_insert (sqlite3 *db, const gchar *place_id, const gchar *key, const gchar *data);
gboolean lodex_db_place_appdata_update (sqlite3 *db, const gchar *place_id, const gchar *key, const gchar *data);
gboolean lodex_db_place_appdata_delete (sqlite3 *db, const gchar *place_id, const gchar *key);

/* categories, images and memberships */
gboolean lodex_db_insert_category (sqlite3 *db, LodexCategory *category);
gboolean lodex_db_update_category (sqlite3 *db, LodexCategory *category);
gboolean lodex_db_delete_category (sqlite3 *db, LodexCategory *category);
LodexCategoryRow *lodex_db_get_category_row_by_id (sqlite3 *db, const gchar *id);
gchar *lodex_db_get_category_id_by_name (sqlite3 *db, const gchar *name);
gboolean lodex_db_insert_image (sqlite3 *db, LodexImage *image);
gboolean lodex_db_update_image (sqlite3 *db, LodexImage *image);
gboolean lodex_db_delete_image (sqlite3 *db, LodexImage *image);
LodexImageRow *lodex_db_get_image_row_by_id (sqlite3 *db, const gchar *id);
gboolean lodex_db_add_place_to_category (sqlite3 *db, const gchar *place_id, const gchar *category_id);
gboolean lodex_db_remove_place_from_category (sqlite3 *db, const gchar *place_id, const gchar *category_id);
gboolean lodex_db_add_image_to_place (sqlite3 *db, const gchar *image_id, const gchar *place_id);
gboolean lodex_db_remove_image_from_place (sqlite3 *db, const gchar *image_id, const gchar *place_id);

/* routes and waypoints */
gboolean lodex_db_insert_route (sqlite3 *db, LodexRoute *route);
gboolean lodex_db_store_route (sqlite3 *db, LodexRoute *route);
gboolean lodex_db_delete_route (sqlite3 *db, LodexRoute *route);
LodexRoute *lodex_db_get_route_by_id (sqlite3 *db, const gchar *id);
void lodex_db_load_route (sqlite3 *db, LodexRoute *route);
gboolean lodex_db_route_get_bounds (sqlite3 *db, LodexRoute *route, LodexRouteBounds *bounds);
gboolean lodex_db_add_place_to_route (sqlite3 *db, const gchar *place_id, const gchar *route_id);
gboolean lodex_db_remove_place_from_route (sqlite3 *db, const gchar *place_id, const gchar *route_id);
gboolean lodex_db_insert_waypoint (sqlite3 *db, LodexWaypoint *waypoint);
gboolean lodex_db_remove_waypoint (sqlite3 *db, LodexWaypoint *waypoint);
gboolean lodex_db_remove_waypoints (sqlite3 *db, const gchar *route_id, LodexWaypointFunc func, gpointer user_data);
guint lodex_db_select_update_waypoints (sqlite3 *db, const gchar *route_id, LodexWaypointFunc func, gpointer user_data);

G_END_DECLS
