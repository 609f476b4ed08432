/* Ids of stored objects: unique for the user's database, made without
 * asking it. */

#include "lodex-private.h"

#include <unistd.h>

/**
 * _lodex_store_gen_id:
 *
 * The id is process id, parent process id, a counter and the time in
 * seconds. Programs in sandboxes may share both process ids and the second,
 * so the counter starts at a random value in every process.
 *
 * Returns: (transfer full): a new id, unique for the user's database
 */
gchar *
_lodex_store_gen_id (LodexStore *store)
{
  static gsize start;
  static gint counter;
  if (g_once_init_enter (&start))
    {
      counter = g_random_int_range (0, G_MAXINT);
      g_once_init_leave (&start, 1);
    }
  gint n = g_atomic_int_add (&counter, 1) & G_MAXINT; /* never negative */
  return g_strdup_printf ("%d.%d.%d@%" G_GINT64_FORMAT, int (getpid ()), int (getppid ()), n,
                          g_get_real_time () / G_USEC_PER_SEC);
}

gboolean
_lodex_id_collided (sqlite3 *db)
{
  int code = sqlite3_extended_errcode (db);
  return code == SQLITE_CONSTRAINT_PRIMARYKEY || code == SQLITE_CONSTRAINT_UNIQUE;
}
