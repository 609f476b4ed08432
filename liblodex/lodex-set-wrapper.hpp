#pragma once

/* The base of every set built around another set (the filters and the
 * sort): it keeps the inner set, relays its "changed", runs the walk, and
 * implements the set interface. A kind of wrapping set adds only its text
 * around the inner one and the binding of its own parameters. */

#include "lodex-private.h"

namespace lodex
{

/* The state of one wrapping set, kept in its instance private data. */
struct WrappedSet
{
  LodexSet *inner = nullptr;
  gulong inner_handler = 0;
  Walk walk;              /* the walk under way */
  gchar *query = nullptr; /* the text last composed */

  /* The "set" property, construct-only: takes a reference to @inner and
   * relays its "changed" as @self's. */
  static void install_property (GObjectClass *klass, guint prop_id, const char *blurb) noexcept;
  void set_inner (LodexSet *self, const GValue *value) noexcept;

  /* A parameter changed: the walk under way was bound with the old value. */
  void invalidate (LodexSet *self) noexcept;

  void dispose () noexcept;
  void finalize () noexcept;
};

/* What one kind of wrapping set adds to the base. */
struct WrapperKind
{
  const char *next_function; /* the function named when next () comes before first () */
  WrappedSet *(*wrapped) (LodexSet *set);
  /* (transfer full): the set's text around @inner */
  gchar *(*compose) (LodexSet *set, const gchar *inner);
  /* binds the set's own parameters; the inner sets' are bound already */
  bool (*bind) (LodexSet *set, sqlite3_stmt *statement);
  /* (nullable): the ORDER BY terms of a set that orders its places; "" for
   * a set whose places come in no order of its inner sets' */
  const char *order;
  /* (nullable): the same, for a set whose terms depend on its state */
  const char *(*order_of) (LodexSet *set) = nullptr;
  /* (nullable) (transfer full): a cheaper statement that counts the same
   * places, bound as the set's text is, after get_query */
  gchar *(*count_text) (LodexSet *set) = nullptr;
};

void implement_set (LodexSetInterface *iface, const WrapperKind *kind) noexcept;

/* (nullable): the ORDER BY terms a walk of the chain @set must end with:
 * those of its outermost sort, unless @set is that sort itself. */
const char *chain_order (LodexSet *set) noexcept;

/* (nullable): the ORDER BY terms of a walk of @set: its own, or its chain's. */
const char *set_order (LodexSet *set) noexcept;

/* (nullable) (transfer full): the kind's cheaper count of @set. */
gchar *count_text (LodexSet *set) noexcept;

} // namespace lodex
