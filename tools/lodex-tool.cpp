/* lodex-tool: the user's place database from the command line: places,
 * categories, filtered listings, export and import, one command per run. */

#include <liblodex/lodex.h>

#include <cerrno>
#include <clocale>
#include <cmath>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <initializer_list>
#include <unistd.h>

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
  gboolean add_category = FALSE;
  gchar *remove_category = nullptr;
  gchar *update_category = nullptr;
  gboolean list_categories = FALSE;
  gchar *add_to_category = nullptr;
  gchar *remove_from_category = nullptr;
  gchar *category_filter = nullptr;
  gchar *location_filter = nullptr;
  gchar *export_file = nullptr;
  gchar *import_file = nullptr;
  gchar *export_route = nullptr;
  gchar *route_file = nullptr; /* the argument after --export-route's id */
  gboolean list_routes = FALSE;
  gchar *into_category = nullptr;
  gchar *duplicates = nullptr;
  gboolean version = FALSE;
  gchar *name = nullptr;
  gchar *description = nullptr;
  gchar *country = nullptr;
  gchar *state = nullptr;
  gchar *county = nullptr;
  gchar *district = nullptr;
  gchar *postcode = nullptr;
  gchar *street = nullptr;
  gchar *search = nullptr;
  gchar *near = nullptr;
  gchar *sort = nullptr;
  gchar *limit = nullptr;
  gboolean count = FALSE;

  gdouble latitude = 0.0;
  gdouble longitude = 0.0;
  gdouble altitude = 0.0;
  guint given = 0;

  ~Options ()
  {
    for (gchar *text : {remove_place, update_place, show_place, remove_category, update_category, add_to_category,
                        remove_from_category, category_filter, location_filter, export_file, import_file, export_route, route_file,
                        into_category, duplicates, name,
                        description, country, state, county, district, postcode, street, search, near, sort, limit})
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
    gdouble limit; /* the largest magnitude allowed */
  } coordinates[] = {
    {"--latitude", &Options::latitude, GIVEN_LATITUDE, 90},
    {"--longitude", &Options::longitude, GIVEN_LONGITUDE, 180},
    {"--altitude", &Options::altitude, GIVEN_ALTITUDE, G_MAXDOUBLE},
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
        if (std::fabs (number) > coordinate.limit)
          {
            g_set_error (error, G_OPTION_ERROR, G_OPTION_ERROR_BAD_VALUE,
                         "Invalid value '%s' for %s: it must lie between %g and %g", value, option_name,
                         -coordinate.limit, coordinate.limit);
            return FALSE;
          }
        options.*coordinate.member = number;
        options.given |= coordinate.bit;
        return TRUE;
      }
  g_set_error (error, G_OPTION_ERROR, G_OPTION_ERROR_FAILED, "Unknown coordinate %s", option_name);
  return FALSE;
}

const GOptionEntry entries[] = {
  {"add-place", 'a', 0, G_OPTION_ARG_NONE, &options.add_place, "Add new place", nullptr},
  {"remove-place", 'r', 0, G_OPTION_ARG_FILENAME, &options.remove_place, "Remove place", "<id>"},
  {"update-place", 'u', 0, G_OPTION_ARG_FILENAME, &options.update_place, "Update place", "<id>"},
  {"list-places", 0, 0, G_OPTION_ARG_NONE, &options.list_places, "List places", nullptr},
  {"show-place", 's', 0, G_OPTION_ARG_FILENAME, &options.show_place, "Show details for a place", "<id>"},
  /* no short letters: GLib parses every entry of a letter, and -r and -u
   * would then always fail */
  {"add-category", 0, 0, G_OPTION_ARG_NONE, &options.add_category, "Add new category", nullptr},
  {"remove-category", 0, 0, G_OPTION_ARG_FILENAME, &options.remove_category, "Remove category", "<id>"},
  {"update-category", 0, 0, G_OPTION_ARG_FILENAME, &options.update_category, "Update category", "<id>"},
  {"list-categories", 0, 0, G_OPTION_ARG_NONE, &options.list_categories, "List categories", nullptr},
  {"add-to-category", 0, 0, G_OPTION_ARG_FILENAME, &options.add_to_category, "Add place to category",
   "<place id>:<category id>"},
  {"remove-from-category", 0, 0, G_OPTION_ARG_FILENAME, &options.remove_from_category, "Remove place from category",
   "<place id>:<category id>"},
  {"category-filter", 0, 0, G_OPTION_ARG_FILENAME, &options.category_filter, "Filter on a category", "<category id>"},
  {"location-filter", 0, 0, G_OPTION_ARG_FILENAME, &options.location_filter, "Filter on a location",
   "<min_lat>:<max_lat>:<min_long>:<max_long>[:<min_alt>:<max_alt>]"},
  {"search", 0, 0, G_OPTION_ARG_FILENAME, &options.search, "List the places whose name holds every word", "<text>"},
  {"near", 0, 0, G_OPTION_ARG_FILENAME, &options.near, "List the places nearest a point first, within a radius if given",
   "<lat>:<long>[:<metres>]"},
  {"sort", 0, 0, G_OPTION_ARG_FILENAME, &options.sort, "List the places in order of name", "name"},
  {"limit", 0, 0, G_OPTION_ARG_FILENAME, &options.limit, "List at most this many places", "<n>"},
  {"count", 0, 0, G_OPTION_ARG_NONE, &options.count, "Print how many places a listing would give", nullptr},
  {"export", 0, 0, G_OPTION_ARG_FILENAME, &options.export_file, "Export", "<filename>"},
  {"import", 0, 0, G_OPTION_ARG_FILENAME, &options.import_file, "Import", "<filename>"},
  {"list-routes", 0, 0, G_OPTION_ARG_NONE, &options.list_routes, "List routes and tracks", nullptr},
  {"export-route", 0, 0, G_OPTION_ARG_FILENAME, &options.export_route, "Export one route or track as GPX",
   "<id> <filename>"},
  {"into-category", 0, 0, G_OPTION_ARG_FILENAME, &options.into_category,
   "Put every place the import adds or updates in this category", "<name>"},
  {"duplicates", 0, 0, G_OPTION_ARG_FILENAME, &options.duplicates,
   "What the import does with a place stored already (default skip)", "skip|update|add"},
  {"name", 0, 0, G_OPTION_ARG_FILENAME, &options.name, "Name", "<name>"},
  {"description", 0, 0, G_OPTION_ARG_FILENAME, &options.description, "Description", "<description>"},
  {"latitude", 0, 0, G_OPTION_ARG_CALLBACK, reinterpret_cast<gpointer> (coordinate_option_cb),
   "Latitude", "<latitude>"},
  {"longitude", 0, 0, G_OPTION_ARG_CALLBACK, reinterpret_cast<gpointer> (coordinate_option_cb),
   "Longitude", "<longitude>"},
  {"altitude", 0, 0, G_OPTION_ARG_CALLBACK, reinterpret_cast<gpointer> (coordinate_option_cb),
   "Altitude", "<altitude>"},
  {"country", 0, 0, G_OPTION_ARG_FILENAME, &options.country, "Country", "<country>"},
  {"state", 0, 0, G_OPTION_ARG_FILENAME, &options.state, "State", "<state>"},
  {"county", 0, 0, G_OPTION_ARG_FILENAME, &options.county, "County", "<county>"},
  {"district", 0, 0, G_OPTION_ARG_FILENAME, &options.district, "District", "<district>"},
  {"postcode", 0, 0, G_OPTION_ARG_FILENAME, &options.postcode, "Post code", "<postcode>"},
  {"street", 0, 0, G_OPTION_ARG_FILENAME, &options.street, "Street", "<street>"},
  {"version", 0, 0, G_OPTION_ARG_NONE, &options.version, "Print the version and exit", nullptr},
  {nullptr, 0, 0, G_OPTION_ARG_NONE, nullptr, nullptr, nullptr}, /* G_OPTION_ENTRY_NULL is C only */
};

const char summary[] = "Manages your place database (~/.lodex.db): places, categories, listings of a\n"
                       "category or of a box, export and import. Running programs that use the\n"
                       "database see every change.\n"
                       "\n"
                       "Each run carries out one command: the first given of --add-place,\n"
                       "--update-place, --remove-place, --list-places, --show-place, --add-category,\n"
                       "--update-category, --remove-category, --list-categories, --add-to-category\n"
                       "or --remove-from-category, a listing, --list-routes, --export-route, and\n"
                       "--export or --import. After\n"
                       "--remove-place or --remove-category a second command may follow; --export\n"
                       "and --import may come together.\n"
                       "\n"
                       "A listing is any of --category-filter, --location-filter, --search, --near,\n"
                       "--sort, --limit and --count, together: the places that pass every filter\n"
                       "given, nearest first with --near, by name with --sort name.";

const char description[] = "--add-place needs --name, --latitude and --longitude; --update-place changes\n"
                           "only what is given. Coordinates are decimal degrees written with a dot.\n"
                           "Ids are printed by the commands that add and list. A file name ending in\n"
                           ".lmx is read and written as LMX, one ending in .geojson or .json as GeoJSON\n"
                           "(in any case), any other as GPX. --export writes routes and tracks to GPX\n"
                           "too; --export-route writes one of them, with its places, as GPX. --import\n"
                           "prints how many places it added, updated and skipped; a place is stored\n"
                           "already when its id is, or a place of the same name lies within 10 metres.\n"
                           "--search matches whole words without case or accents (\"zurich\" finds\n"
                           "\"Zürich\"), and with a * the words they begin (\"zur*\"); --near measures\n"
                           "metres along the earth's surface.\n"
                           "The exit status is 0, or 255 when anything failed.\n"
                           "\n"
                           "Examples:\n"
                           "  lodex-tool --add-place --name \"Tower of London\" --latitude 51.5081 --longitude -0.0759\n"
                           "  lodex-tool --list-places\n"
                           "  lodex-tool --update-place <id> --street \"Tower Hill\" --postcode \"EC3N 4AB\"\n"
                           "  lodex-tool --add-category --name Castles\n"
                           "  lodex-tool --add-to-category <place id>:<category id>\n"
                           "  lodex-tool --location-filter 51:52:-1:1\n"
                           "  lodex-tool --search cafe --near 51.5:-0.12:5000 --limit 5\n"
                           "  lodex-tool --search zurich --sort name --count\n"
                           "  lodex-tool --export places.gpx\n"
                           "  lodex-tool --list-routes\n"
                           "  lodex-tool --export-route <route id> route.gpx\n";

/* The errno of the first write to standard output that failed: nothing
 * more is written after it. */
int output_error;

/* Data on standard output, as it is: names are UTF-8, whatever the locale
 * (g_print would turn them into question marks under the C locale). FALSE
 * once writing failed, a reader that closed its end of a pipe included. */
bool
out (const char *format, ...) G_GNUC_PRINTF (1, 2);

bool
out (const char *format, ...)
{
  if (output_error)
    return false;
  errno = 0;
  va_list args;
  va_start (args, format);
  int written = vprintf (format, args);
  va_end (args);
  if (written < 0 || ferror (stdout))
    output_error = errno ? errno : EIO;
  return !output_error;
}

/* Text options arrive as the bytes given: valid UTF-8 is taken as it is,
 * anything else is converted from the locale's charset. */
bool
texts_to_utf8 (GError **error)
{
  static const struct
  {
    const char *option;
    gchar *Options::*member;
  } texts[] = {
    {"--remove-place", &Options::remove_place},
    {"--update-place", &Options::update_place},
    {"--show-place", &Options::show_place},
    {"--remove-category", &Options::remove_category},
    {"--update-category", &Options::update_category},
    {"--add-to-category", &Options::add_to_category},
    {"--remove-from-category", &Options::remove_from_category},
    {"--category-filter", &Options::category_filter},
    {"--location-filter", &Options::location_filter},
    {"--search", &Options::search},
    {"--name", &Options::name},
    {"--description", &Options::description},
    {"--country", &Options::country},
    {"--state", &Options::state},
    {"--county", &Options::county},
    {"--district", &Options::district},
    {"--postcode", &Options::postcode},
    {"--street", &Options::street},
  };
  for (const auto &text : texts)
    {
      gchar *&value = options.*text.member;
      if (!value || g_utf8_validate (value, -1, nullptr))
        continue;
      g_autoptr (GError) conversion = nullptr;
      gchar *converted = g_locale_to_utf8 (value, -1, nullptr, nullptr, &conversion);
      if (!converted)
        {
          g_set_error (error, G_OPTION_ERROR, G_OPTION_ERROR_BAD_VALUE, "Invalid text for %s: %s", text.option,
                       conversion->message);
          return false;
        }
      g_free (value);
      value = converted;
    }
  return true;
}

const char *
printable (const char *text)
{
  return text ? text : "(null)";
}

/* A text that keeps to its line: control characters, a line end among
 * them, are written as C escapes (\n, \t, \x1b). */
gchar *
one_line (const char *text)
{
  if (!text)
    return g_strdup ("(null)");
  GString *line = g_string_new (nullptr);
  for (const guchar *p = reinterpret_cast<const guchar *> (text); *p; p++)
    if (*p == '\n')
      g_string_append (line, "\\n");
    else if (*p == '\r')
      g_string_append (line, "\\r");
    else if (*p == '\t')
      g_string_append (line, "\\t");
    else if (*p < 0x20 || *p == 0x7f)
      g_string_append_printf (line, "\\x%02x", *p);
    else
      g_string_append_c (line, char (*p));
  return g_string_free (line, FALSE);
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

/* Lists the places of @set, one a line, at most @limit (-1: all), with
 * the distance from the point of @sort when it is given; stops at the
 * first write that fails. A walk that ended on an error (a damaged
 * database) is a failure: the library has said why. */
int
list_set (LodexSet *set, gint64 limit = -1, LodexLocationSort *sort = nullptr)
{
  bool written = true;
  gint64 listed = 0;
  for (LodexPlace *place = limit ? lodex_set_first (set) : nullptr; place && written;
       place = limit < 0 || listed < limit ? lodex_set_next (set) : nullptr)
    {
      listed++;
      g_autofree gchar *id = nullptr;
      g_autofree gchar *name = nullptr;
      guint fields = 0;
      gdouble latitude = 0.0, longitude = 0.0, altitude = 0.0;
      g_object_get (place, "id", &id, "fields", &fields, "name", &name, "latitude", &latitude,
                    "longitude", &longitude, "altitude", &altitude, nullptr);
      g_autofree gchar *line = one_line (name);
      written = out ("%s %s Lat: %f Long: %f", printable (id), line, latitude, longitude)
                && (!(fields & LODEX_PLACE_FIELD_ALTITUDE) || out (" Alt: %f", altitude))
                && (!sort || out (" Dist: %.1f m", lodex_location_sort_get_distance (sort)))
                && out ("\n");
      g_object_unref (place);
    }
  return written && !lodex_set_get_walk_error (set) ? 0 : FAILURE;
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
  /* set before the add, whose insert writes them all: once added, nothing
   * is left that could fail */
  apply_place_options (place);
  if (!lodex_store_add_place (store, place))
    {
      g_printerr ("Error whilst adding place\n");
      return FAILURE;
    }

  g_autofree gchar *id = nullptr;
  g_object_get (place, "id", &id, nullptr);
  out ("Place added with id '%s'\n", printable (id));
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
      /* reported as failed: never written later, when the place is
       * released after the lock is gone */
      lodex_place_discard_changes (place);
      g_printerr ("Error whilst updating place\n");
      return FAILURE;
    }
  out ("Place with id '%s' updated\n", id);
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
  out ("Place with id '%s' removed\n", id);
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
        out ("%s: %d\n", name, g_value_get_int (&value));
      else if (type == G_TYPE_UINT)
        out ("%s: %u\n", name, g_value_get_uint (&value));
      else if (type == G_TYPE_INT64)
        out ("%s: %" G_GINT64_FORMAT "\n", name, g_value_get_int64 (&value));
      else if (type == G_TYPE_DOUBLE)
        out ("%s: %f\n", name, g_value_get_double (&value));
      else
        {
          g_autofree gchar *line = one_line (g_value_get_string (&value));
          out ("%s: %s\n", name, line);
        }
    }
  return 0;
}

/* Categories */

int
add_category (LodexStore *store)
{
  if (!options.name)
    {
      g_printerr ("Name must be supplied for category\n");
      return FAILURE;
    }
  g_autoptr (LodexCategory) category = lodex_category_new (options.name, options.description);
  if (!category || !lodex_store_add_category (store, category))
    return FAILURE; /* the library has said why */
  g_autofree gchar *id = nullptr;
  g_object_get (category, "id", &id, nullptr);
  out ("Category with id '%s' added\n", printable (id));
  return 0;
}

/* The category of @id, or NULL after the tool's message. The library's
 * own warning for an unknown id is not for the tool's users. */
LodexCategory *
find_category (LodexStore *store, const gchar *id, const char *not_found)
{
  g_autoptr (GList) categories = lodex_store_categories (store);
  LodexCategory *found = nullptr;
  for (GList *l = categories; l; l = l->next)
    {
      g_autofree gchar *candidate = nullptr;
      g_object_get (l->data, "id", &candidate, nullptr);
      if (!found && g_strcmp0 (candidate, id) == 0)
        found = LODEX_CATEGORY (g_object_ref (l->data));
      g_object_unref (l->data);
    }
  if (!found)
    g_printerr (not_found, id);
  return found;
}

int
update_category (LodexStore *store, const gchar *id)
{
  g_autoptr (LodexCategory) category = find_category (store, id, "No category with id '%s' found\n");
  if (!category)
    return FAILURE;
  if (options.name)
    g_object_set (category, "name", options.name, nullptr);
  if (options.description)
    g_object_set (category, "description", options.description, nullptr);
  return 0;
}

int
list_categories (LodexStore *store)
{
  GList *categories = lodex_store_categories (store);
  for (GList *l = categories; l; l = l->next)
    {
      g_autofree gchar *id = nullptr;
      g_autofree gchar *name = nullptr;
      g_autofree gchar *description = nullptr;
      g_object_get (l->data, "id", &id, "name", &name, "description", &description, nullptr);
      g_autofree gchar *name_line = one_line (name);
      g_autofree gchar *description_line = description ? one_line (description) : nullptr;
      /* a category without a description has nothing after its name */
      if (!(description_line ? out ("%s %s %s\n", printable (id), name_line, description_line)
                             : out ("%s %s\n", printable (id), name_line)))
        break;
    }
  g_list_free_full (categories, g_object_unref);
  return 0;
}

/* --list-routes: id, "track" or "route", and name of each. */
int
list_routes (LodexStore *store)
{
  GList *routes = lodex_store_routes (store);
  for (GList *l = routes; l; l = l->next)
    {
      g_autofree gchar *id = nullptr;
      g_autofree gchar *name = nullptr;
      g_autofree gchar *type = nullptr;
      g_object_get (l->data, "id", &id, "name", &name, "type", &type, nullptr);
      g_autofree gchar *name_line = one_line (name ? name : "");
      if (!out ("%s %s %s\n", printable (id), g_strcmp0 (type, "track") == 0 ? "track" : "route", name_line))
        break;
    }
  g_list_free_full (routes, g_object_unref);
  return 0;
}

/* --export-route ID FILE */
int
export_route (LodexStore *store)
{
  if (!options.route_file)
    {
      g_printerr ("--export-route needs a route id and a file name\n");
      return FAILURE;
    }
  GList *routes = lodex_store_routes (store);
  LodexRoute *found = nullptr;
  for (GList *l = routes; l; l = l->next)
    {
      g_autofree gchar *id = nullptr;
      g_object_get (l->data, "id", &id, nullptr);
      if (!found && g_strcmp0 (id, options.export_route) == 0)
        found = LODEX_ROUTE (g_object_ref (l->data));
    }
  g_list_free_full (routes, g_object_unref);
  if (!found)
    {
      g_printerr ("No route with id '%s' found\n", options.export_route);
      return FAILURE;
    }
  g_autoptr (GError) error = nullptr;
  gboolean written = lodex_export_route_to_gpx_file (found, options.route_file, &error);
  g_object_unref (found);
  if (!written)
    {
      g_printerr ("Error exporting: %s\n", error ? error->message : "unknown error");
      return FAILURE;
    }
  return 0;
}

/* --add-to-category and --remove-from-category: the pair of the removal
 * when both are given, added and then removed. */
int
change_membership (LodexStore *store)
{
  const gchar *pair = options.remove_from_category ? options.remove_from_category : options.add_to_category;
  g_auto (GStrv) pieces = g_strsplit (pair, ":", -1);
  if (!pieces[0] || !*pieces[0] || !pieces[1] || !*pieces[1])
    {
      g_printerr ("Must supply both a place id and a category id\n");
      return FAILURE;
    }
  g_autoptr (LodexPlace) place = lodex_store_get_place_by_id (store, pieces[0]);
  g_autoptr (LodexCategory) category = find_category (store, pieces[1], "No category with id '%s' found\n");
  if (!place)
    g_printerr ("No place with id %s found\n", pieces[0]);
  if (!place || !category)
    return FAILURE;

  if (options.add_to_category)
    {
      if (!lodex_category_add_place (category, place))
        return FAILURE;
      out ("Place added to category\n");
    }
  if (options.remove_from_category)
    {
      if (!lodex_category_remove_place (category, place))
        return FAILURE;
      out ("Place removed from category\n");
    }
  return 0;
}

/* Filters */

/* A number of a colon-separated option, or FALSE after a message. */
bool
parse_number (const char *text, const char *option, gdouble *number)
{
  gchar *end = nullptr;
  *number = g_ascii_strtod (text, &end);
  if (end == text || *end != '\0' || !std::isfinite (*number))
    {
      g_printerr ("Invalid value '%s' for %s: a number such as 51.5 is expected\n", text, option);
      return false;
    }
  return true;
}

/* The box of --location-filter around @set, or NULL after a message. */
LodexSet *
box_around (LodexSet *set, const gchar *text)
{
  g_auto (GStrv) pieces = g_strsplit (text, ":", -1);
  guint n = g_strv_length (pieces);
  if (n != 4 && n != 6)
    {
      g_printerr ("Incorrect number of parameters supplied.\n");
      return nullptr;
    }
  gdouble bounds[6];
  for (guint i = 0; i < n; i++)
    if (!parse_number (pieces[i], "--location-filter", &bounds[i]))
      return nullptr;
  LodexLocationFilter *filter = lodex_location_filter_new (set);
  if (n == 6)
    g_object_set (filter, "min-alt", bounds[4], "max-alt", bounds[5], "ignore-altitude", FALSE, nullptr);
  g_object_set (filter, "min-lat", bounds[0], "max-lat", bounds[1], "min-long", bounds[2], "max-long", bounds[3],
                nullptr);
  return LODEX_SET (filter);
}

/* Takes @set and gives the set around it, or NULL. */
LodexSet *
wrap (LodexSet *set, gpointer around)
{
  g_object_unref (set);
  return around ? LODEX_SET (around) : nullptr;
}

/* A listing: the filters given, in one query, then the order, the limit
 * and the count. */
int
list_query (LodexStore *store)
{
  gint64 limit = -1;
  if (options.limit)
    {
      guint64 n = 0;
      if (!g_ascii_string_to_unsigned (options.limit, 10, 0, G_MAXINT64, &n, nullptr))
        {
          g_printerr ("Invalid value '%s' for --limit: a whole number such as 10 is expected\n", options.limit);
          return FAILURE;
        }
      limit = gint64 (n);
    }
  if (options.sort && !g_str_equal (options.sort, "name"))
    {
      g_printerr ("Invalid value '%s' for --sort: the only order is 'name'\n", options.sort);
      return FAILURE;
    }
  gdouble near[3] = {0, 0, 0};
  guint near_pieces = 0;
  if (options.near)
    {
      g_auto (GStrv) pieces = g_strsplit (options.near, ":", -1);
      near_pieces = g_strv_length (pieces);
      if (near_pieces != 2 && near_pieces != 3)
        {
          g_printerr ("Invalid value '%s' for --near: <latitude>:<longitude>[:<metres>] is expected\n", options.near);
          return FAILURE;
        }
      for (guint i = 0; i < near_pieces; i++)
        if (!parse_number (pieces[i], "--near", &near[i]))
          return FAILURE;
      if (std::fabs (near[0]) > 90 || std::fabs (near[1]) > 180)
        {
          g_printerr ("Invalid value '%s' for --near: the latitude lies between -90 and 90, the longitude between "
                      "-180 and 180\n",
                      options.near);
          return FAILURE;
        }
      if (near_pieces == 3 && !(near[2] > 0))
        {
          g_printerr ("Invalid value '%s' for --near: the radius must be a positive number of metres\n", pieces[2]);
          return FAILURE;
        }
    }

  LodexSet *set = LODEX_SET (g_object_ref (store));
  if (options.category_filter)
    {
      g_autoptr (LodexCategory) category = find_category (store, options.category_filter, "Category with id '%s' not found");
      if (!category)
        {
          g_object_unref (set);
          return FAILURE;
        }
      set = wrap (set, lodex_category_filter_new (set));
      g_object_set (set, "category", category, nullptr);
    }
  if (options.location_filter)
    {
      LodexSet *box = box_around (set, options.location_filter);
      if (!(set = wrap (set, box)))
        return FAILURE;
    }
  if (options.search)
    set = wrap (set, lodex_text_filter_new (set, options.search));
  if (near_pieces == 3)
    set = wrap (set, lodex_radius_filter_new (set, near[0], near[1], near[2]));
  LodexLocationSort *by_distance = nullptr;
  if (options.sort)
    set = wrap (set, lodex_name_sort_new (set));
  else if (options.near)
    {
      by_distance = lodex_location_sort_new (set);
      g_object_set (by_distance, "latitude", near[0], "longitude", near[1], nullptr);
      set = wrap (set, by_distance);
    }
  g_autoptr (LodexSet) listed = set;

  if (options.count)
    {
      g_autoptr (GError) error = nullptr;
      gint64 n = lodex_set_count (listed, &error);
      if (n < 0)
        {
          g_printerr ("Error counting places: %s\n", error->message);
          return FAILURE;
        }
      out ("%" G_GINT64_FORMAT "\n", limit >= 0 ? MIN (n, limit) : n);
      return 0;
    }
  return list_set (listed, limit, by_distance);
}

/* A progress line on standard error for a person watching: only on a
 * terminal, and only once the work has lasted a second. */
struct ProgressLine
{
  const char *what;
  gint64 start = g_get_monotonic_time ();
  bool shown = false;

  explicit ProgressLine (const char *what) : what (what) {}
  ~ProgressLine ()
  {
    if (shown) /* the line is left as it ended, and the next starts below */
      g_printerr ("\n");
  }

  static bool
  wanted ()
  {
    return isatty (STDERR_FILENO);
  }

  static void
  update (guint64 places, goffset done, goffset total, gpointer data)
  {
    auto line = static_cast<ProgressLine *> (data);
    if (!line->shown && g_get_monotonic_time () - line->start < G_USEC_PER_SEC)
      return;
    line->shown = true;
    if (total > 0)
      g_printerr ("\r%s: %" G_GUINT64_FORMAT " places, %d%%\033[K", line->what, places, int (done * 100 / total));
    else
      g_printerr ("\r%s: %" G_GUINT64_FORMAT " places\033[K", line->what, places);
  }
};

/* Runs an asynchronous call of the library to its end. */
struct Wait
{
  GMainLoop *loop = g_main_loop_new (nullptr, FALSE);
  GAsyncResult *result = nullptr;

  ~Wait ()
  {
    g_clear_object (&result);
    g_main_loop_unref (loop);
  }

  static void
  done (GObject *, GAsyncResult *result, gpointer data)
  {
    auto wait = static_cast<Wait *> (data);
    wait->result = G_ASYNC_RESULT (g_object_ref (result));
    g_main_loop_quit (wait->loop);
  }

  GAsyncResult *
  run ()
  {
    g_main_loop_run (loop);
    return result;
  }
};

int
export_file (LodexStore *store)
{
  g_autoptr (GError) error = nullptr;
  g_autoptr (GFile) file = g_file_new_for_path (options.export_file);
  ProgressLine line ("Exporting");
  Wait wait;
  lodex_store_export_async (store, nullptr, file, nullptr, nullptr, ProgressLine::wanted () ? ProgressLine::update : nullptr,
                            &line, nullptr, Wait::done, &wait);
  if (!lodex_store_export_finish (store, wait.run (), &error))
    {
      g_printerr ("%sError exporting: %s\n", line.shown ? "\n" : "", error ? error->message : "unknown error");
      line.shown = false;
      return FAILURE;
    }
  return 0;
}

int
import_file (LodexStore *store)
{
  g_autoptr (LodexImportOptions) import_options = lodex_import_options_new ();
  lodex_import_options_set_category (import_options, options.into_category);
  if (options.duplicates)
    {
      GEnumClass *values = G_ENUM_CLASS (g_type_class_ref (LODEX_TYPE_DUPLICATES));
      GEnumValue *value = g_enum_get_value_by_nick (values, options.duplicates);
      g_type_class_unref (values);
      if (!value)
        {
          g_printerr ("Unknown value '%s' for --duplicates: skip, update or add\n", options.duplicates);
          return FAILURE;
        }
      lodex_import_options_set_duplicates (import_options, LodexDuplicates (value->value));
    }

  g_autoptr (GError) error = nullptr;
  g_autoptr (GFile) file = g_file_new_for_path (options.import_file);
  g_autoptr (LodexImportResult) result = nullptr;
  {
    ProgressLine line ("Importing");
    Wait wait;
    lodex_store_import_async (store, file, import_options, nullptr, ProgressLine::wanted () ? ProgressLine::update : nullptr,
                              &line, nullptr, Wait::done, &wait);
    result = lodex_store_import_finish (store, wait.run (), &error);
  }
  if (!result)
    {
      g_printerr ("Error importing: %s\n", error ? error->message : "unknown error");
      return FAILURE;
    }
  out ("%u added, %u updated, %u skipped\n", lodex_import_result_get_added (result),
       lodex_import_result_get_updated (result), lodex_import_result_get_skipped (result));
  return 0;
}

/* Files: the export, then the import, each with its own error. */
int
transfer_files (LodexStore *store)
{
  int status = 0;
  if ((options.into_category || options.duplicates) && !options.import_file)
    {
      g_printerr ("--into-category and --duplicates go with --import\n");
      return FAILURE;
    }
  if (options.export_file && export_file (store) != 0)
    status = FAILURE;
  if (options.import_file && import_file (store) != 0)
    status = FAILURE;
  return status;
}

/* The commands after the place commands, in their order. */
int
run_category_or_file_command (LodexStore *store)
{
  if (options.add_category)
    return add_category (store);
  if (options.update_category)
    return update_category (store, options.update_category);
  if (options.remove_category)
    {
      g_autoptr (LodexCategory) category = find_category (store, options.remove_category,
                                                          "No category with id '%s' found\n");
      if (!category)
        return FAILURE;
      if (!lodex_store_remove_category (store, category))
        {
          g_printerr ("Error whilst removing category\n");
          return FAILURE;
        }
      /* the category has no id any more: print the one we were given */
      out ("Category with id '%s'\n", options.remove_category);
    }
  if (options.list_categories)
    return list_categories (store);
  if (options.list_routes)
    return list_routes (store);
  if (options.export_route)
    return export_route (store);
  if (options.add_to_category || options.remove_from_category)
    return change_membership (store);
  if (options.category_filter || options.location_filter || options.search || options.near || options.sort
      || options.limit || options.count)
    return list_query (store);
  return transfer_files (store);
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
  else
    status = run_category_or_file_command (store);

  /* the next command ran all the same, but a script must see the failure */
  return removal == Removal::FAILED ? FAILURE : status;
}

} // namespace

int
main (int argc, char **argv)
{
  /* arguments and output in the user's charset; numbers stay in the C locale */
  setlocale (LC_CTYPE, "");
  /* the library traces each value an import reads: not for the terminal */
  g_log_set_handler (
    "Lodex", G_LOG_LEVEL_MESSAGE, [] (const gchar *, GLogLevelFlags, const gchar *, gpointer) {},
    nullptr);

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
  if (options.version)
    {
      out ("lodex-tool %s\n", LODEX_VERSION);
      return 0;
    }
  if (!texts_to_utf8 (&error))
    {
      g_printerr ("%s\nRun '%s --help' to see the options.\n", error->message, g_get_prgname ());
      return FAILURE;
    }
  if (options.export_route && argc == 2)
    {
      options.route_file = g_strdup (argv[1]);
      argc = 1;
    }
  if (argc > 1) /* most likely a value with a blank that lost its quotes */
    {
      g_printerr ("Unexpected argument '%s'\nRun '%s --help' to see the options.\n", argv[1],
                  g_get_prgname ());
      return FAILURE;
    }

  int status;
  {
    /* released on every return: its release flushes the change broadcasts */
    g_autoptr (LodexStore) store = lodex_store_get_system ();
    if (!store)
      {
        g_printerr ("Could not open the place database\n");
        return FAILURE;
      }
    status = run_command (store);
  }

  if (!output_error && fflush (stdout) != 0)
    output_error = errno ? errno : EIO;
  if (output_error == EPIPE)
    {
      /* the reader has gone, as with `ls | head`: end as ls does, quietly */
      signal (SIGPIPE, SIG_DFL);
      raise (SIGPIPE);
    }
  if (output_error)
    {
      g_printerr ("Error writing to standard output: %s\n", g_strerror (output_error));
      return FAILURE;
    }
  return status;
}
