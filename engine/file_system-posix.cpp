#include "engine/file_system.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <string>
#include <utility>
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

namespace {

std::int64_t Nanoseconds(const struct timespec& t) {
  return static_cast<std::int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

FileStamp StampOf(const struct stat& st) {
  FileStamp stamp;
  stamp.size = static_cast<std::uint64_t>(st.st_size);
  stamp.lastWrite = Nanoseconds(st.st_mtim);
  stamp.volume = static_cast<std::uint64_t>(st.st_dev);
  stamp.index = static_cast<std::uint64_t>(st.st_ino);
  stamp.changed = Nanoseconds(st.st_ctim);
  return stamp;
}

}  // namespace

void CloseOpenedFile(OpenedFile* file) {
  if (file->handle >= 0) close(static_cast<int>(file->handle));
  file->handle = -1;
}

OpenedFile& OpenedFile::operator=(OpenedFile&& other) noexcept {
  if (this != &other) {
    CloseOpenedFile(this);
    handle = std::exchange(other.handle, -1);
    stamp = other.stamp;
    outputPermissions = other.outputPermissions;
  }
  return *this;
}

OpenedFile::~OpenedFile() { CloseOpenedFile(this); }

bool OpenInputFile(const fs::path& path, OpenedFile* file, std::string* error) {
  // Opened without waiting, so a FIFO swapped in after the name was checked can't
  // hold the open up; a regular file's reads never wait, flag or not.
  OpenedFile opened;
  opened.handle = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  // Only a regular file has an end to read to: a device such as /dev/zero would
  // be read until memory runs out.
  struct stat st;
  if (opened.handle < 0 || fstat(static_cast<int>(opened.handle), &st) != 0 ||
      !S_ISREG(st.st_mode)) {
    *error = "Unable to open file";
    return false;
  }
  opened.stamp = StampOf(st);
  // Who else may read the photo follows the input; its owner can always manage
  // the new file, and an image is never made executable.
  opened.outputPermissions = static_cast<unsigned>((st.st_mode & 0066) | 0600);
  *file = std::move(opened);
  return true;
}

namespace {

ssize_t ReadAt(int fd, std::uint64_t at, unsigned char* out, std::size_t n) {
  ssize_t got;
  while ((got = pread(fd, out, n, static_cast<off_t>(at))) < 0 && errno == EINTR) {
  }
  return got;
}

}  // namespace

long long ReadOpenedFileAt(const OpenedFile& file, std::uint64_t at, unsigned char* out,
                           std::size_t n) {
  return ReadAt(static_cast<int>(file.handle), at, out, n);
}

bool ReadOpenedFile(OpenedFile* file, std::size_t until, FileBytes* bytes, bool* ended,
                    std::string* error) {
  const BlockReadStatus status = ReadFileBlocks(
      [file, bytes](unsigned char* out, std::size_t wanted) {
        return ReadOpenedFileAt(*file, bytes->size, out, wanted);
      },
      static_cast<std::size_t>(file->stamp.size), until, bytes);
  *ended = status != BlockReadStatus::Paused;
  if (status != BlockReadStatus::Failed) return true;
  *error = "Unable to open file";
  return false;
}

bool QueryOpenedFileStamp(const OpenedFile& file, FileStamp* stamp) {
  struct stat st;
  if (file.handle < 0 || fstat(static_cast<int>(file.handle), &st) != 0) return false;
  *stamp = StampOf(st);
  return true;
}

bool QueryFileStamp(const fs::path& path, FileStamp* stamp) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  *stamp = StampOf(st);
  return true;
}

bool IsRootFolder(const fs::path& path) { return !path.has_relative_path(); }

fs::path ReadTypedPath(const fs::path& typed) { return typed; }

bool NamesADevice(const fs::path&) { return false; }

bool MakeFolder(const fs::path& path, std::error_code* error) {
  if (mkdir(path.c_str(), 0777) == 0) return true;
  *error = std::error_code(errno, std::generic_category());
  return false;
}

NameState QueryNameState(const fs::path& path, int* systemError) {
  struct stat st;
  if (lstat(path.c_str(), &st) == 0) return NameState::Taken;
  *systemError = errno;
  return MeansMissing(errno) ? NameState::Free : NameState::Error;
}

std::size_t MaxFileNameUnits() { return NAME_MAX; }

namespace {

// Writes every byte and waits until they are on the disk: the file gets its
// name only after this, so a power cut (or a system crash) that comes after a
// name appears never leaves a name on an empty or cut photo. A user may delete
// the originals once the report says 成功.
bool WriteEvery(int fd, const unsigned char* data, std::size_t length) {
  while (length > 0) {
    const ssize_t n = write(fd, data, std::min<std::size_t>(length, std::size_t{1} << 30));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    length -= static_cast<std::size_t>(n);
  }
  return true;
}

bool WriteAll(int fd, const unsigned char* data, std::size_t length) {
  return WriteEvery(fd, data, length) && fdatasync(fd) == 0;
}

// linkat fails when anything is at the name: it never replaces. Through /proc
// it needs no privilege; without /proc, AT_EMPTY_PATH may still be allowed.
bool LinkUnnamed(int fd, const fs::path& path) {
  const std::string self = "/proc/self/fd/" + std::to_string(fd);
  return linkat(AT_FDCWD, self.c_str(), AT_FDCWD, path.c_str(), AT_SYMLINK_FOLLOW) == 0 ||
         (errno == ENOENT && linkat(fd, "", AT_FDCWD, path.c_str(), AT_EMPTY_PATH) == 0);
}

fs::path FolderOf(const fs::path& path) {
  fs::path folder = path.parent_path();
  return folder.empty() ? fs::path(".") : folder;
}

NewFileStatus FromLinkError(int error) {
  return error == EEXIST ? NewFileStatus::Exists : NewFileStatus::Failed;
}

// The file has no name until linkat gives it one, complete: a run killed before
// that leaves nothing, the system frees the file with its last descriptor.
// *unnamable: written, but no way to give it a name here (no /proc, and no
// privilege for AT_EMPTY_PATH); the caller then goes through a temporary name.
NewFileStatus CommitUnnamed(int fd, const fs::path& path, const unsigned char* data,
                            std::size_t length, bool* unnamable) {
  NewFileStatus status = NewFileStatus::Failed;
  if (WriteAll(fd, data, length)) {
    if (LinkUnnamed(fd, path))
      status = NewFileStatus::Created;
    else
      status = FromLinkError(errno);
    *unnamable = status == NewFileStatus::Failed;
  }
  close(fd);
  return status;
}

// Where the file system has neither links nor a rename that refuses to replace
// (FAT and exFAT through FUSE), the name is checked and the complete temporary
// renamed onto it: the name still shows only whole outputs, and a run killed at
// any moment leaves at most the hidden temporary. What is left is a race: a file
// another program creates at that very name between the check and the rename
// (two calls of the file system) is replaced. Reserving the name first with an
// exclusive create would close that race but leave an empty file under the
// output's name to a run killed before the rename: a cut output, the worse loss.
NewFileStatus RenameIfStillFree(const fs::path& temporary, const fs::path& path) {
  int error = 0;
  const NameState state = QueryNameState(path, &error);
  if (state != NameState::Free)
    return state == NameState::Taken ? NewFileStatus::Exists : NewFileStatus::Failed;
  if (rename(temporary.c_str(), path.c_str()) == 0) return NewFileStatus::Created;
  return errno == EEXIST || errno == ENOTEMPTY || errno == EISDIR ? NewFileStatus::Exists
                                                                  : NewFileStatus::Failed;
}

std::atomic<unsigned> temporary_count{0};

// A clearly marked temporary file beside the output, filled, flushed and closed,
// then put under the final name without replacing anything (link, else rename
// without replace, else a check and a rename). Only a run killed before that
// leaves one behind.
NewFileStatus CommitThroughTemporary(const fs::path& path, const unsigned char* data,
                                     std::size_t length, mode_t mode) {
  fs::path temporary;
  int fd = -1;
  for (int attempt = 0; fd < 0 && attempt < 100; ++attempt) {
    temporary = FolderOf(path) / (".quillmar-unfinished-" + std::to_string(getpid()) + "-" +
                                  std::to_string(temporary_count++) + ".tmp");
    fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd < 0 && errno != EEXIST) return NewFileStatus::Failed;
  }
  if (fd < 0) return NewFileStatus::Failed;
  const bool written = WriteAll(fd, data, length);
  if (close(fd) != 0 || !written) {
    unlink(temporary.c_str());
    return NewFileStatus::Failed;
  }
  NewFileStatus status = NewFileStatus::Created;
  if (link(temporary.c_str(), path.c_str()) != 0) {
    const int linkError = errno;
    if (linkError == EEXIST) {
      status = NewFileStatus::Exists;
    } else if (renameat2(AT_FDCWD, temporary.c_str(), AT_FDCWD, path.c_str(),
                         RENAME_NOREPLACE) == 0) {
      return NewFileStatus::Created;
    } else if (errno == EINVAL || errno == ENOSYS) {
      status = RenameIfStillFree(temporary, path);
      if (status == NewFileStatus::Created) return status;
    } else {
      status = FromLinkError(errno);
    }
  }
  unlink(temporary.c_str());
  return status;
}

bool NoUnnamedFiles(int error) {
  return error == EOPNOTSUPP || error == EISDIR || error == EINVAL;
}

}  // namespace

NewFileStatus WriteNewFile(const fs::path& path, const unsigned char* data, std::size_t length,
                           unsigned permissions) {
  const mode_t mode = permissions ? static_cast<mode_t>(permissions) : 0600;
  int fd = open(FolderOf(path).c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, mode);
  if (fd >= 0) {
    bool unnamable = false;
    const NewFileStatus status = CommitUnnamed(fd, path, data, length, &unnamable);
    if (!unnamable) return status;
  } else if (!NoUnnamedFiles(errno)) {
    return NewFileStatus::Failed;
  }
  return CommitThroughTemporary(path, data, length, mode);
}

OutputDraft& OutputDraft::operator=(OutputDraft&& other) noexcept {
  if (this != &other) {
    if (handle >= 0) close(static_cast<int>(handle));
    handle = std::exchange(other.handle, -1);
    length = other.length;
    failed = other.failed;
    synced = other.synced;
  }
  return *this;
}

OutputDraft::~OutputDraft() {
  if (handle >= 0) close(static_cast<int>(handle));
}

bool StartOutputDraft(const fs::path& folder, unsigned permissions, OutputDraft* draft) {
  const mode_t mode = permissions ? static_cast<mode_t>(permissions) : 0600;
  // Readable too, for the way round a file system that won't name it.
  const int fd = open(folder.empty() ? "." : folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, mode);
  if (fd < 0) return false;
  OutputDraft started;
  started.handle = fd;
  *draft = std::move(started);
  return true;
}

bool AppendToOutputDraft(OutputDraft* draft, const unsigned char* data, std::size_t length) {
  if (draft->failed || !WriteEvery(static_cast<int>(draft->handle), data, length)) {
    draft->failed = true;
    return false;
  }
  draft->length += length;
  return true;
}

NewFileStatus NameOutputDraft(OutputDraft* draft, const fs::path& path, bool* unnamable) {
  *unnamable = false;
  const int fd = static_cast<int>(draft->handle);
  if (draft->failed) return NewFileStatus::Failed;
  // On the disk before it has a name, as WriteAll's files are.
  if (!draft->synced && fdatasync(fd) != 0) {
    draft->failed = true;
    return NewFileStatus::Failed;
  }
  draft->synced = true;
  if (LinkUnnamed(fd, path)) {
    *draft = OutputDraft();
    return NewFileStatus::Created;
  }
  const NewFileStatus status = FromLinkError(errno);
  *unnamable = status == NewFileStatus::Failed;
  return status;
}

bool ReadOutputDraft(const OutputDraft& draft, unsigned char* out) {
  std::uint64_t at = 0;
  while (at < draft.length) {
    const ssize_t n = ReadAt(static_cast<int>(draft.handle), at, out + at,
                             std::min<std::uint64_t>(draft.length - at, 1u << 30));
    if (n <= 0) return false;
    at += static_cast<std::uint64_t>(n);
  }
  return true;
}

void FlushFolder(const fs::path& folder) {
  // The names given in a folder are lasting once the folder itself is flushed.
  const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  fsync(fd);
  close(fd);
}
