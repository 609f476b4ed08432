/* LodexNameSort: the places of an inner set in the order of their names,
 * through an index of keys that our connections keep up to date. */

#include "lodex-search-private.hpp"

#include <cstring>

struct _LodexNameSort
{
  GObject parent_instance;
};

struct LodexNameSortPrivate
{
  lodex::WrappedSet wrapped;
  gboolean descending;
  gchar *order; /* ORDER BY terms for the sets around: chosen by compose */
};

static void lodex_name_sort_set_init (LodexSetInterface *iface);

/**
 * LodexNameSort:
 *
 * The places of an inner set in the order of their names, as a person
 * expects it: case and accents count only between names otherwise equal,
 * and numbers in names go by their value ("Station 9" before "Station
 * 10"). The order follows the locale's collation (`LC_COLLATE`), or,
 * under the C locale, the names without case and accents. Places of equal
 * names come in order of id; places without a name come first.
 *
 * The sort reads an index of keys that the database keeps. A walk first
 * makes the keys of the places written since the last sorted walk, by any
 * program; when the locale has changed since the keys were made, it makes
 * them all again, which takes about 25 seconds for a million places.
 *
 * Since: 0.2
 */
G_DEFINE_TYPE_WITH_CODE (LodexNameSort, lodex_name_sort, G_TYPE_OBJECT, G_ADD_PRIVATE (LodexNameSort) G_IMPLEMENT_INTERFACE (LODEX_TYPE_SET, lodex_name_sort_set_init))

enum
{
  PROP_0,
  PROP_SET,
  PROP_DESCENDING,
  N_PROPS
};

static GParamSpec *props[N_PROPS];

static LodexNameSortPrivate *
get_priv (gpointer self)
{
  return static_cast<LodexNameSortPrivate *> (lodex_name_sort_get_instance_private (LODEX_NAME_SORT (self)));
}

static void
lodex_name_sort_dispose (GObject *object)
{
  get_priv (object)->wrapped.dispose ();
  G_OBJECT_CLASS (lodex_name_sort_parent_class)->dispose (object);
}

static void
lodex_name_sort_finalize (GObject *object)
{
  LodexNameSortPrivate *priv = get_priv (object);
  priv->wrapped.finalize ();
  g_free (priv->order);
  priv->~LodexNameSortPrivate ();
  G_OBJECT_CLASS (lodex_name_sort_parent_class)->finalize (object);
}

static void
lodex_name_sort_get_property (GObject *object, guint prop_id, GValue *value, GParamSpec *pspec)
{
  LodexNameSortPrivate *priv = get_priv (object);
  if (prop_id == PROP_SET)
    g_value_set_object (value, priv->wrapped.inner);
  else if (prop_id == PROP_DESCENDING)
    g_value_set_boolean (value, priv->descending);
  else
    G_OBJECT_WARN_INVALID_PROPERTY_ID (object, prop_id, pspec);
}

static void
lodex_name_sort_set_property (GObject *object, guint prop_id, const GValue *value, GParamSpec *pspec)
{
  LodexNameSortPrivate *priv = get_priv (object);
  if (prop_id == PROP_SET)
    priv->wrapped.set_inner (LODEX_SET (object), value);
  else if (prop_id == PROP_DESCENDING)
    {
      priv->descending = g_value_get_boolean (value);
      priv->wrapped.invalidate (LODEX_SET (object));
    }
  else
    G_OBJECT_WARN_INVALID_PROPERTY_ID (object, prop_id, pspec);
}

static void
lodex_name_sort_class_init (LodexNameSortClass *klass)
{
  GObjectClass *object_class = G_OBJECT_CLASS (klass);
  object_class->dispose = lodex_name_sort_dispose;
  object_class->finalize = lodex_name_sort_finalize;
  object_class->get_property = lodex_name_sort_get_property;
  object_class->set_property = lodex_name_sort_set_property;
  /**
   * LodexNameSort:set:
   *
   * The set whose places are sorted. Construct-only.
   *
   * Since: 0.2
   */
  lodex::WrappedSet::install_property (object_class, PROP_SET, "The set for the sort");
  /**
   * LodexNameSort:descending:
   *
   * Whether the order is reversed, ties included. Setting it ends a walk
   * under way.
   *
   * Since: 0.2
   */
  props[PROP_DESCENDING] = g_param_spec_boolean ("descending", nullptr, nullptr, FALSE,
                                                 GParamFlags (G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS));
  g_object_class_install_property (object_class, PROP_DESCENDING, props[PROP_DESCENDING]);
}

static void
lodex_name_sort_init (LodexNameSort *self)
{
  new (get_priv (self)) LodexNameSortPrivate{}; /* GObject only zero-fills */
}

/**
 * lodex_name_sort_new:
 * @set: the set to sort
 *
 * Makes a sort of the places of @set by name, ascending.
 *
 * Returns: (transfer full): a new sort of the places of @set by name
 *
 * Since: 0.2
 */
LodexNameSort *
lodex_name_sort_new (LodexSet *set)
{
  g_return_val_if_fail (LODEX_IS_SET (set), NULL);
  return LODEX_NAME_SORT (g_object_new (LODEX_TYPE_NAME_SORT, "set", set, nullptr));
}

/* The sort as a set */

namespace
{

/* A column name of this level's keys that the inner text does not use. */
gchar *
key_column (const char *inner)
{
  for (int n = 1;; n++)
    {
      gchar *column = n == 1 ? g_strdup ("lodex_name_key") : g_strdup_printf ("lodex_name_key_%d", n);
      const char *at = strstr (inner, column);
      if (!at)
        return column;
      g_free (column);
    }
}

gchar *
compose (LodexSet *set, const gchar *inner)
{
  LodexNameSortPrivate *priv = get_priv (set);
  g_autofree gchar *column = key_column (inner);
  const char *direction = priv->descending ? " DESC" : "";
  g_free (priv->order);
  priv->order = g_strdup_printf ("%s%s, id%s", column, direction, direction);
  if (lodex::composing_for_count) /* the order cannot change a count */
    return g_strdup_printf ("SELECT * from (%s)", inner);
  return g_strdup_printf ("SELECT lodex_named.*, lodex_keys.name_key AS %s FROM (%s) AS lodex_named "
                          "JOIN places_key AS lodex_keys ON lodex_keys.place_id = lodex_named.id "
                          "ORDER BY lodex_keys.name_key%s, lodex_keys.place_id%s",
                          column, inner, direction, direction);
}

} // namespace

gchar *
lodex::name_sort_paged_text (LodexSet *set, const char *limit, const char *offset) noexcept
{
  if (!LODEX_IS_NAME_SORT (set))
    return nullptr;
  LodexNameSortPrivate *priv = get_priv (set);
  if (!LODEX_IS_STORE (priv->wrapped.inner))
    return nullptr;
  /* every key has its place: the page is counted off in the index of keys
   * alone, and only its own places are read */
  const char *direction = priv->descending ? " DESC" : "";
  g_free (priv->order);
  priv->order = g_strdup_printf ("lodex_name_key%s, id%s", direction, direction);
  return g_strdup_printf ("SELECT lodex_named.*, lodex_keys.name_key AS lodex_name_key FROM "
                          "(SELECT place_id, name_key FROM places_key ORDER BY name_key%s, place_id%s LIMIT %s OFFSET %s) AS lodex_keys "
                          "JOIN places AS lodex_named ON lodex_named.id = lodex_keys.place_id "
                          "ORDER BY lodex_keys.name_key%s, lodex_keys.place_id%s",
                          direction, direction, limit, offset, direction, direction);
}

namespace
{

/* Every statement that holds the sort is bound just before its first
 * step: the keys are brought up to date here, on the store's connection. */
bool
bind (LodexSet *set, sqlite3_stmt *statement)
{
  if (!lodex::composing_for_count)
    lodex::refresh_search (_lodex_set_get_db (set), true);
  return true;
}

const char *
order_of (LodexSet *set)
{
  LodexNameSortPrivate *priv = get_priv (set);
  if (!priv->order && priv->wrapped.inner)
    _lodex_set_get_query (set);
  return priv->order;
}

constexpr lodex::WrapperKind kind = {
  "lodex_name_sort_set_next",
  [] (LodexSet *set) { return &get_priv (set)->wrapped; },
  compose,
  bind,
  nullptr,
  order_of,
};

} // namespace

static void
lodex_name_sort_set_init (LodexSetInterface *iface)
{
  lodex::implement_set (iface, &kind);
}
