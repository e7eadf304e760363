// Reports, as an outside program, how the library names this process: lines
// of a tag and the UTF-32 code units of a wide text in hexadecimal, for
// getmodulepath() ("module"), the process list's full name of this process
// ("process") and each argument split back out of GetCommandLineW ("arg").
// With "log" as its first argument it then writes one line through the
// logger's default file (below the application-data folder, named after the
// executable) and closes the logger.
#include <unistd.h>

#include <krcore/logging.h>
#include <krcore/sysutil.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

void print(const char* tag, const std::wstring& text) {
  std::printf("%s", tag);
  for (const wchar_t unit : text) std::printf(" %08x", static_cast<unsigned>(unit));
  std::printf("\n");
}

}  // namespace

#if defined(__SANITIZE_ADDRESS__)
// The test also runs this program with an empty file system over /proc,
// where the sanitizer can read neither its options (from /proc/self/environ)
// nor the threads its leak check must stop: the check would fail the run.
extern "C" __attribute__((visibility("default"))) const char* __asan_default_options() { return "detect_leaks=0"; }
#endif

int main(int argc, char** argv) {
  print("module", krCore::getmodulepath(true));
  std::wstring process;
  // Without /proc (a chroot, a hardened container) there is no process list.
  (void)krCore::GetProcessName(static_cast<unsigned long>(::getpid()), process, true, false);
  print("process", process);
  int count = 0;
  wchar_t** args = CommandLineToArgvW(GetCommandLineW(), &count);
  for (int i = 1; i < count; ++i) print("arg", args[i]);
  std::free(args);
  if (argc > 1 && std::strcmp(argv[1], "log") == 0) {
    krCore::logger* log = krCore::singleton<krCore::logger>::instance();
    log->initialize(0x1, krCore::logger::log_normal, 1, 10, L"");
    log->log(L"module path child");
    krCore::logger::close();
  }
  return 0;
}
