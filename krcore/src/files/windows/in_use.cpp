// "In use" on Windows: a log-file writer holds its file open for writing
// and lets others read and delete it, so a deletion alone would succeed
// under the writer. A probe that refuses to share writing fails with a
// sharing violation exactly while someone has the file open for writing.
// The system also refuses to delete a read-only file, which the owner of its
// folder may remove anywhere else, so the attribute is taken off first.
// The removal itself is the file system library's, once nothing is in use.
#include <windows.h>

#include <boost/filesystem/operations.hpp>

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

namespace {

bool regular_file(const boost::filesystem::path& path) {
  boost::system::error_code ec;
  return boost::filesystem::symlink_status(path, ec).type() == boost::filesystem::regular_file;
}

// Calls `visit` for `path` when it is a regular file, else for every regular
// file below it when it is a directory. Links are not followed: what a link
// points to is not being deleted.
void for_each_regular_file(const boost::filesystem::path& path,
                           const std::function<void(const boost::filesystem::path&)>& visit) {
  if (regular_file(path)) {
    visit(path);
    return;
  }
  boost::system::error_code ec;
  if (boost::filesystem::symlink_status(path, ec).type() != boost::filesystem::directory_file)
    return;
  for (boost::filesystem::recursive_directory_iterator it(path, ec), end; !ec && it != end;
       it.increment(ec)) {
    if (regular_file(it->path())) visit(it->path());
  }
}

}  // namespace

void throw_if_in_use(const boost::filesystem::path& path) {
  for_each_regular_file(path, [](const boost::filesystem::path& file) {
    if (held_by_writer(file))
      throw boost::filesystem::filesystem_error(
          "the file is held open by a log writer", file,
          boost::system::errc::make_error_code(boost::system::errc::device_or_resource_busy));
  });
}

void allow_removal(const boost::filesystem::path& path) {
  for_each_regular_file(path, allow_file_removal);
}

void remove_path(const boost::filesystem::path& path) {
  throw_if_in_use(path);
  allow_removal(path);
  if (boost::filesystem::is_directory(path))
    boost::filesystem::remove_all(path);
  else
    boost::filesystem::remove(path);
}

}  // namespace krCore::detail
