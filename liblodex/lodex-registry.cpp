/* The registry of a store's live objects of one kind. Entries hold weak
 * references: a binding (PyGObject, GJS) adds toggle references of its own,
 * and an object with two toggle references is never notified, so a registry
 * on toggle references would keep every object a script touched. */

#include "lodex-private.h"
#include "lodex-registry.hpp"

namespace lodex
{

namespace
{

struct Entry
{
  GObject *object; /* for identification only; never dereferenced once gone */
  GWeakRef ref;    /* empty from the moment the object's last reference goes */
};

void
free_entry (gpointer data)
{
  auto entry = static_cast<Entry *> (data);
  g_weak_ref_clear (&entry->ref);
  g_free (entry);
}

} // namespace

Registry::Registry (IdOf id_of) noexcept
    : table_ (g_hash_table_new_full (g_str_hash, g_str_equal, g_free, free_entry)), id_of_ (id_of)
{
}

Registry::~Registry ()
{
  /* An object still here has not been told of its end yet: it may be the
   * one whose dispose dropped the last reference to the store (and its weak
   * reference is already empty), so it is reached by its pointer. */
  GHashTableIter iter;
  gpointer value;
  g_hash_table_iter_init (&iter, table_);
  while (g_hash_table_iter_next (&iter, nullptr, &value))
    g_object_weak_unref (static_cast<Entry *> (value)->object, weak_notify, this);
  g_hash_table_destroy (table_);
}

/* The object is being disposed: its entry goes. */
void
Registry::weak_notify (gpointer data, GObject *object)
{
  auto self = static_cast<Registry *> (data);
  const gchar *id = self->id_of_ (object); /* the row outlives dispose */
  auto entry = id ? static_cast<Entry *> (g_hash_table_lookup (self->table_, id)) : nullptr;
  if (entry && entry->object == object)
    g_hash_table_remove (self->table_, id);
  else /* the id changed under us: find the entry by its object */
    g_hash_table_foreach_remove (
      self->table_,
      [] (gpointer, gpointer value, gpointer object) -> gboolean {
        return static_cast<Entry *> (value)->object == object;
      },
      object);
}

void
Registry::add (GObject *object) noexcept
{
  auto entry = g_new0 (Entry, 1);
  entry->object = object;
  g_weak_ref_init (&entry->ref, object);
  g_object_weak_ref (object, weak_notify, this);
  g_hash_table_insert (table_, g_strdup (id_of_ (object)), entry);
}

bool
Registry::remove (GObject *object) noexcept
{
  const gchar *id = id_of_ (object);
  auto entry = id ? static_cast<Entry *> (g_hash_table_lookup (table_, id)) : nullptr;
  if (!entry || entry->object != object)
    {
      g_warning ("Entry not found in table");
      return false;
    }
  g_object_weak_unref (object, weak_notify, this);
  g_hash_table_remove (table_, id);
  return true;
}

GObject *
Registry::lookup (const gchar *id) const noexcept
{
  auto entry = id ? static_cast<Entry *> (g_hash_table_lookup (table_, id)) : nullptr;
  return entry ? static_cast<GObject *> (g_weak_ref_get (&entry->ref)) : nullptr;
}

guint
Registry::size () const noexcept
{
  return g_hash_table_size (table_);
}

GPtrArray *
Registry::live () const noexcept
{
  GPtrArray *objects = g_ptr_array_new_with_free_func (g_object_unref);
  GHashTableIter iter;
  gpointer value;
  g_hash_table_iter_init (&iter, table_);
  while (g_hash_table_iter_next (&iter, nullptr, &value))
    if (gpointer object = g_weak_ref_get (&static_cast<Entry *> (value)->ref))
      g_ptr_array_add (objects, object);
  return objects;
}

} // namespace lodex
