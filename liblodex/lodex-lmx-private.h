#pragma once

/* The LMX elements the reader and the writer share: their names, and the
 * place, category or link property each one carries. */

#include <glib.h>

#include <algorithm>
#include <cstring>

namespace lodex::lmx
{

/* The LMX 1.0 landmarks namespace, declared with the prefix "lm". */
inline constexpr char namespace_uri[] = "http://www.nokia.com/schemas/location/landmarks/1/0";
inline constexpr char prefix[] = "lm";

enum Tag
{
  UNKNOWN = 0,
  LMX,
  LANDMARK_COLLECTION,
  LANDMARK,
  NAME,
  DESCRIPTION,
  COORDINATES,
  LATITUDE,
  LONGITUDE,
  ALTITUDE,
  HORIZONTAL_ACCURACY,
  VERTICAL_ACCURACY,
  COVERAGE_RADIUS,
  ADDRESS_INFO,
  MEDIA_LINK,
  CATEGORY,
  MIME,
  URL,
  COUNTRY, /* COUNTRY to PHONE_NUMBER: the address, in writing order */
  COUNTRY_CODE,
  STATE,
  COUNTY,
  CITY,
  DISTRICT,
  POSTAL_CODE,
  CROSSING1,
  CROSSING2,
  STREET,
  BUILDING_NAME,
  BUILDING_ZONE,
  BUILDING_FLOOR,
  BUILDING_ROOM,
  EXTENSION,
  PHONE_NUMBER,
  ID,
  N_TAGS
};

struct Element
{
  const char *name;
  const char *property; /* of the place, and of a category for name and description */
};

inline constexpr Element elements[N_TAGS] = {
  {"", nullptr},
  {"lmx", nullptr},
  {"landmarkCollection", nullptr},
  {"landmark", nullptr},
  {"name", "name"},
  {"description", "description"},
  {"coordinates", nullptr},
  {"latitude", "latitude"},
  {"longitude", "longitude"},
  {"altitude", "altitude"},
  {"horizontalAccuracy", "haccuracy"},
  {"verticalAccuracy", "vaccuracy"},
  {"coverageRadius", "coverage"},
  {"addressInfo", nullptr},
  {"mediaLink", nullptr},
  {"category", nullptr},
  {"mime", nullptr},
  {"url", nullptr},
  {"country", "country"},
  {"countryCode", "country-code"},
  {"state", "state"},
  {"county", "county"},
  {"city", "city"},
  {"district", "district"},
  {"postalCode", "postcode"},
  {"crossing1", "crossing1"},
  {"crossing2", "crossing2"},
  {"street", "street"},
  {"buildingName", "building-name"},
  {"buildingZone", "building-zone"},
  {"buildingFloor", "building-floor"},
  {"buildingRoom", "building-room"},
  {"extension", "extension"},
  {"phoneNumber", "phone-number"},
  {"id", nullptr},
};

/* The tag of an element's local name; UNKNOWN for a name outside the
 * subset. A binary search over the names, sorted once. */
inline Tag
tag_of (const char *local_name)
{
  struct Sorted
  {
    Tag tags[N_TAGS - 1];
    Sorted ()
    {
      for (int i = 1; i < N_TAGS; i++)
        tags[i - 1] = Tag (i);
      std::sort (std::begin (tags), std::end (tags),
                 [] (Tag a, Tag b) { return strcmp (elements[a].name, elements[b].name) < 0; });
    }
  };
  static const Sorted sorted;

  if (!local_name)
    return UNKNOWN;
  auto found = std::lower_bound (std::begin (sorted.tags), std::end (sorted.tags), local_name,
                                 [] (Tag tag, const char *name) { return strcmp (elements[tag].name, name) < 0; });
  if (found != std::end (sorted.tags) && strcmp (elements[*found].name, local_name) == 0)
    return *found;
  return UNKNOWN;
}

} // namespace lodex::lmx
