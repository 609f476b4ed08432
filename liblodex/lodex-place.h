#pragma once

#include <glib-object.h>
#include <liblodex/lodex-types.h>

G_BEGIN_DECLS

/**
 * LODEX_PLACE_FIELD_ALTITUDE:
 *
 * The bit of #LodexPlace:fields set when the place has an altitude.
 *
 * Since: 0.1
 */
#define LODEX_PLACE_FIELD_ALTITUDE 0x1
/**
 * LODEX_PLACE_FIELD_HACCURACY:
 *
 * The bit of #LodexPlace:fields set when the place has a horizontal accuracy.
 *
 * Since: 0.1
 */
#define LODEX_PLACE_FIELD_HACCURACY 0x2
/**
 * LODEX_PLACE_FIELD_VACCURACY:
 *
 * The bit of #LodexPlace:fields set when the place has a vertical accuracy.
 *
 * Since: 0.1
 */
#define LODEX_PLACE_FIELD_VACCURACY 0x4
/**
 * LODEX_PLACE_FIELD_COVERAGE:
 *
 * The bit of #LodexPlace:fields set when the place has a coverage radius.
 *
 * Since: 0.1
 */
#define LODEX_PLACE_FIELD_COVERAGE 0x8

/**
 * LodexPlaceRow:
 *
 * The in-memory copy of one row of the places table. Slice-allocated; owned
 * by whoever holds it.
 *
 * Since: 0.1
 */
typedef struct _LodexPlaceRow
{
  guint fields;
  gchar *id;
  gdouble latitude;
  gdouble longitude;
  gdouble altitude;
  gchar *name;
  gchar *icon;
  gdouble haccuracy;
  gdouble vaccuracy;
  gchar *description;
  gchar *comment;
  gdouble coverage;
  gchar *presence;
  gint64 ctime;
} LodexPlaceRow;

/**
 * LodexPlaceAddress:
 *
 * The postal address of a place; every field may be %NULL.
 *
 * Since: 0.1
 */
typedef struct _LodexPlaceAddress
{
  gchar *country;
  gchar *country_code;
  gchar *state;
  gchar *county;
  gchar *city;
  gchar *district;
  gchar *postcode;
  gchar *crossing1;
  gchar *crossing2;
  gchar *street;
  gchar *building_name;
  gchar *building_zone;
  gchar *building_floor;
  gchar *building_room;
  gchar *extension;
  gchar *phone_number;
} LodexPlaceAddress;

/**
 * LodexPlaceLink:
 * @name: display name
 * @mime: MIME type of the linked resource
 * @url: the URL
 * @link_id: the link's own id; %NULL until added to a place
 * @place_id: id of the place it belongs to; %NULL while that place has none
 *
 * A web link of a place. lodex_place_get_links() gives copies;
 * lodex_place_add_link(), lodex_place_update_link() and
 * lodex_place_remove_link() change the links of a place.
 *
 * Since: 0.1
 */
typedef struct _LodexPlaceLink
{
  gchar *name;
  gchar *mime;
  gchar *url;
  gchar *link_id;
  gchar *place_id;
} LodexPlaceLink;

#define LODEX_TYPE_PLACE_LINK (lodex_place_link_get_type ())
GType lodex_place_link_get_type (void) G_GNUC_CONST;
LodexPlaceLink *lodex_place_link_new (void);
LodexPlaceLink *lodex_place_link_copy (const LodexPlaceLink *link);
void lodex_place_link_free (LodexPlaceLink *link);
G_DEFINE_AUTOPTR_CLEANUP_FUNC (LodexPlaceLink, lodex_place_link_free)

#define LODEX_TYPE_PLACE (lodex_place_get_type ())
G_DECLARE_DERIVABLE_TYPE (LodexPlace, lodex_place, LODEX, PLACE, GObject)

struct _LodexPlaceClass
{
  GObjectClass parent_class;

  void (*changed) (LodexPlace *place);
  void (*added) (LodexPlace *place, LodexStore *store);
  void (*removed) (LodexPlace *place, LodexStore *store);
};

LodexPlace *lodex_place_new (const gchar *name, gdouble latitude, gdouble longitude);
gboolean lodex_place_commit (LodexPlace *place);
gboolean lodex_place_commit_full (LodexPlace *place, GError **error);
void lodex_place_discard_changes (LodexPlace *place);
gboolean lodex_place_has_id (LodexPlace *place);

gboolean lodex_place_add_link (LodexPlace *place, LodexPlaceLink *link);
gboolean lodex_place_add_link_full (LodexPlace *place, LodexPlaceLink *link, GError **error);
gboolean lodex_place_update_link (LodexPlace *place, LodexPlaceLink *link);
gboolean lodex_place_update_link_full (LodexPlace *place, LodexPlaceLink *link, GError **error);
gboolean lodex_place_remove_link (LodexPlace *place, LodexPlaceLink *link);
gboolean lodex_place_remove_link_full (LodexPlace *place, LodexPlaceLink *link, GError **error);
GList *lodex_place_get_links (LodexPlace *place);

gchar *lodex_place_get_appdata (LodexPlace *place, const gchar *key);
gchar *lodex_place_get_appdata_full (LodexPlace *place, const gchar *key, GError **error);
gboolean lodex_place_set_appdata (LodexPlace *place, const gchar *key, const gchar *data);
gboolean lodex_place_set_appdata_full (LodexPlace *place, const gchar *key, const gchar *data, GError **error);
gboolean lodex_place_clear_appdata (LodexPlace *place, const gchar *key);
gboolean lodex_place_clear_appdata_full (LodexPlace *place, const gchar *key, GError **error);

gboolean lodex_place_add_image (LodexPlace *place, LodexImage *image);
gboolean lodex_place_add_image_full (LodexPlace *place, LodexImage *image, GError **error);
gboolean lodex_place_remove_image (LodexPlace *place, LodexImage *image);
gboolean lodex_place_remove_image_full (LodexPlace *place, LodexImage *image, GError **error);
GList *lodex_place_get_images (LodexPlace *place);
GList *lodex_place_get_categories (LodexPlace *place);

G_END_DECLS
