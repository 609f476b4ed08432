/* LodexPage: a stretch of the places of an inner set, in its order: the
 * first "limit" after skipping "offset". */

#include "lodex-search-private.hpp"

struct _LodexPage
{
  GObject parent_instance;
};

struct LodexPagePrivate
{
  lodex::SearchSet search;
  guint offset;
  gint limit;
  gchar *suffix; /* of this level's parameter names: chosen by compose, used by bind */
};

static void lodex_page_set_init (LodexSetInterface *iface);

/**
 * LodexPage:
 *
 * At most #LodexPage:limit places of an inner set, after skipping its
 * first #LodexPage:offset, in the inner set's order: a page of a list.
 * The skipped places are not read where an index gives the order (the
 * store, a #LodexNameSort): page 1,000 of a million names comes about as
 * fast as page 1. Around a #LodexLocationSort the page walks the sort's
 * rings, which make the skipped places.
 *
 * ```c
 * g_autoptr (LodexNameSort) by_name = lodex_name_sort_new (LODEX_SET (store));
 * g_autoptr (LodexPage) page = lodex_page_new (LODEX_SET (by_name), 50 * 3, 50); // the fourth page of 50
 * gint64 pages = (lodex_set_count (LODEX_SET (by_name), NULL) + 49) / 50;
 * ```
 *
 * Since: 0.2
 */
G_DEFINE_TYPE_WITH_CODE (LodexPage, lodex_page, G_TYPE_OBJECT, G_ADD_PRIVATE (LodexPage) G_IMPLEMENT_INTERFACE (LODEX_TYPE_SET, lodex_page_set_init))

enum
{
  PROP_0,
  PROP_SET,
  PROP_OFFSET,
  PROP_LIMIT,
  N_PROPS
};

static GParamSpec *props[N_PROPS];

static LodexPagePrivate *
get_priv (gpointer self)
{
  return static_cast<LodexPagePrivate *> (lodex_page_get_instance_private (LODEX_PAGE (self)));
}

static void
lodex_page_dispose (GObject *object)
{
  get_priv (object)->search.dispose ();
  G_OBJECT_CLASS (lodex_page_parent_class)->dispose (object);
}

static void
lodex_page_finalize (GObject *object)
{
  LodexPagePrivate *priv = get_priv (object);
  priv->search.wrapped.finalize ();
  g_free (priv->suffix);
  priv->~LodexPagePrivate ();
  G_OBJECT_CLASS (lodex_page_parent_class)->finalize (object);
}

static void
lodex_page_get_property (GObject *object, guint prop_id, GValue *value, GParamSpec *pspec)
{
  LodexPagePrivate *priv = get_priv (object);
  switch (prop_id)
    {
    case PROP_SET:
      g_value_set_object (value, priv->search.wrapped.inner);
      break;
    case PROP_OFFSET:
      g_value_set_uint (value, priv->offset);
      break;
    case PROP_LIMIT:
      g_value_set_int (value, priv->limit);
      break;
    default:
      G_OBJECT_WARN_INVALID_PROPERTY_ID (object, prop_id, pspec);
    }
}

static void
lodex_page_set_property (GObject *object, guint prop_id, const GValue *value, GParamSpec *pspec)
{
  LodexPagePrivate *priv = get_priv (object);
  switch (prop_id)
    {
    case PROP_SET:
      priv->search.wrapped.set_inner (LODEX_SET (object), value);
      return;
    case PROP_OFFSET:
      priv->offset = g_value_get_uint (value);
      break;
    case PROP_LIMIT:
      priv->limit = g_value_get_int (value);
      break;
    default:
      G_OBJECT_WARN_INVALID_PROPERTY_ID (object, prop_id, pspec);
      return;
    }
  priv->search.invalidate (LODEX_SET (object));
}

static void
lodex_page_class_init (LodexPageClass *klass)
{
  GObjectClass *object_class = G_OBJECT_CLASS (klass);
  object_class->dispose = lodex_page_dispose;
  object_class->finalize = lodex_page_finalize;
  object_class->get_property = lodex_page_get_property;
  object_class->set_property = lodex_page_set_property;

  const auto flags = GParamFlags (G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS);
  /**
   * LodexPage:set:
   *
   * The set whose places are paged. Construct-only.
   *
   * Since: 0.2
   */
  lodex::WrappedSet::install_property (object_class, PROP_SET, "The set to page");
  /**
   * LodexPage:offset:
   *
   * How many places of the inner set are skipped.
   *
   * Since: 0.2
   */
  props[PROP_OFFSET] = g_param_spec_uint ("offset", nullptr, nullptr, 0, G_MAXUINT, 0, flags);
  /**
   * LodexPage:limit:
   *
   * How many places the page holds at most; -1 for every place after the
   * offset.
   *
   * Since: 0.2
   */
  props[PROP_LIMIT] = g_param_spec_int ("limit", nullptr, nullptr, -1, G_MAXINT, -1, flags);
  for (guint id = PROP_OFFSET; id < N_PROPS; id++)
    g_object_class_install_property (object_class, id, props[id]);
}

static void
lodex_page_init (LodexPage *self)
{
  LodexPagePrivate *priv = new (get_priv (self)) LodexPagePrivate{}; /* GObject only zero-fills */
  priv->limit = -1;
}

/**
 * lodex_page_new:
 * @set: the set to page
 * @offset: how many of its places to skip
 * @limit: how many places the page holds at most, or -1 for all
 *
 * Makes a page of the places of @set: at most @limit of them, after the
 * first @offset, in the order of @set.
 *
 * Returns: (transfer full): a new page of @set
 *
 * Since: 0.2
 */
LodexPage *
lodex_page_new (LodexSet *set, guint offset, gint limit)
{
  g_return_val_if_fail (LODEX_IS_SET (set), NULL);
  g_return_val_if_fail (limit >= -1, NULL);
  return LODEX_PAGE (g_object_new (LODEX_TYPE_PAGE, "set", set, "offset", offset, "limit", limit, nullptr));
}

namespace
{

gchar *
compose (LodexSet *set, const gchar *inner)
{
  LodexPagePrivate *priv = get_priv (set);
  g_free (priv->suffix);
  priv->suffix = lodex::unused_suffix (inner, {"page_limit", "page_offset"});
  g_autofree gchar *limit = g_strdup_printf (":page_limit%s", priv->suffix);
  g_autofree gchar *offset = g_strdup_printf (":page_offset%s", priv->suffix);
  if (gchar *paged = lodex::name_sort_paged_text (priv->search.wrapped.inner, limit, offset))
    return paged;
  /* the limit applies in the inner set's order, which a subquery may lose;
   * a count is the same in any order */
  const char *order = priv->search.wrapped.inner && !lodex::composing_for_count
                        ? lodex::set_order (priv->search.wrapped.inner)
                        : nullptr;
  return g_strdup_printf ("SELECT * from (%s)%s%s LIMIT :page_limit%s OFFSET :page_offset%s", inner,
                          order ? " ORDER BY " : "", order ? order : "", priv->suffix, priv->suffix);
}

bool
bind (LodexSet *set, sqlite3_stmt *statement)
{
  LodexPagePrivate *priv = get_priv (set);
  g_autofree gchar *limit = g_strdup_printf (":page_limit%s", priv->suffix);
  g_autofree gchar *offset = g_strdup_printf (":page_offset%s", priv->suffix);
  if (sqlite3_bind_int64 (statement, sqlite3_bind_parameter_index (statement, limit), priv->limit) != SQLITE_OK
      || sqlite3_bind_int64 (statement, sqlite3_bind_parameter_index (statement, offset), priv->offset) != SQLITE_OK)
    return lodex::check (false, "_lodex_page_set_bind", "res == SQLITE_OK");
  return true;
}

const char *
order_of (LodexSet *set)
{
  LodexSet *inner = get_priv (set)->search.wrapped.inner;
  return inner ? lodex::set_order (inner) : nullptr;
}

LodexPlace *
page_first (LodexSet *set)
{
  g_return_val_if_fail (LODEX_IS_PAGE (set), NULL);
  LodexPagePrivate *priv = get_priv (set);
  return priv->search.first (set, priv->search.wrapped.inner, priv->offset, priv->limit);
}

LodexPlace *
page_next (LodexSet *set)
{
  g_return_val_if_fail (LODEX_IS_PAGE (set), NULL);
  return get_priv (set)->search.next (set, "lodex_page_set_next");
}

constexpr lodex::WrapperKind kind = {
  "lodex_page_set_next",
  [] (LodexSet *set) { return &get_priv (set)->search.wrapped; },
  compose,
  bind,
  nullptr,
  order_of,
};

} // namespace

static void
lodex_page_set_init (LodexSetInterface *iface)
{
  lodex::implement_set (iface, &kind);
  iface->first = page_first;
  iface->next = page_next;
}
