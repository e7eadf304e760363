// Internal: starting a child program with its process descriptor made in
// the same step, so the child is held by its descriptor before it can end
// and be collected by anyone else.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "foundation/internal.h"

namespace krCore::detail {

// Starts `program` with the arguments `argv` (null-terminated) and the
// calling process's environment, in `directory` when it is not empty;
// with `search` a program without a slash is looked up in PATH as the
// shell does. With `stdio` not -1 the child's standard input and output
// are that descriptor (the caller's copy may be close-on-exec). On success
// fills `pid` and `pidfd` (the caller owns it) and returns 0; else the errno
// of the failing step (the change of directory, the redirection or the
// program's start), the child having been collected. Thread-safe; the
// calling thread's signal mask is kept.
KRCORE_INTERNAL int spawn_with_pidfd(const std::string& program, bool search,
                                     char* const* argv, const std::string& directory,
                                     pid_t& pid, int& pidfd, int stdio = -1);

}  // namespace krCore::detail
