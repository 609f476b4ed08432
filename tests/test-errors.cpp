/* Errors a program can read: each kind of failure through the forms that
 * take a GError, which log nothing (any warning is fatal here), and calls
 * from a thread that does not own the store. */

#include "lodex-test-utils.h"

/* A connection of another program's to the test's database. */
static sqlite3 *
open_foreign (void)
{
  g_autofree gchar *path = lodex_test_db_path ();
  sqlite3 *db = nullptr;
  g_assert_cmpint (sqlite3_open (path, &db), ==, SQLITE_OK);
  return db;
}

static void
exec (sqlite3 *db, const char *sql)
{
  char *message = nullptr;
  int res = sqlite3_exec (db, sql, nullptr, nullptr, &message);
  g_assert_cmpstr (message, ==, nullptr);
  g_assert_cmpint (res, ==, SQLITE_OK);
}

static void
test_errors_kinds (StoreFixture *f, gconstpointer)
{
  g_autoptr (GError) error = nullptr;
  g_autoptr (LodexPlace) place = lodex_place_new ("Mill", 52.2, 0.1);
  g_autoptr (LodexCategory) category = lodex_category_new ("Mills", nullptr);

  /* not stored: nothing to remove, nothing of that id */
  g_assert_false (lodex_store_remove_place_full (f->store, place, &error));
  g_assert_error (error, LODEX_ERROR, LODEX_ERROR_NOT_STORED);
  g_clear_error (&error);
  g_assert_null (lodex_store_get_category_by_id_full (f->store, "no such id", &error));
  g_assert_error (error, LODEX_ERROR, LODEX_ERROR_NOT_STORED);
  g_clear_error (&error);

  /* exists: stored twice, a member twice (the database's own constraint) */
  g_assert_true (lodex_store_add_place_full (f->store, place, &error));
  g_assert_no_error (error);
  g_assert_false (lodex_store_add_place_full (f->store, place, &error));
  g_assert_error (error, LODEX_ERROR, LODEX_ERROR_EXISTS);
  g_clear_error (&error);
  g_assert_true (lodex_store_add_category_full (f->store, category, &error));
  g_assert_true (lodex_category_add_place_full (category, place, &error));
  g_assert_false (lodex_category_add_place_full (category, place, &error));
  g_assert_error (error, LODEX_ERROR, LODEX_ERROR_EXISTS);
  g_clear_error (&error);

  /* busy: another program holds the write lock for longer than we wait */
  sqlite3 *foreign = open_foreign ();
  _lodex_db_set_busy_timeout (50);
  exec (foreign, "BEGIN EXCLUSIVE");
  g_object_set (place, "name", "Windmill", nullptr);
  g_assert_false (lodex_place_commit_full (place, &error));
  g_assert_error (error, LODEX_ERROR, LODEX_ERROR_BUSY);
  g_clear_error (&error);
  g_autoptr (LodexPlace) waiting = lodex_place_new ("Weir", 52.3, 0.1);
  g_autoptr (LodexPlace) loose = lodex_place_new ("Ford", 52.4, 0.1);
  g_assert_false (lodex_store_add_place_full (f->store, waiting, &error));
  g_assert_error (error, LODEX_ERROR, LODEX_ERROR_BUSY);
  g_clear_error (&error);
  g_assert_false (lodex_place_has_id (waiting));
  exec (foreign, "COMMIT");
  _lodex_db_set_busy_timeout (10 * 1000);
  g_assert_true (lodex_place_commit_full (place, &error)); /* the change stayed pending */

  /* the database refuses: nothing of the place is written */
  exec (foreign, "CREATE TRIGGER refuse BEFORE INSERT ON places BEGIN SELECT RAISE (ABORT, 'refused here'); END");
  g_assert_false (lodex_store_add_place_full (f->store, waiting, &error));
  g_assert_error (error, LODEX_ERROR, LODEX_ERROR_DATABASE);
  g_assert_nonnull (strstr (error->message, "refused here"));
  g_clear_error (&error);
  g_assert_false (lodex_place_has_id (waiting));
  exec (foreign, "DROP TRIGGER refuse");

  /* a handler's own failure, during an operation that succeeds, is logged
   * as it always was */
  struct Handler
  {
    LodexStore *store;
    LodexPlace *loose;
  } handler{f->store, loose};
  g_signal_connect_swapped (waiting, "added", G_CALLBACK (+[] (Handler *h) {
                              lodex_store_remove_place (h->store, h->loose);
                            }),
                            &handler);
  g_test_expect_message ("Lodex", G_LOG_LEVEL_WARNING, "Place is not associated with the database");
  g_assert_true (lodex_store_add_place_full (f->store, waiting, &error));
  g_assert_no_error (error);
  g_test_assert_expected_messages ();
  g_signal_handlers_disconnect_by_data (waiting, &handler);

  /* not stored any more: another program removed the place meanwhile */
  g_autofree gchar *sql = g_strdup_printf ("DELETE FROM places WHERE id = '%s'", _lodex_place_get_row (place)->id);
  exec (foreign, sql);
  g_object_set (place, "name", "Ruin", nullptr);
  g_assert_false (lodex_place_commit_full (place, &error));
  g_assert_error (error, LODEX_ERROR, LODEX_ERROR_NOT_STORED);
  g_clear_error (&error);
  g_assert_false (lodex_category_remove_place_full (category, loose, &error));
  g_assert_error (error, LODEX_ERROR, LODEX_ERROR_NOT_STORED);
  g_clear_error (&error);
  lodex_place_discard_changes (place);
  sqlite3_close (foreign);
}

/* A file that is not a place database is refused, and left as it was; a
 * picture that is gone is the file's error. */
static void
test_errors_damaged (void)
{
  g_autoptr (LodexImage) image = lodex_image_new ("gone", "/nonexistent/picture.png");
  g_autoptr (GError) missing = nullptr;
  g_assert_null (lodex_image_get_pixbuf_full (image, &missing));
  g_assert_error (missing, G_FILE_ERROR, G_FILE_ERROR_NOENT);

  g_autofree gchar *path = lodex_test_db_path ();
  static const char garbage[] = "not a database, but somebody's notes, kept whole";
  g_assert_true (g_file_set_contents (path, garbage, -1, nullptr));

  g_autoptr (GError) error = nullptr;
  g_assert_null (lodex_store_get_system_full (&error));
  g_assert_error (error, LODEX_ERROR, LODEX_ERROR_DATABASE);

  g_autofree gchar *kept = nullptr;
  g_assert_true (g_file_get_contents (path, &kept, nullptr, nullptr));
  g_assert_cmpstr (kept, ==, garbage);
}

struct Foreign
{
  LodexStore *store;
  LodexPlace *place;
  LodexPlace *stored;
};

static gpointer
call_from_elsewhere (gpointer data)
{
  auto foreign = static_cast<Foreign *> (data);
  gboolean added = lodex_store_add_place (foreign->store, foreign->place);
  LodexPlace *first = lodex_set_first (LODEX_SET (foreign->store));
  g_object_set (foreign->stored, "name", "Renamed elsewhere", nullptr);
  return GINT_TO_POINTER (added || first);
}

static void
test_errors_thread (void)
{
  if (g_test_subprocess ())
    {
      /* the criticals are what the parent reads */
      g_log_set_always_fatal (GLogLevelFlags (G_LOG_FATAL_MASK));
      g_autoptr (LodexStore) store = lodex_test_store_new ();
      g_autoptr (LodexPlace) stored = lodex_place_new ("Here", 1, 2);
      g_assert_true (lodex_store_add_place (store, stored));
      g_autoptr (LodexPlace) place = lodex_place_new ("Elsewhere", 1, 2);
      Foreign foreign{store, place, stored};
      GThread *thread = g_thread_new ("elsewhere", call_from_elsewhere, &foreign);
      g_assert_false (GPOINTER_TO_INT (g_thread_join (thread)));
      g_assert_false (lodex_place_has_id (place));
      g_assert_cmpstr (_lodex_place_get_row (stored)->name, ==, "Here");
      g_assert_true (lodex_store_add_place (store, place)); /* its own thread still may */
      lodex_test_settle ();
      return;
    }
  g_test_trap_subprocess (nullptr, 0, G_TEST_SUBPROCESS_DEFAULT);
  g_test_trap_assert_passed ();
  g_test_trap_assert_stderr ("*lodex_store_add_place: called from a thread that does not own the store*"
                             "*lodex_set_first: called from a thread that does not own the store*"
                             "*lodex_place_set_property: called from a thread that does not own the store*");
}

/* One store per thread: a worker's own store writes a changed place back
 * from the worker's own main context. */
static gpointer
work_alone (gpointer)
{
  g_autoptr (GMainContext) context = g_main_context_new ();
  g_main_context_push_thread_default (context);
  LodexStore *store = lodex_test_store_new ();
  g_autoptr (GError) error = nullptr;
  LodexPlace *place = lodex_place_new ("Pier", 50.82, -0.14);
  g_assert_true (lodex_store_add_place_full (store, place, &error));
  LodexRoute *route = lodex_route_new ("Promenade", nullptr);
  g_assert_true (lodex_store_add_route_full (store, route, &error));
  g_object_set (place, "name", "West Pier", nullptr);
  g_object_set (route, "name", "Seafront", nullptr);
  const gint64 deadline = g_get_monotonic_time () + 5 * G_USEC_PER_SEC;
  while ((_lodex_place_is_dirty (place) || _lodex_route_get_changed (route)) && g_get_monotonic_time () < deadline)
    g_main_context_iteration (context, FALSE);
  gboolean written = !_lodex_place_is_dirty (place) && !_lodex_route_get_changed (route);
  g_object_unref (route);
  g_object_unref (place);
  g_assert_finalize_object (store);
  g_main_context_pop_thread_default (context);
  return GINT_TO_POINTER (written);
}

static void
test_errors_store_per_thread (void)
{
  g_assert_true (GPOINTER_TO_INT (g_thread_join (g_thread_new ("alone", work_alone, nullptr))));
  g_autoptr (LodexStore) store = lodex_test_store_new ();
  g_autoptr (LodexSet) walk = LODEX_SET (g_object_ref (store));
  g_autoptr (LodexPlace) first = lodex_set_first (walk);
  g_assert_nonnull (first);
  g_autofree gchar *name = nullptr;
  g_object_get (first, "name", &name, nullptr);
  g_assert_cmpstr (name, ==, "West Pier");
  g_clear_object (&first);
  lodex_test_settle ();
}

int
main (int argc, char **argv)
{
  g_test_init (&argc, &argv, G_TEST_OPTION_ISOLATE_DIRS, nullptr);

  LODEX_TEST_ADD ("/errors/kinds", test_errors_kinds);
  g_test_add_func ("/errors/damaged", test_errors_damaged);
  g_test_add_func ("/errors/thread", test_errors_thread);
  g_test_add_func ("/errors/store-per-thread", test_errors_store_per_thread);

  return lodex_test_run_with_bus ();
}
