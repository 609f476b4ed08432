#pragma once

#include <glib-object.h>

G_BEGIN_DECLS

/**
 * LODEX_ERROR:
 *
 * The error domain of the library: every #GError it returns, apart from
 * the file errors of %G_FILE_ERROR and %G_IO_ERROR, is in it. An import
 * that fails reports a file that cannot be opened or read in
 * %G_FILE_ERROR, a cancelled one %G_IO_ERROR_CANCELLED, and everything
 * else here: a file that is not well-formed (%LODEX_ERROR_PARSE, with the
 * file name and line), an element of the wrong kind
 * (%LODEX_ERROR_UNEXPECTED_TAG), a value that cannot be read or is out of
 * range, or a GPX file whose root is not `<gpx>` (%LODEX_ERROR_INVALID),
 * and the database's refusals (%LODEX_ERROR_STORE, %LODEX_ERROR_BUSY).
 *
 * Each operation that can fail for a reason outside the program's control
 * has a form ending in `_full` that takes a #GError and logs nothing, such
 * as lodex_store_add_place_full(); the form without logs the failure as a
 * warning and returns %FALSE or %NULL.
 *
 * Since: 0.1
 */
#define LODEX_ERROR (lodex_error_quark ())

/**
 * LodexError:
 * @LODEX_ERROR_UNEXPECTED_TAG: an element the format does not allow there
 * @LODEX_ERROR_PARSE: the document is not well-formed, or ends too early;
 *   the message names the file and the line
 * @LODEX_ERROR_STORE: something an import read could not be stored
 * @LODEX_ERROR_DATABASE: the database failed or refused the operation (a
 *   damaged file, a full disk, a constraint); the message carries SQLite's.
 *   Since: 0.2
 * @LODEX_ERROR_BUSY: another program held the database locked for longer
 *   than the library waits (ten seconds). Since: 0.2
 * @LODEX_ERROR_NOT_STORED: the object is not in the database: never added,
 *   removed by another program, or bound to another store. Since: 0.2
 * @LODEX_ERROR_EXISTS: the object is stored already, or the membership
 *   exists already, or another row took the id. Since: 0.2
 * @LODEX_ERROR_INVALID: a value the database cannot hold, such as a
 *   latitude outside -90 to 90, or a file's value that cannot be read, or
 *   a GPX file that is not GPX. Since: 0.2
 *
 * The error codes of %LODEX_ERROR.
 *
 * Since: 0.1
 */
typedef enum
{
  LODEX_ERROR_UNEXPECTED_TAG = 0,
  LODEX_ERROR_PARSE = 1,
  LODEX_ERROR_STORE = 2,
  LODEX_ERROR_DATABASE = 3,
  LODEX_ERROR_BUSY = 4,
  LODEX_ERROR_NOT_STORED = 5,
  LODEX_ERROR_EXISTS = 6,
  LODEX_ERROR_INVALID = 7,
} LodexError;

#define LODEX_TYPE_ERROR (lodex_error_get_type ())

GQuark lodex_error_quark (void);
GType lodex_error_get_type (void);

G_END_DECLS
