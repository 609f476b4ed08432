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
MemberFilter::install_properties (GObjectClass *klass, const char *name, const char *nick, const char *blurb, GType member_type)
{
  g_object_class_install_property (
    klass, PROP_SET,
    g_param_spec_object ("set", "Set", "Set to filter", LODEX_TYPE_SET,
                         GParamFlags (G_PARAM_READWRITE | G_PARAM_CONSTRUCT_ONLY | G_PARAM_STATIC_STRINGS)));
  g_object_class_install_property (
    klass, PROP_MEMBER,
    g_param_spec_object (name, nick, blurb, member_type, GParamFlags (G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS)));
}

void
MemberFilter::set_property (GObject *self, guint prop_id, const GValue *value, GParamSpec *pspec, GCallback set_changed, GCallback member_changed)
{
  GObject *object = G_OBJECT (g_value_get_object (value));
  switch (prop_id)
    {
    case PROP_SET:
      set = object ? LODEX_SET (g_object_ref (object)) : nullptr;
      if (set)
        set_handler_id = g_signal_connect_swapped (set, "changed", set_changed, self);
      break;
    case PROP_MEMBER:
      if (object == member)
        return;
      if (member)
        {
          g_clear_signal_handler (&member_handler_id, member);
          g_clear_object (&member);
        }
      if (object)
        {
          member = G_OBJECT (g_object_ref (object));
          member_handler_id = g_signal_connect_swapped (member, "changed", member_changed, self);
        }
      _lodex_set_emit_changed (LODEX_SET (self));
      break;
    default:
      G_OBJECT_WARN_INVALID_PROPERTY_ID (self, prop_id, pspec);
      break;
    }
}

void
MemberFilter::get_property (GObject *self, guint prop_id, GValue *value, GParamSpec *pspec) const
{
  switch (prop_id)
    {
    case PROP_SET:
      g_value_set_object (value, set);
      break;
    case PROP_MEMBER:
      g_value_set_object (value, member);
      break;
    default:
      G_OBJECT_WARN_INVALID_PROPERTY_ID (self, prop_id, pspec);
      break;
    }
}

void
MemberFilter::finalize ()
{
  g_free (query);
  g_free (parameter);
  this->~MemberFilter ();
}

LodexPlace *
MemberFilter::first (LodexSet *self)
{
  return _lodex_set_walk_first (self, &statement);
}

LodexPlace *
MemberFilter::next (LodexSet *self, const char *function)
{
  if (!check (statement != nullptr, function, "priv->statement != NULL"))
    return nullptr;
  return _lodex_set_walk_next (self, &statement);
}

LodexStore *
MemberFilter::get_store (const char *function) const
{
  if (!check (set != nullptr, function, "priv->set != NULL"))
    return nullptr;
  return lodex_set_get_store (set);
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
