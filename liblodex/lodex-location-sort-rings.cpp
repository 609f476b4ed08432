/* The walk of a LodexLocationSort in rings of growing distance.
 *
 * A ring holds the places at distances low <= d < high, ordered by distance
 * then id; the next ring starts at this one's high, and the last has no
 * high, so the rings give every place once, in the order of the whole sort.
 * A ring's candidates are the places that the R*Tree finds in the box
 * bounding the spherical cap of radius high (a place's surface distance is
 * at most its distance), or near a pole, where that box holds every
 * longitude, the index of latitudes; the inner set's own conditions and the
 * exact distance decide. Counting in the index first sizes each ring. Every
 * ring reads in one snapshot, on a connection that a statement held open
 * keeps for the walk: a place moved meanwhile is neither missed nor given
 * twice, and no other walk sets the point that the connection's
 * "distance_func" reads. */

#include "lodex-location-sort-rings.hpp"
#include "lodex-location-sort-private.h"
#include "lodex-search-private.hpp"

#include <algorithm>
#include <cmath>
#include <utility>

namespace lodex
{

namespace
{

constexpr double earth_radius = 6371008.8;
constexpr double radians_per_degree = G_PI / 180;
constexpr char distance[] = "distance_func (latitude, longitude, altitude)";

/* A first ring of 32 candidates, then twice as many, then four times as
 * many each ring, until the next would hold a 64th of the inner set: the
 * rest is then sorted in one statement, about as cheaply as rings would
 * give it. */
constexpr LodexRingPlan default_plan = {32, 4, 1.0 / 64};
LodexRingPlan plan = default_plan;

/* The first box counted is the one that would hold the first ring's
 * candidates were the store this much denser, as in a town centre: a box
 * too small costs a count more, one too large a ring sorting all it holds. */
constexpr double town = 65536;

/* A location filter's box is given whole to the last ring when it holds
 * fewer places than this: the R*Tree then beats its band of latitudes. */
constexpr gint64 small_extent = 4096;

/* The part of the sphere within @angle (radians) of a point, and back. */
double
cap_fraction (double angle)
{
  const double s = std::sin (std::min (angle, G_PI) / 2);
  return s * s;
}

double
cap_angle (double fraction)
{
  return 2 * std::asin (std::sqrt (std::min (fraction, 1.0)));
}

/* The angle whose box holds every place nearer than @distance, whatever the
 * rounding of the distance. */
double
box_angle (double distance)
{
  return distance / earth_radius * (1 + 1e-9) + 1e-9;
}

/* The bounds of every position within @angle of the point: wrapped at the
 * 180th meridian, every longitude once the cap holds a pole. */
Box
cap_box (double latitude, double longitude, bool any_longitude, double angle)
{
  Box box{};
  box.south = latitude - angle / radians_per_degree;
  box.north = latitude + angle / radians_per_degree;
  const double s = std::sin (angle) / std::cos (latitude * radians_per_degree);
  if (any_longitude || box.south <= -90 || box.north >= 90 || angle >= G_PI / 2 || s >= 1)
    return box;

  const double half = std::asin (s) / radians_per_degree + 1e-9;
  box.ranges = 1;
  box.west[0] = longitude - half;
  box.east[0] = longitude + half;
  if (box.west[0] < -180)
    {
      box.ranges = 2;
      box.west[1] = -180, box.east[1] = box.east[0];
      box.west[0] += 360, box.east[0] = 180;
    }
  else if (box.east[0] > 180)
    {
      box.ranges = 2;
      box.west[1] = -180, box.east[1] = box.east[0] - 360;
      box.east[0] = 180;
    }
  return box;
}

/* @box within @extent: its latitudes, and its longitudes when the extent
 * has one range of them. */
Box
clip (Box box, const Box &extent)
{
  box.south = std::max (box.south, extent.south);
  box.north = std::min (box.north, extent.north);
  if (extent.ranges != 1)
    return box;
  if (!box.ranges)
    {
      box.ranges = 1;
      box.west[0] = extent.west[0], box.east[0] = extent.east[0];
    }
  else
    for (int r = 0; r < box.ranges; r++)
      box.west[r] = std::max (box.west[r], extent.west[0]), box.east[r] = std::min (box.east[r], extent.east[0]);
  return box;
}

/* Held open for a walk: its connection and snapshot. Tells whether the
 * R*Tree is there and filled, the store's size, and whether a latitude is
 * text (which SQL compares above any number, and the distance and the
 * R*Tree take for 0). */
constexpr char pin_query[] = "SELECT (SELECT user_version FROM pragma_user_version), (SELECT max (rowid) FROM places), "
                             "typeof ((SELECT max (latitude) FROM places)) IN ('text', 'blob')";

/* Positions beyond the usual ranges: the R*Tree gives them to every ring. */
constexpr char odd_query[]
  = "SELECT EXISTS (SELECT 1 FROM places_rtree WHERE max_lat > 90) "
    "OR EXISTS (SELECT 1 FROM places_rtree WHERE min_lat < -90) "
    "OR EXISTS (SELECT 1 FROM places_rtree WHERE max_long > 180) "
    "OR EXISTS (SELECT 1 FROM places_rtree WHERE min_long < -180)";

constexpr char count_query[] = "SELECT count(*) FROM (SELECT 1 FROM places_rtree WHERE max_lat >= ?1 AND min_lat <= ?2 "
                               "AND max_long >= ?3 AND min_long <= ?4 LIMIT ?5)";

/* Near a pole a box holds every longitude, and the R*Tree gains nothing on
 * the index of latitudes, which is read in order. */
constexpr char band_count_query[]
  = "SELECT count(*) FROM (SELECT 1 FROM places WHERE latitude >= ?1 AND latitude <= ?2 LIMIT ?3)";

/* The key of @text in the statement cache of a connection, which keeps
 * texts and statements for the life of the process: a program's sorts
 * make a handful; NULL past that, for a statement of the ring's own. */
const char *
kept_text (const char *text)
{
  static gint kept;
  if (GQuark known = g_quark_try_string (text))
    return g_quark_to_string (known);
  if (g_atomic_int_get (&kept) >= 64)
    return nullptr;
  g_atomic_int_inc (&kept);
  return g_intern_string (text);
}

struct InnerValue
{
  gchar *name;
  sqlite3_value *value;
};

void
clear_inner_value (gpointer data)
{
  auto v = static_cast<InnerValue *> (data);
  g_free (v->name);
  sqlite3_value_free (v->value);
}

} // namespace

void
RingWalk::end () noexcept
{
  g_clear_pointer (&inner_values_, g_array_unref);
  sort_ = inner_set_ = nullptr;
  kept_ring_.reset (); /* given back to the connection's cache, reset */
  own_ring_.reset ();
  pin_.reset ();
  g_clear_pointer (&inner_, g_free);
}

/* Whether the ring of @box reads the index of latitudes rather than the
 * R*Tree: around the store, where no other range of latitudes competes. */
bool
RingWalk::banded (const Box &box) const noexcept
{
  return !box.ranges && !boxed_ && !text_latitudes_;
}

/* The places in @box, counted up to @limit. */
gint64
RingWalk::count (const Box &box, gint64 limit) noexcept
{
  const bool band = banded (box);
  db::Statement statement = db::borrow (db_, band ? band_count_query : count_query);
  if (!statement)
    return limit; /* cannot tell: as if full */
  sqlite3_stmt *s = statement.get ();
  gint64 n = 0;
  for (int r = 0; r < std::max (box.ranges, 1) && n < limit; r++)
    {
      sqlite3_bind_double (s, 1, box.south);
      sqlite3_bind_double (s, 2, box.north);
      if (band)
        sqlite3_bind_int64 (s, 3, limit);
      else
        {
          sqlite3_bind_double (s, 3, box.ranges ? box.west[r] : -180);
          sqlite3_bind_double (s, 4, box.ranges ? box.east[r] : 180);
          sqlite3_bind_int64 (s, 5, limit - n);
        }
      n += _lodex_db_step (s) == SQLITE_ROW ? sqlite3_column_int64 (s, 0) : limit;
      sqlite3_reset (s);
    }
  return n;
}

Box
RingWalk::ring_box (double distance) const noexcept
{
  return clip (cap_box (latitude_, longitude_, any_longitude_, box_angle (distance)), extent_);
}

/* The boxes of the location filters inside: rings stay within them and
 * end once they hold them; a box of few places goes whole to the last. */
void
RingWalk::measure_extent (LodexSet *inner, double store_places) noexcept
{
  extent_ = Box{-90, 90, {}, {}, 0};
  boxed_ = false;
  double west = -180, east = 180;
  double circles_reach = G_MAXDOUBLE; /* of the radius filters inside */
  bool circle_box = false;             /* a radius filter is inside */
  for (LodexSet *set = inner; set;)
    {
      double centre_latitude, centre_longitude, radius;
      if (radius_circle (set, &centre_latitude, &centre_longitude, &radius))
        {
          /* no place of the circle is farther than its centre and radius */
          LodexDistanceOrigin origin;
          _lodex_location_sort_origin_init (&origin, latitude_, longitude_, 0.0);
          circles_reach = std::min (circles_reach, _lodex_location_sort_distance (&origin, centre_latitude, centre_longitude, 0.0) + radius);
          const Box circle = cap_box (centre_latitude, centre_longitude, false, box_angle (radius));
          extent_.south = std::max (extent_.south, circle.south);
          extent_.north = std::min (extent_.north, circle.north);
          if (!boxed_ && circle.ranges == 1)
            west = circle.west[0], east = circle.east[0], boxed_ = true;
          circle_box = true;
        }
      if (LODEX_IS_LOCATION_FILTER (set))
        {
          double min_lat, max_lat, min_long, max_long;
          g_object_get (set, "min-lat", &min_lat, "max-lat", &max_lat, "min-long", &min_long, "max-long", &max_long,
                        nullptr);
          extent_.south = std::max (extent_.south, min_lat);
          extent_.north = std::min (extent_.north, max_lat);
          if (!boxed_) /* one box's longitudes will do */
            west = min_long, east = max_long < min_long ? max_long + 360 : max_long, boxed_ = true;
        }
      if (!g_object_class_find_property (G_OBJECT_GET_CLASS (set), "set"))
        break;
      LodexSet *held = nullptr;
      g_object_get (set, "set", &held, nullptr);
      g_clear_object (&held); /* @set holds it */
      set = held;
    }
  /* a box across the 180th meridian also holds a longitude that is text,
   * which the R*Tree has at 0: only a plain range may bound the rings */
  if (boxed_ && east <= 180 && west >= -180)
    extent_.ranges = 1, extent_.west[0] = west, extent_.east[0] = east;

  places_ = store_places;
  reach_ = circles_reach;
  small_extent_ = false;
  if (extent_.south > extent_.north)
    places_ = 0;
  else if (boxed_ && east - west < 360)
    {
      /* through the box's centre: along its parallel, then its meridian */
      const double centre = (extent_.south + extent_.north) / 2;
      LodexDistanceOrigin origin;
      _lodex_location_sort_origin_init (&origin, latitude_, longitude_, 0.0);
      reach_ = std::min (reach_, _lodex_location_sort_distance (&origin, centre, (west + east) / 2, 0.0)
                                   + earth_radius * radians_per_degree
                                       * ((extent_.north - extent_.south) / 2 + (east - west) / 2 * std::cos (centre * radians_per_degree)));
      if (extent_.ranges && !circle_box)
        {
          gint64 n = count (extent_, small_extent);
          if (n < small_extent)
            places_ = double (n), small_extent_ = true;
        }
    }
  /* a circle's text checks distances only: the last ring reads its box
   * through the R*Tree */
  if (circle_box)
    small_extent_ = true;
}

bool
RingWalk::start (LodexSet *sort, LodexSet *inner, const DistancePoint &point) noexcept
{
  /* beyond a pole the distance has no cap to bound */
  if (!std::isfinite (point.latitude) || !std::isfinite (point.longitude) || std::fabs (point.latitude) > 90)
    return false;
  g_autoptr (LodexStore) store = lodex_set_get_store (sort);
  store_ = store; /* the sort holds it */
  db_ = store ? _lodex_store_get_walk_db (store) : nullptr;
  composing_for_rings = true;
  const gchar *inner_text = _lodex_set_get_query (inner);
  composing_for_rings = false;
  if (!db_ || !inner_text)
    return false;
  inner_ = g_strdup (inner_text); /* the inner set frees its own when it composes again */

  /* before the snapshot: a text filter inside reads the words as they are */
  refresh_search (_lodex_set_get_db (inner), false);
  pin_.emplace (db::borrow (db_, pin_query));
  sqlite3_stmt *pin = pin_->get ();
  if (!pin || _lodex_db_step (pin) != SQLITE_ROW || sqlite3_column_int (pin, 0) < 1)
    {
      g_debug ("sorting in one statement: the database has no R*Tree of positions");
      pin_.reset ();
      return false;
    }
  store_places_ = sqlite3_column_double (pin, 1);
  text_latitudes_ = sqlite3_column_int (pin, 2) != 0;
  {
    db::Statement odd = db::borrow (db_, odd_query);
    odd_ = !odd || _lodex_db_step (odd.get ()) != SQLITE_ROW || sqlite3_column_int (odd.get (), 0) != 0;
  }
  latitude_ = point.latitude;
  longitude_ = std::remainder (point.longitude, 360.0);
  any_longitude_ = std::fabs (point.longitude) > 540; /* the distance's own rounding */
  measure_extent (inner, store_places_);

  ring_number_ = 0;
  final_ = false;
  low_ = high_ = low_angle_ = 0;
  return true;
}

/* Bounds the ring after the one that ended, or the first: a cap whose box
 * holds enough candidates, found by counting. */
void
RingWalk::plan_next () noexcept
{
  /* the second ring only doubles: a caller who wanted a few more than the
   * first gave (the ten nearest, where altitudes put some of the first
   * ring's candidates beyond its distance) reads half as many */
  const double growth = ring_number_ == 1 ? std::min (plan.growth, 2.0) : plan.growth;
  const double want = ring_number_ ? candidates_ * growth : plan.first_candidates;
  double angle;
  if (ring_number_)
    {
      low_ = high_;
      low_angle_ = box_angle (high_);
      angle = cap_angle (cap_fraction (high_ / earth_radius) * growth);
    }
  else
    angle = cap_angle (plan.first_candidates / (std::max (store_places_, 1.0) * town));
  ring_number_++;

  for (;;)
    {
      const Box box = ring_box (angle * earth_radius);
      /* by the count alone, not the area: from a point far from every
       * place, rings cross empty space before they reach any */
      if (want > plan.share * places_ || places_ < 1 || angle >= G_PI || angle * earth_radius >= reach_)
        {
          final_ = true;
          return;
        }
      const gint64 limit = gint64 (std::ceil (want));
      const gint64 n = count (box, limit);
      if (n >= limit)
        break;
      /* as many again where the density is the same; far more through
       * empty space */
      const double most = plan.growth * plan.growth * plan.growth;
      const double grow = n ? std::clamp (1.25 * want / double (n), 1.25, most) : most;
      angle = cap_angle (cap_fraction (angle) * grow);
    }
  candidates_ = want;
  high_ = angle * earth_radius;
}

bool
RingWalk::open_ring (LodexSet *sort) noexcept
{
  const Box box = final_ ? extent_ : ring_box (high_);
  g_autoptr (GString) text = g_string_new (nullptr);
  g_string_printf (text, "SELECT * FROM (%s)", inner_);
  const char *joint = " WHERE ";
  if (!final_ && banded (box))
    {
      g_string_append_printf (text, "%s(latitude >= :ring_south AND latitude <= :ring_north%s)", joint,
                              odd_ ? " OR latitude < -90 OR latitude > 90" : "");
      joint = " AND ";
    }
  else if (!final_ || small_extent_)
    {
      g_string_append_printf (text, "%sid IN (", joint);
      for (int r = 0; r < std::max (box.ranges, 1); r++)
        {
          g_string_append_printf (text,
                                  "%sSELECT place_id FROM places_rtree WHERE max_lat >= :ring_south "
                                  "AND min_lat <= :ring_north",
                                  r ? " UNION ALL " : "");
          if (box.ranges)
            g_string_append_printf (text, " AND max_long >= :ring_west%d AND min_long <= :ring_east%d", r, r);
        }
      if (odd_)
        for (const char *beyond : {"max_lat > 90", "min_lat < -90", "max_long > 180", "min_long < -180"})
          g_string_append_printf (text, " UNION ALL SELECT place_id FROM places_rtree WHERE %s", beyond);
      g_string_append (text, ")");
      joint = " AND ";
    }
  if (ring_number_ > 1)
    {
      /* a position outside the last box's latitudes is as far as its low,
       * whatever its longitude: no distance to work out */
      g_string_append_printf (text,
                              "%s((latitude >= -90 AND latitude < :ring_below) OR (latitude > :ring_above "
                              "AND latitude <= 90) OR %s >= :ring_low)",
                              joint, distance);
      joint = " AND ";
    }
  if (!final_)
    g_string_append_printf (text, "%s%s < :ring_high", joint, distance);
  g_string_append_printf (text, " ORDER BY %s", distance_order);

  if (const char *key = kept_text (text->str))
    {
      kept_ring_.emplace (db::borrow (db_, key));
      if (!*kept_ring_)
        {
          kept_ring_.reset ();
          return false;
        }
    }
  else
    {
      sqlite3_stmt *raw = nullptr;
      int res = db::wait_out_busy ([&] { return sqlite3_prepare_v2 (db_, text->str, -1, &raw, nullptr); });
      own_ring_.reset (raw);
      if (res != SQLITE_OK)
        {
          g_warning ("Problem preparing sql statement: %s", sqlite3_errmsg (db_));
          own_ring_.reset ();
          return false;
        }
    }
  sqlite3_stmt *s = ring ();
  place_rows_ = db::is_place_row (s);
  if (!bind (s))
    {
      g_warning ("Error with chained binding of statement.");
      end_ring ();
      return false;
    }
  const double spread = low_angle_ / radians_per_degree;
  const struct
  {
    const char *name;
    double value;
  } values[] = {
    {":ring_south", box.south},
    {":ring_north", box.north},
    {":ring_west0", box.west[0]},
    {":ring_east0", box.east[0]},
    {":ring_west1", box.west[1]},
    {":ring_east1", box.east[1]},
    {":ring_below", latitude_ - spread},
    {":ring_above", latitude_ + spread},
    {":ring_low", low_},
    {":ring_high", high_},
  };
  for (const auto &v : values)
    {
      int index = sqlite3_bind_parameter_index (s, v.name);
      if (index && sqlite3_bind_double (s, index, v.value) != SQLITE_OK)
        {
          g_warning ("Problem whilst binding statement: %s", sqlite3_errmsg (db_));
          end_ring ();
          return false;
        }
    }
  return true;
}

/* What the inner sets bind in the first ring's @statement, read back
 * through a statement of their parameters alone. */
bool
RingWalk::capture_inner (sqlite3_stmt *statement) noexcept
{
  g_autoptr (GString) text = g_string_new ("SELECT ");
  g_autoptr (GPtrArray) names = g_ptr_array_new ();
  for (int i = 1; i <= sqlite3_bind_parameter_count (statement); i++)
    {
      const char *name = sqlite3_bind_parameter_name (statement, i);
      if (!name)
        return false; /* nameless: cannot be bound again */
      if (!g_str_has_prefix (name, ":ring_"))
        {
          g_string_append_printf (text, "%s%s", names->len ? ", " : "", name);
          g_ptr_array_add (names, const_cast<char *> (name));
        }
    }
  if (!names->len)
    return true;

  sqlite3_stmt *raw = nullptr;
  sqlite3_prepare_v2 (db_, text->str, -1, &raw, nullptr);
  Stmt values (raw);
  if (!values || !_lodex_set_bind (inner_set_, raw) || _lodex_db_step (raw) != SQLITE_ROW)
    return false;
  for (guint i = 0; i < names->len; i++)
    {
      InnerValue v = {g_strdup (static_cast<const char *> (names->pdata[i])), sqlite3_value_dup (sqlite3_column_value (raw, int (i)))};
      g_array_append_val (inner_values_, v);
    }
  return true;
}

/* Binds the inner sets' parameters as they were at the first ring, then
 * the point: a set inside that changes meanwhile does not change the set
 * that the walk gives, as it would not change one statement. */
bool
RingWalk::bind (sqlite3_stmt *statement) noexcept
{
  if (!inner_values_)
    {
      inner_values_ = g_array_new (FALSE, FALSE, sizeof (InnerValue));
      g_array_set_clear_func (inner_values_, clear_inner_value);
      if (!capture_inner (statement))
        return false;
    }
  for (guint i = 0; i < inner_values_->len; i++)
    {
      const InnerValue &v = g_array_index (inner_values_, InnerValue, i);
      int index = sqlite3_bind_parameter_index (statement, v.name);
      if (index && sqlite3_bind_value (statement, index, v.value) != SQLITE_OK)
        return false;
    }
  return bind_point_ (sort_, statement);
}

/* The next place of the walk, opening rings until one has it. */
LodexPlace *
RingWalk::advance (LodexSet *sort) noexcept
{
  while (walking () || open_ring (sort))
    {
      int res = _lodex_db_step (ring ());
      if (res == SQLITE_ROW)
        {
          LodexPlace *place = place_for_row (store_, ring (), place_rows_);
          if (!place) /* as in every walk: an id without a place ends it */
            break;
          return place;
        }
      if (res != SQLITE_DONE)
        {
          _lodex_set_walk_failed (sort, db_, "Error when retrieving row");
          break;
        }
      end_ring ();
      if (final_)
        break;
      plan_next ();
    }
  end ();
  return nullptr;
}

LodexPlace *
RingWalk::first (LodexSet *sort,
                 LodexSet *inner,
                 const DistancePoint &point,
                 BindPoint bind_point,
                 Walk *whole) noexcept
{
  end ();
  whole->end ();
  if (!start (sort, inner, point))
    return walk_first (sort, whole);
  sort_ = sort;
  inner_set_ = inner;
  bind_point_ = bind_point;
  plan_next ();
  return advance (sort);
}

LodexPlace *
RingWalk::next (LodexSet *sort, Walk *whole) noexcept
{
  return walking () ? advance (sort) : walk_next (sort, whole);
}

} // namespace lodex

void
_lodex_location_sort_set_ring_plan (const LodexRingPlan *ring_plan)
{
  lodex::plan = ring_plan ? *ring_plan : lodex::default_plan;
  lodex::plan.growth = std::max (lodex::plan.growth, 1.25); /* rings must grow */
}
