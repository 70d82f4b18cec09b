#include "engine/machine.h"

#include <windows.h>

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

std::uint64_t PhysicalMemoryBytes() {
  MEMORYSTATUSEX status = {};
  status.dwLength = sizeof(status);
  return GlobalMemoryStatusEx(&status) ? status.ullTotalPhys : 0;
}

void* AllocatePages(std::size_t bytes) {
  return VirtualAlloc(nullptr, bytes, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
}

void FreePages(void* pages, std::size_t) { VirtualFree(pages, 0, MEM_RELEASE); }
