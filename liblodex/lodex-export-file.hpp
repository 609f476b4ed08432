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

/* How far an export is: places written. */
using ExportProgressFunc = void (*) (guint64 places, goffset done, goffset total, gpointer data);

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
  /* The connection the walk reads on while it has a row, else the one it
   * would read on; NULL when there is none. */
  sqlite3 *db () noexcept;

  /* In the set's thread, before the first step: the set's statement,
   * prepared and bound on a connection of the walk's own. The walk then
   * no longer needs the set, and may go on in any thread. */
  bool detach (GError **error) noexcept;
  /* next () fails with %G_IO_ERROR_CANCELLED once @cancellable is
   * cancelled, and tells @progress (nullable) now and then. */
  void watch (GCancellable *cancellable, ExportProgressFunc progress, gpointer progress_data) noexcept;

private:
  bool start (GError **error) noexcept;

  LodexSet *set_;
  sqlite3_stmt *statement_ = nullptr;
  sqlite3 *own_db_ = nullptr; /* once detached */
  bool started_ = false;
  GCancellable *cancellable_ = nullptr;
  ExportProgressFunc progress_ = nullptr;
  gpointer progress_data_ = nullptr;
  guint64 places_ = 0;
};

/* The exporters, on a walk set up by the caller (which may have detached
 * it for another thread). A GPX export of the @whole_store writes its
 * routes and tracks after the places, as @settings say. */
bool export_gpx (ExportWalk &walk, bool whole_store, const char *filename, const ExportSettings &settings, GError **error) noexcept;
bool export_lmx (ExportWalk &walk, const char *filename, GError **error) noexcept;
bool export_geojson (ExportWalk &walk, const char *filename, GError **error) noexcept;

} // namespace lodex
