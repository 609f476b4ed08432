/* The GPX document library: writing GPX 1.1 as a stream of records, and a
 * whole tree. */

#include "gpx-private.h"

#include <errno.h>
#include <math.h>
#include <stdio.h>
#include <string.h>

#include <fcntl.h>
#include <unistd.h>

#include <glib/gstdio.h>

struct _GpxWriter
{
  xmlTextWriterPtr writer;
  GPtrArray *extensions; /* of GpxRegistration */
  GError *error;         /* the first problem: nothing is written after it */
  int fd;
  int errno_;         /* of the first failed write */
  gchar *xml_message; /* what libxml2 said of it */
  GSList *exdata;     /* the tree's, written at the end */
  gboolean finished;
};

typedef struct _GpxWriter Writer;

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

/* Most positions and heights have a few decimals: such a number is
 * written from its integer count of billionths when that reads back the
 * same double, which is much faster than printf's search. */
static gboolean
format_billionths (gchar *buffer, gsize size, gdouble value)
{
  if (!(fabs (value) < 9e6) || (value == 0.0 && signbit (value)))
    return FALSE;
  gdouble count = nearbyint (value * 1e9); /* below 2^53: exact */
  if (count / 1e9 != value)                /* the division rounds as strtod does */
    return FALSE;
  guint64 magnitude = (guint64) fabs (count);
  g_snprintf (buffer, size, "%s%" G_GUINT64_FORMAT ".%09u", count < 0 ? "-" : "", magnitude / 1000000000,
              (guint) (magnitude % 1000000000));
  gchar *end = buffer + strlen (buffer);
  while (end[-1] == '0')
    *--end = '\0';
  if (end[-1] == '.')
    end[-1] = '\0';
  return TRUE;
}

/* A number as xsd:decimal wants it: no exponent, and enough digits to read
 * back the same double. @buffer holds at least 400 bytes. */
static const gchar *
format_decimal (gchar *buffer, gsize size, gdouble value)
{
  if (format_billionths (buffer, size, value))
    return buffer;
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

/* The UTC date of a day counted from 1970-01-01, for every year (Howard
 * Hinnant's civil_from_days): no time_t limits, no time-zone lock. */
static void
civil_from_days (gint64 days, gint64 *year, guint *month, guint *day)
{
  days += 719468;
  gint64 era = (days >= 0 ? days : days - 146096) / 146097;
  guint of_era = (guint) (days - era * 146097);
  guint year_of_era = (of_era - of_era / 1460 + of_era / 36524 - of_era / 146096) / 365;
  guint of_year = of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
  guint shifted_month = (5 * of_year + 2) / 153;
  *day = of_year - (153 * shifted_month + 2) / 5 + 1;
  *month = shifted_month < 10 ? shifted_month + 3 : shifted_month - 9;
  *year = year_of_era + era * 400 + (*month <= 2);
}

static gboolean
write_time (Writer *w, const GpxTime *moment)
{
  if (moment->seconds < G_GINT64_CONSTANT (-62135596800) || moment->seconds > G_GINT64_CONSTANT (253402300799))
    return TRUE; /* no year that xsd:dateTime can write */
  gint64 days = moment->seconds / 86400, second = moment->seconds % 86400;
  if (second < 0)
    {
      days--;
      second += 86400;
    }
  gint64 year;
  guint month, day;
  civil_from_days (days, &year, &month, &day);
  gchar buffer[64];
  int length = g_snprintf (buffer, sizeof buffer, "%04d-%02u-%02uT%02d:%02d:%02d", (int) year, month, day,
                           (int) (second / 3600), (int) (second / 60 % 60), (int) (second % 60));
  if (moment->microseconds > 0 && moment->microseconds < G_USEC_PER_SEC)
    g_snprintf (buffer + length, sizeof buffer - length, ".%06d", (int) moment->microseconds);
  strcat (buffer, "Z");
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
      GpxExtension *extension = ((GpxRegistration *) w->extensions->pdata[i])->extension;
      int (*write) (gpointer, xmlTextWriterPtr) = tree ? extension->write_tree : extension->write_point;
      gpointer data = _gpx_exdata_get (exdata, extension);
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
write_start (Writer *w, const gchar *title)
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
      GpxRegistration *registration = w->extensions->pdata[i];
      if (!registration->extension->write_point && !registration->extension->write_tree)
        continue; /* read only: it never writes an element */
      g_autofree gchar *attribute = g_strconcat ("xmlns:", registration->name, NULL);
      done = write_attribute (w, attribute, registration->extension->namespace_uri);
    }
  if (done && title)
    done = ok (xmlTextWriterStartElement (writer, BAD_CAST "metadata")) && write_text (w, "name", title)
           && ok (xmlTextWriterEndElement (writer));
  return done;
}

/* The output goes through here, so that the first failure and its errno
 * are kept. */
static int
write_out (void *context, const char *buffer, int length)
{
  Writer *w = context;
  for (int done = 0; done < length;)
    {
      ssize_t n = write (w->fd, buffer + done, length - done);
      if (n > 0)
        done += n;
      else if (n < 0 && errno == EINTR)
        continue;
      else
        {
          if (!w->errno_)
            w->errno_ = n == 0 ? ENOSPC : errno;
          return -1;
        }
    }
  return length;
}

static void
on_write_error (void *data, xmlErrorPtr problem)
{
  Writer *w = data;
  if (!w->xml_message && problem->message)
    w->xml_message = g_strstrip (g_strdup (problem->message));
}

/* Records a failed step: the writer stops there. */
static gboolean
check (Writer *w, gboolean done)
{
  if (!done && !w->error)
    {
      int saved = w->errno_;
      if (saved)
        g_set_error_literal (&w->error, G_FILE_ERROR, g_file_error_from_errno (saved), g_strerror (saved));
      else
        g_set_error_literal (&w->error, GPX_ERROR, GPX_ERROR_WRITE,
                             w->xml_message ? w->xml_message : "the output failed");
    }
  return done;
}

/* Runs @body with libxml2's reports caught. */
#define WITH_ERRORS_CAUGHT(w, body)                                      \
  G_STMT_START                                                           \
  {                                                                      \
    GpxErrorHandler previous_ = _gpx_catch_errors (on_write_error, (w)); \
    body;                                                                \
    _gpx_restore_errors (previous_);                                     \
  }                                                                      \
  G_STMT_END

GpxWriter *
gpx_writer_new (int fd, const gchar *title)
{
  g_return_val_if_fail (fd >= 0, NULL);
  Writer *w = g_new0 (Writer, 1);
  w->fd = fd;
  w->extensions = _gpx_registrations ();
  xmlOutputBufferPtr output = xmlOutputBufferCreateIO (write_out, NULL, w, NULL);
  w->writer = output ? xmlNewTextWriter (output) : NULL;
  gboolean done = FALSE;
  WITH_ERRORS_CAUGHT (w, done = w->writer && write_start (w, title));
  check (w, done);
  return w;
}

gboolean
gpx_writer_add_waypoint (GpxWriter *w, GpxPoint *point)
{
  g_return_val_if_fail (w != NULL && point != NULL, FALSE);
  gboolean done = FALSE;
  if (!w->error)
    WITH_ERRORS_CAUGHT (w, done = check (w, write_point (w, "wpt", point)));
  return done;
}

gboolean
gpx_writer_add_route (GpxWriter *w, GpxRoute *route)
{
  g_return_val_if_fail (w != NULL && route != NULL, FALSE);
  gboolean done = FALSE;
  if (!w->error)
    WITH_ERRORS_CAUGHT (w, done = check (w, write_route (w, route)));
  return done;
}

gboolean
gpx_writer_add_track (GpxWriter *w, GpxTrack *track)
{
  g_return_val_if_fail (w != NULL && track != NULL, FALSE);
  gboolean done = FALSE;
  if (!w->error)
    WITH_ERRORS_CAUGHT (w, done = check (w, write_track (w, track)));
  return done;
}

void
gpx_writer_set_exdata (GpxWriter *w, GpxExtension *extension, gpointer data)
{
  g_return_if_fail (w != NULL && extension != NULL);
  w->exdata = _gpx_exdata_set (w->exdata, extension, data, TRUE);
}

gboolean
gpx_writer_finish (GpxWriter *w, GError **error)
{
  g_return_val_if_fail (w != NULL, FALSE);
  if (!w->error && !w->finished)
    {
      gboolean done = FALSE;
      WITH_ERRORS_CAUGHT (w, done = write_extensions (w, w->exdata, TRUE) && ok (xmlTextWriterEndElement (w->writer))
                                    && ok (xmlTextWriterEndDocument (w->writer)) && ok (xmlTextWriterFlush (w->writer)));
      check (w, done);
      w->finished = TRUE;
    }
  if (w->error)
    {
      g_propagate_error (error, g_error_copy (w->error));
      return FALSE;
    }
  return TRUE;
}

void
gpx_writer_free (GpxWriter *w)
{
  if (!w)
    return;
  if (w->writer)
    WITH_ERRORS_CAUGHT (w, xmlFreeTextWriter (w->writer));
  g_ptr_array_unref (w->extensions);
  _gpx_exdata_free (w->exdata, TRUE);
  g_clear_error (&w->error);
  g_free (w->xml_message);
  g_free (w);
}

gboolean
gpx_tree_write_to_file (GpxTree *tree, const gchar *filename, GError **error)
{
  g_return_val_if_fail (tree != NULL, FALSE);
  g_return_val_if_fail (filename != NULL, FALSE);

  int fd = g_open (filename, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0)
    {
      int saved = errno;
      g_set_error (error, G_FILE_ERROR, g_file_error_from_errno (saved), "Could not create %s: %s", filename,
                   g_strerror (saved));
      return FALSE;
    }
  GpxWriter *w = gpx_writer_new (fd, tree->title);
  for (GList *l = tree->waypoints; l; l = l->next)
    gpx_writer_add_waypoint (w, l->data);
  for (GList *l = tree->routes; l; l = l->next)
    gpx_writer_add_route (w, l->data);
  for (GList *l = tree->tracks; l; l = l->next)
    gpx_writer_add_track (w, l->data);
  /* the tree keeps its data */
  GSList *exdata = w->exdata;
  w->exdata = tree->exdata;
  GError *failure = NULL;
  gboolean written = gpx_writer_finish (w, &failure);
  w->exdata = exdata;
  gpx_writer_free (w);
  if (close (fd) != 0 && written)
    {
      written = FALSE;
      int saved = errno;
      g_set_error_literal (&failure, G_FILE_ERROR, g_file_error_from_errno (saved), g_strerror (saved));
    }
  if (!written)
    {
      if (failure->domain == G_FILE_ERROR)
        g_set_error (error, GPX_ERROR, GPX_ERROR_WRITE, "Could not write %s: %s", filename, failure->message);
      else
        g_propagate_error (error, g_steal_pointer (&failure));
      g_clear_error (&failure);
      return FALSE;
    }
  return TRUE;
}
