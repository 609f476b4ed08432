/* LodexListModel: the places of a set as a GListModel that follows every
 * change. It keeps the ids of the set in order, read without making a
 * place; a place is made (or the live one given) only when asked for. */

#include "lodex-list-model.h"
#include "lodex-set-wrapper.hpp"
#include "lodex-location-sort-private.h"
#include "lodex-db-private.hpp"

#include <algorithm>
#include <cstring>
#include <new>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

/**
 * LodexListModel:
 *
 * The places of a #LodexSet as a #GListModel, for GTK's list widgets and
 * anything else that takes one. Its items are the live #LodexPlace objects:
 * the same object lodex_store_get_place_by_id() gives while anybody holds
 * it, so a property bound to a widget follows every change.
 *
 * The model follows every change of the database, by any process: on each
 * batch of #LodexStore::changes it works out which positions changed and
 * emits #GListModel::items-changed for each run of them, or, when they are
 * many and spread, once for a range covering them all. A place whose
 * properties change without moving in the set emits no items-changed: its
 * own notify signals tell. Changing a property of a set of the chain (the
 * text of a filter, the point of a sort) reads the set anew.
 *
 * The model keeps the ids of its places in order, not the places:
 * g_list_model_get_n_items() makes no object, and
 * g_list_model_get_item() makes one place at a time.
 *
 * From Python, `len (model)` and `for place in model` work, as for any
 * #GListModel.
 *
 * Since: 0.2
 */

namespace
{

/* What orders the chain, where the model can place a place by itself. */
enum class Order
{
  NONE,     /* the database's: read whole */
  DISTANCE, /* a distance sort's: distance, then id */
  NAME,     /* a name sort's: name key, then id, both reversed if descending */
};

struct Entry
{
  std::string id;
  gdouble number;  /* the distance; or a name key that is a number */
  int key_class;   /* of a name key, as SQLite orders values: NULL, number, text, blob */
  std::string key; /* the bytes of a name key */
};

/* SQLite's order of two values, by binary collation. */
int
compare_keys (const Entry &a, const Entry &b)
{
  if (a.key_class != b.key_class)
    return a.key_class < b.key_class ? -1 : 1;
  if (a.key_class == 1 && a.number != b.number)
    return a.number < b.number ? -1 : 1;
  return a.key.compare (b.key); /* bytes as unsigned, then length: as memcmp */
}

struct Ordering
{
  Order order = Order::NONE;
  bool descending = false;

  bool
  operator() (const Entry &a, const Entry &b) const
  {
    if (order == Order::DISTANCE)
      return a.number != b.number ? a.number < b.number : a.id < b.id;
    int c = compare_keys (a, b);
    if (c == 0)
      c = a.id.compare (b.id);
    return descending ? c > 0 : c < 0;
  }
};

/* A batch touching more places than this, and more than a quarter of the
 * model, is read whole: one query then costs less than many. */
constexpr size_t few_places = 256;

/* A batch whose edits fall in more runs of positions than this is told as
 * one items-changed covering them: every signal moves the rest of the
 * list, in the model and in every view. */
constexpr size_t few_runs = 8;

} // namespace

struct _LodexListModel
{
  GObject parent_instance;
};

struct LodexListModelPrivate
{
  LodexSet *set;
  LodexStore *store;
  gulong changes_handler;
  std::vector<std::pair<GObject *, gulong>> watched; /* the sets of the chain, for their notify */
  GObject *sort;                                     /* the sort that orders the chain, when the model can place a place */
  Order order;
  std::vector<Entry> items;
  guint reread_idle;
};

static void lodex_list_model_list_init (GListModelInterface *iface);

G_DEFINE_TYPE_WITH_CODE (LodexListModel, lodex_list_model, G_TYPE_OBJECT, G_ADD_PRIVATE (LodexListModel) G_IMPLEMENT_INTERFACE (G_TYPE_LIST_MODEL, lodex_list_model_list_init))

enum
{
  PROP_0,
  PROP_SET,
  PROP_ITEM_TYPE,
  PROP_N_ITEMS,
  N_PROPS
};

static GParamSpec *props[N_PROPS];

static LodexListModelPrivate *
get_priv (LodexListModel *self)
{
  return static_cast<LodexListModelPrivate *> (lodex_list_model_get_instance_private (self));
}

/* Reading */

/* The set a filter or sort is built around, or NULL. */
static LodexSet *
inner_of (LodexSet *set)
{
  if (LODEX_IS_STORE (set) || !g_object_class_find_property (G_OBJECT_GET_CLASS (set), "set"))
    return nullptr;
  LodexSet *inner = nullptr;
  g_object_get (set, "set", &inner, nullptr);
  if (inner)
    g_object_unref (inner); /* the outer set holds it */
  return inner;
}

/* Whether a place's own row decides whether it is in @set: a filter or sort
 * of one inner set. A page or a union of two does not tell that way. */
static bool
local (LodexSet *set)
{
  return LODEX_IS_TEXT_FILTER (set) || LODEX_IS_LOCATION_FILTER (set) || LODEX_IS_RADIUS_FILTER (set)
         || LODEX_IS_APPDATA_FILTER (set) || LODEX_IS_CATEGORY_FILTER (set) || LODEX_IS_ROUTE_FILTER (set)
         || LODEX_IS_NAME_SORT (set) || LODEX_IS_LOCATION_SORT (set);
}

/* The sort that orders the chain of @set (its outermost), when the
 * chain's membership is decided place by place; NULL otherwise. */
static GObject *
chain_sort (LodexSet *set)
{
  GObject *sort = nullptr;
  for (LodexSet *s = set; s && !LODEX_IS_STORE (s); s = inner_of (s))
    {
      if (!local (s))
        return nullptr;
      if (!sort && (LODEX_IS_LOCATION_SORT (s) || LODEX_IS_NAME_SORT (s)))
        sort = G_OBJECT (s);
    }
  return sort;
}

/* The column of the name keys in the text of a chain ordered by a name
 * sort: the first of its ORDER BY terms. */
static std::string
key_column (LodexSet *set)
{
  const char *order = lodex::set_order (set);
  if (!order)
    return {};
  return std::string (order, strcspn (order, " ,"));
}

static LodexDistanceOrigin
origin_of (GObject *sort)
{
  gdouble latitude, longitude, altitude;
  g_object_get (sort, "latitude", &latitude, "longitude", &longitude, "altitude", &altitude, nullptr);
  LodexDistanceOrigin origin;
  _lodex_location_sort_origin_init (&origin, latitude, longitude, altitude);
  return origin;
}

/* A JSON array of @ids, for json_each (). */
static std::string
json_array (const std::vector<std::string> &ids)
{
  std::string json = "[";
  for (const std::string &id : ids)
    {
      if (json.size () > 1)
        json += ',';
      json += '"';
      for (unsigned char c : id)
        {
          if (c == '"' || c == '\\')
            json += '\\', json += char (c);
          else if (c < 0x20)
            {
              char escaped[8];
              g_snprintf (escaped, sizeof escaped, "\\u%04x", c);
              json += escaped;
            }
          else
            json += char (c);
        }
      json += '"';
    }
  return json + "]";
}

/* Reads the places of the set, or of those of @only that are in it, as
 * entries: in the set's order, or with their distances when the chain
 * orders by distance (unsorted then). False after a warning when the
 * database could not tell. */
static bool
read_entries (LodexListModel *self, const std::vector<std::string> *only, std::vector<Entry> &entries)
{
  LodexListModelPrivate *priv = get_priv (self);
  sqlite3 *db = priv->store ? _lodex_store_get_walk_db (priv->store) : nullptr;
  if (!db)
    return false;

  /* a distance sort's own order is not wanted: distances are sorted here */
  LodexSet *source = priv->set;
  if (priv->order == Order::DISTANCE && LODEX_SET (priv->sort) == priv->set)
    source = inner_of (priv->set);
  const gchar *query = _lodex_set_get_query (source);
  if (!query)
    return false;
  const char *order = priv->order == Order::NONE ? lodex::set_order (source) : nullptr;
  std::string columns = priv->order == Order::DISTANCE ? ", latitude, longitude, altitude"
                        : priv->order == Order::NAME   ? ", " + key_column (source)
                                                       : "";
  if (columns == ", ")
    return false;
  g_autofree gchar *text = g_strdup_printf ("SELECT id%s FROM (%s)%s%s%s", columns.c_str (), query,
                                            only ? " WHERE id IN (SELECT value FROM json_each (:lodex_model_ids))" : "",
                                            order ? " ORDER BY " : "", order ? order : "");
  std::string ids = only ? json_array (*only) : ""; /* bound as is: outlives the statement */
  sqlite3_stmt *raw = nullptr;
  int res = sqlite3_prepare_v2 (db, text, -1, &raw, nullptr);
  lodex::Stmt statement (raw);
  if (res != SQLITE_OK || !_lodex_set_bind (source, raw))
    {
      g_warning ("The places of the list could not be read: %s", sqlite3_errmsg (db));
      return false;
    }
  if (only)
    sqlite3_bind_text (raw, sqlite3_bind_parameter_index (raw, ":lodex_model_ids"), ids.c_str (), -1, SQLITE_STATIC);

  LodexDistanceOrigin origin{};
  Ordering ordering{priv->order};
  if (priv->order == Order::DISTANCE)
    origin = origin_of (priv->sort);
  else if (priv->order == Order::NAME)
    g_object_get (priv->sort, "descending", &ordering.descending, nullptr);
  while ((res = _lodex_db_step (raw)) == SQLITE_ROW)
    {
      auto id = reinterpret_cast<const char *> (sqlite3_column_text (raw, 0));
      if (!id)
        continue;
      Entry entry{id, 0.0, 0, {}};
      if (priv->order == Order::DISTANCE) /* as the sort's SQL function reads them: a NULL altitude is 0 */
        entry.number = _lodex_location_sort_distance (&origin, sqlite3_column_double (raw, 1),
                                                      sqlite3_column_double (raw, 2), sqlite3_column_double (raw, 3));
      else if (priv->order == Order::NAME)
        switch (sqlite3_column_type (raw, 1))
          {
          case SQLITE_NULL:
            break;
          case SQLITE_INTEGER:
          case SQLITE_FLOAT:
            entry.key_class = 1, entry.number = sqlite3_column_double (raw, 1);
            break;
          default:
            {
              entry.key_class = sqlite3_column_type (raw, 1) == SQLITE_TEXT ? 2 : 3;
              auto bytes = static_cast<const char *> (sqlite3_column_blob (raw, 1));
              entry.key.assign (bytes ? bytes : "", sqlite3_column_bytes (raw, 1));
            }
          }
      entries.push_back (std::move (entry));
    }
  if (res != SQLITE_DONE)
    {
      g_warning ("The places of the list could not be read: %s", sqlite3_errmsg (db));
      return false;
    }
  if (priv->order != Order::NONE && !only)
    std::sort (entries.begin (), entries.end (), ordering);
  return true;
}

/* Takes @items as the new content and tells what changed: one
 * items-changed from the first position that differs to the last. */
static void
replace_items (LodexListModel *self, std::vector<Entry> &&items)
{
  LodexListModelPrivate *priv = get_priv (self);
  std::vector<Entry> old = std::exchange (priv->items, std::move (items));
  const std::vector<Entry> &now = priv->items;

  size_t common = std::min (old.size (), now.size ());
  size_t prefix = 0;
  while (prefix < common && old[prefix].id == now[prefix].id)
    prefix++;
  size_t suffix = 0;
  while (suffix < common - prefix && old[old.size () - 1 - suffix].id == now[now.size () - 1 - suffix].id)
    suffix++;
  guint removed = old.size () - prefix - suffix, added = now.size () - prefix - suffix;
  if (removed == 0 && added == 0)
    return;
  g_list_model_items_changed (G_LIST_MODEL (self), prefix, removed, added);
  if (removed != added)
    g_object_notify_by_pspec (G_OBJECT (self), props[PROP_N_ITEMS]);
}

static void
reread (LodexListModel *self)
{
  std::vector<Entry> items;
  if (read_entries (self, nullptr, items))
    replace_items (self, std::move (items));
}

/* Consecutive positions, as (first, count). */
static std::vector<std::pair<size_t, size_t>>
runs_of (const std::vector<size_t> &positions)
{
  std::vector<std::pair<size_t, size_t>> runs;
  for (size_t p : positions)
    if (!runs.empty () && runs.back ().first + runs.back ().second == p)
      runs.back ().second++;
    else
      runs.emplace_back (p, 1);
  return runs;
}

/* A few places changed: those that are in the set now go where their
 * keys put them, the others leave; nobody else moves. A few runs of
 * positions are told one by one, the list as it is after each; more, as
 * one items-changed covering them all. */
static void
update_places (LodexListModel *self, const std::unordered_set<std::string> &changed)
{
  LodexListModelPrivate *priv = get_priv (self);
  std::vector<std::string> ids (changed.begin (), changed.end ());
  std::vector<Entry> members;
  if (!read_entries (self, &ids, members))
    return;
  Ordering before{priv->order};
  if (priv->order == Order::NAME)
    g_object_get (priv->sort, "descending", &before.descending, nullptr);
  std::sort (members.begin (), members.end (), before);

  /* where the changed places were: a few ids are compared faster than hashed */
  std::vector<Entry> &items = priv->items;
  const size_t old_n = items.size ();
  std::vector<size_t> left;
  if (ids.size () <= 8)
    {
      for (size_t i = 0; i < old_n; i++)
        for (const std::string &id : ids)
          if (items[i].id == id)
            {
              left.push_back (i);
              break;
            }
    }
  else
    for (size_t i = 0; i < old_n; i++)
      if (changed.count (items[i].id))
        left.push_back (i);

  /* where the members go: among the places that stay, by their keys */
  std::vector<size_t> entered;
  entered.reserve (members.size ());
  size_t q = 0, r = 0;
  auto member = members.begin ();
  for (size_t i = 0; i < old_n; i++)
    {
      if (r < left.size () && left[r] == i)
        {
          r++;
          continue;
        }
      for (; member != members.end () && before (*member, items[i]); ++member)
        entered.push_back (q++);
      q++;
    }
  for (; member != members.end (); ++member)
    entered.push_back (q++);
  const size_t new_n = q;

  /* the changed places between the same two staying places, before and
   * after, that are the same places in the same order did not move: their
   * new keys are all that changes */
  std::vector<bool> entered_moves (members.size (), true);
  std::vector<size_t> stays_as (left.size (), members.size ()); /* the member a place that did not move is */
  auto gap_of = [] (const std::vector<size_t> &positions, size_t k) { return positions[k] - k; };
  for (size_t k = 0, j = 0; k < left.size ();)
    {
      size_t gap = gap_of (left, k), k_end = k;
      while (k_end < left.size () && gap_of (left, k_end) == gap)
        k_end++;
      while (j < members.size () && gap_of (entered, j) < gap)
        j++;
      size_t j_end = j;
      while (j_end < members.size () && gap_of (entered, j_end) == gap)
        j_end++;
      bool same = k_end - k == j_end - j;
      for (size_t a = k, b = j; same && a < k_end; a++, b++)
        same = items[left[a]].id == members[b].id;
      for (size_t a = k, b = j; same && a < k_end; a++, b++)
        {
          stays_as[a] = b;
          entered_moves[b] = false;
        }
      k = k_end;
    }
  std::vector<size_t> removed, added;
  for (size_t k = 0; k < left.size (); k++)
    if (stays_as[k] == members.size ())
      removed.push_back (left[k]);
    else
      items[left[k]] = members[stays_as[k]];
  for (size_t j = 0; j < members.size (); j++)
    if (entered_moves[j])
      added.push_back (entered[j]);
  if (removed.empty () && added.empty ())
    return;

  std::vector<std::pair<size_t, size_t>> removed_runs = runs_of (removed), added_runs = runs_of (added);
  if (removed_runs.size () + added_runs.size () <= few_runs)
    {
      for (auto run = removed_runs.rbegin (); run != removed_runs.rend (); ++run)
        {
          items.erase (items.begin () + run->first, items.begin () + run->first + run->second);
          g_list_model_items_changed (G_LIST_MODEL (self), run->first, run->second, 0);
        }
      size_t j = 0;
      for (const auto &[first, count] : added_runs)
        {
          while (entered[j] != first)
            j++;
          items.insert (items.begin () + first, members.begin () + j, members.begin () + j + count);
          g_list_model_items_changed (G_LIST_MODEL (self), first, 0, count);
        }
    }
  else
    {
      std::vector<Entry> merged;
      merged.reserve (new_n);
      auto next = members.begin ();
      r = 0;
      for (size_t i = 0; i < old_n; i++)
        {
          if (r < left.size () && left[r] == i)
            {
              r++;
              continue;
            }
          for (; next != members.end () && before (*next, items[i]); ++next)
            merged.push_back (std::move (*next));
          merged.push_back (std::move (items[i]));
        }
      for (; next != members.end (); ++next)
        merged.push_back (std::move (*next));
      items = std::move (merged);

      size_t first = std::min (removed.empty () ? old_n : removed.front (), added.empty () ? new_n : added.front ());
      size_t suffix = std::min (removed.empty () ? old_n : old_n - 1 - removed.back (),
                                added.empty () ? new_n : new_n - 1 - added.back ());
      suffix = std::min ({suffix, old_n - first, new_n - first});
      g_list_model_items_changed (G_LIST_MODEL (self), first, old_n - first - suffix, new_n - first - suffix);
    }
  if (old_n != new_n)
    g_object_notify_by_pspec (G_OBJECT (self), props[PROP_N_ITEMS]);
}

static void
on_changes (LodexStore *store, GPtrArray *changes, gboolean resynced, LodexListModel *self) noexcept
{
  LodexListModelPrivate *priv = get_priv (self);
  try
    {
      if (resynced || priv->order == Order::NONE)
        {
          reread (self);
          return;
        }
      std::unordered_set<std::string> changed;
      for (guint i = 0; i < changes->len; i++)
        {
          auto change = static_cast<LodexChange *> (changes->pdata[i]);
          const gchar *id = lodex_change_get_kind (change) == LODEX_CHANGE_KIND_PLACE ? lodex_change_get_id (change)
                                                                                      : lodex_change_get_place_id (change);
          if (id)
            changed.insert (id);
        }
      if (changed.empty ())
        return;
      if (changed.size () > few_places && changed.size () > priv->items.size () / 4)
        reread (self);
      else
        update_places (self, changed);
    }
  catch (const std::bad_alloc &)
    {
      g_warning ("Out of memory following the changes of a list");
    }
}

static gboolean
reread_idle (gpointer data)
{
  LodexListModel *self = LODEX_LIST_MODEL (data);
  get_priv (self)->reread_idle = 0;
  try
    {
      reread (self);
    }
  catch (const std::bad_alloc &)
    {
      g_warning ("Out of memory reading the places of a list");
    }
  return G_SOURCE_REMOVE;
}

/* A set of the chain changed what it holds (a filter's text, a sort's
 * point): read anew once, however many properties change together. */
static void
on_set_notify (GObject *set, GParamSpec *pspec, LodexListModel *self)
{
  LodexListModelPrivate *priv = get_priv (self);
  if (priv->reread_idle == 0)
    priv->reread_idle = g_idle_add_full (G_PRIORITY_HIGH_IDLE, reread_idle, self, nullptr);
}

/* Object */

static void
lodex_list_model_dispose (GObject *object)
{
  LodexListModelPrivate *priv = get_priv (LODEX_LIST_MODEL (object));
  for (auto &[set, handler] : priv->watched)
    g_signal_handler_disconnect (set, handler);
  priv->watched.clear ();
  if (priv->store && priv->changes_handler)
    g_clear_signal_handler (&priv->changes_handler, priv->store);
  g_clear_handle_id (&priv->reread_idle, g_source_remove);
  priv->sort = nullptr;
  g_clear_object (&priv->store);
  g_clear_object (&priv->set);
  G_OBJECT_CLASS (lodex_list_model_parent_class)->dispose (object);
}

static void
lodex_list_model_finalize (GObject *object)
{
  get_priv (LODEX_LIST_MODEL (object))->~LodexListModelPrivate ();
  G_OBJECT_CLASS (lodex_list_model_parent_class)->finalize (object);
}

static void
lodex_list_model_constructed (GObject *object)
{
  LodexListModel *self = LODEX_LIST_MODEL (object);
  LodexListModelPrivate *priv = get_priv (self);
  G_OBJECT_CLASS (lodex_list_model_parent_class)->constructed (object);
  if (!priv->set)
    return;

  priv->store = lodex_set_get_store (priv->set);
  if (!priv->store)
    return;
  priv->sort = chain_sort (priv->set);
  priv->order = !priv->sort                           ? Order::NONE
                : LODEX_IS_LOCATION_SORT (priv->sort) ? Order::DISTANCE
                                                      : Order::NAME;
  try
    {
      for (LodexSet *s = priv->set; s && !LODEX_IS_STORE (s); s = inner_of (s))
        priv->watched.emplace_back (G_OBJECT (s), g_signal_connect (s, "notify", G_CALLBACK (on_set_notify), self));
      read_entries (self, nullptr, priv->items);
    }
  catch (const std::bad_alloc &)
    {
      g_warning ("Out of memory reading the places of a list");
    }
  priv->changes_handler = g_signal_connect (priv->store, "changes", G_CALLBACK (on_changes), self);
}

static void
lodex_list_model_get_property (GObject *object, guint prop_id, GValue *value, GParamSpec *pspec)
{
  LodexListModel *self = LODEX_LIST_MODEL (object);
  switch (prop_id)
    {
    case PROP_SET:
      g_value_set_object (value, get_priv (self)->set);
      break;
    case PROP_ITEM_TYPE:
      g_value_set_gtype (value, LODEX_TYPE_PLACE);
      break;
    case PROP_N_ITEMS:
      g_value_set_uint (value, g_list_model_get_n_items (G_LIST_MODEL (self)));
      break;
    default:
      G_OBJECT_WARN_INVALID_PROPERTY_ID (object, prop_id, pspec);
      break;
    }
}

static void
lodex_list_model_set_property (GObject *object, guint prop_id, const GValue *value, GParamSpec *pspec)
{
  LodexListModel *self = LODEX_LIST_MODEL (object);
  switch (prop_id)
    {
    case PROP_SET:
      get_priv (self)->set = static_cast<LodexSet *> (g_value_dup_object (value));
      break;
    default:
      G_OBJECT_WARN_INVALID_PROPERTY_ID (object, prop_id, pspec);
      break;
    }
}

static void
lodex_list_model_class_init (LodexListModelClass *klass)
{
  GObjectClass *object_class = G_OBJECT_CLASS (klass);
  object_class->dispose = lodex_list_model_dispose;
  object_class->finalize = lodex_list_model_finalize;
  object_class->constructed = lodex_list_model_constructed;
  object_class->get_property = lodex_list_model_get_property;
  object_class->set_property = lodex_list_model_set_property;

  /**
   * LodexListModel:set:
   *
   * The set whose places the model lists, in its order. Construct-only.
   *
   * Since: 0.2
   */
  props[PROP_SET] = g_param_spec_object ("set", nullptr, nullptr, LODEX_TYPE_SET,
                                         GParamFlags (G_PARAM_READWRITE | G_PARAM_CONSTRUCT_ONLY | G_PARAM_STATIC_STRINGS));
  /**
   * LodexListModel:item-type:
   *
   * The type of the items: always #LodexPlace.
   *
   * Since: 0.2
   */
  props[PROP_ITEM_TYPE] = g_param_spec_gtype ("item-type", nullptr, nullptr, LODEX_TYPE_PLACE,
                                              GParamFlags (G_PARAM_READABLE | G_PARAM_STATIC_STRINGS));
  /**
   * LodexListModel:n-items:
   *
   * The number of places in the model; notified when it changes.
   *
   * Since: 0.2
   */
  props[PROP_N_ITEMS] = g_param_spec_uint ("n-items", nullptr, nullptr, 0, G_MAXUINT, 0,
                                           GParamFlags (G_PARAM_READABLE | G_PARAM_STATIC_STRINGS));
  g_object_class_install_properties (object_class, N_PROPS, props);
}

static void
lodex_list_model_init (LodexListModel *self)
{
  new (get_priv (self)) LodexListModelPrivate{}; /* GObject only zero-fills */
}

/* The list */

static GType
lodex_list_model_get_item_type (GListModel *list)
{
  return LODEX_TYPE_PLACE;
}

static guint
lodex_list_model_get_n_items (GListModel *list)
{
  return get_priv (LODEX_LIST_MODEL (list))->items.size ();
}

static gpointer
lodex_list_model_get_item (GListModel *list, guint position)
{
  LodexListModelPrivate *priv = get_priv (LODEX_LIST_MODEL (list));
  if (position >= priv->items.size ())
    return nullptr;
  /* the live place, or one made now; NULL if another program removed it
   * and the change has not been read yet */
  return lodex_store_get_place_by_id (priv->store, priv->items[position].id.c_str ());
}

static void
lodex_list_model_list_init (GListModelInterface *iface)
{
  iface->get_item_type = lodex_list_model_get_item_type;
  iface->get_n_items = lodex_list_model_get_n_items;
  iface->get_item = lodex_list_model_get_item;
}

/**
 * lodex_list_model_new:
 * @set: the set whose places to list
 *
 * Lists the places of @set, in its order, following every change.
 *
 * Returns: (transfer full): a new model
 *
 * Since: 0.2
 */
LodexListModel *
lodex_list_model_new (LodexSet *set)
{
  g_return_val_if_fail (set != NULL, NULL);
  g_return_val_if_fail (LODEX_IS_SET (set), NULL);
  return LODEX_LIST_MODEL (g_object_new (LODEX_TYPE_LIST_MODEL, "set", set, nullptr));
}

/**
 * lodex_list_model_get_set:
 * @model: a #LodexListModel
 *
 * Tells which set @model lists.
 *
 * Returns: (transfer none): the set
 *
 * Since: 0.2
 */
LodexSet *
lodex_list_model_get_set (LodexListModel *model)
{
  g_return_val_if_fail (model != NULL, NULL);
  g_return_val_if_fail (LODEX_IS_LIST_MODEL (model), NULL);
  return get_priv (model)->set;
}
