#pragma once

#include <glib-object.h>
#include <liblodex/lodex-types.h>
#include <liblodex/lodex-set.h>

G_BEGIN_DECLS

#define LODEX_TYPE_RADIUS_FILTER (lodex_radius_filter_get_type ())
G_DECLARE_FINAL_TYPE (LodexRadiusFilter, lodex_radius_filter, LODEX, RADIUS_FILTER, GObject)

LodexRadiusFilter *lodex_radius_filter_new (LodexSet *set, gdouble latitude, gdouble longitude, gdouble radius);

G_END_DECLS
