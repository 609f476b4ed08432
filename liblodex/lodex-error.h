#pragma once

#include <glib.h>

G_BEGIN_DECLS

/**
 * LODEX_ERROR:
 *
 * The error domain of import and export.
 *
 * Since: 0.1
 */
#define LODEX_ERROR (lodex_error_quark ())

/**
 * LodexError:
 * @LODEX_ERROR_UNEXPECTED_TAG: an element the format does not allow there
 * @LODEX_ERROR_PARSE: the document is not well-formed, or ends too early
 * @LODEX_ERROR_STORE: something read could not be stored
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
} LodexError;

GQuark lodex_error_quark (void);

G_END_DECLS
