/* LodexRouteFilter: the places of an inner set that belong to one route;
 * without a route, every place of the inner set. */

#include "lodex-member-filter.hpp"

struct _LodexRouteFilter
{
  GObject parent_instance;
};

typedef lodex::MemberFilter LodexRouteFilterPrivate;

static void lodex_route_filter_set_init (LodexSetInterface *iface);

/**
 * LodexRouteFilter:
 *
 * A #LodexSet of the places of an inner set that are members of one route
 * (#LodexRouteFilter:route); without a route, every place of the inner set.
 * Its walk follows the order of the inner set, so a filter inside a
 * #LodexLocationSort, or a sort inside a filter, gives the places of the
 * route by distance.
 *
 * Since: 0.1
 */
G_DEFINE_TYPE_WITH_CODE (LodexRouteFilter, lodex_route_filter, G_TYPE_OBJECT, G_ADD_PRIVATE (LodexRouteFilter) G_IMPLEMENT_INTERFACE (LODEX_TYPE_SET, lodex_route_filter_set_init))

static lodex::MemberFilter *
get_priv (gpointer self)
{
  return static_cast<lodex::MemberFilter *> (lodex_route_filter_get_instance_private (LODEX_ROUTE_FILTER (self)));
}

static void
lodex_route_filter_set_property (GObject *object, guint prop_id, const GValue *value, GParamSpec *pspec)
{
  get_priv (object)->set_property (object, prop_id, value, pspec);
}

static void
lodex_route_filter_get_property (GObject *object, guint prop_id, GValue *value, GParamSpec *pspec)
{
  get_priv (object)->get_property (object, prop_id, value, pspec);
}

static void
lodex_route_filter_dispose (GObject *object)
{
  get_priv (object)->dispose ();
  G_OBJECT_CLASS (lodex_route_filter_parent_class)->dispose (object);
}

static void
lodex_route_filter_finalize (GObject *object)
{
  get_priv (object)->finalize ();
  G_OBJECT_CLASS (lodex_route_filter_parent_class)->finalize (object);
}

static void
lodex_route_filter_class_init (LodexRouteFilterClass *klass)
{
  GObjectClass *object_class = G_OBJECT_CLASS (klass);
  object_class->set_property = lodex_route_filter_set_property;
  object_class->get_property = lodex_route_filter_get_property;
  object_class->dispose = lodex_route_filter_dispose;
  object_class->finalize = lodex_route_filter_finalize;
  /**
   * LodexRouteFilter:set:
   *
   * The set whose places are filtered. Construct-only.
   *
   * Since: 0.1
   */
  /**
   * LodexRouteFilter:route:
   *
   * The route whose members pass, or %NULL for every place. A change of the
   * route, or of this property, emits #LodexSet::changed.
   *
   * Since: 0.1
   */
  lodex::MemberFilter::install_properties (object_class, "route", "Route", "Route to filter on", LODEX_TYPE_ROUTE);
}

static void
lodex_route_filter_init (LodexRouteFilter *self)
{
  new (get_priv (self)) lodex::MemberFilter{}; /* GObject only zero-fills */
}

/**
 * lodex_route_filter_new:
 * @set: the inner set
 *
 * The filter passes every place of @set until its "route" is set.
 *
 * Returns: (transfer full): a new filter
 *
 * Since: 0.1
 */
LodexRouteFilter *
lodex_route_filter_new (LodexSet *set)
{
  g_return_val_if_fail (set != NULL, NULL);
  return LODEX_ROUTE_FILTER (g_object_new (LODEX_TYPE_ROUTE_FILTER, "set", set, nullptr));
}

/* The filter as a set */

static constexpr lodex::MembershipTable membership = {"r2p", "route_id", "WHERE"};

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
  return priv->bind_member (statement, _lodex_route_get_id (LODEX_ROUTE (priv->member)));
}

static constexpr lodex::WrapperKind kind = {
  "lodex_route_filter_set_next",
  [] (LodexSet *set) { return &get_priv (set)->wrapped; },
  compose,
  bind,
  nullptr,
};

static void
lodex_route_filter_set_init (LodexSetInterface *iface)
{
  lodex::implement_set (iface, &kind);
}
