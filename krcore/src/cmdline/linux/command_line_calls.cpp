// The command-line calls of the system, which Linux lacks: the joined text
// of the process's own arguments (GetCommandLineW) and the splitting of a
// text into an argument block the caller frees (CommandLineToArgvW). A
// Windows build takes both from the system instead.
#include <krcore/cmdline.h>
#include <krcore/foundation.h>

#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <new>
#include <string>
#include <vector>

#include "cmdline/process_arguments.h"
#include "cmdline/splitting.h"
#include "foundation/errors.h"
#include "sysutil/environment.h"

namespace {

// One allocation for the pointer array (null-terminated) and the texts, so
// that a single free releases everything.
wchar_t** argument_block(const std::vector<std::wstring>& args) {
  std::size_t chars = 0;
  for (const auto& a : args) chars += a.size() + 1;
  const std::size_t header = (args.size() + 1) * sizeof(wchar_t*);
  void* block = std::malloc(header + chars * sizeof(wchar_t));
  if (!block) return nullptr;
  auto** argv = static_cast<wchar_t**>(block);
  auto* text = reinterpret_cast<wchar_t*>(static_cast<char*>(block) + header);
  for (std::size_t i = 0; i < args.size(); ++i) {
    argv[i] = text;
    std::wmemcpy(text, args[i].c_str(), args[i].size() + 1);
    text += args[i].size() + 1;
  }
  argv[args.size()] = nullptr;
  return argv;
}

}  // namespace

extern "C" wchar_t* GetCommandLineW() {
  static std::wstring line = [] {
    std::vector<std::wstring> args;
    krCore::detail::process_arguments(args);
    return krCore::detail::quote_command_line(args);
  }();
  return line.data();
}

extern "C" wchar_t** CommandLineToArgvW(const wchar_t* lpCmdLine, int* pNumArgs) {
  if (!pNumArgs) {
    SetLastError(krCore::detail::kErrorInvalidParameter);
    return nullptr;
  }
  try {
    std::vector<std::wstring> args;
    if (lpCmdLine && *lpCmdLine) {
      args = krCore::detail::split_command_line(lpCmdLine);
    } else {
      unsigned long error = 0;
      args.push_back(krCore::detail::executable_path(error));
    }
    wchar_t** argv = argument_block(args);
    if (!argv) {
      SetLastError(krCore::detail::kErrorNotEnoughMemory);
      return nullptr;
    }
    *pNumArgs = static_cast<int>(args.size());
    return argv;
  } catch (const std::bad_alloc&) {
    SetLastError(krCore::detail::kErrorNotEnoughMemory);
    return nullptr;
  }
}

