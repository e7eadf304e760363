// The flat logging functions: thin C-linkage wrappers over the logger for
// programs that want only logging.
#include <krcore/krlog.h>
#include <krcore/logging.h>

#include <string>

using krCore::logger;
using krCore::singleton;

extern "C" {

void krLogInitialize(const wchar_t* name) { singleton<logger>::instance()->initialize(name); }

int krLog(const wchar_t* message) {
  // A C caller cannot catch; a null message or a failed copy writes nothing.
  if (!message) return 0;
  try {
    const std::wstring text(message);
    singleton<logger>::instance()->log(logger::log_normal, text.c_str(), false);
  } catch (...) {
  }
  return 0;
}

int krLogFlush(void) {
  singleton<logger>::instance()->flush();
  return 0;
}

int krLogClose(void) {
  singleton<logger>::instance();
  logger::close();
  return 0;
}

}  // extern "C"
