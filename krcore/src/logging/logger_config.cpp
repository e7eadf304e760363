// The logger's start from the machine's logging configuration.
//
// The configuration store and the thread that watches it are not there yet;
// the start therefore behaves as with a missing configuration, which leaves
// logging disabled, and only records the base file name.
#include <krcore/logging.h>

namespace krCore {

void logger::initialize(const wchar_t* name) {
  auto_lock lock(_cs);
  save_base_filename(name);
}

}  // namespace krCore
