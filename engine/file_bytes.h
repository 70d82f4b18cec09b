#pragma once
// A file's bytes as read, in blocks: every block but the last holds exactly
// kFileBlockBytes, so a position is found by division, and a reader that has
// passed a block can let it go. The decoder does so, so the file's bytes are not
// held beside the decoded pixels. Blocks are pages from the system, so a block
// let go leaves the process's memory at once.
#include <cstddef>
#include <functional>
#include <memory>
#include <vector>

inline constexpr std::size_t kFileBlockBytes = std::size_t{1} << 20;

/// Gives a block's pages back to the system (engine/machine.h).
struct BlockFree {
  std::size_t capacity = 0;
  void operator()(unsigned char* block) const;
};

struct FileBlock {
  std::unique_ptr<unsigned char, BlockFree> data;  // null once let go
  std::size_t length = 0;
};

struct FileBytes {
  std::vector<FileBlock> blocks;
  std::size_t size = 0;
  std::size_t firstHeld = 0;  // blocks before this one have been let go
};

/// How far a read of a file's blocks got.
enum class BlockReadStatus { Paused, Ended, Failed };

/// Reads on into *bytes from read (which returns the bytes it put at out, at most
/// `wanted`, 0 at the end and -1 on an error) until they hold at least `until`
/// bytes (Paused: more may follow) or the file ends (Ended). expected is the size
/// the file had when it was opened: a small file takes one block of its own
/// size, and no more than that is ever read (a file that grew since ends
/// there). Failed on a read error. Throws std::bad_alloc when a block can't be had.
BlockReadStatus ReadFileBlocks(
    const std::function<long long(unsigned char* out, std::size_t wanted)>& read,
    std::size_t expected, std::size_t until, FileBytes* bytes);

/// Copies up to n bytes from position at into out; returns how many there were.
std::size_t CopyFileBytes(const FileBytes& bytes, std::size_t at, unsigned char* out,
                          std::size_t n);

/// Lets go of every block that lies wholly before position at.
void ReleaseFileBytesBefore(FileBytes* bytes, std::size_t at);
