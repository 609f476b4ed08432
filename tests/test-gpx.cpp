/* GPX import and export through the store: real files against GPSBabel's
 * reading of them, a full round trip, and input that must store nothing. */

#include "lodex-test-utils.h"

#include "lodex-extension.h"
#include "lodex-importer.hpp"
#include "lodex-export-file.hpp"

#include <libxml/xmlschemas.h>
#include <libxml/xpath.h>
#include <libxml/xpathInternals.h>
#include <sys/resource.h>

#if defined(__SANITIZE_ADDRESS__)
#define LODEX_TEST_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define LODEX_TEST_ASAN 1
#endif
#endif
#ifndef LODEX_TEST_ASAN
#define LODEX_TEST_ASAN 0
#endif

#include <algorithm>
#include <array>
#include <cmath>
#include <map>
#include <tuple>
#include <string>
#include <vector>

static gchar *
data_path (const char *name)
{
  return g_build_filename (LODEX_TEST_DATA, "gpx", name, nullptr);
}

static LodexStore *
store_in_home (const char *name)
{
  g_free (lodex_test_db_path ()); /* makes HOME */
  g_autofree gchar *path = g_build_filename (g_get_home_dir (), name, nullptr);
  LodexStore *store = _lodex_store_get_from_file (path, LODEX_TEST_SCHEMA);
  g_assert_nonnull (store);
  return store;
}

static void
close_store (LodexStore *store)
{
  lodex_test_settle ();
  g_assert_finalize_object (store);
}

struct Point
{
  std::string name;
  bool named;
  double latitude, longitude;
};

/* gpsbabel's unicsv: a header line, then quoted or bare fields. */
static std::vector<std::vector<std::string>>
parse_csv (const char *text)
{
  std::vector<std::vector<std::string>> rows (1);
  std::string field;
  bool quoted = false;
  for (const char *p = text; *p; p++)
    {
      if (quoted)
        {
          if (*p == '"' && p[1] == '"')
            field += *++p;
          else if (*p == '"')
            quoted = false;
          else
            field += *p;
        }
      else if (*p == '"')
        quoted = true;
      else if (*p == ',' || *p == '\n')
        {
          rows.back ().push_back (field);
          field.clear ();
          if (*p == '\n')
            rows.emplace_back ();
        }
      else if (*p != '\r')
        field += *p;
    }
  if (rows.back ().empty ())
    rows.pop_back ();
  return rows;
}

/* What GPSBabel reads of @path: its waypoints, route points and track
 * points (-w, -r, -t), each in file order. The three run at once. */
static std::array<std::vector<Point>, 3>
gpsbabel_points (const char *path)
{
  const char *modes[] = {"-w", "-r", "-t"};
  GSubprocess *runs[3];
  for (int i = 0; i < 3; i++)
    {
      g_autoptr (GError) error = nullptr;
      runs[i] = g_subprocess_new (G_SUBPROCESS_FLAGS_STDOUT_PIPE, &error, "gpsbabel", modes[i], "-i", "gpx", "-f",
                                  path, "-o", "unicsv", "-F", "-", nullptr);
      g_assert_no_error (error);
    }
  std::array<std::vector<Point>, 3> points;
  for (int i = 0; i < 3; i++)
    {
      g_autofree gchar *out = nullptr;
      g_autoptr (GError) error = nullptr;
      g_subprocess_communicate_utf8 (runs[i], nullptr, nullptr, &out, nullptr, &error);
      g_assert_no_error (error);
      g_assert_true (g_subprocess_get_successful (runs[i]));
      g_object_unref (runs[i]);

      auto rows = parse_csv (out);
      const auto &header = rows.at (0);
      auto column = [&] (const char *name) {
        return int (std::find (header.begin (), header.end (), name) - header.begin ());
      };
      int name = column ("Name"), latitude = column ("Latitude"), longitude = column ("Longitude");
      for (size_t r = 1; r < rows.size (); r++)
        {
          const auto &row = rows[r];
          bool named = name < int (row.size ());
          points[i].push_back ({named ? row[name] : "", named, g_ascii_strtod (row.at (latitude).c_str (), nullptr),
                                g_ascii_strtod (row.at (longitude).c_str (), nullptr)});
        }
    }
  return points;
}

static std::vector<Point>
stored_points (LodexStore *store, const char *sql)
{
  sqlite3 *db = _lodex_set_get_db (LODEX_SET (store));
  sqlite3_stmt *statement = nullptr;
  g_assert_cmpint (sqlite3_prepare_v2 (db, sql, -1, &statement, nullptr), ==, SQLITE_OK);
  std::vector<Point> points;
  while (sqlite3_step (statement) == SQLITE_ROW)
    {
      auto name = reinterpret_cast<const char *> (sqlite3_column_text (statement, 0));
      points.push_back ({name ? name : "", name != nullptr, sqlite3_column_double (statement, 1),
                         sqlite3_column_double (statement, 2)});
    }
  sqlite3_finalize (statement);
  return points;
}

static int
count_rows (LodexStore *store, const char *table)
{
  g_autofree gchar *sql = g_strdup_printf ("SELECT count(*) FROM %s", table);
  sqlite3_stmt *statement = nullptr;
  g_assert_cmpint (sqlite3_prepare_v2 (_lodex_set_get_db (LODEX_SET (store)), sql, -1, &statement, nullptr), ==,
                   SQLITE_OK);
  g_assert_cmpint (sqlite3_step (statement), ==, SQLITE_ROW);
  int count = sqlite3_column_int (statement, 0);
  sqlite3_finalize (statement);
  return count;
}

/* Names exact (GPSBabel makes one up, WPT001 or RPT002, for a point with
 * none), coordinates to GPSBabel's six decimals. */
static void
assert_same_points (const std::vector<Point> &ours, const std::vector<Point> &theirs, const char *what)
{
  g_test_message ("%s: %zu points", what, theirs.size ());
  g_assert_cmpuint (ours.size (), ==, theirs.size ());
  for (size_t i = 0; i < ours.size (); i++)
    {
      const Point &a = ours[i], &b = theirs[i];
      if (a.named || !b.named || !g_regex_match_simple ("^[WR]PT\\d{3}$", b.name.c_str (), GRegexCompileFlags (0), GRegexMatchFlags (0)))
        g_assert_cmpstr (a.name.c_str (), ==, b.name.c_str ());
      g_assert_cmpfloat_with_epsilon (a.latitude, b.latitude, 1.5e-6);
      g_assert_cmpfloat_with_epsilon (a.longitude, b.longitude, 1.5e-6);
    }
}

static const char *places_sql = "SELECT name, latitude, longitude FROM places ORDER BY rowid";

static int
last_row (LodexStore *store, const char *table)
{
  g_autofree gchar *sql = g_strdup_printf ("SELECT coalesce (max (rowid), 0) FROM %s", table);
  sqlite3_stmt *statement = nullptr;
  g_assert_cmpint (sqlite3_prepare_v2 (_lodex_set_get_db (LODEX_SET (store)), sql, -1, &statement, nullptr), ==,
                   SQLITE_OK);
  g_assert_cmpint (sqlite3_step (statement), ==, SQLITE_ROW);
  int last = sqlite3_column_int (statement, 0);
  sqlite3_finalize (statement);
  return last;
}

/* The places, route points and track points stored after the rows
 * @place and @route. */
static std::array<std::vector<Point>, 3>
stored_after (LodexStore *store, int place, int route)
{
  g_autofree gchar *places
    = g_strdup_printf ("SELECT name, latitude, longitude FROM places WHERE rowid > %d ORDER BY rowid", place);
  auto points_of = [&] (const char *type) {
    g_autofree gchar *sql
      = g_strdup_printf ("SELECT w.name, w.latitude, w.longitude FROM waypoints w JOIN routes r ON r.id = w.route_id "
                         "WHERE r.rowid > %d AND r.type IS %s ORDER BY r.rowid, w.order_weight",
                         route, type);
    return stored_points (store, sql);
  };
  return {stored_points (store, places), points_of ("NULL"), points_of ("'track'")};
}

static std::vector<std::string>
corpus_files (void)
{
  g_autofree gchar *dir_path = data_path ("");
  g_autoptr (GDir) dir = g_dir_open (dir_path, 0, nullptr);
  g_assert_nonnull (dir);
  std::vector<std::string> names;
  while (const char *name = g_dir_read_name (dir))
    if (g_str_has_suffix (name, ".gpx"))
      names.push_back (name);
  std::sort (names.begin (), names.end ());
  g_assert_cmpuint (names.size (), ==, 29);
  return names;
}

/* Every real file reads without a warning, and gives the places, route
 * points and track points that GPSBabel reads, in the same order. */
static void
test_gpx_import_corpus (StoreFixture *f, gconstpointer)
{
  g_autofree gchar *gpsbabel = g_find_program_in_path ("gpsbabel");
  if (!gpsbabel)
    {
      g_test_skip ("gpsbabel is not installed");
      return;
    }
  for (const std::string &name : corpus_files ())
    {
      g_autofree gchar *path = data_path (name.c_str ());
      g_test_message ("%s", name.c_str ());
      int place = last_row (f->store, "places"), route = last_row (f->store, "routes");
      g_autoptr (GError) error = nullptr;
      g_assert_true (lodex_import_from_gpx_file (f->store, path, &error));
      g_assert_no_error (error);
      auto ours = stored_after (f->store, place, route);
      auto theirs = gpsbabel_points (path);
      assert_same_points (ours[0], theirs[0], "waypoints");
      assert_same_points (ours[1], theirs[1], "route points");
      assert_same_points (ours[2], theirs[2], "track points");
    }
}

static void
collect_schema_error (void *data, xmlErrorPtr problem)
{
  auto messages = static_cast<GString *> (data);
  g_string_append_printf (messages, "line %d: %s", problem->line, problem->message);
}

/* What `xmllint --schema gpx-1.1.xsd` says, without needing xmllint. */
static void
assert_valid_gpx (const char *path)
{
  g_autofree gchar *xsd = data_path ("gpx-1.1.xsd");
  xmlSchemaParserCtxtPtr parser = xmlSchemaNewParserCtxt (xsd);
  xmlSchemaPtr schema = xmlSchemaParse (parser);
  g_assert_nonnull (schema);
  xmlSchemaValidCtxtPtr validation = xmlSchemaNewValidCtxt (schema);
  GString *messages = g_string_new (nullptr);
  xmlSchemaSetValidStructuredErrors (validation, collect_schema_error, messages);
  int res = xmlSchemaValidateFile (validation, path, 0);
  g_assert_cmpstr (messages->str, ==, "");
  g_assert_cmpint (res, ==, 0);
  g_string_free (messages, TRUE);
  xmlSchemaFreeValidCtxt (validation);
  xmlSchemaFree (schema);
  xmlSchemaFreeParserCtxt (parser);
}

static LodexPlace *
add_place (LodexStore *store, const char *name, double latitude, double longitude, gint64 ctime)
{
  LodexPlace *place = lodex_place_new (name, latitude, longitude);
  _lodex_place_get_row (place)->ctime = ctime;
  g_assert_true (lodex_store_add_place (store, place));
  return place;
}

static LodexRoute *
add_route (LodexStore *store, const char *name, const char *type, int points, std::vector<int> ends)
{
  LodexRoute *route = lodex_route_new (name, "its description");
  g_object_set (route, "comment", "its comment", "type", type, nullptr);
  g_assert_true (lodex_store_add_route (store, route));
  for (int i = 1; i <= points; i++)
    {
      g_autoptr (LodexWaypoint) waypoint = lodex_waypoint_new (60 + i / 1000.0, 24 - i / 1000.0, i * 1.5, 1000000 + i);
      g_autofree gchar *point_name = g_strdup_printf ("%s %d", name, i);
      bool end = std::find (ends.begin (), ends.end (), i) != ends.end ();
      g_object_set (waypoint, "name", point_name, "desc", "a point", "sym", "Flag", "type", "stop", "order-weight",
                    double (i), "segment-end", end, nullptr);
      g_assert_true (lodex_route_add_waypoint (route, waypoint));
    }
  return route;
}

static LodexRoute *
only_route (LodexStore *store)
{
  GList *routes = lodex_store_routes (store);
  g_assert_cmpuint (g_list_length (routes), ==, 1);
  auto route = LODEX_ROUTE (routes->data);
  g_list_free (routes);
  return route;
}

static std::string
waypoints_text (LodexRoute *route)
{
  std::string text;
  GList *waypoints = lodex_route_get_waypoints (route);
  for (GList *l = waypoints; l; l = l->next)
    {
      LodexWaypointRow *row = _lodex_waypoint_get_row (LODEX_WAYPOINT (l->data));
      g_autofree gchar *line = g_strdup_printf ("%s %s %s %s %.6f %.6f %.6f %d%s\n", row->name, row->desc, row->sym,
                                                row->type, row->latitude, row->longitude, row->altitude,
                                                row->ctime, row->segment_end ? " end" : "");
      text += line;
    }
  g_list_free_full (waypoints, g_object_unref);
  return text;
}

static std::vector<std::string>
category_names (LodexPlace *place)
{
  std::vector<std::string> names;
  GList *categories = lodex_place_get_categories (place);
  for (GList *l = categories; l; l = l->next)
    names.push_back (_lodex_category_get_row (LODEX_CATEGORY (l->data))->name);
  g_list_free_full (categories, g_object_unref);
  std::sort (names.begin (), names.end ());
  return names;
}

static std::string
links_text (LodexPlace *place)
{
  std::vector<std::string> lines;
  GList *links = lodex_place_get_links (place);
  for (GList *l = links; l; l = l->next)
    {
      auto link = static_cast<LodexPlaceLink *> (l->data);
      g_autofree gchar *line = g_strdup_printf ("%s|%s|%s", link->name, link->mime, link->url);
      lines.push_back (line);
    }
  g_list_free_full (links, GDestroyNotify (lodex_place_link_free));
  std::sort (lines.begin (), lines.end ());
  std::string text;
  for (const auto &line : lines)
    text += line + "\n";
  return text;
}

static void
assert_same_place (LodexPlace *a, LodexPlace *b)
{
  LodexPlaceRow *x = _lodex_place_get_row (a), *y = _lodex_place_get_row (b);
  g_assert_cmpstr (x->id, ==, y->id);
  g_assert_cmpuint (x->fields, ==, y->fields);
  /* bit for bit */
  for (auto member : {&LodexPlaceRow::latitude, &LodexPlaceRow::longitude, &LodexPlaceRow::altitude,
                      &LodexPlaceRow::haccuracy, &LodexPlaceRow::vaccuracy, &LodexPlaceRow::coverage})
    g_assert_true (memcmp (&(x->*member), &(y->*member), sizeof (double)) == 0);
  for (auto member : {&LodexPlaceRow::name, &LodexPlaceRow::icon, &LodexPlaceRow::description,
                      &LodexPlaceRow::comment, &LodexPlaceRow::presence})
    g_assert_cmpstr (x->*member, ==, y->*member);
  g_assert_cmpint (x->ctime, ==, y->ctime);
  LodexPlaceAddress *address = _lodex_place_get_address (a), *copy = _lodex_place_get_address (b);
  for (const lodex::AddressField &field : lodex::address_fields)
    g_assert_cmpstr (address->*field.member, ==, copy->*field.member);
  g_assert_true (links_text (a) == links_text (b));
  g_assert_true (category_names (a) == category_names (b));
}

/* A store with every place field, categories, a route and tracks goes out
 * as valid GPX 1.1 and comes back whole into an empty store. */
static void
test_gpx_round_trip (StoreFixture *f, gconstpointer)
{
  LodexStore *store = f->store;
  g_autoptr (LodexCategory) museums = lodex_category_new ("Museums", "Art & history");
  g_autoptr (LodexCategory) parks = lodex_category_new ("Parks", nullptr);
  g_autoptr (LodexCategory) unused = lodex_category_new ("Unused", "no place in it");
  for (LodexCategory *category : {museums, parks, unused})
    g_assert_true (lodex_store_add_category (store, category));

  /* every field, and doubles that need all their digits */
  g_autoptr (LodexPlace) full = lodex_test_place_with_every_field ("Tower <of> London & co", "Fish <![CDATA[&]]> chips");
  g_assert_true (lodex_store_add_place (store, full));
  g_assert_true (lodex_category_add_place (museums, full));
  g_assert_true (lodex_category_add_place (parks, full));

  /* nothing but a position: an empty <lodex:place/> */
  g_autoptr (LodexPlace) bare = add_place (store, nullptr, -33.856784, 151.215297, 0);
  g_autoptr (LodexPlace) park = add_place (store, "Hyde Park", 51.507268, -0.165730, 1600000000);
  g_assert_true (lodex_category_add_place (parks, park));

  g_autoptr (LodexRoute) route = add_route (store, "Coast", nullptr, 3, {});
  g_assert_true (lodex_route_add_place (route, full));
  g_assert_true (lodex_route_add_place (route, bare));
  g_autoptr (LodexRoute) track = add_route (store, "Track", "track", 6, {3, 6});
  g_autoptr (LodexRoute) unmarked = add_route (store, "Unmarked", "track", 4, {});
  lodex_test_settle ();

  g_autofree gchar *set_file = g_build_filename (g_get_home_dir (), "places.gpx", nullptr);
  g_autofree gchar *route_file = g_build_filename (g_get_home_dir (), "route.gpx", nullptr);
  g_autofree gchar *track_file = g_build_filename (g_get_home_dir (), "track.gpx", nullptr);
  g_autofree gchar *unmarked_file = g_build_filename (g_get_home_dir (), "unmarked.gpx", nullptr);
  g_autoptr (GError) error = nullptr;
  g_assert_true (lodex_export_set_to_gpx_file (LODEX_SET (store), set_file, &error));
  g_assert_true (lodex_export_route_to_gpx_file (route, route_file, &error));
  g_assert_true (lodex_export_route_to_gpx_file (track, track_file, &error));
  g_assert_true (lodex_export_route_to_gpx_file (unmarked, unmarked_file, &error));
  g_assert_no_error (error);
  for (const char *file : {set_file, route_file, track_file, unmarked_file})
    assert_valid_gpx (file);

  /* GPSBabel finds the same waypoints */
  if (g_autofree gchar *gpsbabel = g_find_program_in_path ("gpsbabel"))
    assert_same_points (stored_points (store, places_sql), gpsbabel_points (set_file)[0], "exported");

  LodexStore *copy = store_in_home ("copy.db");
  g_assert_true (lodex_import_from_gpx_file (copy, set_file, &error));
  g_assert_no_error (error);
  for (LodexPlace *place : {full, bare, park})
    {
      g_autoptr (LodexPlace) imported = lodex_store_get_place_by_id (copy, _lodex_place_get_row (place)->id);
      g_assert_nonnull (imported);
      assert_same_place (place, imported);
    }
  GList *categories = lodex_store_categories (copy);
  g_assert_cmpuint (g_list_length (categories), ==, 3);
  g_list_free_full (categories, g_object_unref);
  {
    g_autoptr (LodexCategory) parks_copy = lodex_store_get_category_by_name (copy, "Parks");
    g_assert_null (_lodex_category_get_row (parks_copy)->description);
    g_autoptr (LodexCategory) museums_copy = lodex_store_get_category_by_name (copy, "Museums");
    g_assert_cmpstr (_lodex_category_get_row (museums_copy)->description, ==, "Art & history");
  }

  /* the route's places are already here: it gets them, nothing is doubled */
  g_assert_true (lodex_import_from_gpx_file (copy, route_file, &error));
  g_assert_no_error (error);
  LodexRoute *route_copy = only_route (copy);
  g_assert_cmpstr (_lodex_route_get_row (route_copy)->name, ==, "Coast");
  g_assert_cmpstr (_lodex_route_get_row (route_copy)->comment, ==, "its comment");
  g_assert_cmpstr (_lodex_route_get_row (route_copy)->description, ==, "its description");
  g_assert_null (_lodex_route_get_row (route_copy)->type);
  g_assert_true (waypoints_text (route_copy) == waypoints_text (route));
  {
    g_autoptr (LodexRouteFilter) members = lodex_route_filter_new (LODEX_SET (copy));
    g_object_set (members, "route", route_copy, nullptr);
    int count = 0;
    for (LodexPlace *place = lodex_set_first (LODEX_SET (members)); place; place = lodex_set_next (LODEX_SET (members)))
      {
        count++;
        g_object_unref (place);
      }
    g_assert_cmpint (count, ==, 2);
  }
  g_assert_true (lodex_store_remove_route (copy, route_copy));
  g_object_unref (route_copy);
  g_assert_cmpuint (stored_points (copy, places_sql).size (), ==, 3);

  /* tracks: the segment ends come back; unmarked points are not lost */
  for (auto [file, original] : {std::pair{track_file, track}, std::pair{unmarked_file, unmarked}})
    {
      g_assert_true (lodex_import_from_gpx_file (copy, file, &error));
      g_assert_no_error (error);
      LodexRoute *imported = only_route (copy);
      g_assert_cmpstr (_lodex_route_get_row (imported)->type, ==, "track");
      std::string expected = waypoints_text (original);
      if (original == unmarked) /* one segment, which ends */
        expected.insert (expected.size () - 1, " end");
      std::string got = waypoints_text (imported);
      g_assert_cmpstr (got.c_str (), ==, expected.c_str ());
      g_assert_true (lodex_store_remove_route (copy, imported));
      g_object_unref (imported);
    }
  close_store (copy);
}

static void
assert_import_fails (LodexStore *store, const char *path, GQuark domain, int code, const char *message_pattern)
{
  g_autoptr (GError) error = nullptr;
  g_assert_false (lodex_import_from_gpx_file (store, path, &error));
  g_assert_error (error, domain, code);
  if (!g_pattern_match_simple (message_pattern, error->message))
    g_error ("unexpected message: %s", error->message);
}

/* Malformed, cut short or not GPX at all: an error of the library's domain
 * that says where, and nothing stored. */
static void
test_gpx_import_bad (StoreFixture *f, gconstpointer)
{
  g_autofree gchar *lat = data_path ("bad/non-numeric-lat.gpx");
  assert_import_fails (f->store, lat, LODEX_ERROR, LODEX_ERROR_INVALID, "*non-numeric-lat.gpx:17: <wpt> has an invalid lat: \"north\"");
  g_autofree gchar *root = data_path ("bad/wrong-root.gpx");
  assert_import_fails (f->store, root, LODEX_ERROR, LODEX_ERROR_INVALID, "*wrong-root.gpx:2: not a GPX document*<kml>*");
  assert_import_fails (f->store, "/nonexistent/file.gpx", G_FILE_ERROR, G_FILE_ERROR_NOENT, "Could not open /nonexistent/file.gpx: *");

  for (const std::string &name : corpus_files ())
    {
      g_autofree gchar *path = data_path (name.c_str ());
      g_autofree gchar *contents = nullptr;
      gsize length = 0;
      g_assert_true (g_file_get_contents (path, &contents, &length, nullptr));
      g_autofree gchar *cut = g_build_filename (g_get_home_dir (), name.c_str (), nullptr);
      g_assert_true (g_file_set_contents (cut, contents, gssize (length * 2 / 3), nullptr));
      g_test_message ("%s cut at %zu", name.c_str (), length * 2 / 3);
      assert_import_fails (f->store, cut, LODEX_ERROR, LODEX_ERROR_PARSE, "*.gpx:*: *");
    }
  for (const char *table : {"places", "places_links", "places_address", "categories", "p2c", "routes", "r2p",
                            "waypoints"})
    g_assert_cmpint (count_rows (f->store, table), ==, 0);
}

/* Empty extension elements end where they start: the rest of the file is
 * still read, into the right places. */
static void
test_gpx_import_empty_elements (StoreFixture *f, gconstpointer)
{
  g_autofree gchar *path = g_build_filename (g_get_home_dir (), "empty.gpx", nullptr);
  g_assert_true (g_file_set_contents (
    path,
    "<gpx xmlns='http://www.topografix.com/GPX/1/1' version='1.1' creator='t' xmlns:lodex='" LODEX_EXTENSION_NAMESPACE "'>"
    "<extensions><lodex:categories/></extensions>"
    "<wpt lat='1' lon='2'><name>A</name><extensions><lodex:place id='a-1'/></extensions></wpt>"
    "<wpt lat='3' lon='4'><name>B</name><extensions><lodex:place id='b-1' coverage='12.5'><lodex:address/>"
    "<lodex:category>Parks</lodex:category><lodex:category/><lodex:category>Missing</lodex:category>"
    "<lodex:category>Parks</lodex:category></lodex:place></extensions></wpt>"
    "<wpt lat='5' lon='6'><name>C</name><extensions><lodex:other/></extensions></wpt>"
    "<extensions><lodex:categories><lodex:category/><lodex:category><lodex:name>Parks</lodex:name>"
    "</lodex:category></lodex:categories></extensions></gpx>",
    -1, nullptr));
  g_autoptr (GError) error = nullptr;
  g_assert_true (lodex_import_from_gpx_file (f->store, path, &error));
  g_assert_no_error (error);

  g_assert_cmpint (count_rows (f->store, "places"), ==, 3);
  g_assert_cmpint (count_rows (f->store, "places_address"), ==, 0);
  g_assert_cmpint (count_rows (f->store, "categories"), ==, 1);
  g_autoptr (LodexPlace) a = lodex_store_get_place_by_id (f->store, "a-1");
  g_assert_cmpstr (_lodex_place_get_row (a)->name, ==, "A");
  g_autoptr (LodexPlace) b = lodex_store_get_place_by_id (f->store, "b-1");
  g_assert_cmpstr (_lodex_place_get_row (b)->name, ==, "B");
  g_assert_cmpfloat (_lodex_place_get_row (b)->coverage, ==, 12.5);
  g_assert_true (category_names (b) == std::vector<std::string>{"Parks"});
  g_assert_true (category_names (a).empty ());
  auto names = stored_points (f->store, places_sql);
  g_assert_cmpstr (names.at (2).name.c_str (), ==, "C"); /* a place of its own, with a new id */
}

/* One write the database refuses fails the whole file: no row stays, and
 * nothing is announced; the error is returned, not also logged. */
static void
test_gpx_import_refused (StoreFixture *f, gconstpointer)
{
  g_autofree gchar *path = data_path ("gpxpy-unicode.gpx");
  g_autofree gchar *db_path = lodex_test_db_path ();
  sqlite3 *db;
  g_assert_cmpint (sqlite3_open (db_path, &db), ==, SQLITE_OK);
  g_assert_cmpint (sqlite3_exec (db,
                                 "CREATE TRIGGER refuse BEFORE INSERT ON places WHEN NEW.name = 'FAGGIO' "
                                 "BEGIN SELECT RAISE (ABORT, 'refused'); END",
                                 nullptr, nullptr, nullptr),
                   ==, SQLITE_OK);
  sqlite3_close (db);

  LodexTestRecorder added (f->store, "place-added");
  g_autoptr (GError) error = nullptr;
  g_assert_false (lodex_import_from_gpx_file (f->store, path, &error));
  g_assert_error (error, LODEX_ERROR, LODEX_ERROR_STORE);
  if (!g_pattern_match_simple ("*gpxpy-unicode.gpx:*: Could not store place \"FAGGIO\": refused", error->message))
    g_error ("unexpected message: %s", error->message);
  for (const char *table : {"places", "places_links", "routes", "waypoints", "categories"})
    g_assert_cmpint (count_rows (f->store, table), ==, 0);
  lodex_test_settle ();
  g_assert_cmpuint (added.count, ==, 0);
}

static gchar *
write_home_file (const char *name, const char *contents)
{
  g_free (lodex_test_db_path ()); /* makes HOME */
  gchar *path = g_build_filename (g_get_home_dir (), name, nullptr);
  g_assert_true (g_file_set_contents (path, contents, -1, nullptr));
  return path;
}

static std::string
column_texts (LodexStore *store, const char *sql)
{
  sqlite3_stmt *statement = nullptr;
  g_assert_cmpint (sqlite3_prepare_v2 (_lodex_set_get_db (LODEX_SET (store)), sql, -1, &statement, nullptr), ==,
                   SQLITE_OK);
  std::string text;
  while (sqlite3_step (statement) == SQLITE_ROW)
    {
      auto value = reinterpret_cast<const char *> (sqlite3_column_text (statement, 0));
      text += std::string (value ? value : "-") + "\n";
    }
  sqlite3_finalize (statement);
  return text;
}

/* An optional value that cannot be read is left out, its point kept, and
 * said once; a missing elevation stays missing, in the database and in
 * the file written back. */
static void
test_gpx_import_optional_values (StoreFixture *f, gconstpointer)
{
  g_autofree gchar *path = write_home_file ("optional.gpx", R"(<gpx xmlns='http://www.topografix.com/GPX/1/1' version='1.1' creator='t'>
<wpt lat='1' lon='1'><ele>5</ele><time>2020-01-01T10:00:00Z</time><name>fine</name></wpt>
<wpt lat='2' lon='2'><ele/><name>empty ele</name></wpt>
<wpt lat='3' lon='3'><time></time><name>empty time</name></wpt>
<wpt lat='4' lon='4'><time>2020-01-01</time><name>date only</name></wpt>
<wpt lat='5' lon='5'><ele>12,5</ele><name>comma</name></wpt>
<wpt lat='6' lon='6'><hdop>n/a</hdop><name>no dilution</name></wpt>
<trk><name>flat</name><trkseg><trkpt lat='1' lon='1'/><trkpt lat='1.5' lon='1.5'><ele>7</ele></trkpt></trkseg></trk>
</gpx>)");
  g_test_expect_message ("Lodex", G_LOG_LEVEL_DEBUG,
                         "*optional.gpx: 5 optional values could not be read and were left out, the first <ele> on line 3*");
  g_autoptr (GError) error = nullptr;
  g_assert_true (lodex_import_from_gpx_file (f->store, path, &error));
  g_assert_no_error (error);
  g_test_assert_expected_messages ();

  std::string places = column_texts (f->store, "SELECT name || ' ' || coalesce (altitude, '-') || ' ' || coalesce "
                                               "(haccuracy, '-') || ' ' || ctime FROM places ORDER BY rowid");
  g_assert_cmpstr (places.c_str (), ==,
                   "fine 5.0 - 1577872800\nempty ele - - 0\nempty time - - 0\ndate only - - 0\ncomma - - 0\n"
                   "no dilution - - 0\n");
  std::string heights = column_texts (f->store, "SELECT coalesce (altitude, 'none') FROM waypoints ORDER BY order_weight");
  g_assert_cmpstr (heights.c_str (), ==, "none\n7.0\n");

  LodexRoute *track = only_route (f->store);
  g_autofree gchar *out = g_build_filename (g_get_home_dir (), "track.gpx", nullptr);
  g_assert_true (lodex_export_route_to_gpx_file (track, out, &error));
  g_assert_no_error (error);
  g_object_unref (track);
  g_autofree gchar *written = nullptr;
  g_assert_true (g_file_get_contents (out, &written, nullptr, nullptr));
  g_auto (GStrv) elevations = g_strsplit (written, "<ele>", -1);
  g_assert_cmpuint (g_strv_length (elevations), ==, 3); /* the place's 5 and the second point's 7 */
  g_assert_nonnull (strstr (written, "<ele>5</ele>"));
  g_assert_nonnull (strstr (written, "<ele>7</ele>"));
}

/* Names with control characters that XML cannot carry are written so
 * that the file reads back. */
static void
test_gpx_export_control_characters (StoreFixture *f, gconstpointer)
{
  g_autoptr (LodexPlace) place = add_place (f->store, "esc\x1b[31m bs\x08 vt\x0b us\x1f end", 1, 2, 0);
  g_autofree gchar *file = g_build_filename (g_get_home_dir (), "control.gpx", nullptr);
  g_autoptr (GError) error = nullptr;
  g_assert_true (lodex_export_set_to_gpx_file (LODEX_SET (f->store), file, &error));
  g_assert_no_error (error);

  LodexStore *copy = store_in_home ("control.db");
  g_assert_true (lodex_import_from_gpx_file (copy, file, &error));
  g_assert_no_error (error);
  g_autoptr (LodexPlace) read_back = lodex_store_get_place_by_id (copy, _lodex_place_get_row (place)->id);
  g_assert_cmpstr (_lodex_place_get_row (read_back)->name, ==, "esc[31m bs vt us end");
  g_clear_object (&read_back);
  close_store (copy);
}

/* A file of @points waypoints. */
static gchar *
many_waypoints (const char *name, int points)
{
  GString *text = g_string_new ("<gpx xmlns='http://www.topografix.com/GPX/1/1' version='1.1' creator='t'>\n");
  for (int i = 0; i < points; i++)
    g_string_append_printf (text, "<wpt lat='%d.%03d' lon='1'><name>P%d</name></wpt>\n", i / 1000, i % 1000, i);
  g_string_append (text, "</gpx>\n");
  gchar *path = write_home_file (name, text->str);
  g_string_free (text, TRUE);
  return path;
}

struct Progress
{
  GCancellable *cancellable;
  guint calls = 0;
  guint64 places = 0;
  goffset done = 0, total = 0;
  bool cancel = false;
};

static void
on_progress (guint64 places, goffset done, goffset total, gpointer data)
{
  auto progress = static_cast<Progress *> (data);
  g_assert_cmpint (done, >=, progress->done);
  progress->calls++;
  progress->places = places;
  progress->done = done;
  progress->total = total;
  if (progress->cancel)
    g_cancellable_cancel (progress->cancellable);
}

/* The engine tells how far it is, and a cancelled import stores nothing
 * and announces nothing. */
static void
test_gpx_import_progress (StoreFixture *f, gconstpointer)
{
  g_autofree gchar *path = many_waypoints ("many.gpx", 5000);
  g_autoptr (GCancellable) cancellable = g_cancellable_new ();
  LodexTestRecorder added (f->store, "place-added");

  Progress cancelled{cancellable};
  cancelled.cancel = true;
  g_autoptr (GError) error = nullptr;
  g_assert_false (lodex::import_file (f->store, path, false, cancellable, on_progress, &cancelled, &error));
  g_assert_error (error, G_IO_ERROR, G_IO_ERROR_CANCELLED);
  g_clear_error (&error);
  g_assert_cmpuint (cancelled.calls, ==, 1);
  g_assert_cmpint (count_rows (f->store, "places"), ==, 0);

  g_cancellable_reset (cancellable);
  Progress whole{cancellable};
  g_assert_true (lodex::import_file (f->store, path, false, cancellable, on_progress, &whole, &error));
  g_assert_no_error (error);
  g_assert_cmpuint (whole.calls, >, 2);
  g_assert_cmpuint (whole.places, ==, 5000);
  g_assert_cmpint (whole.done, ==, whole.total);
  lodex_test_settle ();
  g_assert_cmpuint (added.count, ==, 5000);
}

/* A large track is read as it is stored: the memory it takes does not grow
 * with the file. */
static void
test_gpx_import_memory (StoreFixture *f, gconstpointer)
{
#if LODEX_TEST_ASAN
  g_test_skip ("AddressSanitizer keeps freed memory aside");
  return;
#else
  /* written as it goes: the peak so far is the store's */
  g_free (lodex_test_db_path ());
  g_autofree gchar *path = g_build_filename (g_get_home_dir (), "long.gpx", nullptr);
  FILE *file = fopen (path, "w");
  g_assert_nonnull (file);
  fputs ("<gpx xmlns='http://www.topografix.com/GPX/1/1' version='1.1' creator='t'>\n<trk><trkseg>\n", file);
  for (int i = 0; i < 80000; i++)
    fprintf (file,
             "<trkpt lat='%d.%04d' lon='2'><ele>%d</ele><time>2020-01-01T00:00:00Z</time>"
             "<name>point %d of the long track</name><desc>a description of the point</desc></trkpt>\n",
             i / 10000, i % 10000, i, i);
  fputs ("</trkseg></trk></gpx>\n", file);
  g_assert_cmpint (fclose (file), ==, 0);

  struct rusage usage;
  getrusage (RUSAGE_SELF, &usage);
  long before = usage.ru_maxrss;
  g_autoptr (GError) error = nullptr;
  g_assert_true (lodex_import_from_gpx_file (f->store, path, &error));
  g_assert_no_error (error);
  getrusage (RUSAGE_SELF, &usage);
  g_test_message ("the peak grew by %ld KB", usage.ru_maxrss - before);
  g_assert_cmpint (count_rows (f->store, "waypoints"), ==, 80000);
  g_assert_cmpint (usage.ru_maxrss - before, <, 6 * 1024); /* the file is 12 MB */
#endif
}


/* The text of each node @xpath finds in @path, counted, read by libxml2's
 * tree and XPath rather than by our reader. */
static std::map<std::string, int>
xpath_texts (const char *path, const char *xpath)
{
  xmlDocPtr doc = xmlReadFile (path, nullptr, XML_PARSE_NONET);
  g_assert_nonnull (doc);
  xmlXPathContextPtr context = xmlXPathNewContext (doc);
  xmlXPathRegisterNs (context, BAD_CAST "g", BAD_CAST "http://www.topografix.com/GPX/1/1");
  xmlXPathRegisterNs (context, BAD_CAST "lodex", BAD_CAST LODEX_EXTENSION_NAMESPACE);
  xmlXPathRegisterNs (context, BAD_CAST "gpxx", BAD_CAST LODEX_GARMIN_NAMESPACE);
  xmlXPathObjectPtr found = xmlXPathEvalExpression (BAD_CAST xpath, context);
  g_assert_nonnull (found);
  std::map<std::string, int> texts;
  for (int i = 0; found->nodesetval && i < found->nodesetval->nodeNr; i++)
    {
      xmlChar *text = xmlNodeGetContent (found->nodesetval->nodeTab[i]);
      texts[reinterpret_cast<const char *> (text)]++;
      xmlFree (text);
    }
  xmlXPathFreeObject (found);
  xmlXPathFreeContext (context);
  xmlFreeDoc (doc);
  return texts;
}

static int
xpath_count (const char *path, const char *xpath)
{
  int n = 0;
  for (const auto &[text, count] : xpath_texts (path, xpath))
    n += count;
  return n;
}

/* The store's categories with the number of places in each. */
static std::map<std::string, int>
category_counts (LodexStore *store)
{
  std::map<std::string, int> counts;
  GList *categories = lodex_store_categories (store);
  for (GList *l = categories; l; l = l->next)
    {
      g_autoptr (LodexCategoryFilter) members = lodex_category_filter_new (LODEX_SET (store));
      g_object_set (members, "category", l->data, nullptr);
      counts[_lodex_category_get_row (LODEX_CATEGORY (l->data))->name] = int (lodex_set_count (LODEX_SET (members), nullptr));
    }
  g_list_free_full (categories, g_object_unref);
  return counts;
}

/* The tool's output, after it succeeded. */
static gchar *
run_tool_ok (std::initializer_list<const char *> args)
{
  std::vector<const char *> argv{LODEX_TEST_TOOL};
  argv.insert (argv.end (), args);
  argv.push_back (nullptr);
  g_autoptr (GSubprocess) process = lodex_test_spawn (G_SUBPROCESS_FLAGS_STDOUT_PIPE, argv.data ());
  gchar *out = nullptr;
  g_autoptr (GError) error = nullptr;
  g_assert_true (g_subprocess_communicate_utf8 (process, nullptr, nullptr, &out, nullptr, &error));
  g_assert_no_error (error);
  g_assert_true (g_subprocess_get_successful (process));
  return out;
}

/* Another application's groups in <type> become categories, one per name
 * (an existing one reused), and go back out as <type> without our
 * extension; <sym> becomes the icon. */
static void
test_gpx_groups (StoreFixture *f, gconstpointer)
{
  g_autofree gchar *path = data_path ("gpsbabel-expertgps.gpx");
  /* the document's namespace is GPX 1.1 */
  auto types = xpath_texts (path, "/g:gpx/g:wpt/g:type");
  g_assert_cmpuint (types.size (), >, 10);

  g_autoptr (LodexCategory) existing = lodex_category_new ("Summit", "mine already");
  g_assert_true (lodex_store_add_category (f->store, existing));
  g_autoptr (GError) error = nullptr;
  g_assert_true (lodex_store_import_from_file (f->store, path, &error));
  g_assert_no_error (error);
  auto counts = category_counts (f->store);
  g_assert_true (counts == types);
  {
    g_autoptr (LodexCategory) summit = lodex_store_get_category_by_name (f->store, "Summit");
    g_assert_cmpstr (_lodex_category_get_row (summit)->description, ==, "mine already");
  }
  auto syms = xpath_texts (path, "/g:gpx/g:wpt/g:sym");
  std::map<std::string, int> icons;
  for (LodexPlace *place = lodex_set_first (LODEX_SET (f->store)); place; place = lodex_set_next (LODEX_SET (f->store)))
    {
      if (const char *icon = _lodex_place_get_row (place)->icon)
        icons[icon]++;
      g_object_unref (place);
    }
  g_assert_true (icons == syms);
  /* route and track points keep theirs */
  g_assert_cmpint (count_rows (f->store, "waypoints WHERE type IS NOT NULL"), ==,
                   xpath_count (path, "//g:rtept/g:type | //g:trkpt/g:type"));

  /* out without our extension, and without routes */
  g_autofree gchar *plain = g_build_filename (g_get_home_dir (), "plain.gpx", nullptr);
  g_autoptr (LodexExportOptions) options = lodex_export_options_new ();
  g_object_set (options, "extension", FALSE, "routes", FALSE, nullptr);
  g_autoptr (GFile) plain_file = g_file_new_for_path (plain);
  g_assert_true (lodex_store_export (f->store, nullptr, plain_file, options, nullptr, &error));
  g_assert_no_error (error);
  assert_valid_gpx (plain);
  g_assert_cmpint (xpath_count (plain, "//lodex:*"), ==, 0);
  g_assert_cmpint (xpath_count (plain, "//g:rte | //g:trk"), ==, 0);
  g_assert_true (xpath_texts (plain, "/g:gpx/g:wpt/g:type") == types);
  g_assert_true (xpath_texts (plain, "/g:gpx/g:wpt/g:sym") == syms);
}


/* The first column of every row @sql gives, counted. */
static std::map<std::string, int>
sql_texts (LodexStore *store, const char *sql)
{
  std::map<std::string, int> texts;
  for (const Point &point : stored_points (store, sql))
    if (point.named)
      texts[point.name]++;
  return texts;
}

/* Garmin's address extension fills the address; its categories are
 * categories, as <type> is. */
static void
test_gpx_garmin (StoreFixture *f, gconstpointer)
{
  g_autoptr (GError) error = nullptr;
  g_autofree gchar *addresses = data_path ("gpsbabel-umsonstdraussen.gpx");
  g_autofree gchar *categories = data_path ("gpsbabel-garmincategories.gpx");
  for (const char *path : {(const char *) addresses, (const char *) categories})
    {
      g_assert_true (lodex_import_from_gpx_file (f->store, path, &error));
      g_assert_no_error (error);
    }
  struct
  {
    const char *column, *element;
  } fields[] = {
    {"street", "StreetAddress"},
    {"city", "City"},
    {"postcode", "PostalCode"},
    {"phone_number", "PhoneNumber"},
  };
  for (const auto &field : fields)
    {
      g_autofree gchar *sql = g_strdup_printf ("SELECT %s, 0, 0 FROM places_address", field.column);
      g_autofree gchar *xpath = g_strdup_printf ("//gpxx:%s", field.element);
      auto theirs = xpath_texts (addresses, xpath);
      g_assert_cmpuint (theirs.size (), >, 10);
      g_assert_true (sql_texts (f->store, sql) == theirs);
    }
  g_assert_true (category_counts (f->store) == xpath_texts (categories, "//gpxx:Category"));
}

/* The whole store's export holds its routes and tracks, as GPSBabel reads
 * them; one route goes out on its own from the tool. */
static void
test_gpx_export_routes (StoreFixture *f, gconstpointer)
{
  g_autofree gchar *gpsbabel = g_find_program_in_path ("gpsbabel");
  if (!gpsbabel)
    {
      g_test_skip ("gpsbabel is not installed");
      return;
    }
  g_autoptr (GError) error = nullptr;
  for (const char *name : {"gpsbabel-expertgps.gpx", "gpsbabel-segmented_tracks.gpx", "gpsbabel-route.gpx"})
    {
      g_autofree gchar *path = data_path (name);
      g_assert_true (lodex_store_import_from_file (f->store, path, &error));
      g_assert_no_error (error);
    }
  lodex_test_settle ();
  g_autofree gchar *all = g_build_filename (g_get_home_dir (), "all.gpx", nullptr);
  g_assert_true (lodex_store_export_to_file (f->store, all, &error));
  g_assert_no_error (error);
  assert_valid_gpx (all);
  auto stored = stored_after (f->store, 0, 0);
  auto theirs = gpsbabel_points (all);
  assert_same_points (stored[0], theirs[0], "waypoints");
  g_assert_cmpuint (stored[1].size (), ==, 46 + 14);
  g_assert_cmpuint (stored[2].size (), ==, 64 + 46);
  g_assert_cmpint (xpath_count (all, "/g:gpx/g:rte"), ==, 1 + 2);
  g_assert_cmpint (xpath_count (all, "/g:gpx/g:trk"), ==, 1 + 2);
  g_assert_cmpint (xpath_count (all, "/g:gpx/g:trk/g:trkseg"), ==, 1 + 10);
  /* the same points, whatever the order of the routes */
  auto sorted = [] (std::vector<Point> points) {
    std::sort (points.begin (), points.end (), [] (const Point &a, const Point &b) {
      return std::tie (a.name, a.latitude, a.longitude) < std::tie (b.name, b.latitude, b.longitude);
    });
    return points;
  };
  assert_same_points (sorted (stored[1]), sorted (theirs[1]), "route points");
  assert_same_points (sorted (stored[2]), sorted (theirs[2]), "track points");

  /* in another thread, on a connection of its own: the same file */
  g_autofree gchar *async = g_build_filename (g_get_home_dir (), "async.gpx", nullptr);
  g_autoptr (GFile) async_file = g_file_new_for_path (async);
  GAsyncResult *result = nullptr;
  lodex_store_export_async (f->store, nullptr, async_file, nullptr, nullptr, nullptr, nullptr, nullptr,
                            +[] (GObject *, GAsyncResult *done, gpointer data) {
                              *static_cast<GAsyncResult **> (data) = G_ASYNC_RESULT (g_object_ref (done));
                            },
                            &result);
  lodex_test_wait ([&] { return result != nullptr; });
  g_assert_true (lodex_store_export_finish (f->store, result, &error));
  g_assert_no_error (error);
  g_object_unref (result);
  g_autofree gchar *sync_text = nullptr, *async_text = nullptr;
  g_assert_true (g_file_get_contents (all, &sync_text, nullptr, nullptr));
  g_assert_true (g_file_get_contents (async, &async_text, nullptr, nullptr));
  g_assert_true (g_str_equal (async_text, sync_text)); /* routes and tracks included */

  /* the tool: list, then one route */
  g_autofree gchar *list = run_tool_ok ({"--list-routes"});
  g_auto (GStrv) lines = g_strsplit (list, "\n", -1);
  g_assert_cmpuint (g_strv_length (lines), ==, 6 + 1);
  std::string route_id;
  int tracks = 0;
  for (char **line = lines; *line && **line; line++)
    {
      g_auto (GStrv) words = g_strsplit (*line, " ", 3);
      tracks += g_str_equal (words[1], "track");
      if (g_strcmp0 (words[2], "Route 2") == 0 || (route_id.empty () && g_str_equal (words[1], "route")))
        route_id = words[0];
    }
  g_assert_cmpint (tracks, ==, 3);
  g_autofree gchar *one = g_build_filename (g_get_home_dir (), "one.gpx", nullptr);
  g_free (run_tool_ok ({"--export-route", route_id.c_str (), one}));
  assert_valid_gpx (one);
  g_assert_cmpint (xpath_count (one, "/g:gpx/g:rte"), ==, 1);
  g_assert_cmpint (xpath_count (one, "/g:gpx/g:trk"), ==, 0);
}

int
main (int argc, char **argv)
{
  g_test_init (&argc, &argv, G_TEST_OPTION_ISOLATE_DIRS, nullptr);

  LODEX_TEST_ADD ("/gpx/import/corpus", test_gpx_import_corpus);
  LODEX_TEST_ADD ("/gpx/round-trip", test_gpx_round_trip);
  LODEX_TEST_ADD ("/gpx/import/empty-elements", test_gpx_import_empty_elements);
  LODEX_TEST_ADD ("/gpx/import/bad", test_gpx_import_bad);
  LODEX_TEST_ADD ("/gpx/import/refused", test_gpx_import_refused);
  LODEX_TEST_ADD ("/gpx/import/optional-values", test_gpx_import_optional_values);
  LODEX_TEST_ADD ("/gpx/import/progress", test_gpx_import_progress);
  LODEX_TEST_ADD ("/gpx/import/memory", test_gpx_import_memory);
  LODEX_TEST_ADD ("/gpx/export/control-characters", test_gpx_export_control_characters);
  LODEX_TEST_ADD ("/gpx/groups", test_gpx_groups);
  LODEX_TEST_ADD ("/gpx/garmin", test_gpx_garmin);
  LODEX_TEST_ADD ("/gpx/export/routes", test_gpx_export_routes);

  return lodex_test_run_with_bus ();
}
