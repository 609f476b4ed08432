/* The store: identity of live places, operations on places, walks, and the
 * reaction to change broadcasts within one process. */

#include "lodex-test-utils.h"

#include <cmath>
#include <dlfcn.h>

#include <unistd.h>

static LodexPlace *
add_place (LodexStore *store, const char *name, double latitude, double longitude)
{
  LodexPlace *place = lodex_place_new (name, latitude, longitude);
  g_assert_true (lodex_store_add_place (store, place));
  return place;
}

static gchar *
get_name (LodexPlace *place)
{
  gchar *name = nullptr;
  g_object_get (place, "name", &name, nullptr);
  return name;
}

static void
test_store_identity (StoreFixture *f, gconstpointer)
{
  LodexPlace *place = add_place (f->store, "Tower", 51.5, -0.07);
  g_autofree gchar *id = g_strdup (_lodex_place_get_row (place)->id);
  gint64 ctime = _lodex_place_get_row (place)->ctime;

  LodexPlace *again = lodex_store_get_place_by_id (f->store, id);
  LodexPlace *third = lodex_store_get_place_by_id (f->store, id);
  g_assert_true (again == place);
  g_assert_true (third == place);
  g_object_unref (again);
  g_object_unref (third);

  /* the last outside reference goes: the registry forgets the place */
  g_object_add_weak_pointer (G_OBJECT (place), (gpointer *) &place);
  g_object_unref (place);
  g_assert_null (place);

  g_autoptr (LodexPlace) rebuilt = lodex_store_get_place_by_id (f->store, id);
  g_assert_nonnull (rebuilt);
  g_autofree gchar *name = get_name (rebuilt);
  g_assert_cmpstr (name, ==, "Tower");
  g_assert_cmpint (_lodex_place_get_row (rebuilt)->ctime, ==, ctime);

  /* a second store has objects of its own */
  LodexStore *other = lodex_test_store_new ();
  g_autoptr (LodexPlace) elsewhere = lodex_store_get_place_by_id (other, id);
  g_assert_nonnull (elsewhere);
  g_assert_true (elsewhere != rebuilt);
  g_clear_object (&elsewhere);
  lodex_test_settle ();
  g_assert_finalize_object (other);

  g_assert_null (lodex_store_get_place_by_id (f->store, "no such id"));
}

/* A language binding holds an object through a toggle reference, which it
 * drops only when told it is the last: the store must not hold one too. */
static void
binding_toggle (gpointer released, GObject *object, gboolean is_last_ref)
{
  if (is_last_ref)
    {
      *static_cast<bool *> (released) = true;
      g_object_remove_toggle_ref (object, binding_toggle, released);
    }
}

static void
test_store_identity_with_binding (StoreFixture *f, gconstpointer)
{
  LodexPlace *place = add_place (f->store, "Scripted", 1, 2);
  g_autofree gchar *id = g_strdup (_lodex_place_get_row (place)->id);
  bool released = false;
  g_object_add_toggle_ref (G_OBJECT (place), binding_toggle, &released);
  g_object_add_weak_pointer (G_OBJECT (place), (gpointer *) &place);
  g_object_unref (place); /* the script's wrapper is all that is left */
  g_assert_true (released);
  g_assert_null (place);
  g_assert_null (_lodex_store_query_table (f->store, id));

  /* a binding's collector may release the store before its objects */
  LodexStore *store = lodex_test_store_new ();
  g_autoptr (LodexCategory) category = lodex_category_new ("Outlives its store", nullptr);
  g_assert_true (lodex_store_add_category (store, category));
  g_object_unref (store);
  lodex_test_settle ();
}

static void
test_store_gen_id (StoreFixture *f, gconstpointer)
{
  g_autoptr (GRegex) format = g_regex_new ("^(\\d+)\\.(\\d+)\\.(\\d+)@(\\d+)$", GRegexCompileFlags (0),
                                           GRegexMatchFlags (0), nullptr);
  g_autoptr (LodexStore) other = lodex_test_store_new ();
  g_autofree gchar *first = _lodex_store_gen_id (f->store);
  g_autofree gchar *second = _lodex_store_gen_id (other);

  g_autoptr (GMatchInfo) a = nullptr;
  g_autoptr (GMatchInfo) b = nullptr;
  g_assert_true (g_regex_match (format, first, GRegexMatchFlags (0), &a));
  g_assert_true (g_regex_match (format, second, GRegexMatchFlags (0), &b));

  g_autofree gchar *pid = g_match_info_fetch (a, 1);
  g_autofree gchar *ppid = g_match_info_fetch (a, 2);
  g_autofree gchar *counter_a = g_match_info_fetch (a, 3);
  g_autofree gchar *counter_b = g_match_info_fetch (b, 3);
  g_assert_cmpint (atoi (pid), ==, getpid ());
  g_assert_cmpint (atoi (ppid), ==, getppid ());
  /* one counter for the whole process, whichever store asks */
  g_assert_cmpint (atoi (counter_b), ==, atoi (counter_a) + 1);
}

static void
test_store_add_refused (StoreFixture *f, gconstpointer)
{
  g_autoptr (LodexPlace) place = add_place (f->store, "Once", 1, 2);

  g_test_expect_message ("Lodex", G_LOG_LEVEL_WARNING, "Place is already associated with the database");
  g_assert_false (lodex_store_add_place (f->store, place));
  g_test_assert_expected_messages ();

  g_test_expect_message ("Lodex", G_LOG_LEVEL_CRITICAL, "lodex_store_add_place: assertion 'place != NULL' failed");
  g_assert_false (lodex_store_add_place (f->store, nullptr));
  g_test_assert_expected_messages ();

  g_test_expect_message ("Lodex", G_LOG_LEVEL_CRITICAL,
                         "lodex_store_add_place: assertion 'LODEX_IS_PLACE (place)' failed");
  g_assert_false (lodex_store_add_place (f->store, (LodexPlace *) f->store));
  g_test_assert_expected_messages ();

  g_test_expect_message ("Lodex", G_LOG_LEVEL_CRITICAL,
                         "lodex_store_add_place: assertion 'LODEX_IS_STORE (store)' failed");
  g_assert_false (lodex_store_add_place ((LodexStore *) place, place));
  g_test_assert_expected_messages ();

  g_test_expect_message ("Lodex", G_LOG_LEVEL_CRITICAL,
                         "lodex_store_get_place_by_id: assertion 'id != NULL' failed");
  g_assert_null (lodex_store_get_place_by_id (f->store, nullptr));
  g_test_assert_expected_messages ();
}

/* A position off the earth is refused, added or written back, with a
 * warning that names it; what is stored stays as it was. */
static void
test_store_position_refused (StoreFixture *f, gconstpointer)
{
  g_autoptr (LodexPlace) bad = lodex_place_new ("bad", 200.0, 500.0);
  g_test_expect_message ("Lodex", G_LOG_LEVEL_WARNING, "Place not stored: The latitude 200 is outside -90 to 90");
  g_assert_false (lodex_store_add_place (f->store, bad));
  g_test_assert_expected_messages ();
  g_assert_false (lodex_place_has_id (bad));
  _lodex_place_get_row (bad)->latitude = 10.0; /* GObject itself refuses NaN: another program's row */
  _lodex_place_get_row (bad)->longitude = NAN;
  g_test_expect_message ("Lodex", G_LOG_LEVEL_WARNING, "Place not stored: The longitude nan is not a number");
  g_assert_false (lodex_store_add_place (f->store, bad));
  g_test_assert_expected_messages ();

  g_autoptr (LodexPlace) place = add_place (f->store, "good", 1, 2);
  g_object_set (place, "longitude", -180.5, nullptr);
  g_test_expect_message ("Lodex", G_LOG_LEVEL_WARNING, "Place not stored: The longitude -180.5 is outside -180 to 180");
  g_assert_false (lodex_place_commit (place));
  g_test_assert_expected_messages ();
  g_autoptr (LodexPlaceRow) stored = lodex_db_get_row_by_id (_lodex_set_get_db (LODEX_SET (f->store)),
                                                             _lodex_place_get_row (place)->id);
  g_assert_cmpfloat (stored->longitude, ==, 2.0);
  lodex_place_discard_changes (place);
  g_assert_cmpfloat (_lodex_place_get_row (place)->longitude, ==, 2.0);
}

static void
count_store_signal (gpointer, LodexStore *, gpointer data)
{
  (*static_cast<guint *> (data))++;
}

static void
test_store_remove_place (StoreFixture *f, gconstpointer)
{
  g_autoptr (LodexPlace) place = add_place (f->store, "Gone", 3, 4);
  g_autofree gchar *old_id = g_strdup (_lodex_place_get_row (place)->id);
  guint removed = 0;
  g_signal_connect (place, "removed", G_CALLBACK (count_store_signal), &removed);

  g_assert_true (lodex_store_remove_place (f->store, place));
  g_assert_cmpuint (removed, ==, 1);
  g_assert_false (lodex_place_has_id (place));
  g_assert_null (_lodex_place_get_store (place));
  g_assert_null (lodex_store_get_place_by_id (f->store, old_id));

  g_test_expect_message ("Lodex", G_LOG_LEVEL_WARNING, "Place is not associated with the database");
  g_assert_false (lodex_store_remove_place (f->store, place));
  g_test_assert_expected_messages ();

  /* a removed place is new again */
  g_assert_true (lodex_store_add_place (f->store, place));
  g_assert_cmpstr (_lodex_place_get_row (place)->id, !=, old_id);
}

static void
test_store_remove_other_store (StoreFixture *f, gconstpointer)
{
  g_autoptr (LodexPlace) place = add_place (f->store, "Mine", 5, 6);
  LodexStore *other = lodex_test_store_new ();

  /* refused: it would clear the id of an object registered in our store */
  g_test_expect_message ("Lodex", G_LOG_LEVEL_WARNING, "Place is not associated with the database");
  g_assert_false (lodex_store_remove_place (other, place));
  g_test_assert_expected_messages ();
  g_assert_true (lodex_place_has_id (place));

  g_autoptr (LodexPlace) same = lodex_store_get_place_by_id (f->store, _lodex_place_get_row (place)->id);
  g_assert_true (same == place);
  lodex_test_settle ();
  g_assert_finalize_object (other);
}

static void
test_store_idle_commit (StoreFixture *f, gconstpointer)
{
  g_autoptr (LodexPlace) place = add_place (f->store, "Before", 7, 8);
  g_autofree gchar *id = g_strdup (_lodex_place_get_row (place)->id);
  LodexStore *reader = lodex_test_store_new ();
  LodexTestRecorder updates (reader, "place-updated");

  /* several changes before the loop runs: one write, one announcement */
  g_object_set (place, "name", "After", "latitude", 9.5, "altitude", 12.0, nullptr);
  g_object_set (place, "description", "moved", nullptr);
  g_assert_true (_lodex_place_is_dirty (place));
  lodex_test_wait ([&] { return updates.saw (id); });
  lodex_test_settle ();
  g_assert_cmpuint (updates.count, ==, 1);
  g_assert_false (_lodex_place_is_dirty (place));

  g_autoptr (LodexPlace) copy = lodex_store_get_place_by_id (reader, id);
  LodexPlaceRow *row = _lodex_place_get_row (copy);
  g_assert_cmpstr (row->name, ==, "After");
  g_assert_cmpstr (row->description, ==, "moved");
  g_assert_cmpfloat (row->latitude, ==, 9.5);
  g_assert_cmpuint (row->fields, ==, LODEX_PLACE_FIELD_ALTITUDE);
  g_assert_cmpfloat (row->altitude, ==, 12.0);
  g_clear_object (&copy);
  g_assert_finalize_object (reader);
}

static void
test_store_walk (StoreFixture *f, gconstpointer)
{
  LodexSet *set = LODEX_SET (f->store);

  g_assert_null (lodex_set_first (set));
  g_test_expect_message ("Lodex", G_LOG_LEVEL_CRITICAL,
                         "lodex_store_set_next: assertion 'priv->statement != NULL' failed");
  g_assert_null (lodex_set_next (set));
  g_test_assert_expected_messages ();

  g_autoptr (LodexPlace) held = add_place (f->store, "One", 1, 1);
  g_object_unref (add_place (f->store, "Two", 2, 2));
  g_object_unref (add_place (f->store, "Three", 3, 3));

  g_autoptr (GHashTable) seen = g_hash_table_new_full (g_str_hash, g_str_equal, g_free, nullptr);
  bool found_held = false;
  for (LodexPlace *p = lodex_set_first (set); p; p = lodex_set_next (set))
    {
      found_held = found_held || p == held; /* the live object, not a copy */
      g_hash_table_add (seen, get_name (p));
      g_object_unref (p);
    }
  g_assert_true (found_held);
  g_assert_cmpuint (g_hash_table_size (seen), ==, 3);
  g_assert_true (g_hash_table_contains (seen, "Two"));

  /* first again restarts; first in the middle restarts too */
  g_autoptr (LodexPlace) a = lodex_set_first (set);
  g_autoptr (LodexPlace) b = lodex_set_next (set);
  g_autoptr (LodexPlace) again = lodex_set_first (set);
  g_assert_true (again == a);
  g_assert_true (b != a);
  /* abandoned here: the store's finalization must release the statement,
   * or closing the database would fail with a warning */
}

/* A walk whose caller keeps some places and drops the others: the dropped
 * ones go at once, the kept ones stay the store's live objects, the last
 * place of the walk and one asked for before the next step included. */
static void
test_store_walk_keeps_held (StoreFixture *f, gconstpointer)
{
  for (int i = 0; i < 6; i++)
    g_object_unref (add_place (f->store, "walked", i, i));

  LodexSet *set = LODEX_SET (f->store);
  g_autoptr (GPtrArray) held = g_ptr_array_new ();
  gpointer dropped[6] = {};
  guint n_dropped = 0;
  int i = 0;
  for (LodexPlace *p = lodex_set_first (set); p; p = lodex_set_next (set), i++)
    if (i % 2) /* the last place of the walk is kept */
      {
        g_ptr_array_add (held, p);
        g_autoptr (LodexPlace) again = lodex_store_get_place_by_id (f->store, _lodex_place_get_row (p)->id);
        g_assert_true (again == p);
      }
    else
      {
        dropped[n_dropped] = p;
        g_object_add_weak_pointer (G_OBJECT (p), &dropped[n_dropped++]);
        g_object_unref (p);
        g_assert_null (dropped[n_dropped - 1]);
      }
  g_assert_cmpuint (held->len, ==, 3);

  guint found = 0;
  for (LodexPlace *p = lodex_set_first (set); p; p = lodex_set_next (set))
    {
      found += g_ptr_array_find (held, p, nullptr);
      g_object_unref (p);
    }
  g_assert_cmpuint (found, ==, held->len);
  for (guint k = 0; k < held->len; k++)
    {
      auto place = static_cast<LodexPlace *> (held->pdata[k]);
      g_autoptr (LodexPlace) again = lodex_store_get_place_by_id (f->store, _lodex_place_get_row (place)->id);
      g_assert_true (again == place);
    }
  for (guint k = 0; k < held->len; k++)
    g_assert_finalize_object (held->pdata[k]);
}

static void
test_store_walk_with_writes (StoreFixture *f, gconstpointer)
{
  for (int i = 0; i < 5; i++)
    g_object_unref (add_place (f->store, "walked", i, i));

  /* writes in the middle of a walk commit at once, for every connection */
  LodexStore *reader = lodex_test_store_new ();
  guint n = 0;
  for (LodexPlace *p = lodex_set_first (LODEX_SET (f->store)); p; p = lodex_set_next (LODEX_SET (f->store)))
    {
      g_object_set (p, "name", "renamed", nullptr);
      lodex_place_commit (p);
      g_autoptr (LodexPlace) copy = lodex_store_get_place_by_id (reader, _lodex_place_get_row (p)->id);
      g_autofree gchar *name = get_name (copy);
      g_assert_cmpstr (name, ==, "renamed");
      g_object_unref (p);
      n++;
    }
  g_assert_cmpuint (n, ==, 5);
  lodex_test_settle ();
  g_assert_finalize_object (reader);
}

static void
test_store_hears_changes (StoreFixture *f, gconstpointer)
{
  LodexStore *other = lodex_test_store_new ();
  LodexTestRecorder added_here (f->store, "place-added");
  LodexTestRecorder added_there (other, "place-added");
  LodexTestRecorder changed_here (f->store, "changed");
  LodexTestRecorder changed_there (other, "changed");
  LodexTestRecorder removed_there (other, "place-removed");

  g_autoptr (LodexPlace) place = add_place (f->store, "Heard", 10, 20);
  g_autofree gchar *id = g_strdup (_lodex_place_get_row (place)->id);
  lodex_test_wait ([&] { return added_here.saw (id) && added_there.saw (id); });
  lodex_test_settle ();
  g_assert_cmpuint (changed_here.count, ==, 1);
  g_assert_cmpuint (changed_there.count, ==, 1);

  g_assert_true (lodex_store_remove_place (f->store, place));
  lodex_test_wait ([&] { return removed_there.saw (id); });
  lodex_test_settle ();
  g_assert_cmpuint (changed_there.count, ==, 2);
  g_assert_finalize_object (other);
}

/* A batch's writes reach other connections and the bus together, at the
 * commit; another store never hears of a place it cannot read yet, and
 * hears each notice once. */
static void
test_store_batch (StoreFixture *f, gconstpointer)
{
  LodexStore *other = lodex_test_store_new ();
  LodexTestRecorder added_there (other, "place-added");

  g_assert_true (_lodex_store_batch_begin (f->store));
  g_object_unref (add_place (f->store, "First", 1, 2));
  g_assert_true (_lodex_store_batch_begin (f->store)); /* nested */
  g_object_unref (add_place (f->store, "Second", 3, 4));
  g_assert_true (_lodex_store_batch_end (f->store));
  lodex_test_settle ();
  g_assert_cmpuint (added_there.count, ==, 0);
  g_assert_null (lodex_set_first (LODEX_SET (other)));

  g_assert_true (_lodex_store_batch_end (f->store));
  lodex_test_wait ([&] { return added_there.count == 2; });

  /* in a batch, each notice goes once: a listener reloads once */
  g_autoptr (LodexPlace) edited = add_place (f->store, "Edited", 5, 6);
  lodex_test_settle ();
  LodexTestRecorder updated_there (other, "place-updated");
  LodexTestRecorder changed_there (other, "changed");
  g_assert_true (_lodex_store_batch_begin (f->store));
  for (const char *name : {"once", "twice", "thrice"})
    {
      g_object_set (edited, "name", name, nullptr);
      g_assert_true (lodex_place_commit (edited));
      g_object_unref (add_place (f->store, name, 7, 8));
    }
  g_assert_true (_lodex_store_batch_end (f->store));
  lodex_test_settle ();
  g_assert_cmpuint (updated_there.count, ==, 1);
  g_assert_cmpuint (changed_there.count, ==, 1); /* one StoreUpdated */
  LodexPlace *seen = lodex_store_get_place_by_id (other, static_cast<const char *> (added_there.ids->pdata[1]));
  g_assert_nonnull (seen);
  g_assert_cmpstr (_lodex_place_get_row (seen)->name, ==, "Second");
  g_object_unref (seen);
  g_assert_finalize_object (other);
}

static void
test_store_reload_on_change (StoreFixture *f, gconstpointer)
{
  g_autoptr (LodexPlace) mine = add_place (f->store, "Original", 1, 2);
  g_autofree gchar *id = g_strdup (_lodex_place_get_row (mine)->id);
  LodexStore *other = lodex_test_store_new ();
  g_autoptr (LodexPlace) theirs = lodex_store_get_place_by_id (other, id);

  /* the object reloads and says so before the store does */
  GString *order = g_string_new (nullptr);
  auto note = +[] (GObject *, gpointer data) { g_string_append (static_cast<GString *> (data), "place "); };
  auto note_store = +[] (GObject *, const gchar *, gpointer data) {
    g_string_append (static_cast<GString *> (data), "store ");
  };
  g_signal_connect (mine, "changed", G_CALLBACK (note), order);
  g_signal_connect (f->store, "place-updated", G_CALLBACK (note_store), order);

  g_object_set (theirs, "name", "Changed", "coverage", 0.0, nullptr);
  lodex_place_commit (theirs);
  lodex_test_wait ([&] { return order->len > 0; });
  lodex_test_settle ();
  g_assert_cmpstr (order->str, ==, "place store ");
  g_autofree gchar *name = get_name (mine);
  g_assert_cmpstr (name, ==, "Changed");
  g_assert_cmpuint (_lodex_place_get_row (mine)->fields, ==, LODEX_PLACE_FIELD_COVERAGE);

  g_signal_handlers_disconnect_by_data (f->store, order);
  g_string_free (order, TRUE);
  g_clear_object (&theirs);
  g_assert_finalize_object (other);
}

static void
test_store_reload_keeps_local_edit (StoreFixture *f, gconstpointer)
{
  g_autoptr (LodexPlace) mine = add_place (f->store, "Typed", 1, 2);
  g_autofree gchar *id = g_strdup (_lodex_place_get_row (mine)->id);
  LodexStore *other = lodex_test_store_new ();
  g_autoptr (LodexPlace) theirs = lodex_store_get_place_by_id (other, id);
  lodex_test_settle ();

  /* a local edit waits for its idle commit while another writer's notice
   * arrives first (bus dispatch outranks idle callbacks) */
  g_object_set (mine, "name", "local", nullptr);
  g_object_set (theirs, "name", "remote", nullptr);
  lodex_place_commit (theirs);
  g_usleep (200 * 1000); /* let the notice reach the main context */
  lodex_test_settle ();
  lodex_test_settle ();

  g_autofree gchar *name = get_name (mine);
  g_assert_cmpstr (name, ==, "local");
  g_autofree gchar *stored = get_name (theirs);
  g_assert_cmpstr (stored, ==, "local");

  g_clear_object (&theirs);
  g_assert_finalize_object (other);
}

static void
test_store_removed_elsewhere (StoreFixture *f, gconstpointer)
{
  g_autoptr (LodexPlace) mine = add_place (f->store, "Doomed", 1, 2);
  g_autofree gchar *id = g_strdup (_lodex_place_get_row (mine)->id);
  LodexStore *other = lodex_test_store_new ();
  g_autoptr (LodexPlace) theirs = lodex_store_get_place_by_id (other, id);

  GString *order = g_string_new (nullptr);
  auto note = +[] (GObject *, GObject *, gpointer data) { g_string_append (static_cast<GString *> (data), "place "); };
  auto note_store = +[] (GObject *, const gchar *, gpointer data) {
    g_string_append (static_cast<GString *> (data), "store ");
  };
  g_signal_connect (mine, "removed", G_CALLBACK (note), order);
  g_signal_connect (f->store, "place-removed", G_CALLBACK (note_store), order);

  g_assert_true (lodex_store_remove_place (other, theirs));
  lodex_test_wait ([&] { return strstr (order->str, "place") != nullptr; });
  g_assert_cmpstr (order->str, ==, "store place ");

  /* keeps its id and values, but the store has forgotten it */
  g_assert_cmpstr (_lodex_place_get_row (mine)->id, ==, id);
  g_assert_null (lodex_store_get_place_by_id (f->store, id));

  g_signal_handlers_disconnect_by_data (f->store, order);
  g_string_free (order, TRUE);
  g_clear_object (&theirs);
  lodex_test_settle ();
  g_assert_finalize_object (other);
}

static void
test_store_busy_database (StoreFixture *f, gconstpointer)
{
  g_autofree gchar *path = lodex_test_db_path ();
  sqlite3 *blocker = nullptr;
  g_assert_cmpint (sqlite3_open (path, &blocker), ==, SQLITE_OK);
  g_assert_cmpint (sqlite3_exec (blocker, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), ==, SQLITE_OK);

  _lodex_db_set_busy_timeout (200);
  g_autoptr (LodexPlace) place = lodex_place_new ("Blocked", 1, 2);
  gint64 start = g_get_monotonic_time ();
  g_test_expect_message ("Lodex", G_LOG_LEVEL_WARNING, "Problem executing statement: database is locked");
  g_assert_false (lodex_store_add_place (f->store, place));
  g_test_assert_expected_messages ();
  gint64 waited = g_get_monotonic_time () - start;
  g_assert_cmpint (waited, >=, 200 * 1000);
  g_assert_cmpint (waited, <, 5 * G_USEC_PER_SEC);

  /* the failed add left the place new, so it can be added once the lock goes */
  g_assert_false (lodex_place_has_id (place));
  g_assert_cmpint (sqlite3_exec (blocker, "ROLLBACK", nullptr, nullptr, nullptr), ==, SQLITE_OK);
  sqlite3_close (blocker);
  g_assert_true (lodex_store_add_place (f->store, place));
  _lodex_db_set_busy_timeout (10 * 1000);
}

static void
test_store_open_failures (void)
{
  g_test_expect_message ("Lodex", G_LOG_LEVEL_WARNING, "Error opening database: unable to open database file");
  g_assert_null (_lodex_store_get_from_file ("/nonexistent-dir/sub/.lodex.db", LODEX_TEST_SCHEMA));
  g_test_assert_expected_messages ();

  g_test_expect_message ("Lodex", G_LOG_LEVEL_CRITICAL,
                         "_lodex_store_get_from_file: assertion 'filename != NULL' failed");
  g_assert_null (_lodex_store_get_from_file (nullptr, nullptr));
  g_test_assert_expected_messages ();

  /* an existing database works on without its schema file */
  g_assert_finalize_object (lodex_test_store_new ());
  g_autofree gchar *path = lodex_test_db_path ();
  g_test_expect_message ("Lodex", G_LOG_LEVEL_WARNING, "Error opening the schema file: *");
  g_test_expect_message ("Lodex", G_LOG_LEVEL_WARNING, "Creating database tables failed");
  LodexStore *store = _lodex_store_get_from_file (path, "/nonexistent/database-schema");
  g_test_assert_expected_messages ();
  g_assert_nonnull (store);
  g_autoptr (LodexPlace) place = lodex_place_new ("Still works", 1, 2);
  g_assert_true (lodex_store_add_place (store, place));
  g_clear_object (&place);
  lodex_test_settle ();
  g_assert_finalize_object (store);
}

static void
test_store_update_property_string (void)
{
  g_auto (GValue) value = G_VALUE_INIT;
  g_value_init (&value, G_TYPE_STRING);
  gchar *slot = g_strdup ("same");
  gchar *before = slot;

  g_value_set_string (&value, "same");
  g_assert_false (_lodex_update_property_string (&slot, &value));
  g_assert_true (slot == before);

  g_value_set_string (&value, nullptr);
  g_assert_true (_lodex_update_property_string (&slot, &value));
  g_assert_null (slot);
  g_assert_false (_lodex_update_property_string (&slot, &value));
}

static void
test_store_make_resident (void)
{
  if (!g_file_test (LODEX_INSTALLED_LIBRARY, G_FILE_TEST_EXISTS))
    {
      g_test_skip ("the library is not installed");
      return;
    }
  lodex_make_resident ();
  /* loaded, and kept: a second open finds it without loading */
  void *handle = dlopen (LODEX_INSTALLED_LIBRARY, RTLD_NOW | RTLD_NOLOAD);
  g_assert_nonnull (handle);
  dlclose (handle);
}

int
main (int argc, char **argv)
{
  g_test_init (&argc, &argv, G_TEST_OPTION_ISOLATE_DIRS, nullptr);

  LODEX_TEST_ADD ("/store/identity", test_store_identity);
  LODEX_TEST_ADD ("/store/identity/binding", test_store_identity_with_binding);
  LODEX_TEST_ADD ("/store/gen-id", test_store_gen_id);
  LODEX_TEST_ADD ("/store/add-place/refused", test_store_add_refused);
  LODEX_TEST_ADD ("/store/add-place/position", test_store_position_refused);
  LODEX_TEST_ADD ("/store/remove-place", test_store_remove_place);
  LODEX_TEST_ADD ("/store/remove-place/other-store", test_store_remove_other_store);
  LODEX_TEST_ADD ("/store/idle-commit", test_store_idle_commit);
  LODEX_TEST_ADD ("/store/walk", test_store_walk);
  LODEX_TEST_ADD ("/store/walk/keeps-held", test_store_walk_keeps_held);
  LODEX_TEST_ADD ("/store/walk/with-writes", test_store_walk_with_writes);
  LODEX_TEST_ADD ("/store/broadcast/two-stores", test_store_hears_changes);
  LODEX_TEST_ADD ("/store/broadcast/reload", test_store_reload_on_change);
  LODEX_TEST_ADD ("/store/batch", test_store_batch);
  LODEX_TEST_ADD ("/store/broadcast/keeps-local-edit", test_store_reload_keeps_local_edit);
  LODEX_TEST_ADD ("/store/broadcast/removed-elsewhere", test_store_removed_elsewhere);
  LODEX_TEST_ADD ("/store/busy", test_store_busy_database);
  g_test_add_func ("/store/open-failures", test_store_open_failures);
  g_test_add_func ("/store/update-property-string", test_store_update_property_string);
  g_test_add_func ("/store/make-resident", test_store_make_resident);

  return lodex_test_run_with_bus ();
}
