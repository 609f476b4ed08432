/* The database's change journal: a store acts on what the journal says,
 * whoever wrote it and whatever the bus says. Other programs are processes
 * of their own. */

#include "lodex-test-utils.h"

#include <glib/gstdio.h>
#include <string>
#include <vector>

static constexpr char iface[] = "com.mirrex.lodex.dbus.Signal";

static LodexPlace *
add_place (LodexStore *store, const char *name)
{
  LodexPlace *place = lodex_place_new (name, 1, 2);
  g_assert_true (lodex_store_add_place (store, place));
  return place;
}

static const char *
id_of (LodexPlace *place)
{
  return _lodex_place_get_row (place)->id;
}

static int
run_peer (std::initializer_list<const char *> args)
{
  std::vector<const char *> argv{LODEX_TEST_PEER};
  argv.insert (argv.end (), args);
  argv.push_back (nullptr);
  g_autoptr (GSubprocess) peer = lodex_test_spawn (G_SUBPROCESS_FLAGS_NONE, argv.data ());
  g_assert_true (g_subprocess_wait (peer, nullptr, nullptr));
  return g_subprocess_get_exit_status (peer);
}

/* `gdbus emit` of one of our members, as an unrelated client. */
static void
gdbus_emit (const char *member, const char *body)
{
  g_autofree gchar *signal = g_strdup_printf ("%s.%s", iface, member);
  const char *argv[] = {"gdbus", "emit", "--session", "--object-path", "/com/mirrex/lodex/store",
                        "--signal", signal, body, nullptr};
  g_autoptr (GSubprocess) gdbus = lodex_test_spawn (G_SUBPROCESS_FLAGS_NONE, argv);
  g_assert_true (g_subprocess_wait_check (gdbus, nullptr, nullptr));
}

static std::string
stored_name (const char *id)
{
  g_autofree gchar *path = lodex_test_db_path ();
  sqlite3 *db = nullptr;
  g_assert_cmpint (sqlite3_open (path, &db), ==, SQLITE_OK);
  sqlite3_stmt *select = nullptr;
  sqlite3_prepare_v2 (db, "SELECT name FROM places WHERE id = ?", -1, &select, nullptr);
  sqlite3_bind_text (select, 1, id, -1, SQLITE_TRANSIENT);
  std::string name = sqlite3_step (select) == SQLITE_ROW ? reinterpret_cast<const char *> (sqlite3_column_text (select, 0))
                                                         : "(none)";
  sqlite3_finalize (select);
  sqlite3_close (db);
  return name;
}

/* Every "changes" of a store, as "event kind id[ place]" lines. */
struct Batches
{
  std::vector<std::string> lines;
  guint count = 0, resynced = 0;

  explicit Batches (LodexStore *store)
  {
    g_signal_connect (store, "changes", G_CALLBACK (on_changes), this);
  }

  static void
  on_changes (LodexStore *, GPtrArray *changes, gboolean resynced, Batches *self)
  {
    static const char *const events[] = {"added", "updated", "removed", "joined", "left", "waypoints"};
    static const char *const kinds[] = {"place", "category", "image", "route"};
    self->count++;
    self->resynced += resynced;
    for (guint i = 0; i < changes->len; i++)
      {
        auto change = static_cast<LodexChange *> (changes->pdata[i]);
        std::string line = std::string (events[lodex_change_get_event (change)]) + " "
                           + kinds[lodex_change_get_kind (change)] + " " + lodex_change_get_id (change);
        if (lodex_change_get_place_id (change))
          line += std::string (" ") + lodex_change_get_place_id (change);
        self->lines.push_back (line);
      }
  }

  guint
  counted (const char *prefix) const
  {
    guint n = 0;
    for (const std::string &line : lines)
      n += g_str_has_prefix (line.c_str (), prefix);
    return n;
  }
};

/* A writer killed after its commits, before any notice of them: what it
 * wrote reaches the live objects with the next notice of anybody. */
static void
test_journal_killed_writer (StoreFixture *f, gconstpointer)
{
  g_autoptr (LodexPlace) place = add_place (f->store, "before");
  lodex_test_settle ();
  LodexTestRecorder changed (place, "changed");
  LodexTestRecorder added (f->store, "place-added");

  const char *argv[] = {LODEX_TEST_PEER, "write-silently", id_of (place), "renamed by the killed", nullptr};
  g_autoptr (GSubprocess) writer = lodex_test_spawn (G_SUBPROCESS_FLAGS_STDOUT_PIPE, argv);
  g_autoptr (GDataInputStream) from_writer = g_data_input_stream_new (g_subprocess_get_stdout_pipe (writer));
  g_autofree gchar *written = g_data_input_stream_read_line_utf8 (from_writer, nullptr, nullptr, nullptr);
  g_assert_cmpstr (written, ==, "written");
  g_subprocess_force_exit (writer);
  g_assert_true (g_subprocess_wait (writer, nullptr, nullptr));
  g_assert_true (g_subprocess_get_if_signaled (writer));
  lodex_test_settle ();
  g_assert_cmpuint (changed.count, ==, 0); /* nobody rang */

  g_assert_cmpint (run_peer ({"add", "1"}), ==, 0);
  lodex_test_wait ([&] { return changed.count == 1 && added.count == 2; });
  g_assert_cmpstr (_lodex_place_get_row (place)->name, ==, "renamed by the killed");
}

/* A broadcast that names a removal the journal does not hold is a doorbell
 * like any other: nothing is removed, and an edit not written yet stays
 * and is written. */
static void
test_journal_forged_removal (StoreFixture *f, gconstpointer)
{
  g_autoptr (LodexPlace) place = add_place (f->store, "kept");
  g_autoptr (LodexCategory) category = lodex_category_new ("kept", nullptr);
  g_assert_true (lodex_store_add_category (f->store, category));
  g_autofree gchar *category_id = nullptr;
  g_object_get (category, "id", &category_id, nullptr);
  lodex_test_settle ();
  guint removed = 0;
  auto count_removed = +[] (GObject *, LodexStore *, guint *n) { (*n)++; };
  g_signal_connect (place, "removed", G_CALLBACK (count_removed), &removed);
  g_signal_connect (category, "removed", G_CALLBACK (count_removed), &removed);
  LodexTestRecorder store_place_removed (f->store, "place-removed");
  LodexTestRecorder store_category_removed (f->store, "category-removed");

  g_object_set (place, "name", "edited, not written yet", nullptr);
  g_autofree gchar *place_body = g_strdup_printf ("'%s'", id_of (place));
  g_autofree gchar *category_body = g_strdup_printf ("'%s'", category_id);
  gdbus_emit ("PlaceRemoved", place_body);
  gdbus_emit ("CategoryRemoved", category_body);
  g_usleep (100 * 1000); /* both are in before the edit's idle write can run */
  lodex_test_settle ();

  g_assert_cmpuint (removed, ==, 0);
  g_assert_cmpuint (store_place_removed.count + store_category_removed.count, ==, 0);
  g_autoptr (LodexPlace) again = lodex_store_get_place_by_id (f->store, id_of (place));
  g_autoptr (LodexCategory) category_again = lodex_store_get_category_by_id (f->store, category_id);
  g_assert_true (again == place);
  g_assert_true (category_again == category);
  g_assert_true (lodex_place_commit (place));
  std::string stored = stored_name (id_of (place));
  g_assert_cmpstr (stored.c_str (), ==, "edited, not written yet");
}

/* A row another program changed with plain SQLite: the next notice, of
 * whatever member, reloads the live object once. */
static void
test_journal_foreign_write (StoreFixture *f, gconstpointer)
{
  g_autoptr (LodexPlace) place = add_place (f->store, "mine");
  lodex_test_settle ();
  LodexTestRecorder changed (place, "changed");
  LodexTestRecorder updated (f->store, "place-updated");
  Batches batches (f->store);

  g_assert_cmpint (run_peer ({"rename-with-sql", id_of (place), "theirs"}), ==, 0);
  gdbus_emit ("RouteAdded", "'no such route'");
  lodex_test_wait ([&] { return changed.count > 0; });
  gdbus_emit ("StoreUpdated", "");
  lodex_test_settle ();
  g_assert_cmpuint (changed.count, ==, 1);
  g_assert_cmpuint (updated.count, ==, 1);
  g_assert_cmpstr (_lodex_place_get_row (place)->name, ==, "theirs");
  g_assert_cmpuint (batches.count, ==, 1);
  g_assert_cmpuint (batches.lines.size (), ==, 1);
  std::string expected = std::string ("updated place ") + id_of (place);
  g_assert_cmpstr (batches.lines[0].c_str (), ==, expected.c_str ());
}

/* An import by another program: every place is told once, and the batches
 * add up to what was stored. */
static void
test_journal_import_heard (StoreFixture *f, gconstpointer)
{
  const guint n = 10000;
  GString *gpx = g_string_new ("<?xml version=\"1.0\"?>\n<gpx version=\"1.1\" creator=\"test\" "
                               "xmlns=\"http://www.topografix.com/GPX/1/1\">\n");
  for (guint i = 0; i < n; i++)
    g_string_append_printf (gpx, "<wpt lat=\"%u.%04u\" lon=\"%u.%04u\"><name>p%u</name></wpt>\n", i % 80, i,
                            i % 170, i, i);
  g_string_append (gpx, "</gpx>\n");
  g_autofree gchar *file = g_build_filename (g_get_home_dir (), "many.gpx", nullptr);
  g_assert_true (g_file_set_contents (file, gpx->str, gpx->len, nullptr));
  g_string_free (gpx, TRUE);

  LodexTestRecorder added (f->store, "place-added");
  Batches batches (f->store);
  lodex_test_settle (); /* listening: the tool's notices are what tell it */
  const char *argv[] = {LODEX_TEST_TOOL, "--import", file, nullptr};
  g_autoptr (GSubprocess) tool = lodex_test_spawn (G_SUBPROCESS_FLAGS_STDOUT_SILENCE, argv);
  g_assert_true (g_subprocess_wait_check (tool, nullptr, nullptr));
  lodex_test_wait ([&] { return batches.counted ("added place ") >= n; });
  lodex_test_settle ();

  g_assert_cmpuint (added.count, ==, n);
  g_assert_cmpuint (batches.counted ("added place "), ==, n);
  g_assert_cmpuint (batches.lines.size (), ==, n);
  g_assert_cmpuint (batches.count, >=, 1);
  g_autoptr (GHashTable) distinct = g_hash_table_new (g_str_hash, g_str_equal);
  for (guint i = 0; i < added.ids->len; i++)
    g_hash_table_add (distinct, added.ids->pdata[i]);
  g_assert_cmpuint (g_hash_table_size (distinct), ==, n);
  g_unlink (file);
}

/* A place joins a category and leaves it: each batch names both. */
static void
test_journal_membership (StoreFixture *f, gconstpointer)
{
  g_autoptr (LodexPlace) place = add_place (f->store, "member");
  g_autoptr (LodexCategory) category = lodex_category_new ("club", nullptr);
  g_assert_true (lodex_store_add_category (f->store, category));
  g_autofree gchar *category_id = nullptr;
  g_object_get (category, "id", &category_id, nullptr);
  lodex_test_settle ();
  Batches batches (f->store);

  std::string pair = std::string (" category ") + category_id + " " + id_of (place);
  g_assert_true (lodex_category_add_place (category, place));
  lodex_test_wait ([&] { return batches.count == 1; });
  g_assert_true (lodex_category_remove_place (category, place));
  lodex_test_wait ([&] { return batches.count == 2; });
  g_assert_cmpuint (batches.lines.size (), ==, 2);
  std::string joined = "joined" + pair, left = "left" + pair;
  g_assert_cmpstr (batches.lines[0].c_str (), ==, joined.c_str ());
  g_assert_cmpstr (batches.lines[1].c_str (), ==, left.c_str ());
}

/* Rows a store never read were pruned: it reads everything anew. */
static void
test_journal_fell_behind (StoreFixture *f, gconstpointer)
{
  g_autoptr (LodexPlace) place = add_place (f->store, "before");
  lodex_test_settle ();
  LodexTestRecorder changed (place, "changed");
  LodexTestRecorder set_changed (f->store, "changed");
  Batches batches (f->store);

  g_assert_cmpint (run_peer ({"rename-and-prune", id_of (place), "after the gap"}), ==, 0);
  lodex_test_wait ([&] { return batches.count > 0; });
  g_assert_cmpuint (batches.resynced, ==, 1);
  g_assert_cmpuint (changed.count, ==, 1);
  g_assert_cmpuint (set_changed.count, ==, 1);
  g_assert_cmpstr (_lodex_place_get_row (place)->name, ==, "after the gap");
}

static gint64
query_int (sqlite3 *db, const char *sql)
{
  sqlite3_stmt *statement = nullptr;
  g_assert_cmpint (sqlite3_prepare_v2 (db, sql, -1, &statement, nullptr), ==, SQLITE_OK);
  g_assert_cmpint (sqlite3_step (statement), ==, SQLITE_ROW);
  gint64 value = sqlite3_column_int64 (statement, 0);
  sqlite3_finalize (statement);
  return value;
}

/* A database of the released version gains the journal once, its places
 * intact. */
static void
test_journal_migration (void)
{
  g_autofree gchar *path = lodex_test_db_path ();
  g_autofree gchar *old_schema_file = g_build_filename (LODEX_TEST_DATA, "database-schema-0.1", nullptr);
  g_autofree gchar *old_schema = nullptr;
  g_assert_true (g_file_get_contents (old_schema_file, &old_schema, nullptr, nullptr));
  sqlite3 *db = nullptr;
  g_assert_cmpint (sqlite3_open (path, &db), ==, SQLITE_OK);
  g_assert_cmpint (sqlite3_exec (db, old_schema, nullptr, nullptr, nullptr), ==, SQLITE_OK);
  g_assert_cmpint (sqlite3_exec (db,
                                 "PRAGMA user_version = 1;"
                                 "INSERT INTO places (id, latitude, longitude, name, ctime) VALUES ('p1', 1, 2, 'one', 5);"
                                 "INSERT INTO places (id, latitude, longitude, name, ctime) VALUES ('p2', 3, 4, 'two', 6);"
                                 "INSERT INTO places_address (place_id, city) VALUES ('p1', 'Tampere');"
                                 "INSERT INTO categories (id, name) VALUES ('c1', 'cats');"
                                 "INSERT INTO p2c (place_id, category_id) VALUES ('p1', 'c1');",
                                 nullptr, nullptr, nullptr),
                   ==, SQLITE_OK);

  LodexStore *store = lodex_test_store_new ();
  g_assert_cmpint (query_int (db, "PRAGMA user_version"), >=, 2);
  g_assert_cmpint (query_int (db, "SELECT count(*) FROM journal"), ==, 0);
  g_autoptr (LodexPlace) one = lodex_store_get_place_by_id (store, "p1");
  g_assert_nonnull (one);
  g_autofree gchar *city = nullptr;
  g_object_get (one, "city", &city, nullptr);
  g_assert_cmpstr (_lodex_place_get_row (one)->name, ==, "one");
  g_assert_cmpstr (city, ==, "Tampere");
  g_assert_cmpint (query_int (db, "SELECT count(*) FROM places"), ==, 2);
  g_assert_cmpint (query_int (db, "SELECT count(*) FROM p2c"), ==, 1);

  /* from now on every program's writes are journaled */
  g_assert_cmpint (sqlite3_exec (db, "DELETE FROM places WHERE id = 'p2'", nullptr, nullptr, nullptr), ==, SQLITE_OK);
  g_assert_cmpint (query_int (db, "SELECT count(*) FROM journal WHERE kind = 'places' AND op = 'delete' AND id = 'p2'"),
                   ==, 1);
  sqlite3_close (db);
  g_clear_object (&one);
  lodex_test_settle ();
  g_assert_finalize_object (store);
}

int
main (int argc, char **argv)
{
  g_test_init (&argc, &argv, G_TEST_OPTION_ISOLATE_DIRS, nullptr);
  LODEX_TEST_ADD ("/journal/killed-writer", test_journal_killed_writer);
  LODEX_TEST_ADD ("/journal/forged-removal", test_journal_forged_removal);
  LODEX_TEST_ADD ("/journal/foreign-write", test_journal_foreign_write);
  LODEX_TEST_ADD ("/journal/import-heard", test_journal_import_heard);
  LODEX_TEST_ADD ("/journal/membership", test_journal_membership);
  LODEX_TEST_ADD ("/journal/fell-behind", test_journal_fell_behind);
  g_test_add_func ("/journal/migration", test_journal_migration);
  return lodex_test_run_with_bus ();
}
