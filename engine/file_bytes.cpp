#include "engine/file_bytes.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "engine/machine.h"

void BlockFree::operator()(unsigned char* block) const { FreePages(block, capacity); }

namespace {

std::unique_ptr<unsigned char, BlockFree> NewBlock(std::size_t capacity) {
  void* pages = AllocatePages(capacity);
  if (!pages) throw std::bad_alloc();
  return std::unique_ptr<unsigned char, BlockFree>(static_cast<unsigned char*>(pages),
                                                   BlockFree{capacity});
}

std::size_t CapacityOf(const FileBlock& block) { return block.data.get_deleter().capacity; }

// A first block sized to the file that turned out too small (the file grew) is
// made a whole block, so that every block but the last stays kFileBlockBytes.
void WidenFirstBlock(FileBytes* bytes) {
  FileBlock& first = bytes->blocks.front();
  auto wide = NewBlock(kFileBlockBytes);
  std::memcpy(wide.get(), first.data.get(), first.length);
  first.data = std::move(wide);
}

// Room for the next read: the last block while it has some, else a new one.
FileBlock* BlockWithRoom(FileBytes* bytes, std::size_t expected) {
  if (bytes->blocks.empty()) {
    // One byte more than expected, so that the read seeing the end needs no new block.
    bytes->blocks.push_back(FileBlock{NewBlock(std::min(expected + 1, kFileBlockBytes)), 0});
  } else if (bytes->blocks.back().length == CapacityOf(bytes->blocks.back())) {
    if (CapacityOf(bytes->blocks.back()) < kFileBlockBytes) WidenFirstBlock(bytes);
    else bytes->blocks.push_back(FileBlock{NewBlock(kFileBlockBytes), 0});
  }
  return &bytes->blocks.back();
}

}  // namespace

BlockReadStatus ReadFileBlocks(const std::function<long long(unsigned char*, std::size_t)>& read,
                               std::size_t expected, std::size_t until, FileBytes* bytes) {
  while (bytes->size < until || bytes->blocks.empty()) {
    // The file ends where it ended when it was opened: what was appended since
    // is not read (it could be anything, of any size, and was never booked).
    if (bytes->size >= expected && !bytes->blocks.empty()) return BlockReadStatus::Ended;
    FileBlock* last = BlockWithRoom(bytes, expected);
    if (bytes->size >= expected) return BlockReadStatus::Ended;
    const std::size_t room = std::min(CapacityOf(*last) - last->length, expected - bytes->size);
    const long long n = read(last->data.get() + last->length, room);
    if (n < 0) return BlockReadStatus::Failed;
    if (n == 0) return BlockReadStatus::Ended;
    last->length += static_cast<std::size_t>(n);
    bytes->size += static_cast<std::size_t>(n);
  }
  return BlockReadStatus::Paused;
}

std::size_t CopyFileBytes(const FileBytes& bytes, std::size_t at, unsigned char* out,
                          std::size_t n) {
  std::size_t copied = 0;
  while (copied < n && at < bytes.size) {
    const FileBlock& block = bytes.blocks[at / kFileBlockBytes];
    const std::size_t offset = at % kFileBlockBytes;
    const std::size_t take = std::min(n - copied, block.length - offset);
    std::memcpy(out + copied, block.data.get() + offset, take);
    copied += take;
    at += take;
  }
  return copied;
}

void ReleaseFileBytesBefore(FileBytes* bytes, std::size_t at) {
  for (; bytes->firstHeld < bytes->blocks.size() &&
         (bytes->firstHeld + 1) * kFileBlockBytes <= at;
       ++bytes->firstHeld)
    bytes->blocks[bytes->firstHeld].data.reset();
}
