#include "engine/codecs/jpeg_tables.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace {

constexpr int kSoi = 0xD8, kEoi = 0xD9, kSos = 0xDA, kDht = 0xC4;
constexpr std::size_t kEnd = SIZE_MAX;

// The data by position, held in equal blocks (all but the last full), as a file
// is read.
class Bytes {
 public:
  Bytes(const unsigned char* const* blocks, std::size_t blockSize, std::size_t size)
      : blocks_(blocks), blockSize_(blockSize), size_(size) {}
  Bytes(const JpegBlockSource& block, std::size_t blockSize, std::size_t size)
      : block_(&block), blockSize_(blockSize), size_(size) {}

  // The byte at pos, or -1 past the end.
  int At(std::size_t pos) const {
    return pos < size_ ? Block(pos / blockSize_)[pos % blockSize_] : -1;
  }

  // Position of the next byte equal to value at or after pos, or kEnd.
  std::size_t Find(unsigned char value, std::size_t pos) const {
    while (pos < size_) {
      const unsigned char* from = Block(pos / blockSize_) + pos % blockSize_;
      const std::size_t left = std::min(blockSize_ - pos % blockSize_, size_ - pos);
      if (const void* hit = std::memchr(from, value, left))
        return pos + static_cast<std::size_t>(static_cast<const unsigned char*>(hit) - from);
      pos += left;
    }
    return kEnd;
  }

  // Position of the next byte other than value at or after pos, or kEnd: a run
  // of fill bytes is passed a block at a time.
  std::size_t FindOther(unsigned char value, std::size_t pos) const {
    while (pos < size_) {
      const unsigned char* from = Block(pos / blockSize_) + pos % blockSize_;
      const std::size_t left = std::min(blockSize_ - pos % blockSize_, size_ - pos);
      const unsigned char* p = from;
      while (p != from + left && *p == value) ++p;
      if (p != from + left) return pos + static_cast<std::size_t>(p - from);
      pos += left;
    }
    return kEnd;
  }

 private:
  const unsigned char* Block(std::size_t index) const {
    return blocks_ ? blocks_[index] : (*block_)(index);
  }
  const unsigned char* const* blocks_ = nullptr;
  const JpegBlockSource* block_ = nullptr;
  std::size_t blockSize_;
  std::size_t size_;
};

bool IsStandalone(int m) { return m == 0x01 || (m >= 0xD0 && m <= 0xD7); }

// One DHT segment: tables of (class/id byte, 16 counts, symbols). The decoder
// reads tables while the segment's length is not used up, even when the last one
// runs past it (bytes past the end of the file read as 0), and writes as many
// entries as each table's counts add up to.
bool TablesFit(Bytes& bytes, std::size_t at, long length) {
  long left = length - 2;
  while (left > 0) {
    std::size_t symbols = 0;
    for (std::size_t i = 1; i <= 16; ++i) {
      const int count = bytes.At(at + i);
      if (count > 0) symbols += static_cast<std::size_t>(count);
    }
    if (symbols > 256) return false;
    at += 17 + symbols;
    left -= 17 + static_cast<long>(symbols);
  }
  return true;
}

// From just after a scan header: the entropy-coded bytes end at the first 0xFF
// that is not a stuffed zero, a fill byte or a restart marker. Returns the
// position of that 0xFF, or kEnd.
std::size_t SkipEntropyData(Bytes& bytes, std::size_t at) {
  for (;;) {
    at = bytes.Find(0xFF, at);
    if (at == kEnd) return kEnd;
    // In a run of 0xFF bytes the byte after the last one decides.
    const std::size_t after = bytes.FindOther(0xFF, at + 1);
    if (after == kEnd) return kEnd;
    const int next = bytes.At(after);
    if (next != 0x00 && !(next >= 0xD0 && next <= 0xD7)) return after - 1;
    at = after;
  }
}

// Past a run of 0xFF fill bytes at pos, if any: the next other byte, or kEnd.
std::size_t SkipFill(Bytes& bytes, std::size_t at) {
  return bytes.At(at) == 0xFF ? bytes.FindOther(0xFF, at) : at;
}

// Follows the segments of JPEG data and hands each one's marker, the position of
// its length field and its length to visit; stops with false as soon as visit
// does. Anything not JPEG, or whose markers can't be followed, gives true.
template <typename Visit>
bool WalkSegments(Bytes& bytes, Visit visit) {
  // The decoder takes any run of 0xFF bytes before a marker code as fill, the
  // start-of-image marker included.
  std::size_t at = SkipFill(bytes, 0);
  if (at == 0 || at == kEnd || bytes.At(at) != kSoi) return true;
  ++at;
  while (at != kEnd && bytes.At(at) >= 0) {
    if (bytes.At(at) != 0xFF) {
      // Stray bytes between segments: the decoder gives up here, or resyncs on
      // the next marker after image data; following it the same way is safe.
      at = SkipEntropyData(bytes, at);
      continue;
    }
    at = SkipFill(bytes, at);
    if (at == kEnd) break;
    const int marker = bytes.At(at++);
    if (marker < 0 || marker == kEoi) break;
    if (IsStandalone(marker) || marker == kSoi) continue;
    const int high = bytes.At(at), low = bytes.At(at + 1);
    if (high < 0 || low < 0) break;
    const std::size_t length = (static_cast<std::size_t>(high) << 8) | static_cast<std::size_t>(low);
    if (length < 2) break;
    if (!visit(marker, at, length)) return false;
    at += length;
    if (marker == kSos) at = SkipEntropyData(bytes, at);
  }
  return true;
}

bool TablesFitIn(Bytes& bytes) {
  return WalkSegments(bytes, [&](int marker, std::size_t at, std::size_t length) {
    return marker != kDht || TablesFit(bytes, at + 2, static_cast<long>(length));
  });
}

bool ScanCountWithinBoundIn(Bytes& bytes) {
  std::size_t scans = 0;
  return WalkSegments(bytes, [&](int marker, std::size_t, std::size_t) {
    return marker != kSos || ++scans <= kMostJpegScans;
  });
}

}  // namespace

bool JpegHuffmanTablesFit(const unsigned char* data, std::size_t size) {
  Bytes bytes(&data, size ? size : 1, size);
  return TablesFitIn(bytes);
}

bool JpegHuffmanTablesFitInBlocks(const unsigned char* const* blocks, std::size_t blockSize,
                                  std::size_t size) {
  Bytes bytes(blocks, blockSize, size);
  return TablesFitIn(bytes);
}

bool JpegScanCountWithinBoundInBlocks(const unsigned char* const* blocks, std::size_t blockSize,
                                      std::size_t size) {
  Bytes bytes(blocks, blockSize, size);
  return ScanCountWithinBoundIn(bytes);
}

JpegChecks CheckJpegBlocks(const JpegBlockSource& block, std::size_t blockSize, std::size_t size) {
  Bytes bytes(block, blockSize, size);
  JpegChecks checks;
  std::size_t scans = 0;
  // One walk for both: the tables' verdict ends it, the scans' does not (a
  // table that doesn't fit is the file's first fault either way).
  WalkSegments(bytes, [&](int marker, std::size_t at, std::size_t length) {
    if (marker == kDht && !TablesFit(bytes, at + 2, static_cast<long>(length))) {
      checks.tablesFit = false;
      return false;
    }
    if (marker == kSos && ++scans > kMostJpegScans) checks.scansWithinBound = false;
    return true;
  });
  return checks;
}
