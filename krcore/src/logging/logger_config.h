// Internal: what the logger's configuration sources share: the size-limit
// arithmetic, the monitoring thread's retry period, and the start from a
// command line, written against any type that answers the three questions
// of a parsed command line (so it is tested without one).
#pragma once

#include <krcore/logging.h>
#include <krcore/sysutil.h>
#include <krcore/wintypes.h>

#include <boost/lexical_cast.hpp>
#include <cstdint>
#include <string>

#include "foundation/internal.h"

namespace krCore::detail {

// The largest file size limit in megabytes. The limit is kept as a 32-bit
// byte count, so 4096 MB would wrap to 0 (every line lost) and 5000 MB to
// 904 MB.
inline constexpr std::uint32_t kMaxFileSizeMB = 4095;

// A file size limit in megabytes as bytes. Every entry point (the registry,
// initialize and so the command line, set_max_filesize) goes through here:
// a count above kMaxFileSizeMB is clamped to it, the largest limit there
// is, and one line naming `source` and the count asked for goes to the
// debugger output. Thread-safe; never throws.
KRCORE_INTERNAL std::int64_t megabytes_to_bytes(std::uint64_t mb, const wchar_t* source);

// Makes sure the machine facts are collected (once per process, under
// their own lock). Both starts of the logger call it first, before they
// read or store any setting and outside the logger's lock, since the
// collection itself logs.
void collect_machine_facts();

// How long the monitoring thread waits before it looks again for a missing
// key or re-arms a failed change request (15 s; tests shorten it).
KRCORE_INTERNAL void set_registry_retry_ms(DWORD ms);
DWORD registry_retry_ms();

// An integer parameter: `fallback` when absent or empty, else the whole
// value as a decimal integer (boost::bad_lexical_cast otherwise).
template <class Args>
int integer_parameter(Args& args, const wchar_t* name, int fallback) {
  const std::wstring value = args.FindParameter(name);
  return value.empty() ? fallback : boost::lexical_cast<int>(value);
}

// The command-line start (see LogInitialize in logging.h). `Args` offers
// FindParameter(name), FindParameterAsBool(name, default) and ModulePath().
template <class Args>
void log_initialize_from(Args& args) {
  if (args.FindParameterAsBool(L"debugbreak", false)) AttachMessageBox(args.ModulePath());
  const int size = integer_parameter(args, L"logfilesize", 30);
  const int count = integer_parameter(args, L"logfilesnum", 10);
  const std::wstring name = args.FindParameter(L"logfilename");
  const std::wstring level_text = args.FindParameter(L"loglevel");
  const wchar_t* base = name.empty() ? nullptr : name.c_str();
  logger* log = singleton<logger>::instance();
  if (level_text.empty()) {
    if (args.FindParameterAsBool(L"logfile", false)) {
      const int options = args.FindParameterAsBool(L"filewritethrough", false) ? 0x10001 : 0x1;
      log->initialize(options, 3, size, count, base);
    } else {
      log->initialize(base);
    }
    return;
  }
  int level = boost::lexical_cast<int>(level_text);
  if (level > 15) level = 15;
  const int options = integer_parameter(args, L"logtype", 1);
  log->initialize(options, level, size, count, base);
}

}  // namespace krCore::detail
