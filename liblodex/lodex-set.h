#pragma once

#include <glib-object.h>
#include <sqlite3.h>
#include <liblodex/lodex-types.h>

G_BEGIN_DECLS

#define LODEX_TYPE_SET (lodex_set_get_type ())
G_DECLARE_INTERFACE (LodexSet, lodex_set, LODEX, SET, GObject)

/**
 * LodexSetInterface:
 * @first: starts a new walk; returns its first place (transfer full) or %NULL
 * @next: returns the next place of the walk (transfer full) or %NULL at its end
 * @get_store: the store whose places the set holds (transfer full)
 * @get_db: (skip): the store's connection (transfer none)
 * @get_query: the set's SQL text, owned by the set until its next call
 * @bind: (skip): binds the parameters of the whole chain into a statement
 * @changed: class closure of #LodexSet::changed
 *
 * The slots of a set. The library's own classes are the only
 * implementations: a set is built from SQL text, which an application
 * cannot supply.
 *
 * Since: 0.1
 */
struct _LodexSetInterface
{
  GTypeInterface g_iface;

  LodexPlace *(*first) (LodexSet *set);
  LodexPlace *(*next) (LodexSet *set);
  LodexStore *(*get_store) (LodexSet *set);
  sqlite3 *(*get_db) (LodexSet *set);
  const gchar *(*get_query) (LodexSet *set);
  gboolean (*bind) (LodexSet *set, sqlite3_stmt *statement);
  void (*changed) (LodexSet *set);
};

/**
 * LodexSetIface: (skip)
 *
 * The older name of #LodexSetInterface.
 *
 * Since: 0.1
 */
typedef LodexSetInterface LodexSetIface;


LodexPlace *lodex_set_first (LodexSet *set);
LodexPlace *lodex_set_next (LodexSet *set);
LodexStore *lodex_set_get_store (LodexSet *set);
const GError *lodex_set_get_walk_error (LodexSet *set);
gint64 lodex_set_count (LodexSet *set, GError **error);

G_END_DECLS
