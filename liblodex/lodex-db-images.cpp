/* The database rows of images and of their attachment to places. */

#include "lodex-db-private.hpp"

using namespace lodex::db;

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
  if (!statement || !fetch_row (statement))
    return nullptr;
  g_autoptr (LodexImageRow) row = _lodex_image_row_new ();
  row->id = column_strdup (statement.get (), 0);
  row->description = column_strdup (statement.get (), 1);
  row->filename = column_strdup (statement.get (), 2);
  if (!finish_read (statement))
    return nullptr;
  return static_cast<LodexImageRow *> (g_steal_pointer (&row));
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
