/* Another process on the same bus and database, driven by a test: it waits
 * for a place to be added elsewhere, reports it and renames it; follows an
 * object; or writes in one of the ways other programs do. */

#include "lodex-test-utils.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

static int
rename_added_place (const char *new_name)
{
  LodexStore *store = lodex_test_store_new ();
  LodexTestRecorder added (store, "place-added");
  lodex_test_settle (); /* our store listens */
  printf ("ready\n");
  fflush (stdout);

  lodex_test_wait ([&] { return added.count > 0; });
  const char *id = static_cast<const char *> (added.ids->pdata[0]);
  LodexPlace *place = lodex_store_get_place_by_id (store, id);
  g_assert_nonnull (place);
  g_autofree gchar *name = nullptr;
  gdouble latitude, longitude;
  g_object_get (place, "name", &name, "latitude", &latitude, "longitude", &longitude, nullptr);
  printf ("added %s %s %.6f %.6f\n", id, name, latitude, longitude);
  fflush (stdout);

  g_object_set (place, "name", new_name, nullptr);
  lodex_place_commit (place);
  lodex_test_settle ();
  printf ("renamed\n");
  fflush (stdout);

  g_object_unref (place);
  g_object_unref (store);
  return 0;
}

static void
say (const char *format, ...) G_GNUC_PRINTF (1, 2);

static void
say (const char *format, ...)
{
  va_list args;
  va_start (args, format);
  vprintf (format, args);
  va_end (args);
  printf ("\n");
  fflush (stdout);
}

/* Holds one object of @kind and reports, line by line, what it and the
 * store say about it, until the object is removed elsewhere. */
static int
follow (const char *kind, const char *id)
{
  LodexStore *store = lodex_test_store_new ();
  GObject *object = nullptr;
  const char *property = "name";
  if (g_str_equal (kind, "place"))
    object = G_OBJECT (lodex_store_get_place_by_id (store, id));
  else if (g_str_equal (kind, "category"))
    object = G_OBJECT (lodex_store_get_category_by_id (store, id));
  else if (g_str_equal (kind, "image"))
    object = G_OBJECT (lodex_store_get_image_by_id (store, id)), property = "description";
  else if (g_str_equal (kind, "route"))
    object = G_OBJECT (lodex_store_get_route_by_id (store, id));
  g_assert_nonnull (object);

  g_autofree gchar *updated = g_strdup_printf ("%s-updated", kind);
  g_autofree gchar *removed = g_strdup_printf ("%s-removed", kind);
  bool gone = false;
  g_signal_connect (object, "changed", G_CALLBACK (+[] (GObject *o, const char *p) {
                      g_autofree gchar *value = nullptr;
                      g_object_get (o, p, &value, nullptr);
                      say ("changed %s", value);
                    }),
                    (gpointer) property);
  g_signal_connect (object, "removed", G_CALLBACK (+[] (GObject *o, LodexStore *, bool *gone) {
                      g_autofree gchar *kept = nullptr;
                      g_object_get (o, "id", &kept, nullptr);
                      say ("removed %s", kept);
                      *gone = true;
                    }),
                    &gone);
  g_signal_connect (store, updated, G_CALLBACK (+[] (LodexStore *, const gchar *id) { say ("store-updated %s", id); }),
                    nullptr);
  g_signal_connect (store, removed, G_CALLBACK (+[] (LodexStore *, const gchar *id) { say ("store-removed %s", id); }),
                    nullptr);
  lodex_test_settle (); /* our store listens */
  say ("ready");

  lodex_test_wait ([&] { return gone; });
  /* the store has forgotten it: a new lookup finds no live object */
  bool forgotten = g_str_equal (kind, "place")   ? _lodex_store_query_table (store, id) == nullptr
                   : g_str_equal (kind, "route") ? _lodex_store_query_route_table (store, id) == nullptr
                                                 : true;
  say (forgotten ? "forgotten" : "still registered");
  g_object_unref (object);
  g_object_unref (store);
  return 0;
}

/* Adds @count places and exits without releasing the store, as a careless
 * program would: its broadcasts must all reach the bus all the same. */
static int
add_places (int count)
{
  LodexStore *store = lodex_test_store_new ();
  for (int i = 0; i < count; i++)
    {
      g_autoptr (LodexPlace) place = lodex_place_new ("added by a peer", 1, 2);
      g_assert_true (lodex_store_add_place (store, place));
    }
  return 0;
}

/* Sets a text property of a place and writes it; exits 1 if that fails. */
static int
set_property (const char *id, const char *property, const char *value)
{
  LodexStore *store = lodex_test_store_new ();
  LodexPlace *place = lodex_store_get_place_by_id (store, id);
  g_assert_nonnull (place);
  g_object_set (place, property, value, nullptr);
  gboolean written = lodex_place_commit (place);
  g_object_unref (place);
  g_object_unref (store);
  return written ? 0 : 1;
}

/* Removes a place. */
static int
remove_place (const char *id)
{
  LodexStore *store = lodex_test_store_new ();
  LodexPlace *place = lodex_store_get_place_by_id (store, id);
  g_assert_nonnull (place);
  g_assert_true (lodex_store_remove_place (store, place));
  g_object_unref (place);
  g_object_unref (store);
  return 0;
}

/* Renames a place and adds another without ringing, as a writer killed
 * between its commits and its notices; says "written" and waits to be
 * killed. */
static int
write_silently (const char *id, const char *name)
{
  _lodex_tracker_skip_doorbells (TRUE);
  LodexStore *store = lodex_test_store_new ();
  LodexPlace *place = lodex_store_get_place_by_id (store, id);
  g_assert_nonnull (place);
  g_object_set (place, "name", name, nullptr);
  g_assert_true (lodex_place_commit (place));
  g_autoptr (LodexPlace) added = lodex_place_new ("added silently", 3, 4);
  g_assert_true (lodex_store_add_place (store, added));
  say ("written");
  for (;;)
    g_usleep (G_USEC_PER_SEC);
}

/* Renames a place with plain SQLite, as another program would. */
static int
rename_with_sql (const char *id, const char *name)
{
  g_autofree gchar *path = lodex_test_db_path ();
  sqlite3 *db = nullptr;
  g_assert_cmpint (sqlite3_open (path, &db), ==, SQLITE_OK);
  sqlite3_stmt *update = nullptr;
  g_assert_cmpint (sqlite3_prepare_v2 (db, "UPDATE places SET name = ?1 WHERE id = ?2", -1, &update, nullptr), ==,
                   SQLITE_OK);
  sqlite3_bind_text (update, 1, name, -1, SQLITE_TRANSIENT);
  sqlite3_bind_text (update, 2, id, -1, SQLITE_TRANSIENT);
  g_assert_cmpint (sqlite3_step (update), ==, SQLITE_DONE);
  sqlite3_finalize (update);
  sqlite3_close (db);
  return 0;
}

/* Renames a place twice without ringing, prunes all the journal can lose
 * (all but the newest row), then rings: whoever had not read the first
 * rename finds it gone. */
static int
rename_and_prune (const char *id, const char *name)
{
  _lodex_tracker_skip_doorbells (TRUE);
  LodexStore *store = lodex_test_store_new ();
  LodexPlace *place = lodex_store_get_place_by_id (store, id);
  g_assert_nonnull (place);
  for (const char *text : {"on the way", name})
    {
      g_object_set (place, "name", text, nullptr);
      g_assert_true (lodex_place_commit (place));
    }
  g_assert_true (_lodex_db_prune_journal (_lodex_set_get_db (LODEX_SET (store)), 0, 0, G_MAXINT64));
  g_assert_cmpint (_lodex_db_journal_end (_lodex_set_get_db (LODEX_SET (store))), >, 0);
  _lodex_tracker_skip_doorbells (FALSE);
  _lodex_store_announce_batch (store);
  g_object_unref (place);
  g_object_unref (store);
  return 0;
}

/* Two stores; on a line from standard input, each adds a place, one is
 * released and the other is not: the bus is waited for by each. */
static int
add_on_cue (void)
{
  LodexStore *released = lodex_test_store_new ();
  LodexStore *kept = lodex_test_store_new ();
  say ("connected");
  char line[16];
  if (!fgets (line, sizeof line, stdin))
    return 1;
  for (LodexStore *store : {released, kept})
    {
      g_autoptr (LodexPlace) place = lodex_place_new ("added on cue", 1, 2);
      g_assert_true (lodex_store_add_place (store, place));
    }
  g_object_unref (released);
  return 0;
}

/* Opens a store with a short wait for the bus, and says how long it took. */
static int
open_store (void)
{
  _lodex_tracker_set_bus_timeout (300);
  gint64 start = g_get_monotonic_time ();
  LodexStore *store = lodex_test_store_new ();
  say ("opened in %d ms", int ((g_get_monotonic_time () - start) / 1000));
  g_object_unref (store);
  return 0;
}

/* Writes as told, a line of standard input each, and says "ok" (or
 * "added ID") once it is committed and rung:
 *   add NAME LATITUDE LONGITUDE | rename ID NAME | move ID LATITUDE LONGITUDE
 *   | remove ID | add-many N NAME LATITUDE LONGITUDE STEP (one batch, each
 *   STEP degrees north of the last)
 *   | rename-category ID NAME */
static int
script (void)
{
  LodexStore *store = lodex_test_store_new ();
  say ("ready");
  char line[1024];
  while (fgets (line, sizeof line, stdin))
    {
      g_strchomp (line);
      g_auto (GStrv) word = g_strsplit (line, "\t", -1);
      guint n = g_strv_length (word);
      if (n == 4 && g_str_equal (word[0], "add"))
        {
          g_autoptr (LodexPlace) place = lodex_place_new (word[1], g_ascii_strtod (word[2], nullptr),
                                                          g_ascii_strtod (word[3], nullptr));
          g_assert_true (lodex_store_add_place (store, place));
          say ("added %s", _lodex_place_get_row (place)->id);
          continue;
        }
      if (n == 6 && g_str_equal (word[0], "add-many"))
        {
          g_assert_true (_lodex_store_batch_begin (store));
          for (int i = 0; i < atoi (word[1]); i++)
            {
              gdouble step = g_ascii_strtod (word[5], nullptr);
              g_autoptr (LodexPlace) place = lodex_place_new (word[2], g_ascii_strtod (word[3], nullptr) + i * step,
                                                              g_ascii_strtod (word[4], nullptr));
              g_assert_true (lodex_store_add_place (store, place));
            }
          g_assert_true (_lodex_store_batch_end (store));
        }
      else if (n == 3 && g_str_equal (word[0], "rename-category"))
        {
          g_autoptr (LodexCategory) category = lodex_store_get_category_by_id (store, word[1]);
          g_assert_nonnull (category);
          g_object_set (category, "name", word[2], nullptr);
        }
      else if (n >= 2)
        {
          g_autoptr (LodexPlace) place = lodex_store_get_place_by_id (store, word[1]);
          if (!place)
            g_error ("no place '%s' in line '%s'", word[1], line);
          if (n == 3 && g_str_equal (word[0], "rename"))
            g_object_set (place, "name", word[2], nullptr);
          else if (n == 4 && g_str_equal (word[0], "move"))
            g_object_set (place, "latitude", g_ascii_strtod (word[2], nullptr), "longitude",
                          g_ascii_strtod (word[3], nullptr), nullptr);
          else if (n == 2 && g_str_equal (word[0], "remove"))
            g_assert_true (lodex_store_remove_place (store, place));
          else
            return 2;
          if (lodex_place_has_id (place) && _lodex_place_is_dirty (place))
            g_assert_true (lodex_place_commit (place));
        }
      else
        return 2;
      lodex_test_settle ();
      say ("ok");
    }
  g_object_unref (store);
  return 0;
}

int
main (int argc, char **argv)
{
  if (argc == 2 && g_str_equal (argv[1], "script"))
    return script ();
  if (argc == 3 && g_str_equal (argv[1], "add"))
    return add_places (atoi (argv[2]));
  if (argc == 5 && g_str_equal (argv[1], "set"))
    return set_property (argv[2], argv[3], argv[4]);
  if (argc == 3 && g_str_equal (argv[1], "remove"))
    return remove_place (argv[2]);
  if (argc == 2 && g_str_equal (argv[1], "open"))
    return open_store ();
  if (argc == 3 && g_str_equal (argv[1], "rename"))
    return rename_added_place (argv[2]);
  if (argc == 4 && g_str_equal (argv[1], "follow"))
    return follow (argv[2], argv[3]);
  if (argc == 4 && g_str_equal (argv[1], "write-silently"))
    return write_silently (argv[2], argv[3]);
  if (argc == 4 && g_str_equal (argv[1], "rename-with-sql"))
    return rename_with_sql (argv[2], argv[3]);
  if (argc == 4 && g_str_equal (argv[1], "rename-and-prune"))
    return rename_and_prune (argv[2], argv[3]);
  if (argc == 2 && g_str_equal (argv[1], "add-on-cue"))
    return add_on_cue ();
  g_printerr ("usage: %s rename NEW-NAME | follow KIND ID | add N | set ID PROPERTY VALUE | remove ID | open\n"
              "       | write-silently ID NAME | rename-with-sql ID NAME | rename-and-prune ID NAME | add-on-cue\n",
              argv[0]);
  return 2;
}
