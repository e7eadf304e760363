// Internal: the marker for library internals that the library's own tests
// and tools reach. They are exported from the shared library but declared
// only in headers under src/, which are never installed.
#pragma once

#include <krcore/export.h>

#define KRCORE_INTERNAL KRCORE_API
