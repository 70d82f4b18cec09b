// The 2x horizontal and 2x2 triangle filters in AVX2: sixteen source samples
// at a time, each 16-bit lane the same sums as the SSE2 loops of
// jpeg_upsample.cpp (none exceeds 4088), so the bytes are theirs. Only this file
// is built with -mavx2, and it only runs where the processor has AVX2 (see
// jpeg_upsample.cpp); everything here has internal linkage but the pointers.
#include "engine/codecs/jpeg_internal.h"

#if defined(__AVX2__) && !defined(QUILLMAR_PORTABLE_CODE)
#include <immintrin.h>

#include "engine/codecs/jpeg_simd_ops.h"

namespace {

__m256i Triple(__m256i v) { return _mm256_add_epi16(_mm256_slli_epi16(v, 1), v); }

// 32 bytes: firsts[0], seconds[0], firsts[1], ... The unpacks and the pack
// work within each 128-bit half, and together they keep the order: the low
// half's bytes are lanes 0..7 of both, the high half's lanes 8..15.
void Store32(unsigned char* out, __m256i firsts, __m256i seconds) {
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(out),
                      _mm256_packus_epi16(_mm256_unpacklo_epi16(firsts, seconds),
                                          _mm256_unpackhi_epi16(firsts, seconds)));
}

int Horizontal2Avx2(unsigned char* out, const unsigned char* in, int w, int i) {
  const __m256i two = _mm256_set1_epi16(2);
  for (; i + 16 < w; i += 16) {
    const __m256i n = _mm256_add_epi16(Triple(WidenBytes16(in + i)), two);
    const __m256i even = _mm256_srli_epi16(_mm256_add_epi16(n, WidenBytes16(in + i - 1)), 2);
    const __m256i odd = _mm256_srli_epi16(_mm256_add_epi16(n, WidenBytes16(in + i + 1)), 2);
    Store32(out + i * 2, even, odd);
  }
  return i;
}

int Both2Avx2(unsigned char* out, const unsigned char* near, const unsigned char* far, int w, int i) {
  const __m256i eight = _mm256_set1_epi16(8);
  for (; i + 16 <= w; i += 16) {
    const __m256i now = _mm256_add_epi16(Triple(WidenBytes16(near + i)), WidenBytes16(far + i));
    const __m256i before =
        _mm256_add_epi16(Triple(WidenBytes16(near + i - 1)), WidenBytes16(far + i - 1));
    const __m256i odd =
        _mm256_srli_epi16(_mm256_add_epi16(Triple(before), _mm256_add_epi16(now, eight)), 4);
    const __m256i even =
        _mm256_srli_epi16(_mm256_add_epi16(Triple(now), _mm256_add_epi16(before, eight)), 4);
    Store32(out + i * 2 - 1, odd, even);
  }
  return i;
}

}  // namespace

namespace jpeg {
int (*const kHorizontal2Avx2)(unsigned char*, const unsigned char*, int, int) = Horizontal2Avx2;
int (*const kBoth2Avx2)(unsigned char*, const unsigned char*, const unsigned char*, int, int) = Both2Avx2;
}  // namespace jpeg

#else

namespace jpeg {
int (*const kHorizontal2Avx2)(unsigned char*, const unsigned char*, int, int) = nullptr;
int (*const kBoth2Avx2)(unsigned char*, const unsigned char*, const unsigned char*, int, int) = nullptr;
}  // namespace jpeg

#endif
