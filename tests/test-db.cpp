/* The database layer: schema loading, the generic statement functions and
 * the rows of places and their data. */

#include "lodex-test-utils.h"

struct Fixture
{
  sqlite3 *db;
  gchar *dir;
};

static void
fixture_setup (Fixture *f, gconstpointer)
{
  g_autofree gchar *path = lodex_test_db_path ();
  f->db = lodex_db_open (path);
  g_assert_nonnull (f->db);
  g_assert_true (lodex_db_create_tables (f->db, LODEX_TEST_SCHEMA));
  f->dir = g_strdup (g_get_home_dir ());
}

static void
fixture_teardown (Fixture *f, gconstpointer)
{
  /* fails while any statement is left unfinalized */
  g_assert_cmpint (lodex_db_close (f->db), ==, SQLITE_OK);
  g_free (f->dir);
}

static gchar *
write_schema (Fixture *f, const char *text)
{
  gchar *path = g_build_filename (f->dir, "schema", nullptr);
  g_assert_true (g_file_set_contents (path, text, -1, nullptr));
  return path;
}

static GStrv
columns_of (sqlite3 *db, const char *table)
{
  g_autofree gchar *sql = g_strdup_printf ("SELECT * FROM %s", table);
  sqlite3_stmt *statement = nullptr;
  g_assert_cmpint (sqlite3_prepare_v2 (db, sql, -1, &statement, nullptr), ==, SQLITE_OK);
  g_autoptr (GStrvBuilder) names = g_strv_builder_new ();
  for (int i = 0; i < sqlite3_column_count (statement); i++)
    g_strv_builder_add (names, sqlite3_column_name (statement, i));
  sqlite3_finalize (statement);
  return g_strv_builder_end (names);
}

static void
test_db_schema_columns (Fixture *f, gconstpointer)
{
  /* readers index these by position */
  const struct
  {
    const char *table;
    const char *columns;
  } expected[] = {
    {"places", "id latitude longitude altitude name icon haccuracy vaccuracy comment description coverage presence ctime"},
    {"places_links", "link_id place_id name mime url"},
    {"places_address", "place_id country country_code state county city district postcode crossing1 "
                       "crossing2 street building_name building_zone building_floor building_room "
                       "extension phone_number"},
    {"places_appdata", "place_id key data"},
    {"categories", "id name description"},
    {"p2c", "place_id category_id"},
    {"images", "id description filename"},
    {"p2i", "place_id image_id"},
    {"routes", "id name comment description type"},
    {"r2p", "place_id route_id"},
    {"waypoints", "id route_id name desc sym type order_weight latitude longitude altitude segment_end ctime"},
  };
  for (const auto &e : expected)
    {
      g_auto (GStrv) names = columns_of (f->db, e.table);
      g_autofree gchar *joined = g_strjoinv (" ", names);
      g_assert_cmpstr (joined, ==, e.columns);
    }

  /* every statement runs again on an existing database */
  g_assert_true (lodex_db_create_tables (f->db, LODEX_TEST_SCHEMA));
}

static void
test_db_schema_failures (Fixture *f, gconstpointer)
{
  g_autofree gchar *empty = write_schema (f, "");
  g_test_expect_message ("Lodex", G_LOG_LEVEL_CRITICAL, "lodex_db_create_tables: assertion 'length != 0' failed");
  g_assert_false (lodex_db_create_tables (f->db, empty));
  g_test_assert_expected_messages ();

  g_autofree gchar *blank = write_schema (f, "  \n-- nothing here\n/* at all */\n");
  g_assert_true (lodex_db_create_tables (f->db, blank));

  g_autofree gchar *query = write_schema (f, "CREATE TABLE IF NOT EXISTS t (x); SELECT 1; CREATE TABLE u (y);");
  g_test_expect_message ("Lodex", G_LOG_LEVEL_WARNING, "Problem when importing schema (step): *");
  g_assert_false (lodex_db_create_tables (f->db, query));
  g_test_assert_expected_messages ();

  g_autofree gchar *bad = write_schema (f, "CREATE TABLE IF NOT EXISTS v (z); CREATE TABL oops;");
  g_test_expect_message ("Lodex", G_LOG_LEVEL_WARNING, "Problem when importing schema (prepare): *syntax error*");
  g_assert_false (lodex_db_create_tables (f->db, bad));
  g_test_assert_expected_messages ();

  /* the statements before a failure stay applied */
  g_auto (GStrv) t = columns_of (f->db, "t");
  g_auto (GStrv) v = columns_of (f->db, "v");
  g_assert_cmpstr (t[0], ==, "x");
  g_assert_cmpstr (v[0], ==, "z");

  g_test_expect_message ("Lodex", G_LOG_LEVEL_WARNING, "Error opening the schema file: *");
  g_assert_false (lodex_db_create_tables (f->db, "/nonexistent/schema"));
  g_test_assert_expected_messages ();
}

static void
test_db_generic (Fixture *f, gconstpointer)
{
  g_assert_true (_lodex_db_exec_and_free (f->db, sqlite3_mprintf ("CREATE TABLE g (a, b); "
                                                                  "INSERT INTO g VALUES (%Q, NULL); "
                                                                  "INSERT INTO g VALUES (NULL, 'x');",
                                                                  "it's")));

  g_test_expect_message ("Lodex", G_LOG_LEVEL_WARNING, "Problem whilst binding statement: column index out of range");
  g_assert_null (lodex_db_generic_prepare_and_bind (f->db, "SELECT a FROM g WHERE a=:a", ":b", "x", nullptr));
  g_test_assert_expected_messages ();

  g_test_expect_message ("Lodex", G_LOG_LEVEL_WARNING, "Problem preparing sql statement: *");
  g_assert_null (lodex_db_generic_prepare_and_bind (f->db, "SELECT nothing FROM nowhere", nullptr));
  g_test_assert_expected_messages ();

  /* a NULL value binds NULL; it does not end the list */
  sqlite3_stmt *statement = lodex_db_generic_prepare_and_bind (
    f->db, "SELECT count(*) FROM g WHERE :none IS NULL AND a=:a", ":none", nullptr, ":a", "it's", nullptr);
  g_assert_nonnull (statement);
  g_autofree gchar *count = nullptr;
  g_assert_true (lodex_db_generic_fetch (f->db, statement, 0, &count, -1));
  g_assert_cmpstr (count, ==, "1");
  g_assert_true (lodex_db_generic_reset_and_finalize (f->db, statement));

  /* a list that begins with -1 copies nothing */
  statement = lodex_db_generic_prepare_and_bind (f->db, "SELECT a, b FROM g", nullptr);
  g_assert_true (lodex_db_generic_fetch (f->db, statement, -1, nullptr));
  gchar *a = nullptr, *b = (gchar *) "untouched";
  g_assert_true (lodex_db_generic_fetch (f->db, statement, 1, &b, 0, &a, -1));
  g_assert_null (a);
  g_assert_cmpstr (b, ==, "x");
  g_free (b);
  g_assert_false (lodex_db_generic_fetch (f->db, statement, 0, &a, -1)); /* finalized at the end */

  /* an id iterator that meets a NULL id ends the walk and releases the statement */
  statement = lodex_db_generic_prepare_and_bind (f->db, "SELECT a FROM g ORDER BY a IS NULL DESC", nullptr);
  g_assert_null (lodex_db_get_next_id (f->db, statement));

  statement = lodex_db_generic_prepare_and_bind (f->db, "SELECT a FROM g WHERE 0", nullptr);
  g_assert_null (lodex_db_get_next_id (f->db, statement));

  statement = lodex_db_generic_prepare_and_bind (f->db, "INSERT INTO g VALUES (1, 1)", nullptr);
  g_assert_true (lodex_db_generic_exec (f->db, statement));
  statement = lodex_db_generic_prepare_and_bind (f->db, "SELECT 1", nullptr);
  g_test_expect_message ("Lodex", G_LOG_LEVEL_WARNING, "Problem executing statement: another row available");
  g_assert_false (lodex_db_generic_exec (f->db, statement));
  g_test_assert_expected_messages ();

  g_test_expect_message ("Lodex", G_LOG_LEVEL_WARNING, "SQL ERROR: no such table: nowhere");
  g_assert_false (_lodex_db_exec_and_free (f->db, sqlite3_mprintf ("DELETE FROM nowhere")));
  g_test_assert_expected_messages ();
}

static LodexPlace *
place_with_row (LodexPlaceRow *row)
{
  return _lodex_place_new_with_row (row);
}

static void
test_db_place_rows (Fixture *f, gconstpointer)
{
  LodexPlaceRow *row = _lodex_place_row_new ();
  row->id = g_strdup ("row-1");
  row->latitude = -33.8568;
  row->longitude = 151.2153;
  row->fields = LODEX_PLACE_FIELD_ALTITUDE;
  row->altitude = 0.0;  /* a value, not an absence */
  row->haccuracy = 5.0; /* its bit is clear: stored as NULL */
  row->coverage = 7.0;
  row->name = g_strdup ("Opera House");
  row->comment = g_strdup ("the comment");
  row->description = g_strdup ("the description");
  row->ctime = (G_GINT64_CONSTANT (1) << 40) + 5;
  g_autoptr (LodexPlace) place = place_with_row (row);
  g_assert_true (lodex_db_insert_place (f->db, place));

  g_autoptr (LodexPlaceRow) back = lodex_db_get_row_by_id (f->db, "row-1");
  g_assert_nonnull (back);
  g_assert_cmpuint (back->fields, ==, LODEX_PLACE_FIELD_ALTITUDE);
  g_assert_cmpfloat (back->altitude, ==, 0.0);
  g_assert_cmpfloat (back->haccuracy, ==, 0.0);
  g_assert_cmpfloat (back->coverage, ==, 0.0);
  g_assert_cmpfloat (back->latitude, ==, -33.8568);
  g_assert_cmpfloat (back->longitude, ==, 151.2153);
  g_assert_cmpstr (back->name, ==, "Opera House");
  g_assert_cmpstr (back->comment, ==, "the comment");
  g_assert_cmpstr (back->description, ==, "the description");
  g_assert_null (back->icon);
  g_assert_null (back->presence);
  g_assert_cmpint (back->ctime, ==, (G_GINT64_CONSTANT (1) << 40) + 5);

  /* NULL columns where the mask says absent, whatever the doubles hold */
  sqlite3_stmt *nulls = lodex_db_generic_prepare_and_bind (
    f->db, "SELECT count(*) FROM places WHERE haccuracy IS NULL AND vaccuracy IS NULL "
           "AND coverage IS NULL AND altitude IS NOT NULL",
    nullptr);
  g_autofree gchar *count = nullptr;
  g_assert_true (lodex_db_generic_fetch (f->db, nulls, 0, &count, -1));
  g_assert_cmpstr (count, ==, "1");
  g_assert_true (lodex_db_generic_reset_and_finalize (f->db, nulls));

  /* every field through an update */
  row->fields = LODEX_PLACE_FIELD_HACCURACY | LODEX_PLACE_FIELD_VACCURACY | LODEX_PLACE_FIELD_COVERAGE;
  row->haccuracy = 1.5;
  row->vaccuracy = 2.5;
  row->coverage = 3.5;
  row->icon = g_strdup ("icon.png");
  row->presence = g_strdup ("open");
  row->ctime = -1;
  g_assert_true (lodex_db_update_place (f->db, place));
  g_autoptr (LodexPlaceRow) updated = lodex_db_get_row_by_id (f->db, "row-1");
  g_assert_cmpuint (updated->fields, ==, row->fields);
  g_assert_cmpfloat (updated->haccuracy, ==, 1.5);
  g_assert_cmpfloat (updated->vaccuracy, ==, 2.5);
  g_assert_cmpfloat (updated->coverage, ==, 3.5);
  g_assert_cmpstr (updated->icon, ==, "icon.png");
  g_assert_cmpstr (updated->presence, ==, "open");
  g_assert_cmpint (updated->ctime, ==, -1);

  /* a duplicate id is refused */
  g_test_expect_message ("Lodex", G_LOG_LEVEL_WARNING, "Problem executing statement: UNIQUE constraint failed: places.id");
  g_assert_false (lodex_db_insert_place (f->db, place));
  g_test_assert_expected_messages ();

  g_assert_null (lodex_db_get_row_by_id (f->db, "no such row"));

  g_autoptr (LodexPlace) unstored = lodex_place_new ("nowhere", 0, 0);
  g_test_expect_message ("Lodex", G_LOG_LEVEL_MESSAGE, "Place not associated with database.");
  g_assert_false (lodex_db_update_place (f->db, unstored));
  g_test_assert_expected_messages ();
  g_assert_false (lodex_db_delete_place (f->db, unstored));

  g_test_expect_message ("Lodex", G_LOG_LEVEL_CRITICAL, "lodex_db_get_row_by_id: assertion 'id != NULL' failed");
  g_assert_null (lodex_db_get_row_by_id (f->db, nullptr));
  g_test_assert_expected_messages ();

  g_assert_true (lodex_db_delete_place (f->db, place));
  g_assert_null (lodex_db_get_row_by_id (f->db, "row-1"));
}

static LodexPlaceLink *
new_link (const char *link_id, const char *place_id, const char *name)
{
  LodexPlaceLink *link = lodex_place_link_new ();
  link->link_id = g_strdup (link_id);
  link->place_id = g_strdup (place_id);
  link->name = g_strdup (name);
  link->url = g_strdup ("https://example.org/");
  return link;
}

static void
test_db_place_data (Fixture *f, gconstpointer)
{
  /* links */
  g_assert_null (lodex_db_get_place_links (f->db, "p"));
  g_autoptr (LodexPlaceLink) first = new_link ("l1", "p", "first");
  g_autoptr (LodexPlaceLink) second = new_link ("l2", "p", "second");
  g_assert_true (lodex_db_add_place_link (f->db, first));
  g_assert_true (lodex_db_add_place_link (f->db, second));
  g_free (second->name);
  second->name = g_strdup ("renamed");
  second->mime = g_strdup ("text/html");
  g_assert_true (lodex_db_update_place_link (f->db, second));
  GList *links = lodex_db_get_place_links (f->db, "p");
  g_assert_cmpuint (g_list_length (links), ==, 2);
  auto back = static_cast<LodexPlaceLink *> (g_list_nth_data (links, 1));
  g_assert_cmpstr (back->link_id, ==, "l2");
  g_assert_cmpstr (back->place_id, ==, "p");
  g_assert_cmpstr (back->name, ==, "renamed");
  g_assert_cmpstr (back->mime, ==, "text/html");
  g_assert_cmpstr (back->url, ==, "https://example.org/");
  g_list_free_full (links, GDestroyNotify (lodex_place_link_free));
  g_assert_true (lodex_db_remove_place_link (f->db, first));
  links = lodex_db_get_place_links (f->db, "p");
  g_assert_cmpuint (g_list_length (links), ==, 1);
  g_list_free_full (links, GDestroyNotify (lodex_place_link_free));

  /* address: one row per place; an update clears what the record leaves NULL */
  g_assert_null (lodex_db_place_address_get (f->db, "p"));
  g_autoptr (LodexPlaceAddress) address = _lodex_place_address_new ();
  address->country = g_strdup ("Finland");
  address->street = g_strdup ("Mannerheimintie");
  address->phone_number = g_strdup ("+358");
  g_assert_true (lodex_db_place_address_set (f->db, "p", address));
  g_clear_pointer (&address->street, g_free);
  address->city = g_strdup ("Helsinki");
  g_assert_true (lodex_db_place_address_set (f->db, "p", address));
  g_autoptr (LodexPlaceAddress) stored = lodex_db_place_address_get (f->db, "p");
  g_assert_cmpstr (stored->country, ==, "Finland");
  g_assert_cmpstr (stored->city, ==, "Helsinki");
  g_assert_null (stored->street);
  g_assert_cmpstr (stored->phone_number, ==, "+358");
  sqlite3_stmt *rows = lodex_db_generic_prepare_and_bind (f->db, "SELECT count(*) FROM places_address", nullptr);
  g_autofree gchar *count = nullptr;
  g_assert_true (lodex_db_generic_fetch (f->db, rows, 0, &count, -1));
  g_assert_true (lodex_db_generic_reset_and_finalize (f->db, rows));
  g_assert_cmpstr (count, ==, "1");
  g_assert_true (lodex_db_place_address_delete (f->db, "p"));
  g_assert_null (lodex_db_place_address_get (f->db, "p"));

  /* app data */
  g_assert_null (lodex_db_place_appdata_get (f->db, "p", "k"));
  g_assert_true (lodex_db_place_appdata_insert (f->db, "p", "k", "one"));
  g_test_expect_message ("Lodex", G_LOG_LEVEL_WARNING, "Problem executing statement: UNIQUE constraint failed: *");
  g_assert_false (lodex_db_place_appdata_insert (f->db, "p", "k", "again"));
  g_test_assert_expected_messages ();
  g_assert_true (lodex_db_place_appdata_update (f->db, "p", "k", "two"));
  g_autofree gchar *data = lodex_db_place_appdata_get (f->db, "p", "k");
  g_assert_cmpstr (data, ==, "two");
  g_assert_true (lodex_db_place_appdata_delete (f->db, "p", "k"));
  g_assert_null (lodex_db_place_appdata_get (f->db, "p", "k"));
  g_assert_true (lodex_db_place_appdata_delete (f->db, "p", "absent"));
}

static gchar *
count_rows (sqlite3 *db, const char *sql)
{
  sqlite3_stmt *statement = lodex_db_generic_prepare_and_bind (db, sql, nullptr);
  gchar *count = nullptr;
  g_assert_true (lodex_db_generic_fetch (db, statement, 0, &count, -1));
  g_assert_true (lodex_db_generic_reset_and_finalize (db, statement));
  return count;
}

static void
test_db_cascade (Fixture *f, gconstpointer)
{
  g_assert_true (_lodex_db_exec_and_free (
    f->db, sqlite3_mprintf ("INSERT INTO places (id, latitude, longitude, ctime) VALUES ('p', 1, 2, 0);"
                            "INSERT INTO places_links (link_id, place_id) VALUES ('l', 'p');"
                            "INSERT INTO places_address (place_id, city) VALUES ('p', 'c');"
                            "INSERT INTO places_appdata (place_id, key, data) VALUES ('p', 'k', 'd');"
                            "INSERT INTO p2c VALUES ('p', 'c1');"
                            "INSERT INTO p2i VALUES ('p', 'i1');"
                            "INSERT INTO r2p (place_id, route_id) VALUES ('p', 'r1');")));

  /* the same membership twice is refused, not duplicated */
  g_test_expect_message ("Lodex", G_LOG_LEVEL_WARNING, "SQL ERROR: UNIQUE constraint failed: *");
  g_assert_false (_lodex_db_exec_and_free (f->db, sqlite3_mprintf ("INSERT INTO p2c VALUES ('p', 'c1')")));
  g_test_assert_expected_messages ();

  g_autoptr (LodexPlaceRow) row = lodex_db_get_row_by_id (f->db, "p");
  g_autoptr (LodexPlace) place = _lodex_place_new_with_row (static_cast<LodexPlaceRow *> (g_steal_pointer (&row)));
  g_assert_true (lodex_db_delete_place (f->db, place));
  for (const char *table : {"places_links", "places_address", "places_appdata", "p2c", "p2i", "r2p"})
    {
      g_autofree gchar *sql = g_strdup_printf ("SELECT count(*) FROM %s", table);
      g_autofree gchar *count = count_rows (f->db, sql);
      g_assert_cmpstr (count, ==, "0");
    }
}

int
main (int argc, char **argv)
{
  g_test_init (&argc, &argv, G_TEST_OPTION_ISOLATE_DIRS, nullptr);

#define ADD(path, fn) g_test_add (path, Fixture, nullptr, fixture_setup, fn, fixture_teardown)
  ADD ("/db/schema/columns", test_db_schema_columns);
  ADD ("/db/schema/failures", test_db_schema_failures);
  ADD ("/db/generic", test_db_generic);
  ADD ("/db/place-rows", test_db_place_rows);
  ADD ("/db/place-data", test_db_place_data);
  ADD ("/db/cascade", test_db_cascade);
#undef ADD

  return g_test_run ();
}
