/* The searching sets: text, radius and app-data filters, the name sort,
 * pages, counts and unions, each against a computation of its own over the
 * same random places, alone and nested with the category filter and the
 * distance sort; renames by other programs; an older database. */

#include "lodex-test-utils.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace
{

struct Spot
{
  std::string id;
  const char *name; /* may be NULL */
  double latitude, longitude;
  const char *street;
  bool member;           /* of the category */
  const char *appdata;   /* the value of the key "app", or NULL */
};

/* Names with accents, other scripts, case, numbers, empty and NULL. */
const char *const words[] = {"Café", "cafe", "Zürich", "ZURICH", "Straße", "STRASSE", "Москва", "москва",
                             "Ελληνικά", "東京タワー", "Mill", "Station 9", "Station 10", "Øresund", "Ærø", "Škofja"};

std::vector<Spot>
make_spots (LodexStore *store, LodexCategory *category)
{
  g_autoptr (GRand) rand = g_rand_new_with_seed (2212);
  std::vector<Spot> spots;
  for (int i = 0; i < 300; i++)
    {
      Spot spot{};
      int kind = g_rand_int_range (rand, 0, 20);
      if (kind == 0)
        spot.name = nullptr;
      else if (kind == 1)
        spot.name = "";
      else
        {
          GString *name = g_string_new (words[g_rand_int_range (rand, 0, G_N_ELEMENTS (words))]);
          for (int n = g_rand_int_range (rand, 0, 3); n > 0; n--)
            g_string_append_printf (name, "%s%s", g_rand_boolean (rand) ? " " : "-",
                                    words[g_rand_int_range (rand, 0, G_N_ELEMENTS (words))]);
          spot.name = g_intern_string (name->str);
          g_string_free (name, TRUE);
        }
      /* a third near the 180th meridian, a third near the poles */
      switch (i % 3)
        {
        case 0:
          spot.latitude = g_rand_double_range (rand, -2, 2);
          spot.longitude = std::remainder (180 + g_rand_double_range (rand, -1.5, 1.5), 360);
          break;
        case 1:
          spot.latitude = (i % 2 ? 1 : -1) * g_rand_double_range (rand, 88.5, 90);
          spot.longitude = g_rand_double_range (rand, -180, 180);
          break;
        default:
          spot.latitude = g_rand_double_range (rand, 45, 48);
          spot.longitude = g_rand_double_range (rand, 5, 10);
        }
      spot.street = i % 7 == 0 ? "Bahnhofstraße" : nullptr;
      spot.member = i % 2 == 0;
      spot.appdata = i % 3 == 0 && i % 9 ? (i % 4 ? "yes" : "no") : nullptr;

      g_autoptr (LodexPlace) place = lodex_place_new (spot.name, spot.latitude, spot.longitude);
      if (spot.street)
        g_object_set (place, "street", spot.street, nullptr);
      g_assert_true (lodex_store_add_place (store, place));
      if (spot.member)
        g_assert_true (lodex_category_add_place (category, place));
      if (spot.appdata)
        g_assert_true (lodex_place_set_appdata (place, "app", spot.appdata));
      spot.id = _lodex_place_get_row (place)->id;
      spots.push_back (spot);
    }
  return spots;
}

/* The words of @text as a person compares them: no case (unless kept), no
 * accents on Latin letters (in other scripts they count, as in SQLite's
 * tokenizer), letters and digits only. */
std::vector<std::string>
words_of (const char *text, bool keep_case, bool stars = false)
{
  std::vector<std::string> found;
  if (!text)
    return found;
  g_autofree gchar *cased = keep_case ? g_strdup (text) : g_utf8_casefold (text, -1);
  g_autofree gchar *nfkd = g_utf8_normalize (cased, -1, G_NORMALIZE_NFKD);
  std::string word;
  bool latin = false;
  for (const char *p = nfkd;; p = g_utf8_next_char (p))
    {
      gunichar c = g_utf8_get_char (p);
      if (*p && g_unichar_ismark (c) && latin)
        continue;
      if (*p && !g_unichar_ismark (c))
        latin = g_unichar_get_script (c) == G_UNICODE_SCRIPT_LATIN;
      if (*p && (g_unichar_isalnum (c) || g_unichar_ismark (c)))
        {
          char utf8[8];
          word.append (utf8, g_unichar_to_utf8 (c, utf8));
          continue;
        }
      if (!word.empty ())
        found.push_back (word + (stars && *p == '*' ? "*" : ""));
      word.clear ();
      if (!*p)
        break;
    }
  return found;
}

bool
text_matches (const char *field, const char *text, LodexTextMatch match, bool keep_case)
{
  auto have = words_of (field, keep_case), want = words_of (text, keep_case, true);
  /* "caf*" is the beginning of a word, "cafe" a whole one */
  auto begins = [] (const std::string &w, const std::string &p) { return w.rfind (p, 0) == 0; };
  auto fits = [&] (const std::string &w, const std::string &p) {
    return p.back () == '*' ? begins (w, p.substr (0, p.size () - 1)) : w == p;
  };
  if (match == LODEX_TEXT_MATCH_EXACT)
    return have == words_of (text, keep_case);
  if (match == LODEX_TEXT_MATCH_STARTS_WITH)
    {
      want = words_of (text, keep_case);
      if (want.empty ())
        return true;
      if (have.size () < want.size ())
        return false;
      return std::equal (want.begin (), want.end () - 1, have.begin ()) && begins (have[want.size () - 1], want.back ());
    }
  return std::all_of (want.begin (), want.end (), [&] (const std::string &p) {
    return std::any_of (have.begin (), have.end (), [&] (const std::string &w) { return fits (w, p); });
  });
}

/* Worked out apart from the library: the chord between unit vectors. */
double
surface_distance (double lat1, double lon1, double lat2, double lon2)
{
  auto unit = [] (double lat, double lon, double v[3]) {
    lat *= G_PI / 180, lon *= G_PI / 180;
    v[0] = cos (lat) * cos (lon), v[1] = cos (lat) * sin (lon), v[2] = sin (lat);
  };
  double a[3], b[3];
  unit (lat1, lon1, a);
  unit (lat2, lon2, b);
  double chord = sqrt ((a[0] - b[0]) * (a[0] - b[0]) + (a[1] - b[1]) * (a[1] - b[1]) + (a[2] - b[2]) * (a[2] - b[2]));
  return 6371008.8 * 2 * asin (MIN (chord / 2, 1.0));
}

std::vector<std::string>
walk_ids (gpointer set)
{
  std::vector<std::string> ids;
  for (LodexPlace *place = lodex_set_first (LODEX_SET (set)); place; place = lodex_set_next (LODEX_SET (set)))
    {
      ids.emplace_back (_lodex_place_get_row (place)->id);
      g_object_unref (place);
    }
  g_assert_null (lodex_set_get_walk_error (LODEX_SET (set)));
  return ids;
}

using Ids = std::set<std::string>;

template <typename Pass>
Ids
expected (const std::vector<Spot> &spots, Pass pass)
{
  Ids ids;
  for (const Spot &spot : spots)
    if (pass (spot))
      ids.insert (spot.id);
  return ids;
}

/* The walk gives each place once and holds exactly @want; the count agrees
 * without a walk. */
void
assert_holds (gpointer set, const Ids &want)
{
  auto ids = walk_ids (set);
  g_test_message ("%s holds %zu", G_OBJECT_TYPE_NAME (set), want.size ());
  for (const std::string &id : ids)
    if (!want.count (id))
      g_test_message ("extra %s", id.c_str ());
  for (const std::string &id : want)
    if (std::find (ids.begin (), ids.end (), id) == ids.end ())
      g_test_message ("missing %s", id.c_str ());
  g_assert_cmpuint (ids.size (), ==, Ids (ids.begin (), ids.end ()).size ());
  g_assert_true (Ids (ids.begin (), ids.end ()) == want);
  g_autoptr (GError) error = nullptr;
  g_assert_cmpint (lodex_set_count (LODEX_SET (set), &error), ==, gint64 (want.size ()));
  g_assert_no_error (error);
}

} // namespace

static void
test_filters_against_computation (StoreFixture *f, gconstpointer)
{
  g_autoptr (LodexCategory) category = lodex_category_new ("Half", nullptr);
  g_assert_true (lodex_store_add_category (f->store, category));
  const std::vector<Spot> spots = make_spots (f->store, category);
  g_assert_cmpint (lodex_set_count (LODEX_SET (f->store), nullptr), ==, 300);

  /* the text filter, each way of matching, with and without case */
  struct
  {
    const char *text;
    LodexTextMatch match;
    bool keep_case;
  } const texts[] = {
    {"cafe", LODEX_TEXT_MATCH_CONTAINS, false},     {"zurich", LODEX_TEXT_MATCH_CONTAINS, false},
    {"STRASSE", LODEX_TEXT_MATCH_CONTAINS, false},  {"МОСКВА caf*", LODEX_TEXT_MATCH_CONTAINS, false},
    {"ΕΛΛΗΝΙΚΆ", LODEX_TEXT_MATCH_CONTAINS, false}, {"東京タワー", LODEX_TEXT_MATCH_CONTAINS, false},
    {"station 1", LODEX_TEXT_MATCH_STARTS_WITH, false}, {"Cafe Zur", LODEX_TEXT_MATCH_STARTS_WITH, false},
    {"mill", LODEX_TEXT_MATCH_EXACT, false},        {"stat* 1*", LODEX_TEXT_MATCH_CONTAINS, false},        {"Café", LODEX_TEXT_MATCH_CONTAINS, true},
    {"ZURICH", LODEX_TEXT_MATCH_EXACT, true},       {"Straße", LODEX_TEXT_MATCH_STARTS_WITH, true},
  };
  for (const auto &t : texts)
    {
      g_autoptr (LodexTextFilter) filter = lodex_text_filter_new (LODEX_SET (f->store), t.text);
      g_object_set (filter, "match", t.match, "case-sensitive", t.keep_case, nullptr);
      Ids want = expected (spots, [&] (const Spot &s) { return text_matches (s.name, t.text, t.match, t.keep_case); });
      g_test_message ("%s: %zu", t.text, want.size ());
      g_assert_cmpuint (want.size (), >, 0);
      assert_holds (filter, want);
    }

  /* the address too, when asked */
  g_autoptr (LodexTextFilter) street = lodex_text_filter_new (LODEX_SET (f->store), "bahnhofstrasse mill");
  g_object_set (street, "fields", LODEX_TEXT_FIELD_NAME | LODEX_TEXT_FIELD_ADDRESS, nullptr);
  assert_holds (street, expected (spots, [] (const Spot &s) {
                  return s.street && text_matches (s.name, "mill", LODEX_TEXT_MATCH_CONTAINS, false);
                }));

  /* circles across the 180th meridian, around a pole, and one holding
   * the pole without its centre on it */
  struct
  {
    double latitude, longitude, radius;
  } const circles[] = {{0.5, 179.8, 150000}, {-1, -179.9, 60000}, {90, 0, 120000}, {-89, 40, 200000}, {46, 7, 90000}};
  for (const auto &c : circles)
    {
      g_autoptr (LodexRadiusFilter) near = lodex_radius_filter_new (LODEX_SET (f->store), c.latitude, c.longitude, c.radius);
      Ids want = expected (spots, [&] (const Spot &s) {
        return surface_distance (s.latitude, s.longitude, c.latitude, c.longitude) <= c.radius;
      });
      g_assert_cmpuint (want.size (), >, 0);
      assert_holds (near, want);
    }

  /* nested, each level with its own parameters */
  g_autoptr (LodexCategoryFilter) members = lodex_category_filter_new (LODEX_SET (f->store));
  g_object_set (members, "category", category, nullptr);
  g_autoptr (LodexRadiusFilter) east = lodex_radius_filter_new (LODEX_SET (members), 0.5, 179.8, 300000);
  g_autoptr (LodexRadiusFilter) west = lodex_radius_filter_new (LODEX_SET (east), 0, -179, 300000);
  g_autoptr (LodexTextFilter) cafe = lodex_text_filter_new (LODEX_SET (west), "cafe");
  g_autoptr (LodexAppdataFilter) app = lodex_appdata_filter_new (LODEX_SET (cafe), "app", nullptr);
  auto in_chain = [] (const Spot &s) {
    return s.member && surface_distance (s.latitude, s.longitude, 0.5, 179.8) <= 300000
           && surface_distance (s.latitude, s.longitude, 0, -179) <= 300000
           && text_matches (s.name, "cafe", LODEX_TEXT_MATCH_CONTAINS, false);
  };
  assert_holds (cafe, expected (spots, in_chain));
  assert_holds (app, expected (spots, [&] (const Spot &s) { return in_chain (s) && s.appdata; }));
  g_object_set (app, "value", "no", nullptr);
  assert_holds (app, expected (spots, [&] (const Spot &s) { return in_chain (s) && g_strcmp0 (s.appdata, "no") == 0; }));
  g_autoptr (LodexTextFilter) any_cafe = lodex_text_filter_new (LODEX_SET (f->store), "cafe");
  g_autoptr (LodexTextFilter) zurich = lodex_text_filter_new (LODEX_SET (any_cafe), "zurich");
  assert_holds (zurich, expected (spots, [] (const Spot &s) {
                  return text_matches (s.name, "cafe", LODEX_TEXT_MATCH_CONTAINS, false)
                         && text_matches (s.name, "zurich", LODEX_TEXT_MATCH_CONTAINS, false);
                }));

  /* inside and around the distance sort: the order of distance, then id */
  const double point[2] = {1, 179.5};
  auto by_distance = [&] (Ids ids) {
    std::vector<std::pair<double, std::string>> order;
    for (const Spot &s : spots)
      if (ids.count (s.id))
        order.emplace_back (surface_distance (s.latitude, s.longitude, point[0], point[1]), s.id);
    std::sort (order.begin (), order.end ());
    std::vector<std::string> sorted;
    for (auto &o : order)
      sorted.push_back (o.second);
    return sorted;
  };
  Ids near_cafes = expected (spots, [&] (const Spot &s) {
    return surface_distance (s.latitude, s.longitude, 0.5, 179.8) <= 300000
           && text_matches (s.name, "cafe", LODEX_TEXT_MATCH_CONTAINS, false);
  });
  g_autoptr (LodexRadiusFilter) circle = lodex_radius_filter_new (LODEX_SET (f->store), 0.5, 179.8, 300000);
  g_autoptr (LodexTextFilter) cafes = lodex_text_filter_new (LODEX_SET (circle), "cafe");
  g_autoptr (LodexLocationSort) inside = lodex_location_sort_new (LODEX_SET (cafes));
  g_object_set (inside, "latitude", point[0], "longitude", point[1], nullptr);
  g_assert_true (walk_ids (inside) == by_distance (near_cafes));

  g_autoptr (LodexLocationSort) sort = lodex_location_sort_new (LODEX_SET (f->store));
  g_object_set (sort, "latitude", point[0], "longitude", point[1], nullptr);
  g_autoptr (LodexTextFilter) around_text = lodex_text_filter_new (LODEX_SET (sort), "cafe");
  g_autoptr (LodexRadiusFilter) around = lodex_radius_filter_new (LODEX_SET (around_text), 0.5, 179.8, 300000);
  g_assert_true (walk_ids (around) == by_distance (near_cafes));
  g_autoptr (LodexPage) nearest = lodex_page_new (LODEX_SET (around), 2, 3);
  auto all = by_distance (near_cafes);
  g_assert_true (walk_ids (nearest) == std::vector<std::string> (all.begin () + 2, all.begin () + 5));
  g_assert_cmpint (lodex_set_count (LODEX_SET (nearest), nullptr), ==, 3);

  /* the union of two sets with parameters of the same names */
  g_autoptr (LodexTextFilter) mills = lodex_text_filter_new (LODEX_SET (f->store), "mill");
  g_autoptr (LodexTextFilter) towers = lodex_text_filter_new (LODEX_SET (f->store), "東京タワー");
  g_autoptr (LodexNameSort) sorted_mills = lodex_name_sort_new (LODEX_SET (mills));
  g_autoptr (LodexUnion) either = lodex_union_new (LODEX_SET (sorted_mills), LODEX_SET (towers));
  g_autoptr (LodexPage) all_of_either = lodex_page_new (LODEX_SET (either), 0, -1);
  assert_holds (all_of_either, expected (spots, [] (const Spot &s) {
                  return text_matches (s.name, "mill", LODEX_TEXT_MATCH_CONTAINS, false)
                         || text_matches (s.name, "東京タワー", LODEX_TEXT_MATCH_CONTAINS, false);
                }));
}

static void
test_name_sort (StoreFixture *f, gconstpointer)
{
  const char *names[] = {"zurich", "Station 10", "Zürich", "Station 9", "Ärø", "aero", nullptr, "", "Zebra", "Bridge", "zurich"};
  std::vector<std::string> ids;
  for (const char *name : names)
    {
      g_autoptr (LodexPlace) place = lodex_place_new (name, 1, 1);
      g_assert_true (lodex_store_add_place (f->store, place));
      ids.emplace_back (_lodex_place_get_row (place)->id);
    }
  g_autoptr (LodexNameSort) sort = lodex_name_sort_new (LODEX_SET (f->store));
  std::vector<std::string> walked = walk_ids (sort);
  std::vector<std::string> names_walked;
  for (const std::string &id : walked)
    {
      g_autoptr (LodexPlace) place = lodex_store_get_place_by_id (f->store, id.c_str ());
      const char *name = _lodex_place_get_row (place)->name;
      names_walked.emplace_back (name ? name : "(null)");
    }
  /* case and accents only part equal names; numbers by value; no name first */
  const std::vector<std::string> want = {"(null)", "", "aero", "Ärø", "Bridge", "Station 9", "Station 10", "Zebra"};
  g_assert_true (std::vector<std::string> (names_walked.begin (), names_walked.begin () + 8) == want);
  std::set<std::string> zs (names_walked.begin () + 8, names_walked.end ());
  g_assert_true (zs == (std::set<std::string>{"zurich", "Zürich"}));
  /* equal keys in order of id */
  for (size_t i = 9; i < walked.size (); i++)
    g_assert_cmpstr (walked[i - 1].c_str (), <, walked[i].c_str ());

  g_object_set (sort, "descending", TRUE, nullptr);
  std::vector<std::string> reversed = walk_ids (sort);
  g_assert_true (std::equal (reversed.rbegin (), reversed.rend (), walked.begin ()));
  g_object_set (sort, "descending", FALSE, nullptr);

  /* a rename takes its place at once, and the pages follow the order */
  g_autoptr (LodexPlace) bridge = lodex_store_get_place_by_id (f->store, ids[9].c_str ());
  g_object_set (bridge, "name", "Zz top", nullptr);
  g_assert_true (lodex_place_commit (bridge));
  walked = walk_ids (sort);
  g_assert_cmpstr (walked.back ().c_str (), ==, ids[9].c_str ());
  for (guint offset : {0u, 3u, 10u, 11u})
    {
      g_autoptr (LodexPage) page = lodex_page_new (LODEX_SET (sort), offset, 4);
      auto end = walked.begin () + std::min<size_t> (offset + 4, walked.size ());
      g_assert_true (walk_ids (page) == std::vector<std::string> (walked.begin () + std::min<size_t> (offset, walked.size ()), end));
      /* a filter around the page keeps its order */
      g_autoptr (LodexTextFilter) any = lodex_text_filter_new (LODEX_SET (page), "");
      g_assert_true (walk_ids (any) == walk_ids (page));
    }
}

/* Another program's rename, by the library of another process and by
 * SQL without the library's functions, is found at once. */
static void
test_renamed_elsewhere (StoreFixture *f, gconstpointer)
{
  g_autoptr (LodexPlace) place = lodex_place_new ("Old Mill", 47, 8);
  g_assert_true (lodex_store_add_place (f->store, place));
  const gchar *id = _lodex_place_get_row (place)->id;
  g_autoptr (LodexTextFilter) filter = lodex_text_filter_new (LODEX_SET (f->store), "strasse");
  g_autoptr (LodexNameSort) sort = lodex_name_sort_new (LODEX_SET (f->store));
  g_assert_true (walk_ids (filter).empty ());

  const char *argv[] = {LODEX_TEST_TOOL, "--update-place", id, "--name", "Neue Straße", nullptr};
  g_autoptr (GSubprocess) tool = lodex_test_spawn (G_SUBPROCESS_FLAGS_STDOUT_SILENCE, argv);
  g_assert_true (g_subprocess_wait_check (tool, nullptr, nullptr));
  g_assert_true (walk_ids (filter) == std::vector<std::string>{id});

  g_autofree gchar *path = lodex_test_db_path ();
  sqlite3 *other = nullptr;
  g_assert_cmpint (sqlite3_open (path, &other), ==, SQLITE_OK);
  g_autofree gchar *rename = g_strdup_printf ("UPDATE places SET name = 'Grüne Gasse' WHERE id = '%s';"
                                              "INSERT INTO places (id, latitude, longitude, name, ctime) "
                                              "VALUES ('x', 0, 0, 'Äußere Straße', 0)", id);
  g_assert_cmpint (sqlite3_exec (other, rename, nullptr, nullptr, nullptr), ==, SQLITE_OK);
  sqlite3_close (other);
  g_assert_true (walk_ids (filter) == std::vector<std::string>{"x"});
  g_object_set (filter, "text", "grune", nullptr);
  g_assert_true (walk_ids (filter) == std::vector<std::string>{id});
  g_assert_true (walk_ids (sort) == (std::vector<std::string>{"x", id}));
}

/* A database of the released 0.1 gains the indexes when opened. */
static void
test_older_database (void)
{
  g_autofree gchar *path = lodex_test_db_path ();
  g_autofree gchar *schema_path = g_build_filename (LODEX_TEST_DATA, "database-schema-0.1", nullptr);
  g_autofree gchar *schema = nullptr;
  g_assert_true (g_file_get_contents (schema_path, &schema, nullptr, nullptr));
  sqlite3 *older = nullptr;
  g_assert_cmpint (sqlite3_open (path, &older), ==, SQLITE_OK);
  g_assert_cmpint (sqlite3_exec (older, schema, nullptr, nullptr, nullptr), ==, SQLITE_OK);
  g_assert_cmpint (sqlite3_exec (older,
                                 "PRAGMA user_version = 1;"
                                 "INSERT INTO places (id, latitude, longitude, name, ctime) VALUES "
                                 "('a', 1, 2, 'Café Größe', 0), ('b', 1, 2, 'Zürich', 0), ('c', 1, 2, 'Ålesund', 0);"
                                 "INSERT INTO places_address (place_id, street) VALUES ('b', 'Bahnhofstraße')",
                                 nullptr, nullptr, nullptr),
                   ==, SQLITE_OK);
  sqlite3_close (older);

  LodexStore *store = lodex_test_store_new ();
  g_autoptr (LodexTextFilter) filter = lodex_text_filter_new (LODEX_SET (store), "grosse");
  g_assert_cmpint (lodex_set_count (LODEX_SET (filter), nullptr), ==, 1);
  g_object_set (filter, "text", "BAHNHOFSTRASSE", "fields", LODEX_TEXT_FIELD_ADDRESS, nullptr);
  g_assert_true (walk_ids (filter) == std::vector<std::string>{"b"});
  g_autoptr (LodexNameSort) sort = lodex_name_sort_new (LODEX_SET (store));
  std::vector<std::string> names;
  for (LodexPlace *place = lodex_set_first (LODEX_SET (sort)); place; place = lodex_set_next (LODEX_SET (sort)))
    {
      names.emplace_back (_lodex_place_get_row (place)->name);
      g_object_unref (place);
    }
  g_assert_true (names == (std::vector<std::string>{"Ålesund", "Café Größe", "Zürich"}));
  g_clear_object (&filter);
  g_clear_object (&sort);
  lodex_test_settle ();
  g_assert_finalize_object (store);
}

int
main (int argc, char **argv)
{
  g_test_init (&argc, &argv, G_TEST_OPTION_ISOLATE_DIRS, nullptr);
  LODEX_TEST_ADD ("/search/filters", test_filters_against_computation);
  LODEX_TEST_ADD ("/search/name-sort", test_name_sort);
  LODEX_TEST_ADD ("/search/renamed-elsewhere", test_renamed_elsewhere);
  g_test_add_func ("/search/older-database", test_older_database);
  return lodex_test_run_with_bus ();
}
