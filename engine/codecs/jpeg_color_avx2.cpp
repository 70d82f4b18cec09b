// The decoder's YCbCr to RGB conversion in AVX2: sixteen pixels at a time, each
// 16-bit lane the same integers as the SSE2 code (jpeg_color_steps.h),
// and the RGB bytes put in order by byte shuffles instead of a store a pixel.
// Only this file is built with -mavx2, and it only runs where the processor has
// AVX2 (see YCbCrToRgb); everything here has internal linkage but the pointer.
#include "engine/codecs/jpeg_internal.h"

#if defined(__AVX2__) && !defined(QUILLMAR_PORTABLE_CODE)
#include <immintrin.h>

#include "engine/codecs/jpeg_color_steps.h"
#include "engine/codecs/jpeg_simd_ops.h"

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

int YCbCrToRgbAvx2(unsigned char* out, const unsigned char* y, const unsigned char* cb,
                   const unsigned char* cr, int count) {
  const __m256i center = _mm256_set1_epi16(128);
  const __m256i firstRedGreen = Mask(kMasks.firstRedGreen), firstBlue = Mask(kMasks.firstBlue);
  const __m256i restRedGreen = Mask(kMasks.restRedGreen), restBlue = Mask(kMasks.restBlue);
  int i = 0;
  for (; i + 16 <= count; i += 16) {
    const __m256i yw = WidenBytes16(y + i);
    const __m256i cbw = _mm256_sub_epi16(WidenBytes16(cb + i), center);
    const __m256i crw = _mm256_sub_epi16(WidenBytes16(cr + i), center);
    __m256i r, g, b;
    jpeg::color::YCbCrLanes<Avx2Ops>(yw, cbw, crw, &r, &g, &b);
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
