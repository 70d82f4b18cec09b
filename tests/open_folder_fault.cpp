// Loaded into the program by the fault tests (LD_PRELOAD): a folder whose name
// contains "vanishing" can be listed by its parent but not opened, as if it were
// deleted just after the parent was read. No race is needed to show what a walk
// does then.
#include <dlfcn.h>
#include <fcntl.h>

#include <cerrno>
#include <cstdarg>
#include <cstring>

extern "C" int openat(int folder, const char* name, int flags, ...) {
  using OpenAt = int (*)(int, const char*, int, ...);
  static OpenAt real = reinterpret_cast<OpenAt>(dlsym(RTLD_NEXT, "openat"));
  mode_t mode = 0;
  if (flags & (O_CREAT | O_TMPFILE)) {
    va_list args;
    va_start(args, flags);
    mode = static_cast<mode_t>(va_arg(args, unsigned));
    va_end(args);
  }
  if ((flags & O_DIRECTORY) && (flags & O_TMPFILE) != O_TMPFILE && std::strstr(name, "vanishing")) {
    errno = ENOENT;
    return -1;
  }
  return real(folder, name, flags, mode);
}
