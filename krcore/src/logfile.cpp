// The logger's file side: the base file name and the file writer.
//
// Option 0x1 routes every finished line here. Naming, opening, the size
// limit and rotation of the files are not done yet: a line handed to the
// writer is dropped, and no file is ever open, so flushing and closing have
// nothing to do.
#include <krcore/logging.h>

#include "debug_output.h"
#include "environment.h"

namespace krCore {

// Without a name, the base is the executable's own path until the default
// log location is decided here.
void logger::save_base_filename(const wchar_t* name) {
  unsigned long error = 0;
  _baseFilename = (name && *name) ? std::wstring(name) : detail::executable_path(error);
  detail::debug_output(L"logger::save_base_filename : " + _baseFilename + L"\r\n");
}

void logger::write_to_file(const std::wstring&) {}

void logger::flush_logfile() {}

void logger::close_logfile() {}

}  // namespace krCore
