// Loaded into the program by the fault tests (LD_PRELOAD), to show without a race
// what it does when the file system says no:
// - a folder whose name contains "vanishing" can be listed by its parent but not
//   opened, as if it were deleted just after the parent was read;
// - in a folder whose name contains "no-unnamed-files" an unnamed file (O_TMPFILE)
//   can't be made, as on file systems without them.
#include <dlfcn.h>
#include <fcntl.h>

#include <cerrno>
#include <cstdarg>
#include <cstring>

namespace {

mode_t ModeArgument(int flags, va_list args) {
  return (flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE
             ? static_cast<mode_t>(va_arg(args, unsigned))
             : 0;
}

bool Refused(const char* name, int flags) {
  if ((flags & O_TMPFILE) == O_TMPFILE) {
    if (!std::strstr(name, "no-unnamed-files")) return false;
    errno = EOPNOTSUPP;
    return true;
  }
  if (!(flags & O_DIRECTORY) || !std::strstr(name, "vanishing")) return false;
  errno = ENOENT;
  return true;
}

}  // namespace

extern "C" int openat(int folder, const char* name, int flags, ...) {
  using OpenAt = int (*)(int, const char*, int, ...);
  static OpenAt real = reinterpret_cast<OpenAt>(dlsym(RTLD_NEXT, "openat"));
  va_list args;
  va_start(args, flags);
  const mode_t mode = ModeArgument(flags, args);
  va_end(args);
  return Refused(name, flags) ? -1 : real(folder, name, flags, mode);
}

extern "C" int open(const char* name, int flags, ...) {
  using Open = int (*)(const char*, int, ...);
  static Open real = reinterpret_cast<Open>(dlsym(RTLD_NEXT, "open"));
  va_list args;
  va_start(args, flags);
  const mode_t mode = ModeArgument(flags, args);
  va_end(args);
  return Refused(name, flags) ? -1 : real(name, flags, mode);
}
