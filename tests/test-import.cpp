/* Imports through the options and the asynchronous form: places already
 * stored, a chosen category, the file's version of an edited place,
 * cancellation half-way and progress in order. */

#include "lodex-test-utils.h"

#include <glib/gstdio.h>

#include <csignal>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

static GFile *
corpus_file (const char *name)
{
  g_autofree gchar *path = g_build_filename (LODEX_TEST_DATA, "gpx", name, nullptr);
  return g_file_new_for_path (path);
}

static gint64
count (LodexSet *set)
{
  g_autoptr (GError) error = nullptr;
  gint64 n = lodex_set_count (set, &error);
  g_assert_no_error (error);
  return n;
}

/* Waypoints @first..@last of a made-up file, named and placed by number. */
static std::string
waypoints (guint first, guint last)
{
  std::string text;
  for (guint i = first; i <= last; i++)
    {
      g_autofree gchar *wpt = g_strdup_printf ("<wpt lat=\"%.6f\" lon=\"%.6f\"><name>Point %u</name></wpt>\n",
                                               45.0 + i * 1e-4, 7.0 + i * 1e-4, i);
      text += wpt;
    }
  return text;
}

static const char gpx_head[] = "<?xml version=\"1.0\"?>\n<gpx version=\"1.1\" creator=\"test\" "
                               "xmlns=\"http://www.topografix.com/GPX/1/1\">\n";
static const char gpx_tail[] = "</gpx>\n";

/* A file of another program, twice with the default options: the second
 * time every place is known by its name and position and left alone. The
 * first time, every place goes into a category made for it. */
static void
test_import_twice (StoreFixture *f, gconstpointer)
{
  g_autoptr (GFile) file = corpus_file ("gpsbabel-spb_metro_norm_ru.gpx");
  g_autoptr (LodexImportOptions) options = lodex_import_options_new ();
  lodex_import_options_set_category (options, "Holiday 2026");
  g_autoptr (GError) error = nullptr;

  g_autoptr (LodexImportResult) first = lodex_store_import (f->store, file, options, nullptr, &error);
  g_assert_no_error (error);
  g_assert_cmpuint (lodex_import_result_get_added (first), ==, 83);
  g_assert_cmpuint (lodex_import_result_get_skipped (first), ==, 0);
  g_assert_cmpuint (g_strv_length (const_cast<gchar **> (lodex_import_result_get_added_ids (first))), ==, 83);
  g_assert_cmpint (count (LODEX_SET (f->store)), ==, 83);

  g_autoptr (LodexCategory) holiday = lodex_store_get_category_by_name (f->store, "Holiday 2026");
  g_assert_nonnull (holiday);
  g_autoptr (LodexCategoryFilter) members = lodex_category_filter_new (LODEX_SET (f->store));
  g_object_set (members, "category", holiday, nullptr);
  g_assert_cmpint (count (LODEX_SET (members)), ==, 83);

  g_autoptr (LodexImportResult) second = lodex_store_import (f->store, file, nullptr, nullptr, &error);
  g_assert_no_error (error);
  g_assert_cmpuint (lodex_import_result_get_added (second), ==, 0);
  g_assert_cmpuint (lodex_import_result_get_updated (second), ==, 0);
  g_assert_cmpuint (lodex_import_result_get_skipped (second), ==, 83);
  g_assert_cmpstrv (lodex_import_result_get_skipped_ids (second), lodex_import_result_get_added_ids (first));
  g_assert_cmpint (count (LODEX_SET (f->store)), ==, 83);
}

/* Our own export of a place, edited, read back with UPDATE: the edit is
 * stored, under the same id, and nothing is added. */
static void
test_import_update (StoreFixture *f, gconstpointer)
{
  g_autoptr (LodexPlace) place = lodex_place_new ("Old mill", 46.5, 6.6);
  g_object_set (place, "description", "Closed on Mondays", nullptr);
  g_assert_true (lodex_store_add_place (f->store, place));
  g_autoptr (LodexPlaceLink) link = lodex_place_link_new ();
  link->name = g_strdup ("Website");
  link->url = g_strdup ("https://old.example/mill");
  g_assert_true (lodex_place_add_link (place, link));
  g_autofree gchar *id = nullptr;
  g_object_get (place, "id", &id, nullptr);
  g_clear_object (&place);
  lodex_test_settle ();

  g_autofree gchar *path = g_build_filename (g_get_home_dir (), "mill.gpx", nullptr);
  g_autoptr (GError) error = nullptr;
  g_assert_true (lodex_store_export_to_file (f->store, path, &error));
  g_assert_no_error (error);
  g_autofree gchar *text = nullptr;
  g_assert_true (g_file_get_contents (path, &text, nullptr, nullptr));
  std::string edited (text);
  for (auto [from, to] : {std::pair{"Old mill", "New mill"}, {"Closed on Mondays", "Open every day"}, {"https://old.example/mill", "https://new.example/mill"}})
    {
      size_t at = edited.find (from);
      g_assert_true (at != std::string::npos);
      edited.replace (at, strlen (from), to);
    }
  g_assert_true (g_file_set_contents (path, edited.c_str (), -1, nullptr));

  g_autoptr (GFile) file = g_file_new_for_path (path);
  g_autoptr (LodexImportOptions) options = lodex_import_options_new ();
  lodex_import_options_set_duplicates (options, LODEX_DUPLICATES_UPDATE);
  g_autoptr (LodexImportResult) result = lodex_store_import (f->store, file, options, nullptr, &error);
  g_assert_no_error (error);
  g_assert_cmpuint (lodex_import_result_get_added (result), ==, 0);
  g_assert_cmpuint (lodex_import_result_get_updated (result), ==, 1);
  const char *updated[] = {id, nullptr};
  g_assert_cmpstrv (lodex_import_result_get_updated_ids (result), updated);
  g_assert_cmpint (count (LODEX_SET (f->store)), ==, 1);
  lodex_test_settle ();

  place = lodex_store_get_place_by_id (f->store, id);
  g_autofree gchar *name = nullptr, *description = nullptr;
  g_object_get (place, "name", &name, "description", &description, nullptr);
  g_assert_cmpstr (name, ==, "New mill");
  g_assert_cmpstr (description, ==, "Open every day");
  GList *links = lodex_place_get_links (place);
  g_assert_cmpuint (g_list_length (links), ==, 1);
  g_assert_cmpstr (static_cast<LodexPlaceLink *> (links->data)->url, ==, "https://new.example/mill");
  g_list_free_full (links, GDestroyNotify (lodex_place_link_free));
}

struct Progress
{
  std::vector<guint64> places;
  std::vector<goffset> done;
  goffset total = -1;
  GThread *thread = g_thread_self ();
  bool finished = false;
  bool late = false;              /* progress after the result */
  bool foreign = false;           /* progress on another thread */
  GCancellable *cancel = nullptr; /* cancelled at the first progress */
  LodexImportResult *result = nullptr;
  GError *error = nullptr;
};

static void
on_progress (guint64 places, goffset done, goffset total, gpointer data)
{
  auto progress = static_cast<Progress *> (data);
  progress->late = progress->late || progress->finished;
  progress->foreign = progress->foreign || g_thread_self () != progress->thread;
  progress->places.push_back (places);
  progress->done.push_back (done);
  progress->total = total;
  if (progress->cancel)
    g_cancellable_cancel (progress->cancel);
}

static void
on_imported (GObject *store, GAsyncResult *result, gpointer data)
{
  auto progress = static_cast<Progress *> (data);
  progress->result = lodex_store_import_finish (LODEX_STORE (store), result, &progress->error);
  progress->finished = true;
}

/* The file written into a pipe: the import waits for the rest while the
 * progress callback cancels it; the rest comes and nothing is stored. */
static void
test_import_async_cancel (StoreFixture *f, gconstpointer)
{
  signal (SIGPIPE, SIG_IGN); /* the import may close the pipe before the end */
  g_autofree gchar *path = g_build_filename (g_get_home_dir (), "pipe.gpx", nullptr);
  g_assert_cmpint (mkfifo (path, 0600), ==, 0);
  g_autoptr (GFile) file = g_file_new_for_path (path);
  g_autoptr (GCancellable) cancellable = g_cancellable_new ();
  Progress progress;
  progress.cancel = cancellable;
  lodex_store_import_async (f->store, file, nullptr, cancellable, on_progress, &progress, nullptr, on_imported, &progress);

  int fd = g_open (path, O_WRONLY, 0); /* meets the import's reader */
  g_assert_cmpint (fd, >=, 0);
  std::string head = std::string (gpx_head) + waypoints (1, 500);
  g_assert_cmpint (write (fd, head.data (), head.size ()), ==, gssize (head.size ()));
  lodex_test_wait ([&] { return !progress.places.empty () || progress.finished; });
  g_assert_false (progress.finished);
  g_assert_true (g_cancellable_is_cancelled (cancellable));
  std::string rest = waypoints (501, 3000) + gpx_tail;
  g_assert_cmpint (write (fd, rest.data (), rest.size ()), !=, 0);
  close (fd);

  lodex_test_wait ([&] { return progress.finished; });
  g_assert_error (progress.error, G_IO_ERROR, G_IO_ERROR_CANCELLED);
  g_assert_null (progress.result);
  g_clear_error (&progress.error);
  g_assert_false (progress.late);
  g_assert_cmpint (count (LODEX_SET (f->store)), ==, 0);
}

/* A whole file: progress on this thread, in order, ending at the file's
 * size and its every place, all of it before the result. */
static void
test_import_async_progress (StoreFixture *f, gconstpointer)
{
  g_autofree gchar *path = g_build_filename (g_get_home_dir (), "points.gpx", nullptr);
  std::string text = std::string (gpx_head) + waypoints (1, 1500) + gpx_tail;
  g_assert_true (g_file_set_contents (path, text.c_str (), -1, nullptr));
  g_autoptr (GFile) file = g_file_new_for_path (path);
  Progress progress;
  lodex_store_import_async (f->store, file, nullptr, nullptr, on_progress, &progress, nullptr, on_imported, &progress);
  lodex_test_wait ([&] { return progress.finished; });

  g_assert_no_error (progress.error);
  g_assert_nonnull (progress.result);
  g_assert_cmpuint (lodex_import_result_get_added (progress.result), ==, 1500);
  g_clear_object (&progress.result);
  g_assert_false (progress.late);
  g_assert_false (progress.foreign);
  g_assert_cmpuint (progress.places.size (), >, 0);
  for (size_t i = 1; i < progress.places.size (); i++)
    {
      g_assert_cmpuint (progress.places[i], >=, progress.places[i - 1]);
      g_assert_cmpint (progress.done[i], >=, progress.done[i - 1]);
    }
  g_assert_cmpuint (progress.places.back (), ==, 1500);
  g_assert_cmpint (progress.total, ==, goffset (text.size ()));
  g_assert_cmpint (progress.done.back (), ==, progress.total);
  g_assert_cmpint (count (LODEX_SET (f->store)), ==, 1500);
}

static void
on_exported (GObject *store, GAsyncResult *result, gpointer data)
{
  auto progress = static_cast<Progress *> (data);
  if (!lodex_store_export_finish (LODEX_STORE (store), result, &progress->error))
    g_assert_nonnull (progress->error);
  progress->finished = true;
}

/* A filtered and sorted set written in another thread, on a connection
 * of the export's own: the same file as the walk of the set here, with
 * progress ending at every place. A cancelled export leaves the target as
 * it was. */
static void
test_export_async (StoreFixture *f, gconstpointer)
{
  g_autofree gchar *source = g_build_filename (g_get_home_dir (), "points.gpx", nullptr);
  std::string text = std::string (gpx_head) + waypoints (1, 1200) + gpx_tail;
  g_assert_true (g_file_set_contents (source, text.c_str (), -1, nullptr));
  g_autoptr (GFile) source_file = g_file_new_for_path (source);
  g_autoptr (GError) error = nullptr;
  g_autoptr (LodexImportResult) imported = lodex_store_import (f->store, source_file, nullptr, nullptr, &error);
  g_assert_no_error (error);
  g_assert_cmpuint (lodex_import_result_get_added (imported), ==, 1200);

  g_autoptr (LodexLocationFilter) filter = lodex_location_filter_new (LODEX_SET (f->store));
  g_object_set (filter, "min-lat", 40.0, "max-lat", 45.0 + 1000.5 * 1e-4, "min-long", 0.0, "max-long", 10.0, nullptr);
  g_autoptr (LodexLocationSort) sort = lodex_location_sort_new (LODEX_SET (filter));
  g_object_set (sort, "latitude", 46.0, "longitude", 8.0, nullptr);
  g_autofree gchar *expected_path = g_build_filename (g_get_home_dir (), "expected.gpx", nullptr);
  g_assert_true (lodex_export_set_to_gpx_file (LODEX_SET (sort), expected_path, &error));
  g_assert_no_error (error);

  g_autofree gchar *path = g_build_filename (g_get_home_dir (), "sorted.gpx", nullptr);
  g_autoptr (GFile) file = g_file_new_for_path (path);
  Progress progress;
  lodex_store_export_async (f->store, LODEX_SET (sort), file, nullptr, nullptr, on_progress, &progress, nullptr,
                            on_exported, &progress);
  lodex_test_wait ([&] { return progress.finished; });
  g_assert_no_error (progress.error);
  g_autofree gchar *expected = nullptr, *written = nullptr;
  g_assert_true (g_file_get_contents (expected_path, &expected, nullptr, nullptr));
  g_assert_true (g_file_get_contents (path, &written, nullptr, nullptr));
  g_assert_cmpstr (written, ==, expected);
  guint wpts = 0;
  for (const char *p = strstr (expected, "<wpt "); p; p = strstr (p + 1, "<wpt "))
    wpts++;
  g_assert_cmpuint (wpts, ==, 1000);
  g_assert_false (progress.late);
  g_assert_false (progress.foreign);
  g_assert_cmpuint (progress.places.size (), >, 0);
  for (size_t i = 1; i < progress.places.size (); i++)
    g_assert_cmpuint (progress.places[i], >=, progress.places[i - 1]);
  g_assert_cmpuint (progress.places.back (), ==, 1000);

  g_autoptr (GCancellable) cancellable = g_cancellable_new ();
  g_cancellable_cancel (cancellable);
  Progress cancelled;
  lodex_store_export_async (f->store, nullptr, file, nullptr, cancellable, nullptr, nullptr, nullptr, on_exported,
                            &cancelled);
  lodex_test_wait ([&] { return cancelled.finished; });
  g_assert_error (cancelled.error, G_IO_ERROR, G_IO_ERROR_CANCELLED);
  g_clear_error (&cancelled.error);
  g_clear_pointer (&written, g_free);
  g_assert_true (g_file_get_contents (path, &written, nullptr, nullptr));
  g_assert_cmpstr (written, ==, expected);
}

int
main (int argc, char **argv)
{
  g_test_init (&argc, &argv, G_TEST_OPTION_ISOLATE_DIRS, nullptr);
  LODEX_TEST_ADD ("/import/twice", test_import_twice);
  LODEX_TEST_ADD ("/import/update", test_import_update);
  LODEX_TEST_ADD ("/import/async/cancel", test_import_async_cancel);
  LODEX_TEST_ADD ("/import/async/progress", test_import_async_progress);
  LODEX_TEST_ADD ("/export/async", test_export_async);
  return lodex_test_run_with_bus ();
}
