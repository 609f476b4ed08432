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
  sqlite3_stmt *statement = nullptr; /* the store's own walk as a set */
  lodex::Registry places{lodex::place_id_of};
  lodex::Registry categories{lodex::category_id_of};
  lodex::Registry images{lodex::image_id_of};
  lodex::Registry routes{lodex::route_id_of};
  LodexTracker *tracker = nullptr;
  lodex::db::Transaction *batch = nullptr; /* the outermost open batch */
  guint batch_depth = 0;
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
void store_emit (LodexStore *store, StoreSignal signal, const gchar *id) noexcept;

/* lodex-store-events.cpp: connects the store to its tracker's signals. */
void store_listen (LodexStore *store) noexcept;

/* lodex-store-places.cpp: a place read from the database, made live. */
LodexPlace *adopt_place_row (LodexStore *store, LodexPlaceRow *row) noexcept;

/* An SQL text prepared for a listing of ids; NULL after a warning. */
lodex::Stmt prepare_listing (sqlite3 *db, const char *query) noexcept;

} // namespace lodex
