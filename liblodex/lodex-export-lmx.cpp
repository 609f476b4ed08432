/* Placeholder until the interchange formats land. */

#include "lodex-private.h"

#include <gio/gio.h>

gboolean
lodex_export_place_to_lmx_file (LodexPlace *place, const char *filename, GError **error)
{
  g_set_error_literal (error, G_IO_ERROR, G_IO_ERROR_NOT_SUPPORTED, "LMX export is not built yet");
  return FALSE;
}

gboolean
lodex_export_set_to_lmx_file (LodexSet *set, const char *filename, GError **error)
{
  g_set_error_literal (error, G_IO_ERROR, G_IO_ERROR_NOT_SUPPORTED, "LMX export is not built yet");
  return FALSE;
}
