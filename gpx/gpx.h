#pragma once

/* A small GPX document library: reads GPX 1.0 and 1.1 into a tree of
 * records, writes GPX 1.1, and lets registered extensions read and write
 * their own elements inside the <extensions> blocks. Internal to liblodex.
 *
 * Every string and record of a tree is allocated with GLib (g_malloc and
 * kin) and owned by the record that holds it; gpx_tree_free() frees them
 * all. */

#include <glib.h>
#include <libxml/xmlreader.h>
#include <libxml/xmlwriter.h>

G_BEGIN_DECLS

#define GPX_ERROR (gpx_error_quark ())

typedef enum
{
  GPX_ERROR_PARSE,   /* not well-formed XML, or cut short */
  GPX_ERROR_INVALID, /* well-formed, but not GPX we can read or write */
  GPX_ERROR_WRITE,   /* the output could not be written */
} GpxError;

GQuark gpx_error_quark (void);

/* GpxPoint.flags: which optional values the point holds */
#define GPX_POINT_TIME 0x1
#define GPX_POINT_ELEVATION 0x2
#define GPX_POINT_HDOP 0x80 /* in extra */
#define GPX_POINT_VDOP 0x100

typedef struct
{
  gint64 seconds; /* since 1970-01-01 UTC */
  gint32 microseconds;
} GpxTime;

typedef struct
{
  gchar *href;
  gchar *text;
  gchar *type;
} GpxLink;

typedef struct
{
  gdouble hdop;
  gdouble vdop;
} GpxPointExtra;

typedef struct
{
  guint flags;
  gdouble latitude;
  gdouble longitude;
  gdouble elevation; /* 0.0 without GPX_POINT_ELEVATION */
  GpxTime time;
  gchar *name;
  gchar *cmt;
  gchar *desc;
  gchar *sym;
  gchar *type;
  GList *links;         /* of GpxLink */
  GpxPointExtra *extra; /* NULL until a dilution is known */
  GSList *exdata;       /* private */
} GpxPoint;

typedef struct
{
  gchar *name;
  gchar *cmt;
  gchar *desc;
  GList *points; /* of GpxPoint, in order */
  GList *last;   /* private */
} GpxRoute;

typedef struct
{
  GList *points; /* of GpxPoint, in order */
  GList *last;   /* private */
} GpxTrackSegment;

typedef struct
{
  gchar *name;
  gchar *cmt;
  gchar *desc;
  GList *segments; /* of GpxTrackSegment */
} GpxTrack;

typedef struct
{
  gchar *title;
  GList *waypoints;     /* of GpxPoint */
  GList *routes;        /* of GpxRoute */
  GList *tracks;        /* of GpxTrack */
  GList *last_waypoint; /* private */
  GSList *exdata;       /* private */
} GpxTree;

/* An extension: zero-filled, then filled in, then registered. A parser is
 * called with the reader on the start of an element in the extension's
 * namespace, found in a tree-level or point-level extension block; it
 * returns 1 once it has read the element to its end (the reader on its end
 * tag, or still on it if it was empty), 0 when the element is not its own
 * (the library skips it), or -1 when reading failed. What it puts in *data
 * becomes the tree's or point's data for the extension. A writer returns 0,
 * or -1 on failure. */
typedef struct
{
  GDestroyNotify free_tree_data;
  GDestroyNotify free_point_data;
  int (*parse_tree) (gpointer *data, xmlTextReaderPtr reader);
  int (*parse_point) (gpointer *data, xmlTextReaderPtr reader);
  int (*write_tree) (gpointer data, xmlTextWriterPtr writer);
  int (*write_point) (gpointer data, xmlTextWriterPtr writer);
  gchar *namespace_uri;
} GpxExtension;

/* Reading a file as a stream: each record is handed over as soon as it is
 * read and freed once its function returns, so memory stays flat whatever
 * the file's size. A function may take what it wants of the record it is
 * given (a string, setting its field to NULL). One that returns FALSE stops
 * the reading with its error. Every member may be NULL.
 *
 * A waypoint, route point or track point always has a valid position: a
 * missing or unreadable lat or lon fails the file. An optional value that
 * cannot be read (<ele/>, <time>yesterday</time>, <hdop>n/a</hdop>) is left
 * out of its point, its flag cleared, and reported to @dropped. */
typedef struct
{
  gboolean (*waypoint) (GpxPoint *point, gpointer data, GError **error);
  gboolean (*route_start) (gpointer data, GError **error);
  gboolean (*route_point) (GpxPoint *point, gpointer data, GError **error);
  /* with the route's name, cmt and desc; its point list is empty */
  gboolean (*route_end) (GpxRoute *route, gpointer data, GError **error);
  gboolean (*track_start) (gpointer data, GError **error);
  gboolean (*segment_start) (gpointer data, GError **error);
  gboolean (*track_point) (GpxPoint *point, gpointer data, GError **error);
  gboolean (*segment_end) (gpointer data, GError **error);
  /* with the track's name, cmt and desc; its segment list is empty */
  gboolean (*track_end) (GpxTrack *track, gpointer data, GError **error);
  /* the tree-level data an extension's parser made; the function may take
   * it, setting *@exdata to NULL */
  gboolean (*tree_data) (GpxExtension *extension, gpointer *exdata, gpointer data, GError **error);
  void (*title) (const gchar *title, gpointer data);
  void (*dropped) (const gchar *element, glong line, const gchar *text, gpointer data);
  /* after each point: how far into the file the reader is */
  void (*progress) (goffset done, goffset total, gpointer data);
} GpxReadHandler;

/* FALSE with a G_FILE_ERROR when the file cannot be opened, a GPX_ERROR
 * naming the line (and the column where libxml2 tells it) that is wrong,
 * or the error of a function of @handler, which the line prefixes. */
gboolean gpx_read_file (const gchar *filename, const GpxReadHandler *handler, gpointer data, GError **error);

/* @title goes to the written file's metadata; @flags is 0. */
GpxTree *gpx_tree_new (const gchar *title, guint flags);
/* The whole file as a tree, read by gpx_read_file(): for small files. */
GpxTree *gpx_tree_read_from_file (const gchar *filename, GError **error);
/* FALSE with a G_FILE_ERROR when the file cannot be created, or a
 * GPX_ERROR when a point has no valid position or the output fails. */
gboolean gpx_tree_write_to_file (GpxTree *tree, const gchar *filename, GError **error);

/* Writing GPX 1.1 as a stream of records, to @fd (which stays open): the
 * memory it takes does not grow with the file. After the first failure
 * nothing more is written, and gpx_writer_finish() says why: GPX_ERROR
 * GPX_ERROR_INVALID for a point without a valid position, a G_FILE_ERROR
 * when the output failed (its message is the system's). */
typedef struct _GpxWriter GpxWriter;

GpxWriter *gpx_writer_new (int fd, const gchar *title);
gboolean gpx_writer_add_waypoint (GpxWriter *writer, GpxPoint *point);
gboolean gpx_writer_add_route (GpxWriter *writer, GpxRoute *route);
gboolean gpx_writer_add_track (GpxWriter *writer, GpxTrack *track);
/* The tree-level data of an extension, written at the end; owned by the
 * writer. */
void gpx_writer_set_exdata (GpxWriter *writer, GpxExtension *extension, gpointer data);
/* Ends the document and flushes it to @fd. */
gboolean gpx_writer_finish (GpxWriter *writer, GError **error);
void gpx_writer_free (GpxWriter *writer);
void gpx_tree_free (GpxTree *tree);
void gpx_tree_add_waypoint (GpxTree *tree, GpxPoint *point);
void gpx_tree_add_route (GpxTree *tree, GpxRoute *route);
void gpx_tree_add_track (GpxTree *tree, GpxTrack *track);

GpxRoute *gpx_route_new (const gchar *name, const gchar *desc);
void gpx_route_add_point (GpxRoute *route, GpxPoint *point);
void gpx_route_free (GpxRoute *route);

GpxTrack *gpx_track_new (const gchar *name, const gchar *desc);
void gpx_track_free (GpxTrack *track);
GpxTrackSegment *gpx_track_segment_new (void);
void gpx_track_segment_add_point (GpxTrackSegment *segment, GpxPoint *point);
void gpx_track_add_segment (GpxTrack *track, GpxTrackSegment *segment);
void gpx_track_segment_free (GpxTrackSegment *segment);

/* A point with an elevation, and with a time unless @time is NULL. */
GpxPoint *gpx_point_new (gdouble latitude, gdouble longitude, gdouble elevation, const GpxTime *time);
GpxPointExtra *gpx_point_extra_new (void);
void gpx_point_free (GpxPoint *point);

gpointer gpx_point_get_exdata (GpxPoint *point, GpxExtension *extension);
void gpx_point_set_exdata (GpxPoint *point, GpxExtension *extension, gpointer data);
gpointer gpx_tree_get_exdata (GpxTree *tree, GpxExtension *extension);
void gpx_tree_set_exdata (GpxTree *tree, GpxExtension *extension, gpointer data);

/* Written files declare the extension's namespace with @name as prefix. */
void gpx_extension_register (const gchar *name, GpxExtension *extension);

G_END_DECLS
