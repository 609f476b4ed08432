/* Several programs on one database and one bus: no change is lost, no
 * failure is reported as success, and a store never reads stale data. Each
 * other program is a process of its own. */

#include "lodex-test-utils.h"

#include <gio/gunixsocketaddress.h>
#include <glib/gstdio.h>
#include <string>
#include <vector>
#include <sys/stat.h>
#include <csignal>

static LodexPlace *
add_place (LodexStore *store, const char *name, double latitude = 1, double longitude = 2)
{
  LodexPlace *place = lodex_place_new (name, latitude, longitude);
  g_assert_true (lodex_store_add_place (store, place));
  return place;
}

static const char *
id_of (LodexPlace *place)
{
  return _lodex_place_get_row (place)->id;
}

/* Runs the peer program to its end; returns its exit status. */
static int
run_peer (std::initializer_list<const char *> args)
{
  std::vector<const char *> argv{LODEX_TEST_PEER};
  argv.insert (argv.end (), args);
  argv.push_back (nullptr);
  g_autoptr (GSubprocess) peer = lodex_test_spawn (G_SUBPROCESS_FLAGS_NONE, argv.data ());
  g_assert_true (g_subprocess_wait (peer, nullptr, nullptr));
  g_assert_true (g_subprocess_get_if_exited (peer));
  return g_subprocess_get_exit_status (peer);
}

/* A text column of the place @id, read on a connection of its own. */
static std::string
stored_text (const char *sql, const char *id)
{
  g_autofree gchar *path = lodex_test_db_path ();
  sqlite3 *db = nullptr;
  g_assert_cmpint (sqlite3_open (path, &db), ==, SQLITE_OK);
  sqlite3_stmt *statement = nullptr;
  g_assert_cmpint (sqlite3_prepare_v2 (db, sql, -1, &statement, nullptr), ==, SQLITE_OK);
  sqlite3_bind_text (statement, 1, id, -1, SQLITE_TRANSIENT);
  std::string text = "(none)";
  if (sqlite3_step (statement) == SQLITE_ROW)
    text = sqlite3_column_text (statement, 0) ? reinterpret_cast<const char *> (sqlite3_column_text (statement, 0))
                                              : "(null)";
  sqlite3_finalize (statement);
  sqlite3_close (db);
  return text;
}

static void
assert_stored (const char *sql, const char *id, const char *expected)
{
  std::string text = stored_text (sql, id);
  g_assert_cmpstr (text.c_str (), ==, expected);
}

static void
count_changed (guint *count)
{
  (*count)++;
}

/* A walk left open must not freeze the store's own view or block writes. */
static void
test_open_walk (StoreFixture *f, gconstpointer)
{
  _lodex_db_set_busy_timeout (300); /* a blocked write fails fast */
  g_autoptr (LodexPlace) held = add_place (f->store, "held");
  g_object_unref (add_place (f->store, "other"));
  g_autoptr (LodexPlace) first = lodex_set_first (LODEX_SET (f->store)); /* and no further */
  g_assert_nonnull (first);

  guint changed = 0;
  g_signal_connect_swapped (held, "changed", G_CALLBACK (count_changed), &changed);
  LodexTestRecorder added (f->store, "place-added");
  g_assert_cmpint (run_peer ({"set", id_of (held), "name", "renamed elsewhere"}), ==, 0);
  g_assert_cmpint (run_peer ({"add", "1"}), ==, 0);
  lodex_test_wait ([&] { return changed > 0 && added.count > 0; });

  g_assert_cmpstr (_lodex_place_get_row (held)->name, ==, "renamed elsewhere");
  g_autoptr (LodexPlace) fetched = lodex_store_get_place_by_id (f->store, static_cast<char *> (added.ids->pdata[0]));
  g_assert_nonnull (fetched);
  g_object_set (held, "name", "renamed here", nullptr);
  g_assert_true (lodex_place_commit (held));
  _lodex_db_set_busy_timeout (10 * 1000);
}

/* Two programs change different properties of one place at about the same
 * time: both changes survive. For one property, the later commit wins. */
static void
test_lost_update (StoreFixture *f, gconstpointer)
{
  g_autoptr (LodexPlace) place = add_place (f->store, "start");
  guint changed = 0;
  g_signal_connect_swapped (place, "changed", G_CALLBACK (count_changed), &changed);
  lodex_test_settle ();

  /* ours is pending when the other program's notice arrives */
  g_object_set (place, "name", "name from A", "city", "Turku", nullptr);
  g_assert_cmpint (run_peer ({"set", id_of (place), "description", "description from B"}), ==, 0);
  lodex_test_wait ([&] { return changed > 0; });
  lodex_test_settle ();
  const char *by_id = "SELECT name || ' / ' || description FROM places WHERE id = ?";
  assert_stored (by_id, id_of (place), "name from A / description from B");
  g_assert_cmpstr (_lodex_place_get_row (place)->description, ==, "description from B");

  g_object_set (place, "name", "A again", nullptr);
  g_assert_cmpint (run_peer ({"set", id_of (place), "name", "B again"}), ==, 0);
  g_assert_cmpint (run_peer ({"set", id_of (place), "city", "Espoo"}), ==, 0);
  lodex_test_wait ([&] { return changed > 2; });
  lodex_test_settle ();
  assert_stored (by_id, id_of (place), "A again / description from B");
  assert_stored ("SELECT city FROM places_address WHERE place_id = ?", id_of (place), "Espoo");
}

/* A write the database refuses is neither announced nor forgotten. */
static void
test_refused_write (StoreFixture *f, gconstpointer)
{
  g_autoptr (LodexPlace) place = add_place (f->store, "before");
  LodexStore *other = lodex_test_store_new ();
  LodexTestRecorder updated (other, "place-updated");
  lodex_test_settle ();

  sqlite3 *db = _lodex_set_get_db (LODEX_SET (f->store));
  g_assert_cmpint (sqlite3_exec (db, "PRAGMA query_only=1", nullptr, nullptr, nullptr), ==, SQLITE_OK);
  g_object_set (place, "name", "after", nullptr);
  g_test_expect_message ("Lodex", G_LOG_LEVEL_WARNING, "Problem executing statement: *");
  g_assert_false (lodex_place_commit (place));
  g_test_assert_expected_messages ();
  g_assert_true (_lodex_place_is_dirty (place));
  lodex_test_settle ();
  g_assert_cmpuint (updated.count, ==, 0);
  g_assert_cmpstr (_lodex_place_get_row (place)->name, ==, "after");

  g_assert_cmpint (sqlite3_exec (db, "PRAGMA query_only=0", nullptr, nullptr, nullptr), ==, SQLITE_OK);
  g_assert_true (lodex_place_commit (place));
  assert_stored ("SELECT name FROM places WHERE id = ?", id_of (place), "after");
  lodex_test_settle ();
  g_assert_cmpuint (updated.count, ==, 1);
  g_assert_finalize_object (other);

  /* the tool says so too */
  g_assert_cmpint (sqlite3_exec (db, "CREATE TRIGGER refuse BEFORE UPDATE ON places BEGIN SELECT RAISE(ABORT, 'no'); END",
                                 nullptr, nullptr, nullptr),
                   ==, SQLITE_OK);
  const char *argv[] = {LODEX_TEST_TOOL, "--update-place", id_of (place), "--name", "by the tool", nullptr};
  g_autoptr (GSubprocess) tool = lodex_test_spawn (G_SUBPROCESS_FLAGS_STDERR_PIPE, argv);
  g_autofree gchar *err = nullptr;
  g_assert_true (g_subprocess_communicate_utf8 (tool, nullptr, nullptr, nullptr, &err, nullptr));
  g_assert_cmpint (g_subprocess_get_exit_status (tool), ==, 255);
  g_assert_nonnull (strstr (err, "Error whilst updating place"));
}

/* Programs that exit without releasing their store: every broadcast of
 * theirs still reaches the bus. */
static void
test_broadcasts_of_exiting_programs (StoreFixture *f, gconstpointer)
{
  LodexTestRecorder added (f->store, "place-added");
  const char *argv[] = {LODEX_TEST_PEER, "add", "700", nullptr};
  GSubprocess *peers[3];
  for (GSubprocess *&peer : peers)
    peer = lodex_test_spawn (G_SUBPROCESS_FLAGS_NONE, argv);
  for (GSubprocess *peer : peers)
    {
      g_assert_true (g_subprocess_wait_check (peer, nullptr, nullptr));
      g_object_unref (peer);
    }
  lodex_test_wait ([&] { return added.count == 3 * 700; });
}

/* A session bus that accepts connections and never answers (a stopped
 * daemon) costs a bounded wait, then the store works without the bus. */
static void
test_silent_bus (void)
{
  g_autofree gchar *dir = g_dir_make_tmp ("silent-bus-XXXXXX", nullptr);
  g_autofree gchar *path = g_build_filename (dir, "bus", nullptr);
  g_autoptr (GSocket) socket = g_socket_new (G_SOCKET_FAMILY_UNIX, G_SOCKET_TYPE_STREAM, G_SOCKET_PROTOCOL_DEFAULT,
                                             nullptr);
  g_autoptr (GSocketAddress) address = g_unix_socket_address_new (path);
  g_assert_true (g_socket_bind (socket, address, TRUE, nullptr));
  g_assert_true (g_socket_listen (socket, nullptr)); /* and never accepts */

  g_autoptr (GSubprocessLauncher) launcher = g_subprocess_launcher_new (
    GSubprocessFlags (G_SUBPROCESS_FLAGS_STDOUT_PIPE | G_SUBPROCESS_FLAGS_STDERR_PIPE));
  g_subprocess_launcher_setenv (launcher, "HOME", g_get_home_dir (), TRUE);
  g_autofree gchar *bus = g_strdup_printf ("unix:path=%s", path);
  g_subprocess_launcher_setenv (launcher, "DBUS_SESSION_BUS_ADDRESS", bus, TRUE);
  g_autoptr (GSubprocess) peer = g_subprocess_launcher_spawn (launcher, nullptr, LODEX_TEST_PEER, "open", nullptr);
  g_assert_nonnull (peer);
  bool done = false;
  g_subprocess_wait_async (
    peer, nullptr, [] (GObject *, GAsyncResult *, gpointer done) { *static_cast<bool *> (done) = true; }, &done);
  lodex_test_wait ([&] { return done; });

  g_autofree gchar *out = nullptr;
  g_autofree gchar *err = nullptr;
  g_assert_true (g_subprocess_communicate_utf8 (peer, nullptr, nullptr, &out, &err, nullptr));
  g_assert_cmpint (g_subprocess_get_exit_status (peer), ==, 0);
  g_assert_true (g_str_has_prefix (out, "opened in "));
  g_assert_nonnull (strstr (err, "Failed to connect to the bus"));
  g_unlink (path);
  g_rmdir (dir);
}

/* A bus that stops answering once a writer is connected costs the writer
 * a few seconds at exit, once, with one warning. */
static void
test_stopped_bus (void)
{
  g_autoptr (GSubprocess) daemon = g_subprocess_new (G_SUBPROCESS_FLAGS_STDOUT_PIPE, nullptr, "dbus-daemon",
                                                     "--session", "--nofork", "--print-address=1", nullptr);
  g_assert_nonnull (daemon);
  g_autoptr (GDataInputStream) from_daemon = g_data_input_stream_new (g_subprocess_get_stdout_pipe (daemon));
  g_autofree gchar *address = g_data_input_stream_read_line_utf8 (from_daemon, nullptr, nullptr, nullptr);
  g_assert_nonnull (address);

  g_autoptr (GSubprocessLauncher) launcher = g_subprocess_launcher_new (
    GSubprocessFlags (G_SUBPROCESS_FLAGS_STDIN_PIPE | G_SUBPROCESS_FLAGS_STDOUT_PIPE | G_SUBPROCESS_FLAGS_STDERR_PIPE));
  g_subprocess_launcher_setenv (launcher, "HOME", g_get_home_dir (), TRUE);
  g_subprocess_launcher_setenv (launcher, "DBUS_SESSION_BUS_ADDRESS", address, TRUE);
  g_autoptr (GSubprocess) peer = g_subprocess_launcher_spawn (launcher, nullptr, LODEX_TEST_PEER, "add-on-cue", nullptr);
  g_autoptr (GDataInputStream) from_peer = g_data_input_stream_new (g_subprocess_get_stdout_pipe (peer));
  g_autofree gchar *connected = g_data_input_stream_read_line_utf8 (from_peer, nullptr, nullptr, nullptr);
  g_assert_cmpstr (connected, ==, "connected");

  kill (atoi (g_subprocess_get_identifier (daemon)), SIGSTOP);
  gint64 start = g_get_monotonic_time ();
  g_autofree gchar *err = nullptr;
  g_assert_true (g_subprocess_communicate_utf8 (peer, "go\n", nullptr, nullptr, &err, nullptr));
  gint64 took_ms = (g_get_monotonic_time () - start) / 1000;
  kill (atoi (g_subprocess_get_identifier (daemon)), SIGCONT);
  g_subprocess_force_exit (daemon);
  g_subprocess_wait (daemon, nullptr, nullptr);

  g_assert_cmpint (g_subprocess_get_exit_status (peer), ==, 0);
  g_assert_cmpint (took_ms, <, 8000);
  const char *warning = "did not confirm";
  const char *first = strstr (err, warning);
  g_assert_nonnull (first);
  g_assert_null (strstr (first + 1, warning));
}

/* A place is stored with its address and links, or not at all. */
static void
test_add_is_atomic (StoreFixture *f, gconstpointer)
{
  sqlite3 *db = _lodex_set_get_db (LODEX_SET (f->store));
  g_assert_cmpint (sqlite3_exec (db,
                                 "CREATE TEMP TRIGGER refuse BEFORE INSERT ON places_links "
                                 "BEGIN SELECT RAISE(ABORT, 'refused'); END",
                                 nullptr, nullptr, nullptr),
                   ==, SQLITE_OK);
  g_autoptr (LodexPlace) place = lodex_place_new ("all or nothing", 1, 2);
  g_object_set (place, "street", "High Street", nullptr);
  g_autoptr (LodexPlaceLink) link = lodex_place_link_new ();
  link->url = g_strdup ("https://example.org/");
  g_assert_true (lodex_place_add_link (place, link));

  g_test_expect_message ("Lodex", G_LOG_LEVEL_WARNING, "Problem executing statement: refused");
  g_assert_false (lodex_store_add_place (f->store, place));
  g_test_assert_expected_messages ();
  g_assert_false (lodex_place_has_id (place));
  assert_stored ("SELECT count(*) FROM places WHERE ? IS NOT NULL", "", "0");
  assert_stored ("SELECT count(*) FROM places_address WHERE ? IS NOT NULL", "", "0");
}

/* Ids stay unique when another program has taken the next one (a program
 * in a sandbox with the same process ids, in the same second). */
static void
test_id_collision (StoreFixture *f, gconstpointer)
{
  g_autofree gchar *probe = _lodex_store_gen_id (f->store);
  int pid, ppid;
  unsigned counter;
  gint64 seconds;
  g_assert_cmpint (sscanf (probe, "%d.%d.%u@%" G_GINT64_FORMAT, &pid, &ppid, &counter, &seconds), ==, 4);
  g_assert_cmpuint (counter, >, 1000); /* a random start, not 0 */
  sqlite3 *db = _lodex_set_get_db (LODEX_SET (f->store));
  for (gint64 s = seconds; s <= seconds + 1; s++)
    {
      g_autofree gchar *taken = g_strdup_printf ("INSERT INTO places (id, latitude, longitude, ctime) "
                                                 "VALUES ('%d.%d.%u@%" G_GINT64_FORMAT "', 0, 0, 0)",
                                                 pid, ppid, counter + 1, s);
      g_assert_cmpint (sqlite3_exec (db, taken, nullptr, nullptr, nullptr), ==, SQLITE_OK);
    }
  g_test_expect_message ("Lodex", G_LOG_LEVEL_WARNING, "Problem executing statement: UNIQUE constraint failed: places.id");
  g_object_unref (add_place (f->store, "after a collision"));
  g_test_assert_expected_messages ();
}

/* A category filter around a distance sort walks in distance order. */
static void
test_sort_inside_filter (StoreFixture *f, gconstpointer)
{
  g_autoptr (LodexCategory) category = lodex_category_new ("near", nullptr);
  g_assert_true (lodex_store_add_category (f->store, category));
  for (int i : {7, 2, 9, 4, 1, 8, 3, 6, 5})
    {
      g_autofree gchar *name = g_strdup_printf ("%d", i);
      g_autoptr (LodexPlace) place = add_place (f->store, name, 0, i);
      g_assert_true (lodex_category_add_place (category, place));
    }
  g_autoptr (LodexLocationSort) sort = lodex_location_sort_new (LODEX_SET (f->store));
  g_autoptr (LodexCategoryFilter) filter = lodex_category_filter_new (LODEX_SET (sort));
  g_object_set (filter, "category", category, nullptr);

  std::string names;
  for (LodexPlace *place = lodex_set_first (LODEX_SET (filter)); place; place = lodex_set_next (LODEX_SET (filter)))
    {
      names += _lodex_place_get_row (place)->name;
      g_object_unref (place);
    }
  g_assert_cmpstr (names.c_str (), ==, "123456789");
}

/* Once another program removed a place, writes through a stale object of
 * it create no rows. */
static void
test_removed_elsewhere (StoreFixture *f, gconstpointer)
{
  g_autoptr (LodexPlace) place = add_place (f->store, "doomed");
  g_autoptr (LodexCategory) category = lodex_category_new ("kept", nullptr);
  g_assert_true (lodex_store_add_category (f->store, category));
  g_autofree gchar *id = g_strdup (id_of (place));
  g_assert_cmpint (run_peer ({"remove", id}), ==, 0);

  g_autofree gchar *refusal = g_strdup_printf ("Place %s is not in the database any more", id);
  g_test_expect_message ("Lodex", G_LOG_LEVEL_WARNING, refusal);
  g_assert_false (lodex_place_set_appdata (place, "key", "value"));
  g_test_expect_message ("Lodex", G_LOG_LEVEL_WARNING, refusal);
  g_assert_false (lodex_category_add_place (category, place));
  g_test_expect_message ("Lodex", G_LOG_LEVEL_WARNING, refusal);
  g_object_set (place, "street", "Nowhere", nullptr);
  g_assert_false (lodex_place_commit (place));
  g_test_assert_expected_messages ();
  const char *orphans = "SELECT (SELECT count(*) FROM places_appdata WHERE place_id = ?1)"
                        " + (SELECT count(*) FROM p2c WHERE place_id = ?1)"
                        " + (SELECT count(*) FROM places_address WHERE place_id = ?1)";
  assert_stored (orphans, id, "0");
  lodex_test_wait ([&] {
    g_autoptr (LodexPlace) live = _lodex_store_query_table (f->store, id);
    return live == nullptr;
  });
}

/* A file that is not a place database gives no store; a new database is
 * its owner's alone, an existing one keeps its mode. */
static void
test_database_file (void)
{
  g_autofree gchar *path = lodex_test_db_path ();
  g_assert_true (g_file_set_contents (path, "not a database, just text long enough to have a header....", -1, nullptr));
  g_test_expect_message ("Lodex", G_LOG_LEVEL_WARNING, "Problem when importing schema (prepare): *");
  g_test_expect_message ("Lodex", G_LOG_LEVEL_WARNING, "Creating database tables failed");
  g_assert_null (_lodex_store_get_from_file (path, LODEX_TEST_SCHEMA));
  g_test_assert_expected_messages ();

  g_unlink (path);
  sqlite3 *foreign = nullptr;
  g_assert_cmpint (sqlite3_open (path, &foreign), ==, SQLITE_OK);
  g_assert_cmpint (sqlite3_exec (foreign, "CREATE TABLE routes (id TEXT, payload BLOB)", nullptr, nullptr, nullptr), ==,
                   SQLITE_OK);
  sqlite3_close (foreign);
  g_test_expect_message ("Lodex", G_LOG_LEVEL_WARNING, "The table routes of the database is not the one*");
  g_test_expect_message ("Lodex", G_LOG_LEVEL_WARNING, "Creating database tables failed");
  g_assert_null (_lodex_store_get_from_file (path, LODEX_TEST_SCHEMA));
  g_test_assert_expected_messages ();
  const char *list[] = {LODEX_TEST_TOOL, "--list-places", nullptr};
  g_autoptr (GSubprocess) tool = lodex_test_spawn (G_SUBPROCESS_FLAGS_STDERR_SILENCE, list);
  g_assert_true (g_subprocess_wait (tool, nullptr, nullptr));
  g_assert_cmpint (g_subprocess_get_exit_status (tool), ==, 255);

  GStatBuf st;
  g_unlink (path);
  g_assert_finalize_object (lodex_test_store_new ());
  g_assert_cmpint (g_stat (path, &st), ==, 0);
  g_assert_cmpint (st.st_mode & 0777, ==, 0600);
  g_assert_cmpint (g_chmod (path, 0644), ==, 0);
  g_assert_finalize_object (lodex_test_store_new ());
  g_assert_cmpint (g_stat (path, &st), ==, 0);
  g_assert_cmpint (st.st_mode & 0777, ==, 0644);
}

int
main (int argc, char **argv)
{
  g_test_init (&argc, &argv, G_TEST_OPTION_ISOLATE_DIRS, nullptr);

  LODEX_TEST_ADD ("/consistency/open-walk", test_open_walk);
  LODEX_TEST_ADD ("/consistency/lost-update", test_lost_update);
  LODEX_TEST_ADD ("/consistency/refused-write", test_refused_write);
  LODEX_TEST_ADD ("/consistency/broadcasts-of-exiting-programs", test_broadcasts_of_exiting_programs);
  g_test_add_func ("/consistency/silent-bus", test_silent_bus);
  g_test_add_func ("/consistency/stopped-bus", test_stopped_bus);
  LODEX_TEST_ADD ("/consistency/add-is-atomic", test_add_is_atomic);
  LODEX_TEST_ADD ("/consistency/id-collision", test_id_collision);
  LODEX_TEST_ADD ("/consistency/sort-inside-filter", test_sort_inside_filter);
  LODEX_TEST_ADD ("/consistency/removed-elsewhere", test_removed_elsewhere);
  g_test_add_func ("/consistency/database-file", test_database_file);

  return lodex_test_run_with_bus ();
}
