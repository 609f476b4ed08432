/* The library's error domain. */

#include "lodex-private.h"

#include "gpx.h"

#include <utility>

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

/* The GPX reader's and writer's own domain is not the library's: its codes
 * become ours, the message stays. */
void
_lodex_error_from_gpx (GError *error)
{
  if (!error || error->domain != GPX_ERROR)
    return;
  switch (error->code)
    {
    case GPX_ERROR_PARSE:
      error->domain = LODEX_ERROR;
      error->code = LODEX_ERROR_PARSE;
      break;
    case GPX_ERROR_INVALID:
      error->domain = LODEX_ERROR;
      error->code = LODEX_ERROR_INVALID;
      break;
    default: /* the output could not be written */
      error->domain = G_FILE_ERROR;
      error->code = G_FILE_ERROR_IO;
      break;
    }
}

/* The code for what SQLite answered: a lock held too long is the one
 * failure a program may want to retry. */
void
_lodex_set_database_error (GError **error, sqlite3 *db, const char *what)
{
  int code = db ? sqlite3_errcode (db) : SQLITE_ERROR;
  g_set_error (error, LODEX_ERROR, code == SQLITE_BUSY || code == SQLITE_LOCKED ? LODEX_ERROR_BUSY : LODEX_ERROR_DATABASE,
               "%s: %s", what, db ? sqlite3_errmsg (db) : "no database");
}

namespace lodex
{

namespace
{

thread_local Failures *innermost;

int
code_of (sqlite3 *db) noexcept
{
  switch (db ? sqlite3_extended_errcode (db) : SQLITE_ERROR)
    {
    case SQLITE_BUSY:
    case SQLITE_BUSY_SNAPSHOT:
    case SQLITE_BUSY_RECOVERY:
    case SQLITE_BUSY_TIMEOUT:
    case SQLITE_LOCKED:
    case SQLITE_LOCKED_SHAREDCACHE:
      return LODEX_ERROR_BUSY;
    case SQLITE_CONSTRAINT_PRIMARYKEY:
    case SQLITE_CONSTRAINT_UNIQUE:
      return LODEX_ERROR_EXISTS;
    default:
      return LODEX_ERROR_DATABASE;
    }
}

} // namespace

Failures::Failures () noexcept : outer_ (innermost)
{
  innermost = this;
}

Failures::~Failures ()
{
  innermost = outer_;
  g_clear_error (&first_);
}

gboolean
Failures::finish (gboolean ok, GError **error, const char *what) noexcept
{
  if (ok)
    return TRUE;
  if (first_)
    g_propagate_error (error, std::exchange (first_, nullptr));
  else
    g_set_error (error, LODEX_ERROR, LODEX_ERROR_DATABASE, "%s failed", what);
  return FALSE;
}

void
keep (int code, const char *format, va_list args) noexcept
{
  if (!innermost)
    {
      g_logv (G_LOG_DOMAIN, G_LOG_LEVEL_WARNING, format, args);
      return;
    }
  /* the first failure is the cause; what follows is its consequence */
  if (!innermost->first_)
    innermost->first_ = g_error_new_valist (LODEX_ERROR, code, format, args);
}

void
fail (int code, const char *format, ...) noexcept
{
  va_list args;
  va_start (args, format);
  keep (code, format, args);
  va_end (args);
}

void
fail_db (sqlite3 *db, const char *format, va_list args) noexcept
{
  keep (code_of (db), format, args);
}

} // namespace lodex
