/* GeoJSON export: a set's places as the Point features of one
 * FeatureCollection, one feature per line, streamed from the walk's rows
 * into a file that replaces its target once complete. */

#include "lodex-db-private.hpp"
#include "lodex-export-file.hpp"
#include "lodex-geojson-private.hpp"
#include "lodex-json-private.hpp"

#include <liblodex/lodex-export.h>

namespace
{

using lodex::json::append_string;

constexpr gsize flush_size = 64 * 1024;

/* The fewest digits that read back as the same double (-0.0759, not
 * -0.075899999999999995), never in the locale's way. */
void
append_number (GString *out, double value)
{
  char text[G_ASCII_DTOSTR_BUF_SIZE];
  for (const char *format : {"%.15g", "%.16g", "%.17g"})
    {
      g_ascii_formatd (text, sizeof text, format, value);
      if (g_ascii_strtod (text, nullptr) == value)
        break;
    }
  g_string_append (out, text);
}

void
append_key (GString *out, bool &first, const char *key)
{
  if (!first)
    g_string_append_c (out, ',');
  first = false;
  append_string (out, key);
  g_string_append_c (out, ':');
}

/* XML has its limits on text; JSON only needs valid UTF-8. */
void
append_text (GString *out, const char *text)
{
  if (g_utf8_validate (text, -1, nullptr))
    return append_string (out, text);
  g_autofree gchar *valid = g_utf8_make_valid (text, -1);
  append_string (out, valid);
}

/* Whether the place's own fields write @key. */
bool
written (const lodex::ExportedPlace &place, const char *key)
{
  using namespace lodex::geojson;
  const LodexPlaceRow *row = place.row;
  for (const TextProperty &text : place_texts)
    if (g_str_equal (key, text.name))
      return row->*text.member != nullptr;
  for (const NumberProperty &number : place_numbers)
    if (g_str_equal (key, number.name))
      return (row->fields & number.field) != 0;
  for (const lodex::AddressField &field : lodex::address_fields)
    if (g_str_equal (key, field.parameter + 1))
      return place.address && place.address->*field.member;
  if (g_str_equal (key, created_property))
    return row->ctime != 0;
  if (g_str_equal (key, categories_property))
    return place.category_names != nullptr;
  if (g_str_equal (key, links_property))
    return place.links != nullptr;
  return false;
}

/* The members of the place's other properties, as kept by an import,
 * after its own; a value that is not a JSON object (written by another
 * program) is written as a string under the key itself. */
void
append_other (GString *out, bool &first, const lodex::ExportedPlace &place, const char *kept)
{
  using lodex::json::Scanner;
  using lodex::json::Token;
  Scanner scanner (-1, kept, strlen (kept));
  g_autoptr (GString) members = g_string_new (nullptr);
  bool members_first = first;
  bool valid = scanner.next () == Token::BEGIN_OBJECT;
  Token token = valid ? scanner.next () : Token::ERROR;
  while (valid && token != Token::END_OBJECT)
    {
      g_autofree gchar *key = token == Token::STRING ? g_strdup (scanner.text ()) : nullptr;
      if (!key || scanner.next () != Token::COLON)
        {
          valid = false;
          break;
        }
      bool write = !written (place, key);
      if (write)
        append_key (members, members_first, key);
      g_autofree gchar *problem = nullptr;
      if (!lodex::json::copy_value (scanner, scanner.next (), write ? members : nullptr, &problem))
        {
          valid = false;
          break;
        }
      token = scanner.next ();
      if (token == Token::COMMA)
        token = scanner.next ();
      else if (token != Token::END_OBJECT)
        valid = false;
    }
  if (valid && scanner.next () != Token::END)
    valid = false;
  if (valid)
    {
      g_string_append_len (out, members->str, gssize (members->len));
      first = members_first;
      return;
    }
  if (!written (place, lodex::geojson::appdata_key))
    {
      append_key (out, first, lodex::geojson::appdata_key);
      append_text (out, kept);
    }
}

void
append_feature (GString *out, const lodex::ExportedPlace &place, const char *kept)
{
  using namespace lodex::geojson;
  const LodexPlaceRow *row = place.row;
  g_string_append (out, "{\"type\":\"Feature\",\"id\":");
  append_text (out, row->id);
  g_string_append (out, ",\"geometry\":{\"type\":\"Point\",\"coordinates\":[");
  append_number (out, row->longitude);
  g_string_append_c (out, ',');
  append_number (out, row->latitude);
  if (row->fields & LODEX_PLACE_FIELD_ALTITUDE)
    {
      g_string_append_c (out, ',');
      append_number (out, row->altitude);
    }
  g_string_append (out, "]},\"properties\":{");
  bool first = true;
  for (const TextProperty &text : place_texts)
    if (row->*text.member)
      {
        append_key (out, first, text.name);
        append_text (out, row->*text.member);
      }
  for (const NumberProperty &number : place_numbers)
    if (row->fields & number.field)
      {
        append_key (out, first, number.name);
        append_number (out, row->*number.member);
      }
  if (row->ctime)
    {
      g_autoptr (GDateTime) time = g_date_time_new_from_unix_utc (row->ctime);
      g_autofree gchar *iso = time ? g_date_time_format (time, "%Y-%m-%dT%H:%M:%SZ") : nullptr;
      if (iso)
        {
          append_key (out, first, created_property);
          append_string (out, iso);
        }
    }
  for (const lodex::AddressField &field : lodex::address_fields)
    if (place.address && place.address->*field.member)
      {
        append_key (out, first, field.parameter + 1);
        append_text (out, place.address->*field.member);
      }
  if (place.category_names)
    {
      append_key (out, first, categories_property);
      g_string_append_c (out, '[');
      for (GList *l = place.category_names; l; l = l->next)
        {
          append_text (out, static_cast<const char *> (l->data));
          if (l->next)
            g_string_append_c (out, ',');
        }
      g_string_append_c (out, ']');
    }
  if (place.links)
    {
      append_key (out, first, links_property);
      g_string_append_c (out, '[');
      for (GList *l = place.links; l; l = l->next)
        {
          auto link = static_cast<const LodexPlaceLink *> (l->data);
          bool link_first = true;
          g_string_append_c (out, '{');
          for (auto [name, value] : {std::pair{"url", link->url}, std::pair{"name", link->name},
                                     std::pair{"mime", link->mime}})
            if (value)
              {
                append_key (out, link_first, name);
                append_text (out, value);
              }
          g_string_append (out, l->next ? "}," : "}");
        }
      g_string_append_c (out, ']');
    }
  if (kept)
    append_other (out, first, place, kept);
  g_string_append (out, "}}");
}

/* What an import kept of the place's other properties, on the walk's own
 * connection; NULL for nothing, with @failed set on a failure. */
gchar *
kept_properties (sqlite3 *db, const char *place_id, bool *failed)
{
  lodex::db::Statement statement = lodex::db::borrow_bound (
    db, "SELECT data FROM places_appdata WHERE place_id = :place_id AND key = :key", ":place_id", place_id, ":key",
    lodex::geojson::appdata_key, nullptr);
  if (!statement)
    {
      *failed = true;
      return nullptr;
    }
  int res = _lodex_db_step (statement.get ());
  if (res == SQLITE_ROW)
    return lodex::db::column_strdup (statement.get (), 0);
  *failed = res != SQLITE_DONE;
  return nullptr;
}

} // namespace

bool
lodex::export_geojson (ExportWalk &walk, const char *filename, GError **error) noexcept
{
  lodex::ExportFile file (filename);
  if (!file.open (error))
    return FALSE;
  g_autoptr (GString) out = g_string_sized_new (flush_size + 4096);
  g_string_append (out, "{\"type\":\"FeatureCollection\",\"features\":[\n");
  lodex::ExportedPlace place;
  GError *failure = nullptr;
  bool first = true, written = true;
  while (written && walk.next (place, &failure))
    {
      bool failed = false;
      db::Quiet quiet;
      g_autofree gchar *kept = kept_properties (walk.db (), place.row->id, &failed);
      if (failed)
        {
          _lodex_set_database_error (&failure, walk.db (), "Error when retrieving row");
          break;
        }
      if (!first)
        g_string_append (out, ",\n");
      first = false;
      append_feature (out, place, kept);
      if (out->len >= flush_size)
        {
          written = file.write (out->str, out->len);
          g_string_truncate (out, 0);
        }
    }
  if (failure)
    {
      g_propagate_error (error, failure);
      return FALSE;
    }
  g_string_append (out, "\n]}\n");
  file.write (out->str, out->len);
  return file.commit (error);
}

/**
 * lodex_export_set_to_geojson_file:
 * @set: the places to write
 * @filename: (type filename): the file to write, replaced if it exists
 * @error: return location for a #GError
 *
 * Writes the places of @set as a GeoJSON FeatureCollection (RFC 7946) of
 * Point features, one per line: the position as longitude, latitude and,
 * when the place has one, altitude; the place's id as the feature's "id";
 * its fields as "properties", named as lodex_import_from_geojson_file()
 * reads them, a field without a value left out. The properties an import
 * kept of another application (application data "geojson") are written
 * back after them, so that a round trip loses nothing.
 *
 * The file is written beside @filename and takes its name only once it is
 * complete: when the export fails, @filename is left as it was.
 *
 * Returns: whether the file was written
 *
 * Since: 0.2
 */
gboolean
lodex_export_set_to_geojson_file (LodexSet *set, const char *filename, GError **error)
{
  g_return_val_if_fail (set != NULL, FALSE);
  g_return_val_if_fail (LODEX_IS_SET (set), FALSE);
  g_return_val_if_fail (filename != NULL, FALSE);
  g_return_val_if_fail (error == NULL || *error == NULL, FALSE);
  lodex::ExportWalk walk (set);
  return lodex::export_geojson (walk, filename, error);
}
