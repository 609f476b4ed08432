#pragma once

/* What the exporters share: the file they write, and the rows they read.
 *
 * An export writes a temporary file beside its target, and renames it over
 * the target only once everything was written and flushed to the disk: a
 * failed export (a full disk, a damaged database, a place no format can
 * hold) leaves the target as it was, and no temporary file behind. A
 * target that is not a regular file (a pipe, /dev/stdout) is written
 * directly.
 *
 * The rows come from a set's statement, on the walk's own connection,
 * without making live objects. */

#include "lodex-private.h"

namespace lodex
{

/* What an export writes beyond the places of its set. */
struct ExportSettings
{
  bool routes = true;    /* a whole store's GPX export: its routes and tracks too */
  bool extension = true; /* GPX: our place-data extension; without it, a place's first category as <type> */
};

class ExportFile
{
public:
  explicit ExportFile (const char *target) noexcept;
  ~ExportFile ();
  ExportFile (const ExportFile &) = delete;
  ExportFile &operator= (const ExportFile &) = delete;

  /* FALSE with "Failed to create %s" in %G_FILE_ERROR. */
  bool open (GError **error) noexcept;
  int
  fd () const noexcept
  {
    return fd_;
  }
  /* The whole of @data, or FALSE; the first failure is kept. */
  bool write (const char *data, gsize size) noexcept;
  /* Records a failure of the caller's own writes to fd (). */
  void failed (int error_number) noexcept;
  /* Flushes, closes and renames over the target; FALSE with "Failed to
   * write %s: %s" in %G_FILE_ERROR when this or any write failed. */
  bool commit (GError **error) noexcept;

private:
  gchar *target_;
  gchar *temporary_ = nullptr; /* NULL when writing the target itself */
  int fd_ = -1;
  int errno_ = 0;
};

/* One place of a set, as plain rows. */
struct ExportedPlace
{
  LodexPlaceRow *row = nullptr;
  LodexPlaceAddress *address = nullptr; /* NULL without one */
  GList *links = nullptr;               /* of LodexPlaceLink */
  GList *category_names = nullptr;      /* each once, in the order of the categories */

  ExportedPlace () = default;
  ExportedPlace (const ExportedPlace &) = delete;
  ExportedPlace &operator= (const ExportedPlace &) = delete;
  ~ExportedPlace () { clear (); }
  void clear () noexcept;
};

/* Walks the places of @set as rows; FALSE with a %LODEX_ERROR when the
 * walk ends on an error rather than at the end. */
class ExportWalk
{
public:
  explicit ExportWalk (LodexSet *set) noexcept;
  ~ExportWalk ();
  ExportWalk (const ExportWalk &) = delete;
  ExportWalk &operator= (const ExportWalk &) = delete;

  /* The next place into @place: TRUE; at the end FALSE, and @error unset;
   * on a failure FALSE with @error. */
  bool next (ExportedPlace &place, GError **error) noexcept;
  /* The store's categories as rows (name, description), in the walk's
   * snapshot; NULL with @error on a failure. */
  GPtrArray *categories (GError **error) noexcept;
  /* The connection the walk reads on, while it has a row; NULL before
   * and after. */
  sqlite3 *
  connection () const noexcept
  {
    return statement_ ? sqlite3_db_handle (statement_) : nullptr;
  }

private:
  bool start (GError **error) noexcept;

  LodexSet *set_;
  sqlite3_stmt *statement_ = nullptr;
  bool started_ = false;
};

/* lodex-export-gpx.cpp: the places of @set as waypoints; with @store, and
 * settings.routes, the store's routes and tracks after them. */
gboolean export_gpx_file (LodexSet *set, LodexStore *store, const char *filename, const ExportSettings &settings, GError **error) noexcept;
/* lodex-export-geojson.cpp: the places of @set as Point features. */
gboolean export_geojson_file (LodexSet *set, const char *filename, GError **error) noexcept;

} // namespace lodex
