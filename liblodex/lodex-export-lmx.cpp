/* LMX export: a place, or every place of a set, as an LMX document.
 *
 * The document is laid out as libxml2's text writer lays it out with
 * indentation on (one tab a level, "<x/>" for an element with nothing
 * inside, a declaration without encoding), but written here into a buffer
 * of our own: the text writer's bookkeeping cost a third of an export, and
 * it drops the result of its last flush, so a full disk went unnoticed. */

#include "lodex-private.h"
#include "lodex-lmx-private.h"

#include <glib/gstdio.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace
{

using lodex::lmx::Tag;

constexpr gsize flush_size = 64 * 1024;

class Export
{
public:
  explicit Export (const char *filename) : filename_ (filename) {}
  ~Export ();

  bool begin (GError **error);
  bool landmark (LodexPlace *place);
  bool start (Tag tag);
  bool end ();
  bool finish (GError **error);

private:
  bool element (Tag tag, const char *text);
  bool number (Tag tag, double value);
  void close_start_tag ();
  void indent ();
  void name (Tag tag);
  bool write_out ();

  const char *filename_;
  int fd_ = -1;
  int errno_ = 0; /* of the first failed write, or close */
  GString *out_ = g_string_sized_new (2 * flush_size);
  GArray *open_ = g_array_new (FALSE, FALSE, sizeof (Tag)); /* the elements started, root first */
  bool start_tag_open_ = false;                             /* "<x" written, its '>' not yet */
  /* categories stay live across landmarks: looked up, not loaded again */
  GPtrArray *categories_ = g_ptr_array_new_with_free_func (g_object_unref);
};

Export::~Export ()
{
  g_ptr_array_unref (categories_);
  g_array_unref (open_);
  g_string_free (out_, TRUE);
  if (fd_ >= 0)
    close (fd_);
}

/* One tab for each element the current one is in. */
void
Export::indent ()
{
  for (guint depth = 1; depth < open_->len; depth++)
    g_string_append_c (out_, '\t');
}

void
Export::name (Tag tag)
{
  g_string_append (out_, lodex::lmx::prefix);
  g_string_append_c (out_, ':');
  g_string_append (out_, lodex::lmx::elements[tag].name);
}

/* Hands what is buffered to the file; FALSE once any write has failed. */
bool
Export::write_out ()
{
  for (gsize done = 0; !errno_ && done < out_->len;)
    {
      ssize_t n = write (fd_, out_->str + done, out_->len - done);
      if (n > 0)
        done += gsize (n);
      else if (n == 0)
        errno_ = ENOSPC;
      else if (errno != EINTR)
        errno_ = errno;
    }
  g_string_truncate (out_, 0);
  return !errno_;
}

bool
Export::begin (GError **error)
{
  fd_ = g_open (filename_, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd_ < 0)
    {
      int saved = errno;
      g_set_error (error, G_FILE_ERROR, g_file_error_from_errno (saved), "Failed to create %s", filename_);
      return false;
    }
  g_string_append (out_, "<?xml version=\"1.0\"?>\n");
  start (lodex::lmx::LMX);
  g_string_append_printf (out_, " xmlns:%s=\"%s\"", lodex::lmx::prefix, lodex::lmx::namespace_uri);
  return true;
}

void
Export::close_start_tag ()
{
  if (start_tag_open_)
    g_string_append (out_, ">\n");
  start_tag_open_ = false;
}

bool
Export::start (Tag tag)
{
  close_start_tag ();
  g_array_append_val (open_, tag);
  indent ();
  g_string_append_c (out_, '<');
  name (tag);
  start_tag_open_ = true;
  return out_->len < flush_size || write_out ();
}

bool
Export::end ()
{
  Tag tag = g_array_index (open_, Tag, open_->len - 1);
  if (start_tag_open_)
    g_string_append (out_, "/>\n");
  else
    {
      indent ();
      g_string_append (out_, "</");
      name (tag);
      g_string_append (out_, ">\n");
    }
  start_tag_open_ = false;
  g_array_set_size (open_, open_->len - 1);
  return out_->len < flush_size || write_out ();
}

/* Ends the document and closes the file; FALSE when anything on the way
 * failed, a full disk included. */
bool
Export::finish (GError **error)
{
  while (open_->len > 0)
    end ();
  bool written = write_out ();
  if (close (fd_) != 0 && !errno_)
    errno_ = errno;
  fd_ = -1;
  if (written && !errno_)
    return true;
  g_set_error (error, G_FILE_ERROR, g_file_error_from_errno (errno_), "Failed to write %s: %s", filename_,
               g_strerror (errno_));
  return false;
}

/* Text as XML 1.0 allows it: invalid UTF-8 becomes U+FFFD, and characters
 * no XML document may hold are dropped. NULL when @text is fine as it is. */
gchar *
xml_safe (const char *text)
{
  auto allowed = [] (gunichar c) {
    return c == 0x9 || c == 0xA || c == 0xD || (c >= 0x20 && c <= 0xD7FF) || (c >= 0xE000 && c <= 0xFFFD)
           || (c >= 0x10000 && c <= 0x10FFFF);
  };
  /* valid UTF-8 can only go wrong with a control character, U+FFFE or
   * U+FFFF, whose bytes are easy to spot */
  bool fine = g_utf8_validate (text, -1, nullptr);
  for (const guchar *p = reinterpret_cast<const guchar *> (text); fine && *p; p++)
    fine = (*p >= 0x20 || *p == 0x9 || *p == 0xA || *p == 0xD) && !(p[0] == 0xEF && p[1] == 0xBF && p[2] >= 0xBE);
  if (fine)
    return nullptr;

  g_autofree gchar *utf8 = g_utf8_make_valid (text, -1);
  GString *clean = g_string_sized_new (strlen (utf8));
  for (const char *p = utf8; *p; p = g_utf8_next_char (p))
    if (gunichar c = g_utf8_get_char (p); allowed (c))
      g_string_append_unichar (clean, c);
  return g_string_free (clean, FALSE);
}

/* A leaf element, its text escaped as libxml2 escapes it. */
bool
Export::element (Tag tag, const char *text)
{
  g_autofree gchar *safe = xml_safe (text);
  close_start_tag ();
  g_string_append_c (out_, '\t');
  indent ();
  g_string_append_c (out_, '<');
  name (tag);
  g_string_append_c (out_, '>');
  for (const char *p = safe ? safe : text; *p;)
    {
      gsize plain = strcspn (p, "&<>\"\r");
      g_string_append_len (out_, p, gssize (plain));
      p += plain;
      switch (*p)
        {
        case '&':
          g_string_append (out_, "&amp;");
          break;
        case '<':
          g_string_append (out_, "&lt;");
          break;
        case '>':
          g_string_append (out_, "&gt;");
          break;
        case '"':
          g_string_append (out_, "&quot;");
          break;
        case '\r':
          g_string_append (out_, "&#13;");
          break;
        default:
          continue;
        }
      p++;
    }
  g_string_append (out_, "</");
  name (tag);
  g_string_append (out_, ">\n");
  return out_->len < flush_size || write_out ();
}

/* Six decimals, with a point whatever the locale; every finite double fits
 * ("%f" of -G_MAXDOUBLE takes 317 bytes). */
bool
Export::number (Tag tag, double value)
{
  char buffer[G_ASCII_DTOSTR_BUF_SIZE + 320];
  return element (tag, g_ascii_formatd (buffer, sizeof buffer, "%f", value));
}

bool
Export::landmark (LodexPlace *place)
{
  LodexPlaceRow *row = _lodex_place_get_row (place);
  auto has = [row] (guint bit) { return (row->fields & bit) != 0; };

  if (!start (lodex::lmx::LANDMARK) || (row->name && !element (lodex::lmx::NAME, row->name))
      || (row->description && !element (lodex::lmx::DESCRIPTION, row->description)))
    return false;

  /* an optional value that is not a number is better left out than written
   * as text no reader takes */
  if (!start (lodex::lmx::COORDINATES) || !number (lodex::lmx::LATITUDE, row->latitude)
      || !number (lodex::lmx::LONGITUDE, row->longitude)
      || (has (LODEX_PLACE_FIELD_ALTITUDE) && std::isfinite (row->altitude) && !number (lodex::lmx::ALTITUDE, row->altitude))
      || (has (LODEX_PLACE_FIELD_HACCURACY) && std::isfinite (row->haccuracy)
          && !number (lodex::lmx::HORIZONTAL_ACCURACY, row->haccuracy))
      || (has (LODEX_PLACE_FIELD_VACCURACY) && std::isfinite (row->vaccuracy)
          && !number (lodex::lmx::VERTICAL_ACCURACY, row->vaccuracy))
      || !end ())
    return false;
  if (has (LODEX_PLACE_FIELD_COVERAGE) && std::isfinite (row->coverage)
      && !number (lodex::lmx::COVERAGE_RADIUS, row->coverage))
    return false;

  GValue address[lodex::lmx::PHONE_NUMBER - lodex::lmx::COUNTRY + 1] = {};
  const char *address_properties[G_N_ELEMENTS (address)];
  for (int tag = lodex::lmx::COUNTRY; tag <= lodex::lmx::PHONE_NUMBER; tag++)
    address_properties[tag - lodex::lmx::COUNTRY] = lodex::lmx::elements[tag].property;
  g_object_getv (G_OBJECT (place), G_N_ELEMENTS (address), address_properties, address);
  bool started = false;
  bool written = true;
  for (guint i = 0; i < G_N_ELEMENTS (address); i++)
    {
      const char *value = g_value_get_string (&address[i]);
      if (value && written)
        written = (started || (started = start (lodex::lmx::ADDRESS_INFO))) && element (Tag (lodex::lmx::COUNTRY + i), value);
      g_value_unset (&address[i]);
    }
  if (!written || (started && !end ()))
    return false;

  g_autolist (LodexPlaceLink) links = lodex_place_get_links (place);
  for (GList *l = links; l; l = l->next)
    {
      auto link = static_cast<LodexPlaceLink *> (l->data);
      if (!start (lodex::lmx::MEDIA_LINK) || (link->name && !element (lodex::lmx::NAME, link->name))
          || (link->mime && !element (lodex::lmx::MIME, link->mime))
          || (link->url && !element (lodex::lmx::URL, link->url)) || !end ())
        return false;
    }

  g_autolist (LodexCategory) categories = lodex_place_get_categories (place);
  for (GList *l = categories; l; l = l->next)
    {
      if (categories_->len < 1024 && !g_ptr_array_find (categories_, l->data, nullptr))
        g_ptr_array_add (categories_, g_object_ref (l->data));
      g_autofree gchar *category_name = nullptr;
      g_object_get (l->data, "name", &category_name, nullptr);
      if (!start (lodex::lmx::CATEGORY) || (category_name && !element (lodex::lmx::NAME, category_name)) || !end ())
        return false;
    }
  return end ();
}

} // namespace

/**
 * lodex_export_place_to_lmx_file:
 * @place: a place of a store
 * @filename: the file to write; an existing one is replaced
 * @error: return location for a #GError
 *
 * Writes @place as the one landmark of an LMX document, with its address,
 * media links and category names. Numbers have six decimals and a decimal
 * point, whatever the locale.
 *
 * Returns: %TRUE when the whole document was written; %FALSE with @error
 *   set in %G_FILE_ERROR when the file cannot be created or written
 *
 * Since: 0.1
 */
gboolean
lodex_export_place_to_lmx_file (LodexPlace *place, const char *filename, GError **error)
{
  g_return_val_if_fail (place != NULL, FALSE);
  g_return_val_if_fail (LODEX_IS_PLACE (place), FALSE);
  g_return_val_if_fail (filename != NULL, FALSE);
  g_return_val_if_fail (LODEX_IS_STORE (_lodex_place_get_store (place)), FALSE);
  g_return_val_if_fail (error == NULL || *error == NULL, FALSE);

  Export writer (filename);
  if (!writer.begin (error))
    return FALSE;
  writer.landmark (place);
  return writer.finish (error);
}

/**
 * lodex_export_set_to_lmx_file:
 * @set: a #LodexSet, the store itself for every place
 * @filename: the file to write; an existing one is replaced
 * @error: return location for a #GError
 *
 * Writes the places of @set, in its order, as an LMX document: nothing for
 * an empty set, a landmark for a single place, else a landmark collection.
 * Each landmark is written as lodex_export_place_to_lmx_file() writes it.
 *
 * Returns: %TRUE when the whole document was written; %FALSE with @error
 *   set in %G_FILE_ERROR when the file cannot be created or written
 *
 * Since: 0.1
 */
gboolean
lodex_export_set_to_lmx_file (LodexSet *set, const char *filename, GError **error)
{
  g_return_val_if_fail (set != NULL, FALSE);
  g_return_val_if_fail (LODEX_IS_SET (set), FALSE);
  g_return_val_if_fail (filename != NULL, FALSE);
  g_return_val_if_fail (error == NULL || *error == NULL, FALSE);

  Export writer (filename);
  if (!writer.begin (error))
    return FALSE;

  g_autoptr (LodexPlace) first = lodex_set_first (set);
  g_autoptr (LodexPlace) second = first ? lodex_set_next (set) : nullptr;
  if (!second)
    {
      if (first)
        writer.landmark (first);
      return writer.finish (error);
    }

  bool written = writer.start (lodex::lmx::LANDMARK_COLLECTION) && writer.landmark (first) && writer.landmark (second);
  g_clear_object (&first);
  g_clear_object (&second);
  while (written)
    {
      g_autoptr (LodexPlace) place = lodex_set_next (set);
      if (!place)
        break;
      written = writer.landmark (place);
    }
  if (written)
    writer.end ();
  return writer.finish (error);
}
