/* The library's error domain. */

#include "lodex-private.h"

#include "gpx.h"


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
  g_clear_pointer (&kept_, g_ptr_array_unref);
}

gboolean
Failures::finish (gboolean ok, GError **error, const char *what) noexcept
{
  if (ok)
    {
      /* to the operation around this one, or to the log */
      for (guint i = 0; kept_ && i < kept_->len; i++)
        {
          auto failure = static_cast<GError *> (kept_->pdata[i]);
          if (!outer_)
            g_warning ("%s", failure->message);
          else
            {
              if (!outer_->kept_)
                outer_->kept_ = g_ptr_array_new_with_free_func (GDestroyNotify (g_error_free));
              g_ptr_array_add (outer_->kept_, g_error_copy (failure));
            }
        }
      g_clear_pointer (&kept_, g_ptr_array_unref);
      return TRUE;
    }
  /* the first failure is the cause; what follows is its consequence */
  if (kept_ && kept_->len)
    g_propagate_error (error, static_cast<GError *> (g_ptr_array_steal_index (kept_, 0)));
  else
    g_set_error (error, LODEX_ERROR, LODEX_ERROR_DATABASE, "%s failed", what);
  g_clear_pointer (&kept_, g_ptr_array_unref);
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
  if (!innermost->kept_)
    innermost->kept_ = g_ptr_array_new_with_free_func (GDestroyNotify (g_error_free));
  g_ptr_array_add (innermost->kept_, g_error_new_valist (LODEX_ERROR, code, format, args));
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
