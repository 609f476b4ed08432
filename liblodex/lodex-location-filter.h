#pragma once

#include <glib-object.h>
