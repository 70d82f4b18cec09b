#pragma once
// The bit reader of the entropy decoder (jpeg_entropy.cpp, jpeg_progressive.cpp).
// It keeps the library's 32-bit buffer and count exactly: where a stream runs
// into a marker, whether a code is refused and where the next marker is looked
// for all hang on how many bits the library had taken in at that moment. The
// bytes come from the segment's window read ahead (stuffing removed), so a
// refill far from the window's end is one load instead of a test per byte.
#include <cstring>

#include "engine/codecs/jpeg_internal.h"

namespace jpeg {

inline std::uint32_t LoadBigEndian32(const unsigned char* p) {
  std::uint32_t v;
  std::memcpy(&v, p, 4);
  return __builtin_bswap32(v);
}

// Takes bytes in until more than 24 bits are held, or a marker is met (then
// stops at once, holding what it had, and gives zeros from then on).
[[gnu::noinline]] inline Bits GrowSlow(Decoder* d, Bits b) {
  const Segment& s = d->segment;
  do {
    std::uint32_t byte;
    if (!b.noMore && b.loaded >= s.count && !s.ended) NextWindow(d, b);
    if (b.noMore) {
      byte = 0;
    } else if (b.loaded < s.count) {
      byte = s.bytes[b.loaded++];
    } else if (s.endsInMarker) {
      d->marker = s.markerCode;
      b.noMore = true;
      return b;
    } else {
      byte = 0;  // the input ended: it reads as zeros, with no marker
    }
    const int shift = 24 - b.count;
    if (shift < 32) b.buffer |= byte << shift;
    b.count += 8;
  } while (b.count <= 24);
  return b;
}

inline void Grow(Decoder* d, Bits& b) {
  const int bits = b.count;
  if (bits >= 0 && !b.noMore) {
    const int n = (32 - bits) >> 3;  // the bytes the library would take one by one
    if (b.loaded + static_cast<std::size_t>(n) <= b.available) {
      const std::uint64_t word = LoadBigEndian32(b.bytes + b.loaded);
      b.buffer |= static_cast<std::uint32_t>((word >> (32 - 8 * n)) << (32 - bits - 8 * n));
      b.loaded += static_cast<std::size_t>(n);
      b.count = bits + 8 * n;
      return;
    }
  }
  b = GrowSlow(d, b);
}

// A scan's reader state into a local and back, field by field: a copy of the
// whole struct is assembled on the stack and reloaded in wider pieces, a stall
// on every block.
inline void CopyBits(Bits& to, const Bits& from) {
  to.buffer = from.buffer;
  to.count = from.count;
  to.noMore = from.noMore;
  to.loaded = from.loaded;
  to.bytes = from.bytes;
  to.available = from.available;
}

// The library's int arithmetic on damaged values, without the overflow its
// compiler may assume away: wrapped as the processor wraps it.
inline int WrapAdd(int a, int b) {
  return static_cast<int>(static_cast<unsigned>(a) + static_cast<unsigned>(b));
}

inline short WrapMul(int a, int b) {
  return static_cast<short>(static_cast<unsigned>(a) * static_cast<unsigned>(b));
}

inline std::uint32_t RotateLeft(std::uint32_t x, int n) {
  return (x << n) | (x >> ((32 - n) & 31));
}

inline constexpr std::uint32_t kMask[17] = {0,    1,    3,     7,     15,    31,
                                            63,   127,  255,   511,   1023,  2047,
                                            4095, 8191, 16383, 32767, 65535};
inline constexpr int kBias[16] = {0,    -1,   -3,    -7,    -15,   -31,   -63,    -127,
                                  -255, -511, -1023, -2047, -4095, -8191, -16383, -32767};

// A symbol of table h from the bits held (the caller has grown them as the
// library does), or -1 where the code is not in the table or runs past them.
inline int DecodeHeldSymbol(Bits& b, const HuffmanTable& h) {
  const int c = static_cast<int>(b.buffer >> (32 - kFastBits));
  const int e = h.fastSymbol[c];
  if (e != kNoFastSymbol) {
    const int s = e & 15;
    if (s > b.count) return -1;
    b.buffer <<= s;
    b.count -= s;
    return e >> 4;
  }
  const std::uint32_t top = b.buffer >> 16;
  int len = kFastBits + 1;
  while (top >= h.maxcode[len]) ++len;
  if (len == 17) {
    b.count -= 16;
    return -1;
  }
  if (len > b.count) return -1;
  const int index = static_cast<int>((b.buffer >> (32 - len)) & kMask[len]) + h.delta[len];
  b.count -= len;
  b.buffer <<= len;
  // A table built from valid counts keeps index in range; the guard only
  // keeps a damaged one from reading outside it.
  return h.values[index & 255];
}

// A symbol of table h, or -1 where the code is not in the table or runs past
// the bits the library holds.
inline int DecodeSymbol(Decoder* d, Bits& b, const HuffmanTable& h) {
  if (b.count < 16) Grow(d, b);
  return DecodeHeldSymbol(b, h);
}

// The fast AC table's entry for the bits held (the caller grows them first,
// as the library does): value * 256 + run * 16 + bits used, or 0.
inline int PeekFastAc(const Bits& b, const std::int16_t* fac) {
  return fac[b.buffer >> (32 - kFastBits)];
}

// Drops n bits already looked at (at most those held).
inline void SkipBits(Bits& b, int n) {
  b.buffer <<= n;
  b.count -= n;
}

// n (1..15) bits as a signed coefficient (JPEG's receive and extend in one).
inline int ReceiveExtend(Decoder* d, Bits& b, int n) {
  if (b.count < n) Grow(d, b);
  const int negative = static_cast<int>(b.buffer >> 31) ^ 1;
  std::uint32_t k = RotateLeft(b.buffer, n);
  b.buffer = k & ~kMask[n];
  k &= kMask[n];
  b.count -= n;
  return static_cast<int>(k) + (negative ? kBias[n] : 0);
}

inline int GetBits(Decoder* d, Bits& b, int n) {
  if (b.count < n) Grow(d, b);
  std::uint32_t k = RotateLeft(b.buffer, n);
  b.buffer = k & ~kMask[n];
  k &= kMask[n];
  b.count -= n;
  return static_cast<int>(k);
}

inline bool GetBit(Decoder* d, Bits& b) {
  if (b.count < 1) Grow(d, b);
  const std::uint32_t k = b.buffer;
  b.buffer <<= 1;
  --b.count;
  return (k & 0x80000000u) != 0;
}

}  // namespace jpeg
