#pragma once

/* The umbrella header of liblodex: include this one. */

#include <liblodex/lodex-types.h>
#include <liblodex/lodex-set.h>
#include <liblodex/lodex-place.h>
#include <liblodex/lodex-category.h>
#include <liblodex/lodex-image.h>
#include <liblodex/lodex-waypoint.h>
#include <liblodex/lodex-route.h>
#include <liblodex/lodex-change.h>
#include <liblodex/lodex-store.h>
#include <liblodex/lodex-tracker.h>
#include <liblodex/lodex-db.h>
#include <liblodex/lodex-category-filter.h>
#include <liblodex/lodex-route-filter.h>
#include <liblodex/lodex-location-filter.h>
#include <liblodex/lodex-location-sort.h>
#include <liblodex/lodex-text-filter.h>
#include <liblodex/lodex-radius-filter.h>
#include <liblodex/lodex-appdata-filter.h>
#include <liblodex/lodex-name-sort.h>
#include <liblodex/lodex-page.h>
#include <liblodex/lodex-union.h>
#include <liblodex/lodex-error.h>
#include <liblodex/lodex-import.h>
#include <liblodex/lodex-export.h>
#include <liblodex/lodex-import-options.h>
#include <liblodex/lodex-import-result.h>
#include <liblodex/lodex-export-options.h>
#include <liblodex/lodex-list-model.h>
