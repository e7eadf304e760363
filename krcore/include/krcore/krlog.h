// The four flat logging functions, for programs that want only logging.
//
// C linkage, so that any language that can call C can use them.
#pragma once

#include <krcore/export.h>
