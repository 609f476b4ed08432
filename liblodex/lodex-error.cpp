/* The error domain of import and export. */

#include "lodex-private.h"

G_DEFINE_QUARK (lodex-error-quark, lodex_error)
