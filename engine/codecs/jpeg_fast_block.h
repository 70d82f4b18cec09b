#pragma once
// A baseline block decoded away from its window's end (jpeg_entropy.cpp): a
// 64-bit buffer refilled by one load, with the library's bit count carried
// beside it, so that the reader's state after the block is the library's.
//
// Why that state is exact. Between its data's start and the end of a
// segment's window, the library's reader (jpeg_bits.h, as DecodeBlock calls
// it) takes bytes in only at its check points: before a block (count < 16),
// before each Huffman code (count < 16) and before magnitude bits (count < n).
// Each time it takes whole bytes until it holds more than 24 bits, and stops
// there: Grow's load and GrowSlow byte by byte give the same, for every byte
// it takes is in the window. So with B the bits consumed and 8 * loaded the
// bits taken in (window-local, B < 0 for bits held from the window before),
// count = 8 * loaded - B, and after a growth count is the one value in 25..32
// with 8 * loaded a multiple of 8: count + ((32 - count) & ~7). Which check
// points grow follows from the count alone, which falls by exactly the bits
// each code and magnitude takes, the same whatever buffer holds them. So
// following the count through the same check points (FastCheck) and the same
// consumption gives the library's count, hence loaded = (B + count) / 8, and
// its buffer: the count bits from B on, zeros below them (a consumption shifts
// zeros in; a growth fills just the bytes it takes).
//
// The bits themselves are the same wherever they are read from while all the
// library's bytes lie in the window: a block takes at most kBlockBitsMost
// bits, the library then holds at most 32 more, and the 64-bit loads read at
// most 8 bytes past those (the window keeps 8 zero bytes after its data), so
// kFastBlockRoom bits left in the window before the block are enough.
// Decoding never fails there but on a code not in its table or a DC size over
// 15: then the caller decodes the block again on the exact path, from the state
// before it (nothing but `data` has been touched).
#include <cstring>

#include "engine/codecs/jpeg_bits.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace jpeg {

// Clears a block's 64 coefficients: eight stores, written out, where a loop of
// them becomes a string store or memset that costs more to start than to do.
inline void ClearBlock(short* data) {
#if defined(__SSE2__)
  const __m128i zero = _mm_setzero_si128();
  auto* v = reinterpret_cast<__m128i*>(data);
  _mm_storeu_si128(v + 0, zero);
  _mm_storeu_si128(v + 1, zero);
  _mm_storeu_si128(v + 2, zero);
  _mm_storeu_si128(v + 3, zero);
  _mm_storeu_si128(v + 4, zero);
  _mm_storeu_si128(v + 5, zero);
  _mm_storeu_si128(v + 6, zero);
  _mm_storeu_si128(v + 7, zero);
#else
  std::memset(data, 0, 64 * sizeof(short));
#endif
}


// A DC code and its bits, then 63 AC codes and theirs, at 16 + 15 bits each.
inline constexpr int kBlockBitsMost = 64 * (16 + 15);
inline constexpr long kFastBlockRoom = kBlockBitsMost + 64;

inline std::uint64_t LoadBigEndian64(const unsigned char* p) {
  std::uint64_t v;
  std::memcpy(&v, p, 8);
  return __builtin_bswap64(v);
}

// Whether a block can be decoded on the fast path from reader state b.
inline bool FastBlockFits(const Bits& b) {
  const long consumed = 8 * static_cast<long>(b.loaded) - b.count;
  return !b.noMore && 8 * static_cast<long>(b.available) - consumed >= kFastBlockRoom;
}

struct FastBits {
  std::uint64_t acc;  // the next bits, first at the top; the `have` first are the stream's
  int have;
  int count;          // the library's count at this point
  std::size_t next;   // the window byte acc's next load starts at
};

inline void FastRefill(FastBits& f, const unsigned char* bytes) {
  f.acc |= LoadBigEndian64(bytes + f.next) >> f.have;
  f.next += static_cast<std::size_t>((63 - f.have) >> 3);
  f.have |= 56;
}

// One of the library's check points: where it would grow its buffer (count
// below `need`), its count after the growth.
inline void FastCheck(FastBits& f, int need) {
  const int grown = f.count + ((32 - f.count) & ~7);
  f.count = f.count < need ? grown : f.count;
}

inline void FastConsume(FastBits& f, int n) {
  f.acc <<= n;
  f.have -= n;
  f.count -= n;
}

// A symbol of table h from the top of acc and its code's length, or -1 where
// the code is not in the table.
inline int FastSymbol(std::uint64_t acc, const HuffmanTable& h, int* len) {
  const int e = h.fastSymbol[acc >> (64 - kFastBits)];
  if (e != kNoFastSymbol) {
    *len = e & 15;
    return e >> 4;
  }
  const std::uint32_t top = static_cast<std::uint32_t>(acc >> 48);
  int l = kFastBits + 1;
  while (top >= h.maxcode[l]) ++l;
  if (l == 17) return -1;
  *len = l;
  return h.values[(static_cast<int>(acc >> (64 - l)) + h.delta[l]) & 255];
}

// n (1..15) bits at the top of acc as a signed coefficient.
inline int FastExtend(std::uint64_t acc, int n) {
  const int k = static_cast<int>(acc >> (64 - n));
  return (acc >> 63) ? k : k + kBias[n];
}

// DecodeBlock's work on the fast path, with its check points in its order.
// False, with b and c unchanged, where the exact path is to decode the block.
inline bool DecodeBlockFast(Bits& b, short* data, const HuffmanTable& hdc, const HuffmanTable& hac,
                            const std::int16_t* fac, Component* c, const std::uint16_t* dequant,
                            bool* acSeen) {
  const unsigned char* bytes = b.bytes;
  FastBits f;
  f.acc = (static_cast<std::uint64_t>(b.buffer) << 32) & (0xFFFFFFFF00000000ull << (32 - b.count));
  f.have = b.count;
  f.count = b.count;
  f.next = b.loaded;
  ClearBlock(data);
  FastRefill(f, bytes);
  FastCheck(f, 16);  // the block's, then DecodeSymbol's (then a no-op)
  int len;
  const int t = FastSymbol(f.acc, hdc, &len);
  if (t < 0 || t > 15) return false;
  FastConsume(f, len);
  int diff = 0;
  if (t) {
    FastCheck(f, t);
    diff = FastExtend(f.acc, t);
    FastConsume(f, t);
  }
  const int dc = WrapAdd(c->dcPred, diff);
  data[0] = WrapMul(dc, dequant[0]);
  bool seen = false;
  int k = 1;
  do {
    if (f.have < 16 + 15) FastRefill(f, bytes);
    FastCheck(f, 16);
    const int r = fac[f.acc >> (64 - kFastBits)];
    if (r) {
      k += (r >> 4) & 15;
      FastConsume(f, r & 15);
      const int zig = kDezigzag[k++];
      data[zig] = WrapMul(r >> 8, dequant[zig]);
    } else {
      // DecodeSymbol's check point: a no-op after the one above
      const int rs = FastSymbol(f.acc, hac, &len);
      if (rs < 0) return false;
      FastConsume(f, len);
      const int s = rs & 15;
      if (s == 0) {
        if (rs != 0xf0) break;
        k += 16;
      } else {
        k += rs >> 4;
        const int zig = kDezigzag[k++];
        FastCheck(f, s);
        data[zig] = WrapMul(FastExtend(f.acc, s), dequant[zig]);
        FastConsume(f, s);
      }
    }
    seen = true;
  } while (k < 64);
  c->dcPred = dc;
  *acSeen = seen;
  FastRefill(f, bytes);  // holds at least 56 bits: more than the library's count
  const long consumed = 8 * static_cast<long>(f.next) - f.have;
  b.loaded = static_cast<std::size_t>((consumed + f.count) >> 3);
  b.count = f.count;
  b.buffer = static_cast<std::uint32_t>((f.acc >> 32) & (0xFFFFFFFF00000000ull >> f.count));
  return true;
}

}  // namespace jpeg
