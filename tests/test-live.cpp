/* Live objects and lists following what another process writes. */

#include "lodex-test-utils.h"

#include <algorithm>
#include <string>
#include <vector>

/* Another process writing line by line (lodex-test-peer's "script"); each
 * write returns once this process's store has read the batch it made. */
struct Peer
{
  LodexStore *store;
  GSubprocess *process;
  GDataInputStream *from;
  guint batches = 0;
  gulong handler;

  explicit Peer (LodexStore *store) : store (store)
  {
    const char *argv[] = {LODEX_TEST_PEER, "script", nullptr};
    process = lodex_test_spawn (GSubprocessFlags (G_SUBPROCESS_FLAGS_STDIN_PIPE | G_SUBPROCESS_FLAGS_STDOUT_PIPE), argv);
    from = g_data_input_stream_new (g_subprocess_get_stdout_pipe (process));
    handler = g_signal_connect_swapped (store, "changes", G_CALLBACK (+[] (guint *n) { (*n)++; }), &batches);
    std::string ready = read ();
    g_assert_cmpstr (ready.c_str (), ==, "ready");
  }

  ~Peer ()
  {
    g_signal_handler_disconnect (store, handler);
    g_output_stream_close (g_subprocess_get_stdin_pipe (process), nullptr, nullptr);
    g_assert_true (g_subprocess_wait_check (process, nullptr, nullptr));
    g_object_unref (from);
    g_object_unref (process);
  }

  std::string
  read ()
  {
    g_autoptr (GError) error = nullptr;
    g_autofree gchar *line = g_data_input_stream_read_line_utf8 (from, nullptr, nullptr, &error);
    g_assert_no_error (error);
    g_assert_nonnull (line);
    return line;
  }

  /* Tab-separated words; the peer's answer. */
  std::string
  write (const std::string &command)
  {
    guint before = batches;
    std::string line = command + "\n";
    g_assert_true (g_output_stream_write_all (g_subprocess_get_stdin_pipe (process), line.data (), line.size (),
                                              nullptr, nullptr, nullptr));
    std::string answer = read ();
    lodex_test_wait ([&] { return batches > before; });
    return answer;
  }
};

static std::string
words (std::initializer_list<std::string> list)
{
  std::string line;
  for (const std::string &word : list)
    line += (line.empty () ? "" : "\t") + word;
  return line;
}

static std::string
number (gdouble value)
{
  char text[G_ASCII_DTOSTR_BUF_SIZE];
  return g_ascii_dtostr (text, sizeof text, value);
}

/* The names of the properties notified, in order, and whether "changed"
 * came after all of them. */
struct Notified
{
  std::vector<std::string> names;
  guint changed = 0;
  bool notify_after_changed = false;

  explicit Notified (gpointer object)
  {
    g_signal_connect (object, "notify", G_CALLBACK (+[] (GObject *, GParamSpec *pspec, Notified *self) {
                        self->names.push_back (pspec->name);
                        self->notify_after_changed |= self->changed > 0;
                      }),
                      this);
    g_signal_connect_swapped (object, "changed", G_CALLBACK (+[] (Notified *self) { self->changed++; }), this);
  }

  void
  check (std::vector<std::string> expected)
  {
    lodex_test_wait ([&] { return changed > 0; });
    std::sort (names.begin (), names.end ());
    std::sort (expected.begin (), expected.end ());
    g_assert_true (names == expected);
    g_assert_false (notify_after_changed);
    names.clear ();
    changed = 0;
  }
};

/* A place another process renames, then moves, notifies those properties
 * and no other, before "changed". */
static void
test_place_notify (StoreFixture *f, gconstpointer)
{
  g_autoptr (LodexPlace) place = lodex_place_new ("Old name", 45.0, 5.0);
  g_object_set (place, "comment", "kept", "street", "Rue Haute", nullptr);
  g_assert_true (lodex_store_add_place (f->store, place));
  g_autofree gchar *street = nullptr;
  g_object_get (place, "street", &street, nullptr); /* the address is read */
  Notified notified (place);
  {
    Peer peer (f->store);
    std::string id = _lodex_place_get_row (place)->id; /* the row is replaced on reload */
    peer.write (words ({"rename", id, "New name"}));
    notified.check ({"name"});
    peer.write (words ({"move", id, "45.5", "5.5"}));
    notified.check ({"latitude", "longitude"});
  }
  g_autofree gchar *name = nullptr;
  g_object_get (place, "name", &name, nullptr);
  g_assert_cmpstr (name, ==, "New name");
}

static void
test_category_notify (StoreFixture *f, gconstpointer)
{
  g_autoptr (LodexCategory) category = lodex_category_new ("Old name", "kept");
  g_assert_true (lodex_store_add_category (f->store, category));
  Notified notified (category);
  {
    Peer peer (f->store);
    peer.write (words ({"rename-category", _lodex_category_get_row (category)->id, "New name"}));
    notified.check ({"name"});
  }
}

/* The ids of a set, walked afresh. */
static std::vector<std::string>
walk_ids (LodexSet *set)
{
  std::vector<std::string> ids;
  for (LodexPlace *place = lodex_set_first (set); place; place = lodex_set_next (set))
    {
      ids.push_back (_lodex_place_get_row (place)->id);
      g_object_unref (place);
    }
  return ids;
}

static std::vector<std::string>
model_ids (GListModel *model)
{
  std::vector<std::string> ids;
  for (guint i = 0; i < g_list_model_get_n_items (model); i++)
    {
      g_autoptr (LodexPlace) place = LODEX_PLACE (g_list_model_get_item (model, i));
      ids.push_back (_lodex_place_get_row (place)->id);
    }
  return ids;
}

/* What items-changed said, replayed on a copy of the list. */
struct Replay
{
  std::vector<std::string> ids;
  guint signals = 0;

  explicit Replay (GListModel *model) : ids (model_ids (model))
  {
    g_signal_connect (model, "items-changed",
                      G_CALLBACK (+[] (GListModel *model, guint position, guint removed, guint added, Replay *self) {
                        g_assert_cmpuint (position + removed, <=, self->ids.size ());
                        self->ids.erase (self->ids.begin () + position, self->ids.begin () + position + removed);
                        for (guint i = 0; i < added; i++)
                          {
                            g_autoptr (LodexPlace) place = LODEX_PLACE (g_list_model_get_item (model, position + i));
                            self->ids.insert (self->ids.begin () + position + i, _lodex_place_get_row (place)->id);
                          }
                        self->signals++;
                      }),
                      this);
  }
};

/* Models over a text filter inside a distance sort, a distance sort inside
 * a text filter, and name sorts, against fresh walks after each of a random series
 * of writes by another process; replaying their items-changed on a copy
 * gives the same list. */
static void
test_list_model_follows (StoreFixture *f, gconstpointer)
{
  g_autoptr (GRand) rand = g_rand_new_with_seed (2326);
  auto position = [&] { return number (45.0 + g_rand_double_range (rand, -0.5, 0.5)); };
  auto name = [&] { return (g_rand_boolean (rand) ? "Café " : "Hotel ") + std::to_string (g_rand_int (rand)); };

  std::vector<std::string> ids;
  for (int i = 0; i < 20; i++)
    {
      std::string named = name ();
      gdouble latitude = 45.0 + g_rand_double_range (rand, -0.5, 0.5);
      gdouble longitude = 45.0 + g_rand_double_range (rand, -0.5, 0.5);
      g_autoptr (LodexPlace) place = lodex_place_new (named.c_str (), latitude, longitude);
      g_assert_true (lodex_store_add_place (f->store, place));
      ids.push_back (_lodex_place_get_row (place)->id);
    }
  lodex_test_settle ();

  g_autoptr (LodexTextFilter) cafes = lodex_text_filter_new (LODEX_SET (f->store), "cafe");
  g_autoptr (LodexLocationSort) sorted_cafes = lodex_location_sort_new (LODEX_SET (cafes));
  g_autoptr (LodexLocationSort) sorted = lodex_location_sort_new (LODEX_SET (f->store));
  g_autoptr (LodexTextFilter) cafes_sorted = lodex_text_filter_new (LODEX_SET (sorted), "cafe");
  for (LodexLocationSort *sort : {sorted_cafes, sorted})
    g_object_set (sort, "latitude", 45.0, "longitude", 45.0, nullptr);

  g_autoptr (LodexNameSort) cafes_by_name = lodex_name_sort_new (LODEX_SET (cafes));
  g_autoptr (LodexNameSort) by_name = lodex_name_sort_new (LODEX_SET (f->store));
  g_object_set (by_name, "descending", TRUE, nullptr);

  LodexSet *sets[] = {LODEX_SET (sorted_cafes), LODEX_SET (cafes_sorted), LODEX_SET (cafes_by_name),
                      LODEX_SET (by_name)};
  const int n_models = G_N_ELEMENTS (sets);
  LodexListModel *models[n_models];
  std::vector<Replay *> replays;
  for (int i = 0; i < n_models; i++)
    {
      models[i] = lodex_list_model_new (sets[i]);
      replays.push_back (new Replay (G_LIST_MODEL (models[i])));
      g_assert_true (model_ids (G_LIST_MODEL (models[i])) == walk_ids (sets[i]));
    }
  g_assert_cmpuint (g_list_model_get_n_items (G_LIST_MODEL (models[0])), >, 3);

  {
    Peer peer (f->store);
    for (int step = 0; step < 40; step++)
      {
        const std::string &some = ids[g_rand_int_range (rand, 0, ids.size ())];
        switch (g_rand_int_range (rand, 0, 4))
          {
          case 0:
            {
              std::string added = peer.write (words ({"add", name (), position (), position ()}));
              g_assert_true (g_str_has_prefix (added.c_str (), "added "));
              ids.push_back (added.substr (6));
              break;
            }
          case 1:
            {
              std::vector<std::string> before = walk_ids (sets[0]);
              guint signals = replays[0]->signals;
              peer.write (words ({"rename", some, name ()}));
              /* staying where it was, it is told by notify alone */
              if (walk_ids (sets[0]) == before)
                g_assert_cmpuint (replays[0]->signals, ==, signals);
              break;
            }
          case 2:
            peer.write (words ({"move", some, position (), position ()}));
            break;
          default:
            if (ids.size () > 5)
              {
                peer.write (words ({"remove", some}));
                ids.erase (std::find (ids.begin (), ids.end (), some));
              }
          }
        for (int i = 0; i < n_models; i++)
          {
            std::vector<std::string> walked = walk_ids (sets[i]);
            g_assert_true (model_ids (G_LIST_MODEL (models[i])) == walked);
            g_assert_true (replays[i]->ids == walked);
          }
      }

    /* many places at once: a few runs of positions told each, more as
     * one (placed one by one, or read whole) */
    struct
    {
      const char *count, *latitude, *step;
      bool one;
    } batches[] = {{"100", "44.6", "0.008", false}, {"200", "44.602", "0.004", true}, {"300", "44.601", "0.003", true}};
    for (const auto &batch : batches)
      {
        guint before = replays[0]->signals;
        peer.write (words ({"add-many", batch.count, "Café du lot", batch.latitude, "45.0", batch.step}));
        g_assert_cmpuint (replays[0]->signals, >, before);
        g_assert_cmpuint (replays[0]->signals, <=, before + (batch.one ? 1 : 8));
        for (int i = 0; i < n_models; i++)
          g_assert_true (replays[i]->ids == walk_ids (sets[i]));
      }
  }

  for (int i = 0; i < n_models; i++)
    {
      delete replays[i];
      g_assert_finalize_object (models[i]);
    }
}

int
main (int argc, char **argv)
{
  g_test_init (&argc, &argv, G_TEST_OPTION_ISOLATE_DIRS, nullptr);
  LODEX_TEST_ADD ("/place/notify/other-process", test_place_notify);
  LODEX_TEST_ADD ("/category/notify/other-process", test_category_notify);
  LODEX_TEST_ADD ("/list-model/follows-other-process", test_list_model_follows);
  return lodex_test_run_with_bus ();
}
