/* Several programs on one database and one bus: no change is lost, no
 * failure is reported as success, and a store never reads stale data. Each
 * other program is a process of its own. */

#include "lodex-test-utils.h"

#include <gio/gunixsocketaddress.h>
#include <glib/gstdio.h>
#include <string>
#include <vector>
#include <sys/stat.h>
#include <unistd.h>
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
  int res = sqlite3_step (statement);
  if (res != SQLITE_ROW && res != SQLITE_DONE)
    g_test_message ("step: %s", sqlite3_errmsg (db));
  if (res == SQLITE_ROW)
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

  /* the refused edit, its address and an optional value included, outlives
   * a reload caused by another program's change to the place */
  g_object_set (place, "city", "Turku", "altitude", 12.5, nullptr);
  g_test_expect_message ("Lodex", G_LOG_LEVEL_WARNING, "Problem executing statement: *");
  g_assert_false (lodex_place_commit (place));
  guint changed = 0;
  g_signal_connect_swapped (place, "changed", G_CALLBACK (count_changed), &changed);
  g_test_expect_message ("Lodex", G_LOG_LEVEL_WARNING, "Problem executing statement: *"); /* written first, refused */
  g_assert_cmpint (run_peer ({"set", id_of (place), "description", "from B"}), ==, 0);
  lodex_test_wait ([&] { return changed > 0; });
  g_test_assert_expected_messages ();
  g_autofree gchar *name = nullptr, *city = nullptr, *description = nullptr;
  double altitude = 0;
  guint fields = 0;
  g_object_get (place, "name", &name, "city", &city, "description", &description, "altitude", &altitude, "fields",
                &fields, nullptr);
  g_assert_cmpstr (name, ==, "after");
  g_assert_cmpstr (city, ==, "Turku");
  g_assert_cmpstr (description, ==, "from B");
  g_assert_cmpfloat (altitude, ==, 12.5);
  g_assert_cmpuint (fields & LODEX_PLACE_FIELD_ALTITUDE, !=, 0);

  /* and the next commit writes it */
  lodex_test_settle ();
  guint heard = updated.count;
  g_assert_cmpint (sqlite3_exec (db, "PRAGMA query_only=0", nullptr, nullptr, nullptr), ==, SQLITE_OK);
  g_assert_true (lodex_place_commit (place));
  assert_stored ("SELECT name || ' / ' || description || ' / ' || altitude FROM places WHERE id = ?", id_of (place),
                 "after / from B / 12.5");
  assert_stored ("SELECT city FROM places_address WHERE place_id = ?", id_of (place), "Turku");
  lodex_test_settle ();
  g_assert_cmpuint (updated.count, ==, heard + 1);
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

/* The same for a route: a refused change of its own outlives the reload
 * that another store's change causes, and goes with its next save. */
static void
test_refused_route_write (StoreFixture *f, gconstpointer)
{
  g_autoptr (LodexRoute) route = lodex_route_new ("start", nullptr);
  g_assert_true (lodex_store_add_route (f->store, route));
  const gchar *id = _lodex_route_get_id (route);
  LodexStore *other = lodex_test_store_new ();
  g_autoptr (LodexRoute) theirs = lodex_store_get_route_by_id (other, id);
  lodex_test_settle ();

  sqlite3 *db = _lodex_set_get_db (LODEX_SET (f->store));
  g_assert_cmpint (sqlite3_exec (db, "PRAGMA query_only=1", nullptr, nullptr, nullptr), ==, SQLITE_OK);
  guint changed = 0;
  g_signal_connect_swapped (route, "changed", G_CALLBACK (count_changed), &changed);
  g_object_set (route, "name", "ours", nullptr);
  g_object_set (theirs, "description", "theirs", nullptr);
  g_assert_true (_lodex_route_save_pending (theirs));
  g_test_expect_message ("Lodex", G_LOG_LEVEL_WARNING, "SQL ERROR: *");
  lodex_test_wait ([&] { return changed > 0; });
  g_test_assert_expected_messages ();
  g_assert_cmpstr (_lodex_route_get_row (route)->name, ==, "ours");
  g_assert_cmpstr (_lodex_route_get_row (route)->description, ==, "theirs");

  g_assert_cmpint (sqlite3_exec (db, "PRAGMA query_only=0", nullptr, nullptr, nullptr), ==, SQLITE_OK);
  g_object_set (route, "comment", "later", nullptr);
  lodex_test_wait ([&] { return stored_text ("SELECT name FROM routes WHERE id = ?", id) == "ours"; });
  assert_stored ("SELECT description || ' / ' || comment FROM routes WHERE id = ?", id, "theirs / later");
  g_clear_object (&theirs);
  lodex_test_settle ();
  g_assert_finalize_object (other);
}

/* A write-back writes every column changed: one that is set, and an
 * optional value that is cleared, as another store reads them. */
static void
test_every_column_written (StoreFixture *f, gconstpointer)
{
  g_autoptr (LodexPlace) place = add_place (f->store, "columns");
  g_object_set (place, "altitude", 5.0, nullptr);
  g_assert_true (lodex_place_commit (place));
  g_object_set (place, "presence", "open all year", "fields", 0u, nullptr);
  g_assert_true (lodex_place_commit (place));

  LodexStore *other = lodex_test_store_new ();
  {
    g_autoptr (LodexPlace) seen = lodex_store_get_place_by_id (other, id_of (place));
    g_autofree gchar *presence = nullptr;
    guint fields = 1;
    g_object_get (seen, "presence", &presence, "fields", &fields, nullptr);
    g_assert_cmpstr (presence, ==, "open all year");
    g_assert_cmpuint (fields, ==, 0);
  }
  g_assert_finalize_object (other);
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

/* A place is stored with its address and links, or not at all, and
 * nothing is announced of what is not stored: alone, and inside a batch
 * whose other writes go on. */
static void
test_add_is_atomic (StoreFixture *f, gconstpointer)
{
  LodexStore *other = lodex_test_store_new ();
  LodexTestRecorder added (other, "place-added"), updated (other, "place-updated");
  lodex_test_settle ();
  sqlite3 *db = _lodex_set_get_db (LODEX_SET (f->store));
  g_assert_cmpint (sqlite3_exec (db,
                                 "CREATE TEMP TRIGGER refuse BEFORE INSERT ON places_address "
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

  /* in a batch, the link refused after the address was written and its
   * notice queued: that notice goes with the rollback */
  g_assert_cmpint (sqlite3_exec (db,
                                 "DROP TRIGGER refuse; CREATE TEMP TRIGGER refuse BEFORE INSERT ON places_links "
                                 "BEGIN SELECT RAISE(ABORT, 'refused'); END",
                                 nullptr, nullptr, nullptr),
                   ==, SQLITE_OK);
  g_assert_true (_lodex_store_batch_begin (f->store));
  g_autoptr (LodexPlace) kept = add_place (f->store, "kept");
  g_test_expect_message ("Lodex", G_LOG_LEVEL_WARNING, "Problem executing statement: refused");
  g_assert_false (lodex_store_add_place (f->store, place));
  g_test_assert_expected_messages ();
  g_assert_true (_lodex_store_batch_end (f->store));

  assert_stored ("SELECT count(*) FROM places WHERE ? IS NOT NULL", "", "1");
  assert_stored ("SELECT count(*) FROM places_address WHERE ? IS NOT NULL", "", "0");
  lodex_test_settle ();
  g_assert_cmpuint (added.count, ==, 1);
  g_assert_true (added.saw (id_of (kept)));
  g_assert_cmpuint (updated.count, ==, 0);
  g_assert_finalize_object (other);
}

/* A commit that fails is reported, and what it would have announced is
 * not: an authorizer refuses the COMMIT. */
static int
refuse_commit (void *, int action, const char *what, const char *, const char *, const char *)
{
  return action == SQLITE_TRANSACTION && g_strcmp0 (what, "COMMIT") == 0 ? SQLITE_DENY : SQLITE_OK;
}

static void
test_failed_commit (StoreFixture *f, gconstpointer)
{
  g_autoptr (LodexPlace) place = add_place (f->store, "before");
  lodex_test_settle (); /* its notice heard before the other store listens */
  LodexStore *other = lodex_test_store_new ();
  LodexTestRecorder added (other, "place-added"), updated (other, "place-updated");
  lodex_test_settle ();

  sqlite3 *db = _lodex_set_get_db (LODEX_SET (f->store));
  sqlite3_set_authorizer (db, refuse_commit, nullptr);
  g_autoptr (LodexPlace) refused = lodex_place_new ("never", 3, 4);
  g_test_expect_message ("Lodex", G_LOG_LEVEL_WARNING, "Problem executing statement: not authorized");
  g_assert_false (lodex_store_add_place (f->store, refused));
  g_test_assert_expected_messages ();
  g_object_set (place, "name", "after", nullptr);
  g_test_expect_message ("Lodex", G_LOG_LEVEL_WARNING, "Problem executing statement: not authorized");
  g_assert_false (lodex_place_commit (place));
  g_test_assert_expected_messages ();
  sqlite3_set_authorizer (db, nullptr, nullptr);

  assert_stored ("SELECT group_concat (name) FROM places WHERE ? IS NOT NULL", "", "before");
  lodex_test_settle ();
  g_assert_cmpuint (added.count, ==, 0);
  g_assert_cmpuint (updated.count, ==, 0);
  lodex_place_discard_changes (place);
  g_assert_finalize_object (other);
}

/* A place added with its address in a batch is announced once, as added:
 * its address needs no update notice. */
static void
test_batch_add_with_address (StoreFixture *f, gconstpointer)
{
  LodexStore *other = lodex_test_store_new ();
  LodexTestRecorder added (other, "place-added"), updated (other, "place-updated");
  lodex_test_settle ();
  g_assert_true (_lodex_store_batch_begin (f->store));
  g_autoptr (LodexPlace) place = lodex_place_new ("with an address", 1, 2);
  g_object_set (place, "city", "Turku", nullptr);
  g_assert_true (lodex_store_add_place (f->store, place));
  g_assert_true (_lodex_store_batch_end (f->store));
  lodex_test_settle ();
  g_assert_cmpuint (added.count, ==, 1);
  g_assert_cmpuint (updated.count, ==, 0);
  g_assert_finalize_object (other);
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
  /* as many columns as ours, under other names */
  g_unlink (path);
  g_assert_cmpint (sqlite3_open (path, &foreign), ==, SQLITE_OK);
  g_assert_cmpint (sqlite3_exec (foreign, "CREATE TABLE images (key TEXT, label TEXT, path TEXT)", nullptr,
                                 nullptr, nullptr),
                   ==, SQLITE_OK);
  sqlite3_close (foreign);
  g_test_expect_message ("Lodex", G_LOG_LEVEL_WARNING, "The table images of the database is not the one*");
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

  /* a link to a file not made yet: the file made is 0600 too */
  g_unlink (path);
  g_autofree gchar *target = g_build_filename (g_get_home_dir (), "elsewhere.db", nullptr);
  g_assert_cmpint (symlink ("elsewhere.db", path), ==, 0);
  g_assert_finalize_object (lodex_test_store_new ());
  g_assert_cmpint (g_stat (target, &st), ==, 0);
  g_assert_cmpint (st.st_mode & 0777, ==, 0600);
}

int
main (int argc, char **argv)
{
  g_test_init (&argc, &argv, G_TEST_OPTION_ISOLATE_DIRS, nullptr);

  LODEX_TEST_ADD ("/consistency/open-walk", test_open_walk);
  LODEX_TEST_ADD ("/consistency/lost-update", test_lost_update);
  LODEX_TEST_ADD ("/consistency/refused-write", test_refused_write);
  LODEX_TEST_ADD ("/consistency/refused-route-write", test_refused_route_write);
  LODEX_TEST_ADD ("/consistency/every-column-written", test_every_column_written);
  LODEX_TEST_ADD ("/consistency/broadcasts-of-exiting-programs", test_broadcasts_of_exiting_programs);
  g_test_add_func ("/consistency/silent-bus", test_silent_bus);
  g_test_add_func ("/consistency/stopped-bus", test_stopped_bus);
  LODEX_TEST_ADD ("/consistency/add-is-atomic", test_add_is_atomic);
  LODEX_TEST_ADD ("/consistency/failed-commit", test_failed_commit);
  LODEX_TEST_ADD ("/consistency/batch-add-with-address", test_batch_add_with_address);
  LODEX_TEST_ADD ("/consistency/id-collision", test_id_collision);
  LODEX_TEST_ADD ("/consistency/sort-inside-filter", test_sort_inside_filter);
  LODEX_TEST_ADD ("/consistency/removed-elsewhere", test_removed_elsewhere);
  g_test_add_func ("/consistency/database-file", test_database_file);

  return lodex_test_run_with_bus ();
}
