// The inverse DCT of two blocks at once in AVX2: the steps of
// jpeg_idct_steps.h with one block in each 128-bit half, so each half is the
// SSE2 code's result for its block. Only this file is built with -mavx2, and
// it only runs where the processor has it (see InverseDctPair); everything
// here has internal linkage but the pointer.
#include "engine/codecs/jpeg_internal.h"

#if defined(__AVX2__) && !defined(QUILLMAR_PORTABLE_CODE)
#include <immintrin.h>

#include "engine/codecs/jpeg_idct_steps.h"
#include "engine/codecs/jpeg_simd_ops.h"

namespace {

void InverseDctPairAvx2(unsigned char* outA, int strideA, const short* a, unsigned char* outB,
                        int strideB, const short* b) {
  __m256i r[8];
  for (int i = 0; i < 8; ++i) {
    const __m128i rowA = _mm_loadu_si128(reinterpret_cast<const __m128i*>(a + 8 * i));
    const __m128i rowB = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + 8 * i));
    r[i] = _mm256_inserti128_si256(_mm256_castsi128_si256(rowA), rowB, 1);
  }
  jpeg::idct::Transform<Avx2Ops>(r);
  for (int i = 0; i < 8; i += 2) {
    // each half: its block's rows i and i + 1
    const __m256i bytes = _mm256_packus_epi16(r[i], r[i + 1]);
    const __m128i forA = _mm256_castsi256_si128(bytes), forB = _mm256_extracti128_si256(bytes, 1);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(outA + i * strideA), forA);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(outA + (i + 1) * strideA), _mm_srli_si128(forA, 8));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(outB + i * strideB), forB);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(outB + (i + 1) * strideB), _mm_srli_si128(forB, 8));
  }
}

}  // namespace

namespace jpeg {
void (*const kInverseDctPairAvx2)(unsigned char*, int, const short*, unsigned char*, int,
                                  const short*) = InverseDctPairAvx2;
}

#else

namespace jpeg {
void (*const kInverseDctPairAvx2)(unsigned char*, int, const short*, unsigned char*, int,
                                  const short*) = nullptr;
}

#endif
