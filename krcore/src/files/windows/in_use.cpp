// "In use" on Windows: a log-file writer holds its file open for writing
// and lets others read and delete it, so a deletion alone would succeed
// under the writer. A probe that refuses to share writing fails with a
// sharing violation exactly while someone has the file open for writing.
#include <windows.h>

#include "files/file_services.h"

namespace krCore::detail {

bool held_by_writer(const boost::filesystem::path& file) {
  // No FILE_SHARE_WRITE: the open is refused while a writer has it. The
  // reparse-point flag keeps a link from being followed to its target.
  const HANDLE probe = CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE,
                                   nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (probe != INVALID_HANDLE_VALUE) {
    CloseHandle(probe);
    return false;
  }
  return GetLastError() == ERROR_SHARING_VIOLATION;
}

}  // namespace krCore::detail
