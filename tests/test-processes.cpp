/* Two processes, one private bus, one database. */

#include "lodex-test-utils.h"

static gchar *
read_line (GDataInputStream *from)
{
  g_autoptr (GError) error = nullptr;
  gchar *line = g_data_input_stream_read_line_utf8 (from, nullptr, nullptr, &error);
  g_assert_no_error (error);
  g_assert_nonnull (line);
  return line;
}

static void
test_processes_add_and_rename (void)
{
  LodexStore *store = lodex_test_store_new ();
  g_autoptr (GError) error = nullptr;
  const char *argv[] = {LODEX_TEST_PEER, "rename", "Renamed by B", nullptr};
  g_autoptr (GSubprocess) peer = lodex_test_spawn (G_SUBPROCESS_FLAGS_STDOUT_PIPE, argv);
  g_autoptr (GDataInputStream) from_peer = g_data_input_stream_new (g_subprocess_get_stdout_pipe (peer));

  g_autofree gchar *ready = read_line (from_peer);
  g_assert_cmpstr (ready, ==, "ready");

  /* A adds; B hears "place-added" and reads the same values */
  g_autoptr (LodexPlace) place = lodex_place_new ("Made by A", 61.4978, 23.761);
  guint changed = 0;
  g_signal_connect_swapped (place, "changed", G_CALLBACK (+[] (guint *n) { (*n)++; }), &changed);
  g_assert_true (lodex_store_add_place (store, place));
  g_autofree gchar *expected = g_strdup_printf ("added %s Made by A 61.497800 23.761000",
                                                _lodex_place_get_row (place)->id);
  g_autofree gchar *added = read_line (from_peer);
  g_assert_cmpstr (added, ==, expected);

  /* B renames; A's live object reloads and says so */
  g_autofree gchar *renamed = read_line (from_peer);
  g_assert_cmpstr (renamed, ==, "renamed");
  lodex_test_wait ([&] { return changed > 0; });
  g_autofree gchar *name = nullptr;
  g_object_get (place, "name", &name, nullptr);
  g_assert_cmpstr (name, ==, "Renamed by B");

  g_assert_true (g_subprocess_wait_check (peer, nullptr, &error));
  g_assert_no_error (error);
  g_clear_object (&place);
  lodex_test_settle ();
  g_assert_finalize_object (store);
}

/* One kind of object, changed and then removed here while another process
 * holds it. */
static void
test_processes_follow (gconstpointer data)
{
  const char *kind = static_cast<const char *> (data);
  LodexStore *store = lodex_test_store_new ();
  GObject *object;
  const char *property = "name";
  if (g_str_equal (kind, "place"))
    {
      object = G_OBJECT (lodex_place_new ("before", 1, 2));
      g_assert_true (lodex_store_add_place (store, LODEX_PLACE (object)));
    }
  else if (g_str_equal (kind, "category"))
    {
      object = G_OBJECT (lodex_category_new ("before", nullptr));
      g_assert_true (lodex_store_add_category (store, LODEX_CATEGORY (object)));
    }
  else if (g_str_equal (kind, "image"))
    {
      object = G_OBJECT (lodex_image_new ("before", nullptr));
      g_assert_true (lodex_store_add_image (store, LODEX_IMAGE (object)));
      property = "description";
    }
  else
    {
      object = G_OBJECT (lodex_route_new ("before", nullptr));
      g_assert_true (lodex_store_add_route (store, LODEX_ROUTE (object)));
    }
  g_autofree gchar *id = nullptr;
  g_object_get (object, "id", &id, nullptr);

  const char *argv[] = {LODEX_TEST_PEER, "follow", kind, id, nullptr};
  g_autoptr (GSubprocess) peer = lodex_test_spawn (G_SUBPROCESS_FLAGS_STDOUT_PIPE, argv);
  g_autoptr (GDataInputStream) from_peer = g_data_input_stream_new (g_subprocess_get_stdout_pipe (peer));
  g_autofree gchar *ready = read_line (from_peer);
  g_assert_cmpstr (ready, ==, "ready");

  /* a change: the object reloads first, then the store tells */
  g_autofree gchar *signal = g_strdup_printf ("%s-updated", kind);
  LodexTestRecorder saved (store, signal);
  g_object_set (object, property, "after", nullptr);
  if (LODEX_IS_PLACE (object))
    lodex_place_commit (LODEX_PLACE (object));
  lodex_test_wait ([&] { return saved.count > 0; }); /* a route saves when idle */
  g_autofree gchar *changed = read_line (from_peer);
  g_autofree gchar *updated = read_line (from_peer);
  g_assert_cmpstr (changed, ==, "changed after");
  g_autofree gchar *store_updated = g_strdup_printf ("store-updated %s", id);
  g_assert_cmpstr (updated, ==, store_updated);

  /* a removal: the store first, then the object, which keeps its id */
  if (LODEX_IS_PLACE (object))
    g_assert_true (lodex_store_remove_place (store, LODEX_PLACE (object)));
  else if (LODEX_IS_CATEGORY (object))
    g_assert_true (lodex_store_remove_category (store, LODEX_CATEGORY (object)));
  else if (LODEX_IS_IMAGE (object))
    g_assert_true (lodex_store_remove_image (store, LODEX_IMAGE (object)));
  else
    g_assert_true (lodex_store_remove_route (store, LODEX_ROUTE (object)));
  g_autofree gchar *store_removed = read_line (from_peer);
  g_autofree gchar *removed = read_line (from_peer);
  g_autofree gchar *forgotten = read_line (from_peer);
  g_autofree gchar *expect_store_removed = g_strdup_printf ("store-removed %s", id);
  g_autofree gchar *expect_removed = g_strdup_printf ("removed %s", id);
  g_assert_cmpstr (store_removed, ==, expect_store_removed);
  g_assert_cmpstr (removed, ==, expect_removed);
  g_assert_cmpstr (forgotten, ==, "forgotten");

  g_autoptr (GError) error = nullptr;
  g_assert_true (g_subprocess_wait_check (peer, nullptr, &error));
  g_object_unref (object);
  lodex_test_settle ();
  g_assert_finalize_object (store);
}

/* Counts the statements a connection runs, but for those on the journal. */
static int
count_statement (unsigned, void *count, void *statement, void *)
{
  const char *sql = sqlite3_sql (static_cast<sqlite3_stmt *> (statement));
  if (!strstr (sql, "journal") && !g_str_equal (sql, "BEGIN") && !g_str_equal (sql, "COMMIT"))
    (*static_cast<int *> (count))++;
  return 0;
}

static void
test_processes_nobody_holds (void)
{
  LodexStore *writer = lodex_test_store_new ();
  LodexStore *watcher = lodex_test_store_new ();
  g_autoptr (LodexPlace) place = lodex_place_new ("unheld", 1, 2);
  g_autoptr (LodexCategory) category = lodex_category_new ("unheld", nullptr);
  g_assert_true (lodex_store_add_place (writer, place));
  g_assert_true (lodex_store_add_category (writer, category));
  lodex_test_settle ();

  /* the watcher holds neither: it reads the journal, tells, and reads
   * nothing else */
  LodexTestRecorder places (watcher, "place-updated");
  LodexTestRecorder categories (watcher, "category-updated");
  int statements = 0;
  sqlite3_trace_v2 (_lodex_set_get_db (LODEX_SET (watcher)), SQLITE_TRACE_STMT, count_statement, &statements);
  g_object_set (place, "name", "changed", nullptr);
  lodex_place_commit (place);
  g_object_set (category, "name", "changed", nullptr);
  lodex_test_wait ([&] { return places.count == 1 && categories.count == 1; });
  g_assert_cmpint (statements, ==, 0);
  sqlite3_trace_v2 (_lodex_set_get_db (LODEX_SET (watcher)), 0, nullptr, nullptr);

  g_clear_object (&place);
  g_clear_object (&category);
  lodex_test_settle ();
  g_assert_finalize_object (watcher);
  g_assert_finalize_object (writer);
}

int
main (int argc, char **argv)
{
  g_test_init (&argc, &argv, G_TEST_OPTION_ISOLATE_DIRS, nullptr);
  g_test_add_func ("/processes/add-and-rename", test_processes_add_and_rename);
  for (const char *kind : {"place", "category", "image", "route"})
    {
      g_autofree gchar *path = g_strdup_printf ("/processes/follow/%s", kind);
      g_test_add_data_func (path, kind, test_processes_follow);
    }
  g_test_add_func ("/processes/nobody-holds", test_processes_nobody_holds);
  return lodex_test_run_with_bus ();
}
