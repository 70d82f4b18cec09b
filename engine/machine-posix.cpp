#include "engine/machine.h"

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <malloc.h>
#include <string>
#include <sys/resource.h>
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

namespace {

constexpr std::uint64_t kUnlimited = kMemoryUnknown;

std::uint64_t RoomUnder(std::uint64_t limit, std::uint64_t used) {
  return limit > used ? limit - used : 0;
}

std::uint64_t PageBytes() {
  const long size = sysconf(_SC_PAGE_SIZE);
  return size > 0 ? static_cast<std::uint64_t>(size) : 4096;
}

// "MemAvailable" of /proc/meminfo: free memory plus what the kernel can reclaim.
std::uint64_t AvailableNow() {
  std::ifstream meminfo("/proc/meminfo");
  std::string key;
  std::uint64_t kib = 0;
  while (meminfo >> key >> kib)
    if (key == "MemAvailable:") return kib * 1024;
  const long pages = sysconf(_SC_AVPHYS_PAGES);
  return pages > 0 ? static_cast<std::uint64_t>(pages) * PageBytes() : kUnlimited;
}

// Room under ulimit -v and -d: every allocation counts against the address
// space, and (since Linux 4.7) every private writable mapping against data.
std::uint64_t RoomUnderProcessLimits() {
  std::uint64_t virtualPages = 0, residentPages = 0, sharedPages = 0, textPages = 0,
                libraryPages = 0, dataPages = 0;
  std::ifstream statm("/proc/self/statm");
  statm >> virtualPages >> residentPages >> sharedPages >> textPages >> libraryPages >> dataPages;
  std::uint64_t room = kUnlimited;
  struct rlimit limit;
  if (getrlimit(RLIMIT_AS, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY)
    room = std::min(room, RoomUnder(limit.rlim_cur, virtualPages * PageBytes()));
  if (getrlimit(RLIMIT_DATA, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY)
    room = std::min(room, RoomUnder(limit.rlim_cur, dataPages * PageBytes()));
  return room;
}

// The group's page cache that the kernel can drop at once: its inactive file
// pages (v1 counts them for the group and those below it as "total_").
std::uint64_t DroppableCache(const std::filesystem::path& dir, bool v1) {
  std::ifstream stat(dir / "memory.stat");
  std::string key;
  std::uint64_t value = 0, own = 0;
  while (stat >> key >> value) {
    if (key == (v1 ? "total_inactive_file" : "inactive_file")) return value;
    if (key == "inactive_file") own = value;
  }
  return own;
}

// Room under the memory limit of a control group and each group above it, as
// far as their files can be read. Inside a container the group's own folder is
// usually mounted as the root, so the walk up ends there.
std::uint64_t RoomUnderGroup(const std::string& root, const std::string& group,
                             const char* limitName, const char* usageName, bool v1) {
  std::uint64_t room = kUnlimited;
  for (std::filesystem::path dir = root + group;; dir = dir.parent_path()) {
    std::ifstream limitFile(dir / limitName), usageFile(dir / usageName);
    std::uint64_t limit = 0, usage = 0;  // "max" (no limit) does not read as a number
    if (limitFile >> limit && usageFile >> usage) {
      usage -= std::min(usage, DroppableCache(dir, v1));
      room = std::min(room, RoomUnder(limit, usage));
    }
    if (dir.native().size() <= root.size()) break;
  }
  return room;
}

}  // namespace

// The process's memory control group: memory.max of cgroup v2, or
// memory.limit_in_bytes of the v1 memory controller.
std::uint64_t RoomUnderControlGroups(const std::string& root) {
  std::ifstream self(root + "proc/self/cgroup");
  std::string line;
  std::uint64_t room = kUnlimited;
  while (std::getline(self, line)) {
    const std::size_t first = line.find(':'), second = line.find(':', first + 1);
    if (first == std::string::npos || second == std::string::npos) continue;
    const std::string controllers = line.substr(first + 1, second - first - 1);
    const std::string group = line.substr(second + 1);
    if (line.rfind("0::", 0) == 0)
      room = std::min(room, RoomUnderGroup(root + "sys/fs/cgroup", group, "memory.max",
                                           "memory.current", false));
    else if (("," + controllers + ",").find(",memory,") != std::string::npos)
      room = std::min(room, RoomUnderGroup(root + "sys/fs/cgroup/memory", group,
                                           "memory.limit_in_bytes", "memory.usage_in_bytes", true));
  }
  return room;
}

namespace {

// Linux in strict overcommit ("2" in overcommit_memory) refuses to commit
// more than it has, as Windows does.
bool StrictOvercommit() {
  std::ifstream mode("/proc/sys/vm/overcommit_memory");
  int value = 0;
  return mode >> value && value == 2;
}

}  // namespace

std::uint64_t AvailableMemoryBytes() {
  return std::min({AvailableNow(), RoomUnderProcessLimits(), RoomUnderControlGroups("/")});
}

bool AddressSpaceIsLimited() {
  struct rlimit limit;
  for (int resource : {RLIMIT_AS, RLIMIT_DATA})
    if (getrlimit(resource, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY) return true;
  return StrictOvercommit();
}

void* AllocatePages(std::size_t bytes) {
  void* pages = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  return pages == MAP_FAILED ? nullptr : pages;
}

void FreePages(void* pages, std::size_t bytes) { munmap(pages, bytes); }

void DiscardPages(void* pages, std::size_t bytes) { madvise(pages, bytes, MADV_DONTNEED); }

void ReturnLargeBlocksToTheSystem() {
  // glibc raises its threshold for mapping a block to the size of the last one
  // freed (up to 32 MB), and a block below it stays in its thread's heap after it
  // is freed. Each worker then keeps the pixels of an image it has finished beside
  // those of the next: with two workers, 20-30 MB more at the peak than one image
  // needs. A fixed threshold maps every image-sized block and unmaps it on free,
  // for a few percent more system time.
  mallopt(M_MMAP_THRESHOLD, 1 << 20);
}
