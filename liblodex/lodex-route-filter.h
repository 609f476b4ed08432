#pragma once

#include <glib-object.h>
#include <liblodex/lodex-set.h>

G_BEGIN_DECLS

#define LODEX_TYPE_ROUTE_FILTER (lodex_route_filter_get_type ())
G_DECLARE_FINAL_TYPE (LodexRouteFilter, lodex_route_filter, LODEX, ROUTE_FILTER, GObject)

LodexRouteFilter *lodex_route_filter_new (LodexSet *set);

G_END_DECLS
