/* LodexLocationFilter: the places of an inner set inside a box. */

#include "lodex-private.h"

#include <cstring>

struct _LodexLocationFilter
{
  GObject parent_instance;
};

struct LodexLocationFilterPrivate
{
  sqlite3_stmt *statement; /* the walk under way */
  gchar *query;            /* the text last composed, ours */
  LodexSet *set;
  gdouble min_lat;
  gdouble max_lat;
  gdouble min_long;
  gdouble max_long;
  gdouble min_alt;
  gdouble max_alt;
  gboolean ignore_altitude;
  gulong set_handler;
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
inner_changed_cb (LodexSet *inner, LodexLocationFilter *self)
{
  _lodex_set_emit_changed (LODEX_SET (self));
}

static void
lodex_location_filter_dispose (GObject *object)
{
  LodexLocationFilterPrivate *priv = get_priv (LODEX_LOCATION_FILTER (object));

  g_clear_pointer (&priv->statement, sqlite3_finalize);
  if (priv->set)
    {
      g_clear_signal_handler (&priv->set_handler, priv->set);
      g_clear_object (&priv->set);
    }
  G_OBJECT_CLASS (lodex_location_filter_parent_class)->dispose (object);
}

static void
lodex_location_filter_finalize (GObject *object)
{
  g_free (get_priv (LODEX_LOCATION_FILTER (object))->query);
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
    g_value_set_object (value, priv->set);
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
      priv->set = LODEX_SET (g_value_dup_object (value));
      if (priv->set)
        priv->set_handler = g_signal_connect (priv->set, "changed", G_CALLBACK (inner_changed_cb), self);
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
  g_clear_pointer (&priv->statement, sqlite3_finalize);
  _lodex_set_emit_changed (LODEX_SET (self));
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
  props[PROP_SET] = g_param_spec_object ("set", "The set for the filter", "The set for the filter",
                                         LODEX_TYPE_SET, GParamFlags (flags | G_PARAM_CONSTRUCT_ONLY));

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
  g_object_class_install_property (object_class, PROP_SET, props[PROP_SET]);
  for (const auto &bound : bounds)
    {
      props[bound.id] = g_param_spec_double (bound.name, bound.text, bound.text, -G_MAXDOUBLE, G_MAXDOUBLE,
                                             0.0, flags);
      g_object_class_install_property (object_class, bound.id, props[bound.id]);
    }
  props[PROP_IGNORE_ALTITUDE] = g_param_spec_boolean ("ignore-altitude", "Ignore altitude", "Ignore altitude",
                                                      TRUE, flags);
  g_object_class_install_property (object_class, PROP_IGNORE_ALTITUDE, props[PROP_IGNORE_ALTITUDE]);
}

static void
lodex_location_filter_init (LodexLocationFilter *self)
{
  static gint serials;
  LodexLocationFilterPrivate *priv = get_priv (self);
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
 */
LodexLocationFilter *
lodex_location_filter_new (LodexSet *set)
{
  g_return_val_if_fail (set != NULL, NULL);
  return LODEX_LOCATION_FILTER (g_object_new (LODEX_TYPE_LOCATION_FILTER, "set", set, nullptr));
}

/* The filter as a set */

static LodexPlace *
lodex_location_filter_set_first (LodexSet *set)
{
  g_return_val_if_fail (LODEX_IS_LOCATION_FILTER (set), NULL);
  return _lodex_set_walk_first (set, &get_priv (LODEX_LOCATION_FILTER (set))->statement);
}

static LodexPlace *
lodex_location_filter_set_next (LodexSet *set)
{
  g_return_val_if_fail (LODEX_IS_LOCATION_FILTER (set), NULL);
  LodexLocationFilterPrivate *priv = get_priv (LODEX_LOCATION_FILTER (set));
  g_return_val_if_fail (priv->statement != NULL, NULL);
  return _lodex_set_walk_next (set, &priv->statement);
}

static LodexStore *
_lodex_location_filter_set_get_store (LodexSet *set)
{
  g_return_val_if_fail (LODEX_IS_LOCATION_FILTER (set), NULL);
  LodexLocationFilterPrivate *priv = get_priv (LODEX_LOCATION_FILTER (set));
  g_return_val_if_fail (priv->set != NULL, NULL);
  return lodex_set_get_store (priv->set);
}

static sqlite3 *
_lodex_location_filter_set_get_db (LodexSet *set)
{
  g_return_val_if_fail (LODEX_IS_LOCATION_FILTER (set), NULL);
  LodexLocationFilterPrivate *priv = get_priv (LODEX_LOCATION_FILTER (set));
  g_return_val_if_fail (priv->set != NULL, NULL);
  return _lodex_set_get_db (priv->set);
}

static const gchar *
_lodex_location_filter_set_get_query (LodexSet *set)
{
  g_return_val_if_fail (LODEX_IS_LOCATION_FILTER (set), NULL);
  LodexLocationFilterPrivate *priv = get_priv (LODEX_LOCATION_FILTER (set));
  g_return_val_if_fail (priv->set != NULL, NULL);

  const gchar *inner = _lodex_set_get_query (priv->set);
  if (!inner)
    return nullptr;

  /* nested in another filter, shared names would bind one box for both */
  if (strstr (inner, ":lat_min"))
    g_snprintf (priv->suffix, sizeof priv->suffix, "_%u", priv->serial);
  else
    priv->suffix[0] = '\0';
  const char *s = priv->suffix;

  GString *text = g_string_new (nullptr);
  g_string_printf (text, "SELECT * from (%s) WHERE latitude >= :lat_min%s AND latitude <= :lat_max%s AND ", inner, s, s);
  if (priv->min_long > priv->max_long) /* the box crosses the 180th meridian */
    g_string_append_printf (text, "(longitude >= :long_min%s OR longitude <= :long_max%s)", s, s);
  else
    g_string_append_printf (text, "longitude >= :long_min%s AND longitude <= :long_max%s", s, s);
  if (!priv->ignore_altitude)
    g_string_append_printf (text, " AND ((altitude >= :alt_min%s AND altitude <= :alt_max%s) OR altitude IS NULL)", s, s);

  g_free (priv->query);
  priv->query = g_string_free (text, FALSE);
  return priv->query;
}

static gboolean
_lodex_location_filter_set_bind (LodexSet *set, sqlite3_stmt *statement)
{
  g_return_val_if_fail (LODEX_IS_LOCATION_FILTER (set), FALSE);
  LodexLocationFilterPrivate *priv = get_priv (LODEX_LOCATION_FILTER (set));
  g_return_val_if_fail (priv->set != NULL, FALSE);

  if (!_lodex_set_bind (priv->set, statement))
    return FALSE;

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
      g_return_val_if_fail (res == SQLITE_OK, FALSE);
    }
  return TRUE;
}

static void
lodex_location_filter_set_init (LodexSetInterface *iface)
{
  iface->first = lodex_location_filter_set_first;
  iface->next = lodex_location_filter_set_next;
  iface->get_store = _lodex_location_filter_set_get_store;
  iface->get_db = _lodex_location_filter_set_get_db;
  iface->get_query = _lodex_location_filter_set_get_query;
  iface->bind = _lodex_location_filter_set_bind;
}
