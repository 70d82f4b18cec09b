#include "engine/image_limits.h"

#include <cstring>

namespace {

// The PNG writer collects its deflate stream in a buffer whose capacity is an
// int, grown to 2*capacity+1 when a byte meets a full buffer: 2, 5, 11, ...,
// 3*2^29-1. The next growth overflows, so the stream can hold 3*2^29-2 bytes.
constexpr long long kPngStreamMaxBytes = 3LL * (1LL << 29) - 2;

// The most pixels one byte of a complete file can stand for, by format:
// - PNG: deflate codes at most 258 bytes in 2 bits (1032:1), and a row of 1-bit
//   pixels has 8 to a byte: 8256.
// - GIF: one 12-bit LZW code stands for at most 4094 pixels (the longest string
//   of a 4096-entry table): 2730.
// - JPEG: each 8x8 block of a gray progressive image costs at least the one bit
//   of its DC code; the decoder reads no arithmetic coding: 512.
// - BMP: 1 bit a pixel; the decoder reads no RLE: 8.
struct Density {
  const char* signature;
  std::size_t length;
  long long pixelsPerByte;
};
constexpr Density kDensities[] = {
    {"\x89PNG", 4, 8256}, {"GIF8", 4, 2730}, {"\xFF", 1, 512}, {"BM", 2, 8}};

// Headers claiming up to this many times the densest file are still taken: a
// margin for what a real encoder's overhead and this reckoning leave out.
constexpr long long kMargin = 4;

}  // namespace

bool PngWriterCanEncode(long long width, long long height, int channels) {
  // A literal byte costs at most 9 bits and any match less per byte; each row's
  // filter byte (0..4) costs 8. Around them: the 2-byte zlib header, 3 bits of
  // block header and the 7-bit end code, padded to a whole byte.
  const long long bits = 3 + height * (8 + 9 * width * channels) + 7;
  return 2 + (bits + 7) / 8 <= kPngStreamMaxBytes;
}

bool PixelCountFitsFile(const unsigned char* head, std::size_t headLength, long long pixels,
                        std::uint64_t fileBytes) {
  long long density = kDensities[0].pixelsPerByte;  // no known signature: the densest
  for (const Density& format : kDensities) {
    if (headLength >= format.length && std::memcmp(head, format.signature, format.length) == 0) {
      density = format.pixelsPerByte;
      break;
    }
  }
  const long long perByte = kMargin * density;
  return static_cast<std::uint64_t>((pixels + perByte - 1) / perByte) <= fileBytes;
}

bool JpegWriterCanEncode(long long width, long long height) {
  return width <= 65535 && height <= 65535;
}
