#include "engine/jpeg_tables.h"

namespace {

constexpr unsigned char kSoi = 0xD8, kEoi = 0xD9, kSos = 0xDA, kDht = 0xC4;

bool IsStandalone(unsigned char m) { return m == 0x01 || (m >= 0xD0 && m <= 0xD7); }

std::size_t Be16(const unsigned char* p) { return (std::size_t{p[0]} << 8) | p[1]; }

// One DHT segment: tables of (class/id byte, 16 counts, symbols). The decoder
// reads tables while the segment's length is not used up, even when the last one
// runs past it (bytes past the end of the file read as 0), and writes as many
// entries as each table's counts add up to.
bool TablesFit(const unsigned char* data, std::size_t size, std::size_t at, long length) {
  long left = length - 2;
  while (left > 0) {
    std::size_t symbols = 0;
    for (std::size_t i = 1; i <= 16; ++i)
      if (at + i < size) symbols += data[at + i];
    if (symbols > 256) return false;
    at += 17 + symbols;
    left -= 17 + static_cast<long>(symbols);
  }
  return true;
}

// From just after a scan header: the entropy-coded bytes end at the first 0xFF
// that is not a stuffed zero, a fill byte or a restart marker. Returns the
// position of that 0xFF, or size.
std::size_t SkipEntropyData(const unsigned char* data, std::size_t at, std::size_t size) {
  for (; at + 1 < size; ++at) {
    if (data[at] != 0xFF) continue;
    const unsigned char next = data[at + 1];
    if (next != 0x00 && next != 0xFF && !(next >= 0xD0 && next <= 0xD7)) return at;
  }
  return size;
}

}  // namespace

bool JpegHuffmanTablesFit(const unsigned char* data, std::size_t size) {
  // The decoder takes any run of 0xFF bytes before a marker code as fill, the
  // start-of-image marker included.
  std::size_t at = 0;
  while (at < size && data[at] == 0xFF) ++at;
  if (at == 0 || at >= size || data[at] != kSoi) return true;
  ++at;
  while (at < size) {
    if (data[at] != 0xFF) {
      // Stray bytes between segments: the decoder gives up here, or resyncs on
      // the next marker after image data; following it the same way is safe.
      at = SkipEntropyData(data, at, size);
      continue;
    }
    while (at < size && data[at] == 0xFF) ++at;  // fill bytes
    if (at >= size) break;
    const unsigned char marker = data[at++];
    if (marker == kEoi) break;
    if (IsStandalone(marker) || marker == kSoi) continue;
    if (at + 2 > size) break;
    const std::size_t length = Be16(data + at);
    if (length < 2) break;
    const std::size_t end = at + length;
    if (marker == kDht && !TablesFit(data, size, at + 2, static_cast<long>(length)))
      return false;
    at = end;
    if (marker == kSos) at = SkipEntropyData(data, at, size);
  }
  return true;
}
