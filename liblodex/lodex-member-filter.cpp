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

gchar *
MemberFilter::compose (const MembershipTable &m, const gchar *inner) noexcept
{
  g_clear_pointer (&parameter, g_free);
  if (!member)
    return g_strdup_printf ("select * from (%s)", inner);

  /* A filter of the same kind inside needs its own table alias and
   * parameter, or the column and the parameter would be ambiguous. */
  parameter = g_strdup_printf (":%s", m.column);
  if (!names_parameter (inner, parameter))
    return g_strdup_printf ("select * from (%s), %s %s id=%s.place_id and %s=%s", inner, m.table, m.where, m.table,
                            m.column, parameter);
  for (int n = 2;; n++)
    {
      g_free (parameter);
      parameter = g_strdup_printf (":%s_%d", m.column, n);
      if (!names_parameter (inner, parameter))
        return g_strdup_printf ("select * from (%s), %s AS %s_%d %s id=%s_%d.place_id and %s_%d.%s=%s", inner, m.table,
                                m.table, n, m.where, m.table, n, m.table, n, m.column, parameter);
    }
}

bool
MemberFilter::bind_member (sqlite3_stmt *statement, const gchar *id) const noexcept
{
  int index = sqlite3_bind_parameter_index (statement, parameter);
  return sqlite3_bind_text (statement, index, id, -1, SQLITE_TRANSIENT) == SQLITE_OK;
}

void
MemberFilter::install_properties (GObjectClass *klass, const char *name, const char *nick, const char *blurb, GType member_type) noexcept
{
  WrappedSet::install_property (klass, PROP_SET, "Set to filter");
  g_object_class_install_property (
    klass, PROP_MEMBER,
    g_param_spec_object (name, nick, blurb, member_type, GParamFlags (G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS)));
}

static void
member_changed_cb (LodexSet *self)
{
  g_debug ("%s: member changed", G_OBJECT_TYPE_NAME (self));
  _lodex_set_emit_changed (self);
}

void
MemberFilter::set_property (GObject *self, guint prop_id, const GValue *value, GParamSpec *pspec) noexcept
{
  switch (prop_id)
    {
    case PROP_SET:
      wrapped.set_inner (LODEX_SET (self), value);
      break;
    case PROP_MEMBER:
      {
        GObject *object = G_OBJECT (g_value_get_object (value));
        if (object == member)
          return;
        if (member)
          {
            g_clear_signal_handler (&member_handler, member);
            g_clear_object (&member);
          }
        if (object)
          {
            member = G_OBJECT (g_object_ref (object));
            member_handler = g_signal_connect_swapped (member, "changed", G_CALLBACK (member_changed_cb), self);
          }
        _lodex_set_emit_changed (LODEX_SET (self));
        break;
      }
    default:
      G_OBJECT_WARN_INVALID_PROPERTY_ID (self, prop_id, pspec);
      break;
    }
}

void
MemberFilter::get_property (GObject *self, guint prop_id, GValue *value, GParamSpec *pspec) const noexcept
{
  switch (prop_id)
    {
    case PROP_SET:
      g_value_set_object (value, wrapped.inner);
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
MemberFilter::dispose () noexcept
{
  wrapped.dispose ();
  if (member)
    {
      g_clear_signal_handler (&member_handler, member);
      g_clear_object (&member);
    }
}

void
MemberFilter::finalize () noexcept
{
  wrapped.finalize ();
  g_free (parameter);
  this->~MemberFilter ();
}

} // namespace lodex
