/* LodexStore: the database connection, the registries of live objects, the
 * operations on places and the reaction to change broadcasts. */

#include "lodex-private.h"
#include "lodex-config.h"

#include <gmodule.h>
#include <cstring>
#include <ctime>
#include <unistd.h>

struct LodexStorePrivate
{
  sqlite3 *db;
  sqlite3_stmt *statement; /* the store's own walk as a set */
  GHashTable *places;      /* id -> live object, each with our toggle ref */
  GHashTable *categories;
  GHashTable *images;
  GHashTable *routes;
  LodexTracker *tracker;
  guint batch_depth;
};

static void lodex_store_set_init (LodexSetInterface *iface);

G_DEFINE_TYPE_WITH_CODE (LodexStore, lodex_store, G_TYPE_OBJECT, G_ADD_PRIVATE (LodexStore) G_IMPLEMENT_INTERFACE (LODEX_TYPE_SET, lodex_store_set_init))

enum
{
  CATEGORY_ADDED,
  CATEGORY_REMOVED,
  CATEGORY_UPDATED,
  IMAGE_ADDED,
  IMAGE_REMOVED,
  IMAGE_UPDATED,
  PLACE_ADDED,
  PLACE_REMOVED,
  PLACE_UPDATED,
  ROUTE_ADDED,
  ROUTE_REMOVED,
  ROUTE_UPDATED,
  N_SIGNALS
};

static guint signals[N_SIGNALS];

static LodexStorePrivate *
get_priv (LodexStore *self)
{
  return static_cast<LodexStorePrivate *> (lodex_store_get_instance_private (self));
}

/* Registries. The store holds one toggle reference per live object, so an
 * object leaves its registry as soon as nobody else holds it. */

namespace
{

using Table = GHashTable *LodexStorePrivate::*;
using CurrentId = const gchar *(*) (GObject *object);

const gchar *
place_current_id (GObject *object)
{
  return _lodex_place_get_row (LODEX_PLACE (object))->id;
}

template <Table table, CurrentId current_id>
void
toggle_notify (gpointer data, GObject *object, gboolean is_last_ref)
{
  if (!is_last_ref)
    return;

  GHashTable *registry = get_priv (LODEX_STORE (data))->*table;
  const gchar *id = current_id (object);
  if (id && g_hash_table_lookup (registry, id) == object)
    g_hash_table_remove (registry, id);
  else /* the id changed under us: find the entry by its object */
    g_hash_table_foreach_remove (
      registry, [] (gpointer, gpointer value, gpointer user_data) -> gboolean { return value == user_data; },
      object);
  /* may finalize the object, and with its store reference the store */
  g_object_remove_toggle_ref (object, toggle_notify<table, current_id>, data);
}

template <Table table, CurrentId current_id>
void
registry_add (LodexStore *store, GObject *object)
{
  g_object_add_toggle_ref (object, toggle_notify<table, current_id>, store);
  g_hash_table_insert (get_priv (store)->*table, g_strdup (current_id (object)), object);
}

template <Table table, CurrentId current_id>
void
registry_remove (LodexStore *store, GObject *object)
{
  GHashTable *registry = get_priv (store)->*table;
  const gchar *id = current_id (object);

  /* only our own entry: the same id may be another store's object */
  if (!id || g_hash_table_lookup (registry, id) != object)
    {
      g_warning ("Entry not found in table");
      return;
    }
  g_hash_table_remove (registry, id);
  g_object_remove_toggle_ref (object, toggle_notify<table, current_id>, store);
}

GObject *
registry_lookup (GHashTable *registry, const gchar *id)
{
  gpointer object = g_hash_table_lookup (registry, id);
  return object ? G_OBJECT (g_object_ref (object)) : nullptr;
}

constexpr auto add_place_entry = registry_add<&LodexStorePrivate::places, place_current_id>;
constexpr auto remove_place_entry = registry_remove<&LodexStorePrivate::places, place_current_id>;

/* Wraps a row read from the database as a live place of @store. */
LodexPlace *
adopt_place_row (LodexStore *store, LodexPlaceRow *row)
{
  LodexPlace *place = _lodex_place_new_with_row (row);
  _lodex_place_set_store (place, store);
  add_place_entry (store, G_OBJECT (place));
  return place;
}

/* Categories and images (and routes) follow one pattern; what differs per
 * kind is gathered here. */
template <typename T>
struct Family;

template <>
struct Family<LodexCategory>
{
  static constexpr Table table = &LodexStorePrivate::categories;
  static gchar *&
  id (LodexCategory *c)
  {
    return _lodex_category_get_row (c)->id;
  }
  static LodexStore *
  store (LodexCategory *c)
  {
    return _lodex_category_get_store (c);
  }
  static void
  bind (LodexCategory *c, LodexStore *s)
  {
    _lodex_category_set_store (c, s);
  }
  static LodexCategory *
  load (sqlite3 *db, const gchar *id)
  {
    LodexCategoryRow *row = lodex_db_get_category_row_by_id (db, id);
    return row ? _lodex_category_new_with_row (row) : nullptr;
  }
  static bool
  reload (sqlite3 *db, LodexCategory *c)
  {
    LodexCategoryRow *row = lodex_db_get_category_row_by_id (db, id (c));
    if (row)
      _lodex_category_set_row (c, row);
    return row;
  }
  static constexpr auto insert = lodex_db_insert_category;
  static constexpr auto remove = lodex_db_delete_category;
  static constexpr auto announce_added = lodex_tracker_signal_category_added;
  static constexpr auto announce_removed = lodex_tracker_signal_category_removed;
  static constexpr const char *already = "Category already associated with database.";
  static constexpr const char *not_associated = "Category not associated with database.";
  static constexpr const char *not_found = "Problem getting category row from database";
};

template <>
struct Family<LodexImage>
{
  static constexpr Table table = &LodexStorePrivate::images;
  static gchar *&
  id (LodexImage *i)
  {
    return _lodex_image_get_row (i)->id;
  }
  static LodexStore *
  store (LodexImage *i)
  {
    return _lodex_image_get_store (i);
  }
  static void
  bind (LodexImage *i, LodexStore *s)
  {
    _lodex_image_set_store (i, s);
  }
  static LodexImage *
  load (sqlite3 *db, const gchar *id)
  {
    LodexImageRow *row = lodex_db_get_image_row_by_id (db, id);
    return row ? _lodex_image_new_with_row (row) : nullptr;
  }
  static bool
  reload (sqlite3 *db, LodexImage *i)
  {
    LodexImageRow *row = lodex_db_get_image_row_by_id (db, id (i));
    if (row)
      _lodex_image_set_row (i, row);
    return row;
  }
  static constexpr auto insert = lodex_db_insert_image;
  static constexpr auto remove = lodex_db_delete_image;
  static constexpr auto announce_added = lodex_tracker_signal_image_added;
  static constexpr auto announce_removed = lodex_tracker_signal_image_removed;
  static constexpr const char *already = "Image already associated with database";
  static constexpr const char *not_associated = "Image not associated with database.";
  static constexpr const char *not_found = "Problem getting image row from database";
};

template <>
struct Family<LodexRoute>
{
  static constexpr Table table = &LodexStorePrivate::routes;
  static gchar *&
  id (LodexRoute *r)
  {
    return _lodex_route_get_row (r)->id;
  }
  static LodexStore *
  store (LodexRoute *r)
  {
    return _lodex_route_get_store (r);
  }
  static void
  bind (LodexRoute *r, LodexStore *s)
  {
    _lodex_route_set_store (r, s);
  }
  static LodexRoute *
  load (sqlite3 *db, const gchar *id)
  {
    return lodex_db_get_route_by_id (db, id);
  }
  static constexpr auto insert = lodex_db_insert_route;
  static constexpr auto remove = lodex_db_delete_route;
  static constexpr auto announce_added = lodex_tracker_signal_route_added;
  static constexpr auto announce_removed = lodex_tracker_signal_route_removed;
  static constexpr const char *already = "Route already associated with database";
  static constexpr const char *not_associated = "Route not associated with database.";
  static constexpr const char *not_found = "Problem getting route from database";
};

template <typename T>
const gchar *
family_current_id (GObject *object)
{
  return Family<T>::id (reinterpret_cast<T *> (object));
}

template <typename T>
void
add_entry (LodexStore *store, T *object)
{
  registry_add<Family<T>::table, family_current_id<T>> (store, G_OBJECT (object));
}

template <typename T>
void
remove_entry (LodexStore *store, T *object)
{
  registry_remove<Family<T>::table, family_current_id<T>> (store, G_OBJECT (object));
}

template <typename T>
T *
lookup_entry (LodexStore *store, const gchar *id)
{
  return reinterpret_cast<T *> (registry_lookup (get_priv (store)->*Family<T>::table, id));
}

/* Gives @object a new id and stores it; a failed insert leaves it new. */
template <typename T>
gboolean
add_object (LodexStore *store, T *object)
{
  using F = Family<T>;
  gchar *&id = F::id (object);
  if (id)
    {
      g_warning ("%s", F::already);
      return FALSE;
    }

  lodex::Hold hold (store);
  LodexStorePrivate *priv = get_priv (store);
  id = _lodex_store_gen_id (store);
  if (!F::insert (priv->db, object))
    {
      g_clear_pointer (&id, g_free);
      return FALSE;
    }
  F::bind (object, store);
  add_entry (store, object);
  g_signal_emit_by_name (object, "added", store);
  F::announce_added (priv->tracker, id);
  return TRUE;
}

/* The live object for @id, or one built from its row. */
template <typename T>
T *
get_object (LodexStore *store, const gchar *id)
{
  using F = Family<T>;
  if (T *live = lookup_entry<T> (store, id))
    return live;

  T *object = F::load (get_priv (store)->db, id);
  if (!object)
    {
      g_warning ("%s", F::not_found);
      return nullptr;
    }
  F::bind (object, store);
  add_entry (store, object);
  return object;
}

/* Deletes @object's row; nothing else happens unless that succeeded. */
template <typename T>
gboolean
remove_object (LodexStore *store, T *object, bool clear_id = true)
{
  using F = Family<T>;
  gchar *&id = F::id (object);
  if (!id || F::store (object) != store)
    {
      g_warning ("%s", F::not_associated);
      return FALSE;
    }

  lodex::Hold hold (store);
  LodexStorePrivate *priv = get_priv (store);
  if (!F::remove (priv->db, object))
    return FALSE;
  remove_entry (store, object);
  F::bind (object, nullptr);
  g_signal_emit_by_name (object, "removed", store);
  F::announce_removed (priv->tracker, id);
  if (clear_id)
    g_clear_pointer (&id, g_free);
  return TRUE;
}

/* Every object whose id the statement's @column yields, in row order. */
template <typename T>
GList *
list_objects (LodexStore *store, lodex::Stmt statement, gchar *(*next_id) (sqlite3 *, sqlite3_stmt *) )
{
  sqlite3 *db = get_priv (store)->db;
  GList *objects = nullptr;
  /* the iterator finalizes the statement when it returns NULL */
  while (gchar *id = next_id (db, statement.get ()))
    {
      /* a membership whose object is gone is skipped, never a NULL element */
      if (T *object = get_object<T> (store, id))
        objects = g_list_prepend (objects, object);
      g_free (id);
    }
  statement.release ();
  return g_list_reverse (objects);
}

lodex::Stmt
prepare_listing (sqlite3 *db, const char *query)
{
  sqlite3_stmt *statement = nullptr;
  if (sqlite3_prepare_v2 (db, query, -1, &statement, nullptr) != SQLITE_OK)
    {
      g_warning ("Error whilst preparing statement: %s", sqlite3_errmsg (db));
      sqlite3_finalize (statement);
      return nullptr;
    }
  return lodex::Stmt (statement);
}

} // namespace

void
_lodex_store_add_to_table (LodexStore *store, LodexPlace *place)
{
  g_return_if_fail (place != NULL);
  add_place_entry (store, G_OBJECT (place));
}

void
_lodex_store_remove_from_table (LodexStore *store, LodexPlace *place)
{
  g_return_if_fail (place != NULL);
  remove_place_entry (store, G_OBJECT (place));
}

LodexPlace *
_lodex_store_query_table (LodexStore *store, const gchar *id)
{
  g_return_val_if_fail (store != NULL, NULL);
  g_return_val_if_fail (LODEX_IS_STORE (store), NULL);
  return LODEX_PLACE (registry_lookup (get_priv (store)->places, id));
}

/* A walk's statement selects the places columns first; building the place
 * from the row at hand spares a second query per place. */
LodexPlace *
_lodex_store_get_place_for_statement (LodexStore *store, sqlite3_stmt *statement)
{
  const char *id = reinterpret_cast<const char *> (sqlite3_column_text (statement, 0));
  if (!id)
    return nullptr;

  if (LodexPlace *live = _lodex_store_query_table (store, id))
    return live;
  if (sqlite3_column_count (statement) >= 13 && g_str_equal (sqlite3_column_name (statement, 1), "latitude")
      && g_str_equal (sqlite3_column_name (statement, 12), "ctime"))
    return adopt_place_row (store, _lodex_db_place_row_from_statement (statement));
  return lodex_store_get_place_by_id (store, id);
}

/**
 * _lodex_store_gen_id:
 *
 * Returns: (transfer full): a new id, unique for the user's database:
 *   process id, parent process id, a process-wide counter and the time
 */
gchar *
_lodex_store_gen_id (LodexStore *store)
{
  static unsigned counter; /* wraps instead of overflowing */
  return g_strdup_printf ("%d.%d.%d@%d", int (getpid ()), int (getppid ()), int (counter++),
                          int (time (nullptr)));
}

gboolean
_lodex_update_property_string (gchar **property_location, const GValue *value)
{
  g_assert (property_location != NULL && value != NULL);

  const gchar *text = g_value_get_string (value);
  if (text == *property_location)
    return FALSE;
  if (text && *property_location && g_str_equal (text, *property_location))
    return FALSE;
  g_free (*property_location);
  *property_location = g_strdup (text);
  return TRUE;
}

/* Construction and destruction */

/**
 * lodex_store_get_system:
 *
 * Opens the user's place database, creating it when needed. Every call makes
 * a new store with its own connection; an application keeps one.
 *
 * Returns: (transfer full) (nullable): the store, or %NULL when the database
 *   cannot be opened
 */
LodexStore *
lodex_store_get_system (void)
{
  g_autofree gchar *path = g_build_filename (g_get_home_dir (), ".lodex.db", nullptr);
  return _lodex_store_get_from_file (path, LODEX_SCHEMA_FILE);
}

LodexStore *
_lodex_store_get_from_file (const gchar *filename, const gchar *schema_filename)
{
  g_return_val_if_fail (filename != NULL, NULL);

  sqlite3 *db = lodex_db_open (filename);
  if (!db)
    return nullptr;
  if (schema_filename && !lodex_db_create_tables (db, schema_filename))
    g_warning ("Creating database tables failed");

  LodexStore *store = LODEX_STORE (g_object_new (LODEX_TYPE_STORE, nullptr));
  get_priv (store)->db = db;
  return store;
}

static void place_updated_cb (LodexTracker *tracker, const gchar *id, LodexStore *store);
static void place_added_cb (LodexTracker *tracker, const gchar *id, LodexStore *store);
static void place_removed_cb (LodexTracker *tracker, const gchar *id, LodexStore *store);
static void store_updated_cb (LodexTracker *tracker, LodexStore *store);
static void route_updated_cb (LodexTracker *tracker, const gchar *id, LodexStore *store);
static void route_waypoints_cb (LodexTracker *tracker, const gchar *id, LodexStore *store);
template <typename T, guint Signal>
static void object_added_cb (LodexTracker *tracker, const gchar *id, LodexStore *store);
template <typename T, guint Signal>
static void object_removed_cb (LodexTracker *tracker, const gchar *id, LodexStore *store);
template <typename T, guint Signal>
static void object_updated_cb (LodexTracker *tracker, const gchar *id, LodexStore *store);

static void
lodex_store_init (LodexStore *self)
{
  LodexStorePrivate *priv = get_priv (self);

  priv->places = g_hash_table_new_full (g_str_hash, g_str_equal, g_free, nullptr);
  priv->categories = g_hash_table_new_full (g_str_hash, g_str_equal, g_free, nullptr);
  priv->images = g_hash_table_new_full (g_str_hash, g_str_equal, g_free, nullptr);
  priv->routes = g_hash_table_new_full (g_str_hash, g_str_equal, g_free, nullptr);

  priv->tracker = lodex_tracker_new ();
  g_signal_connect (priv->tracker, "place-updated", G_CALLBACK (place_updated_cb), self);
  g_signal_connect (priv->tracker, "place-added", G_CALLBACK (place_added_cb), self);
  g_signal_connect (priv->tracker, "place-removed", G_CALLBACK (place_removed_cb), self);
  g_signal_connect (priv->tracker, "store-updated", G_CALLBACK (store_updated_cb), self);
  g_signal_connect (priv->tracker, "category-added", G_CALLBACK ((object_added_cb<LodexCategory, CATEGORY_ADDED>) ), self);
  g_signal_connect (priv->tracker, "category-removed",
                    G_CALLBACK ((object_removed_cb<LodexCategory, CATEGORY_REMOVED>) ), self);
  g_signal_connect (priv->tracker, "category-updated",
                    G_CALLBACK ((object_updated_cb<LodexCategory, CATEGORY_UPDATED>) ), self);
  g_signal_connect (priv->tracker, "image-added", G_CALLBACK ((object_added_cb<LodexImage, IMAGE_ADDED>) ), self);
  g_signal_connect (priv->tracker, "image-removed", G_CALLBACK ((object_removed_cb<LodexImage, IMAGE_REMOVED>) ), self);
  g_signal_connect (priv->tracker, "image-updated", G_CALLBACK ((object_updated_cb<LodexImage, IMAGE_UPDATED>) ), self);
  g_signal_connect (priv->tracker, "route-added", G_CALLBACK ((object_added_cb<LodexRoute, ROUTE_ADDED>) ), self);
  g_signal_connect (priv->tracker, "route-removed", G_CALLBACK ((object_removed_cb<LodexRoute, ROUTE_REMOVED>) ), self);
  g_signal_connect (priv->tracker, "route-updated", G_CALLBACK (route_updated_cb), self);
  g_signal_connect (priv->tracker, "route-waypoints", G_CALLBACK (route_waypoints_cb), self);
}

static void
lodex_store_dispose (GObject *object)
{
  LodexStorePrivate *priv = get_priv (LODEX_STORE (object));

  if (priv->tracker)
    {
      g_signal_handlers_disconnect_by_data (priv->tracker, object);
      g_clear_object (&priv->tracker);
    }

  G_OBJECT_CLASS (lodex_store_parent_class)->dispose (object);
}

static void
lodex_store_finalize (GObject *object)
{
  LodexStorePrivate *priv = get_priv (LODEX_STORE (object));

  g_clear_pointer (&priv->statement, sqlite3_finalize);
  if (lodex_db_close (priv->db) != SQLITE_OK)
    g_warning ("Error closing database: %s", sqlite3_errmsg (priv->db));
  g_hash_table_destroy (priv->places);
  g_hash_table_destroy (priv->categories);
  g_hash_table_destroy (priv->images);
  g_hash_table_destroy (priv->routes);

  G_OBJECT_CLASS (lodex_store_parent_class)->finalize (object);
}

static void
lodex_store_class_init (LodexStoreClass *klass)
{
  GObjectClass *object_class = G_OBJECT_CLASS (klass);
  object_class->dispose = lodex_store_dispose;
  object_class->finalize = lodex_store_finalize;

  struct
  {
    const char *name;
    glong offset;
  } const table[N_SIGNALS] = {
    {"category-added", G_STRUCT_OFFSET (LodexStoreClass, category_added)},
    {"category-removed", G_STRUCT_OFFSET (LodexStoreClass, category_removed)},
    {"category-updated", G_STRUCT_OFFSET (LodexStoreClass, category_updated)},
    {"image-added", G_STRUCT_OFFSET (LodexStoreClass, image_added)},
    {"image-removed", G_STRUCT_OFFSET (LodexStoreClass, image_removed)},
    {"image-updated", G_STRUCT_OFFSET (LodexStoreClass, image_updated)},
    {"place-added", G_STRUCT_OFFSET (LodexStoreClass, place_added)},
    {"place-removed", G_STRUCT_OFFSET (LodexStoreClass, place_removed)},
    {"place-updated", G_STRUCT_OFFSET (LodexStoreClass, place_updated)},
    {"route-added", G_STRUCT_OFFSET (LodexStoreClass, route_added)},
    {"route-removed", G_STRUCT_OFFSET (LodexStoreClass, route_removed)},
    {"route-updated", G_STRUCT_OFFSET (LodexStoreClass, route_updated)},
  };
  for (int i = 0; i < N_SIGNALS; i++)
    signals[i] = g_signal_new (table[i].name, G_TYPE_FROM_CLASS (klass), G_SIGNAL_RUN_LAST,
                               table[i].offset, nullptr, nullptr, g_cclosure_marshal_VOID__STRING,
                               G_TYPE_NONE, 1, G_TYPE_STRING);
}

/* The store as a set: all places, in the order SQLite returns them. */

static LodexPlace *
lodex_store_set_first (LodexSet *set)
{
  g_return_val_if_fail (LODEX_IS_STORE (set), NULL);
  return _lodex_set_walk_first (set, &get_priv (LODEX_STORE (set))->statement);
}

static LodexPlace *
lodex_store_set_next (LodexSet *set)
{
  g_return_val_if_fail (LODEX_IS_STORE (set), NULL);
  LodexStorePrivate *priv = get_priv (LODEX_STORE (set));
  g_return_val_if_fail (priv->statement != NULL, NULL);
  return _lodex_set_walk_next (set, &priv->statement);
}

static LodexStore *
_lodex_store_set_get_store (LodexSet *set)
{
  g_return_val_if_fail (LODEX_IS_STORE (set), NULL);
  return LODEX_STORE (g_object_ref (set));
}

static sqlite3 *
_lodex_store_set_get_db (LodexSet *set)
{
  g_return_val_if_fail (LODEX_IS_STORE (set), NULL);
  return get_priv (LODEX_STORE (set))->db;
}

static const gchar *
_lodex_store_set_get_query (LodexSet *set)
{
  g_return_val_if_fail (LODEX_IS_STORE (set), NULL);
  return "SELECT * from places";
}

static gboolean
_lodex_store_set_bind (LodexSet *set, sqlite3_stmt *statement)
{
  return TRUE;
}

static void
lodex_store_set_init (LodexSetInterface *iface)
{
  iface->first = lodex_store_set_first;
  iface->next = lodex_store_set_next;
  iface->get_store = _lodex_store_set_get_store;
  iface->get_db = _lodex_store_set_get_db;
  iface->get_query = _lodex_store_set_get_query;
  iface->bind = _lodex_store_set_bind;
}

/* Operations on places */

/* An operation on a place of another store would corrupt both registries. */
static bool
belongs_here (LodexStore *store, LodexPlace *place)
{
  return _lodex_place_get_store (place) == store;
}

/* Steps common to adding and importing once the row is in: bind, register,
 * write what the detached place collected, and tell. */
static void
attach_new_place (LodexStore *store, LodexPlace *place)
{
  LodexPlaceRow *row = _lodex_place_get_row (place);

  /* the insert wrote every property: committing them again would only
   * announce a change that is not one */
  lodex_place_commit (place);
  _lodex_place_set_store (place, store);
  add_place_entry (store, G_OBJECT (place));

  if (LodexPlaceAddress *address = _lodex_place_peek_address (place))
    _lodex_store_place_set_address (store, place, address);
  for (GList *l = _lodex_place_get_links (place); l; l = l->next)
    {
      auto link = static_cast<LodexPlaceLink *> (l->data);
      g_free (link->place_id);
      link->place_id = g_strdup (row->id);
      _lodex_store_add_place_link (store, link);
    }

  g_signal_emit_by_name (place, "added", store);
  lodex_tracker_signal_store_updated (get_priv (store)->tracker);
}

/**
 * lodex_store_add_place:
 * @store: a #LodexStore
 * @place: a place that is in no store
 *
 * Gives @place a new id and stores it with its address and links.
 *
 * Returns: whether the place was stored; on failure it is left as it was
 */
gboolean
lodex_store_add_place (LodexStore *store, LodexPlace *place)
{
  g_return_val_if_fail (store != NULL, FALSE);
  g_return_val_if_fail (place != NULL, FALSE);
  g_return_val_if_fail (LODEX_IS_STORE (store), FALSE);
  g_return_val_if_fail (LODEX_IS_PLACE (place), FALSE);

  LodexPlaceRow *row = _lodex_place_get_row (place);
  if (row->id || _lodex_place_get_store (place))
    {
      g_warning ("Place is already associated with the database");
      return FALSE;
    }

  lodex::Hold hold (store);
  row->id = _lodex_store_gen_id (store);
  if (!lodex_db_insert_place (get_priv (store)->db, place))
    {
      g_clear_pointer (&row->id, g_free); /* still new: it may be added again */
      return FALSE;
    }
  attach_new_place (store, place);
  lodex_tracker_signal_place_added (get_priv (store)->tracker, row->id);
  return TRUE;
}

gboolean
_lodex_store_import_place (LodexStore *store, LodexPlace *place)
{
  g_return_val_if_fail (store != NULL, FALSE);
  g_return_val_if_fail (place != NULL, FALSE);
  g_return_val_if_fail (LODEX_IS_STORE (store), FALSE);
  g_return_val_if_fail (LODEX_IS_PLACE (place), FALSE);

  LodexPlaceRow *row = _lodex_place_get_row (place);
  g_autoptr (LodexPlace) present = lodex_store_get_place_by_id (store, row->id);
  if (present)
    {
      g_debug ("Place already present in store.");
      return FALSE;
    }
  if (!row->id)
    return FALSE;
  if (_lodex_place_get_store (place))
    {
      g_warning ("Place is already associated with the database");
      return FALSE;
    }

  lodex::Hold hold (store);
  if (!lodex_db_insert_place (get_priv (store)->db, place))
    return FALSE;
  attach_new_place (store, place);
  lodex_tracker_signal_place_added (get_priv (store)->tracker, row->id);
  return TRUE;
}

/**
 * lodex_store_get_place_by_id:
 * @store: a #LodexStore
 * @id: a place id
 *
 * While a place is in use, every call with its id gives the same object.
 *
 * Returns: (transfer full) (nullable): the place, or %NULL if there is none
 */
LodexPlace *
lodex_store_get_place_by_id (LodexStore *store, const gchar *id)
{
  g_return_val_if_fail (store != NULL, NULL);
  g_return_val_if_fail (id != NULL, NULL);
  g_return_val_if_fail (LODEX_IS_STORE (store), NULL);

  if (LodexPlace *live = _lodex_store_query_table (store, id))
    return live;

  LodexPlaceRow *row = lodex_db_get_row_by_id (get_priv (store)->db, id);
  if (!row)
    return nullptr;
  return adopt_place_row (store, row);
}

/**
 * lodex_store_remove_place:
 * @store: a #LodexStore
 * @place: a place of @store
 *
 * Deletes the place with its address, links, app data and memberships. The
 * object keeps its values and links and may be added again under a new id.
 *
 * Returns: whether the place was removed
 */
gboolean
lodex_store_remove_place (LodexStore *store, LodexPlace *place)
{
  g_return_val_if_fail (store != NULL, FALSE);
  g_return_val_if_fail (place != NULL, FALSE);
  g_return_val_if_fail (LODEX_IS_STORE (store), FALSE);
  g_return_val_if_fail (LODEX_IS_PLACE (place), FALSE);

  LodexPlaceRow *row = _lodex_place_get_row (place);
  if (!row->id || !belongs_here (store, place))
    {
      g_warning ("Place is not associated with the database");
      return FALSE;
    }

  lodex::Hold hold (store);
  LodexStorePrivate *priv = get_priv (store);
  _lodex_place_update_links (place); /* the object keeps its links */
  if (!lodex_db_delete_place (priv->db, place))
    return FALSE;

  remove_place_entry (store, G_OBJECT (place));
  _lodex_place_set_store (place, nullptr);
  g_autofree gchar *id = static_cast<gchar *> (g_steal_pointer (&row->id));
  g_signal_emit_by_name (place, "removed", store);
  lodex_tracker_signal_store_updated (priv->tracker);
  lodex_tracker_signal_place_removed (priv->tracker, id);
  return TRUE;
}

void
_lodex_store_update (LodexStore *store, LodexPlace *place)
{
  g_return_if_fail (store != NULL);
  g_return_if_fail (place != NULL);
  g_return_if_fail (LODEX_IS_STORE (store));
  g_return_if_fail (LODEX_IS_PLACE (place));

  if (!belongs_here (store, place))
    {
      g_warning ("Place is not associated with the database");
      return;
    }
  LodexStorePrivate *priv = get_priv (store);
  lodex_db_update_place (priv->db, place);
  lodex_tracker_signal_place_updated (priv->tracker, _lodex_place_get_row (place)->id);
}

/* Links */

gboolean
_lodex_store_add_place_link (LodexStore *store, LodexPlaceLink *link)
{
  g_return_val_if_fail (store != NULL, FALSE);
  if (!lodex::check (LODEX_IS_STORE (store), G_STRFUNC, "LODEX_STORE (store)"))
    return FALSE;

  LodexStorePrivate *priv = get_priv (store);
  if (!lodex_db_add_place_link (priv->db, link))
    return FALSE;
  lodex_tracker_signal_place_updated (priv->tracker, link->place_id);
  return TRUE;
}

/* Update and removal share their checks and their announcement. */
static gboolean
change_place_link (LodexStore *store, LodexPlaceLink *link, const char *function, gboolean (*write) (sqlite3 *, LodexPlaceLink *))
{
  if (!lodex::check (store != nullptr, function, "store != NULL")
      || !lodex::check (LODEX_IS_STORE (store), function, "LODEX_STORE (store)"))
    return FALSE;
  if (!link || !link->link_id)
    {
      g_warning ("Link has no id.");
      return FALSE;
    }

  LodexStorePrivate *priv = get_priv (store);
  if (!write (priv->db, link))
    return FALSE;
  lodex_tracker_signal_place_updated (priv->tracker, link->place_id);
  return TRUE;
}

gboolean
_lodex_store_update_place_link (LodexStore *store, LodexPlaceLink *link)
{
  return change_place_link (store, link, G_STRFUNC, lodex_db_update_place_link);
}

gboolean
_lodex_store_remove_place_link (LodexStore *store, LodexPlaceLink *link)
{
  return change_place_link (store, link, G_STRFUNC, lodex_db_remove_place_link);
}

GList *
_lodex_store_get_place_links (LodexStore *store, LodexPlace *place)
{
  g_return_val_if_fail (store != NULL, NULL);
  g_return_val_if_fail (LODEX_IS_STORE (store), NULL);
  g_return_val_if_fail (place != NULL, NULL);
  g_return_val_if_fail (LODEX_IS_PLACE (place), NULL);

  const gchar *id = _lodex_place_get_row (place)->id;
  if (!id)
    return nullptr;
  return lodex_db_get_place_links (get_priv (store)->db, id);
}

/* Address and app data */

/* The place's id when it is stored in @store, else NULL after @message. */
static const gchar *
stored_id (LodexStore *store, LodexPlace *place, const char *message)
{
  const gchar *id = _lodex_place_get_row (place)->id;
  if (!id || !belongs_here (store, place))
    {
      g_warning ("%s", message);
      return nullptr;
    }
  return id;
}

static constexpr char must_be_associated[] = "Place must be associated with the database";

LodexPlaceAddress *
_lodex_store_place_get_address (LodexStore *store, LodexPlace *place)
{
  g_return_val_if_fail (store != NULL, NULL);
  g_return_val_if_fail (LODEX_IS_STORE (store), NULL);
  g_return_val_if_fail (place != NULL, NULL);
  g_return_val_if_fail (LODEX_IS_PLACE (place), NULL);

  const gchar *id = stored_id (store, place, must_be_associated);
  if (!id)
    return nullptr;
  return lodex_db_place_address_get (get_priv (store)->db, id);
}

gboolean
_lodex_store_place_set_address (LodexStore *store, LodexPlace *place, LodexPlaceAddress *address)
{
  g_return_val_if_fail (store != NULL, FALSE);
  g_return_val_if_fail (LODEX_IS_STORE (store), FALSE);
  g_return_val_if_fail (place != NULL, FALSE);
  g_return_val_if_fail (LODEX_IS_PLACE (place), FALSE);

  const gchar *id = stored_id (store, place, must_be_associated);
  if (!id)
    return FALSE;
  LodexStorePrivate *priv = get_priv (store);
  if (!lodex_db_place_address_set (priv->db, id, address))
    return FALSE;
  lodex_tracker_signal_place_updated (priv->tracker, id);
  return TRUE;
}

gboolean
_lodex_store_place_clear_address (LodexStore *store, LodexPlace *place)
{
  g_return_val_if_fail (store != NULL, FALSE);
  g_return_val_if_fail (LODEX_IS_STORE (store), FALSE);
  g_return_val_if_fail (place != NULL, FALSE);
  g_return_val_if_fail (LODEX_IS_PLACE (place), FALSE);

  const gchar *id = stored_id (store, place, must_be_associated);
  if (!id)
    return FALSE;
  LodexStorePrivate *priv = get_priv (store);
  if (!lodex_db_place_address_delete (priv->db, id))
    return FALSE;
  lodex_tracker_signal_place_updated (priv->tracker, id);
  return TRUE;
}

gchar *
_lodex_store_place_get_appdata (LodexStore *store, LodexPlace *place, const gchar *key)
{
  g_return_val_if_fail (store != NULL, NULL);
  g_return_val_if_fail (LODEX_IS_STORE (store), NULL);
  g_return_val_if_fail (place != NULL, NULL);
  g_return_val_if_fail (LODEX_IS_PLACE (place), NULL);
  g_return_val_if_fail (key != NULL, NULL);

  const gchar *id = stored_id (store, place, must_be_associated);
  if (!id)
    return nullptr;
  return lodex_db_place_appdata_get (get_priv (store)->db, id, key);
}

gboolean
_lodex_store_place_set_appdata (LodexStore *store, LodexPlace *place, const gchar *key, const gchar *value)
{
  g_return_val_if_fail (store != NULL, FALSE);
  g_return_val_if_fail (LODEX_IS_STORE (store), FALSE);
  g_return_val_if_fail (place != NULL, FALSE);
  g_return_val_if_fail (LODEX_IS_PLACE (place), FALSE);
  g_return_val_if_fail (key != NULL, FALSE);

  if (!value)
    return _lodex_store_place_clear_appdata (store, place, key);

  const gchar *id = stored_id (store, place, "Place must be added to the store before app data can be set");
  if (!id)
    return FALSE;

  LodexStorePrivate *priv = get_priv (store);
  g_autofree gchar *present = _lodex_store_place_get_appdata (store, place, key);
  gboolean written = present ? lodex_db_place_appdata_update (priv->db, id, key, value)
                             : lodex_db_place_appdata_insert (priv->db, id, key, value);
  if (written)
    lodex_tracker_signal_place_updated (priv->tracker, id);
  return written;
}

gboolean
_lodex_store_place_clear_appdata (LodexStore *store, LodexPlace *place, const gchar *key)
{
  g_return_val_if_fail (store != NULL, FALSE);
  g_return_val_if_fail (LODEX_IS_STORE (store), FALSE);
  g_return_val_if_fail (place != NULL, FALSE);
  g_return_val_if_fail (LODEX_IS_PLACE (place), FALSE);

  const gchar *id = stored_id (store, place, must_be_associated);
  if (!id)
    return FALSE;
  LodexStorePrivate *priv = get_priv (store);
  if (!lodex_db_place_appdata_delete (priv->db, id, key))
    return FALSE;
  lodex_tracker_signal_place_updated (priv->tracker, id);
  return TRUE;
}

/* Reaction to change broadcasts, this process's own included. They run from
 * the main loop; each holds the store, since a handler of ours may drop the
 * application's last reference. */

static void
place_added_cb (LodexTracker *tracker, const gchar *id, LodexStore *store)
{
  g_signal_emit (store, signals[PLACE_ADDED], 0, id);
}

static void
place_removed_cb (LodexTracker *tracker, const gchar *id, LodexStore *store)
{
  lodex::Hold hold (store);

  g_signal_emit (store, signals[PLACE_REMOVED], 0, id);
  g_autoptr (LodexPlace) live = _lodex_store_query_table (store, id);
  if (live)
    {
      g_signal_emit_by_name (live, "removed", store);
      remove_place_entry (store, G_OBJECT (live));
    }
}

static void
place_updated_cb (LodexTracker *tracker, const gchar *id, LodexStore *store)
{
  lodex::Hold hold (store);

  g_autoptr (LodexPlace) live = _lodex_store_query_table (store, id);
  if (live)
    {
      /* local edits not yet written are newer than the notice: write them
       * first, or the reload would throw them away */
      if (_lodex_place_is_dirty (live))
        lodex_place_commit (live);

      LodexPlaceRow *row = lodex_db_get_row_by_id (get_priv (store)->db, id);
      if (!row)
        {
          g_warning ("Error retrieving row from the database");
          return;
        }
      _lodex_place_set_row (live, row);
      _lodex_place_set_address (live, _lodex_store_place_get_address (store, live));
      _lodex_place_update_links (live);
      g_signal_emit_by_name (live, "changed");
    }
  g_signal_emit (store, signals[PLACE_UPDATED], 0, id);
}

static void
store_updated_cb (LodexTracker *tracker, LodexStore *store)
{
  _lodex_set_emit_changed (LODEX_SET (store));
}

template <typename T, guint Signal>
static void
object_added_cb (LodexTracker *tracker, const gchar *id, LodexStore *store)
{
  g_signal_emit (store, signals[Signal], 0, id);
}

/* The store's signal first, then the live object's "removed": it keeps its
 * id and values, but the store forgets it. */
template <typename T, guint Signal>
static void
object_removed_cb (LodexTracker *tracker, const gchar *id, LodexStore *store)
{
  lodex::Hold hold (store);
  g_signal_emit (store, signals[Signal], 0, id);
  if (T *live = lookup_entry<T> (store, id))
    {
      g_signal_emit_by_name (live, "removed", store);
      remove_entry (store, live);
      g_object_unref (live);
    }
}

/* A live object reloads and says so first; then the store tells. */
template <typename T, guint Signal>
static void
object_updated_cb (LodexTracker *tracker, const gchar *id, LodexStore *store)
{
  lodex::Hold hold (store);
  if (T *live = lookup_entry<T> (store, id))
    {
      bool reloaded = Family<T>::reload (get_priv (store)->db, live);
      if (reloaded)
        g_signal_emit_by_name (live, "changed");
      g_object_unref (live);
      if (!reloaded)
        {
          g_warning ("%s", Family<T>::not_found);
          return;
        }
    }
  g_signal_emit (store, signals[Signal], 0, id);
}

/* Categories and images */

/**
 * lodex_store_add_category:
 * @store: a #LodexStore
 * @category: a category in no store
 *
 * Returns: whether the category was stored; on failure it is left as it was
 */
gboolean
lodex_store_add_category (LodexStore *store, LodexCategory *category)
{
  g_return_val_if_fail (store != NULL, FALSE);
  g_return_val_if_fail (category != NULL, FALSE);
  g_return_val_if_fail (LODEX_IS_STORE (store), FALSE);
  g_return_val_if_fail (LODEX_IS_CATEGORY (category), FALSE);
  return add_object (store, category);
}

/**
 * lodex_store_add_image:
 * @store: a #LodexStore
 * @image: an image in no store
 *
 * Returns: whether the image was stored; on failure it is left as it was
 */
gboolean
lodex_store_add_image (LodexStore *store, LodexImage *image)
{
  g_return_val_if_fail (store != NULL, FALSE);
  g_return_val_if_fail (image != NULL, FALSE);
  g_return_val_if_fail (LODEX_IS_STORE (store), FALSE);
  g_return_val_if_fail (LODEX_IS_IMAGE (image), FALSE);
  return add_object (store, image);
}

/**
 * lodex_store_get_category_by_id:
 * @store: a #LodexStore
 * @id: a category id
 *
 * Returns: (transfer full) (nullable): the category; %NULL with a warning
 *   when no category has @id
 */
LodexCategory *
lodex_store_get_category_by_id (LodexStore *store, const gchar *id)
{
  g_return_val_if_fail (store != NULL, NULL);
  g_return_val_if_fail (id != NULL, NULL);
  g_return_val_if_fail (LODEX_IS_STORE (store), NULL);
  return get_object<LodexCategory> (store, id);
}

/**
 * lodex_store_get_image_by_id:
 * @store: a #LodexStore
 * @id: an image id
 *
 * Returns: (transfer full) (nullable): the image; %NULL with a warning when
 *   no image has @id
 */
LodexImage *
lodex_store_get_image_by_id (LodexStore *store, const gchar *id)
{
  g_return_val_if_fail (store != NULL, NULL);
  g_return_val_if_fail (id != NULL, NULL);
  g_return_val_if_fail (LODEX_IS_STORE (store), NULL);
  return get_object<LodexImage> (store, id);
}

/**
 * lodex_store_get_category_by_name:
 * @store: a #LodexStore
 * @name: a category name
 *
 * Returns: (transfer full) (nullable): the first category of that name, or
 *   %NULL
 */
LodexCategory *
lodex_store_get_category_by_name (LodexStore *store, const gchar *name)
{
  g_return_val_if_fail (store != NULL, NULL);
  g_return_val_if_fail (name != NULL, NULL);
  g_return_val_if_fail (LODEX_IS_STORE (store), NULL);

  g_autofree gchar *id = lodex_db_get_category_id_by_name (get_priv (store)->db, name);
  return id ? lodex_store_get_category_by_id (store, id) : nullptr;
}

/**
 * lodex_store_remove_category:
 * @store: a #LodexStore
 * @category: a category of @store
 *
 * Deletes the category and its memberships; the object may be added again.
 *
 * Returns: whether the category was removed
 */
gboolean
lodex_store_remove_category (LodexStore *store, LodexCategory *category)
{
  g_return_val_if_fail (store != NULL, FALSE);
  g_return_val_if_fail (category != NULL, FALSE);
  g_return_val_if_fail (LODEX_IS_STORE (store), FALSE);
  g_return_val_if_fail (LODEX_IS_CATEGORY (category), FALSE);
  return remove_object (store, category);
}

/**
 * lodex_store_remove_image:
 * @store: a #LodexStore
 * @image: an image of @store
 *
 * Deletes the image and detaches it from its places; the object may be
 * added again.
 *
 * Returns: whether the image was removed
 */
gboolean
lodex_store_remove_image (LodexStore *store, LodexImage *image)
{
  g_return_val_if_fail (store != NULL, FALSE);
  g_return_val_if_fail (image != NULL, FALSE);
  g_return_val_if_fail (LODEX_IS_STORE (store), FALSE);
  g_return_val_if_fail (LODEX_IS_IMAGE (image), FALSE);
  return remove_object (store, image);
}

/**
 * lodex_store_categories:
 * @store: a #LodexStore
 *
 * Returns: (transfer full) (element-type LodexCategory): every category
 */
GList *
lodex_store_categories (LodexStore *store)
{
  g_return_val_if_fail (store != NULL, NULL);
  g_return_val_if_fail (LODEX_IS_STORE (store), NULL);

  lodex::Stmt statement = prepare_listing (get_priv (store)->db, "SELECT id from categories");
  return statement ? list_objects<LodexCategory> (store, std::move (statement), lodex_db_get_next_category_id)
                   : nullptr;
}

/**
 * lodex_store_images:
 * @store: a #LodexStore
 *
 * Returns: (transfer full) (element-type LodexImage): every image
 */
GList *
lodex_store_images (LodexStore *store)
{
  g_return_val_if_fail (store != NULL, NULL);
  g_return_val_if_fail (LODEX_IS_STORE (store), NULL);

  lodex::Stmt statement = prepare_listing (get_priv (store)->db, "SELECT id from images");
  return statement ? list_objects<LodexImage> (store, std::move (statement), lodex_db_get_next_image_id) : nullptr;
}

/* The objects that a place's memberships in @query name. */
template <typename T>
static GList *
list_for_place (LodexStore *store, LodexPlace *place, const char *query, gchar *(*next_id) (sqlite3 *, sqlite3_stmt *) )
{
  sqlite3 *db = get_priv (store)->db;
  lodex::Stmt statement = prepare_listing (db, query);
  if (!statement)
    return nullptr;
  const gchar *place_id = _lodex_place_get_row (place)->id;
  int index = sqlite3_bind_parameter_index (statement.get (), ":place_id");
  if (sqlite3_bind_text (statement.get (), index, place_id, -1, SQLITE_TRANSIENT) != SQLITE_OK)
    {
      g_warning ("Problem binding sql statement: %s", sqlite3_errmsg (db));
      return nullptr;
    }
  return list_objects<T> (store, std::move (statement), next_id);
}

GList *
_lodex_store_get_categories_for_place (LodexStore *store, LodexPlace *place)
{
  g_return_val_if_fail (store != NULL, NULL);
  g_return_val_if_fail (place != NULL, NULL);
  g_return_val_if_fail (LODEX_IS_STORE (store), NULL);
  g_return_val_if_fail (LODEX_IS_PLACE (place), NULL);
  return list_for_place<LodexCategory> (store, place, "SELECT * from p2c WHERE place_id=:place_id",
                                        lodex_db_get_next_p2c_category_id);
}

GList *
_lodex_store_get_images_for_place (LodexStore *store, LodexPlace *place)
{
  g_return_val_if_fail (store != NULL, NULL);
  g_return_val_if_fail (place != NULL, NULL);
  g_return_val_if_fail (LODEX_IS_STORE (store), NULL);
  g_return_val_if_fail (LODEX_IS_PLACE (place), NULL);
  return list_for_place<LodexImage> (store, place, "SELECT * from p2i WHERE place_id=:place_id",
                                     lodex_db_get_next_p2i_image_id);
}

void
_lodex_store_update_category (LodexStore *store, LodexCategory *category)
{
  g_return_if_fail (store != NULL);
  g_return_if_fail (category != NULL);
  g_return_if_fail (LODEX_IS_STORE (store));
  g_return_if_fail (LODEX_IS_CATEGORY (category));

  if (_lodex_category_get_store (category) != store)
    {
      g_warning ("%s", Family<LodexCategory>::not_associated);
      return;
    }
  LodexStorePrivate *priv = get_priv (store);
  if (lodex_db_update_category (priv->db, category))
    lodex_tracker_signal_category_updated (priv->tracker, _lodex_category_get_row (category)->id);
}

void
_lodex_store_update_image (LodexStore *store, LodexImage *image)
{
  g_return_if_fail (store != NULL);
  g_return_if_fail (image != NULL);
  g_return_if_fail (LODEX_IS_STORE (store));
  g_return_if_fail (LODEX_IS_IMAGE (image));

  if (_lodex_image_get_store (image) != store)
    {
      g_warning ("%s", Family<LodexImage>::not_associated);
      return;
    }
  LodexStorePrivate *priv = get_priv (store);
  lodex_db_update_image (priv->db, image);
  lodex_tracker_signal_image_updated (priv->tracker, _lodex_image_get_row (image)->id);
}

/* Memberships: one row written or deleted, then announced on the object
 * whose set of members changed. */
static gboolean
write_membership (LodexStore *store, bool written, const char *failure, void (*announce) (LodexTracker *, const gchar *), const gchar *announced_id)
{
  if (!written)
    {
      g_warning ("%s", failure);
      return FALSE;
    }
  announce (get_priv (store)->tracker, announced_id);
  return TRUE;
}

gboolean
_lodex_store_add_place_to_category (LodexStore *store, LodexPlace *place, LodexCategory *category)
{
  g_return_val_if_fail (LODEX_IS_STORE (store), FALSE);
  g_return_val_if_fail (LODEX_IS_PLACE (place), FALSE);
  g_return_val_if_fail (LODEX_IS_CATEGORY (category), FALSE);

  const gchar *category_id = _lodex_category_get_row (category)->id;
  return write_membership (store,
                           lodex_db_add_place_to_category (get_priv (store)->db, _lodex_place_get_row (place)->id,
                                                           category_id),
                           "Unable to add place to category in the database",
                           lodex_tracker_signal_category_updated, category_id);
}

gboolean
_lodex_store_remove_place_from_category (LodexStore *store, LodexPlace *place, LodexCategory *category)
{
  g_return_val_if_fail (LODEX_IS_STORE (store), FALSE);
  g_return_val_if_fail (LODEX_IS_PLACE (place), FALSE);
  g_return_val_if_fail (LODEX_IS_CATEGORY (category), FALSE);

  const gchar *category_id = _lodex_category_get_row (category)->id;
  return write_membership (store,
                           lodex_db_remove_place_from_category (get_priv (store)->db,
                                                                _lodex_place_get_row (place)->id, category_id),
                           "Unable to remove place from category in the database",
                           lodex_tracker_signal_category_updated, category_id);
}

gboolean
_lodex_store_add_image_to_place (LodexStore *store, LodexImage *image, LodexPlace *place)
{
  g_return_val_if_fail (LODEX_IS_STORE (store), FALSE);
  g_return_val_if_fail (LODEX_IS_IMAGE (image), FALSE);
  g_return_val_if_fail (LODEX_IS_PLACE (place), FALSE);

  const gchar *place_id = _lodex_place_get_row (place)->id;
  return write_membership (store,
                           lodex_db_add_image_to_place (get_priv (store)->db, _lodex_image_get_row (image)->id,
                                                        place_id),
                           "Unable to add image to place in the database",
                           lodex_tracker_signal_place_updated, place_id);
}

gboolean
_lodex_store_remove_image_from_place (LodexStore *store, LodexImage *image, LodexPlace *place)
{
  g_return_val_if_fail (LODEX_IS_STORE (store), FALSE);
  g_return_val_if_fail (LODEX_IS_IMAGE (image), FALSE);
  g_return_val_if_fail (LODEX_IS_PLACE (place), FALSE);

  const gchar *place_id = _lodex_place_get_row (place)->id;
  return write_membership (store,
                           lodex_db_remove_image_from_place (get_priv (store)->db,
                                                             _lodex_image_get_row (image)->id, place_id),
                           "Unable to remove image from place in the database",
                           lodex_tracker_signal_place_updated, place_id);
}

/* Batches */

gboolean
_lodex_store_batch_begin (LodexStore *store)
{
  g_return_val_if_fail (LODEX_IS_STORE (store), FALSE);
  LodexStorePrivate *priv = get_priv (store);
  if (priv->batch_depth == 0 && !_lodex_db_exec_and_free (priv->db, sqlite3_mprintf ("BEGIN IMMEDIATE")))
    return FALSE;
  priv->batch_depth++;
  _lodex_tracker_hold (priv->tracker);
  return TRUE;
}

gboolean
_lodex_store_batch_end (LodexStore *store)
{
  g_return_val_if_fail (LODEX_IS_STORE (store), FALSE);
  LodexStorePrivate *priv = get_priv (store);
  g_return_val_if_fail (priv->batch_depth > 0, FALSE);
  gboolean committed = TRUE;
  if (--priv->batch_depth == 0)
    {
      committed = _lodex_db_exec_and_free (priv->db, sqlite3_mprintf ("COMMIT"));
      if (!committed)
        _lodex_db_exec_and_free (priv->db, sqlite3_mprintf ("ROLLBACK"));
    }
  _lodex_tracker_release (priv->tracker, committed);
  return committed;
}

/* Routes */

static void
route_updated_cb (LodexTracker *tracker, const gchar *id, LodexStore *store)
{
  lodex::Hold hold (store);
  g_printerr ("%s: %s\n", "route_updated_cb", id);
  if (LodexRoute *live = lookup_entry<LodexRoute> (store, id))
    {
      /* its own unsaved changes are newer than the notice */
      _lodex_route_save_pending (live);
      lodex_db_load_route (get_priv (store)->db, live);
      g_signal_emit_by_name (live, "changed");
      g_object_unref (live);
    }
  g_signal_emit (store, signals[ROUTE_UPDATED], 0, id);
}

static void
route_waypoints_cb (LodexTracker *tracker, const gchar *id, LodexStore *store)
{
  lodex::Hold hold (store);
  g_printerr ("%s: %s\n", "route_waypoints_cb", id);
  if (LodexRoute *live = lookup_entry<LodexRoute> (store, id))
    {
      g_signal_emit_by_name (live, "waypoints-modified");
      g_object_unref (live);
    }
}

void
_lodex_store_add_to_route_table (LodexStore *store, LodexRoute *route)
{
  if (lodex::check (LODEX_IS_ROUTE (route), G_STRFUNC, "LODEX_IS_ROUTE(route)"))
    add_entry (store, route);
}

void
_lodex_store_remove_from_route_table (LodexStore *store, LodexRoute *route)
{
  if (lodex::check (LODEX_IS_ROUTE (route), G_STRFUNC, "LODEX_IS_ROUTE(route)"))
    remove_entry (store, route);
}

LodexRoute *
_lodex_store_query_route_table (LodexStore *store, const gchar *id)
{
  if (!lodex::check (LODEX_IS_STORE (store), G_STRFUNC, "LODEX_IS_STORE(store)"))
    return nullptr;
  return lookup_entry<LodexRoute> (store, id);
}

/**
 * lodex_store_add_route:
 * @store: a #LodexStore
 * @route: a route in no store, that was never stored
 *
 * Returns: whether the route was stored; on failure it is left as it was
 */
gboolean
lodex_store_add_route (LodexStore *store, LodexRoute *route)
{
  g_return_val_if_fail (LODEX_IS_STORE (store), FALSE);
  g_return_val_if_fail (LODEX_IS_ROUTE (route), FALSE);
  return add_object (store, route);
}

/**
 * lodex_store_get_route_by_id:
 * @store: a #LodexStore
 * @id: a route id
 *
 * Returns: (transfer full) (nullable): the route; %NULL with a warning when
 *   no route has @id
 */
LodexRoute *
lodex_store_get_route_by_id (LodexStore *store, const gchar *id)
{
  if (!lodex::check (LODEX_IS_STORE (store), G_STRFUNC, "LODEX_IS_STORE(store)"))
    return nullptr;
  g_return_val_if_fail (id != NULL, NULL);
  return get_object<LodexRoute> (store, id);
}

/**
 * lodex_store_remove_route:
 * @store: a #LodexStore
 * @route: a route of @store
 *
 * Deletes the route with its waypoints and memberships. The object keeps
 * its id, so it cannot be added again.
 *
 * Returns: whether the route was removed
 */
gboolean
lodex_store_remove_route (LodexStore *store, LodexRoute *route)
{
  g_return_val_if_fail (LODEX_IS_STORE (store), FALSE);
  g_return_val_if_fail (LODEX_IS_ROUTE (route), FALSE);
  return remove_object (store, route, false);
}

/**
 * lodex_store_routes:
 * @store: a #LodexStore
 *
 * Returns: (transfer full) (element-type LodexRoute): every route
 */
GList *
lodex_store_routes (LodexStore *store)
{
  g_return_val_if_fail (LODEX_IS_STORE (store), NULL);

  lodex::Stmt statement = prepare_listing (get_priv (store)->db, "SELECT id from routes");
  return statement ? list_objects<LodexRoute> (store, std::move (statement), lodex_db_get_next_route_id) : nullptr;
}

void
_lodex_store_update_route (LodexStore *store, LodexRoute *route)
{
  g_return_if_fail (LODEX_IS_STORE (store));
  g_return_if_fail (LODEX_IS_ROUTE (route));

  if (_lodex_route_get_store (route) != store)
    {
      g_warning ("%s", Family<LodexRoute>::not_associated);
      return;
    }
  LodexStorePrivate *priv = get_priv (store);
  lodex_db_store_route (priv->db, route);
  lodex_tracker_signal_route_updated (priv->tracker, _lodex_route_get_id (route));
}

gboolean
_lodex_store_add_place_to_route (LodexStore *store, LodexPlace *place, LodexRoute *route)
{
  g_return_val_if_fail (LODEX_IS_STORE (store), FALSE);
  g_return_val_if_fail (LODEX_IS_ROUTE (route), FALSE);
  g_return_val_if_fail (LODEX_IS_PLACE (place), FALSE);

  const gchar *route_id = _lodex_route_get_id (route);
  return write_membership (store,
                           lodex_db_add_place_to_route (get_priv (store)->db, _lodex_place_get_row (place)->id,
                                                        route_id),
                           "Unable to add place to route in the database", lodex_tracker_signal_route_updated,
                           route_id);
}

gboolean
_lodex_store_remove_place_from_route (LodexStore *store, LodexPlace *place, LodexRoute *route)
{
  g_return_val_if_fail (LODEX_IS_STORE (store), FALSE);
  g_return_val_if_fail (LODEX_IS_ROUTE (route), FALSE);
  g_return_val_if_fail (LODEX_IS_PLACE (place), FALSE);

  const gchar *route_id = _lodex_route_get_id (route);
  return write_membership (store,
                           lodex_db_remove_place_from_route (get_priv (store)->db,
                                                             _lodex_place_get_row (place)->id, route_id),
                           "Unable to remove place from route in the database",
                           lodex_tracker_signal_route_updated, route_id);
}

gboolean
_lodex_store_add_waypoint_to_route (LodexStore *store, LodexWaypoint *waypoint, LodexRoute *route)
{
  g_return_val_if_fail (LODEX_IS_STORE (store), FALSE);
  g_return_val_if_fail (LODEX_IS_WAYPOINT (waypoint), FALSE);
  g_return_val_if_fail (LODEX_IS_ROUTE (route), FALSE);
  LodexWaypointRow *row = _lodex_waypoint_get_row (waypoint);
  const gchar *route_id = _lodex_route_get_id (route);
  g_return_val_if_fail (row->id == NULL, FALSE);
  g_return_val_if_fail (row->route_id == NULL, FALSE);
  g_return_val_if_fail (route_id != NULL, FALSE);

  LodexStorePrivate *priv = get_priv (store);
  row->id = _lodex_store_gen_id (store);
  row->route_id = g_strdup (route_id);
  if (!lodex_db_insert_waypoint (priv->db, waypoint))
    {
      /* still new: it may be added again */
      g_clear_pointer (&row->id, g_free);
      g_clear_pointer (&row->route_id, g_free);
      return FALSE;
    }
  lodex_tracker_signal_route_waypoints (priv->tracker, route_id);
  return TRUE;
}

gboolean
_lodex_store_remove_waypoint_from_route (LodexStore *store, LodexWaypoint *waypoint, LodexRoute *route)
{
  g_return_val_if_fail (LODEX_IS_STORE (store), FALSE);
  g_return_val_if_fail (LODEX_IS_WAYPOINT (waypoint), FALSE);
  g_return_val_if_fail (LODEX_IS_ROUTE (route), FALSE);
  LodexWaypointRow *row = _lodex_waypoint_get_row (waypoint);
  const gchar *route_id = _lodex_route_get_id (route);
  g_return_val_if_fail (row->id != NULL, FALSE);
  g_return_val_if_fail (row->route_id != NULL, FALSE);
  g_return_val_if_fail (route_id != NULL, FALSE);
  g_return_val_if_fail (strcmp (route_id, row->route_id) == 0, FALSE);

  LodexStorePrivate *priv = get_priv (store);
  if (!lodex_db_remove_waypoint (priv->db, waypoint))
    return FALSE;
  lodex_tracker_signal_route_waypoints (priv->tracker, route_id);
  return TRUE;
}

gboolean
_lodex_store_route_delete_waypoints (LodexStore *store, const gchar *route_id, LodexWaypointFunc func, gpointer user_data)
{
  g_return_val_if_fail (LODEX_IS_STORE (store), FALSE);
  g_return_val_if_fail (route_id != NULL, FALSE);

  LodexStorePrivate *priv = get_priv (store);
  if (!lodex_db_remove_waypoints (priv->db, route_id, func, user_data))
    return FALSE;
  lodex_tracker_signal_route_waypoints (priv->tracker, route_id);
  return TRUE;
}

gboolean
_lodex_store_route_select_update_waypoints (LodexStore *store, const gchar *route_id, LodexWaypointFunc func, gpointer user_data)
{
  g_return_val_if_fail (LODEX_IS_STORE (store), FALSE);
  g_return_val_if_fail (route_id != NULL, FALSE);

  LodexStorePrivate *priv = get_priv (store);
  guint result = lodex_db_select_update_waypoints (priv->db, route_id, func, user_data);
  if (result & 0x2)
    lodex_tracker_signal_route_waypoints (priv->tracker, route_id);
  return (result & 0x1) != 0;
}

/**
 * lodex_make_resident:
 *
 * Keeps the library loaded for the life of the process, for programs that
 * load it as a module.
 */
void
lodex_make_resident (void)
{
  GModule *module = g_module_open (LODEX_LIBRARY_FILE, GModuleFlags (0));
  if (!module)
    {
      g_critical ("%s: g_module_open() failed: %s", "lodex_make_resident", g_module_error ());
      return;
    }
  g_module_make_resident (module);
}
