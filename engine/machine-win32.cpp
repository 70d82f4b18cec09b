#include "engine/machine.h"

#include <windows.h>

#include <psapi.h>

#include <algorithm>

namespace {

unsigned CountBits(DWORD_PTR mask) {
  unsigned count = 0;
  for (; mask; mask &= mask - 1) ++count;
  return count;
}

}  // namespace

unsigned UsableProcessorCount() {
  // A process that spans several processor groups (Windows 11 lets every process
  // do so) may run on every active processor of each; one mask covers one group.
  USHORT groups[64];
  USHORT groupCount = 64;
  if (GetProcessGroupAffinity(GetCurrentProcess(), &groupCount, groups) && groupCount > 1) {
    unsigned count = 0;
    for (USHORT i = 0; i < groupCount; ++i) count += GetActiveProcessorCount(groups[i]);
    if (count > 0) return count;
  }
  DWORD_PTR processMask = 0, systemMask = 0;
  if (GetProcessAffinityMask(GetCurrentProcess(), &processMask, &systemMask)) {
    const unsigned count = CountBits(processMask);
    if (count > 0) return count;
  }
  return 1;
}

namespace {

std::uint64_t RoomUnder(std::uint64_t limit, std::uint64_t used) {
  return limit > used ? limit - used : 0;
}

// What this process has committed, which a job's memory limits count.
std::uint64_t CommittedBytes() {
  PROCESS_MEMORY_COUNTERS_EX counters = {};
  counters.cb = sizeof counters;
  return GetProcessMemoryInfo(GetCurrentProcess(),
                              reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters),
                              sizeof counters)
             ? counters.PrivateUsage
             : 0;
}

// Room under the limits of the job the process runs in (a sandbox, a service
// host, a container), if any. The job's own limit is shared with the other
// processes in it; only our own share is known here.
std::uint64_t RoomUnderJobLimits(std::uint64_t room) {
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION job = {};
  if (!QueryInformationJobObject(nullptr, JobObjectExtendedLimitInformation, &job, sizeof job,
                                 nullptr))
    return room;
  const DWORD flags = job.BasicLimitInformation.LimitFlags;
  const std::uint64_t committed = CommittedBytes();
  if (flags & JOB_OBJECT_LIMIT_PROCESS_MEMORY)
    room = std::min<std::uint64_t>(room, RoomUnder(job.ProcessMemoryLimit, committed));
  if (flags & JOB_OBJECT_LIMIT_JOB_MEMORY)
    room = std::min<std::uint64_t>(room, RoomUnder(job.JobMemoryLimit, committed));
  return room;
}

}  // namespace

std::uint64_t RoomInMemoryStatus(std::uint64_t availablePhysical, std::uint64_t availableCommit,
                                 std::uint64_t availableAddressSpace) {
  return std::min({availablePhysical, availableCommit, availableAddressSpace});
}

std::uint64_t AvailableMemoryBytes() {
  // Memory available now, not installed: other programs hold the rest.
  MEMORYSTATUSEX status = {};
  status.dwLength = sizeof(status);
  if (!GlobalMemoryStatusEx(&status)) return kMemoryUnknown;
  return RoomUnderJobLimits(
      RoomInMemoryStatus(status.ullAvailPhys, status.ullAvailPageFile, status.ullAvailVirtual));
}

bool AddressSpaceIsLimited() { return false; }

void* AllocatePages(std::size_t bytes) {
  return VirtualAlloc(nullptr, bytes, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
}

void FreePages(void* pages, std::size_t) { VirtualFree(pages, 0, MEM_RELEASE); }

// Decommitted, the pages leave the working set and the commit charge; the block
// stays reserved until FreePages releases it whole.
void DiscardPages(void* pages, std::size_t bytes) { VirtualFree(pages, bytes, MEM_DECOMMIT); }

void ReturnLargeBlocksToTheSystem() {
  // Nothing to do: the Windows heap takes blocks this large straight from the
  // system (VirtualAlloc) and gives them back when they are freed.
}
