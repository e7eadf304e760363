// An outside program that uses the installed library through its public
// headers only. Exits 0 when the calls behave. Built with CMake it also
// reads back the version resource that the package's CMake function gave it;
// built with pkg-config it has none.
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

#include <cstdio>

// derived.cpp: the library's polymorphic classes as bases of this program's own.
int check_derived_classes();

int main() {
  const std::wstring text = krCore::geterrormessage(5);
  if (text != L"Access is denied.") {
    std::fprintf(stderr, "unexpected text for 5\n");
    return 1;
  }
  try {
    throw krException(5L, "consumer", 4);
  } catch (const krException& e) {
    if (e.code() != 5) return 2;
  }
#ifdef CONSUMER_HAS_VERSION_RESOURCE
  krCore::fileversion fv;
  std::wstring company;
  if (!fv.open(L"/proc/self/exe") || fv.getfileversionrevision() != 4 ||
      !fv.querystringvalue(L"CompanyName", company) || company != L"Consumer Co")
    return 3;
#endif
  if (check_derived_classes() != 0) return 4;
  return 0;
}
