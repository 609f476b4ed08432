/* What the classes of stored objects share. */

#include "lodex-private.h"

gboolean
_lodex_update_property_string (gchar **property_location, const GValue *value)
{
  g_assert (property_location != NULL && value != NULL);

  const gchar *text = g_value_get_string (value);
  if (text == *property_location)
    return FALSE;
  if (text && *property_location && g_str_equal (text, *property_location))
    return FALSE;
  g_free (*property_location);
  *property_location = g_strdup (text);
  return TRUE;
}
