#include "engine/codecs/png_deflate.h"

#include <bit>
#include <cstdlib>
#include <cstring>
#include <memory>

#if defined(__SSE2__) && !defined(QUILLMAR_PORTABLE_CODE)
#include <emmintrin.h>
#endif

namespace {

// The most bytes one step of the match search puts out (two codes of up to 32
// bits), or the end of the stream does (three literals, the end code and the
// last part byte), past the last check for room.
constexpr std::size_t kStepBytes = 32;
// How far ahead of the stream its block is grown at a time (the block itself
// doubles): the file's worst case is never booked while it is being written.
constexpr std::size_t kStretchBytes = std::size_t{1} << 16;

// Fixed-Huffman bits, least significant first, to a block that grows as they
// are written. Up to `room` they are stored without a check.
struct BitSink {
  std::uint64_t pending = 0;
  int count = 0;
  unsigned char* out = nullptr;
  unsigned char* room = nullptr;
  ByteBuffer* buffer = nullptr;
  std::size_t limit = 0;    // a compressed stream ending past this offset is given up
  std::size_t fileEnd = 0;  // the whole file's worst case: the block never grows past it
};

enum class Room { Made, PastLimit, OutOfMemory };

// Called when the stream reaches `room`: the stream is past its limit, or the
// block grows a stretch (the bytes so far count as the buffer's length).
Room MakeRoom(BitSink& s) {
  const std::size_t at = static_cast<std::size_t>(s.out - s.buffer->data);
  if (at > s.limit) return Room::PastLimit;
  s.buffer->length = at;
  const std::size_t most = s.fileEnd - at;
  if (!ReserveBytes(s.buffer, most < kStretchBytes ? most : kStretchBytes, most))
    return Room::OutOfMemory;
  s.out = s.buffer->data + at;
  const std::size_t room = s.buffer->capacity - kStepBytes;
  s.room = s.buffer->data + (room < s.limit + 1 ? room : s.limit + 1);
  return Room::Made;
}

// Up to 32 bits at a time.
inline void PutBits(BitSink& s, std::uint32_t bits, int length) {
  s.pending |= static_cast<std::uint64_t>(bits) << s.count;
  s.count += length;
  if (s.count >= 32) {
    for (int k = 0; k < 4; ++k) s.out[k] = static_cast<unsigned char>(s.pending >> (8 * k));
    s.out += 4;
    s.pending >>= 32;
    s.count -= 32;
  }
}

// The rest, padded with zero bits to a whole byte.
void FinishBits(BitSink& s) {
  for (; s.count > 0; s.count -= 8, s.pending >>= 8) *s.out++ = static_cast<unsigned char>(s.pending);
  s.count = 0;
}

unsigned Reversed(unsigned code, int length) {
  unsigned result = 0;
  for (int k = 0; k < length; ++k, code >>= 1) result = (result << 1) | (code & 1);
  return result;
}

struct Code {
  std::uint32_t bits = 0;
  int length = 0;
};

// The fixed code of a literal/length symbol, bits reversed for output.
Code FixedCode(int symbol) {
  if (symbol <= 143) return {Reversed(0x30 + symbol, 8), 8};
  if (symbol <= 255) return {Reversed(0x190 + symbol - 144, 9), 9};
  if (symbol <= 279) return {Reversed(symbol - 256, 7), 7};
  return {Reversed(0xc0 + symbol - 280, 8), 8};
}

// Literal codes, and each match length's code with its extra bits.
struct FixedCodes {
  Code literal[257];
  Code length[259];
};

const FixedCodes& Codes() {
  static const FixedCodes codes = [] {
    static const int base[] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                               31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258, 259};
    static const int extra[] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
    FixedCodes c;
    for (int symbol = 0; symbol <= 256; ++symbol) c.literal[symbol] = FixedCode(symbol);
    for (int length = 3; length <= 258; ++length) {
      int j = 0;
      while (length > base[j + 1] - 1) ++j;
      const Code code = FixedCode(j + 257);
      c.length[length] = {code.bits | static_cast<std::uint32_t>(length - base[j]) << code.length,
                          code.length + extra[j]};
    }
    return c;
  }();
  return codes;
}

// A distance's 5-bit code and its extra bits.
inline Code DistanceCode(int distance) {
  int j, base;
  if (distance <= 4) {
    j = distance - 1, base = distance;
  } else {
    const unsigned m = static_cast<unsigned>(distance - 1);
    const int top = std::bit_width(m) - 1;
    const int half = (m >> (top - 1)) & 1;
    j = 2 * top + half;
    base = (1 << top) + (half << (top - 1)) + 1;
  }
  const int extra = j < 4 ? 0 : j / 2 - 1;
  static const unsigned char reversed5[30] = {0, 16, 8, 24, 4, 20, 12, 28, 2, 18, 10, 26, 6, 22, 14,
                                              30, 1, 17, 9, 25, 5, 21, 13, 29, 3, 19, 11, 27, 7, 23};
  return {reversed5[j] | static_cast<std::uint32_t>(distance - base) << 5, 5 + extra};
}

constexpr int kHashBuckets = 16384;

inline unsigned Hash3(const unsigned char* p) {
  std::uint32_t hash = p[0] + (p[1] << 8) + (p[2] << 16);
  hash ^= hash << 3;
  hash += hash >> 5;
  hash ^= hash << 4;
  hash += hash >> 17;
  hash ^= hash << 25;
  hash += hash >> 6;
  return hash & (kHashBuckets - 1);
}

// How many bytes at a and b agree, up to limit (at most 258), 16 at a time
// where there is SSE2, else 8.
inline int MatchLength(const unsigned char* a, const unsigned char* b, int limit) {
  int k = 0;
#if defined(__SSE2__) && !defined(QUILLMAR_PORTABLE_CODE)
  for (; k + 16 <= limit; k += 16) {
    const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(a + k));
    const __m128i y = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + k));
    const unsigned differ = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(x, y))) ^ 0xFFFFu;
    if (differ) return k + std::countr_zero(differ);
  }
#endif
  if constexpr (std::endian::native == std::endian::little) {
    for (; k + 8 <= limit; k += 8) {
      std::uint64_t x, y;
      std::memcpy(&x, a + k, 8);
      std::memcpy(&y, b + k, 8);
      if (x != y) return k + std::countr_zero(x ^ y) / 8;
    }
  }
  while (k < limit && a[k] == b[k]) ++k;
  return k;
}

// Whether a and b agree on the last four of their first n bytes (n >= 3; on
// all three for n = 3): what a match of n bytes or more needs, so a candidate
// that fails it can't beat one of n - 1. Four bytes filter more of them out
// than one did, for the same load.
inline bool EndsAlike(const unsigned char* a, const unsigned char* b, int n) {
  std::uint32_t x, y;
  const int from = n >= 4 ? n - 4 : 0;
  std::memcpy(&x, a + from, 4);
  std::memcpy(&y, b + from, 4);
  const std::uint32_t differ = x ^ y;
  if (n >= 4) return differ == 0;
  return (std::endian::native == std::endian::little ? differ & 0xFFFFFFu : differ >> 8) == 0;
}

// Positions of earlier 3-byte strings by hash: each bucket keeps up to twice
// `keep` of them, oldest first, and drops its older half when full. A bucket
// gets its room when first used, so a small image touches little memory.
struct HashChains {
  Block<std::int32_t> slotOf;  // per bucket: its room's number, or -1
  Block<std::int32_t> rooms;   // per bucket used: its count, then its positions
  std::size_t roomSize = 0;    // 1 + 2 * keep
  std::int32_t used = 0;
  int keep = 0;
  std::int32_t* Find(unsigned h) const {
    return slotOf[h] < 0 ? nullptr : rooms.get() + static_cast<std::size_t>(slotOf[h]) * roomSize;
  }
  std::int32_t* Get(unsigned h) {
    if (slotOf[h] < 0) {
      slotOf[h] = used++;
      rooms[static_cast<std::size_t>(slotOf[h]) * roomSize] = 0;
    }
    return Find(h);
  }
};

// The reference's greedy match search with one step of lazy evaluation, made
// faster without changing a decision: a candidate is first checked on the one
// byte that decides whether it could beat the best so far.
// Gives up (the caller stores instead) when the stream grows past its limit.
enum class Deflated { Compressed, TooLong, OutOfMemory };
Deflated DeflateFixed(const unsigned char* data, int n, HashChains& chains, BitSink& sink) {
  const FixedCodes& codes = Codes();
  const int keep = chains.keep;
  unsigned char* room = sink.room;  // a local: the stream's stores may alias the sink
  int i = 0;
  unsigned h = n > 3 ? Hash3(data) : 0;
  while (i < n - 3) {
    if (sink.out >= room) {
      const Room made = MakeRoom(sink);
      if (made != Room::Made)
        return made == Room::PastLimit ? Deflated::TooLong : Deflated::OutOfMemory;
      room = sink.room;
    }
    // The next byte's bucket is wanted by the lazy check or the next step:
    // fetched while this one is searched.
    const unsigned h2 = Hash3(data + i + 1);
    if (const std::int32_t* room = chains.Find(h2)) __builtin_prefetch(room);
    std::int32_t* room = chains.Get(h);
    std::int32_t* list = room + 1;
    int count = room[0];
    int best = 3, bestAt = -1;
    const int reach = n - i < 258 ? n - i : 258;
    for (int j = 0; j < count; ++j) {
      const int p = list[j];
      if (p > i - 32768 && best <= reach && EndsAlike(data + p, data + i, best)) {
        const int d = MatchLength(data + p, data + i, reach);
        if (d >= best) best = d, bestAt = p;
      }
    }
    if (count == 2 * keep) {
      std::memmove(list, list + keep, sizeof(std::int32_t) * keep);
      count = keep;
    }
    list[count++] = i;
    room[0] = count;
    if (bestAt >= 0) {
      // A longer match at the next byte makes this byte a literal.
      const std::int32_t* nextRoom = chains.Find(h2);
      const std::int32_t* next = nextRoom ? nextRoom + 1 : nullptr;
      const int nextCount = nextRoom ? nextRoom[0] : 0;
      const int nextReach = n - i - 1 < 258 ? n - i - 1 : 258;
      for (int j = 0; j < nextCount; ++j) {
        const int p = next[j];
        if (p > i - 32767 && best < nextReach && EndsAlike(data + p, data + i + 1, best + 1) &&
            MatchLength(data + p, data + i + 1, nextReach) > best) {
          bestAt = -1;
          break;
        }
      }
    }
    if (bestAt >= 0) {
      const Code length = codes.length[best];
      const Code distance = DistanceCode(i - bestAt);
      PutBits(sink, length.bits, length.length);
      PutBits(sink, distance.bits, distance.length);
      i += best;
      if (i < n - 3) h = Hash3(data + i);
    } else {
      PutBits(sink, codes.literal[data[i]].bits, codes.literal[data[i]].length);
      ++i;
      h = h2;
    }
  }
  for (; i < n; ++i) PutBits(sink, codes.literal[data[i]].bits, codes.literal[data[i]].length);
  PutBits(sink, codes.literal[256].bits, codes.literal[256].length);
  FinishBits(sink);
  return static_cast<std::size_t>(sink.out - sink.buffer->data) <= sink.limit ? Deflated::Compressed
                                                                               : Deflated::TooLong;
}

// Stored blocks of at most 32767 bytes, each behind its 5-byte header.
unsigned char* StoreBlocks(const unsigned char* data, int n, unsigned char* out) {
  for (int j = 0; j < n;) {
    const int length = n - j < 32767 ? n - j : 32767;
    const unsigned char header[5] = {
        static_cast<unsigned char>(n - j == length), static_cast<unsigned char>(length),
        static_cast<unsigned char>(length >> 8), static_cast<unsigned char>(~length),
        static_cast<unsigned char>(~length >> 8)};
    std::memcpy(out, header, 5);
    std::memcpy(out + 5, data + j, length);
    out += 5 + length;
    j += length;
  }
  return out;
}

}  // namespace

bool AppendDeflated(const unsigned char* data, int n, int level, ByteBuffer* out,
                    std::size_t fileEnd) {
  const std::size_t total = static_cast<std::size_t>(n);
  const int keep = level < 5 ? 5 : level;
  HashChains chains;
  chains.keep = keep;
  chains.roomSize = 1 + 2 * static_cast<std::size_t>(keep);
  // No more buckets are used than positions are entered.
  const std::size_t rooms = total < kHashBuckets ? total : kHashBuckets;
  chains.rooms.reset(static_cast<std::int32_t*>(std::malloc(sizeof(std::int32_t) * chains.roomSize * rooms)));
  chains.slotOf.reset(static_cast<std::int32_t*>(std::malloc(sizeof(std::int32_t) * kHashBuckets)));
  if (!chains.rooms || !chains.slotOf) return false;
  std::memset(chains.slotOf.get(), 0xFF, sizeof(std::int32_t) * kHashBuckets);
  // Stored blocks are the longest the stream gets: a compressed one longer than
  // they would be is given up for them.
  const std::size_t begin = out->length, stored = StoredDeflateBytes(total);
  BitSink sink;
  sink.buffer = out;
  sink.out = out->data + begin;
  sink.limit = begin + stored;
  sink.fileEnd = fileEnd;
  PutBits(sink, 1, 1);  // the last block
  PutBits(sink, 1, 2);  // fixed Huffman codes
  Deflated deflated = MakeRoom(sink) == Room::Made ? DeflateFixed(data, n, chains, sink)
                                                   : Deflated::OutOfMemory;
  if (deflated == Deflated::OutOfMemory) return false;
  if (deflated == Deflated::Compressed) {
    out->length = static_cast<std::size_t>(sink.out - out->data);
    return true;
  }
  out->length = begin;
  if (!ReserveBytes(out, stored, fileEnd - begin)) return false;
  out->length = static_cast<std::size_t>(StoreBlocks(data, n, out->data + begin) - out->data);
  return true;
}
