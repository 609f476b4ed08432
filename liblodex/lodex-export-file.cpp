/* What the exporters share: a file renamed over its target once complete,
 * and the places of a set as rows. */

#include "lodex-export-file.hpp"
#include "lodex-db-private.hpp"
#include "lodex-location-sort-private.h"
#include "lodex-set-wrapper.hpp"

#include <glib/gstdio.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace lodex
{

ExportFile::ExportFile (const char *target) noexcept : target_ (g_strdup (target))
{
}

ExportFile::~ExportFile ()
{
  if (fd_ >= 0)
    close (fd_);
  if (temporary_) /* not committed: nothing is left behind */
    g_unlink (temporary_);
  g_free (temporary_);
  g_free (target_);
}

bool
ExportFile::open (GError **error) noexcept
{
  /* a link is followed: the file it names is replaced, not the link */
  char resolved[PATH_MAX];
  GStatBuf st;
  bool exists = g_lstat (target_, &st) == 0;
  if (exists && S_ISLNK (st.st_mode) && realpath (target_, resolved) && g_stat (resolved, &st) == 0)
    {
      g_free (target_);
      target_ = g_strdup (resolved);
    }
  else if (exists && S_ISLNK (st.st_mode))
    exists = false; /* a dangling link: written through */

  if (exists && !S_ISREG (st.st_mode))
    fd_ = ::g_open (target_, O_WRONLY | O_TRUNC | O_CLOEXEC, 0666); /* a pipe or a device: no file to replace */
  else
    {
      g_autofree gchar *dir = g_path_get_dirname (target_);
      g_autofree gchar *base = g_path_get_basename (target_);
      g_autofree gchar *name = g_strdup_printf (".%s.XXXXXX", base);
      temporary_ = g_build_filename (dir, name, nullptr);
      fd_ = g_mkstemp_full (temporary_, O_RDWR | O_CLOEXEC, 0666);
      if (fd_ < 0)
        g_clear_pointer (&temporary_, g_free);
      else if (exists)
        fchmod (fd_, st.st_mode & 07777); /* the file it replaces keeps its mode */
      else
        {
          /* mkstemp makes it 0600: the umask decides, as for any new file */
          mode_t mask = umask (0);
          umask (mask);
          fchmod (fd_, 0666 & ~mask);
        }
    }
  if (fd_ < 0)
    {
      int saved = errno;
      g_set_error (error, G_FILE_ERROR, g_file_error_from_errno (saved), "Failed to create %s", target_);
      return false;
    }
  return true;
}

void
ExportFile::failed (int error_number) noexcept
{
  if (!errno_)
    errno_ = error_number ? error_number : EIO;
}

bool
ExportFile::write (const char *data, gsize size) noexcept
{
  for (gsize done = 0; !errno_ && done < size;)
    {
      ssize_t n = ::write (fd_, data + done, size - done);
      if (n > 0)
        done += gsize (n);
      else if (n == 0)
        errno_ = ENOSPC;
      else if (errno != EINTR)
        errno_ = errno;
    }
  return !errno_;
}

bool
ExportFile::commit (GError **error) noexcept
{
  /* on the disk before it takes the target's name: a crash leaves the old
   * file or the new one, never a part */
  if (!errno_ && temporary_ && fsync (fd_) != 0)
    errno_ = errno;
  if (close (std::exchange (fd_, -1)) != 0 && !errno_)
    errno_ = errno;
  if (!errno_ && temporary_ && g_rename (temporary_, target_) != 0)
    errno_ = errno;
  if (errno_)
    {
      g_set_error (error, G_FILE_ERROR, g_file_error_from_errno (errno_), "Failed to write %s: %s", target_,
                   g_strerror (errno_));
      return false;
    }
  if (temporary_)
    {
      /* the new name too */
      g_autofree gchar *dir = g_path_get_dirname (target_);
      int dir_fd = ::g_open (dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
      if (dir_fd >= 0)
        {
          fsync (dir_fd);
          close (dir_fd);
        }
      g_clear_pointer (&temporary_, g_free);
    }
  return true;
}

void
ExportedPlace::clear () noexcept
{
  g_clear_pointer (&row, _lodex_place_row_free);
  g_clear_pointer (&address, _lodex_place_address_free);
  g_list_free_full (std::exchange (links, nullptr), GDestroyNotify (lodex_place_link_free));
  g_list_free_full (std::exchange (category_names, nullptr), g_free);
}

ExportWalk::ExportWalk (LodexSet *set) noexcept : set_ (LODEX_SET (g_object_ref (set)))
{
}

ExportWalk::~ExportWalk ()
{
  sqlite3_finalize (statement_);
  lodex_db_close (own_db_);
  g_clear_object (&cancellable_);
  if (set_)
    g_object_unref (set_);
}

bool
ExportWalk::detach (GError **error) noexcept
{
  g_return_val_if_fail (set_ && !started_, false);
  started_ = true;
  g_autoptr (LodexSet) set = std::exchange (set_, nullptr);
  g_autoptr (LodexStore) store = lodex_set_get_store (set);
  const gchar *query = _lodex_set_get_query (set);
  sqlite3 *store_db = store ? _lodex_set_get_db (LODEX_SET (store)) : nullptr;
  const char *database = store_db ? sqlite3_db_filename (store_db, "main") : nullptr;
  if (!query || !database || !*database)
    {
      g_set_error (error, LODEX_ERROR, LODEX_ERROR_DATABASE, "The places could not be read");
      return false;
    }
  db::Quiet quiet;
  own_db_ = lodex_db_open (database);
  if (!own_db_)
    {
      g_set_error (error, LODEX_ERROR, LODEX_ERROR_DATABASE, "Could not open the database %s", database);
      return false;
    }
  sqlite3_exec (own_db_, "PRAGMA query_only=1", nullptr, nullptr, nullptr);
  _lodex_location_sort_register (own_db_);
  /* as a walk of the set composes it: a chain keeps its outermost order */
  g_autofree gchar *ordered = nullptr;
  if (const char *order = chain_order (set))
    query = ordered = g_strdup_printf ("SELECT * from (%s) ORDER BY %s", query, order);
  if (sqlite3_prepare_v2 (own_db_, query, -1, &statement_, nullptr) != SQLITE_OK)
    {
      _lodex_set_database_error (error, own_db_, "Problem preparing SQL statement");
      return false;
    }
  if (!_lodex_set_bind (set, statement_))
    {
      g_set_error (error, LODEX_ERROR, LODEX_ERROR_DATABASE, "The places could not be read");
      return false;
    }
  return true;
}

void
ExportWalk::watch (GCancellable *cancellable, ExportProgressFunc progress, gpointer progress_data) noexcept
{
  g_set_object (&cancellable_, cancellable);
  progress_ = progress;
  progress_data_ = progress_data;
}

bool
ExportWalk::start (GError **error) noexcept
{
  started_ = true;
  statement_ = _lodex_set_do_query (set_);
  if (!statement_)
    {
      g_set_error (error, LODEX_ERROR, LODEX_ERROR_DATABASE, "The places could not be read");
      return false;
    }
  return true;
}

namespace
{

/* The names of a place's categories, once each, in the order of the
 * categories. */
bool
category_names (sqlite3 *db, const gchar *place_id, GList **names)
{
  db::Statement statement = db::borrow_bound (db,
                                              "SELECT DISTINCT c.name FROM p2c JOIN categories c ON c.id = p2c.category_id "
                                              "WHERE p2c.place_id = :place_id AND c.name IS NOT NULL ORDER BY c.rowid",
                                              ":place_id", place_id, nullptr);
  if (!statement)
    return false;
  int res;
  while ((res = _lodex_db_step (statement.get ())) == SQLITE_ROW)
    *names = g_list_prepend (*names, db::column_strdup (statement.get (), 0));
  *names = g_list_reverse (*names);
  return res == SQLITE_DONE;
}

} // namespace

bool
ExportWalk::next (ExportedPlace &place, GError **error) noexcept
{
  place.clear ();
  if (!started_ && !start (error))
    return false;
  if (!statement_ || g_cancellable_set_error_if_cancelled (cancellable_, error))
    return false;
  db::Quiet quiet;
  sqlite3 *db = sqlite3_db_handle (statement_);
  int res = _lodex_db_step (statement_);
  if (res != SQLITE_ROW)
    {
      if (res != SQLITE_DONE) /* a damaged database ends a walk early: never taken for its end */
        _lodex_set_database_error (error, db, "Error when retrieving row");
      else if (progress_)
        progress_ (places_, 0, -1, progress_data_);
      g_clear_pointer (&statement_, sqlite3_finalize);
      return false;
    }
  if (progress_ && ++places_ % 1000 == 0)
    progress_ (places_, 0, -1, progress_data_);

  /* a walk's statement selects the places columns first */
  const char *id = reinterpret_cast<const char *> (sqlite3_column_text (statement_, 0));
  if (sqlite3_column_count (statement_) >= 13 && g_str_equal (sqlite3_column_name (statement_, 1), "latitude")
      && g_str_equal (sqlite3_column_name (statement_, 12), "ctime"))
    place.row = _lodex_db_place_row_from_statement (statement_);
  else if (id)
    place.row = lodex_db_get_row_by_id (db, id);
  if (!place.row || !place.row->id)
    {
      _lodex_set_database_error (error, db, "Error when retrieving row");
      return false;
    }
  /* these readers answer NULL both for nothing and for a failure: the
   * connection tells which */
  auto read_failed = [db] {
    int code = sqlite3_errcode (db);
    return code != SQLITE_OK && code != SQLITE_ROW && code != SQLITE_DONE;
  };
  place.address = lodex_db_place_address_get (db, place.row->id);
  bool failed = read_failed ();
  place.links = failed ? nullptr : lodex_db_get_place_links (db, place.row->id);
  if (failed || read_failed () || !category_names (db, place.row->id, &place.category_names))
    {
      _lodex_set_database_error (error, db, "Error when retrieving row");
      return false;
    }
  return true;
}

sqlite3 *
ExportWalk::db () noexcept
{
  if (statement_)
    return sqlite3_db_handle (statement_);
  if (own_db_)
    return own_db_;
  g_autoptr (LodexStore) store = set_ ? lodex_set_get_store (set_) : nullptr;
  return store ? _lodex_store_get_walk_db (store) : nullptr;
}

GPtrArray *
ExportWalk::categories (GError **error) noexcept
{
  if (!started_ && !start (error))
    return nullptr;
  /* on the walk's connection, in its snapshot, when it still has one */
  sqlite3 *db = this->db ();
  if (!db)
    {
      g_set_error (error, LODEX_ERROR, LODEX_ERROR_DATABASE, "The categories could not be read");
      return nullptr;
    }
  db::Quiet quiet;
  GPtrArray *categories = g_ptr_array_new_with_free_func (GDestroyNotify (_lodex_category_row_free));
  db::Statement statement = db::borrow (db, "SELECT name, description FROM categories ORDER BY rowid");
  int res = statement ? SQLITE_ROW : SQLITE_ERROR;
  while (statement && (res = _lodex_db_step (statement.get ())) == SQLITE_ROW)
    {
      LodexCategoryRow *row = _lodex_category_row_new ();
      row->name = db::column_strdup (statement.get (), 0);
      row->description = db::column_strdup (statement.get (), 1);
      g_ptr_array_add (categories, row);
    }
  if (res != SQLITE_DONE)
    {
      _lodex_set_database_error (error, db, "Error when retrieving row");
      g_ptr_array_unref (categories);
      return nullptr;
    }
  return categories;
}

} // namespace lodex
