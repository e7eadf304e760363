// The file-system redirection scope on Linux: there is no file-system
// redirection and no build here runs as a 32-bit process on a 64-bit
// kernel's compatibility layer, so the process is never redirected and
// every operation leaves things as they are.
#include <krcore/files.h>

namespace krCore {

auto_wow64filesystemredirect::auto_wow64filesystemredirect() = default;
void auto_wow64filesystemredirect::enable() {}
void auto_wow64filesystemredirect::disable() {}

}  // namespace krCore
