/* LodexRadiusFilter: the places of an inner set within a distance of a
 * point, found through the R*Tree of positions. */

#include "lodex-search-private.hpp"
#include "lodex-location-sort-private.h"

#include <algorithm>
#include <cmath>

struct _LodexRadiusFilter
{
  GObject parent_instance;
};

struct LodexRadiusFilterPrivate
{
  lodex::SearchSet search;
  gdouble latitude;
  gdouble longitude;
  gdouble radius;
  gchar *suffix; /* of this level's parameter names: chosen by compose, used by bind */
};

static void lodex_radius_filter_set_init (LodexSetInterface *iface);

/**
 * LodexRadiusFilter:
 *
 * The places of an inner set within #LodexRadiusFilter:radius metres of a
 * point, measured along the earth's surface as #LodexLocationSort measures
 * (the altitude does not count). The circle may hold a pole or cross the
 * 180th meridian.
 *
 * Inside or around a #LodexLocationSort, a walk of the sort stops at the
 * radius: "the 10 nearest places within 5 km" reads no place beyond.
 *
 * ```c
 * g_autoptr (LodexRadiusFilter) near = lodex_radius_filter_new (LODEX_SET (store), 47.37, 8.54, 5000);
 * g_autoptr (LodexLocationSort) nearest = lodex_location_sort_new (LODEX_SET (near));
 * g_object_set (nearest, "latitude", 47.37, "longitude", 8.54, NULL);
 * g_autoptr (LodexPage) first_ten = lodex_page_new (LODEX_SET (nearest), 0, 10);
 * ```
 *
 * Since: 0.2
 */
G_DEFINE_TYPE_WITH_CODE (LodexRadiusFilter, lodex_radius_filter, G_TYPE_OBJECT, G_ADD_PRIVATE (LodexRadiusFilter) G_IMPLEMENT_INTERFACE (LODEX_TYPE_SET, lodex_radius_filter_set_init))

enum
{
  PROP_0,
  PROP_SET,
  PROP_LATITUDE,
  PROP_LONGITUDE,
  PROP_RADIUS,
  N_PROPS
};

static GParamSpec *props[N_PROPS];

static LodexRadiusFilterPrivate *
get_priv (gpointer self)
{
  return static_cast<LodexRadiusFilterPrivate *> (lodex_radius_filter_get_instance_private (LODEX_RADIUS_FILTER (self)));
}

static gdouble LodexRadiusFilterPrivate::*
member (guint prop_id)
{
  switch (prop_id)
    {
    case PROP_LATITUDE:
      return &LodexRadiusFilterPrivate::latitude;
    case PROP_LONGITUDE:
      return &LodexRadiusFilterPrivate::longitude;
    case PROP_RADIUS:
      return &LodexRadiusFilterPrivate::radius;
    default:
      return nullptr;
    }
}

static void
lodex_radius_filter_dispose (GObject *object)
{
  get_priv (object)->search.dispose ();
  G_OBJECT_CLASS (lodex_radius_filter_parent_class)->dispose (object);
}

static void
lodex_radius_filter_finalize (GObject *object)
{
  LodexRadiusFilterPrivate *priv = get_priv (object);
  priv->search.wrapped.finalize ();
  g_free (priv->suffix);
  priv->~LodexRadiusFilterPrivate ();
  G_OBJECT_CLASS (lodex_radius_filter_parent_class)->finalize (object);
}

static void
lodex_radius_filter_get_property (GObject *object, guint prop_id, GValue *value, GParamSpec *pspec)
{
  LodexRadiusFilterPrivate *priv = get_priv (object);
  if (auto m = member (prop_id))
    g_value_set_double (value, priv->*m);
  else if (prop_id == PROP_SET)
    g_value_set_object (value, priv->search.wrapped.inner);
  else
    G_OBJECT_WARN_INVALID_PROPERTY_ID (object, prop_id, pspec);
}

static void
lodex_radius_filter_set_property (GObject *object, guint prop_id, const GValue *value, GParamSpec *pspec)
{
  LodexRadiusFilterPrivate *priv = get_priv (object);
  if (prop_id == PROP_SET)
    {
      priv->search.wrapped.set_inner (LODEX_SET (object), value);
      return;
    }
  auto m = member (prop_id);
  if (!m)
    {
      G_OBJECT_WARN_INVALID_PROPERTY_ID (object, prop_id, pspec);
      return;
    }
  priv->*m = g_value_get_double (value);
  priv->search.invalidate (LODEX_SET (object));
}

static void
lodex_radius_filter_class_init (LodexRadiusFilterClass *klass)
{
  GObjectClass *object_class = G_OBJECT_CLASS (klass);
  object_class->dispose = lodex_radius_filter_dispose;
  object_class->finalize = lodex_radius_filter_finalize;
  object_class->get_property = lodex_radius_filter_get_property;
  object_class->set_property = lodex_radius_filter_set_property;

  const auto flags = GParamFlags (G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS);
  /**
   * LodexRadiusFilter:set:
   *
   * The set whose places are filtered. Construct-only.
   *
   * Since: 0.2
   */
  lodex::WrappedSet::install_property (object_class, PROP_SET, "The set for the filter");
  /**
   * LodexRadiusFilter:latitude:
   *
   * The latitude of the centre, in degrees.
   *
   * Since: 0.2
   */
  props[PROP_LATITUDE] = g_param_spec_double ("latitude", nullptr, nullptr, -90, 90, 0, flags);
  /**
   * LodexRadiusFilter:longitude:
   *
   * The longitude of the centre, in degrees.
   *
   * Since: 0.2
   */
  props[PROP_LONGITUDE] = g_param_spec_double ("longitude", nullptr, nullptr, -180, 180, 0, flags);
  /**
   * LodexRadiusFilter:radius:
   *
   * The distance from the centre, in metres, that a place may have at most.
   *
   * Since: 0.2
   */
  props[PROP_RADIUS] = g_param_spec_double ("radius", nullptr, nullptr, 0, G_MAXDOUBLE, 0, flags);
  for (guint id = PROP_LATITUDE; id < N_PROPS; id++)
    g_object_class_install_property (object_class, id, props[id]);
}

static void
lodex_radius_filter_init (LodexRadiusFilter *self)
{
  new (get_priv (self)) LodexRadiusFilterPrivate{}; /* GObject only zero-fills */
}

/**
 * lodex_radius_filter_new:
 * @set: the set to filter
 * @latitude: the latitude of the centre, in degrees, -90 to 90
 * @longitude: the longitude of the centre, in degrees, -180 to 180
 * @radius: metres, 0 or more
 *
 * A filter of the places of @set within @radius metres of the point.
 *
 * Returns: (transfer full): a new filter
 *
 * Since: 0.2
 */
LodexRadiusFilter *
lodex_radius_filter_new (LodexSet *set, gdouble latitude, gdouble longitude, gdouble radius)
{
  g_return_val_if_fail (LODEX_IS_SET (set), NULL);
  return LODEX_RADIUS_FILTER (g_object_new (LODEX_TYPE_RADIUS_FILTER, "set", set, "latitude", latitude, "longitude",
                                            longitude, "radius", radius, nullptr));
}

/* The filter as a set */

namespace
{

constexpr double earth_radius = 6371008.8;
constexpr double radians_per_degree = G_PI / 180;

/* The bounds of every position within the circle: one or two ranges of
 * longitude, or none (every longitude) when it holds a pole. */
struct Bounds
{
  double south, north;
  double west[2], east[2];
  int ranges;
};

Bounds
bounds_of (const LodexRadiusFilterPrivate *priv)
{
  /* a hair wider: the R*Tree's boxes are rounded outwards, the distance not */
  const double angle = priv->radius / earth_radius * (1 + 1e-9) + 1e-9;
  Bounds b{};
  b.south = priv->latitude - angle / radians_per_degree;
  b.north = priv->latitude + angle / radians_per_degree;
  const double s = std::sin (std::min (angle, G_PI / 2)) / std::cos (priv->latitude * radians_per_degree);
  if (b.south <= -90 || b.north >= 90 || angle >= G_PI / 2 || !(s < 1))
    {
      b.south = std::max (b.south, -90.0);
      b.north = std::min (b.north, 90.0);
      return b;
    }
  const double half = std::asin (s) / radians_per_degree + 1e-9;
  b.ranges = 1;
  b.west[0] = priv->longitude - half;
  b.east[0] = priv->longitude + half;
  if (b.west[0] < -180)
    b.ranges = 2, b.west[1] = b.west[0] + 360, b.east[1] = 180, b.west[0] = -180;
  else if (b.east[0] > 180)
    b.ranges = 2, b.west[1] = -180, b.east[1] = b.east[0] - 360, b.east[0] = 180;
  return b;
}

gchar *
compose (LodexSet *set, const gchar *inner)
{
  LodexRadiusFilterPrivate *priv = get_priv (set);
  g_free (priv->suffix);
  priv->suffix = lodex::unused_suffix (inner, {"radius", "radius_south"});
  const char *s = priv->suffix;
  const Bounds b = bounds_of (priv);

  GString *text = g_string_new (nullptr);
  if (lodex::composing_for_rings)
    {
      /* the rings read the R*Tree within the circle's box themselves: a
       * second range of candidates would only compete with theirs */
      g_string_printf (text, "SELECT * from (%s) WHERE 1", inner);
    }
  else
    {
      g_string_printf (text, "SELECT * from (%s) WHERE id IN (", inner);
      for (int r = 0; r < std::max (b.ranges, 1); r++)
        {
          g_string_append_printf (text, "%sSELECT place_id FROM places_rtree WHERE max_lat >= :radius_south%s AND min_lat <= :radius_north%s",
                                  r ? " UNION ALL " : "", s, s);
          if (b.ranges)
            g_string_append_printf (text, " AND max_long >= :radius_west%d%s AND min_long <= :radius_east%d%s", r, s, r, s);
        }
      g_string_append (text, ")");
    }
  g_string_append_printf (text, " AND lodex_surface_distance (latitude, longitude, :radius_latitude%s, "
                                ":radius_longitude%s) <= :radius%s",
                          s, s, s);
  return g_string_free (text, FALSE);
}

bool
bind (LodexSet *set, sqlite3_stmt *statement)
{
  LodexRadiusFilterPrivate *priv = get_priv (set);
  const Bounds b = bounds_of (priv);
  const struct
  {
    const char *name;
    double value;
  } values[] = {
    {":radius_south", b.south},
    {":radius_north", b.north},
    {":radius_west0", b.west[0]},
    {":radius_east0", b.east[0]},
    {":radius_west1", b.west[1]},
    {":radius_east1", b.east[1]},
    {":radius_latitude", priv->latitude},
    {":radius_longitude", priv->longitude},
    {":radius", priv->radius},
  };
  for (const auto &v : values)
    {
      char name[48];
      g_snprintf (name, sizeof name, "%s%s", v.name, priv->suffix);
      int index = sqlite3_bind_parameter_index (statement, name);
      if (index && sqlite3_bind_double (statement, index, v.value) != SQLITE_OK)
        return lodex::check (false, "_lodex_radius_filter_set_bind", "res == SQLITE_OK");
    }
  return true;
}

LodexPlace *
radius_filter_first (LodexSet *set)
{
  g_return_val_if_fail (LODEX_IS_RADIUS_FILTER (set), NULL);
  return get_priv (set)->search.first (set, set, 0, -1);
}

LodexPlace *
radius_filter_next (LodexSet *set)
{
  g_return_val_if_fail (LODEX_IS_RADIUS_FILTER (set), NULL);
  return get_priv (set)->search.next (set, "lodex_radius_filter_set_next");
}

constexpr lodex::WrapperKind kind = {
  "lodex_radius_filter_set_next",
  [] (LodexSet *set) { return &get_priv (set)->search.wrapped; },
  compose,
  bind,
  nullptr,
};

} // namespace

static void
lodex_radius_filter_set_init (LodexSetInterface *iface)
{
  lodex::implement_set (iface, &kind);
  iface->first = radius_filter_first;
  iface->next = radius_filter_next;
}

bool
lodex::radius_circle (LodexSet *set, double *latitude, double *longitude, double *radius) noexcept
{
  if (!LODEX_IS_RADIUS_FILTER (set))
    return false;
  LodexRadiusFilterPrivate *priv = get_priv (set);
  *latitude = priv->latitude;
  *longitude = priv->longitude;
  *radius = priv->radius;
  return true;
}
