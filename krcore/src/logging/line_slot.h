// Internal: the calling thread's place in the log file writer
// (logfile_writer.cpp) and how its line buffer is freed as the thread ends.
// On Linux the slot is a thread-local freed by a C++ thread-exit
// destructor. On Windows it lives in a fiber-local slot whose callback
// frees it: MinGW's C++ runtime holds a DLL with a thread-exit destructor
// loaded until the thread that registered it ends, so a host that logged
// from a thread that outlives FreeLibrary could never unload the library;
// and its thread-locals are freed before the callbacks of fiber-local slots
// run on a thread the threads runtime started, so the callback reaches
// nothing thread-local.
#pragma once

#include <cstddef>
#include <cstdint>

namespace krCore::detail {

class log_file_writer;

// The calling thread's encoded line and its place in a writer's queue. The
// buffer keeps its capacity, so a line costs no allocation once it has grown
// to the thread's longest line. A slot marked `ended` belongs to a thread
// whose buffer was freed at its end (or could not be kept): each of its
// lines is written through a buffer of its own.
struct thread_slot {
  char* buffer = nullptr;
  std::size_t capacity = 0;
  const log_file_writer* writer = nullptr;
  std::uint64_t sequence = 0;
  // Set by claim_own: the thread owns the file and the batch to write.
  bool claimed = false;
  bool ended = false;
};

// The calling thread's slot; usable for the whole life of the thread.
thread_slot& this_thread_slot() noexcept;

// Has the calling thread's buffer freed as the thread ends; called with its
// first buffer.
void free_line_buffer_at_thread_end() noexcept;

// Windows: gives the fiber-local slot back as FreeLibrary unloads the
// library, freeing the slots of the threads that still hold one.
void release_line_slots() noexcept;

}  // namespace krCore::detail
