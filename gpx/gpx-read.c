/* The GPX document library: reading a file as a stream of records, and
 * into a tree for small files. */

#include "gpx-private.h"

#include <errno.h>
#include <fcntl.h>
#include <math.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <glib/gstdio.h>

typedef struct
{
  xmlTextReaderPtr reader;
  const gchar *filename;
  gchar *ns; /* the document's GPX namespace; NULL for a bare <gpx> */
  GTimeZone *utc;
  GError *error; /* the first problem; reading stops there */
  const GpxReadHandler *handler;
  gpointer data;
  goffset size; /* of the file, for progress */
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
  int column = problem->int2; /* libxml2 keeps the column there, when it knows it */
  g_autofree gchar *message = g_strdup (problem->message ? problem->message : "parse error");
  if (column > 0)
    r->error = g_error_new (GPX_ERROR, GPX_ERROR_PARSE, "%s:%d:%d: %s", r->filename, line, column,
                            g_strstrip (message));
  else
    r->error = g_error_new (GPX_ERROR, GPX_ERROR_PARSE, "%s:%d: %s", r->filename, line, g_strstrip (message));
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

/* An optional value that cannot be read is left out, and said so. */
static void
dropped (Reader *r, const char *element, long line, const char *text)
{
  if (r->handler && r->handler->dropped)
    r->handler->dropped (element, line, text, r->data);
}

/* Reads an optional number into *@value; *@present tells whether it
 * could be read. FALSE only when reading the file failed. */
static gboolean
read_number (Reader *r, const char *element, gdouble *value, gboolean *present)
{
  long line = current_line (r);
  g_autofree gchar *text = NULL;
  if (!read_text (r, &text))
    return FALSE;
  *present = parse_decimal (text, value);
  if (!*present)
    {
      *value = 0.0;
      dropped (r, element, line, text);
    }
  return TRUE;
}

static gboolean
read_time (Reader *r, GpxTime *time, gboolean *present)
{
  long line = current_line (r);
  g_autofree gchar *text = NULL;
  if (!read_text (r, &text))
    return FALSE;
  g_autoptr (GDateTime) moment = g_date_time_new_from_iso8601 (g_strstrip (text), r->utc);
  *present = moment != NULL;
  if (!moment)
    {
      dropped (r, "time", line, text);
      return TRUE;
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
    *exdata = _gpx_exdata_set (*exdata, extension, data, tree);
  if (res == 0) /* not the extension's: it left the element to us */
    return skip (r);
  return finish_extension (r, depth, element, line);
}

/* An element of another namespace, or the children of <extensions>. */
static gboolean
read_foreign (Reader *r, gboolean tree, GSList **exdata)
{
  GpxExtension *extension = _gpx_extension_for_namespace (xmlTextReaderConstNamespaceUri (r->reader));
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

/* An attribute as a GLib string, or NULL. */
static gchar *
attribute (Reader *r, const char *name)
{
  xmlChar *value = xmlTextReaderGetAttribute (r->reader, BAD_CAST name);
  gchar *copy = g_strdup ((const char *) value);
  xmlFree (value);
  return copy;
}

static gboolean
read_coordinate (Reader *r, const char *element, const char *name, gdouble limit, gdouble *value)
{
  g_autofree gchar *text = attribute (r, name);
  if (!text)
    {
      invalid (r, current_line (r), "<%s> has no %s attribute", element, name);
      return FALSE;
    }
  if (!parse_decimal (text, value) || *value < -limit || *value > limit)
    {
      g_autofree gchar *shown = quote (text);
      invalid (r, current_line (r), "<%s> has an invalid %s: %s", element, name, shown);
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
  link->href = attribute (r, "href");
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

  gboolean present = FALSE, ok = TRUE;
  guint flag = 0;
  if (g_str_equal (name, "ele"))
    ok = read_number (r, name, &point->elevation, &present), flag = GPX_POINT_ELEVATION;
  else if (g_str_equal (name, "time"))
    ok = read_time (r, &point->time, &present), flag = GPX_POINT_TIME;
  else if (g_str_equal (name, "hdop"))
    ok = read_number (r, name, &extra_of (point)->hdop, &present), flag = GPX_POINT_HDOP;
  else if (g_str_equal (name, "vdop"))
    ok = read_number (r, name, &extra_of (point)->vdop, &present), flag = GPX_POINT_VDOP;
  if (flag)
    {
      if (present)
        point->flags |= flag;
      else
        point->flags &= ~flag; /* a later bad one undoes a good one */
      return ok;
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
      _gpx_point_free (point);
      return NULL;
    }

  GpxLink *link10 = NULL;
  int depth = xmlTextReaderDepth (r->reader);
  while (next_child (r, depth))
    if (!read_point_child (r, point, &link10))
      break;
  if (r->error)
    {
      _gpx_point_free (point);
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

/* Hands a record to the handler; its error stops the reading, prefixed
 * with where the reader is. */
static gboolean
handled (Reader *r, gboolean done, GError **failed, long line)
{
  /* read only now: the call that fills it is an argument too */
  GError *failure = g_steal_pointer (failed);
  if (done)
    {
      g_clear_error (&failure);
      return TRUE;
    }
  if (!r->error)
    {
      if (!failure)
        failure = g_error_new (GPX_ERROR, GPX_ERROR_INVALID, "the file's contents were refused");
      /* a cancellation is no fault of the file's */
      if (failure->domain != g_quark_from_static_string ("g-io-error-quark"))
        g_prefix_error (&failure, "%s:%ld: ", r->filename, line);
      r->error = failure;
    }
  else
    g_clear_error (&failure);
  return FALSE;
}

/* Calls a function of the handler that takes nothing but its data. */
static gboolean
call (Reader *r, gboolean (*function) (gpointer, GError **))
{
  if (!function)
    return TRUE;
  long line = current_line (r);
  GError *failure = NULL;
  return handled (r, function (r->data, &failure), &failure, line);
}

static void
report_progress (Reader *r)
{
  if (r->handler && r->handler->progress)
    r->handler->progress (xmlTextReaderByteConsumed (r->reader), r->size, r->data);
}

/* A point handed to @give, then freed. */
static gboolean
pass_point (Reader *r, const char *element, gboolean (*give) (GpxPoint *, gpointer, GError **))
{
  GpxPoint *point = read_point (r, element);
  if (!point)
    return FALSE;
  gboolean done = TRUE;
  if (give)
    {
      long line = current_line (r);
      GError *failure = NULL;
      done = handled (r, give (point, r->data, &failure), &failure, line);
    }
  _gpx_point_free (point);
  report_progress (r);
  return done;
}

static gboolean
read_route (Reader *r)
{
  if (!call (r, r->handler ? r->handler->route_start : NULL))
    return FALSE;
  GpxRoute *route = gpx_route_new (NULL, NULL);
  gchar **names[3] = {&route->name, &route->cmt, &route->desc};
  int depth = xmlTextReaderDepth (r->reader);
  while (next_child (r, depth))
    {
      const char *name = gpx_name (r);
      gboolean ok = TRUE;
      if (name && g_str_equal (name, "rtept"))
        ok = pass_point (r, "rtept", r->handler ? r->handler->route_point : NULL);
      else if (!name || !read_description (r, name, names, &ok))
        ok = skip (r);
      if (!ok)
        break;
    }
  gboolean done = !r->error;
  if (done && r->handler && r->handler->route_end)
    {
      long line = current_line (r);
      GError *failure = NULL;
      done = handled (r, r->handler->route_end (route, r->data, &failure), &failure, line);
    }
  _gpx_route_free (route);
  return done;
}

static gboolean
read_segment (Reader *r)
{
  if (!call (r, r->handler ? r->handler->segment_start : NULL))
    return FALSE;
  int depth = xmlTextReaderDepth (r->reader);
  while (next_child (r, depth))
    {
      const char *name = gpx_name (r);
      if (name && g_str_equal (name, "trkpt"))
        {
          if (!pass_point (r, "trkpt", r->handler ? r->handler->track_point : NULL))
            return FALSE;
        }
      else if (!skip (r))
        return FALSE;
    }
  if (r->error)
    return FALSE;
  return call (r, r->handler ? r->handler->segment_end : NULL);
}

static gboolean
read_track (Reader *r)
{
  if (!call (r, r->handler ? r->handler->track_start : NULL))
    return FALSE;
  GpxTrack *track = gpx_track_new (NULL, NULL);
  gchar **names[3] = {&track->name, &track->cmt, &track->desc};
  int depth = xmlTextReaderDepth (r->reader);
  while (next_child (r, depth))
    {
      const char *name = gpx_name (r);
      gboolean ok = TRUE;
      if (name && g_str_equal (name, "trkseg"))
        ok = read_segment (r);
      else if (!name || !read_description (r, name, names, &ok))
        ok = skip (r);
      if (!ok)
        break;
    }
  gboolean done = !r->error;
  if (done && r->handler && r->handler->track_end)
    {
      long line = current_line (r);
      GError *failure = NULL;
      done = handled (r, r->handler->track_end (track, r->data, &failure), &failure, line);
    }
  _gpx_track_free (track);
  return done;
}

static gboolean
read_title (Reader *r)
{
  gchar *title = NULL;
  if (!read_text (r, &title))
    return FALSE;
  if (r->handler && r->handler->title)
    r->handler->title (title, r->data);
  g_free (title);
  return TRUE;
}

static gboolean
read_metadata (Reader *r)
{
  int depth = xmlTextReaderDepth (r->reader);
  while (next_child (r, depth))
    {
      const char *name = gpx_name (r);
      if (!(name && g_str_equal (name, "name") ? read_title (r) : skip (r)))
        return FALSE;
    }
  return !r->error;
}

/* Tree-level extension data, each record handed over as it is read. */
static gboolean
pass_tree_data (Reader *r, GSList *exdata)
{
  gboolean done = TRUE;
  for (GSList *l = exdata; l && done; l = l->next)
    if (r->handler && r->handler->tree_data)
      {
        long line = current_line (r);
        GError *failure = NULL;
        done = handled (r, r->handler->tree_data (_gpx_exdata_extension (l), _gpx_exdata_slot (l), r->data, &failure),
                        &failure, line);
      }
  _gpx_exdata_free (exdata, TRUE);
  return done;
}

static gboolean
read_gpx_child (Reader *r)
{
  const char *name = gpx_name (r);
  if (!name || g_str_equal (name, "extensions"))
    {
      GSList *exdata = NULL;
      gboolean ok = name ? read_extensions (r, TRUE, &exdata) : read_foreign (r, TRUE, &exdata);
      if (!ok)
        {
          _gpx_exdata_free (exdata, TRUE);
          return FALSE;
        }
      return pass_tree_data (r, exdata);
    }
  if (g_str_equal (name, "wpt"))
    return pass_point (r, "wpt", r->handler ? r->handler->waypoint : NULL);
  if (g_str_equal (name, "rte"))
    return read_route (r);
  if (g_str_equal (name, "trk"))
    return read_track (r);
  if (g_str_equal (name, "metadata"))
    return read_metadata (r);
  if (g_str_equal (name, "name")) /* GPX 1.0 keeps it at the top */
    return read_title (r);
  return skip (r);
}

static gboolean
read_document (Reader *r)
{
  do
    if (!advance (r))
      return FALSE;
  while (node_type (r) != XML_READER_TYPE_ELEMENT);

  const char *ns = (const char *) xmlTextReaderConstNamespaceUri (r->reader);
  const char *root = (const char *) xmlTextReaderConstLocalName (r->reader);
  if (!g_str_equal (root, "gpx") || (ns && !g_str_equal (ns, GPX_NS_10) && !g_str_equal (ns, GPX_NS_11)))
    {
      invalid (r, current_line (r), "not a GPX document: the root element is <%s>%s%s", root,
               ns ? " in " : "", ns ? ns : "");
      return FALSE;
    }
  r->ns = g_strdup (ns);

  while (next_child (r, 0))
    if (!read_gpx_child (r))
      break;
  /* what follows the root may still be malformed */
  int res = 0;
  while (!r->error && (res = xmlTextReaderRead (r->reader)) == 1)
    ;
  if (!r->error && res < 0)
    r->error = g_error_new (GPX_ERROR, GPX_ERROR_PARSE, "%s: parse error", r->filename);
  report_progress (r);
  return !r->error;
}

gboolean
gpx_read_file (const gchar *filename, const GpxReadHandler *handler, gpointer data, GError **error)
{
  g_return_val_if_fail (filename != NULL, FALSE);

  int fd = g_open (filename, O_RDONLY | O_CLOEXEC, 0);
  struct stat st;
  if (fd >= 0 && fstat (fd, &st) == 0 && S_ISDIR (st.st_mode))
    {
      close (fd);
      fd = -1;
      errno = EISDIR;
    }
  if (fd < 0)
    {
      int saved = errno;
      g_set_error (error, G_FILE_ERROR, g_file_error_from_errno (saved), "Could not open %s: %s", filename,
                   g_strerror (saved));
      return FALSE;
    }
  /* no network, no DTD, entities left unexpanded: a file never reaches
   * beyond itself */
  Reader r = {.filename = filename, .handler = handler, .data = data};
  r.size = S_ISREG (st.st_mode) ? st.st_size : 0;
  GpxErrorHandler previous = _gpx_catch_errors (on_xml_error, &r);
  r.reader = xmlReaderForFd (fd, filename, NULL, XML_PARSE_NONET);
  if (!r.reader)
    {
      _gpx_restore_errors (previous);
      close (fd);
      g_clear_error (&r.error);
      g_set_error (error, GPX_ERROR, GPX_ERROR_PARSE, "%s: the XML reader could not start", filename);
      return FALSE;
    }
  xmlTextReaderSetStructuredErrorHandler (r.reader, on_xml_error, &r);
  r.utc = g_time_zone_new_utc ();

  read_document (&r);

  xmlFreeTextReader (r.reader);
  _gpx_restore_errors (previous);
  close (fd);
  g_time_zone_unref (r.utc);
  g_free (r.ns);
  if (r.error)
    {
      g_propagate_error (error, r.error);
      return FALSE;
    }
  return TRUE;
}

/* The tree, built from the stream */

typedef struct
{
  GpxTree *tree;
  GpxTrack *track;          /* being read */
  GpxTrackSegment *segment; /* being read, in @track */
  GList *route_points;      /* of the route being read, in reverse */
} TreeBuilder;

static GpxPoint *
take_point (GpxPoint *point)
{
  GpxPoint *copy = g_new (GpxPoint, 1);
  *copy = *point;
  memset (point, 0, sizeof *point); /* what the reader frees is now empty */
  return copy;
}

static gboolean
tree_waypoint (GpxPoint *point, gpointer data, GError **error)
{
  gpx_tree_add_waypoint (((TreeBuilder *) data)->tree, take_point (point));
  return TRUE;
}

static gboolean
tree_route_point (GpxPoint *point, gpointer data, GError **error)
{
  TreeBuilder *b = data;
  b->route_points = g_list_prepend (b->route_points, take_point (point));
  return TRUE;
}

static gboolean
tree_route_end (GpxRoute *route, gpointer data, GError **error)
{
  TreeBuilder *b = data;
  GpxRoute *copy = gpx_route_new (NULL, NULL);
  copy->name = g_steal_pointer (&route->name);
  copy->cmt = g_steal_pointer (&route->cmt);
  copy->desc = g_steal_pointer (&route->desc);
  b->route_points = g_list_reverse (b->route_points);
  for (GList *l = b->route_points; l; l = l->next)
    gpx_route_add_point (copy, l->data);
  g_list_free (g_steal_pointer (&b->route_points));
  gpx_tree_add_route (b->tree, copy);
  return TRUE;
}

static gboolean
tree_track_start (gpointer data, GError **error)
{
  TreeBuilder *b = data;
  b->track = gpx_track_new (NULL, NULL);
  gpx_tree_add_track (b->tree, b->track);
  return TRUE;
}

static gboolean
tree_segment_start (gpointer data, GError **error)
{
  TreeBuilder *b = data;
  b->segment = gpx_track_segment_new ();
  gpx_track_add_segment (b->track, b->segment);
  return TRUE;
}

static gboolean
tree_track_point (GpxPoint *point, gpointer data, GError **error)
{
  gpx_track_segment_add_point (((TreeBuilder *) data)->segment, take_point (point));
  return TRUE;
}

static gboolean
tree_track_end (GpxTrack *track, gpointer data, GError **error)
{
  TreeBuilder *b = data;
  b->track->name = g_steal_pointer (&track->name);
  b->track->cmt = g_steal_pointer (&track->cmt);
  b->track->desc = g_steal_pointer (&track->desc);
  b->track = NULL;
  b->segment = NULL;
  return TRUE;
}

static gboolean
tree_data (GpxExtension *extension, gpointer *exdata, gpointer data, GError **error)
{
  TreeBuilder *b = data;
  b->tree->exdata = _gpx_exdata_set (b->tree->exdata, extension, g_steal_pointer (exdata), TRUE);
  return TRUE;
}

static void
tree_title (const gchar *title, gpointer data)
{
  TreeBuilder *b = data;
  g_free (b->tree->title);
  b->tree->title = g_strdup (title);
}

GpxTree *
gpx_tree_read_from_file (const gchar *filename, GError **error)
{
  static const GpxReadHandler handler = {
    .waypoint = tree_waypoint,
    .route_point = tree_route_point,
    .route_end = tree_route_end,
    .track_start = tree_track_start,
    .segment_start = tree_segment_start,
    .track_point = tree_track_point,
    .track_end = tree_track_end,
    .tree_data = tree_data,
    .title = tree_title,
  };
  TreeBuilder b = {.tree = gpx_tree_new (NULL, 0)};
  if (!gpx_read_file (filename, &handler, &b, error))
    {
      g_list_free_full (b.route_points, (GDestroyNotify) _gpx_point_free);
      gpx_tree_free (b.tree);
      return NULL;
    }
  return b.tree;
}
