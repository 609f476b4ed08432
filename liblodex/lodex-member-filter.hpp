#pragma once

/* What the category filter and the route filter share: a set of the places
 * of an inner set that belong to one category, or one route, by a join with
 * the membership table. */

#include "lodex-private.h"

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
  sqlite3_stmt *statement = nullptr;
  gchar *query = nullptr;
  gchar *parameter = nullptr; /* as in the last composed query */
  LodexSet *set = nullptr;
  GObject *member = nullptr; /* the category or route */
  gulong set_handler_id = 0;
  gulong member_handler_id = 0;

  const gchar *compose (const MembershipTable &m);
  bool bind_member (sqlite3_stmt *statement, const gchar *id) const;
  void set_inner (GObject *self, LodexSet *inner, GCallback on_changed);
  bool set_member (GObject *self, GObject *object, GCallback on_changed);
  void dispose (GObject *self);
};

} // namespace lodex
