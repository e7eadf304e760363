// Internal: the operating system's version record.
//
// The fields mirror what callers print: a major and minor version, a build
// number and a free text that names the installed release (the place where
// a service pack would be named).
#pragma once

#include <string>

#include "foundation/internal.h"

namespace krCore::detail {

struct os_version_info {
  unsigned long major = 0;
  unsigned long minor = 0;
  unsigned long build = 0;
  std::wstring service_pack;  // may be empty
};

// Fills `info` with the running system's version. False when the version
// cannot be read; `info` is then unspecified. Thread-safe.
KRCORE_INTERNAL bool query_os_version(os_version_info& info);

// Parses a kernel release text such as "6.1.0-18-amd64" into major, minor
// and build (missing numbers stay 0). False when it does not start with a
// number.
KRCORE_INTERNAL bool parse_kernel_release(const std::string& release, os_version_info& info);

// The value of PRETTY_NAME in an os-release text, without its quotes; empty
// when there is none.
KRCORE_INTERNAL std::string os_release_pretty_name(const std::string& content);

}  // namespace krCore::detail
