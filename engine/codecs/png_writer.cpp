#include "engine/codecs/png_writer.h"

#include <bit>
#include <cstdint>
#include <cstring>
#include <memory>

#if defined(__SSE2__) && !defined(QUILLMAR_PORTABLE_CODE)
#include <emmintrin.h>
#endif

namespace {

struct FreeDeleter {
  void operator()(void* p) const { std::free(p); }
};
template <typename T>
using Block = std::unique_ptr<T[], FreeDeleter>;

// ---- Row filters -------------------------------------------------------------

// The Paeth predictor of the PNG standard, ties going to left, then up.
inline int Paeth(int a, int b, int c) {
  const int p = a + b - c;
  const int pa = p > a ? p - a : a - p, pb = p > b ? p - b : b - p, pc = p > c ? p - c : c - p;
  if (pa <= pb && pa <= pc) return a;
  return pb <= pc ? b : c;
}

// The byte filter `type` leaves of x, given left a, up b and up-left c (zero
// where the image has no such neighbour: the first row and the first pixel).
inline unsigned char Filtered(int type, int x, int a, int b, int c) {
  switch (type) {
    case 1: return static_cast<unsigned char>(x - a);
    case 2: return static_cast<unsigned char>(x - b);
    case 3: return static_cast<unsigned char>(x - ((a + b) >> 1));
    case 4: return static_cast<unsigned char>(x - Paeth(a, b, c));
    default: return static_cast<unsigned char>(x);
  }
}

// What the choice of filter weighs: the bytes' magnitudes taken as signed.
inline unsigned Weight(unsigned char byte) {
  const int s = static_cast<signed char>(byte);
  return static_cast<unsigned>(s < 0 ? -s : s);
}

#if defined(__SSE2__) && !defined(QUILLMAR_PORTABLE_CODE)
// Sixteen bytes from i on (i >= n) under all five filters, as the scalar
// Filtered() makes them: SSE2 has all it takes, Paeth in 16-bit lanes.
inline void FilterSixteen(const unsigned char* z, const unsigned char* up, std::size_t i, int n,
                          __m128i f[5]) {
  const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(z + i));
  const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(z + i - n));
  const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(up + i));
  const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(up + i - n));
  const __m128i zero = _mm_setzero_si128();
  f[0] = x;
  f[1] = _mm_sub_epi8(x, a);
  f[2] = _mm_sub_epi8(x, b);
  const __m128i floorAverage =
      _mm_sub_epi8(_mm_avg_epu8(a, b), _mm_and_si128(_mm_xor_si128(a, b), _mm_set1_epi8(1)));
  f[3] = _mm_sub_epi8(x, floorAverage);
  __m128i predicted[2];
  for (int half = 0; half < 2; ++half) {
    const __m128i a16 = half ? _mm_unpackhi_epi8(a, zero) : _mm_unpacklo_epi8(a, zero);
    const __m128i b16 = half ? _mm_unpackhi_epi8(b, zero) : _mm_unpacklo_epi8(b, zero);
    const __m128i c16 = half ? _mm_unpackhi_epi8(c, zero) : _mm_unpacklo_epi8(c, zero);
    // p = a + b - c: |p - a| = |b - c|, |p - b| = |a - c|, |p - c| = |a + b - 2c|.
    const __m128i bc = _mm_sub_epi16(b16, c16), ac = _mm_sub_epi16(a16, c16);
    const __m128i abc = _mm_add_epi16(bc, ac);
    const __m128i pa = _mm_max_epi16(bc, _mm_sub_epi16(zero, bc));
    const __m128i pb = _mm_max_epi16(ac, _mm_sub_epi16(zero, ac));
    const __m128i pc = _mm_max_epi16(abc, _mm_sub_epi16(zero, abc));
    const __m128i notA = _mm_or_si128(_mm_cmpgt_epi16(pa, pb), _mm_cmpgt_epi16(pa, pc));
    const __m128i notB = _mm_cmpgt_epi16(pb, pc);
    const __m128i bOrC = _mm_or_si128(_mm_and_si128(notB, c16), _mm_andnot_si128(notB, b16));
    predicted[half] = _mm_or_si128(_mm_and_si128(notA, bOrC), _mm_andnot_si128(notA, a16));
  }
  f[4] = _mm_sub_epi8(x, _mm_packus_epi16(predicted[0], predicted[1]));
}

// The sum of the bytes' magnitudes taken as signed (-128 weighs 128).
inline __m128i WeighSixteen(__m128i bytes) {
  const __m128i negative = _mm_cmpgt_epi8(_mm_setzero_si128(), bytes);
  const __m128i magnitude = _mm_sub_epi8(_mm_xor_si128(bytes, negative), negative);
  return _mm_sad_epu8(magnitude, _mm_setzero_si128());
}
#endif

// The filter with the smallest weight for the row, the first of equals; all
// five are weighed in one pass. The sums wrap as the reference's int sums do.
int ChooseFilter(const unsigned char* z, const unsigned char* up, std::size_t length, int n) {
  unsigned sum[5] = {0, 0, 0, 0, 0};
  const std::size_t first = static_cast<std::size_t>(n) < length ? n : length;
  for (std::size_t i = 0; i < first; ++i)
    for (int type = 0; type < 5; ++type) sum[type] += Weight(Filtered(type, z[i], 0, up[i], 0));
  std::size_t i = first;
#if defined(__SSE2__) && !defined(QUILLMAR_PORTABLE_CODE)
  __m128i wide[5] = {};
  for (; i + 16 <= length; i += 16) {
    __m128i f[5];
    FilterSixteen(z, up, i, n, f);
    for (int type = 0; type < 5; ++type) wide[type] = _mm_add_epi64(wide[type], WeighSixteen(f[type]));
  }
  for (int type = 0; type < 5; ++type)
    sum[type] += static_cast<unsigned>(_mm_cvtsi128_si32(wide[type])) +
                 static_cast<unsigned>(_mm_cvtsi128_si32(_mm_srli_si128(wide[type], 8)));
#endif
  for (; i < length; ++i) {
    const int x = z[i], a = z[i - n], b = up[i], c = up[i - n];
    sum[0] += Weight(static_cast<unsigned char>(x));
    sum[1] += Weight(static_cast<unsigned char>(x - a));
    sum[2] += Weight(static_cast<unsigned char>(x - b));
    sum[3] += Weight(static_cast<unsigned char>(x - ((a + b) >> 1)));
    sum[4] += Weight(static_cast<unsigned char>(x - Paeth(a, b, c)));
  }
  int best = 0, bestWeight = 0x7fffffff;
  for (int type = 0; type < 5; ++type)
    if (static_cast<int>(sum[type]) < bestWeight) bestWeight = static_cast<int>(sum[type]), best = type;
  return best;
}

void FilterRow(int type, const unsigned char* z, const unsigned char* up, std::size_t length, int n,
               unsigned char* out) {
  const std::size_t first = static_cast<std::size_t>(n) < length ? n : length;
  for (std::size_t i = 0; i < first; ++i) out[i] = Filtered(type, z[i], 0, up[i], 0);
  std::size_t i = first;
#if defined(__SSE2__) && !defined(QUILLMAR_PORTABLE_CODE)
  for (; i + 16 <= length; i += 16) {
    __m128i f[5];
    FilterSixteen(z, up, i, n, f);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), f[type]);
  }
#endif
  for (; i < length; ++i) out[i] = Filtered(type, z[i], z[i - n], up[i], up[i - n]);
}

// Each row behind its filter's type byte; the first row's "up" is a row of zeros.
bool FilterImage(const unsigned char* pixels, int width, int height, int n, unsigned char* out) {
  const std::size_t length = static_cast<std::size_t>(width) * n;
  Block<unsigned char> zeros(static_cast<unsigned char*>(std::calloc(length, 1)));
  if (!zeros) return false;
  const unsigned char* up = zeros.get();
  for (int row = 0; row < height; ++row, out += length + 1) {
    const unsigned char* z = pixels + row * length;
    const int type = ChooseFilter(z, up, length, n);
    out[0] = static_cast<unsigned char>(type);
    FilterRow(type, z, up, length, n, out + 1);
    up = z;
  }
  return true;
}

// ---- Deflate -----------------------------------------------------------------

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

std::uint32_t Adler32(const unsigned char* data, std::size_t n) {
  std::uint32_t s1 = 1, s2 = 0;
  while (n > 0) {
    const std::size_t chunk = n < 5552 ? n : 5552;
    for (std::size_t k = 0; k < chunk; ++k) s2 += s1 += data[k];
    s1 %= 65521, s2 %= 65521;
    data += chunk, n -= chunk;
  }
  return s2 << 16 | s1;
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

// ---- Chunks ------------------------------------------------------------------

// CRC-32 eight bytes a step ("slicing by 8").
const std::uint32_t (&CrcTables())[8][256] {
  static const auto tables = [] {
    struct T {
      std::uint32_t t[8][256];
    } r{};
    for (std::uint32_t b = 0; b < 256; ++b) {
      std::uint32_t c = b;
      for (int k = 0; k < 8; ++k) c = c & 1 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      r.t[0][b] = c;
    }
    for (int s = 1; s < 8; ++s)
      for (int b = 0; b < 256; ++b) r.t[s][b] = (r.t[s - 1][b] >> 8) ^ r.t[0][r.t[s - 1][b] & 0xFF];
    return r;
  }();
  return tables.t;
}

std::uint32_t Crc32(const unsigned char* p, std::size_t n) {
  const auto& t = CrcTables();
  std::uint32_t crc = ~0u;
  for (; n >= 8; n -= 8, p += 8) {
    const std::uint32_t lo = crc ^ (p[0] | p[1] << 8 | p[2] << 16 | static_cast<std::uint32_t>(p[3]) << 24);
    crc = t[7][lo & 0xFF] ^ t[6][(lo >> 8) & 0xFF] ^ t[5][(lo >> 16) & 0xFF] ^ t[4][lo >> 24] ^
          t[3][p[4]] ^ t[2][p[5]] ^ t[1][p[6]] ^ t[0][p[7]];
  }
  for (; n > 0; --n, ++p) crc = (crc >> 8) ^ t[0][(crc ^ *p) & 0xFF];
  return ~crc;
}

unsigned char* Put32(unsigned char* o, std::uint32_t v) {
  o[0] = static_cast<unsigned char>(v >> 24), o[1] = static_cast<unsigned char>(v >> 16);
  o[2] = static_cast<unsigned char>(v >> 8), o[3] = static_cast<unsigned char>(v);
  return o + 4;
}

// Closes the chunk whose length field is at `chunk`: its CRC covers type and data.
unsigned char* CloseChunk(unsigned char* chunk, std::uint32_t length) {
  Put32(chunk, length);
  return Put32(chunk + 8 + length, Crc32(chunk + 4, length + 4));
}

}  // namespace

WriteStatus WritePng(const unsigned char* pixels, int width, int height, int channels, int level,
                     ByteBuffer* out) {
  if (!pixels || width <= 0 || height <= 0 || channels < 1 || channels > 4)
    return WriteStatus::Refused;
  const std::size_t rowBytes = static_cast<std::size_t>(width) * channels;
  const std::size_t total = (rowBytes + 1) * height;
  if (total > 0x7fffffffu - 0x10000u) return WriteStatus::Refused;  // the reference counts in int
  const int n = static_cast<int>(total);
  const int keep = level < 5 ? 5 : level;

  Block<unsigned char> filtered(static_cast<unsigned char*>(std::malloc(total)));
  HashChains chains;
  chains.keep = keep;
  chains.roomSize = 1 + 2 * static_cast<std::size_t>(keep);
  // No more buckets are used than positions are entered.
  const std::size_t rooms = total < kHashBuckets ? total : kHashBuckets;
  chains.rooms.reset(static_cast<std::int32_t*>(std::malloc(sizeof(std::int32_t) * chains.roomSize * rooms)));
  chains.slotOf.reset(static_cast<std::int32_t*>(std::malloc(sizeof(std::int32_t) * kHashBuckets)));
  if (chains.slotOf) std::memset(chains.slotOf.get(), 0xFF, sizeof(std::int32_t) * kHashBuckets);
  // Stored blocks are the longest the stream gets: a compressed one longer than
  // they would be is given up for them. The block grows as the file is written
  // and never past that worst case.
  const std::size_t stored = 2 + total + ((total + 32766) / 32767) * 5;
  const std::size_t start = out->length;
  const std::size_t fileEnd = start + 8 + 25 + 12 + stored + 4 + 12 + 64;
  if (!filtered || !chains.rooms || !chains.slotOf || !ReserveBytes(out, 64) ||
      !FilterImage(pixels, width, height, channels, filtered.get()))
    return WriteStatus::OutOfMemory;

  static const unsigned char kSignature[8] = {137, 80, 78, 71, 13, 10, 26, 10};
  static const unsigned char kColourType[5] = {0, 0, 4, 2, 6};
  unsigned char* o = out->data + start;
  std::memcpy(o, kSignature, 8);
  unsigned char* chunk = o + 8;
  std::memcpy(chunk + 4, "IHDR", 4);
  Put32(chunk + 8, static_cast<std::uint32_t>(width));
  Put32(chunk + 12, static_cast<std::uint32_t>(height));
  const unsigned char format[5] = {8, kColourType[channels], 0, 0, 0};
  std::memcpy(chunk + 16, format, 5);
  chunk = CloseChunk(chunk, 13);

  // The block moves as it grows: from here on places in it are offsets.
  const std::size_t idat = static_cast<std::size_t>(chunk - out->data), zlib = idat + 8;
  std::memcpy(chunk + 4, "IDAT", 4);
  chunk[8] = 0x78, chunk[9] = 0x5e;
  BitSink sink;
  sink.buffer = out;
  sink.out = out->data + zlib + 2;
  sink.limit = zlib + stored;
  sink.fileEnd = fileEnd;
  PutBits(sink, 1, 1);  // the last block
  PutBits(sink, 1, 2);  // fixed Huffman codes
  Deflated deflated = MakeRoom(sink) == Room::Made ? DeflateFixed(filtered.get(), n, chains, sink)
                                                   : Deflated::OutOfMemory;
  std::size_t end = static_cast<std::size_t>(sink.out - out->data);
  if (deflated == Deflated::TooLong) {
    out->length = zlib + 2;
    if (ReserveBytes(out, stored, fileEnd - out->length))
      end = static_cast<std::size_t>(StoreBlocks(filtered.get(), n, out->data + zlib + 2) - out->data);
    else
      deflated = Deflated::OutOfMemory;
  }
  // The Adler-32, the IDAT's CRC and IEND.
  out->length = end;
  if (deflated == Deflated::OutOfMemory || !ReserveBytes(out, 24, fileEnd - end)) {
    out->length = start;
    return WriteStatus::OutOfMemory;
  }
  Put32(out->data + end, Adler32(filtered.get(), total));
  const std::uint32_t zlen = static_cast<std::uint32_t>(end + 4 - zlib);
  chunk = CloseChunk(out->data + idat, zlen);

  std::memcpy(chunk + 4, "IEND", 4);
  chunk = CloseChunk(chunk, 0);
  out->length = static_cast<std::size_t>(chunk - out->data);
  return WriteStatus::Done;
}
