/* The machinery shared by the category and route filters. */

#include "lodex-member-filter.hpp"

#include <cstring>

namespace lodex
{

/* Whether @text names the SQL parameter @name (and not just a longer one
 * that begins with it). */
static bool
names_parameter (const char *text, const char *name)
{
  size_t length = strlen (name);
  for (const char *at = strstr (text, name); at; at = strstr (at + 1, name))
    if (!g_ascii_isalnum (at[length]) && at[length] != '_')
      return true;
  return false;
}

const gchar *
MemberFilter::compose (const MembershipTable &m)
{
  const gchar *inner = _lodex_set_get_query (set);
  if (!inner)
    return nullptr;
  g_clear_pointer (&query, g_free);
  g_clear_pointer (&parameter, g_free);

  if (!member)
    return query = g_strdup_printf ("select * from (%s)", inner);

  /* A filter of the same kind inside needs its own table alias and
   * parameter, or the column and the parameter would be ambiguous. */
  parameter = g_strdup_printf (":%s", m.column);
  if (!names_parameter (inner, parameter))
    return query = g_strdup_printf ("select * from (%s), %s %s id=%s.place_id and %s=%s", inner, m.table,
                                    m.where, m.table, m.column, parameter);
  for (int n = 2;; n++)
    {
      g_free (parameter);
      parameter = g_strdup_printf (":%s_%d", m.column, n);
      if (!names_parameter (inner, parameter))
        return query = g_strdup_printf ("select * from (%s), %s AS %s_%d %s id=%s_%d.place_id and %s_%d.%s=%s", inner,
                                        m.table, m.table, n, m.where, m.table, n, m.table, n, m.column, parameter);
    }
}

bool
MemberFilter::bind_member (sqlite3_stmt *statement, const gchar *id) const
{
  int index = sqlite3_bind_parameter_index (statement, parameter);
  return sqlite3_bind_text (statement, index, id, -1, SQLITE_TRANSIENT) == SQLITE_OK;
}

void
MemberFilter::set_inner (GObject *self, LodexSet *inner, GCallback on_changed)
{
  set = inner ? LODEX_SET (g_object_ref (inner)) : nullptr;
  if (set)
    set_handler_id = g_signal_connect_swapped (set, "changed", on_changed, self);
}

bool
MemberFilter::set_member (GObject *self, GObject *object, GCallback on_changed)
{
  if (object == member)
    return false;
  if (member)
    {
      g_clear_signal_handler (&member_handler_id, member);
      g_clear_object (&member);
    }
  if (object)
    {
      member = G_OBJECT (g_object_ref (object));
      member_handler_id = g_signal_connect_swapped (member, "changed", on_changed, self);
    }
  return true;
}

void
MemberFilter::dispose (GObject *self)
{
  g_clear_pointer (&statement, sqlite3_finalize);
  if (set)
    {
      g_clear_signal_handler (&set_handler_id, set);
      g_clear_object (&set);
    }
  if (member)
    {
      g_clear_signal_handler (&member_handler_id, member);
      g_clear_object (&member);
    }
}

} // namespace lodex
