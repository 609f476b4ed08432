/* LodexCategoryFilter: the places of an inner set that belong to one category;
 * without a category, every place of the inner set. */

#include "lodex-member-filter.hpp"

struct _LodexCategoryFilter
{
  GObject parent_instance;
};

typedef lodex::MemberFilter LodexCategoryFilterPrivate;

static void lodex_category_filter_set_init (LodexSetInterface *iface);

/**
 * LodexCategoryFilter:
 *
 * A #LodexSet of the places of an inner set that are members of one category
 * (#LodexCategoryFilter:category); without a category, every place of the
 * inner set. Its walk follows the order of the inner set, so a filter inside
 * a #LodexLocationSort, or a sort inside a filter, gives the places of the
 * category by distance.
 *
 * Since: 0.1
 */
G_DEFINE_TYPE_WITH_CODE (LodexCategoryFilter, lodex_category_filter, G_TYPE_OBJECT, G_ADD_PRIVATE (LodexCategoryFilter) G_IMPLEMENT_INTERFACE (LODEX_TYPE_SET, lodex_category_filter_set_init))

static lodex::MemberFilter *
get_priv (gpointer self)
{
  return static_cast<lodex::MemberFilter *> (lodex_category_filter_get_instance_private (LODEX_CATEGORY_FILTER (self)));
}

static void
lodex_category_filter_set_property (GObject *object, guint prop_id, const GValue *value, GParamSpec *pspec)
{
  get_priv (object)->set_property (object, prop_id, value, pspec);
}

static void
lodex_category_filter_get_property (GObject *object, guint prop_id, GValue *value, GParamSpec *pspec)
{
  get_priv (object)->get_property (object, prop_id, value, pspec);
}

static void
lodex_category_filter_dispose (GObject *object)
{
  get_priv (object)->dispose ();
  G_OBJECT_CLASS (lodex_category_filter_parent_class)->dispose (object);
}

static void
lodex_category_filter_finalize (GObject *object)
{
  get_priv (object)->finalize ();
  G_OBJECT_CLASS (lodex_category_filter_parent_class)->finalize (object);
}

static void
lodex_category_filter_class_init (LodexCategoryFilterClass *klass)
{
  GObjectClass *object_class = G_OBJECT_CLASS (klass);
  object_class->set_property = lodex_category_filter_set_property;
  object_class->get_property = lodex_category_filter_get_property;
  object_class->dispose = lodex_category_filter_dispose;
  object_class->finalize = lodex_category_filter_finalize;
  /**
   * LodexCategoryFilter:set:
   *
   * The set whose places are filtered. Construct-only.
   *
   * Since: 0.1
   */
  /**
   * LodexCategoryFilter:category:
   *
   * The category whose members pass, or %NULL for every place. A change of
   * the category, or of this property, emits #LodexSet::changed.
   *
   * Since: 0.1
   */
  lodex::MemberFilter::install_properties (object_class, "category", "Category", "Category to filter on", LODEX_TYPE_CATEGORY);
}

static void
lodex_category_filter_init (LodexCategoryFilter *self)
{
  new (get_priv (self)) lodex::MemberFilter{}; /* GObject only zero-fills */
}

/**
 * lodex_category_filter_new:
 * @set: the inner set
 *
 * The filter passes every place of @set until its "category" is set.
 *
 * Returns: (transfer full): a new filter
 *
 * Since: 0.1
 */
LodexCategoryFilter *
lodex_category_filter_new (LodexSet *set)
{
  g_return_val_if_fail (set != NULL, NULL);
  return LODEX_CATEGORY_FILTER (g_object_new (LODEX_TYPE_CATEGORY_FILTER, "set", set, nullptr));
}

/* The filter as a set */

static constexpr lodex::MembershipTable membership = {"p2c", "category_id", "where"};

static gchar *
compose (LodexSet *set, const gchar *inner)
{
  return get_priv (set)->compose (membership, inner);
}

static bool
bind (LodexSet *set, sqlite3_stmt *statement)
{
  lodex::MemberFilter *priv = get_priv (set);
  if (!priv->member)
    return true;
  g_autofree gchar *id = nullptr;
  g_object_get (priv->member, "id", &id, nullptr);
  if (!priv->bind_member (statement, id))
    {
      g_return_if_fail_warning (G_LOG_DOMAIN, G_STRFUNC, "res == SQLITE_OK");
      return false;
    }
  return true;
}

static constexpr lodex::WrapperKind kind = {
  "lodex_category_filter_set_next",
  [] (LodexSet *set) { return &get_priv (set)->wrapped; },
  compose,
  bind,
  nullptr,
};

static void
lodex_category_filter_set_init (LodexSetInterface *iface)
{
  lodex::implement_set (iface, &kind);
}
