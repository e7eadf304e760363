// Internal: the marker for library internals that the library's own tests
// and tools reach. They are declared only in headers under src/, which are
// never installed, and are not exported from the shared library: the tests
// and tools that call them link the library's objects directly.
#pragma once

#include <krcore/export.h>

#define KRCORE_INTERNAL
