// An outside program that uses the installed library through its public
// headers only, the same sources on Linux and on Windows (MinGW, run under
// Wine). Exits 0 when the calls behave: it logs a line through krLog into a
// file of its own and finds it there, runs commands on the process-wide
// scheduler and on the schedulers and pools of derived.cpp, catches a null
// read in its own code (fault.cpp), and protects a credential, lists the
// processes and queries them (system.cpp). Built with CMake it also reads back the version
// resource that the package's CMake function gave it, and on Windows the
// one qmcore.dll carries; built with pkg-config it has none.
#include <krcore/diagnostics.h>
#include <krcore/foundation.h>
#include <krcore/krlog.h>
#include <krcore/logging.h>
#include <krcore/security.h>
#include <krcore/sysutil.h>
#include <krcore/threading.h>
#include <krcore/timing.h>
#include <krcore/versions.h>
// The umbrella header stands on its own with every family in it.
#include <krcore/krcore.h>
// The parts of the divided families are installed as headers of their own.
#include <krcore/event_log.h>
#include <krcore/exceptions.h>
#include <krcore/holders.h>
#include <krcore/log_stream.h>
#include <krcore/logger.h>
#include <krcore/monitor_window.h>
#include <krcore/process_services.h>
#include <krcore/scheduler.h>
#include <krcore/singleton.h>
#include <krcore/sync.h>
#include <krcore/text_conversion.h>
#include <krcore/thread.h>
#include <krcore/thread_messages.h>
#include <krcore/thread_pool.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

// derived.cpp: the library's polymorphic classes as bases of this program's own.
int check_derived_classes();
// fault.cpp: a null read in this program's own code, caught here.
int check_own_fault(const volatile int* null_pointer);
// system.cpp: a credential, the process list and a process query.
int check_credential();
int check_process_list();
int check_process_query();

namespace {

// Logs one line through the flat functions into a log file under a fresh
// temporary folder, closes the logger and looks for the line in the file
// (UTF-16 little-endian). Returns 0, or what failed.
int check_log_file() {
  const std::filesystem::path dir(krCore::CreateTempFolder(L"", L"qmcore-consumer"));
  const std::wstring base = (dir / L"consumer").wstring();
  krCore::singleton<krCore::logger>::instance()->initialize(0x1, krCore::logger::log_normal, 0, 0,
                                                    base.c_str());
  const std::wstring message = L"consumer - logged through krLog";
  krLog(message.c_str());
  krLogFlush();
  krLogClose();
  std::vector<char> bytes;
  {
    std::ifstream file(std::filesystem::path(base + L".0001.log.txt"), std::ios::binary);
    bytes.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
  }
  std::vector<char> wanted;
  for (wchar_t c : message) {
    wanted.push_back(static_cast<char>(c & 0xFF));
    wanted.push_back(static_cast<char>((c >> 8) & 0xFF));
  }
  const bool found = std::search(bytes.begin(), bytes.end(), wanted.begin(), wanted.end()) !=
                     bytes.end();
  std::error_code ignored;
  std::filesystem::remove_all(dir, ignored);
  if (bytes.size() < 2 || bytes[0] != '\xFF' || bytes[1] != '\xFE' || !found) {
    std::fprintf(stderr, "consumer: the log file holds no [%ls] (%zu bytes)\n", message.c_str(),
                 bytes.size());
    return 1;
  }
  return 0;
}

class empty_work : public krCore::threadwork {
 public:
  void Execute() override {}
};

// A command on the process-wide scheduler, reached through the singleton as
// an agent reaches it. Returns 0, or 1 when it did not run.
int check_process_scheduler() {
  krCore::ICommandScheduler& scheduler =
      krCore::singleton<krCore::ProcessServices>::instance()->CommandScheduler();
  if (scheduler.Start() == 0) return 1;
  const auto work = std::make_shared<empty_work>();
  scheduler.AddDelay(0.01, work);
  const bool ran = ::WaitForSingleObject(work->GetCompleteHandle(), 60000) == 0;
  if (!scheduler.Shutdown(60000) || !ran) {
    std::fprintf(stderr, "consumer: the process-wide scheduler ran no command\n");
    return 1;
  }
  return 0;
}

#ifdef CONSUMER_HAS_VERSION_RESOURCE
// The resource given in CMakeLists.txt; the comment holds what a resource
// script must escape and a character beyond ASCII.
int check_version_resources() {
  krCore::fileversion fv;
  std::wstring company;
  std::wstring comments;
  if (!fv.open(krCore::getmodulepath(true)) || fv.getfileversionmajor() != 1 ||
      fv.getfileversionminor() != 2 || fv.getfileversionbuild() != 3 ||
      fv.getfileversionrevision() != 4 || fv.getproductversionmajor() != 1 ||
      !fv.querystringvalue(L"CompanyName", company) || company != L"Consumer Co" ||
      !fv.querystringvalue(L"Comments", comments) ||
      comments != L"caf\u00e9 \"quoted\" back\\slash") {
    std::fprintf(stderr, "consumer: its own version resource reads wrong [%ls] [%ls]\n",
                 company.c_str(), comments.c_str());
    return 1;
  }
#ifdef _WIN32
  // qmcore.dll carries the version of the package it came with.
  krCore::fileversion dll;
  std::wstring product;
  if (!dll.open(::GetModuleHandleW(L"qmcore.dll")) ||
      dll.getfileversionmajor() != CONSUMER_QMCORE_MAJOR ||
      dll.getfileversionminor() != CONSUMER_QMCORE_MINOR ||
      !dll.querystringvalue(L"ProductName", product) || product != L"qmcore") {
    std::fprintf(stderr, "consumer: qmcore.dll's version resource reads wrong [%ls]\n",
                 product.c_str());
    return 1;
  }
#endif
  return 0;
}
#endif

}  // namespace

int main(int argc, char** argv) {
  // `consumer --credential`: the credential alone, as an account other than
  // root runs it (the machine key is root's; the library's helper serves).
  if (argc == 2 && std::string(argv[1]) == "--credential") return check_credential();
  const std::wstring text = krCore::geterrormessage(5);
#if defined(_WIN32)
  // The system's own text, in the system's language and wording.
  wchar_t* system = nullptr;
  const DWORD length = ::FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, 5, 0, reinterpret_cast<wchar_t*>(&system), 0, nullptr);
  std::wstring expected(system ? system : L"", length);
  ::LocalFree(system);
  while (!expected.empty() && (expected.back() == L'\n' || expected.back() == L'\r')) expected.pop_back();
#else
  const std::wstring expected = L"Access is denied.";
#endif
  if (text.empty() || text != expected) {
    std::fprintf(stderr, "unexpected text for 5\n");
    return 1;
  }
  try {
    throw krException(5L, "consumer", 4);
  } catch (const krException& e) {
    if (e.code() != 5) return 2;
  }
#ifdef CONSUMER_HAS_VERSION_RESOURCE
  if (check_version_resources() != 0) return 3;
#endif
  if (check_derived_classes() != 0) return 4;
  if (check_log_file() != 0) return 5;
  if (check_process_scheduler() != 0) return 6;
  static const volatile int* volatile null_pointer = nullptr;
  if (const int r = check_own_fault(null_pointer); r != 0) {
    std::fprintf(stderr, "own fault: %d\n", r);
    return 7;
  }
  if (check_credential() != 0) return 8;
  if (check_process_list() != 0) return 9;
  if (check_process_query() != 0) return 10;
  return 0;
}
