/* Placeholder until the interchange formats land. */

#include "lodex-private.h"

#include <gio/gio.h>

gboolean
lodex_import_from_gpx_file (LodexStore *store, const char *filename, GError **error)
{
  g_set_error_literal (error, G_IO_ERROR, G_IO_ERROR_NOT_SUPPORTED, "GPX import is not built yet");
  return FALSE;
}
