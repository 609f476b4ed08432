/* The GPX document library alone: what it refuses to read, how it hands
 * elements to extensions, and what it writes. */

#include "lodex-test-utils.h"

#include <gpx.h>

#include <cmath>
#include <cstring>

static gchar *
home_file (const char *name)
{
  g_assert_cmpint (g_mkdir_with_parents (g_get_home_dir (), 0700), ==, 0);
  return g_build_filename (g_get_home_dir (), name, nullptr);
}

static gchar *
write_temp (const char *name, const char *contents)
{
  gchar *path = home_file (name);
  g_assert_true (g_file_set_contents (path, contents, -1, nullptr));
  return path;
}

static GpxTree *
read_text (const char *contents, GError **error)
{
  g_autofree gchar *path = write_temp ("read.gpx", contents);
  return gpx_tree_read_from_file (path, error);
}

#define GPX11 "<gpx xmlns='http://www.topografix.com/GPX/1/1' version='1.1' creator='t'>"

/* Documents that are not GPX we can trust, each refused with the line
 * that is wrong, and without a word from libxml2 on standard error. */
static void
test_read_refused (void)
{
  if (!g_test_subprocess ())
    {
      g_test_trap_subprocess (nullptr, 0, G_TEST_SUBPROCESS_DEFAULT);
      g_test_trap_assert_passed ();
      g_test_trap_assert_stderr ("");
      return;
    }
  struct
  {
    const char *text;
    int code;
    const char *message;
  } cases[] = {
    {GPX11 "\n<wpt lon='1'/></gpx>", GPX_ERROR_INVALID, "*read.gpx:2: <wpt> has no lat attribute"},
    {GPX11 "<rte><rtept lat='91' lon='1'/></rte></gpx>", GPX_ERROR_INVALID, "*:1: <rtept> has an invalid lat: \"91\""},
    {GPX11 "<wpt lat='1' lon='nan'/></gpx>", GPX_ERROR_INVALID, "*<wpt> has an invalid lon: \"nan\""},
    {GPX11 "<wpt lat='1' lon='0x10'/></gpx>", GPX_ERROR_INVALID, "*<wpt> has an invalid lon: \"0x10\""},
    {GPX11 "<trk><trkseg><trkpt lat='1' lon='1e999'/></trkseg></trk></gpx>", GPX_ERROR_INVALID, "*invalid lon*"},
    {"<gpx xmlns='http://www.opengis.net/kml/2.2'/>", GPX_ERROR_INVALID, "*not a GPX document*"},
    {GPX11 "<wpt lat='1' lon='2'><name>cut", GPX_ERROR_PARSE, "*read.gpx:1:*: *"},
    {GPX11 "\n<wpt lat='1' lon='2'><name>\xf5\x38</name></wpt></gpx>", GPX_ERROR_PARSE, "*read.gpx:2:*: *"},
    {"<?xml version='1.0' encoding='EUC-JP'?>" GPX11 "<wpt lat='1' lon='2'><name>\xf5\x38\x33\x22</name></wpt></gpx>",
     GPX_ERROR_PARSE, "*read.gpx:1:*input conversion failed*"},
    {"<?xml version='1.0' encoding='UTF-7'?>\n<gpx a='\x8e'></gpx>", GPX_ERROR_PARSE, "*input conversion failed*"},
    {"", GPX_ERROR_PARSE, "*read.gpx:*"},
  };
  for (const auto &c : cases)
    {
      g_autoptr (GError) error = nullptr;
      g_assert_null (read_text (c.text, &error));
      g_assert_error (error, GPX_ERROR, c.code);
      if (!g_pattern_match_simple (c.message, error->message))
        g_error ("%s: unexpected message: %s", c.text, error->message);
    }

  g_autoptr (GError) error = nullptr;
  g_assert_null (gpx_tree_read_from_file ("/nonexistent.gpx", &error));
  g_assert_error (error, G_FILE_ERROR, G_FILE_ERROR_NOENT);
}

/* What is odd but sound reads, and a file never pulls in another. */
static void
test_read_lenient (void)
{
  g_autofree gchar *secret = write_temp ("secret.txt", "SECRET");
  g_autofree gchar *text = g_strdup_printf (
    "<?xml version='1.0'?>\n"
    "<!DOCTYPE gpx [<!ENTITY secret SYSTEM 'file://%s'>]>\n"
    "<gpx version='1.0' xmlns='http://www.topografix.com/GPX/1/0' xmlns:x='urn:x'>\n"
    "<x:thing><wpt lat='5' lon='5'/></x:thing>\n"
    "<wpt lat=' 12.5 ' lon='180'><name>Fish <![CDATA[&]]> <!-- a comment --> chips&secret;</name>\n"
    "<url>https://example.org</url><urlname>the page</urlname><hdop>1.5</hdop>\n"
    "<time>2016-05-27T10:08:47.8Z</time></wpt>\n"
    "<trk><trkseg/><trkseg><trkpt lat='-90' lon='-180'/></trkseg></trk>\n"
    "</gpx>\n",
    secret);
  g_autoptr (GError) error = nullptr;
  GpxTree *tree = read_text (text, &error);
  g_assert_no_error (error);
  g_assert_cmpuint (g_list_length (tree->waypoints), ==, 1); /* not the foreign one */
  auto point = static_cast<GpxPoint *> (tree->waypoints->data);
  g_assert_cmpfloat (point->latitude, ==, 12.5);
  g_assert_cmpfloat (point->longitude, ==, 180.0);
  g_assert_cmpstr (point->name, ==, "Fish &  chips");
  g_assert_cmpuint (point->flags, ==, GPX_POINT_HDOP | GPX_POINT_TIME);
  g_assert_cmpfloat (point->extra->hdop, ==, 1.5);
  g_assert_cmpint (point->time.seconds, ==, 1464343727);
  g_assert_cmpint (point->time.microseconds, ==, 800000);
  auto link = static_cast<GpxLink *> (point->links->data);
  g_assert_cmpstr (link->href, ==, "https://example.org");
  g_assert_cmpstr (link->text, ==, "the page");
  auto track = static_cast<GpxTrack *> (tree->tracks->data);
  g_assert_cmpuint (g_list_length (track->segments), ==, 2);
  gpx_tree_free (tree);
}

/* A toy extension: the point parser keeps the text of <toy:note>, and
 * declines every other element of its namespace. */
static const char *toy_namespace = "urn:example:toy";

static int
toy_parse_point (gpointer *data, xmlTextReaderPtr reader)
{
  if (!g_str_equal ((const char *) xmlTextReaderConstLocalName (reader), "note"))
    return 0;
  GString *text = g_string_new (nullptr);
  *data = text;
  if (xmlTextReaderIsEmptyElement (reader))
    return 1;
  int depth = xmlTextReaderDepth (reader), res;
  while ((res = xmlTextReaderRead (reader)) == 1)
    {
      if (xmlTextReaderDepth (reader) == depth && xmlTextReaderNodeType (reader) == XML_READER_TYPE_END_ELEMENT)
        return 1;
      if (xmlTextReaderDepth (reader) == depth + 1 && xmlTextReaderNodeType (reader) == XML_READER_TYPE_TEXT)
        g_string_append (text, (const char *) xmlTextReaderConstValue (reader));
    }
  return -1;
}

static int
toy_write_point (gpointer data, xmlTextWriterPtr writer)
{
  return xmlTextWriterWriteElementNS (writer, BAD_CAST "toy", BAD_CAST "note", nullptr,
                                      BAD_CAST static_cast<GString *> (data)->str);
}

static GpxExtension *
toy_extension (void)
{
  static GpxExtension extension;
  if (!extension.namespace_uri)
    {
      extension.free_point_data = [] (gpointer text) { g_string_free (static_cast<GString *> (text), TRUE); };
      extension.parse_point = toy_parse_point;
      extension.write_point = toy_write_point;
      extension.namespace_uri = const_cast<gchar *> (toy_namespace);
      gpx_extension_register ("toy", &extension);
    }
  return &extension;
}

static const char *
note_of (GpxPoint *point)
{
  auto text = static_cast<GString *> (gpx_point_get_exdata (point, toy_extension ()));
  return text ? text->str : nullptr;
}

/* Elements of a registered namespace reach its parser, wherever GPX 1.0
 * or 1.1 puts them; the reader goes on after them, empty ones included. */
static void
test_extension_read_write (void)
{
  toy_extension ();
  g_autoptr (GError) error = nullptr;
  GpxTree *tree = read_text (GPX11 "<wpt lat='1' lon='1'><extensions><toy:note xmlns:toy='urn:example:toy'/>"
                                   "<other:x xmlns:other='urn:other'><other:y>deep</other:y></other:x>"
                                   "</extensions><name>one</name></wpt>"
                                   "<wpt lat='2' lon='2' xmlns:toy='urn:example:toy'><extensions>"
                                   "<toy:skipped><toy:note>inner</toy:note></toy:skipped>"
                                   "<toy:note>two<b>!</b></toy:note></extensions><name>two</name></wpt>"
                                   "<wpt lat='3' lon='3'><name>three</name></wpt></gpx>",
                             &error);
  g_assert_no_error (error);
  g_assert_cmpuint (g_list_length (tree->waypoints), ==, 3);
  auto one = static_cast<GpxPoint *> (tree->waypoints->data);
  auto two = static_cast<GpxPoint *> (tree->waypoints->next->data);
  g_assert_cmpstr (one->name, ==, "one");
  g_assert_cmpstr (note_of (one), ==, "");
  g_assert_cmpstr (two->name, ==, "two");
  g_assert_cmpstr (note_of (two), ==, "two");

  /* written back: the namespace is declared once, on the root */
  g_autofree gchar *path = home_file ("written.gpx");
  g_assert_true (gpx_tree_write_to_file (tree, path, &error));
  g_assert_no_error (error);
  gpx_tree_free (tree);
  g_autofree gchar *written = nullptr;
  g_assert_true (g_file_get_contents (path, &written, nullptr, nullptr));
  g_assert_nonnull (strstr (written, "xmlns:toy=\"urn:example:toy\">"));
  g_assert_nonnull (strstr (written, "<extensions>\n      <toy:note>two</toy:note>\n    </extensions>"));

  tree = gpx_tree_read_from_file (path, &error);
  g_assert_no_error (error);
  g_assert_cmpstr (note_of (static_cast<GpxPoint *> (tree->waypoints->next->data)), ==, "two");
  g_assert_null (note_of (static_cast<GpxPoint *> (tree->waypoints->next->next->data)));
  gpx_tree_free (tree);
}

/* Numbers come back as the same doubles, text that XML cannot carry is
 * cleaned, and a failed write says so. */
static void
test_write (void)
{
  GpxTree *tree = gpx_tree_new ("numbers", 0);
  GpxTime before_1970 = {-86399, 500000};
  GpxPoint *point = gpx_point_new (0.1 + 0.2, 180.0, 1e20, &before_1970);
  point->name = g_strdup ("bell\x07 tab\t and \xff invalid");
  point->extra = gpx_point_extra_new ();
  point->extra->hdop = NAN;
  point->extra->vdop = 1e-7;
  point->flags |= GPX_POINT_HDOP | GPX_POINT_VDOP;
  gpx_tree_add_waypoint (tree, point);
  GpxTime far_future = {G_GINT64_CONSTANT (400000000000), 0};
  gpx_tree_add_waypoint (tree, gpx_point_new (-1e-7, -179.99999999999997, 0, &far_future));

  g_autofree gchar *path = home_file ("numbers.gpx");
  g_autoptr (GError) error = nullptr;
  g_assert_true (gpx_tree_write_to_file (tree, path, &error));
  g_assert_no_error (error);
  GpxTree *copy = gpx_tree_read_from_file (path, &error);
  g_assert_no_error (error);
  auto a = static_cast<GpxPoint *> (copy->waypoints->data);
  g_assert_cmpfloat (a->latitude, ==, 0.1 + 0.2);
  g_assert_cmpfloat (a->longitude, ==, -180.0); /* the same meridian, as the schema wants it */
  g_assert_cmpfloat (a->elevation, ==, 1e20);
  g_assert_cmpuint (a->flags, ==, GPX_POINT_ELEVATION | GPX_POINT_TIME | GPX_POINT_VDOP);
  g_assert_cmpfloat (a->extra->vdop, ==, 1e-7);
  g_assert_cmpint (a->time.seconds, ==, -86399);
  g_assert_cmpint (a->time.microseconds, ==, 500000);
  g_assert_cmpstr (a->name, ==, "bell tab\t and \xef\xbf\xbd invalid");
  auto b = static_cast<GpxPoint *> (copy->waypoints->next->data);
  g_assert_cmpfloat (b->latitude, ==, -1e-7);
  g_assert_cmpfloat (b->longitude, ==, -179.99999999999997);
  g_assert_false (b->flags & GPX_POINT_TIME); /* no year xsd:dateTime can write */
  g_assert_cmpstr (copy->title, ==, "numbers");
  gpx_tree_free (copy);

  g_assert_false (gpx_tree_write_to_file (tree, "/nonexistent/out.gpx", &error));
  g_assert_error (error, G_FILE_ERROR, G_FILE_ERROR_NOENT);
  g_clear_error (&error);
  if (g_file_test ("/dev/full", G_FILE_TEST_EXISTS))
    {
      g_assert_false (gpx_tree_write_to_file (tree, "/dev/full", &error));
      g_assert_error (error, GPX_ERROR, GPX_ERROR_WRITE);
      g_clear_error (&error);
    }
  point->latitude = 95;
  g_assert_false (gpx_tree_write_to_file (tree, path, &error));
  g_assert_error (error, GPX_ERROR, GPX_ERROR_INVALID);
  gpx_tree_free (tree);
}

int
main (int argc, char **argv)
{
  g_test_init (&argc, &argv, G_TEST_OPTION_ISOLATE_DIRS, nullptr);

  g_test_add_func ("/gpx-library/read/refused", test_read_refused);
  g_test_add_func ("/gpx-library/read/lenient", test_read_lenient);
  g_test_add_func ("/gpx-library/extension", test_extension_read_write);
  g_test_add_func ("/gpx-library/write", test_write);

  return g_test_run ();
}
