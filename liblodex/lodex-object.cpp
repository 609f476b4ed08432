/* What the classes of stored objects share. */

#include "lodex-object.hpp"

gboolean
_lodex_update_property_string (gchar **property_location, const GValue *value)
{
  g_assert (property_location != NULL && value != NULL);

  const gchar *text = g_value_get_string (value);
  if (text == *property_location)
    return FALSE;
  if (text && *property_location && g_str_equal (text, *property_location))
    return FALSE;
  g_free (*property_location);
  *property_location = g_strdup (text);
  return TRUE;
}

namespace lodex
{

void
new_object_signals (gpointer klass, guint *changed, guint *added, guint *removed, glong changed_offset, glong added_offset, glong removed_offset) noexcept
{
  GType type = G_TYPE_FROM_CLASS (klass);
  *changed = g_signal_new ("changed", type, G_SIGNAL_RUN_LAST, changed_offset, nullptr, nullptr,
                           g_cclosure_marshal_VOID__VOID, G_TYPE_NONE, 0);
  *added = g_signal_new ("added", type, G_SIGNAL_RUN_LAST, added_offset, nullptr, nullptr,
                         g_cclosure_marshal_VOID__OBJECT, G_TYPE_NONE, 1, LODEX_TYPE_STORE);
  *removed = g_signal_new ("removed", type, G_SIGNAL_RUN_LAST, removed_offset, nullptr, nullptr,
                           g_cclosure_marshal_VOID__OBJECT, G_TYPE_NONE, 1, LODEX_TYPE_STORE);
}

void
bind_store (LodexStore **slot, LodexStore *store, const char *function) noexcept
{
  if (!store)
    {
      g_clear_object (slot);
      return;
    }
  if (check (*slot == nullptr, function, "priv->store == NULL"))
    *slot = LODEX_STORE (g_object_ref (store));
}

} // namespace lodex
