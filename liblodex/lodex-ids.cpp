/* Ids of stored objects: unique for the user's database, made without
 * asking it. */

#include "lodex-private.h"

#include <ctime>
#include <unistd.h>

/**
 * _lodex_store_gen_id:
 *
 * Returns: (transfer full): a new id, unique for the user's database:
 *   process id, parent process id, a process-wide counter and the time
 */
gchar *
_lodex_store_gen_id (LodexStore *store)
{
  static unsigned counter; /* wraps instead of overflowing */
  return g_strdup_printf ("%d.%d.%d@%d", int (getpid ()), int (getppid ()), int (counter++),
                          int (time (nullptr)));
}
