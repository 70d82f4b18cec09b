#include "engine/file_system.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

PathPresence QueryPathPresence(const std::filesystem::path& path, int* systemError) {
  struct stat st;
  if (stat(path.c_str(), &st) == 0) return PathPresence::Present;
  *systemError = errno;
  if (errno == ENOENT || errno == ENOTDIR) return PathPresence::Missing;
  return PathPresence::Error;
}

NewFileStatus CreateNewFile(const std::filesystem::path& path, std::FILE** file) {
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
