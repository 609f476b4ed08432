#pragma once

/* What the searching sets share: the library's folding of text, the SQL
 * functions of our connections, parameter names that no inner set uses,
 * and the walk of a filter or page around a distance sort, which goes by
 * the sort's rings. */

#include "lodex-set-wrapper.hpp"

#include <initializer_list>
#include <string>
#include <vector>

namespace lodex
{

/* (transfer full): @text without case (unless @keep_case) and accents:
 * case folded, decomposed, marks dropped ("Straße" gives "strasse"). */
gchar *fold_text (const char *text, gssize length, bool keep_case) noexcept;
/* The words of folded text: runs of letters and digits; with @stars, a
 * word followed by '*' keeps it, as the mark of a word's beginning. */
std::vector<std::string> split_words (const char *folded, bool stars = false);
std::vector<std::string> fold_words (const char *text, bool keep_case, bool stars = false);
bool words_match (const std::vector<std::string> &pattern,
                  const std::vector<std::string> &field,
                  LodexTextMatch match) noexcept;

/* (transfer full): the name sort's key of @name in the current locale. */
gchar *name_key (const char *name) noexcept;
/* (transfer full): what the keys depend on: stored beside them. */
gchar *name_key_scheme () noexcept;

/* lodex_words_match, lodex_surface_distance and lodex_name_key on @db. */
bool register_search_functions (sqlite3 *db) noexcept;

/* (transfer full): "" or "_N", the first suffix that makes every name of
 * @bases ("text" for ":text") a parameter @inner does not use. */
gchar *unused_suffix (const char *inner, std::initializer_list<const char *> bases) noexcept;

/* Whether the places of @set are a subset of its inner set's, in its order:
 * the filters. */
bool is_filter (LodexSet *set) noexcept;

/* (transfer full) (nullable): a distance sort with the places of @set in
 * @set's order, made of copies of its filters inside the sort that @set
 * walks around; NULL when @set has no such sort inside. A filter or a page
 * around a sort walks this one, by rings, instead of one statement that
 * sorts every place. */
LodexSet *equivalent_sort (LodexSet *set) noexcept;

/* A walk of another set, with places skipped and a limit. */
class DelegatedWalk
{
public:
  DelegatedWalk () noexcept = default;
  ~DelegatedWalk () { end (); }
  DelegatedWalk (const DelegatedWalk &) = delete;
  DelegatedWalk &operator= (const DelegatedWalk &) = delete;

  /* (transfer full) (nullable): takes @walked. */
  LodexPlace *first (LodexSet *walked, guint skip, gint limit) noexcept;
  LodexPlace *next () noexcept;
  bool
  walking () const noexcept
  {
    return walked_ != nullptr;
  }
  void end () noexcept;

private:
  LodexPlace *next_or (LodexPlace *place) noexcept;

  LodexSet *walked_ = nullptr;
  gint left_ = -1; /* -1: no limit */
};

/* A wrapping set whose walk goes by an equivalent sort where there is one. */
struct SearchSet
{
  WrappedSet wrapped;
  DelegatedWalk delegated;
  guint serial = 0;

  void
  dispose () noexcept
  {
    delegated.end ();
    wrapped.dispose ();
  }
  void
  invalidate (LodexSet *self) noexcept
  {
    delegated.end ();
    wrapped.invalidate (self);
  }
  static guint next_serial () noexcept;

  /* The slots first and next of such a set: @walked is what an equivalent
   * sort is sought for (the set itself for a filter, the inner set for a
   * page). */
  LodexPlace *first (LodexSet *self, LodexSet *walked, guint skip, gint limit) noexcept;
  LodexPlace *next (LodexSet *self, const char *function) noexcept;
};

/* Set while a sort's rings compose the text of the sets inside: the rings
 * read the R*Tree themselves, and a radius filter inside then only checks
 * positions. */
extern thread_local bool composing_for_rings;

/* Set while lodex_set_count() composes: sorts and pages leave out their
 * ORDER BY, which cannot change a count and would sort every place. */
extern thread_local bool composing_for_count;

/* The circle of a radius filter, for the rings of a sort around it. */
bool radius_circle (LodexSet *set, double *latitude, double *longitude, double *radius) noexcept;

/* (nullable) (transfer full): the text of a name sort of the whole store
 * that reads only the keys of the places it skips, with the limit and the
 * offset of a page as parameters; NULL for any other set. */
gchar *name_sort_paged_text (LodexSet *set, const char *limit, const char *offset) noexcept;

/* Brings the words of the places queued since up to date, and with @keys
 * their name keys (every one when the locale changed), on the store's own
 * connection @db, in one transaction. */
bool refresh_search (sqlite3 *db, bool keys) noexcept;

} // namespace lodex
