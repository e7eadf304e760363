// Internal: how the log file writer frees the line buffer a thread keeps
// once the thread ends. On Linux a C++ thread-exit destructor does it. On
// Windows a fiber-local slot's callback does, since MinGW's C++ runtime
// holds a DLL with a thread-exit destructor loaded until the thread that
// registered it ends: a host that logged from a thread that outlives
// FreeLibrary could never unload the library.
#pragma once

namespace krCore::detail {

// Frees the buffer of the thread's slot `slot` (logfile_writer.cpp) and
// marks the slot ended: lines the thread still logs are each written
// through a buffer of their own. Runs on the slot's thread as it ends, or,
// on Windows, on the thread that unloads the library, for every thread
// that still holds a buffer.
void release_line_buffer(void* slot) noexcept;

// Has release_line_buffer(slot) called as the calling thread ends; called
// with the thread's first buffer. False when the platform refused (the
// caller then never keeps a buffer for the thread).
bool release_line_buffer_at_thread_end(void* slot) noexcept;

// Windows: gives the fiber-local slot back as FreeLibrary unloads the
// library, calling release_line_buffer for every thread that holds a
// buffer.
void release_line_buffer_slot() noexcept;

}  // namespace krCore::detail
