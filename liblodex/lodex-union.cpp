/* LodexUnion: the places of either of two sets of one store. */

#include "lodex-search-private.hpp"

#include <algorithm>
#include <string>
#include <vector>

struct _LodexUnion
{
  GObject parent_instance;
};

struct LodexUnionPrivate
{
  lodex::WrappedSet wrapped;
  LodexSet *other;
  gulong other_handler;
  guint serial;
  /* the other set's parameters, renamed in the composed text: its own
   * names may be those of the first set's */
  std::vector<std::string> names;
};

static void lodex_union_set_init (LodexSetInterface *iface);

/**
 * LodexUnion:
 *
 * The places that are in #LodexUnion:set or in #LodexUnion:other (or in
 * both, given once), two sets of the same store, in the store's order.
 * Like every set it nests: a #LodexNameSort around a union sorts it.
 *
 * Since: 0.2
 */
G_DEFINE_TYPE_WITH_CODE (LodexUnion, lodex_union, G_TYPE_OBJECT, G_ADD_PRIVATE (LodexUnion) G_IMPLEMENT_INTERFACE (LODEX_TYPE_SET, lodex_union_set_init))

enum
{
  PROP_0,
  PROP_SET,
  PROP_OTHER,
  N_PROPS
};

static LodexUnionPrivate *
get_priv (gpointer self)
{
  return static_cast<LodexUnionPrivate *> (lodex_union_get_instance_private (LODEX_UNION (self)));
}

static void
lodex_union_dispose (GObject *object)
{
  LodexUnionPrivate *priv = get_priv (object);
  priv->wrapped.dispose ();
  if (priv->other)
    {
      g_clear_signal_handler (&priv->other_handler, priv->other);
      g_clear_object (&priv->other);
    }
  G_OBJECT_CLASS (lodex_union_parent_class)->dispose (object);
}

static void
lodex_union_finalize (GObject *object)
{
  LodexUnionPrivate *priv = get_priv (object);
  priv->wrapped.finalize ();
  priv->~LodexUnionPrivate ();
  G_OBJECT_CLASS (lodex_union_parent_class)->finalize (object);
}

static void
lodex_union_get_property (GObject *object, guint prop_id, GValue *value, GParamSpec *pspec)
{
  LodexUnionPrivate *priv = get_priv (object);
  if (prop_id == PROP_SET)
    g_value_set_object (value, priv->wrapped.inner);
  else if (prop_id == PROP_OTHER)
    g_value_set_object (value, priv->other);
  else
    G_OBJECT_WARN_INVALID_PROPERTY_ID (object, prop_id, pspec);
}

static void
lodex_union_set_property (GObject *object, guint prop_id, const GValue *value, GParamSpec *pspec)
{
  LodexUnionPrivate *priv = get_priv (object);
  if (prop_id == PROP_SET)
    priv->wrapped.set_inner (LODEX_SET (object), value);
  else if (prop_id == PROP_OTHER)
    {
      priv->other = LODEX_SET (g_value_dup_object (value));
      if (priv->other)
        priv->other_handler = g_signal_connect_swapped (priv->other, "changed", G_CALLBACK (_lodex_set_emit_changed), object);
    }
  else
    G_OBJECT_WARN_INVALID_PROPERTY_ID (object, prop_id, pspec);
}

static void
lodex_union_class_init (LodexUnionClass *klass)
{
  GObjectClass *object_class = G_OBJECT_CLASS (klass);
  object_class->dispose = lodex_union_dispose;
  object_class->finalize = lodex_union_finalize;
  object_class->get_property = lodex_union_get_property;
  object_class->set_property = lodex_union_set_property;
  /**
   * LodexUnion:set:
   *
   * The first set. Construct-only.
   *
   * Since: 0.2
   */
  lodex::WrappedSet::install_property (object_class, PROP_SET, "The first set");
  /**
   * LodexUnion:other:
   *
   * The second set, of the same store. Construct-only.
   *
   * Since: 0.2
   */
  g_object_class_install_property (object_class, PROP_OTHER,
                                   g_param_spec_object ("other", nullptr, nullptr, LODEX_TYPE_SET,
                                                        GParamFlags (G_PARAM_READWRITE | G_PARAM_CONSTRUCT_ONLY | G_PARAM_STATIC_STRINGS)));
}

static void
lodex_union_init (LodexUnion *self)
{
  LodexUnionPrivate *priv = new (get_priv (self)) LodexUnionPrivate{}; /* GObject only zero-fills */
  priv->serial = lodex::SearchSet::next_serial ();
}

/**
 * lodex_union_new:
 * @set: a set
 * @other: another set of the same store
 *
 * Makes the set of the places in @set or in @other.
 *
 * Returns: (transfer full) (nullable): the union of @set and @other, or
 *   %NULL when they are sets of different stores
 *
 * Since: 0.2
 */
LodexUnion *
lodex_union_new (LodexSet *set, LodexSet *other)
{
  g_return_val_if_fail (LODEX_IS_SET (set), NULL);
  g_return_val_if_fail (LODEX_IS_SET (other), NULL);
  g_autoptr (LodexStore) store = lodex_set_get_store (set);
  g_autoptr (LodexStore) other_store = lodex_set_get_store (other);
  g_return_val_if_fail (store == other_store, NULL);
  return LODEX_UNION (g_object_new (LODEX_TYPE_UNION, "set", set, "other", other, nullptr));
}

namespace
{

gchar *
compose (LodexSet *set, const gchar *inner)
{
  LodexUnionPrivate *priv = get_priv (set);
  const gchar *other = priv->other ? _lodex_set_get_query (priv->other) : nullptr;
  if (!other)
    return nullptr;
  /* every parameter of the other text gets a name of this union's */
  priv->names.clear ();
  GString *renamed = g_string_new (nullptr);
  for (const char *p = other; *p;)
    {
      if (*p == ':' && (g_ascii_isalpha (p[1]) || p[1] == '_'))
        {
          const char *end = p + 1;
          while (g_ascii_isalnum (*end) || *end == '_')
            end++;
          std::string name (p, end - p);
          if (std::find (priv->names.begin (), priv->names.end (), name) == priv->names.end ())
            priv->names.push_back (name);
          g_string_append_printf (renamed, ":union%u_%s", priv->serial, name.c_str () + 1);
          p = end;
        }
      else
        g_string_append_c (renamed, *p++);
    }
  g_autofree gchar *other_text = g_string_free (renamed, FALSE);
  return g_strdup_printf ("SELECT * from places WHERE id IN (SELECT id FROM (%s)) OR id IN (SELECT id FROM (%s))",
                          inner, other_text);
}

/* The other set binds its own names in a statement of them alone; the
 * values go into the union's under its names. */
bool
bind (LodexSet *set, sqlite3_stmt *statement)
{
  LodexUnionPrivate *priv = get_priv (set);
  if (priv->names.empty ())
    return true;
  GString *text = g_string_new ("SELECT ");
  for (size_t i = 0; i < priv->names.size (); i++)
    g_string_append_printf (text, "%s%s", i ? ", " : "", priv->names[i].c_str ());
  g_autofree gchar *select = g_string_free (text, FALSE);
  sqlite3 *db = sqlite3_db_handle (statement);
  sqlite3_stmt *raw = nullptr;
  sqlite3_prepare_v2 (db, select, -1, &raw, nullptr);
  lodex::Stmt values (raw);
  if (!values || !_lodex_set_bind (priv->other, raw) || _lodex_db_step (raw) != SQLITE_ROW)
    return false;
  for (size_t i = 0; i < priv->names.size (); i++)
    {
      g_autofree gchar *name = g_strdup_printf (":union%u_%s", priv->serial, priv->names[i].c_str () + 1);
      int index = sqlite3_bind_parameter_index (statement, name);
      if (index && sqlite3_bind_value (statement, index, sqlite3_column_value (raw, int (i))) != SQLITE_OK)
        return false;
    }
  return true;
}

constexpr lodex::WrapperKind kind = {
  "lodex_union_set_next",
  [] (LodexSet *set) { return &get_priv (set)->wrapped; },
  compose,
  bind,
  "", /* the store's order: no sort inside orders a union */
};

} // namespace

static void
lodex_union_set_init (LodexSetInterface *iface)
{
  lodex::implement_set (iface, &kind);
}
