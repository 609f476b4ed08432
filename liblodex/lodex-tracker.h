#pragma once

#include <glib-object.h>
#include <liblodex/lodex-types.h>

G_BEGIN_DECLS

#define LODEX_TYPE_TRACKER (lodex_tracker_get_type ())
G_DECLARE_DERIVABLE_TYPE (LodexTracker, lodex_tracker, LODEX, TRACKER, GObject)

/* One slot per signal, in the order the signals are created. */
struct _LodexTrackerClass
{
  GObjectClass parent_class;

  void (*place_updated) (LodexTracker *tracker, const gchar *id);
  void (*place_added) (LodexTracker *tracker, const gchar *id);
  void (*place_removed) (LodexTracker *tracker, const gchar *id);
  void (*store_updated) (LodexTracker *tracker);
  void (*category_added) (LodexTracker *tracker, const gchar *id);
  void (*category_removed) (LodexTracker *tracker, const gchar *id);
  void (*category_updated) (LodexTracker *tracker, const gchar *id);
  void (*image_added) (LodexTracker *tracker, const gchar *id);
  void (*image_removed) (LodexTracker *tracker, const gchar *id);
  void (*image_updated) (LodexTracker *tracker, const gchar *id);
  void (*route_added) (LodexTracker *tracker, const gchar *id);
  void (*route_removed) (LodexTracker *tracker, const gchar *id);
  void (*route_updated) (LodexTracker *tracker, const gchar *id);
  void (*route_waypoints) (LodexTracker *tracker, const gchar *id);
};

LodexTracker *lodex_tracker_new (void);

void lodex_tracker_signal_place_added (LodexTracker *tracker, const gchar *id);
void lodex_tracker_signal_place_updated (LodexTracker *tracker, const gchar *id);
void lodex_tracker_signal_place_removed (LodexTracker *tracker, const gchar *id);
void lodex_tracker_signal_store_updated (LodexTracker *tracker);
void lodex_tracker_signal_category_added (LodexTracker *tracker, const gchar *id);
void lodex_tracker_signal_category_updated (LodexTracker *tracker, const gchar *id);
void lodex_tracker_signal_category_removed (LodexTracker *tracker, const gchar *id);
void lodex_tracker_signal_image_added (LodexTracker *tracker, const gchar *id);
void lodex_tracker_signal_image_updated (LodexTracker *tracker, const gchar *id);
void lodex_tracker_signal_image_removed (LodexTracker *tracker, const gchar *id);
void lodex_tracker_signal_route_added (LodexTracker *tracker, const gchar *id);
void lodex_tracker_signal_route_updated (LodexTracker *tracker, const gchar *id);
void lodex_tracker_signal_route_removed (LodexTracker *tracker, const gchar *id);
void lodex_tracker_signal_route_waypoints (LodexTracker *tracker, const gchar *id);

G_END_DECLS
