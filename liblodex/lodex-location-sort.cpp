#include "lodex-private.h"
