#pragma once

/* The live objects of one kind (places, categories, images or routes) of a
 * store, by id. While anybody holds an object, every lookup of its id gives
 * that object; once its last reference goes, so does its entry. The
 * registry itself holds no reference: a registered object is bound to the
 * store and tells it from its dispose (forget ()). */

#include <glib-object.h>

namespace lodex
{

class Registry
{
public:
  /* The object's id now. */
  using IdOf = const gchar *(*) (GObject *object);

  explicit Registry (IdOf id_of) noexcept;
  ~Registry ();
  Registry (const Registry &) = delete;
  Registry &operator= (const Registry &) = delete;

  /* Registers @object under its current id. */
  void add (GObject *object) noexcept;

  /* Registers an object just built from its row and handed to a caller,
   * who most often drops it at once: it enters the table only if it is
   * still alive when the registry is next used. */
  void add_fresh (GObject *object) noexcept;

  /* Forgets @object; false, after a warning, when it is not registered here
   * (the same id may be another store's object). */
  bool remove (GObject *object) noexcept;

  /* From the dispose of an object bound to the store, registered or not:
   * its entry, if any, goes. */
  void forget (GObject *object) noexcept;

  /* (transfer full) (nullable): the live object with @id. */
  GObject *lookup (const gchar *id) noexcept;

  guint size () noexcept;

  /* (transfer full): every live object, each with a reference. */
  GPtrArray *live () noexcept;

private:
  void settle () noexcept;

  GHashTable *by_id_;        /* id (owned) -> object */
  GHashTable *ids_;          /* object -> its key in by_id_: found whatever its id is now */
  GObject *fresh_ = nullptr; /* added by add_fresh (), not in the tables yet */
  IdOf id_of_;
};

} // namespace lodex
