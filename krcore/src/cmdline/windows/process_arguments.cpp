// The process's own arguments on Windows: the system keeps only the joined
// command line, so it is split the way the system's own splitter does it,
// by the system's splitter.
#include "cmdline/process_arguments.h"

#include <windows.h>
#include <shellapi.h>

namespace krCore::detail {

bool process_arguments(std::vector<std::wstring>& args) {
  args.clear();
  int count = 0;
  wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &count);
  if (!argv) return false;
  try {
    for (int i = 0; i < count; ++i) args.emplace_back(argv[i]);
  } catch (...) {
    LocalFree(argv);
    args.clear();
    return false;
  }
  LocalFree(argv);
  return !args.empty();
}

}  // namespace krCore::detail
