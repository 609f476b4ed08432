/* LodexPlace: one place, its row and its address, and how its changes are
 * written back. Its links, app data, images and categories are in
 * lodex-place-attachments.cpp. */

#include "lodex-place-private.h"

#include <cmath>
#include <ctime>
#include <utility>

/**
 * LodexPlace:
 *
 * A place: a position, a name and other texts, an optional postal address,
 * links, application data, images and memberships of categories and routes.
 *
 * A place made with lodex_place_new() belongs to no store until
 * lodex_store_add_place() gives it an id. A stored place writes the
 * properties changed in this process back at the next idle moment of the
 * main loop, or at lodex_place_commit(); changes made by any process come
 * back over the session bus, and the place then reloads and emits
 * #LodexPlace::changed.
 *
 * Since: 0.1
 */
G_DEFINE_TYPE_WITH_PRIVATE (LodexPlace, lodex_place, G_TYPE_OBJECT)

enum
{
  PROP_0,
  PROP_ID,
  PROP_LATITUDE,
  PROP_LONGITUDE,
  PROP_ALTITUDE,
  PROP_NAME,
  PROP_ICON,
  PROP_HACCURACY,
  PROP_VACCURACY,
  PROP_COMMENT,
  PROP_DESCRIPTION,
  PROP_COVERAGE,
  PROP_PRESENCE,
  PROP_FIELDS,
  PROP_CTIME,
  PROP_FIRST_ADDRESS, /* 15 to 30: lodex::address_fields in order */
  N_PROPS = PROP_FIRST_ADDRESS + G_N_ELEMENTS (lodex::address_fields)
};

enum
{
  CHANGED,
  ADDED,
  REMOVED,
  N_SIGNALS
};

static GParamSpec *props[N_PROPS];
static guint signals[N_SIGNALS];

static LodexPlacePrivate *
get_priv (LodexPlace *self)
{
  return static_cast<LodexPlacePrivate *> (lodex_place_get_instance_private (self));
}

LodexPlacePrivate *
lodex::place_priv (LodexPlace *place) noexcept
{
  return get_priv (place);
}

void
lodex::place_emit_changed (LodexPlace *place) noexcept
{
  g_signal_emit (place, signals[CHANGED], 0);
}

/* Row fields behind the string properties. */
static gchar *LodexPlaceRow::*
row_string (guint prop_id)
{
  switch (prop_id)
    {
    case PROP_NAME:
      return &LodexPlaceRow::name;
    case PROP_ICON:
      return &LodexPlaceRow::icon;
    case PROP_COMMENT:
      return &LodexPlaceRow::comment;
    case PROP_DESCRIPTION:
      return &LodexPlaceRow::description;
    case PROP_PRESENCE:
      return &LodexPlaceRow::presence;
    default:
      return nullptr;
    }
}

/* Optional doubles: the row field and its bit of the field mask. */
struct OptionalDouble
{
  gdouble LodexPlaceRow::*member;
  guint bit;
};

static OptionalDouble
row_optional (guint prop_id)
{
  switch (prop_id)
    {
    case PROP_ALTITUDE:
      return {&LodexPlaceRow::altitude, LODEX_PLACE_FIELD_ALTITUDE};
    case PROP_HACCURACY:
      return {&LodexPlaceRow::haccuracy, LODEX_PLACE_FIELD_HACCURACY};
    case PROP_VACCURACY:
      return {&LodexPlaceRow::vaccuracy, LODEX_PLACE_FIELD_VACCURACY};
    case PROP_COVERAGE:
      return {&LodexPlaceRow::coverage, LODEX_PLACE_FIELD_COVERAGE};
    default:
      return {nullptr, 0};
    }
}

/* The double behind a numeric column property, as get_property gives it. */
static gdouble
row_double (const LodexPlaceRow *row, guint prop_id)
{
  if (auto optional = row_optional (prop_id); optional.member)
    return row->*optional.member;
  return prop_id == PROP_LATITUDE ? row->latitude : row->longitude;
}

/* Equal as stored: a NaN read again is no change. */
static bool
same_double (gdouble a, gdouble b)
{
  return a == b || (std::isnan (a) && std::isnan (b));
}

static gboolean
commit_idle (gpointer data)
{
  LodexPlace *self = LODEX_PLACE (data);
  g_clear_pointer (&get_priv (self)->commit_idle, g_source_unref);
  lodex_place_commit (self);
  return G_SOURCE_REMOVE;
}

static void
cancel_commit_idle (LodexPlacePrivate *priv)
{
  if (!priv->commit_idle)
    return;
  g_source_destroy (priv->commit_idle);
  g_clear_pointer (&priv->commit_idle, g_source_unref);
}

/* The column that property @prop_id sits in. */
static guint
column_of (guint prop_id)
{
  return prop_id >= PROP_LATITUDE && prop_id <= PROP_PRESENCE ? 1u << (prop_id - PROP_LATITUDE) : 0;
}

/* After a property change: a detached place tells its listeners now; a bound
 * one is written back once the main loop is idle, however many changes. Only
 * what changed here is written, so that another program's changes to the
 * other properties survive. */
static void
mark_changed (LodexPlace *self, guint columns, guint address_fields)
{
  LodexPlacePrivate *priv = get_priv (self);

  priv->changed |= columns;
  priv->address_changed |= address_fields;
  if (!priv->store) /* nothing to write: adding it writes every value */
    g_signal_emit (self, signals[CHANGED], 0);
  else if (!priv->commit_idle)
    {
      /* the loop of the thread that owns the store writes it, whether that
       * is the main thread or another one with a context of its own */
      priv->commit_idle = g_idle_source_new ();
      g_source_set_priority (priv->commit_idle, G_PRIORITY_DEFAULT_IDLE);
      g_source_set_callback (priv->commit_idle, commit_idle, self, nullptr);
      g_source_attach (priv->commit_idle, g_main_context_get_thread_default ());
    }
}

static void
lodex_place_set_property (GObject *object, guint prop_id, const GValue *value, GParamSpec *pspec)
{
  LodexPlace *self = LODEX_PLACE (object);
  lodex_return_if_foreign (get_priv (self)->store);
  LodexPlaceRow *row = _lodex_place_get_row (self);

  if (prop_id >= PROP_FIRST_ADDRESS && prop_id < N_PROPS)
    {
      LodexPlaceAddress *address = _lodex_place_get_address (self);
      auto member = lodex::address_fields[prop_id - PROP_FIRST_ADDRESS].member;
      if (!_lodex_update_property_string (&(address->*member), value))
        return;
      mark_changed (self, 0, 1u << (prop_id - PROP_FIRST_ADDRESS));
      return;
    }
  else if (auto member = row_string (prop_id))
    {
      if (!_lodex_update_property_string (&(row->*member), value))
        return;
    }
  else if (auto optional = row_optional (prop_id); optional.member)
    {
      row->*optional.member = g_value_get_double (value);
      row->fields |= optional.bit;
    }
  else
    switch (prop_id)
      {
      case PROP_LATITUDE:
        row->latitude = g_value_get_double (value);
        break;
      case PROP_LONGITUDE:
        row->longitude = g_value_get_double (value);
        break;
      case PROP_FIELDS:
        {
          guint fields = g_value_get_uint (value);
          guint toggled = row->fields ^ fields;
          row->fields = fields;
          /* an optional value that appears or goes is written as a value or NULL */
          guint columns = 0;
          for (guint id = PROP_ALTITUDE; id <= PROP_PRESENCE; id++)
            if (toggled & row_optional (id).bit)
              columns |= column_of (id);
          mark_changed (self, columns, 0);
          return;
        }
      default:
        G_OBJECT_WARN_INVALID_PROPERTY_ID (object, prop_id, pspec);
        return;
      }
  mark_changed (self, column_of (prop_id), 0);
}

static void
lodex_place_get_property (GObject *object, guint prop_id, GValue *value, GParamSpec *pspec)
{
  LodexPlace *self = LODEX_PLACE (object);
  LodexPlaceRow *row = _lodex_place_get_row (self);

  if (prop_id >= PROP_FIRST_ADDRESS && prop_id < N_PROPS)
    {
      LodexPlaceAddress *address = _lodex_place_get_address (self);
      g_value_set_string (value, address->*lodex::address_fields[prop_id - PROP_FIRST_ADDRESS].member);
    }
  else if (auto member = row_string (prop_id))
    g_value_set_string (value, row->*member);
  else if (auto optional = row_optional (prop_id); optional.member)
    g_value_set_double (value, row->*optional.member);
  else
    switch (prop_id)
      {
      case PROP_ID:
        g_value_set_string (value, row->id);
        break;
      case PROP_LATITUDE:
        g_value_set_double (value, row->latitude);
        break;
      case PROP_LONGITUDE:
        g_value_set_double (value, row->longitude);
        break;
      case PROP_FIELDS:
        g_value_set_uint (value, row->fields);
        break;
      case PROP_CTIME:
        g_value_set_int64 (value, row->ctime);
        break;
      default:
        G_OBJECT_WARN_INVALID_PROPERTY_ID (object, prop_id, pspec);
        break;
      }
}

static void
lodex_place_dispose (GObject *object)
{
  LodexPlace *self = LODEX_PLACE (object);
  LodexPlacePrivate *priv = get_priv (self);

  if (priv->store)
    {
      _lodex_store_forget (priv->store, object); /* before anything can look it up */
      if (priv->changed || priv->address_changed)
        lodex_place_commit (self); /* pending changes reach the database first */
      g_clear_object (&priv->store);
    }
  cancel_commit_idle (priv);

  G_OBJECT_CLASS (lodex_place_parent_class)->dispose (object);
}

static void
lodex_place_finalize (GObject *object)
{
  LodexPlace *self = LODEX_PLACE (object);
  LodexPlacePrivate *priv = get_priv (self);

  g_clear_pointer (&priv->row, _lodex_place_row_free);
  g_clear_pointer (&priv->address, _lodex_place_address_free);
  _lodex_place_free_links (self);

  G_OBJECT_CLASS (lodex_place_parent_class)->finalize (object);
}

static GParamSpec *
double_property (const char *name, const char *nick, const char *blurb)
{
  return g_param_spec_double (name, nick, blurb, -G_MAXDOUBLE, G_MAXDOUBLE, 0.0,
                              GParamFlags (G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS));
}

static GParamSpec *
string_property (const char *name, const char *nick, const char *blurb)
{
  /* not G_PARAM_STATIC_NAME: address names come as column names, which
   * GObject canonicalizes ("country_code" to "country-code") */
  return g_param_spec_string (name, nick, blurb, "",
                              GParamFlags (G_PARAM_READWRITE | G_PARAM_STATIC_NICK | G_PARAM_STATIC_BLURB));
}

static void
lodex_place_class_init (LodexPlaceClass *klass)
{
  GObjectClass *object_class = G_OBJECT_CLASS (klass);

  object_class->set_property = lodex_place_set_property;
  object_class->get_property = lodex_place_get_property;
  object_class->dispose = lodex_place_dispose;
  object_class->finalize = lodex_place_finalize;

  /**
   * LodexPlace:id:
   *
   * The place's id in the database, or %NULL while it is in no store.
   *
   * Since: 0.1
   */
  props[PROP_ID] = g_param_spec_string ("id", "Identifier", "Identifier", nullptr,
                                        GParamFlags (G_PARAM_READABLE | G_PARAM_STATIC_STRINGS));
  /**
   * LodexPlace:latitude:
   *
   * Latitude in degrees, north positive.
   *
   * Since: 0.1
   */
  props[PROP_LATITUDE] = double_property ("latitude", "Latitude", "Latitude");
  /**
   * LodexPlace:longitude:
   *
   * Longitude in degrees, east positive.
   *
   * Since: 0.1
   */
  props[PROP_LONGITUDE] = double_property ("longitude", "Longitude", "Longitude");
  /**
   * LodexPlace:altitude:
   *
   * Altitude in metres. Setting it sets %LODEX_PLACE_FIELD_ALTITUDE in
   * #LodexPlace:fields; without that bit the place has no altitude.
   *
   * Since: 0.1
   */
  props[PROP_ALTITUDE] = double_property ("altitude", "Altitude", "Altitude");
  /**
   * LodexPlace:name:
   *
   * The place's name.
   *
   * Since: 0.1
   */
  props[PROP_NAME] = string_property ("name", "Name", "Name of place");
  /**
   * LodexPlace:icon:
   *
   * The name or path of the place's icon.
   *
   * Since: 0.1
   */
  props[PROP_ICON] = string_property ("icon", "Icon", "Icon for place");
  /**
   * LodexPlace:haccuracy:
   *
   * Horizontal accuracy of the position, in metres. Setting it sets
   * %LODEX_PLACE_FIELD_HACCURACY in #LodexPlace:fields.
   *
   * Since: 0.1
   */
  props[PROP_HACCURACY] = double_property ("haccuracy", "Horizontal accuracy",
                                           "Horizontal accuracy of measurement");
  /**
   * LodexPlace:vaccuracy:
   *
   * Vertical accuracy of the altitude, in metres. Setting it sets
   * %LODEX_PLACE_FIELD_VACCURACY in #LodexPlace:fields.
   *
   * Since: 0.1
   */
  props[PROP_VACCURACY] = double_property ("vaccuracy", "Vertical accuracy",
                                           "Vertical accuracy of measurement");
  /**
   * LodexPlace:comment:
   *
   * A comment on the place.
   *
   * Since: 0.1
   */
  props[PROP_COMMENT] = string_property ("comment", "Comment", "Comment about place");
  /**
   * LodexPlace:description:
   *
   * What the place is.
   *
   * Since: 0.1
   */
  props[PROP_DESCRIPTION] = string_property ("description", "Description", "Description of place");
  /**
   * LodexPlace:coverage:
   *
   * Radius in metres of the area the place covers around its position.
   * Setting it sets %LODEX_PLACE_FIELD_COVERAGE in #LodexPlace:fields.
   *
   * Since: 0.1
   */
  props[PROP_COVERAGE] = double_property ("coverage", "Coverage radius",
                                          "Radius of coverage for this place centred at the "
                                          "latitude and longitude");
  /**
   * LodexPlace:presence:
   *
   * Presence text of the place.
   *
   * Since: 0.1
   */
  props[PROP_PRESENCE] = string_property ("presence", "Presence", "Presence details for place");
  /**
   * LodexPlace:fields:
   *
   * Which optional values the place has: %LODEX_PLACE_FIELD_ALTITUDE,
   * %LODEX_PLACE_FIELD_HACCURACY, %LODEX_PLACE_FIELD_VACCURACY and
   * %LODEX_PLACE_FIELD_COVERAGE. Clearing a bit removes that value.
   *
   * Since: 0.1
   */
  props[PROP_FIELDS] = g_param_spec_uint ("fields", "Field mask", "Specifies which optional fields are set",
                                          0, G_MAXUINT, 0,
                                          GParamFlags (G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS));
  /**
   * LodexPlace:ctime:
   *
   * When the place was made, in seconds since the Epoch.
   *
   * Since: 0.1
   */
  props[PROP_CTIME] = g_param_spec_int64 ("ctime", "Creation time", "Creation time for this object",
                                          G_MININT64, G_MAXINT64, 0,
                                          GParamFlags (G_PARAM_READABLE | G_PARAM_STATIC_STRINGS));
  /**
   * LodexPlace:country:
   *
   * Country of the address.
   *
   * Since: 0.1
   */
  /**
   * LodexPlace:country-code:
   *
   * Country code of the address.
   *
   * Since: 0.1
   */
  /**
   * LodexPlace:state:
   *
   * State or region of the address.
   *
   * Since: 0.1
   */
  /**
   * LodexPlace:county:
   *
   * County of the address.
   *
   * Since: 0.1
   */
  /**
   * LodexPlace:city:
   *
   * City of the address.
   *
   * Since: 0.1
   */
  /**
   * LodexPlace:district:
   *
   * District of the address.
   *
   * Since: 0.1
   */
  /**
   * LodexPlace:postcode:
   *
   * Postal code of the address.
   *
   * Since: 0.1
   */
  /**
   * LodexPlace:crossing1:
   *
   * First road of the crossing the place is at.
   *
   * Since: 0.1
   */
  /**
   * LodexPlace:crossing2:
   *
   * Second road of the crossing the place is at.
   *
   * Since: 0.1
   */
  /**
   * LodexPlace:street:
   *
   * Street and number of the address.
   *
   * Since: 0.1
   */
  /**
   * LodexPlace:building-name:
   *
   * Name of the building.
   *
   * Since: 0.1
   */
  /**
   * LodexPlace:building-zone:
   *
   * Zone of the building.
   *
   * Since: 0.1
   */
  /**
   * LodexPlace:building-floor:
   *
   * Floor of the building.
   *
   * Since: 0.1
   */
  /**
   * LodexPlace:building-room:
   *
   * Room of the building.
   *
   * Since: 0.1
   */
  /**
   * LodexPlace:extension:
   *
   * Telephone extension.
   *
   * Since: 0.1
   */
  /**
   * LodexPlace:phone-number:
   *
   * Telephone number.
   *
   * Since: 0.1
   */
  guint prop_id = PROP_FIRST_ADDRESS;
  for (const lodex::AddressField &field : lodex::address_fields)
    props[prop_id++] = string_property (field.parameter + 1, field.nick, field.blurb);

  g_object_class_install_properties (object_class, N_PROPS, props);

  /**
   * LodexPlace::changed:
   * @place: the place
   *
   * Emitted when the place's values changed: for a stored place, when it has
   * reloaded after a change broadcast by any process, this one included; for
   * a place in no store, at once on every property or link change.
   *
   * Since: 0.1
   */
  /**
   * LodexPlace::added:
   * @place: the place
   * @store: the store that added it
   *
   * Emitted when lodex_store_add_place() has stored the place.
   *
   * Since: 0.1
   */
  /**
   * LodexPlace::removed:
   * @place: the place
   * @store: the store it was removed from
   *
   * Emitted when the place was removed from the database, by
   * lodex_store_remove_place() or by another process. It keeps its values;
   * the store forgets it.
   *
   * Since: 0.1
   */
  lodex::new_object_signals (klass, &signals[CHANGED], &signals[ADDED], &signals[REMOVED],
                             G_STRUCT_OFFSET (LodexPlaceClass, changed), G_STRUCT_OFFSET (LodexPlaceClass, added),
                             G_STRUCT_OFFSET (LodexPlaceClass, removed));
}

static void
lodex_place_init (LodexPlace *self)
{
}

/**
 * lodex_place_new:
 * @name: (nullable): the place's name
 * @latitude: degrees
 * @longitude: degrees
 *
 * Makes a place that belongs to no store, created now.
 *
 * Returns: (transfer full): the new place
 *
 * Since: 0.1
 */
LodexPlace *
lodex_place_new (const gchar *name, gdouble latitude, gdouble longitude)
{
  LodexPlace *self = LODEX_PLACE (g_object_new (LODEX_TYPE_PLACE, "name", name, "latitude", latitude,
                                                "longitude", longitude, nullptr));
  _lodex_place_get_row (self)->ctime = gint64 (time (nullptr));
  lodex_place_commit (self);
  return self;
}

static gboolean
commit (LodexPlace *place)
{
  LodexPlacePrivate *priv = get_priv (place);

  /* done now: the idle commit has nothing left to do */
  cancel_commit_idle (priv);
  if (!priv->store)
    {
      priv->changed = priv->address_changed = 0; /* the insert writes everything */
      return TRUE;
    }
  guint columns = priv->changed, address_fields = priv->address_changed;
  if (!columns && !address_fields)
    return TRUE;
  if (!_lodex_store_update (priv->store, place, columns, address_fields))
    return FALSE;
  /* a change made meanwhile, by a handler of the broadcast, stays pending */
  priv->changed &= ~columns;
  priv->address_changed &= ~address_fields;
  return TRUE;
}

/**
 * lodex_place_commit:
 * @place: a #LodexPlace
 *
 * Writes pending changes of a stored place now rather than at the next idle
 * moment of the main loop: the properties changed since the place was last
 * loaded or written, and its address fields, in one transaction. When the
 * write fails, the place keeps its values and its changes stay pending.
 *
 * Returns: whether nothing is left to write; %TRUE for a place in no store
 *
 * Since: 0.1
 */
gboolean
lodex_place_commit (LodexPlace *place)
{
  g_return_val_if_fail (LODEX_IS_PLACE (place), FALSE);
  lodex_return_val_if_foreign (get_priv (place)->store, FALSE);
  return commit (place);
}

/**
 * lodex_place_commit_full:
 * @place: a #LodexPlace
 * @error: return location for a #GError, or %NULL
 *
 * Does what lodex_place_commit() does, and tells why the write failed
 * rather than logging it. The errors, in the %LODEX_ERROR domain:
 * %LODEX_ERROR_NOT_STORED when another program removed the place,
 * %LODEX_ERROR_INVALID when its position is outside the valid range,
 * %LODEX_ERROR_BUSY when another program held the database locked too long,
 * %LODEX_ERROR_DATABASE when the database refused the write.
 *
 * Returns: whether nothing is left to write; %TRUE for a place in no store
 *
 * Since: 0.2
 */
gboolean
lodex_place_commit_full (LodexPlace *place, GError **error)
{
  g_return_val_if_fail (LODEX_IS_PLACE (place), FALSE);
  g_return_val_if_fail (error == NULL || *error == NULL, FALSE);
  lodex_return_val_if_foreign (get_priv (place)->store, FALSE);
  lodex::Failures failures;
  return failures.finish (commit (place), error, "Writing the place");
}

/**
 * lodex_place_discard_changes:
 * @place: a #LodexPlace
 *
 * Forgets the changes made to @place in this process and not written yet,
 * so that nothing of them is written later, by the idle write-back or when
 * the place is released: after lodex_place_commit() failed, say, and the
 * program has reported that failure. A stored place then reads its stored
 * values anew and emits #LodexPlace::changed; a place in no store keeps
 * its values, which lodex_store_add_place() writes.
 *
 * Since: 0.2
 */
void
lodex_place_discard_changes (LodexPlace *place)
{
  g_return_if_fail (LODEX_IS_PLACE (place));
  lodex_return_if_foreign (get_priv (place)->store);
  LodexPlacePrivate *priv = get_priv (place);
  bool pending = priv->changed || priv->address_changed;
  _lodex_place_discard_changes (place);
  const gchar *id = _lodex_place_get_row (place)->id;
  if (!pending || !priv->store || !id)
    return;

  sqlite3 *db = _lodex_set_get_db (LODEX_SET (priv->store));
  LodexPlaceRow *row = lodex_db_get_row_by_id (db, id);
  if (!row) /* removed meanwhile: the store will say so */
    return;
  _lodex_place_reload (place, row, lodex_db_place_address_get (db, id));
  g_signal_emit (place, signals[CHANGED], 0);
}

/**
 * lodex_place_has_id:
 * @place: a #LodexPlace
 *
 * Tells whether @place is in the database: a place gets its id when a store
 * adds it.
 *
 * Returns: whether the place is stored, that is has an id
 *
 * Since: 0.1
 */
gboolean
lodex_place_has_id (LodexPlace *place)
{
  g_return_val_if_fail (place != NULL, FALSE);
  g_return_val_if_fail (LODEX_IS_PLACE (place), FALSE);
  return _lodex_place_get_row (place)->id != nullptr;
}

/* A position the database can hold and every sort and box can use: finite,
 * latitude in -90..90, longitude in -180..180. Otherwise
 * %LODEX_ERROR_INVALID naming the value. */
gboolean
_lodex_place_check_position (gdouble latitude, gdouble longitude, GError **error)
{
  const struct
  {
    const char *name;
    gdouble value, limit;
  } coordinates[] = {{"latitude", latitude, 90.0}, {"longitude", longitude, 180.0}};
  for (const auto &c : coordinates)
    {
      if (std::isfinite (c.value) && std::fabs (c.value) <= c.limit)
        continue;
      /* the shortest text that reads back as the value */
      char text[G_ASCII_DTOSTR_BUF_SIZE];
      for (const char *format : {"%.15g", "%.16g", "%.17g"})
        if (g_ascii_strtod (g_ascii_formatd (text, sizeof text, format, c.value), nullptr) == c.value)
          break;
      if (!std::isfinite (c.value))
        g_set_error (error, LODEX_ERROR, LODEX_ERROR_INVALID, "The %s %s is not a number", c.name, text);
      else
        g_set_error (error, LODEX_ERROR, LODEX_ERROR_INVALID, "The %s %s is outside %g to %g", c.name, text,
                     -c.limit, c.limit);
      return FALSE;
    }
  return TRUE;
}

LodexPlace *
_lodex_place_new_with_row (LodexPlaceRow *row)
{
  LodexPlace *self = LODEX_PLACE (g_object_new (LODEX_TYPE_PLACE, nullptr));
  _lodex_place_set_row (self, row);
  return self;
}

LodexPlace *
lodex::place_new_bound (LodexPlaceRow *row, LodexStore *store) noexcept
{
  auto self = reinterpret_cast<LodexPlace *> (g_object_new_with_properties (LODEX_TYPE_PLACE, 0, nullptr, nullptr));
  LodexPlacePrivate *priv = get_priv (self);
  priv->row = row;
  priv->store = static_cast<LodexStore *> (g_object_ref (store));
  return self;
}

LodexPlaceRow *
_lodex_place_get_row (LodexPlace *place)
{
  g_return_val_if_fail (place != NULL, NULL);
  g_return_val_if_fail (LODEX_IS_PLACE (place), NULL);
  LodexPlacePrivate *priv = get_priv (place);

  if (!priv->row)
    priv->row = _lodex_place_row_new ();
  return priv->row;
}

void
_lodex_place_set_row (LodexPlace *place, LodexPlaceRow *row)
{
  g_return_if_fail (place != NULL);
  g_return_if_fail (LODEX_IS_PLACE (place));
  g_assert (row != NULL);
  LodexPlacePrivate *priv = get_priv (place);

  g_clear_pointer (&priv->row, _lodex_place_row_free);
  priv->row = row;
}

LodexStore *
_lodex_place_get_store (LodexPlace *place)
{
  g_return_val_if_fail (place != NULL, NULL);
  g_return_val_if_fail (LODEX_IS_PLACE (place), NULL);
  return get_priv (place)->store;
}

void
_lodex_place_set_store (LodexPlace *place, LodexStore *store)
{
  g_return_if_fail (place != NULL);
  g_return_if_fail (LODEX_IS_PLACE (place));
  lodex::bind_store (&get_priv (place)->store, store, G_STRFUNC);
}

gboolean
_lodex_place_is_dirty (LodexPlace *place)
{
  g_return_val_if_fail (place != NULL, FALSE);
  g_return_val_if_fail (LODEX_IS_PLACE (place), FALSE);
  LodexPlacePrivate *priv = get_priv (place);
  return priv->changed || priv->address_changed;
}

/* Forgets what was changed here and not written yet. */
void
_lodex_place_discard_changes (LodexPlace *place)
{
  g_return_if_fail (LODEX_IS_PLACE (place));
  LodexPlacePrivate *priv = get_priv (place);
  priv->changed = priv->address_changed = 0;
  cancel_commit_idle (priv);
}

/* Takes @row and @address (nullable), read anew from the database, keeping
 * on top of them what was changed here and not written yet. */
void
_lodex_place_reload (LodexPlace *place, LodexPlaceRow *row, LodexPlaceAddress *address)
{
  g_return_if_fail (LODEX_IS_PLACE (place));
  g_return_if_fail (row != NULL);
  LodexPlacePrivate *priv = get_priv (place);
  LodexPlaceRow *old = _lodex_place_get_row (place);
  /* bindings follow a change from any process: notify what differs, once
   * everything is in place */
  g_object_freeze_notify (G_OBJECT (place));

  for (guint prop_id = PROP_LATITUDE; prop_id <= PROP_PRESENCE; prop_id++)
    {
      if (!(priv->changed & column_of (prop_id)))
        {
          if (auto member = row_string (prop_id); member ? g_strcmp0 (row->*member, old->*member) != 0
                                                         : !same_double (row_double (row, prop_id), row_double (old, prop_id)))
            g_object_notify_by_pspec (G_OBJECT (place), props[prop_id]);
          continue;
        }
      if (auto member = row_string (prop_id))
        std::swap (row->*member, old->*member);
      else if (auto optional = row_optional (prop_id); optional.member)
        {
          row->*optional.member = old->*optional.member;
          row->fields = (row->fields & ~optional.bit) | (old->fields & optional.bit);
        }
      else if (prop_id == PROP_LATITUDE)
        row->latitude = old->latitude;
      else
        row->longitude = old->longitude;
    }
  if (row->fields != old->fields)
    g_object_notify_by_pspec (G_OBJECT (place), props[PROP_FIELDS]);
  if (row->ctime != old->ctime)
    g_object_notify_by_pspec (G_OBJECT (place), props[PROP_CTIME]);
  _lodex_place_set_row (place, row);

  /* an address never read has been shown to nobody */
  if (LodexPlaceAddress *before = priv->address)
    {
      guint bit = 1, prop_id = PROP_FIRST_ADDRESS;
      for (const lodex::AddressField &field : lodex::address_fields)
        {
          if (!(priv->address_changed & bit)
              && g_strcmp0 (before->*field.member, address ? address->*field.member : nullptr) != 0)
            g_object_notify_by_pspec (G_OBJECT (place), props[prop_id]);
          bit <<= 1, prop_id++;
        }
    }

  if (priv->address_changed && priv->address)
    {
      if (!address)
        address = _lodex_place_address_new ();
      guint bit = 1;
      for (const lodex::AddressField &field : lodex::address_fields)
        {
          if (priv->address_changed & bit)
            std::swap (address->*field.member, priv->address->*field.member);
          bit <<= 1;
        }
    }
  _lodex_place_set_address (place, address);
  g_object_thaw_notify (G_OBJECT (place));
}

LodexPlaceRow *
_lodex_place_row_new (void)
{
  return g_slice_new0 (LodexPlaceRow);
}

void
_lodex_place_row_free (LodexPlaceRow *row)
{
  if (!row)
    return;
  g_free (row->id);
  g_free (row->name);
  g_free (row->description);
  g_free (row->icon);
  g_free (row->comment);
  g_free (row->presence);
  g_slice_free (LodexPlaceRow, row);
}

LodexPlaceAddress *
_lodex_place_address_new (void)
{
  return g_slice_new0 (LodexPlaceAddress);
}

void
_lodex_place_address_free (LodexPlaceAddress *address)
{
  if (!address)
    return;
  for (const lodex::AddressField &field : lodex::address_fields)
    g_free (address->*field.member);
  g_slice_free (LodexPlaceAddress, address);
}

LodexPlaceAddress *
_lodex_place_get_address (LodexPlace *place)
{
  g_return_val_if_fail (place != NULL, NULL);
  g_return_val_if_fail (LODEX_IS_PLACE (place), NULL);
  LodexPlacePrivate *priv = get_priv (place);

  if (!priv->address && priv->store)
    priv->address = _lodex_store_place_get_address (priv->store, place);
  if (!priv->address)
    priv->address = _lodex_place_address_new ();
  return priv->address;
}

LodexPlaceAddress *
_lodex_place_peek_address (LodexPlace *place)
{
  return get_priv (place)->address;
}

void
_lodex_place_set_address (LodexPlace *place, LodexPlaceAddress *address)
{
  g_return_if_fail (place != NULL);
  g_return_if_fail (LODEX_IS_PLACE (place));
  LodexPlacePrivate *priv = get_priv (place);

  g_clear_pointer (&priv->address, _lodex_place_address_free);
  priv->address = address;
}
