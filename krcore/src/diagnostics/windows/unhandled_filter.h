// Internal (Windows): what the fault handler (fault_translation.cpp) and
// the process's unhandled-exception filter (unhandled_filter.cpp) share.
#pragma once

#include <windows.h>

namespace krCore::detail {

// The codes of faults the processor raises (access violations, divide
// errors, stack overflow, breakpoints, ...), as opposed to exceptions that
// programs raise.
bool is_hardware_fault(DWORD code);

// Makes the filter the process's unhandled-exception filter and the
// reporter of uncaught translated faults the C++ runtime's terminate
// handler, keeping the ones they replace. Called once.
void install_unhandled_filter();

}  // namespace krCore::detail
