// The decoder's YCbCr to RGB conversion in AVX2: sixteen pixels at a time, each
// 16-bit lane the same integers as the SSE2 code in jpeg_color.cpp (see there),
// and the RGB bytes put in order by byte shuffles instead of a store a pixel.
// Only this file is built with -mavx2, and it only runs where the processor has
// AVX2 (see YCbCrToRgb); everything here has internal linkage but the pointer.
#include "engine/codecs/jpeg_internal.h"

#if defined(__AVX2__) && !defined(QUILLMAR_PORTABLE_CODE)
#include <immintrin.h>

namespace {

// The byte shuffles: byte j of each half's 24 output bytes (pixel j / 3,
// channel j % 3) comes from red and green bytes 0..7 and 8..15 of one register
// or from blue bytes 0..7 of another; -128 (0x80) gives zero. The first 16
// bytes, then the last 8, each row of masks the same for both halves.
struct ShuffleMasks {
  alignas(32) char firstRedGreen[32], firstBlue[32], restRedGreen[32], restBlue[32];
  constexpr ShuffleMasks() : firstRedGreen{}, firstBlue{}, restRedGreen{}, restBlue{} {
    for (int at = 0; at < 32; ++at) {
      const int j = at % 16;  // the byte in its half
      for (int part = 0; part < 2; ++part) {
        const int out = j + 16 * part;  // the output byte of the half
        const char redGreen = out >= 24 || out % 3 == 2 ? -128 : static_cast<char>(out % 3 * 8 + out / 3);
        const char blue = out < 24 && out % 3 == 2 ? static_cast<char>(out / 3) : -128;
        (part ? restRedGreen : firstRedGreen)[at] = redGreen;
        (part ? restBlue : firstBlue)[at] = blue;
      }
    }
  }
};
constexpr ShuffleMasks kMasks;

__m256i Mask(const char* m) { return _mm256_load_si256(reinterpret_cast<const __m256i*>(m)); }

__m256i Widen(const unsigned char* p) {
  return _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
}

int YCbCrToRgbAvx2(unsigned char* out, const unsigned char* y, const unsigned char* cb,
                   const unsigned char* cr, int count) {
  const __m256i zero = _mm256_setzero_si256();
  const __m256i center = _mm256_set1_epi16(128);
  const __m256i round = _mm256_set1_epi32(2048);
  const __m256i toR = _mm256_set1_epi32(4096 | 5743 << 16);
  const __m256i toB = _mm256_set1_epi32(4096 | 7258 << 16);
  const __m256i toG = _mm256_set1_epi32(4096 | static_cast<int>(static_cast<unsigned>(-2925) << 16));
  const __m256i cbToG = _mm256_set1_epi32(-1410 & 0xFFFF);
  const __m256i firstRedGreen = Mask(kMasks.firstRedGreen), firstBlue = Mask(kMasks.firstBlue);
  const __m256i restRedGreen = Mask(kMasks.restRedGreen), restBlue = Mask(kMasks.restBlue);
  int i = 0;
  for (; i + 16 <= count; i += 16) {
    const __m256i yw = Widen(y + i);
    const __m256i cbw = _mm256_sub_epi16(Widen(cb + i), center);
    const __m256i crw = _mm256_sub_epi16(Widen(cr + i), center);
    // unpack and pack both work within each 128-bit half: pixels come back in order
    const __m256i ycrLo = _mm256_unpacklo_epi16(yw, crw), ycrHi = _mm256_unpackhi_epi16(yw, crw);
    const __m256i ycbLo = _mm256_unpacklo_epi16(yw, cbw), ycbHi = _mm256_unpackhi_epi16(yw, cbw);
    const __m256i cbLo = _mm256_unpacklo_epi16(cbw, zero), cbHi = _mm256_unpackhi_epi16(cbw, zero);
    auto finish = [&](__m256i lo, __m256i hi) {
      return _mm256_packs_epi32(_mm256_srai_epi32(_mm256_add_epi32(lo, round), 12),
                                _mm256_srai_epi32(_mm256_add_epi32(hi, round), 12));
    };
    auto cut = [&](__m256i v) {
      return _mm256_slli_epi32(_mm256_srai_epi32(_mm256_madd_epi16(v, cbToG), 8), 8);
    };
    const __m256i r = finish(_mm256_madd_epi16(ycrLo, toR), _mm256_madd_epi16(ycrHi, toR));
    const __m256i b = finish(_mm256_madd_epi16(ycbLo, toB), _mm256_madd_epi16(ycbHi, toB));
    const __m256i g = finish(_mm256_add_epi32(_mm256_madd_epi16(ycrLo, toG), cut(cbLo)),
                             _mm256_add_epi32(_mm256_madd_epi16(ycrHi, toG), cut(cbHi)));
    // Each half: red 0..7 and green 0..7 of its eight pixels, and blue twice.
    const __m256i redGreen = _mm256_packus_epi16(r, g);
    const __m256i blue = _mm256_packus_epi16(b, b);
    const __m256i first = _mm256_or_si256(_mm256_shuffle_epi8(redGreen, firstRedGreen),
                                          _mm256_shuffle_epi8(blue, firstBlue));
    const __m256i rest = _mm256_or_si256(_mm256_shuffle_epi8(redGreen, restRedGreen),
                                         _mm256_shuffle_epi8(blue, restBlue));
    // 24 bytes per half, exactly: nothing is written past the 16 pixels.
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm256_castsi256_si128(first));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out + 16), _mm256_castsi256_si128(rest));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 24), _mm256_extracti128_si256(first, 1));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out + 40), _mm256_extracti128_si256(rest, 1));
    out += 48;
  }
  return i;
}

}  // namespace

namespace jpeg {
int (*const kYCbCrToRgbAvx2)(unsigned char*, const unsigned char*, const unsigned char*,
                             const unsigned char*, int) = YCbCrToRgbAvx2;
}

#else

namespace jpeg {
int (*const kYCbCrToRgbAvx2)(unsigned char*, const unsigned char*, const unsigned char*,
                             const unsigned char*, int) = nullptr;
}

#endif
