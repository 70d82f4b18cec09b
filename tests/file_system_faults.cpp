// Loaded into the program by the fault tests (LD_PRELOAD), to show without a race
// what it does when the file system says no:
// - a folder whose name contains "vanishing" can be listed by its parent but not
//   opened, as if it were deleted just after the parent was read;
// - in a folder whose name contains "no-unnamed-files" an unnamed file (O_TMPFILE)
//   can't be made, as on file systems without them;
// - a file whose name contains "moved-after-open" is gone for stat() once it
//   has been opened, as if it were moved away right after it was opened;
// - a file whose name contains "cut-while-read" reads as cut at
//   QUILLMAR_TEST_CUT_AT bytes from its third read at position 0 on (the head
//   and one whole read see all of it), as if cut while it was read;
// - a file whose name contains "rewritten-while-read" is written over in place
//   before its QUILLMAR_TEST_REWRITE_NTH-th read at position
//   QUILLMAR_TEST_REWRITE_AT (and, with a "+" after the count, before every
//   later one), as by another program saving over it: truncated, then given
//   the bytes of the files QUILLMAR_TEST_REWRITE_WITH names (separated by
//   ":"), taken in turn;
// - with QUILLMAR_TEST_ALLOCATION_LIMIT=BYTES in the environment, memory is
//   refused past that total of live heap blocks and anonymous mappings, as
//   Windows refuses commit past a job's or the system's limit: a limit the
//   process can't see, that counts no address space, only what is allocated.
#include <dlfcn.h>
#include <fcntl.h>
#include <malloc.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

mode_t ModeArgument(int flags, va_list args) {
  return (flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE
             ? static_cast<mode_t>(va_arg(args, unsigned))
             : 0;
}

std::atomic<bool> moved{false};
std::atomic<int> cutFile{-1};
std::atomic<int> cutFileStarts{0};

std::atomic<int> rewrittenFile{-1};
std::atomic<int> rewrittenReads{0};
std::atomic<int> rewrites{0};

int Opened(const char* name, int fd) {
  if (fd >= 0 && std::strstr(name, "moved-after-open")) moved = true;
  if (fd >= 0 && std::strstr(name, "rewritten-while-read")) {
    rewrittenFile = fd;
    rewrittenReads = 0;
  }
  if (fd >= 0 && std::strstr(name, "cut-while-read")) {
    cutFile = fd;
    cutFileStarts = 0;
  }
  return fd;
}

// How much of a read at `at` of n bytes the file still has.
size_t LeftOfCutFile(int fd, off_t at, size_t n) {
  if (fd != cutFile) return n;
  if (at == 0) ++cutFileStarts;
  const char* text = std::getenv("QUILLMAR_TEST_CUT_AT");
  if (cutFileStarts < 3 || !text) return n;
  const off_t end = static_cast<off_t>(std::strtoull(text, nullptr, 10));
  return at >= end ? 0 : std::min<size_t>(n, static_cast<size_t>(end - at));
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
  return Refused(name, flags) ? -1 : Opened(name, real(folder, name, flags, mode));
}

extern "C" int open(const char* name, int flags, ...) {
  using Open = int (*)(const char*, int, ...);
  static Open real = reinterpret_cast<Open>(dlsym(RTLD_NEXT, "open"));
  va_list args;
  va_start(args, flags);
  const mode_t mode = ModeArgument(flags, args);
  va_end(args);
  return Refused(name, flags) ? -1 : Opened(name, real(name, flags, mode));
}

namespace {

// The next of the files QUILLMAR_TEST_REWRITE_WITH names, copied over the open file fd.
void WriteOver(int fd) {
  std::string names = std::getenv("QUILLMAR_TEST_REWRITE_WITH");
  std::vector<std::string> paths;
  for (std::size_t from = 0, to; from <= names.size(); from = to + 1) {
    to = std::min(names.find(':', from), names.size());
    paths.push_back(names.substr(from, to - from));
  }
  const std::string& with = paths[static_cast<std::size_t>(rewrites++) % paths.size()];
  const int in = open(with.c_str(), O_RDONLY);
  const int over = open(("/proc/self/fd/" + std::to_string(fd)).c_str(), O_WRONLY | O_TRUNC);
  char buffer[1 << 16];
  ssize_t got;
  while (in >= 0 && over >= 0 && (got = read(in, buffer, sizeof buffer)) > 0)
    if (write(over, buffer, static_cast<size_t>(got)) != got) break;
  close(in);
  close(over);
}

void RewriteBeforeRead(int fd, off_t at) {
  const char* atText = std::getenv("QUILLMAR_TEST_REWRITE_AT");
  const char* nthText = std::getenv("QUILLMAR_TEST_REWRITE_NTH");
  if (fd != rewrittenFile || !atText || !nthText ||
      at != static_cast<off_t>(std::strtoull(atText, nullptr, 10)))
    return;
  char* end = nullptr;
  const int nth = static_cast<int>(std::strtol(nthText, &end, 10));
  const int count = ++rewrittenReads;
  if (count == nth || (count > nth && *end == '+')) WriteOver(fd);
}

}  // namespace

extern "C" ssize_t pread64(int fd, void* out, size_t n, off_t at) {
  using Read = ssize_t (*)(int, void*, size_t, off_t);
  static Read real = reinterpret_cast<Read>(dlsym(RTLD_NEXT, "pread64"));
  RewriteBeforeRead(fd, at);
  return real(fd, out, LeftOfCutFile(fd, at, n), at);
}

extern "C" ssize_t pread(int fd, void* out, size_t n, off_t at) { return pread64(fd, out, n, at); }

extern "C" int close(int fd) {
  using Close = int (*)(int);
  static Close real = reinterpret_cast<Close>(dlsym(RTLD_NEXT, "close"));
  if (fd == cutFile) cutFile = -1;
  if (fd == rewrittenFile) rewrittenFile = -1;
  return real(fd);
}

extern "C" int stat(const char* name, struct stat* st) {
  using Stat = int (*)(const char*, struct stat*);
  static Stat real = reinterpret_cast<Stat>(dlsym(RTLD_NEXT, "stat"));
  if (moved && std::strstr(name, "moved-after-open")) {
    errno = ENOENT;
    return -1;
  }
  return real(name, st);
}

extern "C" {
void* __libc_malloc(size_t);
void* __libc_calloc(size_t, size_t);
void* __libc_realloc(void*, size_t);
void __libc_free(void*);
void* __libc_memalign(size_t, size_t);
}

namespace {

std::atomic<size_t> allocated{0};

size_t AllocationLimit() {
  static const size_t limit = [] {
    const char* text = std::getenv("QUILLMAR_TEST_ALLOCATION_LIMIT");
    return text ? std::strtoull(text, nullptr, 10) : 0;
  }();
  return limit;
}

// Books `more` bytes, or says no (errno ENOMEM) when they pass the limit.
bool Book(size_t more, size_t less = 0) {
  const size_t limit = AllocationLimit();
  size_t now = allocated.load();
  do {
    if (limit && more > less && now + (more - less) > limit) {
      errno = ENOMEM;
      return false;
    }
  } while (!allocated.compare_exchange_weak(now, now + more - less));
  return true;
}

}  // namespace

extern "C" void* malloc(size_t size) {
  if (!Book(size)) return nullptr;
  void* p = __libc_malloc(size);
  Book(p ? malloc_usable_size(p) : 0, size);
  return p;
}

extern "C" void* calloc(size_t count, size_t size) {
  if (size && count > static_cast<size_t>(-1) / size) return __libc_calloc(count, size);
  if (!Book(count * size)) return nullptr;
  void* p = __libc_calloc(count, size);
  Book(p ? malloc_usable_size(p) : 0, count * size);
  return p;
}

extern "C" void* realloc(void* block, size_t size) {
  const size_t old = block ? malloc_usable_size(block) : 0;
  if (!Book(size, old)) return nullptr;
  void* p = __libc_realloc(block, size);
  if (p) Book(malloc_usable_size(p), size);
  else Book(old, size);  // the old block stays
  return p;
}

extern "C" void free(void* block) {
  if (!block) return;
  Book(0, malloc_usable_size(block));
  __libc_free(block);
}

extern "C" void* aligned_alloc(size_t alignment, size_t size) {
  if (!Book(size)) return nullptr;
  void* p = __libc_memalign(alignment, size);
  Book(p ? malloc_usable_size(p) : 0, size);
  return p;
}

extern "C" void* memalign(size_t alignment, size_t size) { return aligned_alloc(alignment, size); }

extern "C" int posix_memalign(void** out, size_t alignment, size_t size) {
  void* p = aligned_alloc(alignment, size);
  if (!p && size) return ENOMEM;
  *out = p;
  return 0;
}

extern "C" void* mmap(void* at, size_t length, int protection, int flags, int fd, off_t offset) {
  using Map = void* (*)(void*, size_t, int, int, int, off_t);
  static Map real = reinterpret_cast<Map>(dlsym(RTLD_NEXT, "mmap"));
  const bool counted = (flags & MAP_ANONYMOUS) != 0;
  if (counted && !Book(length)) return MAP_FAILED;
  void* p = real(at, length, protection, flags, fd, offset);
  if (counted && p == MAP_FAILED) Book(0, length);
  return p;
}

extern "C" int munmap(void* at, size_t length) {
  using Unmap = int (*)(void*, size_t);
  static Unmap real = reinterpret_cast<Unmap>(dlsym(RTLD_NEXT, "munmap"));
  Book(0, length);
  return real(at, length);
}
