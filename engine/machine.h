#pragma once
// What the machine offers this process, asked of each platform in its own way.
#include <cstddef>
#include <cstdint>

/// How many processors the process may run on (its affinity mask; on Windows all
/// processor groups it spans), at least 1. `taskset -c 0` or `start /affinity 1`
/// makes it 1.
unsigned UsableProcessorCount();

/// Physical memory in bytes, or 0 when the system does not say.
std::uint64_t PhysicalMemoryBytes();

/// Memory straight from the system, in whole pages, and given back to it when
/// freed: the heap would keep a freed block of a few MB resident for its next
/// use. Null when there is none.
void* AllocatePages(std::size_t bytes);
void FreePages(void* pages, std::size_t bytes);
