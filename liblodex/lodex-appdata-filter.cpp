/* LodexAppdataFilter: the places of an inner set that carry an
 * application's key, perhaps with a given value. */

#include "lodex-search-private.hpp"

#include <utility>

struct _LodexAppdataFilter
{
  GObject parent_instance;
};

struct LodexAppdataFilterPrivate
{
  lodex::SearchSet search;
  gchar *key;
  gchar *value;
  gchar *suffix; /* of this level's parameter names: chosen by compose, used by bind */
};

static void lodex_appdata_filter_set_init (LodexSetInterface *iface);

/**
 * LodexAppdataFilter:
 *
 * The places of an inner set that carry the application data
 * #LodexAppdataFilter:key (see lodex_place_set_appdata()), and, when
 * #LodexAppdataFilter:value is set, with that value. Without a key it
 * passes every place of its inner set.
 *
 * Since: 0.2
 */
G_DEFINE_TYPE_WITH_CODE (LodexAppdataFilter, lodex_appdata_filter, G_TYPE_OBJECT, G_ADD_PRIVATE (LodexAppdataFilter) G_IMPLEMENT_INTERFACE (LODEX_TYPE_SET, lodex_appdata_filter_set_init))

enum
{
  PROP_0,
  PROP_SET,
  PROP_KEY,
  PROP_VALUE,
  N_PROPS
};

static GParamSpec *props[N_PROPS];

static LodexAppdataFilterPrivate *
get_priv (gpointer self)
{
  return static_cast<LodexAppdataFilterPrivate *> (lodex_appdata_filter_get_instance_private (LODEX_APPDATA_FILTER (self)));
}

static void
lodex_appdata_filter_dispose (GObject *object)
{
  get_priv (object)->search.dispose ();
  G_OBJECT_CLASS (lodex_appdata_filter_parent_class)->dispose (object);
}

static void
lodex_appdata_filter_finalize (GObject *object)
{
  LodexAppdataFilterPrivate *priv = get_priv (object);
  priv->search.wrapped.finalize ();
  g_free (priv->key);
  g_free (priv->value);
  g_free (priv->suffix);
  priv->~LodexAppdataFilterPrivate ();
  G_OBJECT_CLASS (lodex_appdata_filter_parent_class)->finalize (object);
}

static void
lodex_appdata_filter_get_property (GObject *object, guint prop_id, GValue *value, GParamSpec *pspec)
{
  LodexAppdataFilterPrivate *priv = get_priv (object);
  switch (prop_id)
    {
    case PROP_SET:
      g_value_set_object (value, priv->search.wrapped.inner);
      break;
    case PROP_KEY:
      g_value_set_string (value, priv->key);
      break;
    case PROP_VALUE:
      g_value_set_string (value, priv->value);
      break;
    default:
      G_OBJECT_WARN_INVALID_PROPERTY_ID (object, prop_id, pspec);
    }
}

static void
lodex_appdata_filter_set_property (GObject *object, guint prop_id, const GValue *value, GParamSpec *pspec)
{
  LodexAppdataFilterPrivate *priv = get_priv (object);
  switch (prop_id)
    {
    case PROP_SET:
      priv->search.wrapped.set_inner (LODEX_SET (object), value);
      return;
    case PROP_KEY:
      g_free (priv->key);
      priv->key = g_value_dup_string (value);
      break;
    case PROP_VALUE:
      g_free (priv->value);
      priv->value = g_value_dup_string (value);
      break;
    default:
      G_OBJECT_WARN_INVALID_PROPERTY_ID (object, prop_id, pspec);
      return;
    }
  priv->search.invalidate (LODEX_SET (object));
}

static void
lodex_appdata_filter_class_init (LodexAppdataFilterClass *klass)
{
  GObjectClass *object_class = G_OBJECT_CLASS (klass);
  object_class->dispose = lodex_appdata_filter_dispose;
  object_class->finalize = lodex_appdata_filter_finalize;
  object_class->get_property = lodex_appdata_filter_get_property;
  object_class->set_property = lodex_appdata_filter_set_property;

  const auto flags = GParamFlags (G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS);
  /**
   * LodexAppdataFilter:set:
   *
   * The set whose places are filtered. Construct-only.
   *
   * Since: 0.2
   */
  lodex::WrappedSet::install_property (object_class, PROP_SET, "The set for the filter");
  /**
   * LodexAppdataFilter:key:
   *
   * The application data key a place must carry, or %NULL for every place.
   *
   * Since: 0.2
   */
  props[PROP_KEY] = g_param_spec_string ("key", nullptr, nullptr, nullptr, flags);
  /**
   * LodexAppdataFilter:value:
   *
   * The value the key must have, or %NULL for any value.
   *
   * Since: 0.2
   */
  props[PROP_VALUE] = g_param_spec_string ("value", nullptr, nullptr, nullptr, flags);
  for (guint id = PROP_KEY; id < N_PROPS; id++)
    g_object_class_install_property (object_class, id, props[id]);
}

static void
lodex_appdata_filter_init (LodexAppdataFilter *self)
{
  new (get_priv (self)) LodexAppdataFilterPrivate{}; /* GObject only zero-fills */
}

/**
 * lodex_appdata_filter_new:
 * @set: the set to filter
 * @key: (nullable): the application data key
 * @value: (nullable): the value, or %NULL for any
 *
 * A filter of the places of @set that carry @key (with @value, if given).
 *
 * Returns: (transfer full): a new filter
 *
 * Since: 0.2
 */
LodexAppdataFilter *
lodex_appdata_filter_new (LodexSet *set, const gchar *key, const gchar *value)
{
  g_return_val_if_fail (LODEX_IS_SET (set), NULL);
  return LODEX_APPDATA_FILTER (g_object_new (LODEX_TYPE_APPDATA_FILTER, "set", set, "key", key, "value", value, nullptr));
}

namespace
{

gchar *
compose (LodexSet *set, const gchar *inner)
{
  LodexAppdataFilterPrivate *priv = get_priv (set);
  g_free (priv->suffix);
  priv->suffix = lodex::unused_suffix (inner, {"appdata_key", "appdata_value"});
  if (!priv->key)
    return g_strdup_printf ("SELECT * from (%s)", inner);
  const char *s = priv->suffix;
  g_autofree gchar *value = priv->value ? g_strdup_printf (" AND data = :appdata_value%s", s) : g_strdup ("");
  return g_strdup_printf ("SELECT * from (%s) WHERE id IN (SELECT place_id FROM places_appdata WHERE key = :appdata_key%s%s)",
                          inner, s, value);
}

bool
bind (LodexSet *set, sqlite3_stmt *statement)
{
  LodexAppdataFilterPrivate *priv = get_priv (set);
  g_autofree gchar *key = g_strdup_printf (":appdata_key%s", priv->suffix);
  g_autofree gchar *value = g_strdup_printf (":appdata_value%s", priv->suffix);
  for (const auto &[name, text] : {std::pair{key, priv->key}, std::pair{value, priv->value}})
    {
      int index = sqlite3_bind_parameter_index (statement, name);
      if (index && sqlite3_bind_text (statement, index, text, -1, SQLITE_TRANSIENT) != SQLITE_OK)
        return lodex::check (false, "_lodex_appdata_filter_set_bind", "res == SQLITE_OK");
    }
  return true;
}

LodexPlace *
appdata_filter_first (LodexSet *set)
{
  g_return_val_if_fail (LODEX_IS_APPDATA_FILTER (set), NULL);
  return get_priv (set)->search.first (set, set, 0, -1);
}

LodexPlace *
appdata_filter_next (LodexSet *set)
{
  g_return_val_if_fail (LODEX_IS_APPDATA_FILTER (set), NULL);
  return get_priv (set)->search.next (set, "lodex_appdata_filter_set_next");
}

constexpr lodex::WrapperKind kind = {
  "lodex_appdata_filter_set_next",
  [] (LodexSet *set) { return &get_priv (set)->search.wrapped; },
  compose,
  bind,
  nullptr,
};

} // namespace

static void
lodex_appdata_filter_set_init (LodexSetInterface *iface)
{
  lodex::implement_set (iface, &kind);
  iface->first = appdata_filter_first;
  iface->next = appdata_filter_next;
}
