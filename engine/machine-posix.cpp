#include "engine/machine.h"

#include <cerrno>
#include <cstddef>
#include <sched.h>
#include <sys/mman.h>
#include <unistd.h>

unsigned UsableProcessorCount() {
  // A mask sized for more processors than a fixed cpu_set_t holds (1024).
  for (int size = 1024; size <= 1 << 20; size *= 2) {
    cpu_set_t* set = CPU_ALLOC(size);
    if (!set) break;
    const std::size_t bytes = CPU_ALLOC_SIZE(size);
    CPU_ZERO_S(bytes, set);
    const bool ok = sched_getaffinity(0, bytes, set) == 0;
    const int count = ok ? CPU_COUNT_S(bytes, set) : 0;
    CPU_FREE(set);
    if (ok) return count > 0 ? static_cast<unsigned>(count) : 1u;
    if (errno != EINVAL) break;
  }
  const long online = sysconf(_SC_NPROCESSORS_ONLN);
  return online > 0 ? static_cast<unsigned>(online) : 1u;
}

std::uint64_t PhysicalMemoryBytes() {
  const long pages = sysconf(_SC_PHYS_PAGES);
  const long pageSize = sysconf(_SC_PAGE_SIZE);
  if (pages <= 0 || pageSize <= 0) return 0;
  return static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(pageSize);
}

void* AllocatePages(std::size_t bytes) {
  void* pages = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  return pages == MAP_FAILED ? nullptr : pages;
}

void FreePages(void* pages, std::size_t bytes) { munmap(pages, bytes); }
