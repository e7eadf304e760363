// The crash-diagnostics family: fault translation into typed exceptions,
// exception analysis and reporting, call stacks and symbols, process fault
// settings.
#pragma once

#include <krcore/foundation.h>
#include <krcore/se_translator.h>
