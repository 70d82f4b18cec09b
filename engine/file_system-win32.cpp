#include "engine/file_system.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>

namespace {

bool MeansMissing(DWORD error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_BAD_NETPATH:
    case ERROR_NETNAME_DELETED:
    case ERROR_INVALID_NAME:
    case ERROR_DIRECTORY:
      return true;
    default:
      return false;
  }
}

PathPresence FromError(DWORD error, int* systemError) {
  *systemError = static_cast<int>(error);
  return MeansMissing(error) ? PathPresence::Missing : PathPresence::Error;
}

// The image library converts file names into a buffer of 1024 UTF-16 units; our
// own writes keep the same limit so both routes accept the same paths.
constexpr size_t kLibraryPathUnits = 1024;

}  // namespace

PathPresence QueryPathPresence(const std::filesystem::path& path, int* systemError) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data))
    return FromError(GetLastError(), systemError);
  if (!(data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) return PathPresence::Present;
  // A link or junction: look at its target, so a dangling one counts as missing.
  HANDLE h = CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                         nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return FromError(GetLastError(), systemError);
  CloseHandle(h);
  return PathPresence::Present;
}

NewFileStatus CreateNewFile(const std::filesystem::path& path, std::FILE** file) {
  if (path.native().size() + 1 > kLibraryPathUnits) return NewFileStatus::Failed;
  HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    DWORD error = GetLastError();
    return (error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS) ? NewFileStatus::Exists
                                                                         : NewFileStatus::Failed;
  }
  int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), _O_WRONLY | _O_BINARY);
  *file = fd >= 0 ? _fdopen(fd, "wb") : nullptr;
  if (*file) return NewFileStatus::Created;
  if (fd >= 0) _close(fd); else CloseHandle(h);
  DeleteFileW(path.c_str());
  return NewFileStatus::Failed;
}
