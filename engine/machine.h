#pragma once
// What the machine offers this process, asked of each platform in its own way.
#include <cstddef>
#include <cstdint>
#include <string>

/// How many processors the process may run on (its affinity mask; on Windows all
/// processor groups it spans), at least 1. `taskset -c 0` or `start /affinity 1`
/// makes it 1.
unsigned UsableProcessorCount();

/// Memory this process can still take, in bytes: the least of what the system
/// has available now and the room left under each limit set on the process (its
/// address-space and data limits, its control group's or job's memory limits).
/// kMemoryUnknown when the system says nothing; 0 when none is left.
inline constexpr std::uint64_t kMemoryUnknown = ~std::uint64_t{0};
std::uint64_t AvailableMemoryBytes();

/// Windows: what GlobalMemoryStatusEx's figures leave the process: the least of
/// the physical memory available, what the system can still commit (its commit
/// limit less its commit charge: ullAvailPageFile) and the free address space.
/// Memory can be free while nothing more can be committed (a small page file,
/// other programs' commitments), and then every allocation fails.
std::uint64_t RoomInMemoryStatus(std::uint64_t availablePhysical, std::uint64_t availableCommit,
                                 std::uint64_t availableAddressSpace);

#if !defined(_WIN32)
/// The room left under the memory limits of the process's control groups (v1
/// and v2), read from the files under root ("/" but in the tests): each limit
/// less its usage, without the page cache the kernel can drop at once. Those
/// reclaimable pages count in the usage, yet no file is short of memory for
/// them. kMemoryUnknown when no group has a limit.
std::uint64_t RoomUnderControlGroups(const std::string& root);
#endif

/// Whether the process's address space or data segment has a limit (POSIX
/// ulimit -v or -d), or the system refuses to commit more than it has (Linux in
/// strict overcommit). Every thread then takes room of its own that the files
/// would otherwise have, even after it ends: its stack and a heap arena the C
/// library keeps reserved for reuse. Windows' limits count committed memory
/// only: false.
bool AddressSpaceIsLimited();

/// Memory straight from the system, in whole pages, and given back to it when
/// freed: the heap would keep a freed block of a few MB resident for its next
/// use. Null when there is none.
void* AllocatePages(std::size_t bytes);
void FreePages(void* pages, std::size_t bytes);
/// Gives back the memory of whole pages within a block from AllocatePages that
/// will never be read or written again, keeping the block's other pages.
/// pages and bytes are multiples of kDiscardUnit: a megabyte, as each call
/// costs every processor the process runs on a flush of its address cache.
inline constexpr std::size_t kDiscardUnit = std::size_t{1} << 20;
void DiscardPages(void* pages, std::size_t bytes);

/// Has the C heap give every block of a megabyte or more back to the system when
/// it is freed. Called once at start, before any thread.
void ReturnLargeBlocksToTheSystem();
