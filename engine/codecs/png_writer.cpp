// The PNG file around the deflate stream: each row behind the filter the
// reference would choose for it, and the chunks with their CRCs.
#include "engine/codecs/png_writer.h"

#include <cstdint>
#include <cstring>
#include <memory>

#include "engine/codecs/png_deflate.h"

#if defined(__SSE2__) && !defined(QUILLMAR_PORTABLE_CODE)
#include <emmintrin.h>
#endif

namespace {

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

// The zlib stream's check. Its sums, taken a chunk at a time so that they
// stay below 2^32, are the same integers in any order: sixteen bytes add
// 16 * s1 and each byte times its distance from the block's end to s2.
std::uint32_t Adler32(const unsigned char* data, std::size_t n) {
  std::uint32_t s1 = 1, s2 = 0;
  while (n > 0) {
    std::size_t chunk = n < 5552 ? n : 5552;
    n -= chunk;
#if defined(__SSE2__) && !defined(QUILLMAR_PORTABLE_CODE)
    if (const std::size_t blocks = chunk / 16) {
      const __m128i zero = _mm_setzero_si128();
      const __m128i nearEnd = _mm_setr_epi16(16, 15, 14, 13, 12, 11, 10, 9);
      const __m128i atEnd = _mm_setr_epi16(8, 7, 6, 5, 4, 3, 2, 1);
      __m128i bytes = zero, before = zero, weighted = zero;
      for (std::size_t b = 0; b < blocks; ++b, data += 16) {
        const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data));
        before = _mm_add_epi32(before, bytes);  // the block's 16 * (s1 so far)
        bytes = _mm_add_epi32(bytes, _mm_sad_epu8(x, zero));
        weighted = _mm_add_epi32(weighted, _mm_madd_epi16(_mm_unpacklo_epi8(x, zero), nearEnd));
        weighted = _mm_add_epi32(weighted, _mm_madd_epi16(_mm_unpackhi_epi8(x, zero), atEnd));
      }
      const auto sum = [](__m128i v) {
        v = _mm_add_epi32(v, _mm_shuffle_epi32(v, _MM_SHUFFLE(1, 0, 3, 2)));
        v = _mm_add_epi32(v, _mm_shuffle_epi32(v, _MM_SHUFFLE(2, 3, 0, 1)));
        return static_cast<std::uint32_t>(_mm_cvtsi128_si32(v));
      };
      s2 += 16 * (static_cast<std::uint32_t>(blocks) * s1 + sum(before)) + sum(weighted);
      s1 += sum(bytes);
      chunk -= 16 * blocks;
    }
#endif
    for (std::size_t k = 0; k < chunk; ++k) s2 += s1 += data[k];
    data += chunk;
    s1 %= 65521, s2 %= 65521;
  }
  return s2 << 16 | s1;
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

  Block<unsigned char> filtered(static_cast<unsigned char*>(std::malloc(total)));
  // The block grows as the file is written and never past its worst case, the
  // image in stored blocks.
  const std::size_t start = out->length;
  const std::size_t fileEnd = start + 8 + 25 + 12 + 2 + StoredDeflateBytes(total) + 4 + 12 + 64;
  if (!filtered || !ReserveBytes(out, 64) ||
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
  out->length = zlib + 2;
  if (!AppendDeflated(filtered.get(), n, level, out, fileEnd) ||
      !ReserveBytes(out, 24, fileEnd - out->length)) {
    out->length = start;
    return WriteStatus::OutOfMemory;
  }
  const std::size_t end = out->length;
  Put32(out->data + end, Adler32(filtered.get(), total));
  const std::uint32_t zlen = static_cast<std::uint32_t>(end + 4 - zlib);
  chunk = CloseChunk(out->data + idat, zlen);

  std::memcpy(chunk + 4, "IEND", 4);
  chunk = CloseChunk(chunk, 0);
  out->length = static_cast<std::size_t>(chunk - out->data);
  return WriteStatus::Done;
}
