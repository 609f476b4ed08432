/* Placeholder until the interchange formats land. */

#include "lodex-private.h"

#include <gio/gio.h>

gboolean
lodex_export_set_to_gpx_file (LodexSet *set, const char *filename, GError **error)
{
  g_set_error_literal (error, G_IO_ERROR, G_IO_ERROR_NOT_SUPPORTED, "GPX export is not built yet");
  return FALSE;
}

gboolean
lodex_export_route_to_gpx_file (LodexRoute *route, const char *filename, GError **error)
{
  g_set_error_literal (error, G_IO_ERROR, G_IO_ERROR_NOT_SUPPORTED, "GPX export is not built yet");
  return FALSE;
}
