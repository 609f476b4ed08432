/* The GPX document library: records, the reader and the writer. */

#include "gpx.h"

#include <errno.h>
#include <fcntl.h>
#include <math.h>
#include <stdio.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <glib/gstdio.h>
#include <libxml/xmlerror.h>

#define GPX_NS_10 "http://www.topografix.com/GPX/1/0"
#define GPX_NS_11 "http://www.topografix.com/GPX/1/1"

GQuark
gpx_error_quark (void)
{
  return g_quark_from_static_string ("gpx-error-quark");
}

/* Registered extensions */

typedef struct
{
  gchar *name;
  GpxExtension *extension;
} Registration;

G_LOCK_DEFINE_STATIC (registry);
static GPtrArray *registry; /* of Registration, never shrinks */

void
gpx_extension_register (const gchar *name, GpxExtension *extension)
{
  g_return_if_fail (name != NULL);
  g_return_if_fail (extension != NULL);
  g_return_if_fail (extension->namespace_uri != NULL);

  G_LOCK (registry);
  if (!registry)
    registry = g_ptr_array_new ();
  Registration *found = NULL;
  for (guint i = 0; i < registry->len && !found; i++)
    if (g_str_equal (((Registration *) registry->pdata[i])->name, name))
      found = registry->pdata[i];
  if (!found)
    {
      found = g_new0 (Registration, 1);
      found->name = g_strdup (name);
      g_ptr_array_add (registry, found);
    }
  found->extension = extension;
  G_UNLOCK (registry);
}

/* The registrations as they are now, in registration order. */
static GPtrArray *
registrations (void)
{
  GPtrArray *copy = g_ptr_array_new ();
  G_LOCK (registry);
  for (guint i = 0; registry && i < registry->len; i++)
    g_ptr_array_add (copy, registry->pdata[i]);
  G_UNLOCK (registry);
  return copy;
}

static GpxExtension *
extension_for_namespace (const xmlChar *uri)
{
  GpxExtension *found = NULL;
  if (!uri)
    return NULL;
  G_LOCK (registry);
  for (guint i = 0; registry && i < registry->len && !found; i++)
    {
      GpxExtension *extension = ((Registration *) registry->pdata[i])->extension;
      if (g_str_equal (extension->namespace_uri, (const char *) uri))
        found = extension;
    }
  G_UNLOCK (registry);
  return found;
}

/* Extension data: one record per extension, on a point or the tree */

typedef struct
{
  GpxExtension *extension;
  gpointer data;
} ExData;

static void
exdata_free_one (ExData *entry, gboolean tree)
{
  GDestroyNotify free_data = tree ? entry->extension->free_tree_data : entry->extension->free_point_data;
  if (entry->data && free_data)
    free_data (entry->data);
  g_free (entry);
}

static void
exdata_free (GSList *list, gboolean tree)
{
  for (GSList *l = list; l; l = l->next)
    exdata_free_one (l->data, tree);
  g_slist_free (list);
}

static gpointer
exdata_get (GSList *list, GpxExtension *extension)
{
  for (GSList *l = list; l; l = l->next)
    if (((ExData *) l->data)->extension == extension)
      return ((ExData *) l->data)->data;
  return NULL;
}

/* Replaces the extension's record, freeing the one it had. */
static GSList *
exdata_set (GSList *list, GpxExtension *extension, gpointer data, gboolean tree)
{
  for (GSList *l = list; l; l = l->next)
    {
      ExData *entry = l->data;
      if (entry->extension != extension)
        continue;
      if (entry->data != data)
        {
          gpointer old = entry->data;
          entry->data = data;
          GDestroyNotify free_data = tree ? extension->free_tree_data : extension->free_point_data;
          if (old && free_data)
            free_data (old);
        }
      return list;
    }
  ExData *entry = g_new0 (ExData, 1);
  entry->extension = extension;
  entry->data = data;
  return g_slist_prepend (list, entry);
}

gpointer
gpx_point_get_exdata (GpxPoint *point, GpxExtension *extension)
{
  g_return_val_if_fail (point != NULL, NULL);
  return exdata_get (point->exdata, extension);
}

void
gpx_point_set_exdata (GpxPoint *point, GpxExtension *extension, gpointer data)
{
  g_return_if_fail (point != NULL);
  g_return_if_fail (extension != NULL);
  point->exdata = exdata_set (point->exdata, extension, data, FALSE);
}

gpointer
gpx_tree_get_exdata (GpxTree *tree, GpxExtension *extension)
{
  g_return_val_if_fail (tree != NULL, NULL);
  return exdata_get (tree->exdata, extension);
}

void
gpx_tree_set_exdata (GpxTree *tree, GpxExtension *extension, gpointer data)
{
  g_return_if_fail (tree != NULL);
  g_return_if_fail (extension != NULL);
  tree->exdata = exdata_set (tree->exdata, extension, data, TRUE);
}

/* Records */

/* Appends in constant time, keeping the list's last link in @last. */
static void
append (GList **list, GList **last, gpointer data)
{
  GList *link = g_list_alloc ();
  link->data = data;
  link->prev = *last;
  if (*last)
    (*last)->next = link;
  else
    *list = link;
  *last = link;
}

static void
link_free (GpxLink *link)
{
  g_free (link->href);
  g_free (link->text);
  g_free (link->type);
  g_free (link);
}

static void
point_free (GpxPoint *point)
{
  g_free (point->name);
  g_free (point->cmt);
  g_free (point->desc);
  g_free (point->sym);
  g_free (point->type);
  g_list_free_full (point->links, (GDestroyNotify) link_free);
  g_free (point->extra);
  exdata_free (point->exdata, FALSE);
  g_free (point);
}

static void
route_free (GpxRoute *route)
{
  g_free (route->name);
  g_free (route->cmt);
  g_free (route->desc);
  g_list_free_full (route->points, (GDestroyNotify) point_free);
  g_free (route);
}

static void
track_free (GpxTrack *track)
{
  g_free (track->name);
  g_free (track->cmt);
  g_free (track->desc);
  g_list_free_full (track->segments, (GDestroyNotify) gpx_track_segment_free);
  g_free (track);
}

GpxTree *
gpx_tree_new (const gchar *title, guint flags)
{
  GpxTree *tree = g_new0 (GpxTree, 1);
  tree->title = g_strdup (title);
  return tree;
}

void
gpx_tree_free (GpxTree *tree)
{
  if (!tree)
    return;
  g_free (tree->title);
  g_list_free_full (tree->waypoints, (GDestroyNotify) point_free);
  g_list_free_full (tree->routes, (GDestroyNotify) route_free);
  g_list_free_full (tree->tracks, (GDestroyNotify) track_free);
  exdata_free (tree->exdata, TRUE);
  g_free (tree);
}

void
gpx_tree_add_waypoint (GpxTree *tree, GpxPoint *point)
{
  g_return_if_fail (tree != NULL);
  g_return_if_fail (point != NULL);
  append (&tree->waypoints, &tree->last_waypoint, point);
}

void
gpx_tree_add_route (GpxTree *tree, GpxRoute *route)
{
  g_return_if_fail (tree != NULL);
  g_return_if_fail (route != NULL);
  tree->routes = g_list_append (tree->routes, route);
}

void
gpx_tree_add_track (GpxTree *tree, GpxTrack *track)
{
  g_return_if_fail (tree != NULL);
  g_return_if_fail (track != NULL);
  tree->tracks = g_list_append (tree->tracks, track);
}

GpxRoute *
gpx_route_new (const gchar *name, const gchar *desc)
{
  GpxRoute *route = g_new0 (GpxRoute, 1);
  route->name = g_strdup (name);
  route->desc = g_strdup (desc);
  return route;
}

void
gpx_route_add_point (GpxRoute *route, GpxPoint *point)
{
  g_return_if_fail (route != NULL);
  g_return_if_fail (point != NULL);
  append (&route->points, &route->last, point);
}

GpxTrack *
gpx_track_new (const gchar *name, const gchar *desc)
{
  GpxTrack *track = g_new0 (GpxTrack, 1);
  track->name = g_strdup (name);
  track->desc = g_strdup (desc);
  return track;
}

GpxTrackSegment *
gpx_track_segment_new (void)
{
  return g_new0 (GpxTrackSegment, 1);
}

void
gpx_track_segment_add_point (GpxTrackSegment *segment, GpxPoint *point)
{
  g_return_if_fail (segment != NULL);
  g_return_if_fail (point != NULL);
  append (&segment->points, &segment->last, point);
}

void
gpx_track_add_segment (GpxTrack *track, GpxTrackSegment *segment)
{
  g_return_if_fail (track != NULL);
  g_return_if_fail (segment != NULL);
  track->segments = g_list_append (track->segments, segment);
}

void
gpx_track_segment_free (GpxTrackSegment *segment)
{
  if (!segment)
    return;
  g_list_free_full (segment->points, (GDestroyNotify) point_free);
  g_free (segment);
}

GpxPoint *
gpx_point_new (gdouble latitude, gdouble longitude, gdouble elevation, const GpxTime *time)
{
  GpxPoint *point = g_new0 (GpxPoint, 1);
  point->flags = GPX_POINT_ELEVATION;
  point->latitude = latitude;
  point->longitude = longitude;
  point->elevation = elevation;
  if (time)
    {
      point->flags |= GPX_POINT_TIME;
      point->time = *time;
    }
  return point;
}

GpxPointExtra *
gpx_point_extra_new (void)
{
  return g_new0 (GpxPointExtra, 1);
}

/* Reading */

typedef struct
{
  xmlTextReaderPtr reader;
  const gchar *filename;
  gchar *ns; /* the document's GPX namespace; NULL for a bare <gpx> */
  GTimeZone *utc;
  GError *error; /* the first problem; reading stops there */
} Reader;

static long
current_line (Reader *r)
{
  xmlNodePtr node = xmlTextReaderCurrentNode (r->reader);
  long line = node ? xmlGetLineNo (node) : -1;
  return line > 0 ? line : xmlTextReaderGetParserLineNumber (r->reader);
}

static void
on_xml_error (void *data, xmlErrorPtr problem)
{
  Reader *r = data;
  if (r->error || problem->level < XML_ERR_ERROR)
    return;
  int line = problem->line > 0 ? problem->line : r->reader ? xmlTextReaderGetParserLineNumber (r->reader)
                                                           : 0;
  g_autofree gchar *message = g_strdup (problem->message ? problem->message : "parse error");
  r->error = g_error_new (GPX_ERROR, GPX_ERROR_PARSE, "%s:%d: %s", r->filename, line, g_strstrip (message));
}

/* libxml2 reports some problems (encodings, input and output) to a handler
 * of the thread, which would print them: ours takes them while we work. */
typedef struct
{
  xmlStructuredErrorFunc handler;
  void *context;
} ErrorHandler;

static ErrorHandler
catch_errors (xmlStructuredErrorFunc handler, void *context)
{
  ErrorHandler previous = {xmlStructuredError, xmlStructuredErrorContext};
  xmlSetStructuredErrorFunc (context, handler);
  return previous;
}

static void
restore_errors (ErrorHandler previous)
{
  xmlSetStructuredErrorFunc (previous.context, previous.handler);
}

static void invalid (Reader *r, long line, const char *format, ...) G_GNUC_PRINTF (3, 4);

static void
invalid (Reader *r, long line, const char *format, ...)
{
  if (r->error)
    return;
  va_list args;
  va_start (args, format);
  g_autofree gchar *message = g_strdup_vprintf (format, args);
  va_end (args);
  r->error = g_error_new (GPX_ERROR, GPX_ERROR_INVALID, "%s:%ld: %s", r->filename, line, message);
}

static gboolean
advance (Reader *r)
{
  int res = xmlTextReaderRead (r->reader);
  if (res == 1 && !r->error)
    return TRUE;
  if (!r->error)
    r->error = g_error_new (GPX_ERROR, GPX_ERROR_PARSE, "%s: %s", r->filename,
                            res == 0 ? "the document ends too early" : "parse error");
  return FALSE;
}

static int
node_type (Reader *r)
{
  return xmlTextReaderNodeType (r->reader);
}

/* Moves to the next child element of the element at @depth; FALSE at the
 * element's end, and on failure with r->error set. Every caller consumes
 * each child whole, so the end tag found is the element's own. */
static gboolean
next_child (Reader *r, int depth)
{
  if (xmlTextReaderIsEmptyElement (r->reader) && xmlTextReaderDepth (r->reader) == depth)
    return FALSE;
  while (advance (r))
    {
      int type = node_type (r);
      if (type == XML_READER_TYPE_ELEMENT)
        return TRUE;
      if (type == XML_READER_TYPE_END_ELEMENT && xmlTextReaderDepth (r->reader) == depth)
        return FALSE;
    }
  return FALSE;
}

/* Consumes the element the reader is on, leaving it on the element's end. */
static gboolean
skip (Reader *r)
{
  int depth = xmlTextReaderDepth (r->reader);
  while (next_child (r, depth))
    if (!skip (r))
      return FALSE;
  return !r->error;
}

static gboolean
is_text (int type)
{
  return type == XML_READER_TYPE_TEXT || type == XML_READER_TYPE_CDATA
         || type == XML_READER_TYPE_SIGNIFICANT_WHITESPACE || type == XML_READER_TYPE_WHITESPACE;
}

/* The element's text, its text and CDATA pieces joined; child elements
 * are skipped. Replaces *@out. */
static gboolean
read_text (Reader *r, gchar **out)
{
  int depth = xmlTextReaderDepth (r->reader);
  GString *text = g_string_new (NULL);
  if (!xmlTextReaderIsEmptyElement (r->reader))
    for (;;)
      {
        if (!advance (r))
          {
            g_string_free (text, TRUE);
            return FALSE;
          }
        int type = node_type (r);
        if (type == XML_READER_TYPE_END_ELEMENT && xmlTextReaderDepth (r->reader) == depth)
          break;
        if (is_text (type))
          g_string_append (text, (const char *) xmlTextReaderConstValue (r->reader));
        else if (type == XML_READER_TYPE_ELEMENT && !skip (r))
          {
            g_string_free (text, TRUE);
            return FALSE;
          }
      }
  g_free (*out);
  *out = g_string_free (text, FALSE);
  return TRUE;
}

/* A decimal number as XML Schema writes it (an exponent is tolerated),
 * blanks around it allowed; nothing else, and nothing infinite. */
static gboolean
parse_decimal (const char *text, gdouble *value)
{
  while (g_ascii_isspace (*text))
    text++;
  const char *end = text;
  while (g_ascii_isdigit (*end) || *end == '.' || *end == '-' || *end == '+' || *end == 'e' || *end == 'E')
    end++;
  const char *rest = end;
  while (g_ascii_isspace (*rest))
    rest++;
  if (end == text || *rest)
    return FALSE;
  char *parsed;
  gdouble number = g_ascii_strtod (text, &parsed);
  if (parsed != end || !isfinite (number))
    return FALSE;
  *value = number;
  return TRUE;
}

/* Quotes at most 40 characters of a bad value for an error message. */
static gchar *
quote (const char *text)
{
  if (g_utf8_strlen (text, -1) <= 40)
    return g_strdup_printf ("\"%s\"", text);
  g_autofree gchar *start = g_utf8_substring (text, 0, 40);
  return g_strdup_printf ("\"%s…\"", start);
}

static gboolean
read_number (Reader *r, const char *element, gdouble *value)
{
  long line = current_line (r);
  g_autofree gchar *text = NULL;
  if (!read_text (r, &text))
    return FALSE;
  if (parse_decimal (text, value))
    return TRUE;
  g_autofree gchar *shown = quote (text);
  invalid (r, line, "<%s> is not a number: %s", element, shown);
  return FALSE;
}

static gboolean
read_time (Reader *r, GpxTime *time)
{
  long line = current_line (r);
  g_autofree gchar *text = NULL;
  if (!read_text (r, &text))
    return FALSE;
  g_autoptr (GDateTime) moment = g_date_time_new_from_iso8601 (g_strstrip (text), r->utc);
  if (!moment)
    {
      g_autofree gchar *shown = quote (text);
      invalid (r, line, "<time> is not a date and time: %s", shown);
      return FALSE;
    }
  time->seconds = g_date_time_to_unix (moment);
  time->microseconds = g_date_time_get_microsecond (moment);
  return TRUE;
}

/* The local name of an element of the document's GPX namespace, or NULL
 * for an element of another namespace. */
static const char *
gpx_name (Reader *r)
{
  const char *ns = (const char *) xmlTextReaderConstNamespaceUri (r->reader);
  if (g_strcmp0 (ns, r->ns) != 0)
    return NULL;
  return (const char *) xmlTextReaderConstLocalName (r->reader);
}

/* After an extension's parser: the reader must be on the end of the
 * element it started on, at @depth. */
static gboolean
finish_extension (Reader *r, int depth, const char *element, long line)
{
  for (;;)
    {
      int here = xmlTextReaderDepth (r->reader);
      int type = node_type (r);
      if (here == depth
          && (type == XML_READER_TYPE_END_ELEMENT
              || (type == XML_READER_TYPE_ELEMENT && xmlTextReaderIsEmptyElement (r->reader))))
        return TRUE;
      if (here <= depth)
        {
          invalid (r, line, "the extension read past the end of <%s>", element);
          return FALSE;
        }
      if (!advance (r))
        return FALSE;
    }
}

/* Hands an element of a registered namespace to its extension's parser. */
static gboolean
run_parser (Reader *r, GpxExtension *extension, gboolean tree, GSList **exdata)
{
  int (*parse) (gpointer *, xmlTextReaderPtr) = tree ? extension->parse_tree : extension->parse_point;
  if (!parse)
    return skip (r);

  int depth = xmlTextReaderDepth (r->reader);
  long line = current_line (r);
  g_autofree gchar *element = g_strdup ((const char *) xmlTextReaderConstName (r->reader));
  gpointer data = NULL;
  int res = parse (&data, r->reader);
  if (res < 0)
    {
      GDestroyNotify free_data = tree ? extension->free_tree_data : extension->free_point_data;
      if (data && free_data)
        free_data (data);
      invalid (r, line, "<%s> could not be read", element);
      return FALSE;
    }
  if (data)
    *exdata = exdata_set (*exdata, extension, data, tree);
  if (res == 0) /* not the extension's: it left the element to us */
    return skip (r);
  return finish_extension (r, depth, element, line);
}

/* An element of another namespace, or the children of <extensions>. */
static gboolean
read_foreign (Reader *r, gboolean tree, GSList **exdata)
{
  GpxExtension *extension = extension_for_namespace (xmlTextReaderConstNamespaceUri (r->reader));
  return extension ? run_parser (r, extension, tree, exdata) : skip (r);
}

static gboolean
read_extensions (Reader *r, gboolean tree, GSList **exdata)
{
  int depth = xmlTextReaderDepth (r->reader);
  while (next_child (r, depth))
    if (!read_foreign (r, tree, exdata))
      return FALSE;
  return !r->error;
}

static gboolean
read_coordinate (Reader *r, const char *element, const char *attribute, gdouble limit, gdouble *value)
{
  g_autofree gchar *text = (gchar *) xmlTextReaderGetAttribute (r->reader, BAD_CAST attribute);
  if (!text)
    {
      invalid (r, current_line (r), "<%s> has no %s attribute", element, attribute);
      return FALSE;
    }
  if (!parse_decimal (text, value) || *value < -limit || *value > limit)
    {
      g_autofree gchar *shown = quote (text);
      invalid (r, current_line (r), "<%s> has an invalid %s: %s", element, attribute, shown);
      return FALSE;
    }
  return TRUE;
}

static GpxPointExtra *
extra_of (GpxPoint *point)
{
  if (!point->extra)
    point->extra = gpx_point_extra_new ();
  return point->extra;
}

static gboolean
read_link (Reader *r, GpxPoint *point)
{
  GpxLink *link = g_new0 (GpxLink, 1);
  point->links = g_list_append (point->links, link);
  link->href = (gchar *) xmlTextReaderGetAttribute (r->reader, BAD_CAST "href");
  int depth = xmlTextReaderDepth (r->reader);
  while (next_child (r, depth))
    {
      const char *name = gpx_name (r);
      gboolean ok;
      if (name && g_str_equal (name, "text"))
        ok = read_text (r, &link->text);
      else if (name && g_str_equal (name, "type"))
        ok = read_text (r, &link->type);
      else
        ok = skip (r);
      if (!ok)
        return FALSE;
    }
  return !r->error;
}

/* One child of wpt, rtept or trkpt. @link10 is the link that GPX 1.0's
 * url and urlname fill. */
static gboolean
read_point_child (Reader *r, GpxPoint *point, GpxLink **link10)
{
  const char *name = gpx_name (r);
  if (!name)
    return read_foreign (r, FALSE, &point->exdata);

  struct
  {
    const char *name;
    gchar **field;
  } texts[] = {
    {"name", &point->name},
    {"cmt", &point->cmt},
    {"desc", &point->desc},
    {"sym", &point->sym},
    {"type", &point->type},
  };
  for (guint i = 0; i < G_N_ELEMENTS (texts); i++)
    if (g_str_equal (name, texts[i].name))
      return read_text (r, texts[i].field);

  if (g_str_equal (name, "ele"))
    {
      point->flags |= GPX_POINT_ELEVATION;
      return read_number (r, name, &point->elevation);
    }
  if (g_str_equal (name, "time"))
    {
      point->flags |= GPX_POINT_TIME;
      return read_time (r, &point->time);
    }
  if (g_str_equal (name, "hdop"))
    {
      point->flags |= GPX_POINT_HDOP;
      return read_number (r, name, &extra_of (point)->hdop);
    }
  if (g_str_equal (name, "vdop"))
    {
      point->flags |= GPX_POINT_VDOP;
      return read_number (r, name, &extra_of (point)->vdop);
    }
  if (g_str_equal (name, "link"))
    return read_link (r, point);
  if (g_str_equal (name, "url") || g_str_equal (name, "urlname"))
    {
      if (!*link10)
        {
          *link10 = g_new0 (GpxLink, 1);
          point->links = g_list_append (point->links, *link10);
        }
      return read_text (r, g_str_equal (name, "url") ? &(*link10)->href : &(*link10)->text);
    }
  if (g_str_equal (name, "extensions"))
    return read_extensions (r, FALSE, &point->exdata);
  return skip (r);
}

static GpxPoint *
read_point (Reader *r, const char *element)
{
  GpxPoint *point = g_new0 (GpxPoint, 1);
  if (!read_coordinate (r, element, "lat", 90.0, &point->latitude)
      || !read_coordinate (r, element, "lon", 180.0, &point->longitude))
    {
      point_free (point);
      return NULL;
    }

  GpxLink *link10 = NULL;
  int depth = xmlTextReaderDepth (r->reader);
  while (next_child (r, depth))
    if (!read_point_child (r, point, &link10))
      break;
  if (r->error)
    {
      point_free (point);
      return NULL;
    }
  return point;
}

/* name, cmt and desc of a route or track; TRUE when @name was one. */
static gboolean
read_description (Reader *r, const char *name, gchar **names[3], gboolean *ok)
{
  static const char *const fields[] = {"name", "cmt", "desc"};
  for (guint i = 0; i < G_N_ELEMENTS (fields); i++)
    if (g_str_equal (name, fields[i]))
      {
        *ok = read_text (r, names[i]);
        return TRUE;
      }
  return FALSE;
}

static gboolean
read_route (Reader *r, GpxTree *tree)
{
  GpxRoute *route = gpx_route_new (NULL, NULL);
  gchar **names[3] = {&route->name, &route->cmt, &route->desc};
  int depth = xmlTextReaderDepth (r->reader);
  while (next_child (r, depth))
    {
      const char *name = gpx_name (r);
      gboolean ok = TRUE;
      if (name && g_str_equal (name, "rtept"))
        {
          GpxPoint *point = read_point (r, "rtept");
          if ((ok = point != NULL))
            gpx_route_add_point (route, point);
        }
      else if (!name || !read_description (r, name, names, &ok))
        ok = skip (r);
      if (!ok)
        break;
    }
  if (r->error)
    {
      route_free (route);
      return FALSE;
    }
  gpx_tree_add_route (tree, route);
  return TRUE;
}

static gboolean
read_segment (Reader *r, GpxTrack *track)
{
  GpxTrackSegment *segment = gpx_track_segment_new ();
  gpx_track_add_segment (track, segment); /* freed with the track */
  int depth = xmlTextReaderDepth (r->reader);
  while (next_child (r, depth))
    {
      const char *name = gpx_name (r);
      if (name && g_str_equal (name, "trkpt"))
        {
          GpxPoint *point = read_point (r, "trkpt");
          if (!point)
            return FALSE;
          gpx_track_segment_add_point (segment, point);
        }
      else if (!skip (r))
        return FALSE;
    }
  return !r->error;
}

static gboolean
read_track (Reader *r, GpxTree *tree)
{
  GpxTrack *track = gpx_track_new (NULL, NULL);
  gchar **names[3] = {&track->name, &track->cmt, &track->desc};
  int depth = xmlTextReaderDepth (r->reader);
  while (next_child (r, depth))
    {
      const char *name = gpx_name (r);
      gboolean ok = TRUE;
      if (name && g_str_equal (name, "trkseg"))
        ok = read_segment (r, track);
      else if (!name || !read_description (r, name, names, &ok))
        ok = skip (r);
      if (!ok)
        break;
    }
  if (r->error)
    {
      track_free (track);
      return FALSE;
    }
  gpx_tree_add_track (tree, track);
  return TRUE;
}

static gboolean
read_metadata (Reader *r, GpxTree *tree)
{
  int depth = xmlTextReaderDepth (r->reader);
  while (next_child (r, depth))
    {
      const char *name = gpx_name (r);
      if (!(name && g_str_equal (name, "name") ? read_text (r, &tree->title) : skip (r)))
        return FALSE;
    }
  return !r->error;
}

static gboolean
read_gpx_child (Reader *r, GpxTree *tree)
{
  const char *name = gpx_name (r);
  if (!name)
    return read_foreign (r, TRUE, &tree->exdata);
  if (g_str_equal (name, "wpt"))
    {
      GpxPoint *point = read_point (r, "wpt");
      if (point)
        gpx_tree_add_waypoint (tree, point);
      return point != NULL;
    }
  if (g_str_equal (name, "rte"))
    return read_route (r, tree);
  if (g_str_equal (name, "trk"))
    return read_track (r, tree);
  if (g_str_equal (name, "metadata"))
    return read_metadata (r, tree);
  if (g_str_equal (name, "name")) /* GPX 1.0 keeps it at the top */
    return read_text (r, &tree->title);
  if (g_str_equal (name, "extensions"))
    return read_extensions (r, TRUE, &tree->exdata);
  return skip (r);
}

static GpxTree *
read_document (Reader *r)
{
  do
    if (!advance (r))
      return NULL;
  while (node_type (r) != XML_READER_TYPE_ELEMENT);

  const char *ns = (const char *) xmlTextReaderConstNamespaceUri (r->reader);
  const char *root = (const char *) xmlTextReaderConstLocalName (r->reader);
  if (!g_str_equal (root, "gpx") || (ns && !g_str_equal (ns, GPX_NS_10) && !g_str_equal (ns, GPX_NS_11)))
    {
      invalid (r, current_line (r), "not a GPX document: the root element is <%s>%s%s", root,
               ns ? " in " : "", ns ? ns : "");
      return NULL;
    }
  r->ns = g_strdup (ns);

  GpxTree *tree = gpx_tree_new (NULL, 0);
  while (next_child (r, 0))
    if (!read_gpx_child (r, tree))
      break;
  /* what follows the root may still be malformed */
  int res = 0;
  while (!r->error && (res = xmlTextReaderRead (r->reader)) == 1)
    ;
  if (!r->error && res < 0)
    r->error = g_error_new (GPX_ERROR, GPX_ERROR_PARSE, "%s: parse error", r->filename);
  if (r->error)
    {
      gpx_tree_free (tree);
      return NULL;
    }
  return tree;
}

GpxTree *
gpx_tree_read_from_file (const gchar *filename, GError **error)
{
  g_return_val_if_fail (filename != NULL, NULL);

  int fd = g_open (filename, O_RDONLY | O_CLOEXEC, 0);
  if (fd < 0)
    {
      int saved = errno;
      g_set_error (error, G_FILE_ERROR, g_file_error_from_errno (saved), "Could not open %s: %s", filename,
                   g_strerror (saved));
      return NULL;
    }
  /* no network, no DTD, entities left unexpanded: a file never reaches
   * beyond itself */
  Reader r = {.filename = filename};
  ErrorHandler previous = catch_errors (on_xml_error, &r);
  r.reader = xmlReaderForFd (fd, filename, NULL, XML_PARSE_NONET);
  if (!r.reader)
    {
      restore_errors (previous);
      close (fd);
      g_clear_error (&r.error);
      g_set_error (error, GPX_ERROR, GPX_ERROR_PARSE, "%s: the XML reader could not start", filename);
      return NULL;
    }
  xmlTextReaderSetStructuredErrorHandler (r.reader, on_xml_error, &r);
  r.utc = g_time_zone_new_utc ();

  GpxTree *tree = read_document (&r);

  xmlFreeTextReader (r.reader);
  restore_errors (previous);
  close (fd);
  g_time_zone_unref (r.utc);
  g_free (r.ns);
  if (r.error)
    {
      g_propagate_error (error, r.error);
      return NULL;
    }
  return tree;
}

/* Writing */

typedef struct
{
  xmlTextWriterPtr writer;
  GPtrArray *extensions; /* of Registration */
  GError *error;
} Writer;

static gboolean
ok (int res)
{
  return res >= 0;
}

/* XML 1.0 carries neither invalid UTF-8 nor most control characters: NULL
 * when @text can be written as it is, else a copy without them. */
static gchar *
clean_copy (const gchar *text)
{
  gboolean valid = g_utf8_validate (text, -1, NULL);
  if (valid)
    {
      const guchar *p = (const guchar *) text;
      for (; *p; p++)
        if ((*p < 0x20 && *p != '\t' && *p != '\n' && *p != '\r') || (p[0] == 0xef && p[1] == 0xbf && p[2] >= 0xbe))
          break;
      if (!*p)
        return NULL;
    }
  g_autofree gchar *checked = g_utf8_make_valid (text, -1);
  GString *clean = g_string_sized_new (strlen (checked));
  for (const gchar *p = checked; *p; p = g_utf8_next_char (p))
    {
      gunichar c = g_utf8_get_char (p);
      if ((c >= 0x20 || c == '\t' || c == '\n' || c == '\r') && c != 0xfffe && c != 0xffff)
        g_string_append_unichar (clean, c);
    }
  return g_string_free (clean, FALSE);
}

static gboolean
write_text (Writer *w, const char *element, const gchar *text)
{
  if (!text)
    return TRUE;
  g_autofree gchar *clean = clean_copy (text);
  return ok (xmlTextWriterWriteElement (w->writer, BAD_CAST element, BAD_CAST (clean ? clean : text)));
}

static gboolean
write_attribute (Writer *w, const char *name, const gchar *text)
{
  g_autofree gchar *clean = clean_copy (text);
  return ok (xmlTextWriterWriteAttribute (w->writer, BAD_CAST name, BAD_CAST (clean ? clean : text)));
}

/* A number as xsd:decimal wants it: no exponent, and enough digits to read
 * back the same double. @buffer holds at least 400 bytes. */
static const gchar *
format_decimal (gchar *buffer, gsize size, gdouble value)
{
  static const char *const formats[] = {"%.15g", "%.16g", "%.17g"};
  guint digits = 15;
  for (guint i = 0; i < G_N_ELEMENTS (formats); i++, digits++)
    {
      g_ascii_formatd (buffer, size, formats[i], value);
      if (g_ascii_strtod (buffer, NULL) == value)
        break;
    }
  const char *exponent = strchr (buffer, 'e');
  if (!exponent)
    return buffer;
  /* the same digits, without the exponent */
  int power = atoi (exponent + 1);
  char format[16];
  g_snprintf (format, sizeof format, "%%.%df", power < 0 ? MIN ((int) MIN (digits, 17) - 1 - power, 340) : 0);
  g_ascii_formatd (buffer, size, format, value);
  if (strchr (buffer, '.'))
    {
      gchar *end = buffer + strlen (buffer);
      while (end[-1] == '0')
        *--end = '\0';
      if (end[-1] == '.')
        end[-1] = '\0';
    }
  return buffer;
}

static gboolean
write_number (Writer *w, const char *element, gdouble value)
{
  if (!isfinite (value)) /* not representable; left out */
    return TRUE;
  gchar buffer[400];
  return ok (xmlTextWriterWriteElement (w->writer, BAD_CAST element,
                                        BAD_CAST format_decimal (buffer, sizeof buffer, value)));
}

static gboolean
write_time (Writer *w, const GpxTime *moment)
{
  time_t seconds = (time_t) moment->seconds;
  struct tm tm;
  if (seconds != moment->seconds || !gmtime_r (&seconds, &tm) || tm.tm_year < 1 - 1900 || tm.tm_year > 9999 - 1900)
    return TRUE; /* no year that xsd:dateTime can write */
  gchar buffer[64];
  if (moment->microseconds > 0 && moment->microseconds < G_USEC_PER_SEC)
    g_snprintf (buffer, sizeof buffer, "%04d-%02d-%02dT%02d:%02d:%02d.%06dZ", tm.tm_year + 1900, tm.tm_mon + 1,
                tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, (int) moment->microseconds);
  else
    g_snprintf (buffer, sizeof buffer, "%04d-%02d-%02dT%02d:%02d:%02dZ", tm.tm_year + 1900, tm.tm_mon + 1,
                tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
  return ok (xmlTextWriterWriteElement (w->writer, BAD_CAST "time", BAD_CAST buffer));
}

static gboolean
write_link (Writer *w, GpxLink *link)
{
  return ok (xmlTextWriterStartElement (w->writer, BAD_CAST "link"))
         && write_attribute (w, "href", link->href ? link->href : "") && write_text (w, "text", link->text)
         && write_text (w, "type", link->type) && ok (xmlTextWriterEndElement (w->writer));
}

/* The extension blocks of a point or of the tree, for every extension that
 * has data there. */
static gboolean
write_extensions (Writer *w, GSList *exdata, gboolean tree)
{
  gboolean started = FALSE;
  for (guint i = 0; i < w->extensions->len; i++)
    {
      GpxExtension *extension = ((Registration *) w->extensions->pdata[i])->extension;
      int (*write) (gpointer, xmlTextWriterPtr) = tree ? extension->write_tree : extension->write_point;
      gpointer data = exdata_get (exdata, extension);
      if (!data || !write)
        continue;
      if (!started && !ok (xmlTextWriterStartElement (w->writer, BAD_CAST "extensions")))
        return FALSE;
      started = TRUE;
      if (write (data, w->writer) < 0)
        return FALSE;
    }
  return !started || ok (xmlTextWriterEndElement (w->writer));
}

static gboolean
write_point (Writer *w, const char *element, GpxPoint *point)
{
  gdouble longitude = point->longitude == 180.0 ? -180.0 : point->longitude; /* the same meridian */
  if (!isfinite (point->latitude) || fabs (point->latitude) > 90.0 || !isfinite (longitude)
      || fabs (longitude) > 180.0)
    {
      g_set_error (&w->error, GPX_ERROR, GPX_ERROR_INVALID, "The point %s%s%s has no valid position (%g, %g)",
                   point->name ? "\"" : "", point->name ? point->name : "(without a name)",
                   point->name ? "\"" : "", point->latitude, point->longitude);
      return FALSE;
    }
  gchar latitude[400], longitude_text[400];
  gboolean done
    = ok (xmlTextWriterStartElement (w->writer, BAD_CAST element))
      && ok (xmlTextWriterWriteAttribute (w->writer, BAD_CAST "lat",
                                          BAD_CAST format_decimal (latitude, sizeof latitude, point->latitude)))
      && ok (xmlTextWriterWriteAttribute (w->writer, BAD_CAST "lon",
                                          BAD_CAST format_decimal (longitude_text, sizeof longitude_text, longitude)))
      && (!(point->flags & GPX_POINT_ELEVATION) || write_number (w, "ele", point->elevation))
      && (!(point->flags & GPX_POINT_TIME) || write_time (w, &point->time)) && write_text (w, "name", point->name)
      && write_text (w, "cmt", point->cmt) && write_text (w, "desc", point->desc);
  for (GList *l = point->links; done && l; l = l->next)
    done = write_link (w, l->data);
  return done && write_text (w, "sym", point->sym) && write_text (w, "type", point->type)
         && (!(point->flags & GPX_POINT_HDOP) || !point->extra || write_number (w, "hdop", point->extra->hdop))
         && (!(point->flags & GPX_POINT_VDOP) || !point->extra || write_number (w, "vdop", point->extra->vdop))
         && write_extensions (w, point->exdata, FALSE) && ok (xmlTextWriterEndElement (w->writer));
}

static gboolean
write_description (Writer *w, const gchar *name, const gchar *cmt, const gchar *desc)
{
  return write_text (w, "name", name) && write_text (w, "cmt", cmt) && write_text (w, "desc", desc);
}

static gboolean
write_route (Writer *w, GpxRoute *route)
{
  gboolean done = ok (xmlTextWriterStartElement (w->writer, BAD_CAST "rte"))
                  && write_description (w, route->name, route->cmt, route->desc);
  for (GList *l = route->points; done && l; l = l->next)
    done = write_point (w, "rtept", l->data);
  return done && ok (xmlTextWriterEndElement (w->writer));
}

static gboolean
write_track (Writer *w, GpxTrack *track)
{
  gboolean done = ok (xmlTextWriterStartElement (w->writer, BAD_CAST "trk"))
                  && write_description (w, track->name, track->cmt, track->desc);
  for (GList *s = track->segments; done && s; s = s->next)
    {
      GpxTrackSegment *segment = s->data;
      done = ok (xmlTextWriterStartElement (w->writer, BAD_CAST "trkseg"));
      for (GList *l = segment->points; done && l; l = l->next)
        done = write_point (w, "trkpt", l->data);
      done = done && ok (xmlTextWriterEndElement (w->writer));
    }
  return done && ok (xmlTextWriterEndElement (w->writer));
}

static gboolean
write_document (Writer *w, GpxTree *tree)
{
  xmlTextWriterPtr writer = w->writer;
  gboolean done = ok (xmlTextWriterSetIndent (writer, 1))
                  && ok (xmlTextWriterSetIndentString (writer, BAD_CAST "  "))
                  && ok (xmlTextWriterStartDocument (writer, NULL, "UTF-8", NULL))
                  && ok (xmlTextWriterStartElement (writer, BAD_CAST "gpx"))
                  && ok (xmlTextWriterWriteAttribute (writer, BAD_CAST "version", BAD_CAST "1.1"))
                  && ok (xmlTextWriterWriteAttribute (writer, BAD_CAST "creator", BAD_CAST "liblodex"))
                  && ok (xmlTextWriterWriteAttribute (writer, BAD_CAST "xmlns", BAD_CAST GPX_NS_11))
                  && ok (xmlTextWriterWriteAttribute (writer, BAD_CAST "xmlns:xsi",
                                                      BAD_CAST "http://www.w3.org/2001/XMLSchema-instance"))
                  && ok (xmlTextWriterWriteAttribute (writer, BAD_CAST "xsi:schemaLocation",
                                                      BAD_CAST GPX_NS_11 " " GPX_NS_11 "/gpx.xsd"));
  for (guint i = 0; done && i < w->extensions->len; i++)
    {
      Registration *registration = w->extensions->pdata[i];
      g_autofree gchar *attribute = g_strconcat ("xmlns:", registration->name, NULL);
      done = write_attribute (w, attribute, registration->extension->namespace_uri);
    }
  if (done && tree->title)
    done = ok (xmlTextWriterStartElement (writer, BAD_CAST "metadata")) && write_text (w, "name", tree->title)
           && ok (xmlTextWriterEndElement (writer));
  for (GList *l = tree->waypoints; done && l; l = l->next)
    done = write_point (w, "wpt", l->data);
  for (GList *l = tree->routes; done && l; l = l->next)
    done = write_route (w, l->data);
  for (GList *l = tree->tracks; done && l; l = l->next)
    done = write_track (w, l->data);
  return done && write_extensions (w, tree->exdata, TRUE) && ok (xmlTextWriterEndElement (writer))
         && ok (xmlTextWriterEndDocument (writer));
}

static void
on_write_error (void *data, xmlErrorPtr problem)
{
  gchar **message = data;
  if (!*message && problem->message)
    *message = g_strstrip (g_strdup (problem->message));
}

gboolean
gpx_tree_write_to_file (GpxTree *tree, const gchar *filename, GError **error)
{
  g_return_val_if_fail (tree != NULL, FALSE);
  g_return_val_if_fail (filename != NULL, FALSE);

  FILE *file = g_fopen (filename, "we");
  if (!file)
    {
      int saved = errno;
      g_set_error (error, G_FILE_ERROR, g_file_error_from_errno (saved), "Could not create %s: %s", filename,
                   g_strerror (saved));
      return FALSE;
    }

  g_autofree gchar *xml_message = NULL;
  ErrorHandler previous = catch_errors (on_write_error, &xml_message);

  Writer w = {.extensions = registrations ()};
  w.writer = xmlNewTextWriter (xmlOutputBufferCreateFile (file, NULL));
  gboolean done = w.writer && write_document (&w, tree);
  if (w.writer)
    xmlFreeTextWriter (w.writer); /* flushes */
  restore_errors (previous);
  g_ptr_array_unref (w.extensions);

  errno = 0;
  gboolean flushed = fflush (file) == 0 && !ferror (file);
  int saved = errno;
  gboolean closed = fclose (file) == 0;
  if (!saved)
    saved = errno;
  if (w.error)
    {
      g_propagate_error (error, w.error);
      return FALSE;
    }
  if (!done || !flushed || !closed)
    {
      g_set_error (error, GPX_ERROR, GPX_ERROR_WRITE, "Could not write %s: %s", filename,
                   saved ? g_strerror (saved) : xml_message ? xml_message
                                                            : "the output failed");
      return FALSE;
    }
  return TRUE;
}
