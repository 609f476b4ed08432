#pragma once

/* What the GeoJSON reader and writer share: the properties of a feature
 * and the place fields they stand for. The address fields are properties
 * too, named as their columns (lodex::address_fields). */

#include "lodex-private.h"

namespace lodex::geojson
{

struct TextProperty
{
  const char *name;
  gchar *LodexPlaceRow::*member;
};

inline constexpr TextProperty place_texts[] = {
  {"name", &LodexPlaceRow::name},
  {"description", &LodexPlaceRow::description},
  {"comment", &LodexPlaceRow::comment},
  {"icon", &LodexPlaceRow::icon},
  {"presence", &LodexPlaceRow::presence},
};

struct NumberProperty
{
  const char *name;
  gdouble LodexPlaceRow::*member;
  guint field;
};

inline constexpr NumberProperty place_numbers[] = {
  {"haccuracy", &LodexPlaceRow::haccuracy, LODEX_PLACE_FIELD_HACCURACY},
  {"vaccuracy", &LodexPlaceRow::vaccuracy, LODEX_PLACE_FIELD_VACCURACY},
  {"coverage", &LodexPlaceRow::coverage, LODEX_PLACE_FIELD_COVERAGE},
};

inline constexpr const char *created_property = "created";
inline constexpr const char *categories_property = "categories";
inline constexpr const char *links_property = "links";

/* The application data key under which a place keeps the properties of
 * other applications, as a JSON object. */
inline constexpr const char *appdata_key = "geojson";

/* An id as the store makes them. */
bool is_place_id (const char *text) noexcept;
/* A property that stands for a field. */
bool is_known (const char *key) noexcept;
/* A JSON array of strings; FALSE for anything else. */
bool read_categories (const char *text, gsize length, GList **names) noexcept;
/* A JSON array of objects of "url", "name" and "mime" strings, as
 * LodexPlaceLink; FALSE for anything else. */
bool read_links (const char *text, gsize length, GList **links) noexcept;

} // namespace lodex::geojson
