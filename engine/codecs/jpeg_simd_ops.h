#pragma once
// The SSE2 integer operations the decoder's SIMD steps (jpeg_idct_steps.h,
// jpeg_color_steps.h) are written over: Sse2Ops on 128-bit registers, and in a
// file built for AVX2 Avx2Ops on 256-bit ones, whose operations all work
// within each 128-bit half. In an unnamed namespace, so that each translation
// unit has its own copy, built for its own instruction set.
#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__AVX2__) && !defined(QUILLMAR_PORTABLE_CODE)
#include <immintrin.h>
#endif

namespace {

#if defined(__SSE2__)
struct Sse2Ops {
  using V = __m128i;
  static V Zero() { return _mm_setzero_si128(); }
  static V Pairs(int a, int b) { return _mm_set1_epi32((a & 0xFFFF) | b * 65536); }
  static V Splat32(int v) { return _mm_set1_epi32(v); }
  static V Add16(V a, V b) { return _mm_add_epi16(a, b); }
  static V Sub16(V a, V b) { return _mm_sub_epi16(a, b); }
  static V Add32(V a, V b) { return _mm_add_epi32(a, b); }
  static V Sub32(V a, V b) { return _mm_sub_epi32(a, b); }
  static V MulAdd(V a, V b) { return _mm_madd_epi16(a, b); }
  template <int N>
  static V ShiftRight32(V a) { return _mm_srai_epi32(a, N); }
  template <int N>
  static V ShiftLeft32(V a) { return _mm_slli_epi32(a, N); }
  static V Pack32(V a, V b) { return _mm_packs_epi32(a, b); }
  static V UnpackLo16(V a, V b) { return _mm_unpacklo_epi16(a, b); }
  static V UnpackHi16(V a, V b) { return _mm_unpackhi_epi16(a, b); }
  static V UnpackLo32(V a, V b) { return _mm_unpacklo_epi32(a, b); }
  static V UnpackHi32(V a, V b) { return _mm_unpackhi_epi32(a, b); }
  static V UnpackLo64(V a, V b) { return _mm_unpacklo_epi64(a, b); }
  static V UnpackHi64(V a, V b) { return _mm_unpackhi_epi64(a, b); }
};
#endif

#if defined(__AVX2__) && !defined(QUILLMAR_PORTABLE_CODE)
struct Avx2Ops {
  using V = __m256i;
  static V Zero() { return _mm256_setzero_si256(); }
  static V Pairs(int a, int b) { return _mm256_set1_epi32((a & 0xFFFF) | b * 65536); }
  static V Splat32(int v) { return _mm256_set1_epi32(v); }
  static V Add16(V a, V b) { return _mm256_add_epi16(a, b); }
  static V Sub16(V a, V b) { return _mm256_sub_epi16(a, b); }
  static V Add32(V a, V b) { return _mm256_add_epi32(a, b); }
  static V Sub32(V a, V b) { return _mm256_sub_epi32(a, b); }
  static V MulAdd(V a, V b) { return _mm256_madd_epi16(a, b); }
  template <int N>
  static V ShiftRight32(V a) { return _mm256_srai_epi32(a, N); }
  template <int N>
  static V ShiftLeft32(V a) { return _mm256_slli_epi32(a, N); }
  static V Pack32(V a, V b) { return _mm256_packs_epi32(a, b); }
  static V UnpackLo16(V a, V b) { return _mm256_unpacklo_epi16(a, b); }
  static V UnpackHi16(V a, V b) { return _mm256_unpackhi_epi16(a, b); }
  static V UnpackLo32(V a, V b) { return _mm256_unpacklo_epi32(a, b); }
  static V UnpackHi32(V a, V b) { return _mm256_unpackhi_epi32(a, b); }
  static V UnpackLo64(V a, V b) { return _mm256_unpacklo_epi64(a, b); }
  static V UnpackHi64(V a, V b) { return _mm256_unpackhi_epi64(a, b); }
};

// Sixteen bytes, each widened to a 16-bit lane.
inline __m256i WidenBytes16(const unsigned char* p) {
  return _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
}
#endif

}  // namespace
