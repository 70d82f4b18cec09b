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

namespace {

std::int64_t LastWriteOf(const struct stat& st) {
  return static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
}

}  // namespace

bool ReadWholeFile(const fs::path& path, FileBytes* bytes, FileStamp* stamp,
                   std::string* error) {
  // Closed however this ends, also when the buffer can't be had (that throws).
  struct Descriptor {
    int fd;
    ~Descriptor() { if (fd >= 0) close(fd); }
  } file{open(path.c_str(), O_RDONLY | O_CLOEXEC)};
  // Only a regular file has an end to read to: a device such as /dev/zero
  // would be read until memory runs out.
  struct stat st;
  if (file.fd < 0 || fstat(file.fd, &st) != 0 || !S_ISREG(st.st_mode) ||
      !ReadFileBlocks(
          [&](unsigned char* out, std::size_t wanted) -> long long {
            ssize_t n;
            while ((n = read(file.fd, out, wanted)) < 0 && errno == EINTR) {
            }
            return n;
          },
          static_cast<std::size_t>(st.st_size), bytes)) {
    *bytes = FileBytes();
    *error = "Unable to open file";
    return false;
  }
  *stamp = FileStamp{bytes->size, LastWriteOf(st)};
  return true;
}

bool QueryFileStamp(const fs::path& path, FileStamp* stamp) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  *stamp = FileStamp{static_cast<std::uint64_t>(st.st_size), LastWriteOf(st)};
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
