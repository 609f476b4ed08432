#pragma once

/* The import engine: what the file readers (lodex-import-gpx.cpp,
 * lodex-import-lmx.cpp) read goes into the database through it, in one
 * transaction on a connection of its own: the whole file or nothing.
 *
 * It works on rows and never on the store, its live objects or its
 * registries, so that it may run in any thread; the store's side
 * (lodex::import_file) announces what it stored once it is committed. */

#include "lodex-private.h"

#include <gio/gio.h>

namespace lodex
{

/* How far an import is: places stored, and bytes of the file read. */
using ImportProgressFunc = void (*) (guint64 places, goffset done, goffset total, gpointer data);

/* What an import does with a place that is stored already. */
enum class Duplicates
{
  skip,   /* left as it is */
  update, /* written as the file has it */
  add,    /* added again, as a new place */
};

/* A place of the file is stored already when its id is, or (with
 * by_name) when a place of the same name lies within this many metres. */
constexpr double same_place_metres = 10.0;

/* How an import treats the places it reads. */
struct ImportSettings
{
  Duplicates duplicates = Duplicates::skip;
  bool by_name = false;           /* same name nearby: the same place */
  const char *category = nullptr; /* every place added or updated joins it */
};

/* What an import stored. */
struct ImportResult
{
  guint places = 0;       /* added */
  guint skipped = 0;      /* already stored: left as they were */
  guint updated = 0;      /* already stored: written as the file has them */
  guint dropped = 0;      /* optional values that could not be read, left out */
  guint waypoints = 0;    /* of routes and tracks */
  gint64 first_place = 0; /* the rowids of the places added: first_place..last_place */
  gint64 last_place = 0;
  GPtrArray *categories = g_ptr_array_new_with_free_func (g_free); /* ids of those added */
  GPtrArray *joined = g_ptr_array_new_with_free_func (g_free);     /* ids of those given members */
  GPtrArray *routes = g_ptr_array_new_with_free_func (g_free);     /* ids of those added */
  GPtrArray *added_ids = g_ptr_array_new_with_free_func (g_free);  /* of places, in the file's order */
  GPtrArray *updated_ids = g_ptr_array_new_with_free_func (g_free);
  GPtrArray *skipped_ids = g_ptr_array_new_with_free_func (g_free);

  ImportResult () = default;
  ImportResult (const ImportResult &) = delete;
  ImportResult &operator= (const ImportResult &) = delete;
  ~ImportResult ();
};

class Importer
{
public:
  Importer (const char *database, GCancellable *cancellable, ImportProgressFunc progress, gpointer progress_data) noexcept;
  ~Importer ();
  Importer (const Importer &) = delete;
  Importer &operator= (const Importer &) = delete;

  /* Opens the connection and the transaction. */
  bool begin (GError **error) noexcept;
  /* Finishes what waits for the end (memberships by name, the places of
   * routes) and commits. */
  bool commit (GError **error) noexcept;

  /* Before begin (); the settings are copied. */
  void configure (const ImportSettings &settings) noexcept;

  /* Every route and track of the file holds every place of the file. */
  void
  set_routes_hold_places (bool hold) noexcept
  {
    routes_hold_places_ = hold;
  }

  /* A place with its address (nullable) and links (of LodexPlaceLink; their
   * ids are made here). A row without an id gets a new one; a place stored
   * already is skipped, updated or added anew as the settings say, and
   * *@added tells whether it was added (row->id is then its id). The
   * position is checked. */
  bool add_place (LodexPlaceRow *row, LodexPlaceAddress *address, GList *links, bool *added, GError **error) noexcept;

  /* A category of that name, unless the database has one. */
  bool add_category (const char *name, const char *description, GError **error) noexcept;
  /* The place joins the category of that name, made now (with
   * @description) when there is none. */
  bool join_category (const char *place_id, const char *name, const char *description, GError **error) noexcept;
  /* The same, once the file is read, and only when a category of that
   * name exists by then. */
  bool join_category_later (const char *place_id, const char *name, GError **error) noexcept;
  /* Application data of a place just added. */
  bool set_appdata (const char *place_id, const char *key, const char *data, GError **error) noexcept;

  /* A route and its waypoints, in order; the route's row is written at
   * its end, with the texts read by then (@type "track" for a track). */
  bool begin_route (GError **error) noexcept;
  bool add_waypoint (LodexWaypointRow *row, bool has_altitude, GError **error) noexcept;
  bool end_route (const char *name, const char *comment, const char *description, const char *type, GError **error) noexcept;

  /* The reader's position in the file; calls the progress function now
   * and then. */
  void read (goffset done, goffset total) noexcept;
  /* FALSE with G_IO_ERROR_CANCELLED once the import is cancelled. */
  bool go_on (GError **error) noexcept;

  void
  count_dropped (guint n) noexcept
  {
    result_.dropped += n;
  }

  ImportResult &
  result () noexcept
  {
    return result_;
  }

private:
  bool failed (GError **error, const char *format, ...) noexcept G_GNUC_PRINTF (3, 4);
  bool temp_table (const char *sql, GError **error) noexcept;
  gchar *category_id (const char *name) noexcept;
  bool joined (const char *category_id) noexcept;
  gchar *stored_place (LodexPlaceRow *row, GError **error) noexcept;
  bool mark_present (const char *place_id, GError **error) noexcept;
  bool write_attachments (LodexPlaceRow *row, LodexPlaceAddress *address, GList *links, GError **error) noexcept;
  bool update_place (LodexPlaceRow *row, LodexPlaceAddress *address, GList *links, GError **error) noexcept;
  bool join_chosen_category (const char *place_id, GError **error) noexcept;

  gchar *database_;
  GCancellable *cancellable_;
  ImportProgressFunc progress_;
  gpointer progress_data_;
  sqlite3 *db_ = nullptr;
  bool open_ = false;
  bool routes_hold_places_ = false;
  ImportSettings settings_;
  gchar *category_ = nullptr;                                       /* settings_.category's copy */
  gchar *chosen_category_id_ = nullptr;                             /* its id, once made */
  gint64 before_ = 0;                                               /* the largest place rowid when the import began */
  gchar *route_id_ = nullptr;                                       /* of the route being read */
  guint position_ = 0;                                              /* of its next waypoint */
  GHashTable *joined_ = g_hash_table_new (g_str_hash, g_str_equal); /* the ids in result_.joined */
  guint64 reported_places_ = 0;
  goffset reported_bytes_ = 0;
  ImportResult result_;
};

/* The file readers: each reads @filename into @importer. */
bool import_gpx (Importer &importer, const char *filename, GError **error) noexcept;
bool import_lmx (Importer &importer, const char *filename, GError **error) noexcept;
bool import_geojson (Importer &importer, const char *filename, GError **error) noexcept;

/* lodex-import-result.cpp: the public result, taking the ids of @result. */
LodexImportResult *import_result_new (ImportResult &result) noexcept;

/* lodex-store-files.cpp: imports a file into @store, as LMX when @lmx,
 * and announces what it stored. */
gboolean import_file (LodexStore *store, const char *filename, bool lmx, GCancellable *cancellable, ImportProgressFunc progress, gpointer progress_data, GError **error) noexcept;
/* The same, with the reader of another format. */
using FileReader = bool (*) (Importer &importer, const char *filename, GError **error) noexcept;
gboolean import_file (LodexStore *store, const char *filename, FileReader reader, GCancellable *cancellable, ImportProgressFunc progress, gpointer progress_data, GError **error) noexcept;

} // namespace lodex
