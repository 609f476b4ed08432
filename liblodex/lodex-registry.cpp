/* The registry of a store's live objects of one kind. */

#include "lodex-private.h"
#include "lodex-registry.hpp"

namespace lodex
{

Registry::Registry (IdOf id_of) noexcept
    : table_ (g_hash_table_new_full (g_str_hash, g_str_equal, g_free, nullptr)), id_of_ (id_of)
{
}

Registry::~Registry ()
{
  g_hash_table_destroy (table_);
}

void
Registry::toggle_notify (gpointer data, GObject *object, gboolean is_last_ref)
{
  if (!is_last_ref)
    return;

  auto self = static_cast<Registry *> (data);
  const gchar *id = self->id_of_ (object);
  if (id && g_hash_table_lookup (self->table_, id) == object)
    g_hash_table_remove (self->table_, id);
  else /* the id changed under us: find the entry by its object */
    g_hash_table_foreach_remove (
      self->table_, [] (gpointer, gpointer value, gpointer object) -> gboolean { return value == object; },
      object);
  /* may finalize the object, and with its store reference the store and us */
  g_object_remove_toggle_ref (object, toggle_notify, data);
}

void
Registry::add (GObject *object) noexcept
{
  g_object_add_toggle_ref (object, toggle_notify, this);
  g_hash_table_insert (table_, g_strdup (id_of_ (object)), object);
}

bool
Registry::remove (GObject *object) noexcept
{
  const gchar *id = id_of_ (object);
  if (!id || g_hash_table_lookup (table_, id) != object)
    {
      g_warning ("Entry not found in table");
      return false;
    }
  g_hash_table_remove (table_, id);
  g_object_remove_toggle_ref (object, toggle_notify, this);
  return true;
}

GObject *
Registry::lookup (const gchar *id) const noexcept
{
  gpointer object = id ? g_hash_table_lookup (table_, id) : nullptr;
  return object ? G_OBJECT (g_object_ref (object)) : nullptr;
}

} // namespace lodex
