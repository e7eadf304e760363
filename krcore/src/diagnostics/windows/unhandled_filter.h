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
// Puts the filter and the terminate handler that install_unhandled_filter
// replaced back, where they are still the library's.
void uninstall_unhandled_filter() noexcept;

// Called as FreeLibrary unloads the library: removes the fault handler,
// puts the replaced filters back and frees the threads' fault states with
// their slot, so that no code of the library is left to be called.
void release_fault_handlers() noexcept;

}  // namespace krCore::detail
