/* lodex-tool: adds, updates, removes, lists and shows the places of the
 * user's database from the command line, one command per run. */

#include <liblodex/lodex.h>

#include <clocale>
#include <cmath>
#include <initializer_list>

namespace
{

constexpr int FAILURE = -1; /* exit status 255 */

/* Bits of Options::given: which coordinates the command line set. */
enum : guint
{
  GIVEN_LATITUDE = 0x1,
  GIVEN_LONGITUDE = 0x2,
  GIVEN_ALTITUDE = 0x4,
};

struct Options
{
  gboolean add_place = FALSE;
  gchar *remove_place = nullptr;
  gchar *update_place = nullptr;
  gboolean list_places = FALSE;
  gchar *show_place = nullptr;
  gchar *name = nullptr;
  gchar *description = nullptr;
  gchar *country = nullptr;
  gchar *state = nullptr;
  gchar *county = nullptr;
  gchar *district = nullptr;
  gchar *postcode = nullptr;
  gchar *street = nullptr;

  gdouble latitude = 0.0;
  gdouble longitude = 0.0;
  gdouble altitude = 0.0;
  guint given = 0;

  ~Options ()
  {
    for (gchar *text : {remove_place, update_place, show_place, name, description, country, state,
                        county, district, postcode, street})
      g_free (text);
  }
};

Options options;

gboolean
coordinate_option_cb (const gchar *option_name,
                      const gchar *value,
                      gpointer data,
                      GError **error)
{
  static const struct
  {
    const char *name;
    gdouble Options::*member;
    guint bit;
  } coordinates[] = {
    {"--latitude", &Options::latitude, GIVEN_LATITUDE},
    {"--longitude", &Options::longitude, GIVEN_LONGITUDE},
    {"--altitude", &Options::altitude, GIVEN_ALTITUDE},
  };

  /* a half-read "51,5" would silently store 51 */
  gchar *end = nullptr;
  gdouble number = g_ascii_strtod (value, &end);
  if (end == value || *end != '\0' || !std::isfinite (number))
    {
      g_set_error (error, G_OPTION_ERROR, G_OPTION_ERROR_BAD_VALUE,
                   "Invalid value '%s' for %s: a number such as 51.5 is expected", value,
                   option_name);
      return FALSE;
    }

  for (const auto &coordinate : coordinates)
    if (g_str_equal (option_name, coordinate.name))
      {
        options.*coordinate.member = number;
        options.given |= coordinate.bit;
        return TRUE;
      }
  g_set_error (error, G_OPTION_ERROR, G_OPTION_ERROR_FAILED, "Unknown coordinate %s", option_name);
  return FALSE;
}

const GOptionEntry entries[] = {
  {"add-place", 'a', 0, G_OPTION_ARG_NONE, &options.add_place, "Add new place", nullptr},
  {"remove-place", 'r', 0, G_OPTION_ARG_STRING, &options.remove_place, "Remove place", "<id>"},
  {"update-place", 'u', 0, G_OPTION_ARG_STRING, &options.update_place, "Update place", "<id>"},
  {"list-places", 0, 0, G_OPTION_ARG_NONE, &options.list_places, "List places", nullptr},
  {"show-place", 's', 0, G_OPTION_ARG_STRING, &options.show_place, "Show details for a place", "<id>"},
  /* the category, filter, export and import entries come here */
  {"name", 0, 0, G_OPTION_ARG_STRING, &options.name, "Name", "<name>"},
  {"description", 0, 0, G_OPTION_ARG_STRING, &options.description, "Description", "<description>"},
  {"latitude", 0, 0, G_OPTION_ARG_CALLBACK, reinterpret_cast<gpointer> (coordinate_option_cb),
   "Latitude", "<latitude>"},
  {"longitude", 0, 0, G_OPTION_ARG_CALLBACK, reinterpret_cast<gpointer> (coordinate_option_cb),
   "Longitude", "<ľongitude>"},
  {"altitude", 0, 0, G_OPTION_ARG_CALLBACK, reinterpret_cast<gpointer> (coordinate_option_cb),
   "Altitude", "<altitude>"},
  {"country", 0, 0, G_OPTION_ARG_STRING, &options.country, "Country", "<country>"},
  {"state", 0, 0, G_OPTION_ARG_STRING, &options.state, "State", "<state>"},
  {"county", 0, 0, G_OPTION_ARG_STRING, &options.county, "County", "<county>"},
  {"district", 0, 0, G_OPTION_ARG_STRING, &options.district, "District", "<district>"},
  {"postcode", 0, 0, G_OPTION_ARG_STRING, &options.postcode, "Post code", "<postcode>"},
  {"street", 0, 0, G_OPTION_ARG_STRING, &options.street, "Street", "<street>"},
  {nullptr, 0, 0, G_OPTION_ARG_NONE, nullptr, nullptr, nullptr}, /* G_OPTION_ENTRY_NULL is C only */
};

const char summary[] = "Adds, updates, removes, lists and shows the places of your place database\n"
                       "(~/.lodex.db). Running programs that use the database see every change.\n"
                       "\n"
                       "Each run carries out one command: the first given of --add-place,\n"
                       "--update-place, --remove-place, --list-places and --show-place. After\n"
                       "--remove-place a second command may follow, such as --list-places.";

const char description[] = "--add-place needs --name, --latitude and --longitude; --update-place changes\n"
                           "only what is given. Coordinates are decimal degrees written with a dot.\n"
                           "Place ids are printed by --add-place and --list-places.\n"
                           "\n"
                           "Examples:\n"
                           "  lodex-tool --add-place --name \"Tower of London\" --latitude 51.5081 --longitude -0.0759\n"
                           "  lodex-tool --list-places\n"
                           "  lodex-tool --update-place <id> --street \"Tower Hill\" --postcode \"EC3N 4AB\"\n"
                           "  lodex-tool --remove-place <id> --list-places\n";

const char *
printable (const char *text)
{
  return text ? text : "(null)";
}

/* Sets the place options given; FALSE when a stored place could not write
 * them. */
bool
apply_place_options (LodexPlace *place)
{
  static const struct
  {
    const char *property;
    gchar *Options::*member;
  } texts[] = {
    {"description", &Options::description},
    {"country", &Options::country},
    {"state", &Options::state},
    {"county", &Options::county},
    {"district", &Options::district},
    {"postcode", &Options::postcode},
    {"street", &Options::street},
  };

  guint fields = 0;
  g_object_get (place, "fields", &fields, nullptr);
  if (options.given & GIVEN_ALTITUDE)
    {
      g_object_set (place, "altitude", options.altitude, nullptr);
      fields |= LODEX_PLACE_FIELD_ALTITUDE;
    }
  for (const auto &text : texts)
    if (options.*text.member)
      g_object_set (place, text.property, options.*text.member, nullptr);
  g_object_set (place, "fields", fields, nullptr);
  return lodex_place_commit (place);
}

int
list_set (LodexSet *set)
{
  for (LodexPlace *place = lodex_set_first (set); place; place = lodex_set_next (set))
    {
      g_autofree gchar *id = nullptr;
      g_autofree gchar *name = nullptr;
      guint fields = 0;
      gdouble latitude = 0.0, longitude = 0.0, altitude = 0.0;
      g_object_get (place, "id", &id, "fields", &fields, "name", &name, "latitude", &latitude,
                    "longitude", &longitude, "altitude", &altitude, nullptr);
      g_print ("%s %s Lat: %f Long: %f", printable (id), printable (name), latitude, longitude);
      if (fields & LODEX_PLACE_FIELD_ALTITUDE)
        g_print (" Alt: %f\n", altitude);
      else
        g_print ("\n");
      g_object_unref (place);
    }
  return 0;
}

int
add_place (LodexStore *store)
{
  constexpr guint position = GIVEN_LATITUDE | GIVEN_LONGITUDE;
  if (!options.name || (options.given & position) != position)
    {
      g_printerr ("Name, latitude and longitude must be supplied\n");
      return FAILURE;
    }

  g_autoptr (LodexPlace) place = lodex_place_new (options.name, options.latitude, options.longitude);
  if (!place)
    return FAILURE; /* the library has said why */
  apply_place_options (place);
  if (!lodex_store_add_place (store, place))
    {
      g_printerr ("Error whilst adding place\n");
      return FAILURE;
    }
  /* once more through the stored place's own write path */
  if (!apply_place_options (place))
    {
      g_printerr ("Error whilst adding place\n");
      return FAILURE;
    }

  g_autofree gchar *id = nullptr;
  g_object_get (place, "id", &id, nullptr);
  g_print ("Place added with id '%s'\n", printable (id));
  return 0;
}

int
update_place (LodexStore *store, const gchar *id)
{
  g_autoptr (LodexPlace) place = lodex_store_get_place_by_id (store, id);
  if (!place)
    {
      g_printerr ("No place with id %s found\n", id);
      return FAILURE;
    }

  if (options.given & GIVEN_LATITUDE)
    g_object_set (place, "latitude", options.latitude, nullptr);
  if (options.given & GIVEN_LONGITUDE)
    g_object_set (place, "longitude", options.longitude, nullptr);
  if (options.name)
    g_object_set (place, "name", options.name, nullptr);
  if (!apply_place_options (place))
    {
      g_printerr ("Error whilst updating place\n");
      return FAILURE;
    }
  g_print ("Place with id '%s' updated\n", id);
  return 0;
}

enum class Removal
{
  DONE,
  FAILED,
  NOT_FOUND,
};

Removal
remove_place (LodexStore *store, const gchar *id)
{
  g_autoptr (LodexPlace) place = lodex_store_get_place_by_id (store, id);
  if (!place)
    {
      g_printerr ("No place with id %s found\n", id);
      return Removal::NOT_FOUND;
    }
  if (!lodex_store_remove_place (store, place))
    {
      g_printerr ("Error whilst removing place\n");
      return Removal::FAILED;
    }
  /* the place has no id any more: print the one we were given */
  g_print ("Place with id '%s' removed\n", id);
  return Removal::DONE;
}

int
show_place (LodexStore *store, const gchar *id)
{
  g_autoptr (LodexPlace) place = lodex_store_get_place_by_id (store, id);
  if (!place)
    {
      g_printerr ("No place with id '%s' found\n", id);
      return FAILURE;
    }

  guint n_properties = 0;
  g_autofree GParamSpec **properties = g_object_class_list_properties (G_OBJECT_GET_CLASS (place),
                                                                       &n_properties);
  for (guint i = 0; i < n_properties; i++)
    {
      const char *name = g_param_spec_get_name (properties[i]);
      GType type = G_PARAM_SPEC_VALUE_TYPE (properties[i]);
      if (!(properties[i]->flags & G_PARAM_READABLE))
        continue;
      if (type != G_TYPE_INT && type != G_TYPE_UINT && type != G_TYPE_INT64
          && type != G_TYPE_DOUBLE && type != G_TYPE_STRING)
        continue;

      g_auto (GValue) value = G_VALUE_INIT;
      g_value_init (&value, type);
      g_object_get_property (G_OBJECT (place), name, &value);
      if (type == G_TYPE_INT)
        g_print ("%s: %d\n", name, g_value_get_int (&value));
      else if (type == G_TYPE_UINT)
        g_print ("%s: %u\n", name, g_value_get_uint (&value));
      else if (type == G_TYPE_INT64)
        g_print ("%s: %" G_GINT64_FORMAT "\n", name, g_value_get_int64 (&value));
      else if (type == G_TYPE_DOUBLE)
        g_print ("%s: %f\n", name, g_value_get_double (&value));
      else
        g_print ("%s: %s\n", name, printable (g_value_get_string (&value)));
    }
  return 0;
}

/* The first command given runs; a removal goes on to the next one. */
int
run_command (LodexStore *store)
{
  if (options.add_place)
    return add_place (store);
  if (options.update_place)
    return update_place (store, options.update_place);

  Removal removal = Removal::DONE;
  if (options.remove_place)
    {
      removal = remove_place (store, options.remove_place);
      if (removal == Removal::NOT_FOUND)
        return FAILURE;
    }

  int status = 0;
  if (options.list_places)
    status = list_set (LODEX_SET (store));
  else if (options.show_place)
    status = show_place (store, options.show_place);
  /* the category commands, filters, export and import come here */

  /* the next command ran all the same, but a script must see the failure */
  return removal == Removal::FAILED ? FAILURE : status;
}

} // namespace

int
main (int argc, char **argv)
{
  /* arguments and output in the user's charset; numbers stay in the C locale */
  setlocale (LC_CTYPE, "");

  g_autoptr (GOptionContext) context = g_option_context_new ("- Tool to manipulate lodex database");
  g_option_context_add_main_entries (context, entries, nullptr);
  g_option_context_set_summary (context, summary);
  g_option_context_set_description (context, description);

  g_autoptr (GError) error = nullptr;
  if (!g_option_context_parse (context, &argc, &argv, &error))
    {
      g_printerr ("%s\nRun '%s --help' to see the options.\n", error->message, g_get_prgname ());
      return FAILURE;
    }
  if (argc > 1) /* most likely a value with a blank that lost its quotes */
    {
      g_printerr ("Unexpected argument '%s'\nRun '%s --help' to see the options.\n", argv[1],
                  g_get_prgname ());
      return FAILURE;
    }

  /* released on every return: its release flushes the change broadcasts */
  g_autoptr (LodexStore) store = lodex_store_get_system ();
  if (!store)
    {
      g_printerr ("Could not open the place database\n");
      return FAILURE;
    }
  return run_command (store);
}
