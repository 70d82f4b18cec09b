#include "engine/file_system.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

bool MeansMissing(int error) { return error == ENOENT || error == ENOTDIR; }

}  // namespace

PathKind QueryPathKind(const fs::path& path, int* systemError) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) {
    *systemError = errno;
    return MeansMissing(errno) ? PathKind::Missing : PathKind::Error;
  }
  if (S_ISDIR(st.st_mode)) return PathKind::Folder;
  return S_ISREG(st.st_mode) ? PathKind::File : PathKind::Other;
}

bool QueryFileSize(const fs::path& path, std::uint64_t* size) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) return false;
  *size = static_cast<std::uint64_t>(st.st_size);
  return true;
}

bool QueryOpenFileSize(std::FILE* file, std::uint64_t* size) {
  struct stat st;
  if (fstat(fileno(file), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  *size = static_cast<std::uint64_t>(st.st_size);
  return true;
}

bool IsRootFolder(const fs::path& path) { return !path.has_relative_path(); }

bool MakeFolder(const fs::path& path, std::error_code* error) {
  if (mkdir(path.c_str(), 0777) == 0) return true;
  *error = std::error_code(errno, std::generic_category());
  return false;
}

NewFileStatus CreateNewFile(const fs::path& path, std::FILE** file) {
  // O_EXCL also refuses a dangling symbolic link, so nothing outside the output
  // folder is ever created through one.
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd < 0) return errno == EEXIST ? NewFileStatus::Exists : NewFileStatus::Failed;
  *file = fdopen(fd, "wb");
  if (*file) return NewFileStatus::Created;
  close(fd);
  unlink(path.c_str());
  return NewFileStatus::Failed;
}

void RemoveCreatedFile(const fs::path& path) { unlink(path.c_str()); }
