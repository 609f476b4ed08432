/* LodexLocationFilter: the places of an inner set inside a box. */

#include "lodex-set-wrapper.hpp"
#include "lodex-db-private.hpp"

#include <algorithm>
#include <cstring>

struct _LodexLocationFilter
{
  GObject parent_instance;
};

struct LodexLocationFilterPrivate
{
  lodex::WrappedSet wrapped;
  gdouble min_lat;
  gdouble max_lat;
  gdouble min_long;
  gdouble max_long;
  gdouble min_alt;
  gdouble max_alt;
  gboolean ignore_altitude;
  guint serial;
  char suffix[16]; /* of this level's parameter names: chosen by get_query, used by bind */
};

static void lodex_location_filter_set_init (LodexSetInterface *iface);

G_DEFINE_TYPE_WITH_CODE (LodexLocationFilter, lodex_location_filter, G_TYPE_OBJECT, G_ADD_PRIVATE (LodexLocationFilter) G_IMPLEMENT_INTERFACE (LODEX_TYPE_SET, lodex_location_filter_set_init))

enum
{
  PROP_0,
  PROP_SET,
  PROP_MIN_LAT,
  PROP_MAX_LAT,
  PROP_MIN_LONG,
  PROP_MAX_LONG,
  PROP_MIN_ALT,
  PROP_MAX_ALT,
  PROP_IGNORE_ALTITUDE,
  N_PROPS
};

static GParamSpec *props[N_PROPS];

static LodexLocationFilterPrivate *
get_priv (LodexLocationFilter *self)
{
  return static_cast<LodexLocationFilterPrivate *> (lodex_location_filter_get_instance_private (self));
}

static void
lodex_location_filter_dispose (GObject *object)
{
  get_priv (LODEX_LOCATION_FILTER (object))->wrapped.dispose ();
  G_OBJECT_CLASS (lodex_location_filter_parent_class)->dispose (object);
}

static void
lodex_location_filter_finalize (GObject *object)
{
  LodexLocationFilterPrivate *priv = get_priv (LODEX_LOCATION_FILTER (object));
  priv->wrapped.finalize ();
  priv->~LodexLocationFilterPrivate ();
  G_OBJECT_CLASS (lodex_location_filter_parent_class)->finalize (object);
}

static gdouble LodexLocationFilterPrivate::*
bound_member (guint prop_id)
{
  switch (prop_id)
    {
    case PROP_MIN_LAT:
      return &LodexLocationFilterPrivate::min_lat;
    case PROP_MAX_LAT:
      return &LodexLocationFilterPrivate::max_lat;
    case PROP_MIN_LONG:
      return &LodexLocationFilterPrivate::min_long;
    case PROP_MAX_LONG:
      return &LodexLocationFilterPrivate::max_long;
    case PROP_MIN_ALT:
      return &LodexLocationFilterPrivate::min_alt;
    case PROP_MAX_ALT:
      return &LodexLocationFilterPrivate::max_alt;
    default:
      return nullptr;
    }
}

static void
lodex_location_filter_get_property (GObject *object, guint prop_id, GValue *value, GParamSpec *pspec)
{
  LodexLocationFilterPrivate *priv = get_priv (LODEX_LOCATION_FILTER (object));

  if (auto member = bound_member (prop_id))
    g_value_set_double (value, priv->*member);
  else if (prop_id == PROP_SET)
    g_value_set_object (value, priv->wrapped.inner);
  else if (prop_id == PROP_IGNORE_ALTITUDE)
    g_value_set_boolean (value, priv->ignore_altitude);
  else
    G_OBJECT_WARN_INVALID_PROPERTY_ID (object, prop_id, pspec);
}

static void
lodex_location_filter_set_property (GObject *object, guint prop_id, const GValue *value, GParamSpec *pspec)
{
  LodexLocationFilter *self = LODEX_LOCATION_FILTER (object);
  LodexLocationFilterPrivate *priv = get_priv (self);

  if (prop_id == PROP_SET)
    {
      priv->wrapped.set_inner (LODEX_SET (self), value);
      return;
    }

  if (auto member = bound_member (prop_id))
    priv->*member = g_value_get_double (value);
  else if (prop_id == PROP_IGNORE_ALTITUDE)
    priv->ignore_altitude = g_value_get_boolean (value);
  else
    {
      G_OBJECT_WARN_INVALID_PROPERTY_ID (object, prop_id, pspec);
      return;
    }
  /* a walk under way was bound with the old box */
  priv->wrapped.invalidate (LODEX_SET (self));
}

static void
lodex_location_filter_class_init (LodexLocationFilterClass *klass)
{
  GObjectClass *object_class = G_OBJECT_CLASS (klass);
  object_class->dispose = lodex_location_filter_dispose;
  object_class->finalize = lodex_location_filter_finalize;
  object_class->get_property = lodex_location_filter_get_property;
  object_class->set_property = lodex_location_filter_set_property;

  const auto flags = GParamFlags (G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS);

  struct
  {
    guint id;
    const char *name;
    const char *text;
  } const bounds[] = {
    {PROP_MIN_LAT, "min-lat", "Minimum latitude"},
    {PROP_MIN_LONG, "min-long", "Minimum longitude"},
    {PROP_MIN_ALT, "min-alt", "Minimum altitude"},
    {PROP_MAX_LAT, "max-lat", "Maximum latitude"},
    {PROP_MAX_LONG, "max-long", "Maximum longitude"},
    {PROP_MAX_ALT, "max-alt", "Maximum altitude"},
  };
  /**
   * LodexLocationFilter:set:
   *
   * The set whose places are filtered. Construct-only.
   *
   * Since: 0.1
   */
  lodex::WrappedSet::install_property (object_class, PROP_SET, "The set for the filter");
  /**
   * LodexLocationFilter:min-lat:
   *
   * The southern edge of the box, in degrees, included.
   *
   * Since: 0.1
   */
  /**
   * LodexLocationFilter:max-lat:
   *
   * The northern edge of the box, in degrees, included.
   *
   * Since: 0.1
   */
  /**
   * LodexLocationFilter:min-long:
   *
   * The western edge of the box, in degrees, included. Greater than
   * #LodexLocationFilter:max-long for a box that crosses the 180th meridian.
   *
   * Since: 0.1
   */
  /**
   * LodexLocationFilter:max-long:
   *
   * The eastern edge of the box, in degrees, included.
   *
   * Since: 0.1
   */
  /**
   * LodexLocationFilter:min-alt:
   *
   * The lowest altitude that passes, in metres, unless
   * #LodexLocationFilter:ignore-altitude is set.
   *
   * Since: 0.1
   */
  /**
   * LodexLocationFilter:max-alt:
   *
   * The highest altitude that passes, in metres, unless
   * #LodexLocationFilter:ignore-altitude is set.
   *
   * Since: 0.1
   */
  for (const auto &bound : bounds)
    {
      props[bound.id] = g_param_spec_double (bound.name, bound.text, bound.text, -G_MAXDOUBLE, G_MAXDOUBLE,
                                             0.0, flags);
      g_object_class_install_property (object_class, bound.id, props[bound.id]);
    }
  /**
   * LodexLocationFilter:ignore-altitude:
   *
   * Whether the altitude band is ignored; %TRUE by default. A place without
   * altitude passes any band.
   *
   * Since: 0.1
   */
  props[PROP_IGNORE_ALTITUDE] = g_param_spec_boolean ("ignore-altitude", "Ignore altitude", "Ignore altitude",
                                                      TRUE, flags);
  g_object_class_install_property (object_class, PROP_IGNORE_ALTITUDE, props[PROP_IGNORE_ALTITUDE]);
}

static void
lodex_location_filter_init (LodexLocationFilter *self)
{
  static gint serials;
  LodexLocationFilterPrivate *priv = new (get_priv (self)) LodexLocationFilterPrivate{}; /* GObject only zero-fills */
  priv->ignore_altitude = TRUE;
  priv->serial = guint (g_atomic_int_add (&serials, 1));
}

/**
 * lodex_location_filter_new:
 * @set: the set to filter
 *
 * The box is set afterwards through the properties, typically in one
 * g_object_set() call.
 *
 * Returns: (transfer full) (nullable): a new filter, or %NULL when @set is %NULL
 *
 * Since: 0.1
 */
LodexLocationFilter *
lodex_location_filter_new (LodexSet *set)
{
  g_return_val_if_fail (set != NULL, NULL);
  return LODEX_LOCATION_FILTER (g_object_new (LODEX_TYPE_LOCATION_FILTER, "set", set, nullptr));
}

/* The filter as a set */

/* A place found through the R*Tree costs about as much as this many read
 * in the index of latitudes (three lookups, against one entry of a range). */
static double rtree_cost = 8;

void
_lodex_location_filter_set_rtree_cost (gdouble cost)
{
  rtree_cost = cost >= 0 ? cost : 8;
}

/* Whether the R*Tree of positions finds the box's places faster than the
 * index of latitudes, which reads the whole band of the box's latitudes
 * around the globe: a box of under an eighth of the longitudes whose band
 * holds rtree_cost times as many places as the box. Both are counted, the
 * band no further than that: a store where the box holds a large part of
 * the band (a small one) reads the band. */
static bool
narrow (LodexSet *set)
{
  LodexLocationFilterPrivate *priv = get_priv (LODEX_LOCATION_FILTER (set));
  double width = priv->max_long - priv->min_long;
  if (width < 0)
    width += 360;
  if (!(width < 45) || !(priv->min_lat <= priv->max_lat))
    return false;
  g_autoptr (LodexStore) store = lodex_set_get_store (set);
  if (!store || !_lodex_store_indexes_positions (store))
    return false;
  if (rtree_cost == 0)
    return true;

  sqlite3 *db = _lodex_set_get_db (LODEX_SET (store));
  const bool crosses = priv->min_long > priv->max_long;
  lodex::db::Statement in_box = lodex::db::borrow (
    db, "SELECT (SELECT count(*) FROM (SELECT 1 FROM places_rtree WHERE max_lat >= ?1 AND min_lat <= ?2 "
        "AND max_long >= ?3 AND min_long <= ?4 LIMIT ?7)) + (SELECT count(*) FROM (SELECT 1 FROM places_rtree "
        "WHERE max_lat >= ?1 AND min_lat <= ?2 AND max_long >= ?5 AND min_long <= ?6 LIMIT ?7))");
  lodex::db::Statement in_band = lodex::db::borrow (
    db, "SELECT count(*) FROM (SELECT 1 FROM places WHERE latitude >= ?1 AND latitude <= ?2 LIMIT ?3)");
  if (!in_box || !in_band)
    return false;
  /* across the 180th meridian, two ranges; else the second is empty */
  const double ranges[4] = {priv->min_long, crosses ? 180.0 : priv->max_long, crosses ? -180.0 : 1.0,
                            crosses ? priv->max_long : 0.0};
  sqlite3_stmt *s = in_box.get ();
  sqlite3_bind_double (s, 1, priv->min_lat);
  sqlite3_bind_double (s, 2, priv->max_lat);
  for (int i = 0; i < 4; i++)
    sqlite3_bind_double (s, i + 3, ranges[i]);
  sqlite3_bind_int64 (s, 7, 65536);
  if (_lodex_db_step (s) != SQLITE_ROW)
    return false;
  const gint64 box = sqlite3_column_int64 (s, 0);
  const gint64 enough = gint64 (rtree_cost * double (std::max<gint64> (box, 1)));
  s = in_band.get ();
  sqlite3_bind_double (s, 1, priv->min_lat);
  sqlite3_bind_double (s, 2, priv->max_lat);
  sqlite3_bind_int64 (s, 3, enough);
  return _lodex_db_step (s) == SQLITE_ROW && sqlite3_column_int64 (s, 0) >= enough;
}

static gchar *
compose (LodexSet *set, const gchar *inner)
{
  LodexLocationFilterPrivate *priv = get_priv (LODEX_LOCATION_FILTER (set));

  /* nested in another filter, shared names would bind one box for both */
  if (strstr (inner, ":lat_min"))
    g_snprintf (priv->suffix, sizeof priv->suffix, "_%u", priv->serial);
  else
    priv->suffix[0] = '\0';
  const char *s = priv->suffix;

  GString *text = g_string_new (nullptr);
  g_string_printf (text, "SELECT * from (%s) WHERE ", inner);
  const bool crosses = priv->min_long > priv->max_long; /* the 180th meridian */
  if (narrow (set))
    {
      /* candidates: the box of each entry holds its position, rounded
       * outwards; the conditions below keep what is really inside */
      const char *range[] = {"max_long >= :long_min%s AND min_long <= :long_max%s", "max_long >= :long_min%s",
                             "min_long <= :long_max%s"};
      g_string_append (text, "id IN (");
      for (int r = crosses ? 1 : 0; r < (crosses ? 3 : 1); r++)
        {
          g_string_append_printf (text, "%sSELECT place_id FROM places_rtree WHERE max_lat >= :lat_min%s AND min_lat <= :lat_max%s AND ",
                                  r > 1 ? " UNION ALL " : "", s, s);
          g_string_append_printf (text, range[r], s, s);
        }
      g_string_append (text, ") AND ");
    }
  g_string_append_printf (text, "latitude >= :lat_min%s AND latitude <= :lat_max%s AND ", s, s);
  if (crosses)
    g_string_append_printf (text, "(longitude >= :long_min%s OR longitude <= :long_max%s)", s, s);
  else
    g_string_append_printf (text, "longitude >= :long_min%s AND longitude <= :long_max%s", s, s);
  if (!priv->ignore_altitude)
    g_string_append_printf (text, " AND ((altitude >= :alt_min%s AND altitude <= :alt_max%s) OR altitude IS NULL)", s, s);

  return g_string_free (text, FALSE);
}

static bool
bind (LodexSet *set, sqlite3_stmt *statement)
{
  LodexLocationFilterPrivate *priv = get_priv (LODEX_LOCATION_FILTER (set));

  struct
  {
    const char *name;
    gdouble value;
  } const values[] = {
    {":lat_min", priv->min_lat},
    {":lat_max", priv->max_lat},
    {":long_min", priv->min_long},
    {":long_max", priv->max_long},
    {":alt_min", priv->min_alt},
    {":alt_max", priv->max_alt},
  };
  const gsize n_values = priv->ignore_altitude ? 4 : 6;
  for (gsize i = 0; i < n_values; i++)
    {
      char name[32];
      g_snprintf (name, sizeof name, "%s%s", values[i].name, priv->suffix);
      int res = sqlite3_bind_double (statement, sqlite3_bind_parameter_index (statement, name), values[i].value);
      if (!lodex::check (res == SQLITE_OK, "_lodex_location_filter_set_bind", "res == SQLITE_OK"))
        return false;
    }
  return true;
}

static constexpr lodex::WrapperKind kind = {
  "lodex_location_filter_set_next",
  [] (LodexSet *set) { return &get_priv (LODEX_LOCATION_FILTER (set))->wrapped; },
  compose,
  bind,
  nullptr,
};

static void
lodex_location_filter_set_init (LodexSetInterface *iface)
{
  lodex::implement_set (iface, &kind);
}
