// Internal: the pieces of the file services that the platform supplies, and
// the test knob of the retry procedure.
#pragma once

#include <boost/filesystem/path.hpp>

#include <functional>

#include "foundation/internal.h"

namespace krCore::detail {

// The platform's removal of `path`: a file or link itself, or a folder with
// everything below it, never following a link to what it points to. Waits
// for nothing: when a log-file writer holds the file, or any regular file
// below the folder, nothing is removed and it throws
// boost::filesystem::filesystem_error (the file is busy); any other failure
// throws the same, naming the entry that failed. Thread-safe.
KRCORE_INTERNAL void remove_path(const boost::filesystem::path& path);

// Windows: the steps of its remove_path, each over `path` or every regular
// file below it (the Linux removal probes and removes by descriptor in one
// walk of its own).
//
// Throws boost::filesystem::filesystem_error (the file is busy) when a
// log-file writer holds the file, or, for a directory, any regular file
// below it. Files that cannot be probed are left to the removal itself.
KRCORE_INTERNAL void throw_if_in_use(const boost::filesystem::path& path);

// Makes `path`, or every regular file below it, removable by its owner as
// far as the platform's file attributes go (links are not followed). Files
// that cannot be changed are left to the removal itself.
KRCORE_INTERNAL void allow_removal(const boost::filesystem::path& path);

// The platform half of allow_removal for one regular file.
KRCORE_INTERNAL void allow_file_removal(const boost::filesystem::path& file);

// The platform half: whether someone holds the regular file `file` open
// the way a log-file writer does. False when it cannot be probed.
KRCORE_INTERNAL bool held_by_writer(const boost::filesystem::path& file);

// Replaces the retry procedure's sleep (milliseconds); an empty function
// restores the real sleep. For tests, which record the requested sleeps and
// keep the runs short. Set it while no deletion runs.
KRCORE_INTERNAL void set_delete_retry_sleep(std::function<void(unsigned long)> sleep);

}  // namespace krCore::detail
