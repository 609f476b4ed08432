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

int
main (int argc, char **argv)
{
  g_test_init (&argc, &argv, G_TEST_OPTION_ISOLATE_DIRS, nullptr);
  g_test_add_func ("/processes/add-and-rename", test_processes_add_and_rename);
  return lodex_test_run_with_bus ();
}
