#pragma once

/* What the parts of the GPX library share. */

#include "gpx.h"

#include <libxml/xmlerror.h>

G_BEGIN_DECLS

#define GPX_NS_10 "http://www.topografix.com/GPX/1/0"
#define GPX_NS_11 "http://www.topografix.com/GPX/1/1"

typedef struct
{
  gchar *name;
  GpxExtension *extension;
} GpxRegistration;

/* A copy of the registrations, in registration order. */
GPtrArray *_gpx_registrations (void);
GpxExtension *_gpx_extension_for_namespace (const xmlChar *uri);

/* Extension data: one record per extension, on a point or the tree. */
gpointer _gpx_exdata_get (GSList *list, GpxExtension *extension);
GSList *_gpx_exdata_set (GSList *list, GpxExtension *extension, gpointer data, gboolean tree);
void _gpx_exdata_free (GSList *list, gboolean tree);
/* One entry of such a list: its extension, and where its record is. */
GpxExtension *_gpx_exdata_extension (GSList *link);
gpointer *_gpx_exdata_slot (GSList *link);

void _gpx_point_free (GpxPoint *point);
void _gpx_route_free (GpxRoute *route);
void _gpx_track_free (GpxTrack *track);

typedef struct
{
  xmlStructuredErrorFunc handler;
  void *context;
  xmlGenericErrorFunc generic;
  void *generic_context;
} GpxErrorHandler;

GpxErrorHandler _gpx_catch_errors (xmlStructuredErrorFunc handler, void *context);
void _gpx_restore_errors (GpxErrorHandler previous);

G_END_DECLS
