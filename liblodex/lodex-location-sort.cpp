/* LodexLocationSort: the places of an inner set by distance from a point. */

#include "lodex-set-wrapper.hpp"
#include "lodex-location-sort-private.h"
#include "lodex-location-sort-rings.hpp"
#include "lodex-search-private.hpp"

#include <algorithm>
#include <cmath>

struct _LodexLocationSort
{
  GObject parent_instance;
};

struct LodexLocationSortPrivate
{
  lodex::WrappedSet wrapped;
  gdouble latitude;
  gdouble longitude;
  gdouble altitude;
  lodex::RingWalk rings; /* the walk under way, unless it is wrapped.walk */
  gdouble distance;      /* of the place the walk gave last */
};

static LodexPlace *remember_distance (LodexLocationSortPrivate *priv, LodexPlace *place);

static void lodex_location_sort_set_init (LodexSetInterface *iface);

G_DEFINE_TYPE_WITH_CODE (LodexLocationSort, lodex_location_sort, G_TYPE_OBJECT, G_ADD_PRIVATE (LodexLocationSort) G_IMPLEMENT_INTERFACE (LODEX_TYPE_SET, lodex_location_sort_set_init))

enum
{
  PROP_0,
  PROP_SET,
  PROP_LATITUDE,
  PROP_LONGITUDE,
  PROP_ALTITUDE,
  N_PROPS
};

static GParamSpec *props[N_PROPS];

static LodexLocationSortPrivate *
get_priv (LodexLocationSort *self)
{
  return static_cast<LodexLocationSortPrivate *> (lodex_location_sort_get_instance_private (self));
}

/* Distance */

namespace
{

constexpr gdouble earth_radius = 6371008.8; /* mean radius, metres */
constexpr gdouble radians_per_degree = G_PI / 180.0;

} // namespace

void
_lodex_location_sort_origin_init (LodexDistanceOrigin *origin,
                                  gdouble latitude,
                                  gdouble longitude,
                                  gdouble altitude)
{
  origin->latitude = latitude * radians_per_degree;
  origin->longitude = longitude * radians_per_degree;
  origin->altitude = altitude;
  origin->cos_latitude = std::cos (origin->latitude);
}

/* Haversine on a sphere, combined with the altitude difference. */
gdouble
_lodex_location_sort_distance (const LodexDistanceOrigin *origin,
                               gdouble latitude,
                               gdouble longitude,
                               gdouble altitude)
{
  const gdouble phi = latitude * radians_per_degree;
  const gdouble sin_half_dphi = std::sin ((phi - origin->latitude) / 2);
  const gdouble sin_half_dlambda = std::sin ((longitude * radians_per_degree - origin->longitude) / 2);
  gdouble h = sin_half_dphi * sin_half_dphi
              + origin->cos_latitude * std::cos (phi) * sin_half_dlambda * sin_half_dlambda;
  h = std::clamp (h, 0.0, 1.0); /* rounding, or latitudes beyond the poles */
  const gdouble surface = 2 * earth_radius * std::asin (std::sqrt (h));
  const gdouble dalt = altitude - origin->altitude;
  const gdouble distance = std::sqrt (surface * surface + dalt * dalt);
  /* an infinite coordinate, which another program may write: last, not a
   * NULL that would sort first */
  return std::isnan (distance) ? INFINITY : distance;
}

/* "distance_func" is registered once per connection, never replaced: SQLite
 * refuses that while any statement of the connection is active. Each walk
 * copies its point into the connection's context before its first step, and
 * ORDER BY computes every distance in that step, so walks of different sorts
 * may interleave. */

namespace
{

struct DistanceContext
{
  sqlite3 *db;
  LodexDistanceOrigin origin;
  gboolean log; /* debug output wanted: tested once per walk, not per row */
};

/* Recursive: a failed registration runs the destructor inside the call. */
GRecMutex contexts_lock;
GHashTable *contexts; /* sqlite3 * -> DistanceContext * */

DistanceContext *
lookup_context (sqlite3 *db)
{
  g_rec_mutex_lock (&contexts_lock);
  auto context = static_cast<DistanceContext *> (contexts ? g_hash_table_lookup (contexts, db) : nullptr);
  g_rec_mutex_unlock (&contexts_lock);
  return context;
}

/* The registration's xDestroy: the connection is closing. */
void
context_free (void *data)
{
  auto context = static_cast<DistanceContext *> (data);
  g_rec_mutex_lock (&contexts_lock);
  if (contexts && g_hash_table_lookup (contexts, context->db) == context)
    g_hash_table_remove (contexts, context->db);
  g_rec_mutex_unlock (&contexts_lock);
  g_free (context);
}

} // namespace

static void
lodex_location_sort_distance_func (sqlite3_context *sql_context, int argc, sqlite3_value **argv)
{
  g_assert (argc == 3);
  auto context = static_cast<DistanceContext *> (sqlite3_user_data (sql_context));

  /* a NULL altitude reads as 0.0 */
  gdouble distance = _lodex_location_sort_distance (&context->origin, sqlite3_value_double (argv[0]),
                                                    sqlite3_value_double (argv[1]),
                                                    sqlite3_value_double (argv[2]));
  if (context->log)
    g_debug ("%f", distance);
  sqlite3_result_double (sql_context, distance);
}

/* The context of @db's "distance_func", registered on first use; NULL after a
 * warning when SQLite refuses. */
static DistanceContext *
ensure_distance_func (sqlite3 *db)
{
  g_rec_mutex_lock (&contexts_lock);
  auto context = static_cast<DistanceContext *> (contexts ? g_hash_table_lookup (contexts, db) : nullptr);
  if (!context)
    {
      auto fresh = g_new0 (DistanceContext, 1);
      fresh->db = db;
      _lodex_location_sort_origin_init (&fresh->origin, 0.0, 0.0, 0.0);
      int res = sqlite3_create_function_v2 (db, "distance_func", 3, SQLITE_ANY, fresh,
                                            lodex_location_sort_distance_func, nullptr, nullptr,
                                            context_free);
      if (res == SQLITE_OK)
        {
          if (!contexts)
            contexts = g_hash_table_new (nullptr, nullptr);
          g_hash_table_insert (contexts, db, fresh);
          context = fresh;
        }
      else /* SQLite has taken @fresh: it frees it with the registration */
        g_warning ("Error adding custom function to database: %s", sqlite3_errmsg (db));
    }
  g_rec_mutex_unlock (&contexts_lock);
  return context;
}

gboolean
_lodex_location_sort_register (sqlite3 *db)
{
  return ensure_distance_func (db) != nullptr;
}

/* Object */

static void
lodex_location_sort_dispose (GObject *object)
{
  LodexLocationSortPrivate *priv = get_priv (LODEX_LOCATION_SORT (object));
  priv->rings.end ();
  priv->wrapped.dispose ();
  G_OBJECT_CLASS (lodex_location_sort_parent_class)->dispose (object);
}

static void
lodex_location_sort_finalize (GObject *object)
{
  LodexLocationSortPrivate *priv = get_priv (LODEX_LOCATION_SORT (object));
  priv->wrapped.finalize ();
  priv->~LodexLocationSortPrivate ();
  G_OBJECT_CLASS (lodex_location_sort_parent_class)->finalize (object);
}

static gdouble LodexLocationSortPrivate::*
point_member (guint prop_id)
{
  switch (prop_id)
    {
    case PROP_LATITUDE:
      return &LodexLocationSortPrivate::latitude;
    case PROP_LONGITUDE:
      return &LodexLocationSortPrivate::longitude;
    case PROP_ALTITUDE:
      return &LodexLocationSortPrivate::altitude;
    default:
      return nullptr;
    }
}

static void
lodex_location_sort_get_property (GObject *object, guint prop_id, GValue *value, GParamSpec *pspec)
{
  LodexLocationSortPrivate *priv = get_priv (LODEX_LOCATION_SORT (object));

  if (auto member = point_member (prop_id))
    g_value_set_double (value, priv->*member);
  else if (prop_id == PROP_SET)
    g_value_set_object (value, priv->wrapped.inner);
  else
    G_OBJECT_WARN_INVALID_PROPERTY_ID (object, prop_id, pspec);
}

static void
lodex_location_sort_set_property (GObject *object, guint prop_id, const GValue *value, GParamSpec *pspec)
{
  LodexLocationSort *self = LODEX_LOCATION_SORT (object);
  LodexLocationSortPrivate *priv = get_priv (self);

  if (prop_id == PROP_SET)
    {
      priv->wrapped.set_inner (LODEX_SET (self), value);
      return;
    }

  auto member = point_member (prop_id);
  if (!member)
    {
      G_OBJECT_WARN_INVALID_PROPERTY_ID (object, prop_id, pspec);
      return;
    }
  priv->*member = g_value_get_double (value);
  /* a walk under way was ordered from the old point */
  priv->rings.end ();
  priv->wrapped.invalidate (LODEX_SET (self));
}

static void
lodex_location_sort_class_init (LodexLocationSortClass *klass)
{
  GObjectClass *object_class = G_OBJECT_CLASS (klass);
  object_class->dispose = lodex_location_sort_dispose;
  object_class->finalize = lodex_location_sort_finalize;
  object_class->get_property = lodex_location_sort_get_property;
  object_class->set_property = lodex_location_sort_set_property;

  const auto flags = GParamFlags (G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS);
  /**
   * LodexLocationSort:latitude:
   *
   * The latitude, in degrees, of the point that distances are measured
   * from. Setting it ends a walk under way.
   *
   * Since: 0.1
   */
  props[PROP_LATITUDE] = g_param_spec_double ("latitude", "Latitude", "Latitude", -G_MAXDOUBLE, G_MAXDOUBLE,
                                              0.0, flags);
  /**
   * LodexLocationSort:longitude:
   *
   * The longitude, in degrees, of that point.
   *
   * Since: 0.1
   */
  props[PROP_LONGITUDE] = g_param_spec_double ("longitude", "Longitude", "Longitude", -G_MAXDOUBLE,
                                               G_MAXDOUBLE, 0.0, flags);
  /**
   * LodexLocationSort:altitude:
   *
   * The altitude, in metres, of that point.
   *
   * Since: 0.1
   */
  props[PROP_ALTITUDE] = g_param_spec_double ("altitude", "Altitude", "Altitude", -G_MAXDOUBLE, G_MAXDOUBLE,
                                              0.0, flags);
  /**
   * LodexLocationSort:set:
   *
   * The set whose places are sorted. Construct-only.
   *
   * Since: 0.1
   */
  lodex::WrappedSet::install_property (object_class, PROP_SET, "The set for the sort");
  for (guint prop_id = PROP_LATITUDE; prop_id < N_PROPS; prop_id++)
    g_object_class_install_property (object_class, prop_id, props[prop_id]);
}

static void
lodex_location_sort_init (LodexLocationSort *self)
{
  new (get_priv (self)) LodexLocationSortPrivate{}; /* GObject only zero-fills */
  get_priv (self)->distance = -1;
}

/**
 * lodex_location_sort_new:
 * @set: the set to sort
 *
 * The reference point is set afterwards through the properties.
 *
 * Returns: (transfer full) (nullable): a new sort, or %NULL when @set is %NULL
 *
 * Since: 0.1
 */
LodexLocationSort *
lodex_location_sort_new (LodexSet *set)
{
  g_return_val_if_fail (set != NULL, NULL);
  return LODEX_LOCATION_SORT (g_object_new (LODEX_TYPE_LOCATION_SORT, "set", set, nullptr));
}

/* The sort as a set */

/* The text of the whole sort: what the sets built around it nest, and what
 * its own walk gives, ring by ring. */
static gchar *
compose (LodexSet *set, const gchar *inner)
{
  if (lodex::composing_for_count) /* the order cannot change a count */
    return g_strdup_printf ("SELECT * from (%s)", inner);
  return g_strdup_printf ("SELECT * from (%s) ORDER BY %s", inner, lodex::distance_order);
}

/* Binding is the last thing before the first step, also when this sort is
 * wrapped in another set: the point goes into the connection's context here. */
static bool
bind (LodexSet *set, sqlite3_stmt *statement)
{
  LodexLocationSortPrivate *priv = get_priv (LODEX_LOCATION_SORT (set));

  DistanceContext *context = lookup_context (sqlite3_db_handle (statement));
  if (!lodex::check (context != nullptr, "_lodex_location_sort_set_bind", "context != NULL"))
    return false;
  _lodex_location_sort_origin_init (&context->origin, priv->latitude, priv->longitude, priv->altitude);
  context->log = !g_log_writer_default_would_drop (G_LOG_LEVEL_DEBUG, nullptr);
  return true;
}

static constexpr lodex::WrapperKind kind = {
  "lodex_location_sort_set_next",
  [] (LodexSet *set) { return &get_priv (LODEX_LOCATION_SORT (set))->wrapped; },
  compose,
  bind,
  lodex::distance_order,
};

/* The sort's own walk goes by rings. */
static LodexPlace *
lodex_location_sort_set_first (LodexSet *set)
{
  g_return_val_if_fail (LODEX_IS_LOCATION_SORT (set), NULL);
  LodexLocationSortPrivate *priv = get_priv (LODEX_LOCATION_SORT (set));
  priv->rings.end ();
  priv->wrapped.walk.end ();
  if (!lodex::check (priv->wrapped.inner != nullptr, "lodex_set_first", "priv->set != NULL"))
    return nullptr;
  return remember_distance (priv, priv->rings.first (set, priv->wrapped.inner, {priv->latitude, priv->longitude, priv->altitude},
                                                     bind, &priv->wrapped.walk));
}

static LodexPlace *
lodex_location_sort_set_next (LodexSet *set)
{
  g_return_val_if_fail (LODEX_IS_LOCATION_SORT (set), NULL);
  LodexLocationSortPrivate *priv = get_priv (LODEX_LOCATION_SORT (set));
  if (!lodex::check (priv->rings.walking () || priv->wrapped.walk, G_STRFUNC, "priv->statement != NULL"))
    return nullptr;
  return remember_distance (priv, priv->rings.next (set, &priv->wrapped.walk));
}

static void
lodex_location_sort_set_init (LodexSetInterface *iface)
{
  lodex::implement_set (iface, &kind);
  iface->first = lodex_location_sort_set_first;
  iface->next = lodex_location_sort_set_next;
}

static LodexPlace *
remember_distance (LodexLocationSortPrivate *priv, LodexPlace *place)
{
  priv->distance = -1;
  if (const LodexPlaceRow *row = place ? _lodex_place_get_row (place) : nullptr)
    {
      LodexDistanceOrigin origin;
      _lodex_location_sort_origin_init (&origin, priv->latitude, priv->longitude, priv->altitude);
      priv->distance = _lodex_location_sort_distance (&origin, row->latitude, row->longitude,
                                                      (row->fields & LODEX_PLACE_FIELD_ALTITUDE) ? row->altitude : 0.0);
    }
  return place;
}

/**
 * lodex_location_sort_get_distance:
 * @sort: a #LodexLocationSort
 *
 * The distance that ordered the place the walk of @sort gave last, with
 * lodex_set_first() or lodex_set_next(): what a program would otherwise
 * work out again.
 *
 * Returns: metres, or -1 when the walk has given no place
 *
 * Since: 0.2
 */
gdouble
lodex_location_sort_get_distance (LodexLocationSort *sort)
{
  g_return_val_if_fail (LODEX_IS_LOCATION_SORT (sort), -1);
  return get_priv (sort)->distance;
}
