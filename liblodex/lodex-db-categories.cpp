/* The database rows of categories and of the places' memberships in them. */

#include "lodex-db-private.hpp"

using namespace lodex::db;

/* Writes a category: the id is bound with the others by name, then the
 * row's name and description. */
static gboolean
write_category (sqlite3 *db, const char *query, LodexCategoryRow *row)
{
  Statement statement = borrow_bound (db, query, ":id", row->id, ":name", row->name, ":description",
                                      row->description, nullptr);
  return statement && run (statement);
}

gboolean
lodex_db_insert_category (sqlite3 *db, LodexCategory *category)
{
  g_return_val_if_fail (db != NULL, FALSE);
  g_return_val_if_fail (category != NULL, FALSE);
  return _lodex_db_insert_category_row (db, _lodex_category_get_row (category));
}

gboolean
_lodex_db_insert_category_row (sqlite3 *db, LodexCategoryRow *row)
{
  g_return_val_if_fail (db != NULL, FALSE);
  g_return_val_if_fail (row != NULL, FALSE);
  return write_category (db, "INSERT INTO categories(id, name, description) VALUES (:id, :name, :description);", row);
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
  if (!statement || !fetch_row (statement))
    return nullptr;
  g_autoptr (LodexCategoryRow) row = _lodex_category_row_new ();
  row->id = column_strdup (statement.get (), 0);
  row->name = column_strdup (statement.get (), 1);
  row->description = column_strdup (statement.get (), 2);
  if (!finish_read (statement))
    return nullptr;
  return static_cast<LodexCategoryRow *> (g_steal_pointer (&row));
}

gchar *
lodex_db_get_category_id_by_name (sqlite3 *db, const gchar *name)
{
  g_return_val_if_fail (db != NULL, NULL);
  g_return_val_if_fail (name != NULL, NULL);

  Statement statement = borrow_bound (db, "SELECT id from categories where name=:name", ":name", name, nullptr);
  if (!statement || !fetch_row (statement))
    return nullptr;
  g_autofree gchar *id = column_strdup (statement.get (), 0);
  if (!finish_read (statement))
    return nullptr;
  return static_cast<gchar *> (g_steal_pointer (&id));
}

/* Memberships: the schema refuses a second identical row. */

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
