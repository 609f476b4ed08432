/* GeoJSON import and export: every field through our own round trip,
 * files written by another program against Python's reading of them,
 * files that must store nothing, and memory that stays flat. */

#include "lodex-test-utils.h"

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
#include <cstring>
#include <string>
#include <vector>

static gchar *
data_path (const char *name)
{
  return g_build_filename (LODEX_TEST_DATA, "geojson", name, nullptr);
}

static gchar *
home_file (const char *name, const char *text = nullptr)
{
  g_free (lodex_test_db_path ()); /* makes HOME */
  gchar *path = g_build_filename (g_get_home_dir (), name, nullptr);
  if (text)
    g_assert_true (g_file_set_contents (path, text, -1, nullptr));
  return path;
}

static LodexStore *
store_in_home (const char *name)
{
  g_autofree gchar *path = home_file (name);
  LodexStore *store = _lodex_store_get_from_file (path, LODEX_TEST_SCHEMA);
  g_assert_nonnull (store);
  return store;
}

static std::vector<LodexPlace *>
places_of (LodexStore *store)
{
  std::vector<LodexPlace *> places;
  for (LodexPlace *place = lodex_set_first (LODEX_SET (store)); place; place = lodex_set_next (LODEX_SET (store)))
    places.push_back (place);
  return places;
}

static void
free_places (std::vector<LodexPlace *> &places)
{
  for (LodexPlace *place : places)
    g_object_unref (place);
  places.clear ();
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
  std::string links = links_text (a), links_copy = links_text (b);
  g_assert_cmpstr (links.c_str (), ==, links_copy.c_str ());
  g_assert_true (category_names (a) == category_names (b));
  g_autofree gchar *kept = lodex_place_get_appdata (a, "geojson");
  g_autofree gchar *kept_copy = lodex_place_get_appdata (b, "geojson");
  g_assert_cmpstr (kept, ==, kept_copy);
}

/* Every field, the categories, links, and properties of another program
 * go out and come back whole, into a store that has none of them. */
static void
test_geojson_round_trip (StoreFixture *f, gconstpointer)
{
  LodexStore *store = f->store;
  g_autoptr (LodexCategory) museums = lodex_category_new ("Museums", "Art & history");
  g_autoptr (LodexCategory) parks = lodex_category_new ("Parks \"green\"", nullptr);
  for (LodexCategory *category : {museums, parks})
    g_assert_true (lodex_store_add_category (store, category));

  /* every field; doubles that need all their digits; text that needs escapes */
  g_autoptr (LodexPlace) full = lodex_test_place_with_every_field ("Tower \"of\" London\\\n\t\x01 \xf0\x9f\x8f\xb0", "Fish </script> & chips");
  g_assert_true (lodex_store_add_place (store, full));
  g_assert_true (lodex_category_add_place (museums, full));
  g_assert_true (lodex_category_add_place (parks, full));
  /* nothing but a position, on the antimeridian */
  g_autoptr (LodexPlace) bare = lodex_place_new (nullptr, -90, 180);
  g_assert_true (lodex_store_add_place (store, bare));

  /* another program's properties, and one of ours of another type */
  g_autofree gchar *theirs = home_file ("theirs.geojson", R"({"features": [
    {"properties": {"name": "Kiosk", "osm_id": 42, "tags": {"shop": "kiosk", "x": [1.5e3, true, null, "\u00e9\ud83d\ude00"]},
      "coverage": "wide", "categories": ["Shops", "Shops", ""], "empty": {}},
     "geometry": {"coordinates": [8.5, 47.25, -3], "type": "Point", "bbox": [0, 0, 0, 0]},
     "type": "Feature", "id": "17.1.2@3x"}
  ], "type": "FeatureCollection", "crs": null})");
  g_autoptr (GError) error = nullptr;
  g_assert_true (lodex_store_import_from_file (store, theirs, &error));
  g_assert_no_error (error);
  lodex_test_settle ();
  auto originals = places_of (store);
  g_assert_cmpuint (originals.size (), ==, 3);
  LodexPlace *kiosk = originals[2];
  g_autofree gchar *kept = lodex_place_get_appdata (kiosk, "geojson");
  g_assert_cmpstr (kept, ==, R"({"osm_id":42,"tags":{"shop":"kiosk","x":[1.5e3,true,null,"é😀"]},"coverage":"wide","empty":{}})");
  g_assert_cmpfloat (_lodex_place_get_row (kiosk)->altitude, ==, -3);
  g_assert_cmpstr (_lodex_place_get_row (kiosk)->id, !=, "17.1.2@3x"); /* not an id of ours */
  g_assert_true (category_names (kiosk) == std::vector<std::string>{"Shops"});

  g_autofree gchar *file = home_file ("places.GeoJSON");
  g_assert_true (lodex_store_export_to_file (store, file, &error));
  g_assert_no_error (error);

  LodexStore *copy = store_in_home ("copy.db");
  g_assert_true (lodex_store_import_from_file (copy, file, &error));
  g_assert_no_error (error);
  for (LodexPlace *place : originals)
    {
      g_autoptr (LodexPlace) imported = lodex_store_get_place_by_id (copy, _lodex_place_get_row (place)->id);
      g_assert_nonnull (imported);
      assert_same_place (place, imported);
    }
  /* and again, through a name of another case: nothing doubled */
  g_autofree gchar *again = home_file ("again.JSON");
  g_assert_true (lodex_export_set_to_geojson_file (LODEX_SET (copy), again, &error));
  g_assert_true (lodex_store_import_from_file (copy, again, &error));
  g_assert_no_error (error);
  auto copies = places_of (copy);
  g_assert_cmpuint (copies.size (), ==, 3);
  free_places (copies);
  free_places (originals);
  lodex_test_settle ();
  g_assert_finalize_object (copy);
}

struct Feature
{
  std::string name;
  double longitude, latitude;
};

/* The Point features of @path as Python's json module reads them. */
static std::vector<Feature>
python_points (const char *path)
{
  g_autoptr (GError) error = nullptr;
  g_autoptr (GSubprocess) python = g_subprocess_new (
    G_SUBPROCESS_FLAGS_STDOUT_PIPE, &error, "python3", "-c",
    "import json, sys\n"
    "for f in json.load(open(sys.argv[1], encoding='utf-8'))['features']:\n"
    "    if f['geometry']['type'] == 'Point':\n"
    "        x, y = f['geometry']['coordinates'][:2]\n"
    "        print('%s\\t%r\\t%r' % (f['properties'].get('name', ''), x, y))\n",
    path, nullptr);
  g_assert_no_error (error);
  g_autofree gchar *out = nullptr;
  g_assert_true (g_subprocess_communicate_utf8 (python, nullptr, nullptr, &out, nullptr, &error));
  g_assert_true (g_subprocess_get_successful (python));
  std::vector<Feature> features;
  g_auto (GStrv) lines = g_strsplit (out, "\n", -1);
  for (char **line = lines; *line && **line; line++)
    {
      g_auto (GStrv) fields = g_strsplit (*line, "\t", 3);
      features.push_back ({fields[0], g_ascii_strtod (fields[1], nullptr), g_ascii_strtod (fields[2], nullptr)});
    }
  return features;
}

/* GPSBabel's GeoJSON: every Point a place, as Python reads it; lines and
 * other programs' properties do not get in the way. */
static void
test_geojson_import_other_writer (StoreFixture *f, gconstpointer)
{
  g_autofree gchar *python = g_find_program_in_path ("python3");
  if (!python)
    {
      g_test_skip ("python3 is not installed");
      return;
    }
  size_t total = 0;
  for (const char *name : {"gpsbabel-generated-umsonstdraussen.geojson", "gpsbabel-generated-expertgps.geojson"})
    {
      g_autofree gchar *path = data_path (name);
      auto expected = python_points (path);
      g_assert_cmpuint (expected.size (), >, 70);
      g_autoptr (GError) error = nullptr;
      g_assert_true (lodex_store_import_from_file (f->store, path, &error));
      g_assert_no_error (error);
      auto places = places_of (f->store);
      g_assert_cmpuint (places.size (), ==, total + expected.size ());
      for (size_t i = 0; i < expected.size (); i++)
        {
          LodexPlaceRow *row = _lodex_place_get_row (places[total + i]);
          g_assert_cmpstr (row->name, ==, expected[i].name.c_str ());
          g_assert_cmpfloat (row->longitude, ==, expected[i].longitude);
          g_assert_cmpfloat (row->latitude, ==, expected[i].latitude);
        }
      total += expected.size ();
      free_places (places);
    }
}

/* A file that is not what it should be stores nothing, not even the
 * features before the error, and the error names its line. */
static void
test_geojson_import_bad (StoreFixture *f, gconstpointer)
{
  const char *good = R"({"type": "Feature", "geometry": {"type": "Point", "coordinates": [1, 2]}, "properties": {"name": "A"}},)"
                     "\n";
  struct
  {
    const char *after_good; /* follows one good feature on line 2 */
    int code;
    const char *message;
    bool untyped = false; /* the collection lacks its type */
  } cases[] = {
    {"{\"type\": \"Feature\", \"geometry\": {\"type\": \"Point\", \"coordinates\": [1, 91]}}]}", LODEX_ERROR_INVALID,
     "*bad.geojson:3: *"},
    {"{\"type\": \"Feature\", \"geometry\": {\"type\": \"Point\", \"coordinates\": [1]}}]}", LODEX_ERROR_INVALID,
     "*bad.geojson:3: the Point of the feature on line 3 has no position"},
    {"{\"type\": \"Feature\", \"geometry\": {\"type\": \"Point\", \"coordinates\": [1, \"2\"]}}]}", LODEX_ERROR_INVALID,
     "*bad.geojson:3: a coordinate is not a number"},
    {"{\"type\": \"Feature\", \"properties\": {\"name\": \"B\"\n\"x\": 1}}]}", LODEX_ERROR_PARSE,
     "*bad.geojson:4: Parse error: *"},
    {"{\"type\": \"Feature\", \"properties\": {\"name\": \"tab\there\"}}]}", LODEX_ERROR_PARSE,
     "*bad.geojson:3: Parse error: a control character inside a string"},
    {"{\"type\": \"Feature\", \"properties\": {\"name\": \"\\ud800\"}}]}", LODEX_ERROR_PARSE,
     "*bad.geojson:3: Parse error: a lone surrogate*"},
    {"{\"type\": \"Feature\", \"properties\": {\"n\": 01}}]}", LODEX_ERROR_PARSE, "*bad.geojson:3: Parse error: *"},
    {"{\"type\": \"Feature\", \"properties\": {\"n\": [[[[", LODEX_ERROR_PARSE, "*bad.geojson:3: Parse error: the file ends*"},
    {"{\"type\": \"Thing\"}]}", LODEX_ERROR_INVALID, "*bad.geojson:3: an element of \"features\" is not a Feature*"},
    {"{\"type\": \"Feature\"}]}\n{}", LODEX_ERROR_PARSE, "*bad.geojson:4: Parse error: something follows the document"},
    {"{\"type\": \"Feature\"}], \"type\": \"Feature\"}", LODEX_ERROR_INVALID, "*the document is a Feature, not a FeatureCollection", true},
    {"{\"type\": \"Feature\"}]}", LODEX_ERROR_INVALID, "*the document has no \"type\": \"FeatureCollection\"", true},
  };
  g_autofree gchar *before = home_file ("before.geojson", R"({"type": "FeatureCollection", "features": [
    {"type": "Feature", "geometry": {"type": "Point", "coordinates": [3, 4]}, "properties": {"name": "Kept"}}]})");
  g_autoptr (GError) error = nullptr;
  g_assert_true (lodex_store_import_from_file (f->store, before, &error));
  g_assert_no_error (error);
  for (const auto &c : cases)
    {
      g_autofree gchar *text = g_strconcat (!c.untyped ? "{\"type\": \"FeatureCollection\", \"features\": [\n"
                                                  : "{\"features\": [\n",
                                            good, c.after_good, nullptr);
      g_test_message ("%s", text);
      g_autofree gchar *path = home_file ("bad.geojson", text);
      g_assert_false (lodex_store_import_from_file (f->store, path, &error));
      g_assert_error (error, LODEX_ERROR, c.code);
      if (!g_pattern_match_simple (c.message, error->message))
        g_error ("unexpected message: %s", error->message);
      g_clear_error (&error);
      auto places = places_of (f->store);
      g_assert_cmpuint (places.size (), ==, 1);
      free_places (places);
    }
  for (auto [text, code] : {std::pair{"", LODEX_ERROR_PARSE}, std::pair{"[]", LODEX_ERROR_INVALID},
                            std::pair{"{\"type\": \"FeatureCollection\"}", LODEX_ERROR_INVALID},
                            std::pair{"\xef\xbb\xbf{}", LODEX_ERROR_INVALID}, std::pair{"\xef\xbb{}", LODEX_ERROR_PARSE},
                            std::pair{"{\"type\" \"FeatureCollection\"}", LODEX_ERROR_PARSE}})
    {
      g_autofree gchar *path = home_file ("bad.geojson", text);
      g_assert_false (lodex_store_import_from_file (f->store, path, &error));
      g_assert_error (error, LODEX_ERROR, code);
      g_assert_null (strstr (error->message, "(null)"));
      g_clear_error (&error);
    }
  /* a byte order mark is no content */
  g_autofree gchar *marked = home_file ("marked.geojson", "\xef\xbb\xbf{\"type\": \"FeatureCollection\", \"features\": []}");
  g_assert_true (lodex_store_import_from_file (f->store, marked, &error));
  g_assert_no_error (error);
}

/* Read as it goes: a file of many features costs no more memory than a
 * few. */
static void
test_geojson_import_memory (StoreFixture *f, gconstpointer)
{
#if LODEX_TEST_ASAN
  g_test_skip ("AddressSanitizer keeps freed memory aside");
  return;
#else
  g_autofree gchar *path = home_file ("many.geojson");
  FILE *file = fopen (path, "w");
  g_assert_nonnull (file);
  fputs ("{\"type\": \"FeatureCollection\", \"features\": [\n", file);
  for (int i = 0; i < 60000; i++)
    fprintf (file,
             "%s{\"type\": \"Feature\", \"geometry\": {\"type\": \"Point\", \"coordinates\": [2, %d.%04d, %d]}, "
             "\"properties\": {\"name\": \"place %d of many\", \"description\": \"a description of the place\"}}\n",
             i ? "," : "", i / 10000, i % 10000, i, i);
  fputs ("]}\n", file);
  g_assert_cmpint (fclose (file), ==, 0);

  struct rusage usage;
  getrusage (RUSAGE_SELF, &usage);
  long before = usage.ru_maxrss;
  g_autoptr (GError) error = nullptr;
  g_assert_true (lodex_store_import_from_file (f->store, path, &error));
  g_assert_no_error (error);
  getrusage (RUSAGE_SELF, &usage);
  g_test_message ("the peak grew by %ld KB", usage.ru_maxrss - before);
  g_assert_cmpint (lodex_set_count (LODEX_SET (f->store), nullptr), ==, 60000);
  g_assert_cmpint (usage.ru_maxrss - before, <, 6 * 1024); /* the file is 11 MB */
#endif
}

int
main (int argc, char **argv)
{
  g_test_init (&argc, &argv, G_TEST_OPTION_ISOLATE_DIRS, nullptr);

  LODEX_TEST_ADD ("/geojson/round-trip", test_geojson_round_trip);
  LODEX_TEST_ADD ("/geojson/import/other-writer", test_geojson_import_other_writer);
  LODEX_TEST_ADD ("/geojson/import/bad", test_geojson_import_bad);
  LODEX_TEST_ADD ("/geojson/import/memory", test_geojson_import_memory);

  return lodex_test_run_with_bus ();
}
