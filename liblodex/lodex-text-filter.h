#pragma once

#include <glib-object.h>
#include <liblodex/lodex-types.h>
#include <liblodex/lodex-set.h>

G_BEGIN_DECLS

/**
 * LodexTextMatch:
 * @LODEX_TEXT_MATCH_CONTAINS: every word of the text is a word of the
 *   place's text, in any order ("cafe tower" finds "Tower Café"); a word
 *   ending in `*` finds the words it begins ("caf* tow*" finds it too)
 * @LODEX_TEXT_MATCH_STARTS_WITH: the place's text begins with the words of
 *   the text, the last one perhaps unfinished ("cafe gr" finds "Café Größe")
 * @LODEX_TEXT_MATCH_EXACT: the place's text has the words of the text and
 *   no others, in that order
 *
 * How a #LodexTextFilter compares its text with the places'. Words are runs
 * of letters and digits: spaces and punctuation only separate them. Case
 * never counts unless #LodexTextFilter:case-sensitive is set; the accents
 * of Latin letters never count (in other scripts they do, as in SQLite's
 * tokenizer, which the index uses).
 *
 * Since: 0.2
 */
typedef enum
{
  LODEX_TEXT_MATCH_CONTAINS = 0,
  LODEX_TEXT_MATCH_STARTS_WITH = 1,
  LODEX_TEXT_MATCH_EXACT = 2,
} LodexTextMatch;

/**
 * LodexTextFields:
 * @LODEX_TEXT_FIELD_NAME: the name
 * @LODEX_TEXT_FIELD_DESCRIPTION: the description
 * @LODEX_TEXT_FIELD_ADDRESS: the postal address (country, state, county,
 *   city, district, postcode, crossings, street and building name and zone)
 *
 * The texts of a place that a #LodexTextFilter searches.
 *
 * Since: 0.2
 */
typedef enum /*< flags >*/
{
  LODEX_TEXT_FIELD_NAME = 1 << 0,
  LODEX_TEXT_FIELD_DESCRIPTION = 1 << 1,
  LODEX_TEXT_FIELD_ADDRESS = 1 << 2,
} LodexTextFields;

#define LODEX_TYPE_TEXT_MATCH (lodex_text_match_get_type ())
GType lodex_text_match_get_type (void);
#define LODEX_TYPE_TEXT_FIELDS (lodex_text_fields_get_type ())
GType lodex_text_fields_get_type (void);

#define LODEX_TYPE_TEXT_FILTER (lodex_text_filter_get_type ())
G_DECLARE_FINAL_TYPE (LodexTextFilter, lodex_text_filter, LODEX, TEXT_FILTER, GObject)

LodexTextFilter *lodex_text_filter_new (LodexSet *set, const gchar *text);

G_END_DECLS
