#pragma once

/* What the classes of stored objects (place, category, image, route)
 * share: their signals, their binding to a store, and rows of text fields
 * behind properties. */

#include "lodex-private.h"

namespace lodex
{

/* Creates the signals every stored object has: "changed", and "added" and
 * "removed" with the store; @offsets are their class closures. */
void new_object_signals (gpointer klass, guint *changed, guint *added, guint *removed, glong changed_offset, glong added_offset, glong removed_offset) noexcept;

/* Binds a row object to @store, taking a reference, or unbinds it when
 * @store is NULL. An object is bound to one store at a time. */
void bind_store (LodexStore **slot, LodexStore *store, const char *function) noexcept;

/* A row whose fields are all text, each behind the property whose id is its
 * index in the table plus one; the first is the id, read-only. */
/* Frees @row and every field of @fields. */
template <typename Row, gsize N>
void
text_row_free (Row *row, gchar *Row::*const (&fields)[N]) noexcept
{
  if (!row)
    return;
  for (auto field : fields)
    g_free (row->*field);
  g_slice_free (Row, row);
}

/* The field behind property @prop_id, or NULL after GObject's warning. */
template <typename Row, gsize N>
gchar *Row::*
text_field (GObject *object, gchar *Row::*const (&fields)[N], guint prop_id, GParamSpec *pspec) noexcept
{
  if (prop_id == 0 || prop_id > N)
    {
      G_OBJECT_WARN_INVALID_PROPERTY_ID (object, prop_id, pspec);
      return nullptr;
    }
  return fields[prop_id - 1];
}

/* Sets the field behind @prop_id; TRUE when its text changed. */
template <typename Row, gsize N>
bool
set_text_property (GObject *object, Row *row, gchar *Row::*const (&fields)[N], guint prop_id, const GValue *value, GParamSpec *pspec) noexcept
{
  auto field = text_field (object, fields, prop_id, pspec);
  return field && _lodex_update_property_string (&(row->*field), value);
}

template <typename Row, gsize N>
void
get_text_property (GObject *object, const Row *row, gchar *Row::*const (&fields)[N], guint prop_id, GValue *value, GParamSpec *pspec) noexcept
{
  if (auto field = text_field (object, fields, prop_id, pspec))
    g_value_set_string (value, row->*field);
}

} // namespace lodex
