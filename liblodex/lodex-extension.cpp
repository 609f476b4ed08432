/* The place-data GPX extension: its parsers and writers, called by the GPX
 * library inside <extensions> blocks. */

#include "lodex-extension.h"

#include <cmath>
#include <cstring>

namespace
{

constexpr const char *prefix = "lodex";

/* Address children in writing order, with their fields. */
struct AddressElement
{
  const char *name;
  gchar *LodexPlaceAddress::*member;
};

constexpr AddressElement address_elements[] = {
  {"country", &LodexPlaceAddress::country},
  {"country-code", &LodexPlaceAddress::country_code},
  {"state", &LodexPlaceAddress::state},
  {"county", &LodexPlaceAddress::county},
  {"city", &LodexPlaceAddress::city},
  {"district", &LodexPlaceAddress::district},
  {"postcode", &LodexPlaceAddress::postcode},
  {"crossing1", &LodexPlaceAddress::crossing1},
  {"crossing2", &LodexPlaceAddress::crossing2},
  {"street", &LodexPlaceAddress::street},
  {"building_name", &LodexPlaceAddress::building_name},
  {"building_zone", &LodexPlaceAddress::building_zone},
  {"building_floor", &LodexPlaceAddress::building_floor},
  {"building_room", &LodexPlaceAddress::building_room},
  {"extension", &LodexPlaceAddress::extension},
  {"phone_number", &LodexPlaceAddress::phone_number},
};

/* Reading */

bool
is_ours (xmlTextReaderPtr reader, const char *local_name)
{
  return xmlTextReaderNodeType (reader) == XML_READER_TYPE_ELEMENT
         && g_strcmp0 (reinterpret_cast<const char *> (xmlTextReaderConstNamespaceUri (reader)),
                       LODEX_EXTENSION_NAMESPACE)
              == 0
         && g_str_equal (reinterpret_cast<const char *> (xmlTextReaderConstLocalName (reader)), local_name);
}

bool
is_text (xmlTextReaderPtr reader)
{
  switch (xmlTextReaderNodeType (reader))
    {
    case XML_READER_TYPE_TEXT:
    case XML_READER_TYPE_CDATA:
    case XML_READER_TYPE_SIGNIFICANT_WHITESPACE:
    case XML_READER_TYPE_WHITESPACE:
      return true;
    default:
      return false;
    }
}

/* Text may come in several pieces (CDATA, comments between): join them. */
void
append_text (gchar **slot, xmlTextReaderPtr reader)
{
  const char *text = reinterpret_cast<const char *> (xmlTextReaderConstValue (reader));
  gchar *joined = g_strconcat (*slot ? *slot : "", text, nullptr);
  g_free (*slot);
  *slot = joined;
}

/* An element that is read for its text: present, even when empty. */
void
start_text (gchar **slot)
{
  if (!*slot)
    *slot = g_strdup ("");
}

/* A reader that stops inside an element has failed, whatever it says. */
int
stopped (int res)
{
  return res < 0 ? res : -1;
}

LodexCategoryRow *
category_row (const gchar *name, const gchar *description)
{
  LodexCategoryRow *row = _lodex_category_row_new ();
  row->name = g_strdup (name);
  row->description = g_strdup (description);
  return row;
}

/* Each "category" with its "name" and optional "description". */
int
parse_categories (xmlTextReaderPtr reader, GPtrArray *categories)
{
  int depth = xmlTextReaderDepth (reader);
  bool in_category = false;
  gchar *name = nullptr, *description = nullptr;
  gchar **field = nullptr; /* the child whose text is being read */
  int res;
  while ((res = xmlTextReaderRead (reader)) == 1)
    {
      int type = xmlTextReaderNodeType (reader);
      int here = xmlTextReaderDepth (reader);
      if (here == depth && type == XML_READER_TYPE_END_ELEMENT)
        break;
      if (here == depth + 1)
        {
          if (is_ours (reader, "category"))
            in_category = !xmlTextReaderIsEmptyElement (reader); /* an empty one has no name */
          else if (type == XML_READER_TYPE_END_ELEMENT && in_category)
            {
              if (name) /* a category without a name cannot be found again */
                g_ptr_array_add (categories, category_row (name, description));
              g_clear_pointer (&name, g_free);
              g_clear_pointer (&description, g_free);
              in_category = false;
            }
          field = nullptr;
        }
      else if (in_category && here == depth + 2)
        {
          field = nullptr;
          if (is_ours (reader, "name"))
            field = &name;
          else if (is_ours (reader, "description"))
            field = &description;
          if (field)
            start_text (field);
          if (type != XML_READER_TYPE_ELEMENT || xmlTextReaderIsEmptyElement (reader))
            field = nullptr;
        }
      else if (field && here == depth + 3 && is_text (reader))
        append_text (field, reader);
    }
  g_free (name);
  g_free (description);
  return res == 1 ? 1 : stopped (res);
}

/* "presence" and kin: an attribute, copied; none for an absent one. */
void
copy_attribute (xmlTextReaderPtr reader, const char *name, gchar **slot)
{
  xmlChar *value = xmlTextReaderGetAttribute (reader, BAD_CAST name);
  if (!value)
    return;
  g_free (*slot);
  *slot = g_strdup (reinterpret_cast<const char *> (value));
  xmlFree (value);
}

/* FALSE when there is a coverage that is not a number: it is left out. */
bool
read_coverage (xmlTextReaderPtr reader, LodexPlaceRow *row)
{
  g_autofree gchar *text = nullptr;
  copy_attribute (reader, "coverage", &text);
  if (!text)
    return true;
  gchar *end;
  gdouble coverage = g_ascii_strtod (g_strchug (text), &end); /* never the locale's */
  if (end == text || *g_strchug (end) || !std::isfinite (coverage))
    return false;
  row->coverage = coverage;
  row->fields |= LODEX_PLACE_FIELD_COVERAGE;
  return true;
}

gchar *LodexPlaceAddress::*
address_member (xmlTextReaderPtr reader)
{
  for (const AddressElement &element : address_elements)
    if (is_ours (reader, element.name))
      return element.member;
  return nullptr;
}

bool
address_is_empty (const LodexPlaceAddress *address)
{
  for (const AddressElement &element : address_elements)
    if (address->*element.member)
      return false;
  return true;
}

/* The children of "place": its "address" and its "category" names. */
int
parse_place_content (xmlTextReaderPtr reader, LodexPlaceAddress **address, GList **names)
{
  int depth = xmlTextReaderDepth (reader);
  enum
  {
    OTHER,
    ADDRESS,
    CATEGORY
  } child
    = OTHER;
  gchar *name = nullptr;
  gchar **field = nullptr; /* the address field whose text is being read */
  int res;
  while ((res = xmlTextReaderRead (reader)) == 1)
    {
      int type = xmlTextReaderNodeType (reader);
      int here = xmlTextReaderDepth (reader);
      if (here == depth && type == XML_READER_TYPE_END_ELEMENT)
        break;
      if (here == depth + 1)
        {
          if (type == XML_READER_TYPE_END_ELEMENT && child == CATEGORY && name && *name)
            *names = g_list_prepend (*names, g_steal_pointer (&name));
          g_clear_pointer (&name, g_free);
          child = OTHER;
          field = nullptr;
          if (xmlTextReaderIsEmptyElement (reader))
            continue; /* an empty address or category holds nothing */
          if (is_ours (reader, "address"))
            {
              /* a second address replaces the first */
              g_clear_pointer (address, _lodex_place_address_free);
              *address = _lodex_place_address_new ();
              child = ADDRESS;
            }
          else if (is_ours (reader, "category"))
            child = CATEGORY;
        }
      else if (here == depth + 2 && child == CATEGORY && is_text (reader))
        append_text (&name, reader);
      else if (here == depth + 2 && child == ADDRESS)
        {
          field = nullptr;
          if (auto member = address_member (reader))
            {
              start_text (&(*address->*member));
              if (!xmlTextReaderIsEmptyElement (reader))
                field = &(*address->*member);
            }
        }
      else if (here == depth + 3 && field && is_text (reader))
        append_text (field, reader);
    }
  g_free (name);
  *names = g_list_reverse (*names);
  return res == 1 ? 1 : stopped (res);
}

/* Writing. A failure is the output's (a full disk): the export returns it
 * as its error, so it is only traced here. */

/* XML 1.0 carries neither invalid UTF-8 nor most control characters:
 * NULL when @text can be written as it is, else a copy without them. */
gchar *
clean_copy (const gchar *text)
{
  bool clean = g_utf8_validate (text, -1, nullptr);
  for (const guchar *p = reinterpret_cast<const guchar *> (text); clean && *p; p++)
    clean = (*p >= 0x20 || *p == '\t' || *p == '\n' || *p == '\r') && !(p[0] == 0xef && p[1] == 0xbf && p[2] >= 0xbe);
  if (clean)
    return nullptr;
  g_autofree gchar *valid = g_utf8_make_valid (text, -1);
  GString *copy = g_string_sized_new (strlen (valid));
  for (const gchar *p = valid; *p; p = g_utf8_next_char (p))
    {
      gunichar c = g_utf8_get_char (p);
      if ((c >= 0x20 || c == '\t' || c == '\n' || c == '\r') && c != 0xfffe && c != 0xffff)
        g_string_append_unichar (copy, c);
    }
  return g_string_free (copy, FALSE);
}

int
write_element (xmlTextWriterPtr writer, const char *name, const gchar *text)
{
  g_autofree gchar *clean = clean_copy (text);
  return xmlTextWriterWriteElementNS (writer, BAD_CAST prefix, BAD_CAST name, nullptr,
                                      BAD_CAST (clean ? clean : text));
}

int
write_attribute (xmlTextWriterPtr writer, const char *name, const gchar *text)
{
  g_autofree gchar *clean = clean_copy (text);
  return xmlTextWriterWriteAttribute (writer, BAD_CAST name, BAD_CAST (clean ? clean : text));
}

bool
write_category (xmlTextWriterPtr writer, const LodexCategoryRow *category)
{
  if (xmlTextWriterStartElementNS (writer, BAD_CAST prefix, BAD_CAST "category", nullptr) < 0)
    {
      g_debug ("Error starting 'category' element");
      return false;
    }
  const gchar *name = category->name, *description = category->description;
  if (name && write_element (writer, "name", name) < 0)
    {
      g_debug ("Error doing 'name' element");
      return false;
    }
  if (description && write_element (writer, "description", description) < 0)
    {
      g_debug ("Error doing 'description' element");
      return false;
    }
  if (xmlTextWriterEndElement (writer) < 0)
    {
      g_debug ("Error ending 'category' element");
      return false;
    }
  return true;
}

bool
write_place_attributes (xmlTextWriterPtr writer, LodexPlaceRow *row)
{
  struct
  {
    const char *name;
    const gchar *value;
    const char *failure;
  } attributes[] = {
    {"id", row->id, "Error writing 'id' attribute"},
    {"icon", row->icon, "Error writing 'icon' attribute"},
    {"presence", row->presence, "Error writing 'presence' attribute"},
  };
  for (const auto &attribute : attributes)
    if (attribute.value && write_attribute (writer, attribute.name, attribute.value) < 0)
      {
        g_debug ("%s", attribute.failure);
        return false;
      }
  if ((row->fields & LODEX_PLACE_FIELD_COVERAGE) && std::isfinite (row->coverage))
    {
      gchar coverage[400]; /* room for "%f" of any finite double */
      g_ascii_formatd (coverage, sizeof coverage, "%f", row->coverage);
      if (write_attribute (writer, "coverage", coverage) < 0)
        {
          g_debug ("Error writing 'coverage' attribute");
          return false;
        }
    }
  return true;
}

bool
write_address (xmlTextWriterPtr writer, LodexPlaceAddress *address)
{
  if (xmlTextWriterStartElementNS (writer, BAD_CAST prefix, BAD_CAST "address", nullptr) < 0)
    {
      g_debug ("Error starting 'address' element");
      return false;
    }
  for (const AddressElement &element : address_elements)
    if (const gchar *value = address->*element.member; value && write_element (writer, element.name, value) < 0)
      {
        g_debug ("Error writing %s element", element.name);
        return false;
      }
  if (xmlTextWriterEndElement (writer) < 0)
    {
      g_debug ("Error ending 'address' element");
      return false;
    }
  return true;
}

/* The functions the GPX library calls */

void
free_tree_data (gpointer data) noexcept
{
  auto tree = static_cast<LodexExtensionTreeData *> (data);
  g_ptr_array_unref (tree->categories);
  g_free (tree);
}

void
free_point_data (gpointer data) noexcept
{
  auto point = static_cast<LodexExtensionPointData *> (data);
  g_clear_pointer (&point->row, _lodex_place_row_free);
  g_clear_pointer (&point->address, _lodex_place_address_free);
  g_list_free_full (point->category_names, g_free);
  g_free (point);
}

int
parse_tree (gpointer *data, xmlTextReaderPtr reader) noexcept
{
  auto tree = lodex_extension_tree_data_new ();
  *data = tree;
  if (!is_ours (reader, "categories"))
    return 0;
  if (xmlTextReaderIsEmptyElement (reader)) /* no end tag to read to */
    return 1;
  return parse_categories (reader, tree->categories);
}

int
parse_point (gpointer *data, xmlTextReaderPtr reader) noexcept
{
  auto point = g_new0 (LodexExtensionPointData, 1);
  *data = point;
  if (!is_ours (reader, "place"))
    return 0;

  g_autoptr (LodexPlaceRow) row = _lodex_place_row_new ();
  copy_attribute (reader, "id", &row->id);
  if (row->id && !*row->id) /* no id: the place gets a new one */
    g_clear_pointer (&row->id, g_free);
  copy_attribute (reader, "icon", &row->icon);
  copy_attribute (reader, "presence", &row->presence);
  if (!read_coverage (reader, row))
    point->dropped++;

  LodexPlaceAddress *address = nullptr;
  int res = 1;
  if (!xmlTextReaderIsEmptyElement (reader)) /* no end tag to read to */
    res = parse_place_content (reader, &address, &point->category_names);
  if (address && address_is_empty (address))
    g_clear_pointer (&address, _lodex_place_address_free);
  point->row = static_cast<LodexPlaceRow *> (g_steal_pointer (&row));
  point->address = address;
  return res;
}

int
write_tree (gpointer data, xmlTextWriterPtr writer) noexcept
{
  auto tree = static_cast<LodexExtensionTreeData *> (data);
  if (xmlTextWriterStartElementNS (writer, BAD_CAST prefix, BAD_CAST "categories", nullptr) < 0)
    {
      g_debug ("Error starting 'categories' element");
      return -1;
    }
  for (guint i = 0; tree && i < tree->categories->len; i++)
    if (!write_category (writer, static_cast<const LodexCategoryRow *> (tree->categories->pdata[i])))
      {
        g_debug ("Error doing category");
        return -1;
      }
  if (xmlTextWriterEndElement (writer) < 0)
    {
      g_debug ("Error ending 'categories' element");
      return -1;
    }
  return 0;
}

int
write_point (gpointer data, xmlTextWriterPtr writer) noexcept
{
  auto point = static_cast<LodexExtensionPointData *> (data);
  if (!point || !point->row)
    return 0;

  if (xmlTextWriterStartElementNS (writer, BAD_CAST prefix, BAD_CAST "place", nullptr) < 0)
    {
      g_debug ("Error starting 'place' element");
      return -1;
    }
  if (!write_place_attributes (writer, point->row))
    return -1;
  if (point->address && !address_is_empty (point->address) && !write_address (writer, point->address))
    {
      g_debug ("Error doing address for place");
      return -1;
    }
  for (GList *l = point->category_names; l; l = l->next)
    if (write_element (writer, "category", static_cast<const gchar *> (l->data)) < 0)
      {
        g_debug ("Error writing category name");
        g_debug ("Error doing category memberships for place");
        return -1;
      }
  if (xmlTextWriterEndElement (writer) < 0)
    {
      g_debug ("Error ending 'place' element");
      return -1;
    }
  return 0;
}

} // namespace

LodexExtensionTreeData *
lodex_extension_tree_data_new (void)
{
  auto tree = g_new0 (LodexExtensionTreeData, 1);
  tree->categories = g_ptr_array_new_with_free_func (GDestroyNotify (_lodex_category_row_free));
  return tree;
}

/**
 * lodex_extension_get:
 *
 * The place-data GPX extension of this process, registered with the GPX
 * library under the name "lodex" on the first call.
 *
 * Returns: (transfer none): the extension record, which lives as long as
 *   the process
 *
 * Since: 0.1
 */
GpxExtension *
lodex_extension_get (void)
{
  static GpxExtension *extension;
  if (g_once_init_enter (&extension))
    {
      auto created = g_new0 (GpxExtension, 1);
      created->free_tree_data = free_tree_data;
      created->free_point_data = free_point_data;
      created->parse_tree = parse_tree;
      created->parse_point = parse_point;
      created->write_tree = write_tree;
      created->write_point = write_point;
      created->namespace_uri = g_strdup (LODEX_EXTENSION_NAMESPACE);
      gpx_extension_register (prefix, created);
      g_once_init_leave (&extension, created);
    }
  return extension;
}

namespace
{

/* Garmin's elements, by local name, with the address fields they fill. */
constexpr AddressElement garmin_address_elements[] = {
  {"StreetAddress", &LodexPlaceAddress::street},
  {"City", &LodexPlaceAddress::city},
  {"State", &LodexPlaceAddress::state},
  {"Country", &LodexPlaceAddress::country},
  {"PostalCode", &LodexPlaceAddress::postcode},
};

bool
is_garmin (xmlTextReaderPtr reader, const char *local_name)
{
  return xmlTextReaderNodeType (reader) == XML_READER_TYPE_ELEMENT
         && g_strcmp0 (reinterpret_cast<const char *> (xmlTextReaderConstNamespaceUri (reader)), LODEX_GARMIN_NAMESPACE) == 0
         && g_str_equal (reinterpret_cast<const char *> (xmlTextReaderConstLocalName (reader)), local_name);
}

void
free_garmin_data (gpointer data)
{
  auto point = static_cast<LodexGarminPointData *> (data);
  if (!point)
    return;
  g_clear_pointer (&point->address, _lodex_place_address_free);
  g_list_free_full (point->category_names, g_free);
  g_free (point);
}

/* <gpxx:WaypointExtension>: Address (its StreetAddress lines joined by a
 * comma), PhoneNumber, Categories/Category; the rest is skipped. */
int
parse_garmin_point (gpointer *data, xmlTextReaderPtr reader) noexcept
{
  if (!is_garmin (reader, "WaypointExtension"))
    return 0;
  if (xmlTextReaderIsEmptyElement (reader))
    return 1;
  auto point = static_cast<LodexGarminPointData *> (*data);
  if (!point)
    *data = point = g_new0 (LodexGarminPointData, 1);
  int depth = xmlTextReaderDepth (reader);
  enum
  {
    OTHER,
    ADDRESS,
    PHONE,
    CATEGORIES
  } child
    = OTHER;
  gchar **field = nullptr;    /* the address field whose text is being read */
  gchar *text = nullptr;      /* of the field or category being read */
  bool street = false;        /* the field is a street line */
  int res;
  auto finish_field = [&] () {
    if (text && *g_strstrip (text))
      {
        if (field && street && *field)
          {
            gchar *joined = g_strconcat (*field, ", ", text, nullptr);
            g_free (*field);
            *field = joined;
          }
        else if (field)
          {
            g_free (*field);
            *field = g_steal_pointer (&text);
          }
        else if (child == CATEGORIES)
          point->category_names = g_list_append (point->category_names, g_steal_pointer (&text));
      }
    g_clear_pointer (&text, g_free);
    field = nullptr;
  };
  while ((res = xmlTextReaderRead (reader)) == 1)
    {
      int type = xmlTextReaderNodeType (reader);
      int here = xmlTextReaderDepth (reader);
      if (here == depth && type == XML_READER_TYPE_END_ELEMENT)
        break;
      if (here == depth + 1 && type == XML_READER_TYPE_ELEMENT)
        {
          child = OTHER;
          if (xmlTextReaderIsEmptyElement (reader))
            continue;
          if (is_garmin (reader, "Address"))
            {
              child = ADDRESS;
              if (!point->address)
                point->address = _lodex_place_address_new ();
            }
          else if (is_garmin (reader, "PhoneNumber"))
            {
              child = PHONE;
              if (!point->address)
                point->address = _lodex_place_address_new ();
              field = &point->address->phone_number;
              street = false;
            }
          else if (is_garmin (reader, "Categories"))
            child = CATEGORIES;
        }
      else if (here == depth + 1 && type == XML_READER_TYPE_END_ELEMENT)
        {
          if (child == PHONE)
            finish_field ();
          child = OTHER;
        }
      else if (here == depth + 2 && child == PHONE && is_text (reader))
        append_text (&text, reader);
      else if (here == depth + 2 && (child == ADDRESS || child == CATEGORIES))
        {
          if (type == XML_READER_TYPE_END_ELEMENT)
            finish_field ();
          else if (type == XML_READER_TYPE_ELEMENT && child == ADDRESS)
            {
              field = nullptr;
              for (const AddressElement &element : garmin_address_elements)
                if (is_garmin (reader, element.name))
                  {
                    field = &(point->address->*element.member);
                    street = element.member == &LodexPlaceAddress::street;
                  }
              if (xmlTextReaderIsEmptyElement (reader))
                field = nullptr;
            }
        }
      else if (here == depth + 3 && (field || child == CATEGORIES) && is_text (reader))
        append_text (&text, reader);
    }
  g_free (text);
  return res == 1 ? 1 : stopped (res);
}

} // namespace

/**
 * lodex_garmin_extension_get:
 *
 * Garmin's waypoint extension, registered with the GPX library under the
 * name "gpxx" on the first call. It only reads: written files never
 * declare it.
 *
 * Returns: (transfer none): the extension record, which lives as long as
 *   the process
 *
 * Since: 0.2
 */
GpxExtension *
lodex_garmin_extension_get (void)
{
  static GpxExtension *extension;
  if (g_once_init_enter (&extension))
    {
      auto created = g_new0 (GpxExtension, 1);
      created->free_point_data = free_garmin_data;
      created->parse_point = parse_garmin_point;
      created->namespace_uri = g_strdup (LODEX_GARMIN_NAMESPACE);
      gpx_extension_register ("gpxx", created);
      g_once_init_leave (&extension, created);
    }
  return extension;
}
