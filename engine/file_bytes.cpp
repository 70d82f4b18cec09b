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

// A block of `capacity`; the read fills it up to there before the next is made.
void AddBlock(FileBytes* bytes, std::size_t capacity, std::size_t* lastCapacity) {
  bytes->blocks.push_back(FileBlock{NewBlock(capacity), 0});
  *lastCapacity = capacity;
}

// A first block sized to the file that turned out too small (the file grew) is
// made a whole block, so that every block but the last stays kFileBlockBytes.
void WidenFirstBlock(FileBytes* bytes, std::size_t* lastCapacity) {
  FileBlock& first = bytes->blocks.front();
  auto wide = NewBlock(kFileBlockBytes);
  std::memcpy(wide.get(), first.data.get(), first.length);
  first.data = std::move(wide);
  *lastCapacity = kFileBlockBytes;
}

}  // namespace

bool ReadFileBlocks(const std::function<long long(unsigned char*, std::size_t)>& read,
                    std::size_t expected, FileBytes* bytes) {
  std::size_t capacity = 0;
  // One byte more than expected, so that the read seeing the end needs no new block.
  AddBlock(bytes, std::min(expected + 1, kFileBlockBytes), &capacity);
  for (;;) {
    FileBlock* last = &bytes->blocks.back();
    if (last->length == capacity) {
      if (capacity < kFileBlockBytes) WidenFirstBlock(bytes, &capacity);
      else AddBlock(bytes, kFileBlockBytes, &capacity);
      last = &bytes->blocks.back();
    }
    const long long n = read(last->data.get() + last->length, capacity - last->length);
    if (n < 0) return false;
    if (n == 0) return true;
    last->length += static_cast<std::size_t>(n);
    bytes->size += static_cast<std::size_t>(n);
  }
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
