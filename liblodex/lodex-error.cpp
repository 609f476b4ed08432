/* The library's error domain. */

#include "lodex-private.h"

/**
 * lodex_error_quark:
 *
 * The quark of %LODEX_ERROR.
 *
 * Returns: the library's error domain
 *
 * Since: 0.1
 */
G_DEFINE_QUARK (lodex-error-quark, lodex_error)

G_DEFINE_ENUM_TYPE (LodexError, lodex_error,
  G_DEFINE_ENUM_VALUE (LODEX_ERROR_UNEXPECTED_TAG, "unexpected-tag"),
  G_DEFINE_ENUM_VALUE (LODEX_ERROR_PARSE, "parse"),
  G_DEFINE_ENUM_VALUE (LODEX_ERROR_STORE, "store"),
  G_DEFINE_ENUM_VALUE (LODEX_ERROR_DATABASE, "database"),
  G_DEFINE_ENUM_VALUE (LODEX_ERROR_BUSY, "busy"),
  G_DEFINE_ENUM_VALUE (LODEX_ERROR_NOT_STORED, "not-stored"),
  G_DEFINE_ENUM_VALUE (LODEX_ERROR_EXISTS, "exists"),
  G_DEFINE_ENUM_VALUE (LODEX_ERROR_INVALID, "invalid"))

/* The code for what SQLite answered: a lock held too long is the one
 * failure a program may want to retry. */
void
_lodex_set_database_error (GError **error, sqlite3 *db, const char *what)
{
  int code = db ? sqlite3_errcode (db) : SQLITE_ERROR;
  g_set_error (error, LODEX_ERROR, code == SQLITE_BUSY || code == SQLITE_LOCKED ? LODEX_ERROR_BUSY : LODEX_ERROR_DATABASE,
               "%s: %s", what, db ? sqlite3_errmsg (db) : "no database");
}
