// The JPEG writer's AVX2 kernels: eight blocks (or pixels) at a time, each lane
// the same IEEE operations as the baseline's. Only this file is built with
// -mavx2, and only run where the processor has AVX2 (see jpeg_writer.cpp).
// Everything here but the table at the end has internal linkage, so no inline
// function built for AVX2 can stand in for another file's copy at link time;
// hence also no header with inline code of its own but the transform template,
// whose instance here is for this file's own lane type.
#include "engine/codecs/jpeg_kernels.h"

#if defined(__AVX2__) && !defined(QUILLMAR_PORTABLE_CODE)
#include <immintrin.h>

#include "engine/codecs/jpeg_transform.h"

namespace {

struct Lanes8 {
  __m256 v;
};
inline Lanes8 operator+(Lanes8 a, Lanes8 b) { return {_mm256_add_ps(a.v, b.v)}; }
inline Lanes8 operator-(Lanes8 a, Lanes8 b) { return {_mm256_sub_ps(a.v, b.v)}; }
inline Lanes8 operator*(Lanes8 a, float f) { return {_mm256_mul_ps(a.v, _mm256_set1_ps(f))}; }

constexpr unsigned char kZigZag[64] = {
    0,  1,  5,  6,  14, 15, 27, 28, 2,  4,  7,  13, 16, 26, 29, 42, 3,  8,  12, 17, 25, 30,
    41, 43, 9,  11, 18, 24, 31, 40, 44, 53, 10, 19, 23, 32, 39, 45, 52, 54, 20, 22, 33, 38,
    46, 51, 55, 60, 21, 34, 37, 47, 50, 56, 59, 61, 35, 36, 48, 49, 57, 58, 62, 63};

// Rows of an 8x8 matrix become its columns, in registers (named values, not an
// array, so the compiler never puts them in memory between the steps).
inline void Transpose8(__m256& r0, __m256& r1, __m256& r2, __m256& r3, __m256& r4, __m256& r5,
                       __m256& r6, __m256& r7) {
  const __m256 t0 = _mm256_unpacklo_ps(r0, r1), t1 = _mm256_unpackhi_ps(r0, r1);
  const __m256 t2 = _mm256_unpacklo_ps(r2, r3), t3 = _mm256_unpackhi_ps(r2, r3);
  const __m256 t4 = _mm256_unpacklo_ps(r4, r5), t5 = _mm256_unpackhi_ps(r4, r5);
  const __m256 t6 = _mm256_unpacklo_ps(r6, r7), t7 = _mm256_unpackhi_ps(r6, r7);
  const __m256 s0 = _mm256_shuffle_ps(t0, t2, 0x44), s1 = _mm256_shuffle_ps(t0, t2, 0xEE);
  const __m256 s2 = _mm256_shuffle_ps(t1, t3, 0x44), s3 = _mm256_shuffle_ps(t1, t3, 0xEE);
  const __m256 s4 = _mm256_shuffle_ps(t4, t6, 0x44), s5 = _mm256_shuffle_ps(t4, t6, 0xEE);
  const __m256 s6 = _mm256_shuffle_ps(t5, t7, 0x44), s7 = _mm256_shuffle_ps(t5, t7, 0xEE);
  r0 = _mm256_permute2f128_ps(s0, s4, 0x20), r4 = _mm256_permute2f128_ps(s0, s4, 0x31);
  r1 = _mm256_permute2f128_ps(s1, s5, 0x20), r5 = _mm256_permute2f128_ps(s1, s5, 0x31);
  r2 = _mm256_permute2f128_ps(s2, s6, 0x20), r6 = _mm256_permute2f128_ps(s2, s6, 0x31);
  r3 = _mm256_permute2f128_ps(s3, s7, 0x20), r7 = _mm256_permute2f128_ps(s3, s7, 0x31);
}

[[gnu::always_inline]] inline void StoreColour(__m256i words, int components, float* y, float* u,
                                              float* v) {
  const __m256i byte = _mm256_set1_epi32(0xFF);
  const __m256 r = _mm256_cvtepi32_ps(_mm256_and_si256(words, byte));
  const bool colour = components > 2;
  const __m256 g =
      colour ? _mm256_cvtepi32_ps(_mm256_and_si256(_mm256_srli_epi32(words, 8), byte)) : r;
  const __m256 b =
      colour ? _mm256_cvtepi32_ps(_mm256_and_si256(_mm256_srli_epi32(words, 16), byte)) : r;
  const Lanes8 R{r}, G{g}, B{b};
  _mm256_storeu_ps(y, _mm256_sub_ps((R * +0.29900f + G * 0.58700f + B * 0.11400f).v, _mm256_set1_ps(128)));
  _mm256_storeu_ps(u, (R * -0.16874f - G * 0.33126f + B * 0.50000f).v);
  _mm256_storeu_ps(v, (R * +0.50000f - G * 0.41869f - B * 0.08131f).v);
}

// Eight pixels as one 32-bit word each, red in the low byte: 24 bytes of RGB
// spread over two 128-bit halves, then shuffled; RGBA as it is; other layouts
// word by word (each pixel's first 4 bytes).
[[gnu::always_inline]] inline __m256i PixelWords(const unsigned char* p, int components) {
  if (components == 3) {
    const __m256i bytes = _mm256_permutevar8x32_epi32(
        _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)), _mm256_setr_epi32(0, 1, 2, 0, 3, 4, 5, 0));
    const __m256i spread = _mm256_setr_epi8(0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11, -1,
                                            0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11, -1);
    return _mm256_shuffle_epi8(bytes, spread);
  }
  if (components == 4) return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
  return _mm256_i32gather_epi32(reinterpret_cast<const int*>(p),
                                _mm256_mullo_epi32(_mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7),
                                                   _mm256_set1_epi32(components)),
                                1);
}

// One copy of the row loop for each layout, so that the layout's choices are
// made once a row and the colour steps sit in the loop itself.
template <int components>
void ConvertRowOf(const unsigned char* line, std::size_t w, std::size_t paddedWidth, float* y,
                  float* u, float* v) {
  constexpr std::size_t c = components;
  // PixelWords reads 32 bytes from the first pixel, or 4 from each.
  constexpr std::size_t reach = c >= 3 ? 32 : 7 * c + 4;
  std::size_t col = 0;
  for (; col < paddedWidth && col * c + reach <= w * c; col += 8)
    StoreColour(PixelWords(line + col * c, components), components, y + col, u + col, v + col);
  for (; col < paddedWidth; col += 8) {
    unsigned char tail[8 * 4 + 32] = {};
    for (std::size_t k = 0; k < 8; ++k) {
      const unsigned char* p = line + (col + k < w ? col + k : w - 1) * c;
      for (std::size_t i = 0; i < c; ++i) tail[k * c + i] = p[i];
    }
    StoreColour(PixelWords(tail, components), components, y + col, u + col, v + col);
  }
}

void ConvertRow(const unsigned char* line, int width, int components, std::size_t paddedWidth,
                float* y, float* u, float* v) {
  const std::size_t w = static_cast<std::size_t>(width);
  switch (components) {
    case 1: return ConvertRowOf<1>(line, w, paddedWidth, y, u, v);
    case 2: return ConvertRowOf<2>(line, w, paddedWidth, y, u, v);
    case 3: return ConvertRowOf<3>(line, w, paddedWidth, y, u, v);
    default: return ConvertRowOf<4>(line, w, paddedWidth, y, u, v);
  }
}

// Eight int32 coefficients of eight blocks (lane k of r[i]: block k's
// coefficient position + i) into each block as int16.
inline void StoreCoefficients(const __m256* r, std::int16_t* const* out, int position) {
  __m256 r0 = r[0], r1 = r[1], r2 = r[2], r3 = r[3], r4 = r[4], r5 = r[5], r6 = r[6], r7 = r[7];
  Transpose8(r0, r1, r2, r3, r4, r5, r6, r7);
  const __m256 rows[8] = {r0, r1, r2, r3, r4, r5, r6, r7};
#pragma GCC unroll 4
  for (int k = 0; k < 8; k += 2) {
    const __m256i pair = _mm256_permute4x64_epi64(
        _mm256_packs_epi32(_mm256_castps_si256(rows[k]), _mm256_castps_si256(rows[k + 1])), 0xD8);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out[k] + position), _mm256_castsi256_si128(pair));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out[k + 1] + position),
                     _mm256_extracti128_si256(pair, 1));
  }
}

// The row pass takes each block row of the eight blocks straight from the
// loads through the transpose into the transform, the column pass each column
// through the transform into the quantisation, so that the values stay in
// registers within a pass: only the 64 row results and the 64 quantised
// coefficients go through memory.
void QuantiseBlocks(const float* const* block, std::size_t stride, const float* factor,
                    std::int16_t* const* out) {
  Lanes8 c[64];
  for (int row = 0; row < 8; ++row) {
    const std::size_t at = row * stride;
    __m256 r0 = _mm256_loadu_ps(block[0] + at), r1 = _mm256_loadu_ps(block[1] + at);
    __m256 r2 = _mm256_loadu_ps(block[2] + at), r3 = _mm256_loadu_ps(block[3] + at);
    __m256 r4 = _mm256_loadu_ps(block[4] + at), r5 = _mm256_loadu_ps(block[5] + at);
    __m256 r6 = _mm256_loadu_ps(block[6] + at), r7 = _mm256_loadu_ps(block[7] + at);
    Transpose8(r0, r1, r2, r3, r4, r5, r6, r7);
    Lanes8 d[8] = {{r0}, {r1}, {r2}, {r3}, {r4}, {r5}, {r6}, {r7}};
    Transform8(d, 1);
#pragma GCC unroll 8
    for (int col = 0; col < 8; ++col) c[row * 8 + col] = d[col];
  }
  // v < 0 ? v - 0.5f : v + 0.5f as one addition of a half with v's sign, then
  // truncated: in zigzag order, blocks still across the lanes.
  __m256 zigzag[64];
  const __m256 sign = _mm256_set1_ps(-0.0f), half = _mm256_set1_ps(0.5f);
  for (int col = 0; col < 8; ++col) {
    Lanes8 d[8];
#pragma GCC unroll 8
    for (int row = 0; row < 8; ++row) d[row] = c[row * 8 + col];
    Transform8(d, 1);
#pragma GCC unroll 8
    for (int row = 0; row < 8; ++row) {
      const int i = row * 8 + col;
      const __m256 v = _mm256_mul_ps(d[row].v, _mm256_set1_ps(factor[i]));
      const __m256 rounded = _mm256_add_ps(v, _mm256_or_ps(_mm256_and_ps(v, sign), half));
      zigzag[kZigZag[i]] = _mm256_castsi256_ps(_mm256_cvttps_epi32(rounded));
    }
  }
  for (int i = 0; i < 64; i += 8) StoreCoefficients(zigzag + i, out, i);
}

// Added in the reference's order: top left, top right, bottom left, bottom
// right. The even/odd split mixes the 128-bit halves; one permute at the end
// puts them back.
void Subsample(const float* full, std::size_t width, float* half) {
  for (int row = 0; row < 8; ++row) {
    const float* top = full + 2 * row * width;
    const float* bottom = top + width;
    float* out = half + row * (width / 2);
    for (std::size_t x = 0; x < width; x += 16, out += 8) {
      const __m256 t0 = _mm256_loadu_ps(top + x), t1 = _mm256_loadu_ps(top + x + 8);
      const __m256 b0 = _mm256_loadu_ps(bottom + x), b1 = _mm256_loadu_ps(bottom + x + 8);
      const __m256 sum = _mm256_add_ps(
          _mm256_add_ps(_mm256_add_ps(_mm256_shuffle_ps(t0, t1, 0x88), _mm256_shuffle_ps(t0, t1, 0xDD)),
                        _mm256_shuffle_ps(b0, b1, 0x88)),
          _mm256_shuffle_ps(b0, b1, 0xDD));
      const __m256 average = _mm256_mul_ps(sum, _mm256_set1_ps(0.25f));
      _mm256_storeu_ps(out, _mm256_castpd_ps(_mm256_permute4x64_pd(_mm256_castps_pd(average), 0xD8)));
    }
  }
}

const JpegKernels kAvx2 = {8, ConvertRow, QuantiseBlocks, Subsample};

}  // namespace

const JpegKernels* const kAvx2JpegKernels = &kAvx2;

#else

const JpegKernels* const kAvx2JpegKernels = nullptr;

#endif
