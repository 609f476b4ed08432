/* Placeholder until the interchange formats land. */

#include "lodex-private.h"

#include <gio/gio.h>

/* The place-data GPX extension: not built yet. */
