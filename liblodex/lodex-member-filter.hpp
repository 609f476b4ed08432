#pragma once

/* What the category filter and the route filter share: a set of the places
 * of an inner set that belong to one category, or one route, by a join with
 * the membership table; without a member, every place of the inner set. */

#include "lodex-set-wrapper.hpp"

namespace lodex
{

struct MembershipTable
{
  const char *table;  /* "p2c" */
  const char *column; /* "category_id" */
  const char *where;  /* the keyword as the query text spells it */
};

struct MemberFilter
{
  WrappedSet wrapped;
  GObject *member = nullptr; /* the category or route */
  gulong member_handler = 0;
  gchar *parameter = nullptr; /* as in the last composed text */

  /* property ids: 1 the inner set, 2 the category or route */
  enum
  {
    PROP_SET = 1,
    PROP_MEMBER = 2,
  };

  static void install_properties (GObjectClass *klass, const char *member, const char *nick, const char *blurb, GType member_type) noexcept;
  void set_property (GObject *self, guint prop_id, const GValue *value, GParamSpec *pspec) noexcept;
  void get_property (GObject *self, guint prop_id, GValue *value, GParamSpec *pspec) const noexcept;
  void dispose () noexcept;
  void finalize () noexcept;

  gchar *compose (const MembershipTable &m, const gchar *inner) noexcept;
  bool bind_member (sqlite3_stmt *statement, const gchar *id) const noexcept;
};

} // namespace lodex
