/* What the searching sets share: parameter names of their own, and the walk
 * of a filter or a page around a distance sort by the sort's rings. */

#include "lodex-search-private.hpp"
#include "lodex-db-private.hpp"

#include <cstring>

namespace lodex
{

thread_local bool composing_for_rings = false;
thread_local bool composing_for_count = false;

static bool
names_parameter (const char *text, const char *name)
{
  size_t length = strlen (name);
  for (const char *at = strstr (text, name); at; at = strstr (at + 1, name))
    if (!g_ascii_isalnum (at[length]) && at[length] != '_')
      return true;
  return false;
}

gchar *
unused_suffix (const char *inner, std::initializer_list<const char *> bases) noexcept
{
  for (int n = 1;; n++)
    {
      g_autofree gchar *suffix = n == 1 ? g_strdup ("") : g_strdup_printf ("_%d", n);
      bool used = false;
      for (const char *base : bases)
        {
          g_autofree gchar *name = g_strdup_printf (":%s%s", base, suffix);
          used = used || names_parameter (inner, name);
        }
      if (!used)
        return static_cast<gchar *> (g_steal_pointer (&suffix));
    }
}

bool
is_filter (LodexSet *set) noexcept
{
  return LODEX_IS_CATEGORY_FILTER (set) || LODEX_IS_ROUTE_FILTER (set) || LODEX_IS_LOCATION_FILTER (set)
         || LODEX_IS_TEXT_FILTER (set) || LODEX_IS_RADIUS_FILTER (set) || LODEX_IS_APPDATA_FILTER (set);
}

static LodexSet *
inner_of (LodexSet *set)
{
  LodexSet *inner = nullptr;
  g_object_get (set, "set", &inner, nullptr);
  if (inner)
    g_object_unref (inner); /* @set holds it */
  return inner;
}

/* A filter like @filter around @inner: every property but the inner set. */
static LodexSet *
clone_around (LodexSet *filter, LodexSet *inner)
{
  GObjectClass *klass = G_OBJECT_GET_CLASS (filter);
  guint n = 0;
  g_autofree GParamSpec **specs = g_object_class_list_properties (klass, &n);
  std::vector<const char *> names{"set"};
  std::vector<GValue> values (1);
  g_value_init (&values[0], LODEX_TYPE_SET);
  g_value_set_object (&values[0], inner);
  for (guint i = 0; i < n; i++)
    {
      if ((specs[i]->flags & (G_PARAM_READWRITE | G_PARAM_CONSTRUCT_ONLY)) != G_PARAM_READWRITE
          || g_str_equal (specs[i]->name, "set"))
        continue;
      names.push_back (specs[i]->name);
      values.emplace_back ();
      g_value_init (&values.back (), specs[i]->value_type);
      g_object_get_property (G_OBJECT (filter), specs[i]->name, &values.back ());
    }
  GObject *copy = g_object_new_with_properties (G_OBJECT_TYPE (filter), guint (names.size ()), names.data (),
                                                values.data ());
  for (GValue &value : values)
    g_value_unset (&value);
  return LODEX_SET (copy);
}

static LodexSet *copy_sort (LodexSet *sort, LodexSet *inner);

LodexSet *
equivalent_sort (LodexSet *set) noexcept
{
  try
    {
      LodexSet *inner = LODEX_IS_LOCATION_SORT (set) || is_filter (set) ? inner_of (set) : nullptr;
      if (!inner)
        return nullptr;
      /* a walk of its own, which leaves @set's alone */
      if (LODEX_IS_LOCATION_SORT (set))
        return copy_sort (set, inner);
      g_autoptr (LodexSet) sort = equivalent_sort (inner);
      if (!sort)
        return nullptr;
      /* the same places in the same order: the filter inside the sort */
      g_autoptr (LodexSet) filter = clone_around (set, inner_of (sort));
      return copy_sort (sort, filter);
    }
  catch (...)
    {
      return nullptr;
    }
}

static LodexSet *
copy_sort (LodexSet *sort, LodexSet *inner)
{
  double latitude, longitude, altitude;
  g_object_get (sort, "latitude", &latitude, "longitude", &longitude, "altitude", &altitude, nullptr);
  LodexLocationSort *copy = lodex_location_sort_new (inner);
  g_object_set (copy, "latitude", latitude, "longitude", longitude, "altitude", altitude, nullptr);
  return LODEX_SET (copy);
}

void
DelegatedWalk::end () noexcept
{
  g_clear_object (&walked_);
}

LodexPlace *
DelegatedWalk::first (LodexSet *walked, guint skip, gint limit) noexcept
{
  end ();
  walked_ = walked;
  left_ = limit;
  LodexPlace *place = lodex_set_first (walked_);
  /* the skipped places are made all the same: a sort's rings have no
   * offset to give */
  for (guint i = 0; place && i < skip; i++)
    {
      g_object_unref (place);
      place = lodex_set_next (walked_);
    }
  if (!place)
    {
      end ();
      return nullptr;
    }
  return next_or (place);
}

LodexPlace *
DelegatedWalk::next_or (LodexPlace *place) noexcept
{
  if (left_ == 0)
    {
      g_clear_object (&place);
      end ();
      return nullptr;
    }
  if (left_ > 0)
    left_--;
  return place;
}

LodexPlace *
DelegatedWalk::next () noexcept
{
  if (!walked_)
    return nullptr;
  if (left_ == 0)
    {
      end ();
      return nullptr;
    }
  LodexPlace *place = lodex_set_next (walked_);
  if (!place)
    {
      end ();
      return nullptr;
    }
  return next_or (place);
}

guint
SearchSet::next_serial () noexcept
{
  static gint serials;
  return guint (g_atomic_int_add (&serials, 1));
}

LodexPlace *
SearchSet::first (LodexSet *self, LodexSet *walked, guint skip, gint limit) noexcept
{
  delegated.end ();
  wrapped.walk.end ();
  if (!check (wrapped.inner != nullptr, "lodex_set_first", "priv->set != NULL"))
    return nullptr;
  if (LodexSet *sort = equivalent_sort (walked))
    return delegated.first (sort, skip, limit);
  return walk_first (self, &wrapped.walk);
}

LodexPlace *
SearchSet::next (LodexSet *self, const char *function) noexcept
{
  if (delegated.walking ())
    return delegated.next ();
  if (!check (bool (wrapped.walk), function, "priv->statement != NULL"))
    return nullptr;
  return walk_next (self, &wrapped.walk);
}

/* The index of words and the keys */

namespace
{

/* "ß" as the index spells it, "ss": SQLite's tokenizer does not fold it. */
#define SHARP(x) "replace(replace(" x ", 'ß', 'ss'), 'ẞ', 'SS')"

/* The queued places, each once, in a table of this connection's. */
constexpr char take_queue[] = "INSERT OR IGNORE INTO temp.lodex_queued (place_id) SELECT place_id FROM places_queue";
constexpr char drop_words[] = "DELETE FROM places_words WHERE rowid IN (SELECT k.docid FROM places_key AS k "
                              "JOIN temp.lodex_queued AS q ON q.place_id = k.place_id)";
constexpr char drop_keys[] = "DELETE FROM places_key WHERE place_id IN (SELECT place_id FROM temp.lodex_queued) "
                             "AND NOT EXISTS (SELECT 1 FROM places WHERE id = places_key.place_id)";
constexpr char add_keys[] = "INSERT OR IGNORE INTO places_key (place_id) SELECT q.place_id FROM temp.lodex_queued AS q "
                            "JOIN places AS p ON p.id = q.place_id";
constexpr char clear_names[] = "UPDATE places_key SET name_key = NULL WHERE place_id IN (SELECT place_id FROM temp.lodex_queued)";
constexpr char add_words[]
  = "INSERT INTO places_words (rowid, name, description, address) "
    "SELECT k.docid, " SHARP ("p.name") ", " SHARP ("p.description") ", (SELECT " SHARP (
      "trim(coalesce(a.country, '') || ' ' || coalesce(a.state, '') || ' ' || coalesce(a.county, '') || ' ' "
      "|| coalesce(a.city, '') || ' ' || coalesce(a.district, '') || ' ' || coalesce(a.postcode, '') || ' ' "
      "|| coalesce(a.crossing1, '') || ' ' || coalesce(a.crossing2, '') || ' ' || coalesce(a.street, '') || ' ' "
      "|| coalesce(a.building_name, '') || ' ' || coalesce(a.building_zone, ''))") " FROM places_address AS a WHERE a.place_id = p.id) "
    "FROM temp.lodex_queued AS q JOIN places_key AS k ON k.place_id = q.place_id JOIN places AS p ON p.id = q.place_id";

} // namespace

bool
refresh_search (sqlite3 *db, bool keys) noexcept
{
  using namespace lodex::db;
  /* a database opened without the schema has no index to keep */
  if (!db || sqlite3_table_column_metadata (db, "main", "places_queue", "place_id", nullptr, nullptr, nullptr, nullptr, nullptr) != SQLITE_OK)
    return false;
  g_autofree gchar *scheme = name_key_scheme ();
  bool queued = false, same_scheme = true, pending = false;
  {
    Statement state = borrow (db, "SELECT EXISTS (SELECT 1 FROM places_queue), "
                                  "(SELECT value FROM lodex_meta WHERE key = 'name_key_scheme') IS :scheme, "
                                  "EXISTS (SELECT 1 FROM places_key WHERE name_key IS NULL)");
    if (!state || !state.bind (":scheme", scheme) || !fetch_row (state))
      return false;
    queued = sqlite3_column_int (state.get (), 0) == 1;
    same_scheme = sqlite3_column_int (state.get (), 1) == 1;
    pending = sqlite3_column_int (state.get (), 2) == 1;
  }
  if (!queued && (!keys || (same_scheme && !pending)))
    return true;

  Transaction transaction (db);
  bool done = bool (transaction);
  if (done && queued)
    {
      /* the places written since, by any program: their words anew */
      done = exec_bound (db, "CREATE TEMP TABLE IF NOT EXISTS lodex_queued (place_id TEXT PRIMARY KEY)", nullptr)
             && exec_bound (db, "DELETE FROM temp.lodex_queued", nullptr) && exec_bound (db, take_queue, nullptr)
             && exec_bound (db, drop_words, nullptr) && exec_bound (db, drop_keys, nullptr)
             && exec_bound (db, add_keys, nullptr) && exec_bound (db, clear_names, nullptr)
             && exec_bound (db, add_words, nullptr) && exec_bound (db, "DELETE FROM places_queue", nullptr);
    }
  if (done && keys && !same_scheme)
    {
      g_debug ("making the name keys for %s", scheme);
      done = exec_bound (db, "UPDATE places_key SET name_key = NULL", nullptr)
             && exec_bound (db, "INSERT OR REPLACE INTO lodex_meta (key, value) VALUES ('name_key_scheme', :scheme)",
                            ":scheme", scheme, nullptr);
    }
  if (done && keys)
    done = exec_bound (db,
                       "UPDATE places_key SET name_key = lodex_name_key ((SELECT name FROM places WHERE id = place_id)) "
                       "WHERE name_key IS NULL",
                       nullptr);
  if (!done || !transaction.commit ())
    {
      g_warning ("Problem bringing the index of words up to date: %s", sqlite3_errmsg (db));
      return false;
    }
  return true;
}

} // namespace lodex
