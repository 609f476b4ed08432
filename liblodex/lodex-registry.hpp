#pragma once

/* The live objects of one kind (places, categories, images or routes) of a
 * store, by id. While anybody holds an object, every lookup of its id gives
 * that object; once its last reference goes, so does its entry. The
 * registry itself holds no reference. */

#include <glib-object.h>

namespace lodex
{

class Registry
{
public:
  /* The object's id now; it may change while the object is registered. */
  using IdOf = const gchar *(*) (GObject *object);

  explicit Registry (IdOf id_of) noexcept;
  ~Registry ();
  Registry (const Registry &) = delete;
  Registry &operator= (const Registry &) = delete;

  /* Registers @object under its current id. */
  void add (GObject *object) noexcept;

  /* Forgets @object; false, after a warning, when it is not registered here
   * (the same id may be another store's object). */
  bool remove (GObject *object) noexcept;

  /* (transfer full) (nullable): the live object with @id. */
  GObject *lookup (const gchar *id) const noexcept;

  guint size () const noexcept;

  /* (transfer full): every live object, each with a reference. */
  GPtrArray *live () const noexcept;

private:
  static void weak_notify (gpointer data, GObject *object);

  GHashTable *table_; /* id (owned) -> Entry */
  IdOf id_of_;
};

} // namespace lodex
