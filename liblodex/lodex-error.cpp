/* The error domain of import and export. */

#include "lodex-private.h"

/**
 * lodex_error_quark:
 *
 * The quark of %LODEX_ERROR.
 *
 * Returns: the error domain of import and export
 *
 * Since: 0.1
 */
G_DEFINE_QUARK (lodex-error-quark, lodex_error)
