/* lodex-tool end to end: every run is a process of its own on this test's
 * HOME and bus. */

#include "lodex-test-utils.h"

#include <glib/gstdio.h>

#include <algorithm>
#include <csignal>
#include <cstring>
#include <ctime>
#include <initializer_list>
#include <string>
#include <sys/resource.h>
#include <vector>

struct Fixture
{
};

static void
fixture_setup (Fixture *, gconstpointer)
{
  g_free (lodex_test_db_path ()); /* makes HOME, where the tool opens the database */
}

struct ToolRun
{
  int status;
  std::string out;
  std::string err;
};

static const GSubprocessFlags pipes = GSubprocessFlags (G_SUBPROCESS_FLAGS_STDOUT_PIPE | G_SUBPROCESS_FLAGS_STDERR_PIPE);
static const char usage_hint[] = "Run 'lodex-tool --help' to see the options.\n";

static ToolRun
finish (GSubprocess *process)
{
  g_autofree gchar *out = nullptr;
  g_autofree gchar *err = nullptr;
  g_autoptr (GError) error = nullptr;
  g_assert_true (g_subprocess_communicate_utf8 (process, nullptr, nullptr, &out, &err, &error));
  g_assert_no_error (error);
  g_assert_true (g_subprocess_get_if_exited (process)); /* a crash is never an answer */
  return {g_subprocess_get_exit_status (process), out, err};
}

static std::vector<const char *>
tool_argv (std::initializer_list<const char *> args)
{
  std::vector<const char *> argv{LODEX_TEST_TOOL};
  argv.insert (argv.end (), args);
  argv.push_back (nullptr);
  return argv;
}

static ToolRun
run_tool (std::initializer_list<const char *> args)
{
  g_autoptr (GSubprocess) process = lodex_test_spawn (pipes, tool_argv (args).data ());
  return finish (process);
}

static void
assert_run (const ToolRun &run, int status, const std::string &out, const std::string &err)
{
  g_assert_cmpstr (run.err.c_str (), ==, err.c_str ());
  g_assert_cmpstr (run.out.c_str (), ==, out.c_str ());
  g_assert_cmpint (run.status, ==, status);
}

/* Adds a place and returns the id the tool printed. */
static std::string
add (std::initializer_list<const char *> args)
{
  ToolRun run = run_tool (args);
  const std::string prefix = "Place added with id '", suffix = "'\n";
  g_assert_cmpstr (run.err.c_str (), ==, "");
  g_assert_cmpint (run.status, ==, 0);
  g_assert_true (run.out.starts_with (prefix) && run.out.ends_with (suffix));
  return run.out.substr (prefix.size (), run.out.size () - prefix.size () - suffix.size ());
}

/* The store walk has no order: compare listings line by line, sorted. */
static std::vector<std::string>
sorted_lines (const std::string &text)
{
  g_auto (GStrv) split = g_strsplit (text.c_str (), "\n", -1);
  std::vector<std::string> lines (split, split + g_strv_length (split));
  std::sort (lines.begin (), lines.end ());
  return lines;
}

static void
test_tool_add_list_show (Fixture *, gconstpointer)
{
  gint64 before = time (nullptr);
  std::string airport = add ({"-a", "--name", "Tampere–Pirkkala", "--latitude", "61.4978",
                              "--longitude", "23.761", "--altitude", "120", "--description",
                              "Airport", "--country", "Finland", "--state", "Pirkanmaa", "--county",
                              "Tampere region", "--district", "Pirkkala", "--postcode", "33960",
                              "--street", "Lentoasemantie 50"});
  gint64 after = time (nullptr);
  /* the tool released its store, which flushes the bus: the last connection
   * to close takes the write-ahead log with it */
  g_autofree gchar *wal = g_build_filename (g_get_home_dir (), ".lodex.db-wal", nullptr);
  g_assert_false (g_file_test (wal, G_FILE_TEST_EXISTS));
  std::string harbour = add ({"--add-place", "--name", "Harbour", "--latitude", "-33.8568",
                              "--longitude", "151.2153"});

  ToolRun list = run_tool ({"--list-places"});
  g_assert_cmpint (list.status, ==, 0);
  g_assert_cmpstr (list.err.c_str (), ==, "");
  std::string expected = airport + " Tampere–Pirkkala Lat: 61.497800 Long: 23.761000 Alt: 120.000000\n"
                         + harbour + " Harbour Lat: -33.856800 Long: 151.215300\n";
  g_assert_true (sorted_lines (list.out) == sorted_lines (expected));

  ToolRun show = run_tool ({"-s", airport.c_str ()});
  const char *ctime_line = strstr (show.out.c_str (), "\nctime: ");
  g_assert_nonnull (ctime_line);
  gint64 ctime = g_ascii_strtoll (ctime_line + strlen ("\nctime: "), nullptr, 10);
  g_assert_cmpint (ctime, >=, before);
  g_assert_cmpint (ctime, <=, after);
  g_autofree gchar *properties = g_strdup_printf (
    "id: %s\n"
    "latitude: 61.497800\n"
    "longitude: 23.761000\n"
    "altitude: 120.000000\n"
    "name: Tampere–Pirkkala\n"
    "icon: (null)\n"
    "haccuracy: 0.000000\n"
    "vaccuracy: 0.000000\n"
    "comment: (null)\n"
    "description: Airport\n"
    "coverage: 0.000000\n"
    "presence: (null)\n"
    "fields: 1\n"
    "ctime: %" G_GINT64_FORMAT "\n"
    "country: Finland\n"
    "country-code: (null)\n"
    "state: Pirkanmaa\n"
    "county: Tampere region\n"
    "city: (null)\n"
    "district: Pirkkala\n"
    "postcode: 33960\n"
    "crossing1: (null)\n"
    "crossing2: (null)\n"
    "street: Lentoasemantie 50\n"
    "building-name: (null)\n"
    "building-zone: (null)\n"
    "building-floor: (null)\n"
    "building-room: (null)\n"
    "extension: (null)\n"
    "phone-number: (null)\n",
    airport.c_str (), ctime);
  assert_run (show, 0, properties, "");
}

static void
test_tool_update_remove (Fixture *, gconstpointer)
{
  std::string tower = add ({"-a", "--name", "Tower", "--latitude", "51.5", "--longitude", "-0.07",
                            "--description", "Castle"});
  std::string bridge = add ({"-a", "--name", "Bridge", "--latitude", "51.5055", "--longitude", "-0.0754"});

  /* only what is given changes */
  assert_run (run_tool ({"-u", tower.c_str (), "--name", "Tower of London", "--latitude", "51.5081",
                         "--altitude", "15", "--street", "Tower Hill"}),
              0, "Place with id '" + tower + "' updated\n", "");
  std::string tower_line = tower + " Tower of London Lat: 51.508100 Long: -0.070000 Alt: 15.000000\n";
  ToolRun show = run_tool ({"--show-place", tower.c_str ()});
  g_assert_nonnull (strstr (show.out.c_str (), "\ndescription: Castle\n"));
  g_assert_nonnull (strstr (show.out.c_str (), "\nstreet: Tower Hill\n"));

  /* bad input is refused before anything is written */
  assert_run (run_tool ({"-u", tower.c_str (), "--latitude", "51,5"}), 255, "",
              std::string ("Invalid value '51,5' for --latitude: a number such as 51.5 is expected\n") + usage_hint);
  assert_run (run_tool ({"-u", "no-such-id", "--name", "Lost"}), 255, "", "No place with id no-such-id found\n");
  assert_run (run_tool ({"-s", "no-such-id"}), 255, "", "No place with id 'no-such-id' found\n");

  /* the removal goes on to the listing, which no longer has the place */
  assert_run (run_tool ({"-r", bridge.c_str (), "--list-places"}), 0,
              "Place with id '" + bridge + "' removed\n" + tower_line, "");
  assert_run (run_tool ({"-r", bridge.c_str (), "--list-places"}), 255, "",
              "No place with id " + bridge + " found\n");
  assert_run (run_tool ({"--list-places"}), 0, tower_line, "");
}

static void
test_tool_usage_errors (Fixture *, gconstpointer)
{
  assert_run (run_tool ({}), 0, "", "");
  assert_run (run_tool ({"-a", "--name", "Nowhere", "--latitude", "1"}), 255, "",
              "Name, latitude and longitude must be supplied\n");
  assert_run (run_tool ({"-a", "--latitude", "1", "--longitude", "2"}), 255, "",
              "Name, latitude and longitude must be supplied\n");

  /* each bad value overrides a good one: were it taken, the add would succeed */
  for (auto [option, value] : {std::pair{"--latitude", "abc"}, {"--longitude", "nan"}, {"--altitude", "12m"}})
    {
      ToolRun run = run_tool ({"-a", "--name", "Bad", "--latitude", "1", "--longitude", "2", "--altitude", "3", option, value});
      g_autofree gchar *message = g_strdup_printf ("Invalid value '%s' for %s: a number such as 51.5 is expected\n", value, option);
      assert_run (run, 255, "", message + std::string (usage_hint));
    }
  assert_run (run_tool ({"--name", "Tower", "of", "London"}), 255, "",
              std::string ("Unexpected argument 'of'\n") + usage_hint);
  assert_run (run_tool ({"--list-places"}), 0, "", ""); /* nothing was written */

  /* GLib words these; the option must be named and nothing done */
  for (const char *option : {"--lis-places", "--show-place"})
    {
      ToolRun run = run_tool ({option});
      g_assert_cmpint (run.status, ==, 255);
      g_assert_cmpstr (run.out.c_str (), ==, "");
      g_assert_nonnull (strstr (run.err.c_str (), option));
    }

  g_autofree gchar *missing = g_build_filename (g_get_home_dir (), "missing", nullptr);
  g_autoptr (GSubprocessLauncher) launcher = g_subprocess_launcher_new (pipes);
  g_subprocess_launcher_setenv (launcher, "HOME", missing, TRUE);
  g_autoptr (GError) error = nullptr;
  g_autoptr (GSubprocess) process = g_subprocess_launcher_spawnv (launcher, tool_argv ({"--list-places"}).data (), &error);
  g_assert_no_error (error);
  ToolRun run = finish (process);
  g_assert_cmpint (run.status, ==, 255);
  g_assert_cmpstr (run.out.c_str (), ==, "");
  g_assert_true (run.err.ends_with ("\nCould not open the place database\n"));
}

static void
test_tool_broadcast (Fixture *, gconstpointer)
{
  LodexStore *store = lodex_test_store_new ();
  {
    LodexTestRecorder added (store, "place-added");
    lodex_test_settle (); /* our subscription is in place before the tool runs */
    std::string id = add ({"-a", "--name", "Told", "--latitude", "60.17", "--longitude", "24.95"});
    lodex_test_wait ([&] { return added.saw (id.c_str ()); });

    g_autoptr (LodexPlace) place = lodex_store_get_place_by_id (store, id.c_str ());
    g_assert_nonnull (place);
    g_autofree gchar *name = nullptr;
    g_object_get (place, "name", &name, nullptr);
    g_assert_cmpstr (name, ==, "Told");
  }
  lodex_test_settle ();
  g_assert_finalize_object (store);
}

static void
test_tool_categories (Fixture *, gconstpointer)
{
  std::string tower = add ({"-a", "--name", "Tower", "--latitude", "51.5", "--longitude", "-0.07"});
  std::string bridge = add ({"-a", "--name", "Bridge", "--latitude", "51.5055", "--longitude", "-0.0754"});

  assert_run (run_tool ({"--add-category"}), 255, "", "Name must be supplied for category\n");
  ToolRun made = run_tool ({"--add-category", "--name", "Castles", "--description", "Old walls"});
  const std::string prefix = "Category with id '", suffix = "' added\n";
  g_assert_true (made.out.starts_with (prefix) && made.out.ends_with (suffix));
  std::string castles = made.out.substr (prefix.size (), made.out.size () - prefix.size () - suffix.size ());
  assert_run (run_tool ({"--update-category", castles.c_str (), "--name", "Strongholds"}), 0, "", "");
  assert_run (run_tool ({"--update-category", "nope", "--name", "x"}), 255, "", "No category with id 'nope' found\n");
  assert_run (run_tool ({"--list-categories"}), 0, castles + " Strongholds Old walls\n", "");

  std::string pair = tower + ":" + castles;
  assert_run (run_tool ({"--add-to-category", pair.c_str ()}), 0, "Place added to category\n", "");
  assert_run (run_tool ({"--add-to-category", tower.c_str ()}), 255, "",
              "Must supply both a place id and a category id\n");
  std::string bridge_pair = bridge + ":" + castles;
  /* both given: the pair of the removal is added, then removed */
  assert_run (run_tool ({"--add-to-category", pair.c_str (), "--remove-from-category", bridge_pair.c_str ()}), 0,
              "Place added to category\nPlace removed from category\n", "");
  assert_run (run_tool ({"--category-filter", castles.c_str ()}), 0,
              tower + " Tower Lat: 51.500000 Long: -0.070000\n", "");
  assert_run (run_tool ({"--category-filter", "nope"}), 255, "", "Category with id 'nope' not found");

  /* a removal goes on to the listing */
  std::string other = run_tool ({"--add-category", "--name", "Bridges"}).out;
  std::string bridges = other.substr (prefix.size (), other.size () - prefix.size () - suffix.size ());
  assert_run (run_tool ({"--remove-category", castles.c_str (), "--list-categories"}), 0,
              "Category with id '" + castles + "'\n" + bridges + " Bridges\n", "");
  assert_run (run_tool ({"--remove-category", castles.c_str ()}), 255, "",
              "No category with id '" + castles + "' found\n");
}

static void
test_tool_location_filter (Fixture *, gconstpointer)
{
  std::string low = add ({"-a", "--name", "Low", "--latitude", "10", "--longitude", "20", "--altitude", "5"});
  std::string high = add ({"-a", "--name", "High", "--latitude", "10.5", "--longitude", "20.5", "--altitude", "3000"});
  std::string flat = add ({"-a", "--name", "Flat", "--latitude", "11", "--longitude", "21"});
  add ({"-a", "--name", "Far", "--latitude", "-40", "--longitude", "170"});

  std::string low_line = low + " Low Lat: 10.000000 Long: 20.000000 Alt: 5.000000\n";
  std::string high_line = high + " High Lat: 10.500000 Long: 20.500000 Alt: 3000.000000\n";
  std::string flat_line = flat + " Flat Lat: 11.000000 Long: 21.000000\n";
  ToolRun box = run_tool ({"--location-filter", "9:12:19:22"});
  g_assert_cmpint (box.status, ==, 0);
  g_assert_true (sorted_lines (box.out) == sorted_lines (low_line + high_line + flat_line));
  /* with altitudes: a place without one is always in */
  ToolRun band = run_tool ({"--location-filter", "9:12:19:22:0:100"});
  g_assert_cmpint (band.status, ==, 0);
  g_assert_true (sorted_lines (band.out) == sorted_lines (low_line + flat_line));

  assert_run (run_tool ({"--location-filter", "1:2:3"}), 255, "", "Incorrect number of parameters supplied.\n");
  assert_run (run_tool ({"--location-filter", "9:12:west:22"}), 255, "",
              "Invalid value 'west' for --location-filter: a number such as 51.5 is expected\n");
}

static void
test_tool_search (Fixture *, gconstpointer)
{
  std::string central = add ({"-a", "--name", "Café Central", "--latitude", "47.37", "--longitude", "8.54"});
  std::string station = add ({"-a", "--name", "Zürich HB", "--latitude", "47.378", "--longitude", "8.54"});
  std::string paris = add ({"-a", "--name", "Cafe de Paris", "--latitude", "48.86", "--longitude", "2.35"});
  std::string made = run_tool ({"--add-category", "--name", "Paris"}).out;
  std::string category = made.substr (strlen ("Category with id '"), made.find ("' added") - strlen ("Category with id '"));
  std::string pair = paris + ":" + category;
  g_assert_cmpint (run_tool ({"--add-to-category", pair.c_str ()}).status, ==, 0);

  /* nearest first within the radius, each with its distance */
  assert_run (run_tool ({"--near", "47.37:8.54:5000"}), 0,
              central + " Café Central Lat: 47.370000 Long: 8.540000 Dist: 0.0 m\n" + station
                + " Zürich HB Lat: 47.378000 Long: 8.540000 Dist: 889.6 m\n",
              "");
  assert_run (run_tool ({"--search", "CAFE", "--sort", "name", "--limit", "1"}), 0,
              central + " Café Central Lat: 47.370000 Long: 8.540000\n", "");
  assert_run (run_tool ({"--search", "cafe", "--category-filter", category.c_str (), "--count"}), 0, "1\n", "");
  assert_run (run_tool ({"--search", "zur*", "--location-filter", "47:48:8:9", "--near", "0:0", "--count"}), 0, "1\n", "");

  assert_run (run_tool ({"--near", "47:8:-5"}), 255, "",
              "Invalid value '-5' for --near: the radius must be a positive number of metres\n");
  assert_run (run_tool ({"--near", "47:8:far"}), 255, "", "Invalid value 'far' for --near: a number such as 51.5 is expected\n");
  assert_run (run_tool ({"--near", "47"}), 255, "",
              "Invalid value '47' for --near: <latitude>:<longitude>[:<metres>] is expected\n");
  assert_run (run_tool ({"--search", "cafe", "--limit", "2.5"}), 255, "",
              "Invalid value '2.5' for --limit: a whole number such as 10 is expected\n");
  assert_run (run_tool ({"--sort", "date"}), 255, "", "Invalid value 'date' for --sort: the only order is 'name'\n");
}

static void
test_tool_files (Fixture *, gconstpointer)
{
  add ({"-a", "--name", "Kept", "--latitude", "1", "--longitude", "2"});
  g_autofree gchar *gpx = g_build_filename (g_get_home_dir (), "places.gpx", nullptr);
  g_autofree gchar *missing = g_build_filename (g_get_home_dir (), "missing.lmx", nullptr);
  g_autofree gchar *nowhere = g_build_filename (g_get_home_dir (), "no-such-dir", "places.lmx", nullptr);

  /* in one run: the export, then the import, each with its own error */
  ToolRun run = run_tool ({"--export", gpx, "--import", missing});
  g_assert_cmpint (run.status, ==, 255);
  g_assert_true (run.err.starts_with ("Error importing: "));
  g_assert_true (g_file_test (gpx, G_FILE_TEST_IS_REGULAR));
  run = run_tool ({"--export", nowhere, "--import", gpx});
  g_assert_cmpint (run.status, ==, 255);
  g_assert_true (run.err.starts_with ("Error exporting: "));
  g_assert_null (strstr (run.err.c_str (), "Error importing"));
}

static void sql (const char *text);

/* @count places written straight into the database: far faster than the
 * tool, and nothing to announce. */
static void
add_places (int count)
{
  g_assert_finalize_object (lodex_test_store_new ()); /* the tables */
  g_autofree gchar *insert = g_strdup_printf (
    "WITH RECURSIVE n (i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM n WHERE i + 1 < %d) "
    "INSERT INTO places (id, latitude, longitude, name, ctime) SELECT 'bulk-' || i, 60 + i / 10000.0, "
    "24 + i / 10000.0, printf ('Place %%05d with a name of some length', i), 0 FROM n",
    count);
  sql (insert);
}

static void
sql (const char *text)
{
  g_autofree gchar *path = lodex_test_db_path ();
  sqlite3 *db;
  g_assert_cmpint (sqlite3_open (path, &db), ==, SQLITE_OK);
  g_assert_cmpint (sqlite3_exec (db, text, nullptr, nullptr, nullptr), ==, SQLITE_OK);
  sqlite3_close (db);
}

static std::vector<std::string>
files_in (const char *dir)
{
  std::vector<std::string> names;
  g_autoptr (GDir) listing = g_dir_open (dir, 0, nullptr);
  while (const char *name = g_dir_read_name (listing))
    names.push_back (name);
  std::sort (names.begin (), names.end ());
  return names;
}

/* A disk that is full after @bytes, for the tool alone. */
static void
small_disk (gpointer bytes)
{
  struct rlimit limit = {GPOINTER_TO_SIZE (bytes), GPOINTER_TO_SIZE (bytes)};
  setrlimit (RLIMIT_FSIZE, &limit);
  signal (SIGXFSZ, SIG_IGN); /* a write past it fails with EFBIG */
}

/* A failed export leaves the file it would replace as it was, and nothing
 * beside it: on a full disk, and with a place no format can hold. */
static void
test_tool_export_failures (Fixture *, gconstpointer)
{
  add_places (400);
  g_autofree gchar *dir = g_build_filename (g_get_home_dir (), "out", nullptr);
  g_assert_cmpint (g_mkdir (dir, 0700), ==, 0);
  for (const char *name : {"old.gpx", "old.lmx"})
    {
      g_autofree gchar *target = g_build_filename (dir, name, nullptr);
      g_assert_true (g_file_set_contents (target, "the old file\n", -1, nullptr));

      g_autoptr (GSubprocessLauncher) launcher = g_subprocess_launcher_new (pipes);
      g_subprocess_launcher_setenv (launcher, "HOME", g_get_home_dir (), TRUE);
      /* room for SQLite's shared memory file (32 KiB), not for the export */
      g_subprocess_launcher_set_child_setup (launcher, small_disk, GSIZE_TO_POINTER (48 * 1024), nullptr);
      g_autoptr (GSubprocess) process = g_subprocess_launcher_spawnv (launcher, tool_argv ({"--export", target}).data (),
                                                                      nullptr);
      ToolRun full = finish (process);
      g_autofree gchar *too_large = g_strdup_printf ("Error exporting: Failed to write %s: File too large\n", target);
      assert_run (full, 255, "", too_large);

      g_autofree gchar *contents = nullptr;
      g_assert_true (g_file_get_contents (target, &contents, nullptr, nullptr));
      g_assert_cmpstr (contents, ==, "the old file\n");
      g_assert_true (files_in (dir) == std::vector<std::string>{name});
      g_assert_cmpint (g_unlink (target), ==, 0);
    }

  /* another program wrote a latitude no file can carry */
  sql ("UPDATE places SET latitude = 9e999 WHERE rowid = 200");
  for (const char *name : {"old.gpx", "old.lmx"})
    {
      g_autofree gchar *target = g_build_filename (dir, name, nullptr);
      g_assert_true (g_file_set_contents (target, "the old file\n", -1, nullptr));
      ToolRun run = run_tool ({"--export", target});
      g_assert_cmpint (run.status, ==, 255);
      g_assert_true (run.err.starts_with ("Error exporting: "));
      g_assert_nonnull (strstr (run.err.c_str (), "has no valid position"));
      g_autofree gchar *contents = nullptr;
      g_assert_true (g_file_get_contents (target, &contents, nullptr, nullptr));
      g_assert_cmpstr (contents, ==, "the old file\n");
      g_assert_true (files_in (dir) == std::vector<std::string>{name});
      g_assert_cmpint (g_unlink (target), ==, 0);
    }
}

/* Overwrites a page of the places table with garbage, as a disk fault
 * would: the one at @fraction of the table's leaves. */
static void
damage_places (double fraction)
{
  g_autofree gchar *path = lodex_test_db_path ();
  sqlite3 *db;
  g_assert_cmpint (sqlite3_open (path, &db), ==, SQLITE_OK);
  sqlite3_stmt *statement;
  g_assert_cmpint (sqlite3_prepare_v2 (db,
                                       "SELECT pageno, (SELECT page_size FROM pragma_page_size) FROM dbstat "
                                       "WHERE name = 'places' AND pagetype = 'leaf' ORDER BY pageno",
                                       -1, &statement, nullptr),
                   ==, SQLITE_OK);
  std::vector<gint64> leaves;
  gint64 page_size = 0;
  while (sqlite3_step (statement) == SQLITE_ROW)
    {
      leaves.push_back (sqlite3_column_int64 (statement, 0));
      page_size = sqlite3_column_int64 (statement, 1);
    }
  sqlite3_finalize (statement);
  sqlite3_close (db);
  g_assert_cmpuint (leaves.size (), >, 10);
  g_autofree gchar *wal = g_strconcat (path, "-wal", nullptr);
  g_assert_false (g_file_test (wal, G_FILE_TEST_EXISTS)); /* all of it is in the file */

  FILE *file = fopen (path, "r+b");
  g_assert_nonnull (file);
  std::string garbage (page_size, '\xa5');
  gint64 page = leaves[MIN (gsize (leaves.size () * fraction), leaves.size () - 1)];
  g_assert_cmpint (fseek (file, (page - 1) * page_size, SEEK_SET), ==, 0);
  g_assert_cmpuint (fwrite (garbage.data (), 1, garbage.size (), file), ==, garbage.size ());
  g_assert_cmpint (fclose (file), ==, 0);
}

/* A database with one page of its places overwritten: a listing or an
 * export that cannot read to the end fails, and says why. */
static void
test_tool_damaged_database (Fixture *, gconstpointer)
{
  add_places (3000);
  damage_places (0.5);

  ToolRun list = run_tool ({"--list-places"});
  g_assert_cmpint (list.status, ==, 255);
  g_assert_nonnull (strstr (list.err.c_str (), "Error when retrieving row: database disk image is malformed"));
  g_assert_cmpuint (sorted_lines (list.out).size (), <, 3000);

  g_autofree gchar *target = g_build_filename (g_get_home_dir (), "places.gpx", nullptr);
  g_assert_true (g_file_set_contents (target, "the old file\n", -1, nullptr));
  assert_run (run_tool ({"--export", target}), 255, "",
              "Error exporting: Error when retrieving row: database disk image is malformed\n");
  g_autofree gchar *contents = nullptr;
  g_assert_true (g_file_get_contents (target, &contents, nullptr, nullptr));
  g_assert_cmpstr (contents, ==, "the old file\n");
}

/* With the database locked for longer than the wait: one wait, a failure,
 * and nothing written later, once the lock is gone. */
static void
test_tool_update_locked (Fixture *, gconstpointer)
{
  std::string id = add ({"-a", "--name", "Before", "--latitude", "1", "--longitude", "2"});
  g_autofree gchar *path = lodex_test_db_path ();
  sqlite3 *lock;
  g_assert_cmpint (sqlite3_open (path, &lock), ==, SQLITE_OK);
  g_assert_cmpint (sqlite3_exec (lock, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), ==, SQLITE_OK);

  gint64 start = g_get_monotonic_time ();
  g_autoptr (GSubprocess) process
    = lodex_test_spawn (pipes, tool_argv ({"--update-place", id.c_str (), "--name", "After"}).data ());
  ToolRun run = finish (process);
  double seconds = (g_get_monotonic_time () - start) / double (G_USEC_PER_SEC);
  g_assert_cmpint (run.status, ==, 255);
  g_assert_nonnull (strstr (run.err.c_str (), "Error whilst updating place"));
  g_test_message ("the tool gave up after %.1f s", seconds);
  g_assert_cmpfloat (seconds, <, 15.0); /* one wait of ten seconds, not two */

  g_assert_cmpint (sqlite3_exec (lock, "COMMIT", nullptr, nullptr, nullptr), ==, SQLITE_OK);
  sqlite3_close (lock);
  ToolRun list = run_tool ({"--list-places"});
  assert_run (list, 0, id + " Before Lat: 1.000000 Long: 2.000000\n", "");
}

/* Standard output that fails: a full disk is an error; a reader that went
 * ends the tool at once and quietly, as it ends ls: it does not read on
 * to a damaged page at the end of the table. A line end in a name stays in
 * its line. */
static void
test_tool_output_errors (Fixture *, gconstpointer)
{
  std::string id = add ({"-a", "--name", "two\nlines\x1b", "--latitude", "1", "--longitude", "2"});
  assert_run (run_tool ({"--list-places"}), 0, id + " two\\nlines\\x1b Lat: 1.000000 Long: 2.000000\n", "");

  add_places (3000); /* more than a pipe holds */
  if (g_file_test ("/dev/full", G_FILE_TEST_EXISTS))
    {
      g_autoptr (GSubprocessLauncher) launcher = g_subprocess_launcher_new (G_SUBPROCESS_FLAGS_STDERR_PIPE);
      g_subprocess_launcher_setenv (launcher, "HOME", g_get_home_dir (), TRUE);
      g_subprocess_launcher_set_stdout_file_path (launcher, "/dev/full");
      g_autoptr (GSubprocess) full = g_subprocess_launcher_spawnv (launcher, tool_argv ({"--list-places"}).data (),
                                                                   nullptr);
      g_autofree gchar *full_err = nullptr;
      g_assert_true (g_subprocess_communicate_utf8 (full, nullptr, nullptr, nullptr, &full_err, nullptr));
      g_assert_cmpint (g_subprocess_get_exit_status (full), ==, 255);
      g_assert_cmpstr (full_err, ==, "Error writing to standard output: No space left on device\n");
    }

  damage_places (1.0);
  g_autoptr (GSubprocess) process = lodex_test_spawn (pipes, tool_argv ({"--list-places"}).data ());
  g_autoptr (GDataInputStream) lines = g_data_input_stream_new (g_subprocess_get_stdout_pipe (process));
  g_autofree gchar *first = g_data_input_stream_read_line (lines, nullptr, nullptr, nullptr);
  g_assert_nonnull (first);
  g_assert_true (g_input_stream_close (G_INPUT_STREAM (lines), nullptr, nullptr));
  char err[256];
  gsize err_length = 0;
  g_assert_true (g_input_stream_read_all (g_subprocess_get_stderr_pipe (process), err, sizeof err - 1, &err_length,
                                          nullptr, nullptr));
  err[err_length] = '\0';
  g_assert_cmpstr (err, ==, "");
  g_assert_true (g_subprocess_wait (process, nullptr, nullptr));
  g_assert_true (g_subprocess_get_if_signaled (process));
  g_assert_cmpint (g_subprocess_get_term_sig (process), ==, SIGPIPE);
}

/* An import killed half-way leaves nothing: it is one transaction, and
 * its part written so far never counts. */
static void
test_tool_import_killed (Fixture *, gconstpointer)
{
  g_autofree gchar *path = g_build_filename (g_get_home_dir (), "many.gpx", nullptr);
  FILE *file = fopen (path, "w");
  g_assert_nonnull (file);
  fputs ("<gpx xmlns='http://www.topografix.com/GPX/1/1' version='1.1' creator='t'>\n", file);
  for (int i = 0; i < 200000; i++)
    fprintf (file, "<wpt lat='%d.%04d' lon='3'><name>place %d</name><desc>one of many</desc></wpt>\n", i / 10000,
             i % 10000, i);
  fputs ("</gpx>\n", file);
  g_assert_cmpint (fclose (file), ==, 0);
  add ({"-a", "--name", "Before", "--latitude", "1", "--longitude", "2"});

  /* killed once it has written a good part: the log of the database grows */
  g_autoptr (GSubprocess) process = lodex_test_spawn (G_SUBPROCESS_FLAGS_NONE, tool_argv ({"--import", path}).data ());
  g_autofree gchar *wal = g_build_filename (g_get_home_dir (), ".lodex.db-wal", nullptr);
  bool done = false;
  g_subprocess_wait_async (
    process, nullptr, [] (GObject *, GAsyncResult *, gpointer done) { *static_cast<bool *> (done) = true; }, &done);
  GStatBuf st;
  while (!done && !(g_stat (wal, &st) == 0 && st.st_size > 4 * 1024 * 1024))
    {
      g_main_context_iteration (nullptr, FALSE);
      g_usleep (5000);
    }
  g_assert_false (done); /* still importing */
  g_subprocess_force_exit (process);
  g_assert_true (g_subprocess_wait (process, nullptr, nullptr));

  ToolRun list = run_tool ({"--list-places"});
  g_assert_cmpint (list.status, ==, 0);
  g_assert_cmpuint (sorted_lines (list.out).size (), ==, 2); /* "Before", and the empty last line */
}

/* A newcomer's session, through the tool only: places, a category, a box,
 * export to LMX and to GPX, and each imported into a fresh home. */
static std::vector<std::string>
places_without_ids (const std::string &listing)
{
  std::vector<std::string> lines;
  for (const std::string &line : sorted_lines (listing))
    lines.push_back (line.substr (line.find (' ') + 1));
  std::sort (lines.begin (), lines.end ());
  return lines;
}

static ToolRun
run_tool_in (const char *home, std::initializer_list<const char *> args)
{
  g_autoptr (GSubprocessLauncher) launcher = g_subprocess_launcher_new (pipes);
  g_subprocess_launcher_setenv (launcher, "HOME", home, TRUE);
  g_autoptr (GSubprocess) process = g_subprocess_launcher_spawnv (launcher, tool_argv (args).data (), nullptr);
  g_assert_nonnull (process);
  return finish (process);
}

static void
test_tool_session (Fixture *, gconstpointer)
{
  std::string tower = add ({"-a", "--name", "Tower of London", "--latitude", "51.5081", "--longitude", "-0.0759",
                            "--altitude", "13", "--street", "Tower Hill"});
  add ({"-a", "--name", "Zürich HB", "--latitude", "47.3779", "--longitude", "8.5403"});
  add ({"-a", "--name", "Tokyo Tower", "--latitude", "35.6586", "--longitude", "139.7454"});
  std::string made = run_tool ({"--add-category", "--name", "Sights"}).out;
  std::string sights = made.substr (strlen ("Category with id '"), made.find ("' added") - strlen ("Category with id '"));
  std::string pair = tower + ":" + sights;
  g_assert_cmpint (run_tool ({"--add-to-category", pair.c_str ()}).status, ==, 0);
  ToolRun box = run_tool ({"--location-filter", "40:60:-10:10"});
  g_assert_cmpuint (sorted_lines (box.out).size (), ==, 3); /* two places, and the empty last line */

  std::string listing = run_tool ({"--list-places"}).out;
  for (const char *name : {"places.lmx", "places.gpx"})
    {
      g_autofree gchar *file = g_build_filename (g_get_home_dir (), name, nullptr);
      assert_run (run_tool ({"--export", file}), 0, "", "");
      g_autofree gchar *home = g_strconcat (file, ".home", nullptr);
      g_assert_cmpint (g_mkdir_with_parents (home, 0700), ==, 0);
      assert_run (run_tool_in (home, {"--import", file}), 0, "3 added, 0 updated, 0 skipped\n", "");
      std::string imported = run_tool_in (home, {"--list-places"}).out;
      g_assert_true (places_without_ids (imported) == places_without_ids (listing));
      /* the same places again: known, by id or by name and position */
      assert_run (run_tool_in (home, {"--import", file}), 0, "0 added, 0 updated, 3 skipped\n", "");
      assert_run (run_tool_in (home, {"--import", file, "--duplicates", "update", "--into-category", "Trip"}), 0,
                  "0 added, 3 updated, 0 skipped\n", "");
      g_assert_nonnull (strstr (run_tool_in (home, {"--list-categories"}).out.c_str (), "Trip"));
      g_assert_true (places_without_ids (run_tool_in (home, {"--list-places"}).out) == places_without_ids (listing));
    }
}

static void
test_tool_text_and_version (Fixture *, gconstpointer)
{
  /* under the C locale, as in most containers, UTF-8 arguments are taken as they are */
  g_autoptr (GSubprocessLauncher) launcher = g_subprocess_launcher_new (pipes);
  g_subprocess_launcher_setenv (launcher, "HOME", g_get_home_dir (), TRUE);
  g_subprocess_launcher_setenv (launcher, "LC_ALL", "C", TRUE);
  g_autoptr (GSubprocess) c_locale = g_subprocess_launcher_spawnv (
    launcher, tool_argv ({"-a", "--name", "Zürich", "--latitude", "47.37", "--longitude", "8.54"}).data (), nullptr);
  ToolRun run = finish (c_locale);
  g_assert_cmpstr (run.err.c_str (), ==, "");
  g_assert_cmpint (run.status, ==, 0);
  g_assert_nonnull (strstr (run_tool ({"--list-places"}).out.c_str (), " Zürich Lat: 47.370000"));

  assert_run (run_tool ({"-a", "--name", "Beyond", "--latitude", "90.5", "--longitude", "0"}), 255, "",
              std::string ("Invalid value '90.5' for --latitude: it must lie between -90 and 90\n") + usage_hint);
  assert_run (run_tool ({"-a", "--name", "Beyond", "--latitude", "0", "--longitude", "-181"}), 255, "",
              std::string ("Invalid value '-181' for --longitude: it must lie between -180 and 180\n") + usage_hint);
  assert_run (run_tool ({"--version"}), 0, "lodex-tool " LODEX_VERSION "\n", "");

  /* the manual page names every option of --help */
  ToolRun help = run_tool ({"--help"});
  g_autofree gchar *manual = nullptr;
  g_assert_true (g_file_get_contents (LODEX_TOOL_MANUAL, &manual, nullptr, nullptr));
  g_autoptr (GRegex) option = g_regex_new ("--([a-z-]+)", GRegexCompileFlags (0), GRegexMatchFlags (0), nullptr);
  g_autoptr (GMatchInfo) match = nullptr;
  g_regex_match (option, help.out.c_str (), GRegexMatchFlags (0), &match);
  for (; g_match_info_matches (match); g_match_info_next (match, nullptr))
    {
      g_autofree gchar *name = g_match_info_fetch (match, 1);
      g_autofree gchar *option_text = g_strdup_printf ("--%s", name);
      g_auto (GStrv) parts = g_strsplit (option_text, "-", -1);
      g_autofree gchar *troff = g_strjoinv ("\\-", parts); /* troff writes - as \- */
      if (!strstr (manual, troff))
        g_error ("the manual page lacks --%s", name);
    }
}

int
main (int argc, char **argv)
{
  /* the tool reads its arguments and writes in the locale's charset */
  g_setenv ("LC_ALL", "C.UTF-8", TRUE);
  g_test_init (&argc, &argv, G_TEST_OPTION_ISOLATE_DIRS, nullptr);

  g_test_add ("/tool/places/add-list-show", Fixture, nullptr, fixture_setup, test_tool_add_list_show, nullptr);
  g_test_add ("/tool/places/update-remove", Fixture, nullptr, fixture_setup, test_tool_update_remove, nullptr);
  g_test_add ("/tool/usage-errors", Fixture, nullptr, fixture_setup, test_tool_usage_errors, nullptr);
  g_test_add ("/tool/broadcast", Fixture, nullptr, fixture_setup, test_tool_broadcast, nullptr);
  g_test_add ("/tool/categories", Fixture, nullptr, fixture_setup, test_tool_categories, nullptr);
  g_test_add ("/tool/location-filter", Fixture, nullptr, fixture_setup, test_tool_location_filter, nullptr);
  g_test_add ("/tool/search", Fixture, nullptr, fixture_setup, test_tool_search, nullptr);
  g_test_add ("/tool/files", Fixture, nullptr, fixture_setup, test_tool_files, nullptr);
  g_test_add ("/tool/session", Fixture, nullptr, fixture_setup, test_tool_session, nullptr);
  g_test_add ("/tool/text-and-version", Fixture, nullptr, fixture_setup, test_tool_text_and_version, nullptr);
  g_test_add ("/tool/export-failures", Fixture, nullptr, fixture_setup, test_tool_export_failures, nullptr);
  g_test_add ("/tool/damaged-database", Fixture, nullptr, fixture_setup, test_tool_damaged_database, nullptr);
  g_test_add ("/tool/update-locked", Fixture, nullptr, fixture_setup, test_tool_update_locked, nullptr);
  g_test_add ("/tool/output-errors", Fixture, nullptr, fixture_setup, test_tool_output_errors, nullptr);
  g_test_add ("/tool/import-killed", Fixture, nullptr, fixture_setup, test_tool_import_killed, nullptr);
  return lodex_test_run_with_bus ();
}
