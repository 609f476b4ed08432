/* The SQL functions that our own connections bring to the searches: the
 * library's folding and matching of words, the surface distance of the
 * radius filter, and the key of the name sort. Triggers never call them:
 * other programs write the database too, and have only SQLite's built-ins. */

#include "lodex-search-private.hpp"
#include "lodex-location-sort-private.h"

#include <algorithm>
#include <clocale>
#include <cstring>
#include <string>
#include <vector>

namespace lodex
{

gchar *
fold_text (const char *text, gssize length, bool keep_case) noexcept
{
  if (!text)
    return nullptr;
  /* another program may have stored anything */
  g_autofree gchar *valid = g_utf8_make_valid (text, length);
  g_autofree gchar *cased = keep_case ? g_strdup (valid) : g_utf8_casefold (valid, -1);
  g_autofree gchar *decomposed = g_utf8_normalize (cased, -1, G_NORMALIZE_ALL);
  if (!decomposed)
    return g_strdup ("");
  GString *folded = g_string_sized_new (strlen (decomposed));
  for (const char *p = decomposed; *p; p = g_utf8_next_char (p))
    {
      gunichar c = g_utf8_get_char (p);
      switch (g_unichar_type (c))
        {
        case G_UNICODE_NON_SPACING_MARK:
        case G_UNICODE_SPACING_MARK:
        case G_UNICODE_ENCLOSING_MARK:
          break; /* the accents of a decomposed letter */
        default:
          g_string_append_unichar (folded, c);
        }
    }
  return g_string_free (folded, FALSE);
}

std::vector<std::string>
split_words (const char *folded, bool stars)
{
  std::vector<std::string> words;
  const char *start = nullptr;
  for (const char *p = folded;; p = g_utf8_next_char (p))
    {
      bool in_word = *p && g_unichar_isalnum (g_utf8_get_char (p));
      if (in_word && !start)
        start = p;
      else if (!in_word && start)
        {
          words.emplace_back (start, p - start);
          if (stars && *p == '*')
            words.back () += '*';
          start = nullptr;
        }
      if (!*p)
        break;
    }
  return words;
}

std::vector<std::string>
fold_words (const char *text, bool keep_case, bool stars)
{
  g_autofree gchar *folded = fold_text (text, -1, keep_case);
  return folded ? split_words (folded, stars) : std::vector<std::string>{};
}

bool
words_match (const std::vector<std::string> &pattern,
             const std::vector<std::string> &field,
             LodexTextMatch match) noexcept
{
  /* a pattern word ending in '*' is a word's beginning */
  auto starred = [] (const std::string &p) { return !p.empty () && p.back () == '*'; };
  auto bare = [&] (const std::string &p) { return starred (p) ? p.substr (0, p.size () - 1) : p; };
  auto begins = [] (const std::string &word, const std::string &prefix) {
    return word.compare (0, prefix.size (), prefix) == 0;
  };
  auto fits = [&] (const std::string &word, const std::string &p) {
    return starred (p) ? begins (word, bare (p)) : word == p;
  };
  switch (match)
    {
    case LODEX_TEXT_MATCH_EXACT:
      if (field.size () != pattern.size ())
        return false;
      for (size_t i = 0; i < pattern.size (); i++)
        if (field[i] != bare (pattern[i]))
          return false;
      return true;
    case LODEX_TEXT_MATCH_STARTS_WITH:
      if (pattern.empty ())
        return true;
      if (field.size () < pattern.size ())
        return false;
      for (size_t i = 0; i + 1 < pattern.size (); i++)
        if (!fits (field[i], pattern[i]))
          return false;
      return begins (field[pattern.size () - 1], bare (pattern.back ()));
    case LODEX_TEXT_MATCH_CONTAINS:
    default:
      for (const std::string &p : pattern)
        if (std::none_of (field.begin (), field.end (), [&] (const std::string &w) { return fits (w, p); }))
          return false;
      return true;
    }
}

namespace
{

struct Pattern
{
  std::vector<std::string> words;
};

void
free_pattern (void *data)
{
  delete static_cast<Pattern *> (data);
}

/* lodex_words_match (pattern, match, case_sensitive, field...): whether the
 * fields hold the words of the pattern as the text filter means it. For
 * "contains" each word may be in any field; otherwise one field must
 * match whole. */
void
words_match_func (sqlite3_context *context, int argc, sqlite3_value **argv) noexcept
{
  if (argc < 3)
    {
      sqlite3_result_error (context, "lodex_words_match: too few arguments", -1);
      return;
    }
  const bool keep_case = sqlite3_value_int (argv[2]) != 0;
  auto pattern = static_cast<Pattern *> (sqlite3_get_auxdata (context, 0));
  if (!pattern)
    {
      try
        {
          pattern = new Pattern{fold_words (reinterpret_cast<const char *> (sqlite3_value_text (argv[0])), keep_case, true)};
        }
      catch (...)
        {
          sqlite3_result_error_nomem (context);
          return;
        }
      sqlite3_set_auxdata (context, 0, pattern, free_pattern);
      pattern = static_cast<Pattern *> (sqlite3_get_auxdata (context, 0));
      if (!pattern)
        {
          sqlite3_result_error_nomem (context);
          return;
        }
    }
  const auto match = LodexTextMatch (sqlite3_value_int (argv[1]));

  try
    {
      if (match == LODEX_TEXT_MATCH_CONTAINS)
        {
          std::vector<std::string> all;
          for (int i = 3; i < argc; i++)
            {
              auto words = fold_words (reinterpret_cast<const char *> (sqlite3_value_text (argv[i])), keep_case);
              all.insert (all.end (), words.begin (), words.end ());
            }
          sqlite3_result_int (context, words_match (pattern->words, all, match));
          return;
        }
      for (int i = 3; i < argc; i++)
        if (sqlite3_value_type (argv[i]) != SQLITE_NULL
            && words_match (pattern->words, fold_words (reinterpret_cast<const char *> (sqlite3_value_text (argv[i])), keep_case), match))
          {
            sqlite3_result_int (context, 1);
            return;
          }
      sqlite3_result_int (context, 0);
    }
  catch (...)
    {
      sqlite3_result_error_nomem (context);
    }
}

/* lodex_surface_distance (latitude, longitude, centre latitude, centre
 * longitude): metres along the sphere, as the distance sort measures. */
void
surface_distance_func (sqlite3_context *context, int argc, sqlite3_value **argv) noexcept
{
  LodexDistanceOrigin origin;
  _lodex_location_sort_origin_init (&origin, sqlite3_value_double (argv[2]), sqlite3_value_double (argv[3]), 0.0);
  sqlite3_result_double (context, _lodex_location_sort_distance (&origin, sqlite3_value_double (argv[0]),
                                                                 sqlite3_value_double (argv[1]), 0.0));
}

/* lodex_name_key (name): the key that orders names as the locale does. */
void
name_key_func (sqlite3_context *context, int argc, sqlite3_value **argv) noexcept
{
  const char *name = reinterpret_cast<const char *> (sqlite3_value_text (argv[0]));
  g_autofree gchar *key = name_key (name);
  sqlite3_result_blob (context, key, int (strlen (key)), SQLITE_TRANSIENT);
}

} // namespace

/* Without a language (the C locale) the library's own folding stands in
 * for the locale's rules: case and accents do not count. */
static bool
plain_locale ()
{
  const char *collate = setlocale (LC_COLLATE, nullptr);
  return !collate || g_str_equal (collate, "C") || g_str_equal (collate, "POSIX") || g_str_has_prefix (collate, "C.");
}

gchar *
name_key (const char *name) noexcept
{
  if (!name || !*name)
    return g_strdup ("");
  g_autofree gchar *valid = g_utf8_make_valid (name, -1);
  if (plain_locale ())
    {
      g_autofree gchar *folded = fold_text (valid, -1, false);
      return g_utf8_collate_key_for_filename (folded, -1);
    }
  return g_utf8_collate_key_for_filename (valid, -1);
}

gchar *
name_key_scheme () noexcept
{
  const char *collate = setlocale (LC_COLLATE, nullptr);
  return g_strdup_printf ("1 %s", plain_locale () ? "C" : collate);
}

bool
register_search_functions (sqlite3 *db) noexcept
{
  const int flags = SQLITE_UTF8 | SQLITE_DETERMINISTIC;
  return sqlite3_create_function_v2 (db, "lodex_words_match", -1, flags, nullptr, words_match_func, nullptr, nullptr, nullptr) == SQLITE_OK
         && sqlite3_create_function_v2 (db, "lodex_surface_distance", 4, flags, nullptr, surface_distance_func, nullptr, nullptr, nullptr) == SQLITE_OK
         /* not deterministic: it follows the locale */
         && sqlite3_create_function_v2 (db, "lodex_name_key", 1, SQLITE_UTF8, nullptr, name_key_func, nullptr, nullptr, nullptr) == SQLITE_OK;
}

} // namespace lodex

gboolean
_lodex_search_register (sqlite3 *db)
{
  return lodex::register_search_functions (db);
}
