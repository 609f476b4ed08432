#pragma once

/* What the store's files share: lodex-store.cpp (the class, its set, its
 * batches), -places, -categories, -images and -routes (the operations on
 * each kind of object) and -events (the reactions to change broadcasts).
 * Not installed. */

#include "lodex-private.h"
#include "lodex-db-private.hpp"
#include "lodex-registry.hpp"

namespace lodex
{

const gchar *place_id_of (GObject *object) noexcept;
const gchar *category_id_of (GObject *object) noexcept;
const gchar *image_id_of (GObject *object) noexcept;
const gchar *route_id_of (GObject *object) noexcept;

} // namespace lodex

struct LodexStorePrivate
{
  sqlite3 *db = nullptr;
  GThread *home = nullptr; /* the thread that made the store: its only user */
  lodex::Walk walk; /* the store's own walk as a set */
  lodex::Registry places{lodex::place_id_of};
  lodex::Registry categories{lodex::category_id_of};
  lodex::Registry images{lodex::image_id_of};
  lodex::Registry routes{lodex::route_id_of};
  LodexTracker *tracker = nullptr;
  GPtrArray *batches = nullptr;  /* of StoreWrite, the open batches, innermost last */
  GPtrArray *walk_dbs = nullptr; /* connections that walks read on */
  bool positions_indexed = false; /* the R*Tree of positions is filled */
  gint64 journal_seq = -1;       /* the last journal row read; -1: no journal */
  bool reading = false;          /* what a read of the journal says is being told */
  bool read_again = false;       /* the doorbell rang meanwhile */
  bool read_deferred = false;    /* it rang while a transaction of ours was open */
};

namespace lodex
{

/* The store's signals, each with the id of the object concerned. */
enum StoreSignal
{
  CATEGORY_ADDED,
  CATEGORY_REMOVED,
  CATEGORY_UPDATED,
  IMAGE_ADDED,
  IMAGE_REMOVED,
  IMAGE_UPDATED,
  PLACE_ADDED,
  PLACE_REMOVED,
  PLACE_UPDATED,
  ROUTE_ADDED,
  ROUTE_REMOVED,
  ROUTE_UPDATED,
  N_STORE_SIGNALS
};

LodexStorePrivate *store_priv (LodexStore *store) noexcept;

/* One write of the store's: a transaction, or a savepoint inside one, whose
 * broadcasts wait for its commit and are dropped if it is rolled back. */
class StoreWrite
{
public:
  explicit StoreWrite (LodexStore *store, bool batch = false) noexcept;
  ~StoreWrite ();
  StoreWrite (const StoreWrite &) = delete;
  StoreWrite &operator= (const StoreWrite &) = delete;

  explicit operator bool () const noexcept { return bool (transaction_); }
  bool commit () noexcept;

  /* one that outlives a call: a batch */
  static StoreWrite *create (LodexStore *store, bool batch) noexcept;
  static void free (StoreWrite *write) noexcept;

private:
  LodexStore *store_;
  db::Transaction transaction_;
  LodexTracker *tracker_;
  guint mark_;
  bool released_ = false;
};

/* Runs @write, which writes rows hanging off the place @place_id, in one
 * transaction with a check that the place is still stored: rows for a place
 * that another program removed would be orphans. A NULL @place_id is left
 * to @write to refuse. */
template <typename Write>
gboolean
write_for_place (LodexStore *store, const gchar *place_id, Write write)
{
  StoreWrite transaction (store);
  if (!transaction)
    return FALSE;
  if (place_id && !_lodex_db_place_exists (store_priv (store)->db, place_id))
    {
      fail (LODEX_ERROR_NOT_STORED, "Place %s is not in the database any more", place_id);
      return FALSE;
    }
  return write () && transaction.commit ();
}

/* Gives @id a new id and runs @insert; another id is tried when another
 * program took the same one meanwhile. On failure @id is cleared. */
template <typename Insert>
bool
insert_with_new_id (LodexStore *store, gchar *&id, Insert insert)
{
  for (int attempt = 0; attempt < 3; attempt++)
    {
      g_free (id);
      id = _lodex_store_gen_id (store);
      if (insert ())
        return true;
      if (!_lodex_id_collided (store_priv (store)->db))
        break;
    }
  g_clear_pointer (&id, g_free);
  return false;
}
void store_emit (LodexStore *store, StoreSignal signal, const gchar *id) noexcept;
void store_emit_changes (LodexStore *store, GPtrArray *changes, gboolean resynced) noexcept;

/* lodex-store-events.cpp: reads the journal after the last row read and
 * tells what it says; the doorbell's listener. */
void store_catch_up (LodexStore *store) noexcept;
/* A read put off while a transaction was open happens once none is. */
void store_after_transaction (LodexStore *store) noexcept;

/* lodex-store-places.cpp: a place read from the database, made live. */
LodexPlace *adopt_place_row (LodexStore *store, LodexPlaceRow *row) noexcept;

/* An SQL text prepared for a listing of ids; NULL after a warning. */
lodex::Stmt prepare_listing (sqlite3 *db, const char *query) noexcept;

} // namespace lodex
