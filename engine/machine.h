#pragma once
// What the machine offers this process, asked of each platform in its own way.
#include <cstdint>

/// How many processors the process may run on (its affinity mask; on Windows all
/// processor groups it spans), at least 1. `taskset -c 0` or `start /affinity 1`
/// makes it 1.
unsigned UsableProcessorCount();

/// Physical memory in bytes, or 0 when the system does not say.
std::uint64_t PhysicalMemoryBytes();
