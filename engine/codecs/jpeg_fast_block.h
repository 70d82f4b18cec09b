#pragma once
// A baseline block decoded away from its window's end (jpeg_entropy.cpp): a
// 64-bit buffer refilled by one load, with the library's bit count carried
// beside it, so that where the fast path stops the reader's state is the
// library's, and the library's steps (DecodeBlock, DecodeAc) go on from there.
//
// Why that state is exact. Between its data's start and the end of a
// segment's window, the library's reader (jpeg_bits.h, as DecodeBlock calls
// it) takes bytes in only at its check points: before a block (count < 16),
// before each Huffman code (count < 16) and before magnitude bits (count < n).
// Each time it takes whole bytes until it holds more than 24 bits, and stops
// there: Grow's load and GrowSlow byte by byte give the same, for every byte
// it takes is in the window. So with B the bits consumed and 8 * loaded the
// bits taken in (window-local, B < 0 for bits held from the window before),
// count = 8 * loaded - B. A check point at B grows where count < need, and
// after the growth count is the one value in 25..32 that keeps 8 * loaded a
// multiple of 8: 8 * loaded = (B & ~7) + 32. Which check points grow follows
// from 8 * loaded and B alone, and B moves on by exactly the bits each code and
// magnitude takes, the same whatever buffer holds them. So following 8 *
// loaded (less 16: FastBits::grows) through the same check points (FastCheck)
// and the same consumption gives the library's loaded and count, and its
// buffer: the count bits from B on, zeros below them
// (a consumption shifts zeros in; a growth fills just the bytes it takes).
//
// The bits are the same wherever they are read from while all the library's
// bytes lie in the window. Between two refills at most 63 bits are consumed
// (a refill leaves at most 63; one comes whenever fewer than 31, a code and
// its magnitude, are left), the library holds at most 32 bits past them, and
// a load reads 8 bytes from where the bits held end (the window keeps 8 zero
// bytes after its data). So the fast path refills only with kFastRoom bits
// left in the window after the bits consumed, and hands over where fewer are.
// A code not in its table or a DC size over 15 hands over too: the library's
// steps then fail at the same code.
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

inline constexpr long kFastRoom = 63 + 64;
// What DecodeBlockFast gives for a block decoded to its end.
inline constexpr int kFastBlockDone = 64;

inline std::uint64_t LoadBigEndian64(const unsigned char* p) {
  std::uint64_t v;
  std::memcpy(&v, p, 8);
  return __builtin_bswap64(v);
}

struct FastBits {
  std::uint64_t acc;  // the next bits, first at the top (FastHave of them are the stream's)
  std::size_t next;   // the window byte acc's next load starts at
  long used;          // the bits consumed
  long refillAt;      // past this many bits consumed, fewer than 16 + 15 are held
  // The library's bytes taken in, times 8, less 16: where its count is
  // below 16, which is the test at each of its check points before a code.
  long grows;
};

// The bits acc holds: those loaded less those consumed.
inline int FastHave(const FastBits& f) { return static_cast<int>(8 * static_cast<long>(f.next) - f.used); }

// Whether the fast path may refill and go on: kFastRoom bits left (limit:
// the window's bits less kFastRoom).
inline bool FastRoom(const FastBits& f, long limit) { return f.used <= limit; }

inline void FastRefill(FastBits& f, const unsigned char* bytes) {
  const int have = FastHave(f);
  f.acc |= LoadBigEndian64(bytes + f.next) >> have;
  f.next += static_cast<std::size_t>((63 - have) >> 3);
  f.refillAt = 8 * static_cast<long>(f.next) - (16 + 15);
}

// One of the library's check points, `ahead` bits past those consumed: where
// its count there is below `need` it takes whole bytes until it holds more than
// 24 bits, the fewest that reach 25 bits past that point. A select, not a
// branch: a branch on it would be mispredicted time and again.
inline void FastCheck(FastBits& f, int need, long ahead = 0) {
  const long at = f.used + ahead;
  const long grown = (at & ~7L) + 32 - 16;
  f.grows = at + need - 16 > f.grows ? grown : f.grows;
}

inline void FastConsume(FastBits& f, int n) {
  f.acc <<= n;
  f.used += n;
}

// The library's state where the fast path stops (after a refill, which the
// room checked before it keeps within the window).
inline void FastToBits(FastBits& f, const unsigned char* bytes, Bits& b) {
  FastRefill(f, bytes);  // at least 56 bits held: more than the library's count
  const long loaded8 = f.grows + 16;
  const int count = static_cast<int>(loaded8 - f.used);
  b.loaded = static_cast<std::size_t>(loaded8 >> 3);
  b.count = count;
  b.buffer = static_cast<std::uint32_t>((f.acc >> 32) & (0xFFFFFFFF00000000ull >> count));
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

// n (1..15) bits at the top of acc as a signed coefficient (a leading 0 bit:
// negative, less 2^n - 1), in arithmetic: the sign is a coin toss to a branch.
inline int FastExtend(std::uint64_t acc, int n) {
  const int k = static_cast<int>(acc >> (64 - n));
  const int negative = static_cast<int>(~acc >> 63);
  return k - (negative << n) + negative;
}

// An AC code the wide look-up doesn't hold, by the library's steps: false
// where it is not in its table. Moves k on as the library's loop does.
inline bool FastSlowCode(FastBits& f, short* data, const HuffmanTable& hac,
                         const std::uint16_t* dequant, int& k) {
  int len;
  // the check point before the code, DecodeSymbol's (a no-op), the code
  const int rs = FastSymbol(f.acc, hac, &len);
  if (rs < 0) return false;
  FastCheck(f, 16);
  FastConsume(f, len);
  const int s = rs & 15;
  if (s == 0) {
    k += rs == 0xf0 ? 16 : kEndOfBlockRun + 1;
  } else {
    k += rs >> 4;
    const int zig = kDezigzag[k++];
    FastCheck(f, s);
    data[zig] = WrapMul(FastExtend(f.acc, s), dequant[zig]);
    FastConsume(f, s);
  }
  return true;
}

// Where a refill is due: false where the window has no room left for it.
inline bool FastRefillIfDue(FastBits& f, const unsigned char* bytes, long limit) {
  if (f.used > f.refillAt) {
    if (!FastRoom(f, limit)) return false;
    FastRefill(f, bytes);
  }
  return true;
}

// The position a block's AC codes are taken two at a time below: a code
// there, with its run of at most 15, lies before the block's last
// coefficient, so the code after it is still the block's.
inline constexpr int kPairsBelow = 63 - 15;

// DecodeBlock's work on the fast path, with its check points in its order.
// Gives kFastBlockDone for a block decoded; 0 where the library's steps are to
// decode it all (b, c and *acSeen unchanged); else the zigzag position k from
// which DecodeAc is to go on, with the DC coefficient, *acSeen and b as the
// library's are there.
inline int DecodeBlockFast(Bits& b, short* data, const HuffmanTable& hdc, const HuffmanTable& hac,
                           const std::uint64_t* wac, Component* c, const std::uint16_t* dequant,
                           bool* acSeen) {
  const unsigned char* bytes = b.bytes;
  const long limit = 8 * static_cast<long>(b.available) - kFastRoom;
  FastBits f;
  f.acc = (static_cast<std::uint64_t>(b.buffer) << 32) & (0xFFFFFFFF00000000ull << (32 - b.count));
  f.next = b.loaded;
  f.used = 8 * static_cast<long>(b.loaded) - b.count;
  f.grows = 8 * static_cast<long>(b.loaded) - 16;
  if (b.noMore || !FastRoom(f, limit)) return 0;
  FastRefill(f, bytes);
  // the block's check point, then DecodeSymbol's (a no-op after it), the code
  int len;
  const int t = FastSymbol(f.acc, hdc, &len);
  if (t < 0 || t > 15) return 0;
  FastCheck(f, 16);
  FastConsume(f, len);
  ClearBlock(data);
  int diff = 0;
  if (t) {
    FastCheck(f, t);
    diff = FastExtend(f.acc, t);
    FastConsume(f, t);
  }
  const int dc = WrapAdd(c->dcPred, diff);
  c->dcPred = dc;
  data[0] = WrapMul(dc, dequant[0]);
  // k moves on by at least one for each code but the end of the block, so
  // k > 1 tells whether an AC code other than that was read.
  //
  // Each wide entry holds one or two codes with their bits (Decoder::wideAc).
  // The check point before each code, then the code and its bits at once: the
  // library takes them in two steps where they are more than its look-up's
  // kFastBits, but after the check it holds at least 16 bits, so the check
  // before the bits (fewer than 16 - the code's length) never grows. The shift
  // takes its count straight from the entry's low byte (masked as the
  // processor masks one), the one step between a look-up and the next.
  int k = 1;
  bool ok = true;
  while (k < kPairsBelow) {
    if (!FastRefillIfDue(f, bytes, limit)) {
      ok = false;
      break;
    }
    const std::uint64_t e = wac[f.acc >> (64 - kWideBits)];
    if (!e) {
      if (!(ok = FastSlowCode(f, data, hac, dequant, k))) break;
      continue;
    }
    // A single code's second check is its first again and its second store
    // repeats its first; a run of 16 zeros and the end of the block store a
    // zero where no coefficient is yet.
    f.acc <<= (e & 63);
    FastCheck(f, 16);
    FastCheck(f, 16, static_cast<long>((e >> 8) & 255));
    f.used += static_cast<long>(e & 255);
    const int first = k + static_cast<int>((e >> 16) & 255);
    int zig = kDezigzag[first];
    data[zig] = WrapMul(static_cast<std::int16_t>(e >> 32), dequant[zig]);
    k = first + static_cast<int>((e >> 24) & 255);
    zig = kDezigzag[k++];
    data[zig] = WrapMul(static_cast<std::int16_t>(e >> 48), dequant[zig]);
  }
  // The block's last codes one at a time: the first code of each entry.
  while (ok && k < 64) {
    if (!FastRefillIfDue(f, bytes, limit)) break;
    const std::uint64_t e = wac[f.acc >> (64 - kWideBits)];
    if (!e) {
      if (!FastSlowCode(f, data, hac, dequant, k)) break;
      continue;
    }
    const int firstBits = static_cast<int>((e >> 8) & 255);
    FastCheck(f, 16);
    FastConsume(f, firstBits ? firstBits : static_cast<int>(e & 255));
    k += static_cast<int>((e >> 16) & 255);
    const int zig = kDezigzag[k++];
    data[zig] = WrapMul(static_cast<std::int16_t>(e >> 32), dequant[zig]);
  }
  FastToBits(f, bytes, b);
  if (k > kEndOfBlockRun) {
    *acSeen = k - (kEndOfBlockRun + 1) > 1;  // ended by its code at k - kEndOfBlockRun - 1
    return kFastBlockDone;
  }
  *acSeen = k > 1;
  return k < 64 ? k : kFastBlockDone;
}

}  // namespace jpeg
