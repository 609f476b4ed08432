/* LodexWaypoint: one point of a route; a plain value holder whose modified
 * flag tells a route walk what to write back. */

#include "lodex-private.h"

#include <cstdlib>

struct _LodexWaypoint
{
  GObject parent_instance;
};

/* the row first: the database layer and the exporters work on it */
struct LodexWaypointPrivate
{
  LodexWaypointRow row;
  gboolean has_altitude; /* without, the altitude reads 0.0 and is stored as NULL */
};

/**
 * LodexWaypoint:
 *
 * One point of a route. A waypoint is a plain value: it is stored by
 * lodex_route_add_waypoint(), and read anew, as new objects, by
 * lodex_route_get_waypoints() and lodex_route_foreach(); only the changes
 * made inside lodex_route_foreach() are written back.
 *
 * Since: 0.1
 */
G_DEFINE_TYPE_WITH_PRIVATE (LodexWaypoint, lodex_waypoint, G_TYPE_OBJECT)

enum
{
  PROP_0,
  PROP_ID,
  PROP_ROUTE_ID,
  PROP_NAME,
  PROP_DESC,
  PROP_SYM,
  PROP_TYPE,
  PROP_ORDER_WEIGHT,
  PROP_LATITUDE,
  PROP_LONGITUDE,
  PROP_ALTITUDE,
  PROP_SEGMENT_END,
  PROP_CTIME,
  PROP_HAS_ALTITUDE,
  N_PROPS
};

static GParamSpec *props[N_PROPS];

static LodexWaypointPrivate *
get_priv (LodexWaypoint *self)
{
  return static_cast<LodexWaypointPrivate *> (lodex_waypoint_get_instance_private (self));
}

static LodexWaypointRow *
get_row (LodexWaypoint *self)
{
  return &get_priv (self)->row;
}

static void
set_has_altitude (LodexWaypoint *self, gboolean has_altitude)
{
  LodexWaypointPrivate *priv = get_priv (self);
  has_altitude = !!has_altitude;
  if (priv->has_altitude == has_altitude)
    return;
  priv->has_altitude = has_altitude;
  if (!has_altitude)
    priv->row.altitude = 0.0;
  g_object_notify_by_pspec (G_OBJECT (self), props[PROP_HAS_ALTITUDE]);
}

static gchar *LodexWaypointRow::*
string_field (guint prop_id)
{
  switch (prop_id)
    {
    case PROP_ID:
      return &LodexWaypointRow::id;
    case PROP_ROUTE_ID:
      return &LodexWaypointRow::route_id;
    case PROP_NAME:
      return &LodexWaypointRow::name;
    case PROP_DESC:
      return &LodexWaypointRow::desc;
    case PROP_SYM:
      return &LodexWaypointRow::sym;
    case PROP_TYPE:
      return &LodexWaypointRow::type;
    default:
      return nullptr;
    }
}

static gdouble LodexWaypointRow::*
double_field (guint prop_id)
{
  switch (prop_id)
    {
    case PROP_ORDER_WEIGHT:
      return &LodexWaypointRow::order_weight;
    case PROP_LATITUDE:
      return &LodexWaypointRow::latitude;
    case PROP_LONGITUDE:
      return &LodexWaypointRow::longitude;
    case PROP_ALTITUDE:
      return &LodexWaypointRow::altitude;
    default:
      return nullptr;
    }
}

static void
lodex_waypoint_set_property (GObject *object, guint prop_id, const GValue *value, GParamSpec *pspec)
{
  LodexWaypointRow *row = get_row (LODEX_WAYPOINT (object));

  if (auto field = string_field (prop_id))
    _lodex_update_property_string (&(row->*field), value);
  else if (auto number = double_field (prop_id))
    {
      row->*number = g_value_get_double (value);
      if (prop_id == PROP_ALTITUDE)
        set_has_altitude (LODEX_WAYPOINT (object), TRUE);
    }
  else if (prop_id == PROP_HAS_ALTITUDE)
    set_has_altitude (LODEX_WAYPOINT (object), g_value_get_boolean (value));
  else if (prop_id == PROP_SEGMENT_END)
    row->segment_end = g_value_get_boolean (value);
  else if (prop_id == PROP_CTIME)
    row->ctime = g_value_get_int (value);
  else
    {
      G_OBJECT_WARN_INVALID_PROPERTY_ID (object, prop_id, pspec);
      return;
    }
  /* every write counts, the unchanged and the constructing ones too */
  row->modified = TRUE;
}

static void
lodex_waypoint_get_property (GObject *object, guint prop_id, GValue *value, GParamSpec *pspec)
{
  LodexWaypointRow *row = get_row (LODEX_WAYPOINT (object));

  if (auto field = string_field (prop_id))
    g_value_set_string (value, row->*field);
  else if (auto number = double_field (prop_id))
    g_value_set_double (value, row->*number);
  else if (prop_id == PROP_SEGMENT_END)
    g_value_set_boolean (value, row->segment_end);
  else if (prop_id == PROP_CTIME)
    g_value_set_int (value, row->ctime);
  else if (prop_id == PROP_HAS_ALTITUDE)
    g_value_set_boolean (value, get_priv (LODEX_WAYPOINT (object))->has_altitude);
  else
    G_OBJECT_WARN_INVALID_PROPERTY_ID (object, prop_id, pspec);
}

static void
lodex_waypoint_finalize (GObject *object)
{
  LodexWaypointRow *row = get_row (LODEX_WAYPOINT (object));
  for (guint prop_id = PROP_ID; prop_id <= PROP_TYPE; prop_id++)
    g_free (row->*string_field (prop_id));
  G_OBJECT_CLASS (lodex_waypoint_parent_class)->finalize (object);
}

/* Rows reach waypoints as text (column name, value): these let GObject
 * turn the text into the properties' types. */

static void
string_to_double (const GValue *from, GValue *to)
{
  const gchar *text = g_value_get_string (from);
  g_value_set_double (to, text ? g_ascii_strtod (text, nullptr) : 0.0); /* not the locale's */
}

static long
parse_long (const gchar *text)
{
  return text ? strtol (text, nullptr, 10) : 0;
}

static void
string_to_int (const GValue *from, GValue *to)
{
  long n = parse_long (g_value_get_string (from));
  g_value_set_int (to, gint (CLAMP (n, long (G_MININT), long (G_MAXINT))));
}

static void
string_to_boolean (const GValue *from, GValue *to)
{
  g_value_set_boolean (to, parse_long (g_value_get_string (from)) != 0);
}

static void
lodex_waypoint_class_init (LodexWaypointClass *klass)
{
  GObjectClass *object_class = G_OBJECT_CLASS (klass);

  object_class->set_property = lodex_waypoint_set_property;
  object_class->get_property = lodex_waypoint_get_property;
  object_class->finalize = lodex_waypoint_finalize;

  auto flags = GParamFlags (G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS);
  auto construct_only = GParamFlags (G_PARAM_READWRITE | G_PARAM_CONSTRUCT_ONLY | G_PARAM_STATIC_STRINGS);
  /**
   * LodexWaypoint:id:
   *
   * The waypoint's id, or %NULL until lodex_route_add_waypoint() stores it.
   * Construct-only.
   *
   * Since: 0.1
   */
  props[PROP_ID] = g_param_spec_string ("id", "ID", "ID", nullptr, construct_only);
  /* a column name: GObject stores it as "route-id", and finds it by either */
  /**
   * LodexWaypoint:route-id:
   *
   * The id of the route the waypoint belongs to, or %NULL. Also reachable as
   * "route-id". Construct-only.
   *
   * Since: 0.1
   */
  props[PROP_ROUTE_ID] = g_param_spec_string ("route_id", "Route ID", "Route ID", nullptr,
                                              GParamFlags (G_PARAM_READWRITE | G_PARAM_CONSTRUCT_ONLY
                                                           | G_PARAM_STATIC_NICK | G_PARAM_STATIC_BLURB));
  /**
   * LodexWaypoint:name:
   *
   * The waypoint's name.
   *
   * Since: 0.1
   */
  props[PROP_NAME] = g_param_spec_string ("name", "Name", "Name", nullptr, flags);
  /**
   * LodexWaypoint:desc:
   *
   * A description of the waypoint.
   *
   * Since: 0.1
   */
  props[PROP_DESC] = g_param_spec_string ("desc", "desc", "desc", nullptr, flags);
  /**
   * LodexWaypoint:sym:
   *
   * The name of the symbol to show for it.
   *
   * Since: 0.1
   */
  props[PROP_SYM] = g_param_spec_string ("sym", "Sym", "Sym", nullptr, flags);
  /**
   * LodexWaypoint:type:
   *
   * The kind of waypoint, as the application names it.
   *
   * Since: 0.1
   */
  props[PROP_TYPE] = g_param_spec_string ("type", "Type", "Type", nullptr, flags);
  /**
   * LodexWaypoint:order-weight:
   *
   * The waypoint's rank in its route: a route's waypoints come in ascending
   * order weight.
   *
   * Since: 0.1
   */
  props[PROP_ORDER_WEIGHT] = g_param_spec_double ("order-weight", "Order weight", "Order weight", 0.0,
                                                  G_MAXDOUBLE, 0.0, flags);
  /**
   * LodexWaypoint:latitude:
   *
   * Latitude in degrees.
   *
   * Since: 0.1
   */
  props[PROP_LATITUDE] = g_param_spec_double ("latitude", "Latitude", "Latitude", -G_MAXDOUBLE, G_MAXDOUBLE,
                                              0.0, flags);
  /**
   * LodexWaypoint:longitude:
   *
   * Longitude in degrees.
   *
   * Since: 0.1
   */
  props[PROP_LONGITUDE] = g_param_spec_double ("longitude", "Longitude", "Longitude", -G_MAXDOUBLE,
                                               G_MAXDOUBLE, 0.0, flags);
  /**
   * LodexWaypoint:altitude:
   *
   * Altitude in metres.
   *
   * Since: 0.1
   */
  props[PROP_ALTITUDE] = g_param_spec_double ("altitude", "Altitude", "Altitude", -G_MAXDOUBLE, G_MAXDOUBLE,
                                              0.0, flags);
  /**
   * LodexWaypoint:segment-end:
   *
   * Whether the waypoint ends a segment of its route.
   *
   * Since: 0.1
   */
  props[PROP_SEGMENT_END] = g_param_spec_boolean ("segment-end", "Segment end", "Segment end", FALSE, flags);
  /**
   * LodexWaypoint:ctime:
   *
   * When the waypoint was made, in seconds since the Epoch.
   *
   * Since: 0.1
   */
  props[PROP_CTIME] = g_param_spec_int ("ctime", "Creation time", "Creation time", 0, G_MAXINT, 0, flags);
  /**
   * LodexWaypoint:has-altitude:
   *
   * Whether the waypoint has an altitude. Setting #LodexWaypoint:altitude
   * sets it; clearing it removes the altitude, which then reads 0 and is
   * stored as none (a track point recorded without elevation, say).
   *
   * Since: 0.2
   */
  props[PROP_HAS_ALTITUDE] = g_param_spec_boolean ("has-altitude", nullptr, nullptr, TRUE,
                                                   GParamFlags (flags | G_PARAM_EXPLICIT_NOTIFY));
  g_object_class_install_properties (object_class, N_PROPS, props);

  g_value_register_transform_func (G_TYPE_STRING, G_TYPE_DOUBLE, string_to_double);
  g_value_register_transform_func (G_TYPE_STRING, G_TYPE_INT, string_to_int);
  g_value_register_transform_func (G_TYPE_STRING, G_TYPE_BOOLEAN, string_to_boolean);
}

static void
lodex_waypoint_init (LodexWaypoint *self)
{
  get_priv (self)->has_altitude = TRUE;
}

/**
 * lodex_waypoint_new:
 * @latitude: degrees
 * @longitude: degrees
 * @altitude: metres
 * @ctime: creation time, seconds since the epoch
 *
 * Makes a waypoint of no route; lodex_route_add_waypoint() stores it.
 *
 * Returns: (transfer full): a waypoint of no route
 *
 * Since: 0.1
 */
LodexWaypoint *
lodex_waypoint_new (gdouble latitude, gdouble longitude, gdouble altitude, gint ctime)
{
  return LODEX_WAYPOINT (g_object_new (LODEX_TYPE_WAYPOINT, "latitude", latitude, "longitude", longitude,
                                       "altitude", altitude, "ctime", ctime, nullptr));
}

LodexWaypointRow *
_lodex_waypoint_get_row (LodexWaypoint *waypoint)
{
  g_assert (LODEX_IS_WAYPOINT (waypoint));
  return get_row (waypoint);
}

gboolean
_lodex_waypoint_has_altitude (LodexWaypoint *waypoint)
{
  g_assert (LODEX_IS_WAYPOINT (waypoint));
  return get_priv (waypoint)->has_altitude;
}

void
_lodex_waypoint_set_has_altitude (LodexWaypoint *waypoint, gboolean has_altitude)
{
  g_assert (LODEX_IS_WAYPOINT (waypoint));
  set_has_altitude (waypoint, has_altitude);
}

gboolean
_lodex_waypoint_get_modified (LodexWaypoint *waypoint)
{
  return _lodex_waypoint_get_row (waypoint)->modified;
}

void
_lodex_waypoint_set_modified (LodexWaypoint *waypoint, gboolean modified)
{
  _lodex_waypoint_get_row (waypoint)->modified = modified;
}
