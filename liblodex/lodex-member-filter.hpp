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

  /* property ids: 1 the inner set, 2 the category or route */
  enum
  {
    PROP_SET = 1,
    PROP_MEMBER = 2,
  };

  static void install_properties (GObjectClass *klass, const char *member, const char *nick, const char *blurb, GType member_type);
  void set_property (GObject *self, guint prop_id, const GValue *value, GParamSpec *pspec, GCallback set_changed, GCallback member_changed);
  void get_property (GObject *self, guint prop_id, GValue *value, GParamSpec *pspec) const;
  void dispose (GObject *self);
  void finalize ();

  /* the set slots, after the caller's type check */
  LodexPlace *first (LodexSet *self);
  LodexPlace *next (LodexSet *self, const char *function);
  LodexStore *get_store (const char *function) const;
  const gchar *compose (const MembershipTable &m);
  bool bind_member (sqlite3_stmt *statement, const gchar *id) const;
};

} // namespace lodex
