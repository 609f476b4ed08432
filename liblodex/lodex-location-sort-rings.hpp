#pragma once

/* The walk of a LodexLocationSort: rings of growing distance around its
 * point, each a statement that an index of positions serves, so that the
 * nearest places come without a sort of the whole inner set. */

#include "lodex-db-private.hpp"

#include <optional>

namespace lodex
{

/* The order of every walk of a sort. Equal distances come in order of id,
 * so that the rings and the one statement of the whole agree. */
inline constexpr char distance_order[] = "distance_func (latitude, longitude, altitude), id";

struct DistancePoint
{
  gdouble latitude, longitude, altitude;
};

/* Ranges of positions, as the R*Tree is asked for them. */
struct Box
{
  double south, north;     /* degrees */
  double west[2], east[2]; /* one or two ranges of longitude, */
  int ranges;              /* or none: every longitude */
};

/* Binds a sort's own part of a statement: its point. */
using BindPoint = bool (*) (LodexSet *sort, sqlite3_stmt *statement);

class RingWalk
{
public:
  RingWalk () noexcept = default;
  ~RingWalk () { end (); }
  RingWalk (const RingWalk &) = delete;
  RingWalk &operator= (const RingWalk &) = delete;

  /* The walk's first place, or NULL. Where rings cannot serve (no R*Tree,
   * a point beyond a pole), the walk is the one statement of @sort's text,
   * in @whole. */
  LodexPlace *first (LodexSet *sort,
                     LodexSet *inner,
                     const DistancePoint &point,
                     BindPoint bind_point,
                     Walk *whole) noexcept;
  LodexPlace *next (LodexSet *sort, Walk *whole) noexcept;
  bool
  walking () const noexcept
  {
    return ring () != nullptr;
  }
  /* Ends a walk under way. */
  void end () noexcept;

private:
  bool start (LodexSet *sort, LodexSet *inner, const DistancePoint &point) noexcept;
  void measure_extent (LodexSet *inner, double store_places) noexcept;
  bool banded (const Box &box) const noexcept;
  gint64 count (const Box &box, gint64 limit) noexcept;
  Box ring_box (double distance) const noexcept;
  void plan_next () noexcept;
  bool capture_inner (sqlite3_stmt *statement) noexcept;
  bool bind (sqlite3_stmt *statement) noexcept;
  bool open_ring (LodexSet *sort) noexcept;
  void
  end_ring () noexcept
  {
    kept_ring_.reset ();
    own_ring_.reset ();
  }
  LodexPlace *advance (LodexSet *sort) noexcept;
  sqlite3_stmt *
  ring () const noexcept
  {
    return kept_ring_ ? kept_ring_->get () : own_ring_.get ();
  }

  sqlite3 *db_ = nullptr;
  std::optional<db::Statement> pin_; /* held open: the walk's snapshot */
  /* the ring under way: a statement of the connection's cache, or its own */
  std::optional<db::Statement> kept_ring_;
  Stmt own_ring_;
  gchar *inner_ = nullptr;      /* the inner set's text */
  LodexStore *store_ = nullptr; /* the sort's, which the sort holds */
  bool place_rows_ = false;     /* the ring's rows are whole place rows */
  LodexSet *sort_ = nullptr, *inner_set_ = nullptr;
  BindPoint bind_point_ = nullptr;
  GArray *inner_values_ = nullptr; /* InnerValue: what the inner sets bound at the first ring */

  double latitude_ = 0, longitude_ = 0; /* degrees; longitude in -180 .. 180 */
  bool any_longitude_ = false;          /* a longitude too far out for a box */
  bool odd_ = false;                    /* positions beyond -90 .. 90, -180 .. 180 exist */
  bool text_latitudes_ = false;         /* a latitude is text */
  bool boxed_ = false;                  /* a location filter is inside */
  Box extent_{};                        /* the boxes of the location filters inside */
  double reach_ = 0;                    /* no position of those is farther (m) */
  bool small_extent_ = false;           /* the R*Tree may give all of them to the last ring */
  double store_places_ = 0;             /* about */
  double places_ = 0;                   /* the inner set's, at most */

  int ring_number_ = 0;       /* the ring under way, from 1 */
  bool final_ = false;        /* no high: the rest */
  double low_ = 0, high_ = 0; /* low <= distance < high */
  double low_angle_ = 0;      /* the box of the ring before (radians) */
  double candidates_ = 0;     /* what the last ring was given to look at */
};

} // namespace lodex
