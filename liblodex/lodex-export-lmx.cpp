/* LMX export: a place, or every place of a set, as an LMX document, into
 * a file that replaces its target once complete.
 *
 * The document is laid out as libxml2's text writer lays it out with
 * indentation on (one tab a level, "<x/>" for an element with nothing
 * inside, a declaration without encoding), but written here into a buffer
 * of our own: the text writer's bookkeeping cost a third of an export, and
 * it drops the result of its last flush, so a full disk went unnoticed. */

#include "lodex-export-file.hpp"
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
  explicit Export (const char *filename) : file_ (filename) {}
  ~Export ();

  bool begin (GError **error);
  bool landmark (const LodexPlaceRow *row, const LodexPlaceAddress *address, GList *links, GList *category_names);
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

  lodex::ExportFile file_;
  GError *invalid_ = nullptr; /* a place no reader would take back */
  GString *out_ = g_string_sized_new (2 * flush_size);
  GArray *open_ = g_array_new (FALSE, FALSE, sizeof (Tag)); /* the elements started, root first */
  bool start_tag_open_ = false;                             /* "<x" written, its '>' not yet */
};

Export::~Export ()
{
  g_clear_error (&invalid_);
  g_array_unref (open_);
  g_string_free (out_, TRUE);
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
  bool written = file_.write (out_->str, out_->len);
  g_string_truncate (out_, 0);
  return written;
}

bool
Export::begin (GError **error)
{
  if (!file_.open (error))
    return false;
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

/* Ends the document, and the file takes its name; FALSE when anything on
 * the way failed, a full disk included. */
bool
Export::finish (GError **error)
{
  if (invalid_)
    {
      g_propagate_error (error, g_steal_pointer (&invalid_));
      return false; /* the file goes, the target stays */
    }
  while (open_->len > 0)
    end ();
  write_out ();
  return file_.commit (error);
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
Export::landmark (const LodexPlaceRow *row, const LodexPlaceAddress *address, GList *links, GList *category_names)
{
  auto has = [row] (guint bit) { return (row->fields & bit) != 0; };
  /* written by another program: "inf" would be a file our reader refuses */
  GError *invalid = nullptr;
  if (!_lodex_place_check_position (row->latitude, row->longitude, &invalid))
    {
      g_prefix_error (&invalid, "The place \"%s\" has no valid position: ", row->name ? row->name : "");
      g_clear_error (&invalid_);
      invalid_ = invalid;
      return false;
    }

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

  bool started = false;
  for (int tag = lodex::lmx::COUNTRY; address && tag <= lodex::lmx::PHONE_NUMBER; tag++)
    if (const char *value = address->*lodex::address_fields[tag - lodex::lmx::COUNTRY].member)
      if (!(started || (started = start (lodex::lmx::ADDRESS_INFO))) || !element (Tag (tag), value))
        return false;
  if (started && !end ())
    return false;

  for (GList *l = links; l; l = l->next)
    {
      auto link = static_cast<LodexPlaceLink *> (l->data);
      if (!start (lodex::lmx::MEDIA_LINK) || (link->name && !element (lodex::lmx::NAME, link->name))
          || (link->mime && !element (lodex::lmx::MIME, link->mime))
          || (link->url && !element (lodex::lmx::URL, link->url)) || !end ())
        return false;
    }

  for (GList *l = category_names; l; l = l->next)
    if (!start (lodex::lmx::CATEGORY) || !element (lodex::lmx::NAME, static_cast<const char *> (l->data)) || !end ())
      return false;
  return end ();
}

bool
landmark_of (Export &writer, const lodex::ExportedPlace &place)
{
  return writer.landmark (place.row, place.address, place.links, place.category_names);
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
  g_autolist (LodexPlaceLink) links = lodex_place_get_links (place);
  g_autolist (LodexCategory) categories = lodex_place_get_categories (place);
  GList *names = nullptr;
  for (GList *l = categories; l; l = l->next)
    {
      gchar *name = nullptr;
      g_object_get (l->data, "name", &name, nullptr);
      if (name && !g_list_find_custom (names, name, GCompareFunc (g_strcmp0)))
        names = g_list_prepend (names, name);
      else
        g_free (name);
    }
  names = g_list_reverse (names);
  writer.landmark (_lodex_place_get_row (place), _lodex_place_get_address (place), links, names);
  g_list_free_full (names, g_free);
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

  lodex::ExportWalk walk (set);
  return lodex::export_lmx (walk, filename, error);
}

bool
lodex::export_lmx (ExportWalk &walk, const char *filename, GError **error) noexcept
{
  Export writer (filename);
  if (!writer.begin (error))
    return FALSE;

  /* one landmark alone, or a collection: the second tells */
  lodex::ExportedPlace first, second;
  GError *failure = nullptr;
  if (!walk.next (first, &failure) || !walk.next (second, &failure))
    {
      if (failure)
        {
          g_propagate_error (error, failure);
          return FALSE;
        }
      if (first.row)
        landmark_of (writer, first);
      return writer.finish (error);
    }

  bool written = writer.start (lodex::lmx::LANDMARK_COLLECTION) && landmark_of (writer, first)
                 && landmark_of (writer, second);
  first.clear ();
  lodex::ExportedPlace &place = second;
  while (written && walk.next (place, &failure))
    written = landmark_of (writer, place);
  if (failure)
    {
      g_propagate_error (error, failure);
      return FALSE;
    }
  if (written)
    writer.end ();
  return writer.finish (error);
}
