#pragma once
// The bit reader of the entropy decoder (included by jpeg_entropy.cpp only).
// It keeps the library's 32-bit buffer and count exactly: where a stream runs
// into a marker, whether a code is refused and where the next marker is looked
// for all hang on how many bits the library had taken in at that moment. The
// bytes come from the segment read ahead (stuffing removed), so a refill far
// from the segment's end is one load instead of a test per byte.
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
inline void GrowSlow(Decoder* d) {
  const Segment& s = d->segment;
  do {
    std::uint32_t b;
    if (d->noMore) {
      b = 0;
    } else if (d->loaded < s.count) {
      b = s.bytes[d->loaded++];
    } else if (s.endsInMarker) {
      d->marker = s.markerCode;
      d->noMore = true;
      return;
    } else {
      b = 0;  // the input ended: it reads as zeros, with no marker
    }
    const int shift = 24 - d->codeBits;
    if (shift < 32) d->codeBuffer |= b << shift;
    d->codeBits += 8;
  } while (d->codeBits <= 24);
}

inline void Grow(Decoder* d) {
  const int bits = d->codeBits;
  if (bits >= 0 && !d->noMore) {
    const int n = (32 - bits) >> 3;  // the bytes the library would take one by one
    if (d->loaded + static_cast<std::size_t>(n) <= d->segment.count) {
      const std::uint64_t word = LoadBigEndian32(d->segment.bytes.data() + d->loaded);
      d->codeBuffer |= static_cast<std::uint32_t>((word >> (32 - 8 * n)) << (32 - bits - 8 * n));
      d->loaded += static_cast<std::size_t>(n);
      d->codeBits = bits + 8 * n;
      return;
    }
  }
  GrowSlow(d);
}

inline std::uint32_t RotateLeft(std::uint32_t x, int n) {
  return (x << n) | (x >> ((32 - n) & 31));
}

inline constexpr std::uint32_t kMask[17] = {0,    1,    3,     7,     15,    31,
                                            63,   127,  255,   511,   1023,  2047,
                                            4095, 8191, 16383, 32767, 65535};
inline constexpr int kBias[16] = {0,    -1,   -3,    -7,    -15,   -31,   -63,    -127,
                                  -255, -511, -1023, -2047, -4095, -8191, -16383, -32767};

// A symbol of table h, or -1 where the code is not in the table or runs past
// the bits the library holds.
inline int DecodeSymbol(Decoder* d, const HuffmanTable& h) {
  if (d->codeBits < 16) Grow(d);
  const int c = static_cast<int>(d->codeBuffer >> (32 - kFastBits));
  const int k = h.fast[c];
  if (k < 255) {
    const int s = h.size[k];
    if (s > d->codeBits) return -1;
    d->codeBuffer <<= s;
    d->codeBits -= s;
    return h.values[k];
  }
  const std::uint32_t top = d->codeBuffer >> 16;
  int len = kFastBits + 1;
  while (top >= h.maxcode[len]) ++len;
  if (len == 17) {
    d->codeBits -= 16;
    return -1;
  }
  if (len > d->codeBits) return -1;
  const int index = static_cast<int>((d->codeBuffer >> (32 - len)) & kMask[len]) + h.delta[len];
  d->codeBits -= len;
  d->codeBuffer <<= len;
  // A table built from valid counts keeps index in range; the guard only
  // keeps a damaged one from reading outside it.
  return h.values[index & 255];
}

// n (1..15) bits as a signed coefficient (JPEG's receive and extend in one).
inline int ReceiveExtend(Decoder* d, int n) {
  if (d->codeBits < n) Grow(d);
  const int negative = static_cast<int>(d->codeBuffer >> 31) ^ 1;
  std::uint32_t k = RotateLeft(d->codeBuffer, n);
  d->codeBuffer = k & ~kMask[n];
  k &= kMask[n];
  d->codeBits -= n;
  return static_cast<int>(k) + (negative ? kBias[n] : 0);
}

inline int GetBits(Decoder* d, int n) {
  if (d->codeBits < n) Grow(d);
  std::uint32_t k = RotateLeft(d->codeBuffer, n);
  d->codeBuffer = k & ~kMask[n];
  k &= kMask[n];
  d->codeBits -= n;
  return static_cast<int>(k);
}

inline bool GetBit(Decoder* d) {
  if (d->codeBits < 1) Grow(d);
  const std::uint32_t k = d->codeBuffer;
  d->codeBuffer <<= 1;
  --d->codeBits;
  return (k & 0x80000000u) != 0;
}

}  // namespace jpeg
