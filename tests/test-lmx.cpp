/* LMX import and export: real files read as gpsbabel reads them, round
 * trips of every field, and each way a file or a disk can go wrong. */

#include "lodex-test-utils.h"

#include <glib/gstdio.h>
#include <libxml/parser.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <algorithm>
#include <clocale>
#include <set>
#include <string>
#include <tuple>
#include <vector>

static gchar *
data_file (const char *name)
{
  return g_build_filename (LODEX_TEST_DATA, "lmx", name, nullptr);
}

static gchar *
home_file (const char *name)
{
  g_free (lodex_test_db_path ()); /* makes the home directory */
  return g_build_filename (g_get_home_dir (), name, nullptr);
}

/* A store on a database of its own, so that a test can hold several. */
static LodexStore *
store_new (const char *name)
{
  g_autofree gchar *path = home_file (name);
  LodexStore *store = _lodex_store_get_from_file (path, LODEX_TEST_SCHEMA);
  g_assert_nonnull (store);
  return store;
}

static void
store_free (LodexStore *store)
{
  lodex_test_settle ();
  g_assert_finalize_object (store);
}

static gchar *
write_file (const char *name, const char *text, gssize length = -1)
{
  gchar *path = home_file (name);
  g_autoptr (GError) error = nullptr;
  g_assert_true (g_file_set_contents (path, text, length, &error));
  g_assert_no_error (error);
  return path;
}

static GPtrArray *
places_of (LodexStore *store)
{
  GPtrArray *places = g_ptr_array_new_with_free_func (g_object_unref);
  for (LodexPlace *place = lodex_set_first (LODEX_SET (store)); place; place = lodex_set_next (LODEX_SET (store)))
    g_ptr_array_add (places, place);
  return places;
}

static std::string
string_of (gpointer object, const char *property)
{
  g_autofree gchar *value = nullptr;
  g_object_get (object, property, &value, nullptr);
  return value ? value : "(null)";
}

static void
assert_string (gpointer object, const char *property, const char *expected)
{
  g_autofree gchar *value = nullptr;
  g_object_get (object, property, &value, nullptr);
  g_assert_cmpstr (value, ==, expected);
}

static void
assert_same (gpointer a, gpointer b, const char *property)
{
  g_autofree gchar *value = nullptr;
  g_object_get (a, property, &value, nullptr);
  assert_string (b, property, value);
}

static double
double_of (gpointer object, const char *property)
{
  double value;
  g_object_get (object, property, &value, nullptr);
  return value;
}

static std::vector<std::string>
category_names (LodexPlace *place)
{
  std::vector<std::string> names;
  GList *categories = lodex_place_get_categories (place);
  for (GList *l = categories; l; l = l->next)
    names.push_back (string_of (l->data, "name"));
  g_list_free_full (categories, g_object_unref);
  std::sort (names.begin (), names.end ());
  return names;
}

static std::vector<std::string>
link_texts (LodexPlace *place)
{
  std::vector<std::string> texts;
  GList *links = lodex_place_get_links (place);
  for (GList *l = links; l; l = l->next)
    {
      auto link = static_cast<LodexPlaceLink *> (l->data);
      texts.push_back (std::string (link->name ? link->name : "(null)") + "|" + (link->mime ? link->mime : "(null)") + "|"
                       + (link->url ? link->url : "(null)"));
    }
  g_list_free_full (links, GDestroyNotify (lodex_place_link_free));
  return texts;
}

static void
assert_error (GError *error, GQuark domain, int code, const char *message)
{
  g_assert_error (error, domain, code);
  if (!g_pattern_match_simple (message, error->message))
    g_error ("unexpected message: %s", error->message);
}

/* gpsbabel as the peer */

struct Point
{
  std::string name;
  double latitude, longitude;
};

/* The records of CSV text, with quoted fields. */
static std::vector<std::vector<std::string>>
csv_records (const char *text)
{
  std::vector<std::vector<std::string>> records (1, std::vector<std::string> (1));
  bool quoted = false;
  for (const char *p = text; *p; p++)
    {
      std::vector<std::string> &record = records.back ();
      if (quoted && *p == '"' && p[1] == '"')
        record.back () += *p++;
      else if (*p == '"')
        quoted = !quoted;
      else if (!quoted && *p == ',')
        record.emplace_back ();
      else if (!quoted && (*p == '\n' || *p == '\r'))
        {
          if (record.size () > 1 || !record[0].empty ())
            records.emplace_back (1);
        }
      else
        record.back () += *p;
    }
  if (records.back ().size () == 1 && records.back ()[0].empty ())
    records.pop_back ();
  return records;
}

/* The points gpsbabel reads from an LMX file. */
static std::vector<Point>
gpsbabel_read (const char *file)
{
  const char *argv[] = {"gpsbabel", "-i", "lmx", "-f", file, "-o", "unicsv", "-F", "-", nullptr};
  g_autofree gchar *out = nullptr;
  gint status;
  g_autoptr (GError) error = nullptr;
  g_assert_true (g_spawn_sync (nullptr, const_cast<gchar **> (argv), nullptr, G_SPAWN_SEARCH_PATH, nullptr, nullptr,
                               &out, nullptr, &status, &error));
  g_assert_no_error (error);
  g_assert_true (g_spawn_check_wait_status (status, &error));

  auto records = csv_records (out);
  g_assert_false (records.empty ());
  auto column = [&] (const char *name) -> int {
    auto found = std::find (records[0].begin (), records[0].end (), name);
    return found == records[0].end () ? -1 : int (found - records[0].begin ());
  };
  int name = column ("Name"), latitude = column ("Latitude"), longitude = column ("Longitude");
  std::vector<Point> points;
  for (size_t i = 1; i < records.size (); i++)
    points.push_back ({name < 0 ? "" : records[i][name], g_ascii_strtod (records[i][latitude].c_str (), nullptr),
                       g_ascii_strtod (records[i][longitude].c_str (), nullptr)});
  return points;
}

static bool
have_gpsbabel (void)
{
  g_autofree gchar *path = g_find_program_in_path ("gpsbabel");
  if (!path)
    g_test_skip ("gpsbabel is not installed");
  return path != nullptr;
}

/* What an LMX file says of each landmark, whatever the way it is written:
 * element order, number formatting, empty elements and "id" play no part. */
static std::vector<std::string>
landmarks_in (const char *file)
{
  xmlDoc *doc = xmlReadFile (file, nullptr, XML_PARSE_NONET);
  g_assert_nonnull (doc); /* well-formed XML */

  auto text = [] (xmlNode *node) -> std::string {
    g_autofree gchar *content = reinterpret_cast<gchar *> (xmlNodeGetContent (node));
    return content ? content : "";
  };
  auto number = [] (const std::string &text) -> std::string {
    char buffer[G_ASCII_DTOSTR_BUF_SIZE + 320];
    return g_ascii_formatd (buffer, sizeof buffer, "%.6f", g_ascii_strtod (text.c_str (), nullptr));
  };
  auto named = [] (xmlNode *node, const char *name) {
    return node->type == XML_ELEMENT_NODE && g_str_equal (reinterpret_cast<const char *> (node->name), name);
  };

  std::vector<std::string> landmarks;
  std::vector<xmlNode *> pending{xmlDocGetRootElement (doc)};
  while (!pending.empty ())
    {
      xmlNode *node = pending.back ();
      pending.pop_back ();
      if (!named (node, "landmark"))
        {
          for (xmlNode *child = node->last; child; child = child->prev)
            if (child->type == XML_ELEMENT_NODE)
              pending.push_back (child);
          continue;
        }

      std::vector<std::string> lines;
      std::set<std::string> categories;
      std::string latitude = number ("0"), longitude = number ("0");
      for (xmlNode *child = node->children; child; child = child->next)
        {
          if (child->type != XML_ELEMENT_NODE)
            continue;
          std::string element = reinterpret_cast<const char *> (child->name);
          if ((element == "name" || element == "description") && !text (child).empty ())
            lines.push_back (element + "=" + text (child));
          else if (element == "coverageRadius" && !text (child).empty ())
            lines.push_back (element + "=" + number (text (child)));
          else if (element == "coordinates" || element == "addressInfo")
            for (xmlNode *item = child->children; item; item = item->next)
              {
                if (item->type != XML_ELEMENT_NODE || text (item).empty ())
                  continue;
                if (named (item, "latitude"))
                  latitude = number (text (item));
                else if (named (item, "longitude"))
                  longitude = number (text (item));
                else if (element == "coordinates")
                  lines.push_back (std::string (reinterpret_cast<const char *> (item->name)) + "=" + number (text (item)));
                else
                  lines.push_back (std::string ("address ") + reinterpret_cast<const char *> (item->name) + "=" + text (item));
              }
          else if (element == "mediaLink")
            {
              const char *names[] = {"name", "mime", "url"};
              std::string fields[3];
              for (xmlNode *item = child->children; item; item = item->next)
                for (int i = 0; i < 3; i++)
                  if (named (item, names[i]))
                    fields[i] = text (item);
              lines.push_back ("link " + fields[0] + "|" + fields[1] + "|" + fields[2]);
            }
          else if (element == "category")
            for (xmlNode *item = child->children; item; item = item->next)
              if (named (item, "name") && !text (item).empty ())
                categories.insert ("category " + text (item));
        }
      lines.push_back ("latitude=" + latitude);
      lines.push_back ("longitude=" + longitude);
      lines.insert (lines.end (), categories.begin (), categories.end ());
      std::sort (lines.begin (), lines.end ());
      std::string landmark;
      for (const std::string &line : lines)
        landmark += line + "\n";
      landmarks.push_back (landmark);
    }
  xmlFreeDoc (doc);
  return landmarks;
}

/* Every corpus file: what gpsbabel reads, we read; what the file says, we
 * store and write back; every place is announced. */
static void
test_lmx_import_corpus (void)
{
  if (!have_gpsbabel ())
    return;
  g_autofree gchar *dir = data_file ("");
  g_autoptr (GDir) listing = g_dir_open (dir, 0, nullptr);
  guint files = 0;
  while (const char *entry = g_dir_read_name (listing))
    {
      if (!g_str_has_suffix (entry, ".lmx"))
        continue;
      files++;
      g_test_message ("%s", entry);
      g_autofree gchar *file = data_file (entry);
      g_autofree gchar *db = g_strconcat (entry, ".db", nullptr);
      LodexStore *store = store_new (db);
      LodexTestRecorder added (store, "place-added");
      g_autoptr (GError) error = nullptr;
      g_assert_true (lodex_import_from_lmx_file (store, file, &error));
      g_assert_no_error (error);
      g_autoptr (GPtrArray) places = places_of (store);

      /* gpsbabel reads landmarks only inside a collection */
      g_autofree gchar *contents = nullptr;
      g_assert_true (g_file_get_contents (file, &contents, nullptr, nullptr));
      g_autofree gchar *wrapped_file = nullptr;
      if (!strstr (contents, "landmarkCollection"))
        {
          g_auto (GStrv) starts = g_strsplit (contents, "<lm:landmark>", -1);
          g_autofree gchar *opened = g_strjoinv ("<lm:landmarkCollection><lm:landmark>", starts);
          g_auto (GStrv) ends = g_strsplit (opened, "</lm:landmark>", -1);
          g_autofree gchar *closed = g_strjoinv ("</lm:landmark></lm:landmarkCollection>", ends);
          wrapped_file = write_file ("wrapped.lmx", closed);
        }
      std::vector<Point> expected = gpsbabel_read (wrapped_file ? wrapped_file : file);
      g_assert_cmpuint (places->len, ==, expected.size ());
      for (guint i = 0; i < places->len; i++)
        {
          std::string name = string_of (places->pdata[i], "name");
          if (name == "(null)") /* gpsbabel makes one up */
            g_assert_true (g_regex_match_simple ("^WPT[0-9]+$", expected[i].name.c_str (), GRegexCompileFlags (0), GRegexMatchFlags (0)));
          else
            g_assert_cmpstr (name.c_str (), ==, expected[i].name.c_str ());
          g_assert_cmpfloat_with_epsilon (double_of (places->pdata[i], "latitude"), expected[i].latitude, 1e-6);
          g_assert_cmpfloat_with_epsilon (double_of (places->pdata[i], "longitude"), expected[i].longitude, 1e-6);
        }

      g_autofree gchar *out_name = g_strconcat (entry, ".out.lmx", nullptr);
      g_autofree gchar *out = home_file (out_name);
      g_assert_true (lodex_export_set_to_lmx_file (LODEX_SET (store), out, &error));
      g_assert_no_error (error);
      g_assert_true (landmarks_in (out) == landmarks_in (file));
      if (places->len > 1)
        {
          std::vector<Point> written = gpsbabel_read (out);
          g_assert_cmpuint (written.size (), ==, expected.size ());
          for (size_t i = 0; i < written.size (); i++)
            {
              g_assert_cmpstr (written[i].name.c_str (), ==, expected[i].name.c_str ());
              g_assert_cmpfloat (written[i].latitude, ==, expected[i].latitude);
              g_assert_cmpfloat (written[i].longitude, ==, expected[i].longitude);
            }
        }

      lodex_test_settle ();
      g_assert_cmpuint (added.count, ==, places->len);
      g_clear_pointer (&places, g_ptr_array_unref);
      store_free (store);
    }
  g_assert_cmpuint (files, ==, 8);
}

/* Empty elements end where they start; text split by CDATA or a comment is
 * one text; what the subset does not foresee is ignored, not misplaced. */
static void
test_lmx_import_quirks (StoreFixture *f, gconstpointer)
{
  g_autoptr (LodexCategory) existing = lodex_category_new ("Existing", nullptr);
  g_assert_true (lodex_store_add_category (f->store, existing));
  g_autofree gchar *file = write_file ("quirks.lmx", R"(<?xml version="1.0"?>
<lmx xmlns="http://www.nokia.com/schemas/location/landmarks/1/0">
  <landmarkCollection>
    <name>Not stored</name>
    <landmark>
      <category/>
      <mediaLink/>
      <name>Fish <![CDATA[&]]> <!-- and -->Chips</name>
      <coordinates><latitude>
        12.5
      </latitude><longitude>3e1</longitude></coordinates>
      <url>http://ignored.example/</url><mime>text/ignored</mime><id>7</id>
      <category><id>1</id><name>Shop</name></category>
      <category><name>Shop</name></category>
    </landmark>
    <landmark>
      <category><name>Existing</name></category>
      <name>Second</name>
      <coordinates><latitude>0</latitude><longitude>12</longitude></coordinates>
      <altitude>1e999</altitude><horizontalAccuracy>n/a</horizontalAccuracy>
    </landmark>
    <landmark/>
  </landmarkCollection>
</lmx>)");
  g_autoptr (GError) error = nullptr;
  if (!lodex_import_from_lmx_file (f->store, file, &error))
    g_error ("%s", error->message);
  g_assert_no_error (error);

  g_autoptr (GPtrArray) places = places_of (f->store);
  g_assert_cmpuint (places->len, ==, 3);
  auto first = LODEX_PLACE (places->pdata[0]);
  assert_string (first, "name", "Fish & Chips");
  g_assert_cmpfloat (double_of (first, "latitude"), ==, 12.5);
  g_assert_cmpfloat (double_of (first, "longitude"), ==, 30.0);
  g_assert_true (link_texts (first) == std::vector<std::string>{"(null)|(null)|(null)"});
  g_assert_true (category_names (first) == std::vector<std::string>{"Shop"});

  auto second = LODEX_PLACE (places->pdata[1]);
  assert_string (second, "name", "Second");
  g_assert_cmpfloat (double_of (second, "latitude"), ==, 0.0);
  g_assert_cmpfloat (double_of (second, "longitude"), ==, 12.0);
  /* optional values that are not numbers are left out */
  guint fields;
  g_object_get (second, "fields", &fields, nullptr);
  g_assert_cmpuint (fields, ==, 0);
  GList *categories = lodex_place_get_categories (second);
  g_assert_cmpuint (g_list_length (categories), ==, 1);
  g_assert_true (categories->data == existing);
  g_list_free_full (categories, g_object_unref);

  assert_string (places->pdata[2], "name", nullptr);
  GList *all = lodex_store_categories (f->store);
  g_assert_cmpuint (g_list_length (all), ==, 2); /* no nameless one */
  g_list_free_full (all, g_object_unref);

  g_autofree gchar *empty = write_file ("empty.lmx", "<lm:lmx xmlns:lm='x'><lm:landmarkCollection/></lm:lmx>");
  g_assert_true (lodex_import_from_lmx_file (f->store, empty, &error));
  g_assert_no_error (error);
}

/* The names of the places of @store from the @from-th on, in the order
 * they were added. */
static std::vector<std::string>
names_from (LodexStore *store, guint from = 0)
{
  g_autoptr (GPtrArray) places = places_of (store);
  std::vector<std::string> names;
  for (guint i = from; i < places->len; i++)
    names.push_back (string_of (places->pdata[i], "name"));
  return names;
}

/* Counts the places in the fixture's database, faster than a walk. */
static guint
count_places (sqlite3 *db)
{
  sqlite3_stmt *statement;
  g_assert_cmpint (sqlite3_prepare_v2 (db, "SELECT count(*) FROM places", -1, &statement, nullptr), ==, SQLITE_OK);
  g_assert_cmpint (sqlite3_step (statement), ==, SQLITE_ROW);
  guint count = guint (sqlite3_column_int (statement, 0));
  sqlite3_finalize (statement);
  return count;
}

/* Each bad file fails with its error, which says where; nothing of it is
 * stored, not even the landmarks before the fault. Coordinates that GPX
 * refuses, LMX refuses too. */
static void
test_lmx_import_bad (StoreFixture *f, gconstpointer)
{
  const struct
  {
    const char *xml;
    int code;
    const char *message;
  } cases[] = {
    {"<lmx><landmark><name>A</name></landmark>\n<landmark><name>B</name></landmark></lmx>", LODEX_ERROR_UNEXPECTED_TAG,
     "*/bad.lmx:2:*: Unexpected tag 'landmark' encountered"},
    {"<lmx><landmark><name>A</name><category><mediaLink/></category></landmark></lmx>", LODEX_ERROR_UNEXPECTED_TAG,
     "*: Unexpected tag 'mediaLink' encountered"},
    {"<kml><landmark/></kml>", LODEX_ERROR_UNEXPECTED_TAG, "*: Unexpected tag 'kml' encountered"},
    {"<lmx><landmark><name>A</name></landmark></lmx>\n<lmx/>", LODEX_ERROR_PARSE, "*/bad.lmx:2:*: Parse error: *"},
    {"<!DOCTYPE lmx [<!ENTITY e 'x'>]><lmx><landmark><name>&e;</name></landmark></lmx>", LODEX_ERROR_PARSE,
     "*: Parse error: *"},
    {"not XML", LODEX_ERROR_PARSE, "*/bad.lmx:1:1: Parse error: *"},
    {"", LODEX_ERROR_PARSE, "*: Parse error*"},
    {"<lmx><landmarkCollection><landmark><name>A</name><coordinates><latitude>1</latitude><longitude>2</longitude>"
     "</coordinates></landmark>\n<landmark><coordinates><latitude>abc</latitude></coordinates></landmark></landmarkCollection></lmx>",
     LODEX_ERROR_INVALID, "*/bad.lmx:2:*: <latitude> is not a number: \"abc\""},
    {"<lmx><landmark><coordinates><latitude>NaN</latitude><longitude>1</longitude></coordinates></landmark></lmx>",
     LODEX_ERROR_INVALID, "*<latitude> is not a number: \"NaN\""},
    {"<lmx><landmark><coordinates><latitude>1</latitude><longitude>-inf</longitude></coordinates></landmark></lmx>",
     LODEX_ERROR_INVALID, "*<longitude> is not a number: \"-inf\""},
    {"<lmx><landmark><coordinates><latitude>91</latitude><longitude>1</longitude></coordinates></landmark></lmx>",
     LODEX_ERROR_INVALID, "*: The latitude 91 is outside -90 to 90"},
    {"<lmx><landmark><coordinates><latitude>1e300</latitude><longitude>1</longitude></coordinates></landmark></lmx>",
     LODEX_ERROR_INVALID, "*: The latitude 1e+300 is outside -90 to 90"},
    {"<lmx><landmark><coordinates><latitude>1</latitude><longitude>181</longitude></coordinates></landmark></lmx>",
     LODEX_ERROR_INVALID, "*: The longitude 181 is outside -180 to 180"},
    {"<lmx><landmark><coordinates><longitude>1</longitude></coordinates></landmark></lmx>", LODEX_ERROR_INVALID,
     "*: the coordinates of a landmark lack its latitude"},
  };
  g_autofree gchar *path = lodex_test_db_path ();
  sqlite3 *db;
  g_assert_cmpint (sqlite3_open (path, &db), ==, SQLITE_OK);
  g_autoptr (GError) error = nullptr;
  for (const auto &c : cases)
    {
      g_test_message ("%s", c.xml);
      g_autofree gchar *file = write_file ("bad.lmx", c.xml);
      g_assert_false (lodex_import_from_lmx_file (f->store, file, &error));
      assert_error (error, LODEX_ERROR, c.code, c.message);
      g_clear_error (&error);
      g_assert_cmpuint (count_places (db), ==, 0);
    }

  /* every corpus file cut short stores nothing: importing the whole file
   * afterwards doubles nothing */
  g_autofree gchar *truncated = data_file ("bad/truncated.lmx");
  g_assert_false (lodex_import_from_lmx_file (f->store, truncated, &error));
  assert_error (error, LODEX_ERROR, LODEX_ERROR_PARSE, "*/truncated.lmx:*:*: Parse error: *");
  g_clear_error (&error);
  g_autofree gchar *dir = data_file ("");
  g_autoptr (GDir) listing = g_dir_open (dir, 0, nullptr);
  while (const char *entry = g_dir_read_name (listing))
    {
      if (!g_str_has_suffix (entry, ".lmx"))
        continue;
      g_autofree gchar *file = data_file (entry);
      g_autofree gchar *contents = nullptr;
      gsize length;
      g_assert_true (g_file_get_contents (file, &contents, &length, nullptr));
      for (int third = 1; third < 3; third++)
        {
          gsize cut = length * third / 3;
          g_autofree gchar *cut_file = write_file ("cut.lmx", contents, gssize (cut));
          g_assert_false (lodex_import_from_lmx_file (f->store, cut_file, &error));
          assert_error (error, LODEX_ERROR, LODEX_ERROR_PARSE, "*/cut.lmx:*:*: Parse error: *");
          g_clear_error (&error);
          g_assert_cmpuint (count_places (db), ==, 0);
        }
    }
  for (const char *table : {"categories", "p2c", "places_links", "places_address"})
    {
      g_autofree gchar *sql = g_strdup_printf ("SELECT count(*) FROM %s", table);
      sqlite3_stmt *statement;
      g_assert_cmpint (sqlite3_prepare_v2 (db, sql, -1, &statement, nullptr), ==, SQLITE_OK);
      g_assert_cmpint (sqlite3_step (statement), ==, SQLITE_ROW);
      g_assert_cmpint (sqlite3_column_int (statement, 0), ==, 0);
      sqlite3_finalize (statement);
    }

  g_autofree gchar *missing = home_file ("missing.lmx");
  g_assert_false (lodex_import_from_lmx_file (f->store, missing, &error));
  g_autofree gchar *open_failed = g_strdup_printf ("Failed to open %s", missing);
  assert_error (error, G_FILE_ERROR, G_FILE_ERROR_NOENT, open_failed);
  g_clear_error (&error);
  g_assert_false (lodex_import_from_lmx_file (f->store, g_get_home_dir (), &error));
  g_assert_error (error, G_FILE_ERROR, G_FILE_ERROR_ISDIR);
  sqlite3_close (db);
}

/* A landmark the database refuses fails the whole file with a store
 * error, which is not also logged; nothing is stored or announced. */
static void
test_lmx_import_refused (StoreFixture *f, gconstpointer)
{
  g_autofree gchar *path = lodex_test_db_path ();
  sqlite3 *db;
  g_assert_cmpint (sqlite3_open (path, &db), ==, SQLITE_OK);
  g_assert_cmpint (sqlite3_exec (db, "CREATE TRIGGER refuse BEFORE INSERT ON places WHEN new.name = 'Refused' "
                                     "BEGIN SELECT RAISE (ABORT, 'refused'); END",
                                 nullptr, nullptr, nullptr),
                   ==, SQLITE_OK);
  sqlite3_close (db);

  LodexTestRecorder added (f->store, "place-added");
  g_autofree gchar *file = write_file ("refused.lmx", "<lmx><landmarkCollection><landmark><name>Kept</name>"
                                                      "<category><name>New</name></category></landmark>"
                                                      "<landmark><name>Refused</name></landmark>"
                                                      "<landmark><name>Unread</name></landmark></landmarkCollection></lmx>");
  g_autoptr (GError) error = nullptr;
  g_assert_false (lodex_import_from_lmx_file (f->store, file, &error));
  assert_error (error, LODEX_ERROR, LODEX_ERROR_STORE, "*/refused.lmx:1:*: Could not store place \"Refused\": refused");
  g_assert_true (names_from (f->store).empty ());
  GList *categories = lodex_store_categories (f->store);
  g_assert_null (categories);
  lodex_test_settle ();
  g_assert_cmpuint (added.count, ==, 0);
}

/* Every field of two places, written and read into an empty store. */
static void
test_lmx_round_trip (void)
{
  if (!have_gpsbabel ())
    return;
  LodexStore *store = store_new ("from.db");
  const char *address[] = {"country", "country-code", "state", "county", "city", "district", "postcode", "crossing1",
                           "crossing2", "street", "building-name", "building-zone", "building-floor", "building-room",
                           "extension", "phone-number"};
  g_autoptr (LodexPlace) full = lodex_place_new ("Tower — Башня 塔 & <co>", 61.5, -23.25);
  g_object_set (full, "description", "Line one\nline two\t\"quoted\" 'single'", "altitude", 1e300, "haccuracy", 12.5,
                "vaccuracy", 3.25, "coverage", 0.5, nullptr);
  for (const char *property : address)
    {
      g_autofree gchar *value = g_strdup_printf ("%s: Улица <%s> & 街", property, property);
      g_object_set (full, property, value, nullptr);
    }
  g_assert_true (lodex_store_add_place (store, full));
  for (auto [name, mime, url] : {std::tuple{"Home", "text/html", "https://example.org/?a=1&b=2"},
                                 std::tuple{"Photo", "image/jpeg", "http://example.org/tower.jpg"}})
    {
      g_autoptr (LodexPlaceLink) link = lodex_place_link_new ();
      link->name = g_strdup (name);
      link->mime = g_strdup (mime);
      link->url = g_strdup (url);
      g_assert_true (lodex_place_add_link (full, link));
    }
  for (const char *name : {"Sights", "Высоты", static_cast<const char *> (nullptr)})
    {
      g_autoptr (LodexCategory) category = LODEX_CATEGORY (g_object_new (LODEX_TYPE_CATEGORY, "name", name, nullptr));
      g_assert_true (lodex_store_add_category (store, category));
      g_assert_true (lodex_category_add_place (category, full));
    }
  g_autoptr (LodexPlace) other = lodex_place_new ("Other", -89.999999, 179.999999);
  g_object_set (other, "altitude", -1.5e300, nullptr);
  g_assert_true (lodex_store_add_place (store, other));
  lodex_place_commit (full);

  g_autofree gchar *file = home_file ("round-trip.lmx");
  g_autoptr (GError) error = nullptr;
  g_assert_true (lodex_export_set_to_lmx_file (LODEX_SET (store), file, &error));
  g_assert_no_error (error);
  g_assert_cmpuint (landmarks_in (file).size (), ==, 2);
  std::vector<Point> babel = gpsbabel_read (file);
  g_assert_cmpuint (babel.size (), ==, 2);
  g_assert_cmpstr (babel[0].name.c_str (), ==, "Tower — Башня 塔 & <co>");
  g_assert_cmpfloat (babel[0].latitude, ==, 61.5);
  g_assert_cmpfloat (babel[1].longitude, ==, 179.999999);

  LodexStore *copy = store_new ("to.db");
  g_assert_true (lodex_import_from_lmx_file (copy, file, &error));
  g_assert_no_error (error);
  g_autoptr (GPtrArray) before = places_of (store);
  g_autoptr (GPtrArray) after = places_of (copy);
  g_assert_cmpuint (after->len, ==, 2);
  for (guint i = 0; i < 2; i++)
    {
      gpointer a = before->pdata[i], b = after->pdata[i];
      for (const char *property : {"latitude", "longitude", "altitude", "haccuracy", "vaccuracy", "coverage"})
        g_assert_cmpfloat (double_of (a, property), ==, double_of (b, property));
      guint fields_a, fields_b;
      g_object_get (a, "fields", &fields_a, nullptr);
      g_object_get (b, "fields", &fields_b, nullptr);
      g_assert_cmpuint (fields_a, ==, fields_b);
      for (const char *property : {"name", "description"})
        assert_same (a, b, property);
      for (const char *property : address)
        assert_same (a, b, property);
      g_assert_true (link_texts (LODEX_PLACE (a)) == link_texts (LODEX_PLACE (b)));
    }
  g_assert_true (category_names (LODEX_PLACE (after->pdata[0])) == (std::vector<std::string>{"Sights", "Высоты"}));
  g_assert_cmpuint (category_names (LODEX_PLACE (after->pdata[1])).size (), ==, 0);

  g_clear_pointer (&before, g_ptr_array_unref);
  g_clear_pointer (&after, g_ptr_array_unref);
  g_clear_object (&full);
  g_clear_object (&other);
  store_free (copy);
  store_free (store);
}

/* A locale whose decimal point is a comma: de_DE.UTF-8 when installed, else
 * one made here with nothing but its numbers, which needs no locale data. */
static bool
use_comma_locale (const char *dir)
{
  if (!setlocale (LC_NUMERIC, "de_DE.UTF-8"))
    {
      g_autofree gchar *source = g_build_filename (dir, "comma", nullptr);
      g_autofree gchar *charmap = g_build_filename (dir, "charmap", nullptr);
      g_autofree gchar *locale = g_build_filename (dir, "xx_XX.COMMA", nullptr);
      g_assert_true (g_file_set_contents (source, "LC_NUMERIC\ndecimal_point \"<U002C>\"\nthousands_sep \"\"\n"
                                                  "grouping -1\nEND LC_NUMERIC\n",
                                          -1, nullptr));
      g_assert_true (g_file_set_contents (charmap, "<code_set_name> COMMA\n<escape_char> /\nCHARMAP\n<U002C> /x2c COMMA\nEND CHARMAP\n", -1, nullptr));
      const char *argv[] = {"localedef", "-c", "-i", source, "-f", charmap, locale, nullptr};
      /* it complains of all it lacks, and writes the locale all the same */
      g_spawn_sync (nullptr, const_cast<gchar **> (argv), nullptr,
                    GSpawnFlags (G_SPAWN_SEARCH_PATH | G_SPAWN_STDOUT_TO_DEV_NULL | G_SPAWN_STDERR_TO_DEV_NULL), nullptr,
                    nullptr, nullptr, nullptr, nullptr, nullptr);
      g_setenv ("LOCPATH", dir, TRUE);
      if (!setlocale (LC_NUMERIC, "xx_XX.COMMA"))
        return false;
    }
  return g_str_equal (localeconv ()->decimal_point, ",");
}

/* Numbers are written and read with a point whatever the locale, and
 * every finite double fits. */
static void
test_lmx_export_locale (StoreFixture *f, gconstpointer)
{
  g_autofree gchar *dir = home_file ("locale");
  g_assert_cmpint (g_mkdir (dir, 0700), ==, 0);
  if (!use_comma_locale (dir))
    {
      setlocale (LC_NUMERIC, "C");
      g_unsetenv ("LOCPATH");
      g_test_skip ("no locale with a decimal comma");
      return;
    }
  g_autoptr (LodexPlace) place = lodex_place_new ("Comma", 61.5, -0.125);
  g_object_set (place, "altitude", G_MAXDOUBLE, "coverage", 1e-7, nullptr);
  g_assert_true (lodex_store_add_place (f->store, place));
  g_autofree gchar *file = home_file ("locale.lmx");
  g_autoptr (GError) error = nullptr;
  g_assert_true (lodex_export_place_to_lmx_file (place, file, &error));
  g_assert_no_error (error);

  g_autofree gchar *text = nullptr;
  g_assert_true (g_file_get_contents (file, &text, nullptr, nullptr));
  g_assert_nonnull (strstr (text, "<lm:latitude>61.500000</lm:latitude>"));
  g_assert_nonnull (strstr (text, "<lm:longitude>-0.125000</lm:longitude>"));
  g_assert_nonnull (strstr (text, "<lm:coverageRadius>0.000000</lm:coverageRadius>"));

  LodexStore *copy = store_new ("locale.db");
  g_assert_true (lodex_import_from_lmx_file (copy, file, &error));
  g_assert_no_error (error);
  g_autoptr (GPtrArray) places = places_of (copy);
  setlocale (LC_NUMERIC, "C");
  g_unsetenv ("LOCPATH");
  g_assert_cmpuint (places->len, ==, 1);
  g_assert_cmpfloat (double_of (places->pdata[0], "latitude"), ==, 61.5);
  g_assert_cmpfloat (double_of (places->pdata[0], "altitude"), ==, G_MAXDOUBLE);
  g_clear_pointer (&places, g_ptr_array_unref);
  store_free (copy);
}

/* Text that XML cannot hold is cleaned rather than written raw, and line
 * ends read back exactly; a file that cannot be created or written fails
 * with a file error. */
static void
test_lmx_export_errors (StoreFixture *f, gconstpointer)
{
  g_autoptr (LodexPlace) place = lodex_place_new ("Bell\x07 \xff end", 1, 2);
  g_object_set (place, "description", "one\r\ntwo\rthree\n", nullptr);
  g_assert_true (lodex_store_add_place (f->store, place));
  g_autoptr (GError) error = nullptr;
  g_autofree gchar *cleaned = home_file ("cleaned.lmx");
  g_assert_true (lodex_export_place_to_lmx_file (place, cleaned, &error));
  g_assert_no_error (error);
  g_assert_true (landmarks_in (cleaned)[0].find ("name=Bell \uFFFD end\n") != std::string::npos);
  LodexStore *copy = store_new ("line-ends.db");
  g_assert_true (lodex_import_from_lmx_file (copy, cleaned, &error));
  g_assert_no_error (error);
  {
    g_autoptr (GPtrArray) places = places_of (copy);
    assert_string (places->pdata[0], "description", "one\r\ntwo\rthree\n");
  }
  store_free (copy);

  g_autofree gchar *missing = home_file ("no/such/dir.lmx");
  g_assert_false (lodex_export_set_to_lmx_file (LODEX_SET (f->store), missing, &error));
  g_autofree gchar *create_failed = g_strdup_printf ("Failed to create %s", missing);
  assert_error (error, G_FILE_ERROR, G_FILE_ERROR_NOENT, create_failed);
  g_clear_error (&error);

  GStatBuf st;
  if (g_stat ("/dev/full", &st) != 0 || !S_ISCHR (st.st_mode))
    {
      g_test_skip ("no /dev/full");
      return;
    }
  g_assert_false (lodex_export_place_to_lmx_file (place, "/dev/full", &error));
  assert_error (error, G_FILE_ERROR, G_FILE_ERROR_NOSPC, "Failed to write /dev/full: No space left on device");
}


/* Legal elements we do not store are skipped with all they hold, even
 * when that holds names of ours; a name ending in ".LMX" is LMX. */
static void
test_lmx_import_unknown_elements (StoreFixture *f, gconstpointer)
{
  g_autofree gchar *file = write_file ("Unknown.LMX", R"(<?xml version="1.0"?>
<lm:lmx xmlns:lm="http://www.nokia.com/schemas/location/landmarks/1/0" xmlns:x="urn:example:other">
  <x:header><lm:landmark><lm:name>inside another namespace</lm:name></lm:landmark></x:header>
  <lm:landmarkCollection>
    <lm:future><lm:name>not the collection's</lm:name></lm:future>
    <lm:landmark>
      <lm:name>First</lm:name>
      <x:name>not a name</x:name>
      <lm:coordinates><lm:latitude>1</lm:latitude><lm:longitude>2</lm:longitude>
        <lm:timeStamp>2020-01-01T00:00:00Z</lm:timeStamp></lm:coordinates>
      <lm:mediaLink><lm:url>http://example.org/</lm:url><x:size>3</x:size></lm:mediaLink>
      <lm:rating><lm:name>Five</lm:name><lm:landmark/></lm:rating>
    </lm:landmark>
    <lm:landmark><lm:name>Second</lm:name>
      <lm:coordinates><lm:latitude>3</lm:latitude><lm:longitude>4</lm:longitude></lm:coordinates></lm:landmark>
  </lm:landmarkCollection>
</lm:lmx>)");
  g_autoptr (GError) error = nullptr;
  g_assert_true (lodex_store_import_from_file (f->store, file, &error));
  g_assert_no_error (error);
  g_autoptr (GPtrArray) places = places_of (f->store);
  g_assert_cmpuint (places->len, ==, 2);
  assert_string (places->pdata[0], "name", "First");
  assert_string (places->pdata[1], "name", "Second");
  g_assert_cmpfloat (_lodex_place_get_row (LODEX_PLACE (places->pdata[1]))->longitude, ==, 4);
  GList *links = lodex_place_get_links (LODEX_PLACE (places->pdata[0]));
  g_assert_cmpuint (g_list_length (links), ==, 1);
  g_assert_cmpstr (static_cast<LodexPlaceLink *> (links->data)->url, ==, "http://example.org/");
  g_list_free_full (links, GDestroyNotify (lodex_place_link_free));
}

int
main (int argc, char **argv)
{
  g_test_init (&argc, &argv, G_TEST_OPTION_ISOLATE_DIRS, nullptr);

  g_test_add_func ("/lmx/import/corpus", test_lmx_import_corpus);
  LODEX_TEST_ADD ("/lmx/import/quirks", test_lmx_import_quirks);
  LODEX_TEST_ADD ("/lmx/import/bad", test_lmx_import_bad);
  LODEX_TEST_ADD ("/lmx/import/refused", test_lmx_import_refused);
  LODEX_TEST_ADD ("/lmx/import/unknown-elements", test_lmx_import_unknown_elements);
  g_test_add_func ("/lmx/round-trip", test_lmx_round_trip);
  LODEX_TEST_ADD ("/lmx/export/locale", test_lmx_export_locale);
  LODEX_TEST_ADD ("/lmx/export/errors", test_lmx_export_errors);
  return lodex_test_run_with_bus ();
}
