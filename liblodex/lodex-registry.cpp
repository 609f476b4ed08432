/* The registry of a store's live objects of one kind.
 *
 * An entry is a plain pointer, dropped by the object's own dispose (every
 * registered object is bound to the store, which it holds until then). No
 * weak or toggle reference: a binding (PyGObject, GJS) adds toggle
 * references of its own, and an object with two toggle references is never
 * told it is the last; weak references cost a lock and two allocations
 * per object, which a walk that drops every place it is given would pay
 * for nothing. Such a place is never entered at all: the newest object
 * built from a row waits in fresh_ until the registry is used again, and
 * enters the tables only if it is still alive then. */

#include "lodex-private.h"
#include "lodex-registry.hpp"

#include <utility>

namespace lodex
{

Registry::Registry (IdOf id_of) noexcept
    : by_id_ (g_hash_table_new_full (g_str_hash, g_str_equal, g_free, nullptr)),
      ids_ (g_hash_table_new (nullptr, nullptr)), id_of_ (id_of)
{
}

/* Empty by now: every registered object holds the store. */
Registry::~Registry ()
{
  g_hash_table_destroy (ids_);
  g_hash_table_destroy (by_id_);
}

void
Registry::add (GObject *object) noexcept
{
  settle ();
  const gchar *id = id_of_ (object);
  g_return_if_fail (id != NULL);
  /* callers look first, and never register twice: never, but no entry may
   * outlive its object */
  forget (object);
  gpointer old_key, old;
  if (g_hash_table_lookup_extended (by_id_, id, &old_key, &old))
    {
      g_hash_table_remove (ids_, old);
      g_hash_table_remove (by_id_, old_key);
    }
  gchar *key = g_strdup (id);
  g_hash_table_insert (by_id_, key, object);
  g_hash_table_insert (ids_, object, key);
}

void
Registry::add_fresh (GObject *object) noexcept
{
  settle ();
  fresh_ = object;
}

/* The fresh object is alive, or its dispose would have cleared fresh_:
 * somebody holds it. */
void
Registry::settle () noexcept
{
  if (GObject *object = std::exchange (fresh_, nullptr))
    add (object);
}

bool
Registry::remove (GObject *object) noexcept
{
  settle ();
  auto key = static_cast<gchar *> (g_hash_table_lookup (ids_, object));
  if (!key)
    {
      g_warning ("Entry not found in table");
      return false;
    }
  g_hash_table_remove (ids_, object);
  g_hash_table_remove (by_id_, key);
  return true;
}

void
Registry::forget (GObject *object) noexcept
{
  if (fresh_ == object)
    {
      fresh_ = nullptr;
      return;
    }
  if (auto key = static_cast<gchar *> (g_hash_table_lookup (ids_, object)))
    {
      g_hash_table_remove (ids_, object);
      g_hash_table_remove (by_id_, key);
    }
}

GObject *
Registry::lookup (const gchar *id) noexcept
{
  settle ();
  /* a walk of places that nobody keeps finds the table empty: no hashing */
  if (!id || g_hash_table_size (by_id_) == 0)
    return nullptr;
  auto object = static_cast<GObject *> (g_hash_table_lookup (by_id_, id));
  return object ? G_OBJECT (g_object_ref (object)) : nullptr;
}

guint
Registry::size () noexcept
{
  settle ();
  return g_hash_table_size (by_id_);
}

GPtrArray *
Registry::live () noexcept
{
  settle ();
  GPtrArray *objects = g_ptr_array_new_with_free_func (g_object_unref);
  GHashTableIter iter;
  gpointer value;
  g_hash_table_iter_init (&iter, by_id_);
  while (g_hash_table_iter_next (&iter, nullptr, &value))
    g_ptr_array_add (objects, g_object_ref (value));
  return objects;
}

} // namespace lodex
