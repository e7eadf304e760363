// "In use" on Windows: a log-file writer holds its file open for writing
// and lets others read and delete it, so a deletion alone would succeed
// under the writer. A probe that refuses to share writing fails with a
// sharing violation exactly while someone has the file open for writing.
// The system also refuses to delete a read-only file, which the owner of its
// folder may remove anywhere else, so the attribute is taken off first.
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

void allow_file_removal(const boost::filesystem::path& file) {
  // The attributes of the entry itself: a link carries its own, and its
  // target is not being deleted.
  const DWORD attributes = GetFileAttributesW(file.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_READONLY) == 0 ||
      (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0)
    return;
  // No attribute at all means "leave them as they are" to the system.
  const DWORD rest = attributes & ~DWORD{FILE_ATTRIBUTE_READONLY};
  SetFileAttributesW(file.c_str(), rest != 0 ? rest : FILE_ATTRIBUTE_NORMAL);
}

}  // namespace krCore::detail
