// The inverse DCT. The library's x86-64 build runs its SSE2 kernel, whose 16-bit
// lanes wrap in sums and saturate between the passes, where its plain C one
// keeps 32-bit sums: the two differ for extreme coefficients (damaged or
// hostile files). So ours computes what the SSE2 kernel computes, step for step
// (the islow algorithm with 12-bit constants), in SSE2 where there is SSE2 and
// in plain code that models its lanes elsewhere. An Arm build of the library
// would run its NEON kernel or its C one instead, whose results for such
// coefficients are those of neither.
#include <algorithm>
#include <cstdint>
#include <cstring>

#include "engine/codecs/jpeg_internal.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace jpeg {
namespace {

// The rotations' constants (round(c * 4096) of the islow factors, summed as
// the kernel pairs them): each product pair is one multiply-add of two lanes.
constexpr int kR0a = 2217, kR0b = -5350, kR0c = 5352, kR0d = 2217;
constexpr int kR1a = 1131, kR1b = 4816, kR1c = 4816, kR1d = -5681;
constexpr int kR2a = -6811, kR2b = -8034, kR2c = -8034, kR2d = 4552;
constexpr int kR3a = 6813, kR3b = -1597, kR3c = -1597, kR3d = 4552;
constexpr int kColumnBias = 512;                    // then >> 10
constexpr int kRowBias = 65536 + (128 << 17);       // rounding and the +128 level shift, then >> 17

#if defined(__SSE2__)

struct Wide {
  __m128i lo, hi;  // 32-bit lanes of the low and high four 16-bit lanes
};

inline Wide Add(Wide a, Wide b) { return {_mm_add_epi32(a.lo, b.lo), _mm_add_epi32(a.hi, b.hi)}; }
inline Wide Sub(Wide a, Wide b) { return {_mm_sub_epi32(a.lo, b.lo), _mm_sub_epi32(a.hi, b.hi)}; }

// x * a + y * b and x * c + y * d, lane by lane, in 32 bits.
inline void Rotate(__m128i x, __m128i y, int a, int b, int c, int d, Wide* first, Wide* second) {
  const __m128i lo = _mm_unpacklo_epi16(x, y);
  const __m128i hi = _mm_unpackhi_epi16(x, y);
  const __m128i ab = _mm_setr_epi16(a, b, a, b, a, b, a, b);
  const __m128i cd = _mm_setr_epi16(c, d, c, d, c, d, c, d);
  *first = {_mm_madd_epi16(lo, ab), _mm_madd_epi16(hi, ab)};
  *second = {_mm_madd_epi16(lo, cd), _mm_madd_epi16(hi, cd)};
}

// v << 12 in 32 bits.
inline Wide Scaled(__m128i v) {
  const __m128i zero = _mm_setzero_si128();
  return {_mm_srai_epi32(_mm_unpacklo_epi16(zero, v), 4), _mm_srai_epi32(_mm_unpackhi_epi16(zero, v), 4)};
}

template <int Shift>
inline void Butterfly(Wide a, Wide b, __m128i bias, __m128i* sum, __m128i* difference) {
  const Wide biased = {_mm_add_epi32(a.lo, bias), _mm_add_epi32(a.hi, bias)};
  const Wide s = Add(biased, b);
  const Wide t = Sub(biased, b);
  *sum = _mm_packs_epi32(_mm_srai_epi32(s.lo, Shift), _mm_srai_epi32(s.hi, Shift));
  *difference = _mm_packs_epi32(_mm_srai_epi32(t.lo, Shift), _mm_srai_epi32(t.hi, Shift));
}

// One 1-D pass down the eight registers (each lane a separate column).
template <int Shift>
[[gnu::always_inline]] inline void Pass(__m128i* r, int bias) {
  Wide t2, t3;
  Rotate(r[2], r[6], kR0a, kR0b, kR0c, kR0d, &t2, &t3);
  const Wide t0 = Scaled(_mm_add_epi16(r[0], r[4]));
  const Wide t1 = Scaled(_mm_sub_epi16(r[0], r[4]));
  const Wide x0 = Add(t0, t3), x3 = Sub(t0, t3), x1 = Add(t1, t2), x2 = Sub(t1, t2);
  Wide y0, y2, y1, y3, y4, y5;
  Rotate(r[7], r[3], kR2a, kR2b, kR2c, kR2d, &y0, &y2);
  Rotate(r[5], r[1], kR3a, kR3b, kR3c, kR3d, &y1, &y3);
  Rotate(_mm_add_epi16(r[1], r[7]), _mm_add_epi16(r[3], r[5]), kR1a, kR1b, kR1c, kR1d, &y4, &y5);
  const Wide x4 = Add(y0, y4), x5 = Add(y1, y5), x6 = Add(y2, y5), x7 = Add(y3, y4);
  const __m128i b = _mm_set1_epi32(bias);
  Butterfly<Shift>(x0, x7, b, &r[0], &r[7]);
  Butterfly<Shift>(x1, x6, b, &r[1], &r[6]);
  Butterfly<Shift>(x2, x5, b, &r[2], &r[5]);
  Butterfly<Shift>(x3, x4, b, &r[3], &r[4]);
}

[[gnu::always_inline]] inline void Transpose(__m128i* r) {
  const __m128i a0 = _mm_unpacklo_epi16(r[0], r[1]), a1 = _mm_unpackhi_epi16(r[0], r[1]);
  const __m128i a2 = _mm_unpacklo_epi16(r[2], r[3]), a3 = _mm_unpackhi_epi16(r[2], r[3]);
  const __m128i a4 = _mm_unpacklo_epi16(r[4], r[5]), a5 = _mm_unpackhi_epi16(r[4], r[5]);
  const __m128i a6 = _mm_unpacklo_epi16(r[6], r[7]), a7 = _mm_unpackhi_epi16(r[6], r[7]);
  const __m128i b0 = _mm_unpacklo_epi32(a0, a2), b1 = _mm_unpackhi_epi32(a0, a2);
  const __m128i b2 = _mm_unpacklo_epi32(a1, a3), b3 = _mm_unpackhi_epi32(a1, a3);
  const __m128i b4 = _mm_unpacklo_epi32(a4, a6), b5 = _mm_unpackhi_epi32(a4, a6);
  const __m128i b6 = _mm_unpacklo_epi32(a5, a7), b7 = _mm_unpackhi_epi32(a5, a7);
  r[0] = _mm_unpacklo_epi64(b0, b4);
  r[1] = _mm_unpackhi_epi64(b0, b4);
  r[2] = _mm_unpacklo_epi64(b1, b5);
  r[3] = _mm_unpackhi_epi64(b1, b5);
  r[4] = _mm_unpacklo_epi64(b2, b6);
  r[5] = _mm_unpackhi_epi64(b2, b6);
  r[6] = _mm_unpacklo_epi64(b3, b7);
  r[7] = _mm_unpackhi_epi64(b3, b7);
}

void InverseDctSse2(unsigned char* out, int stride, const short* coeff) {
  __m128i r[8];
  for (int i = 0; i < 8; ++i) r[i] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(coeff + 8 * i));
  Pass<10>(r, kColumnBias);
  Transpose(r);
  Pass<17>(r, kRowBias);
  Transpose(r);
  for (int i = 0; i < 8; i += 2) {
    const __m128i bytes = _mm_packus_epi16(r[i], r[i + 1]);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out + i * stride), bytes);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out + (i + 1) * stride), _mm_srli_si128(bytes, 8));
  }
}

#endif

// The SSE2 kernel's lanes, modelled one at a time.

int Wrap16(int v) { return static_cast<std::int16_t>(static_cast<std::uint16_t>(v)); }
int Saturate16(int v) { return std::clamp(v, -32768, 32767); }
int Wrap32(long long v) { return static_cast<std::int32_t>(static_cast<std::uint32_t>(v)); }

// One pass over lane values r[row][lane], the same steps as the SSE2 one.
template <int Shift>
void ModelPass(int r[8][8], int bias) {
  for (int l = 0; l < 8; ++l) {
    const long long t2 = 1LL * r[2][l] * kR0a + 1LL * r[6][l] * kR0b;
    const long long t3 = 1LL * r[2][l] * kR0c + 1LL * r[6][l] * kR0d;
    const long long t0 = Wrap16(r[0][l] + r[4][l]) * 4096LL;
    const long long t1 = Wrap16(r[0][l] - r[4][l]) * 4096LL;
    const int x0 = Wrap32(t0 + t3), x3 = Wrap32(t0 - t3), x1 = Wrap32(t1 + t2), x2 = Wrap32(t1 - t2);
    const long long y0 = 1LL * r[7][l] * kR2a + 1LL * r[3][l] * kR2b;
    const long long y2 = 1LL * r[7][l] * kR2c + 1LL * r[3][l] * kR2d;
    const long long y1 = 1LL * r[5][l] * kR3a + 1LL * r[1][l] * kR3b;
    const long long y3 = 1LL * r[5][l] * kR3c + 1LL * r[1][l] * kR3d;
    const int s17 = Wrap16(r[1][l] + r[7][l]), s35 = Wrap16(r[3][l] + r[5][l]);
    const long long y4 = 1LL * s17 * kR1a + 1LL * s35 * kR1b;
    const long long y5 = 1LL * s17 * kR1c + 1LL * s35 * kR1d;
    const int x4 = Wrap32(y0 + y4), x5 = Wrap32(y1 + y5), x6 = Wrap32(y2 + y5), x7 = Wrap32(y3 + y4);
    const int a[4] = {x0, x1, x2, x3}, b[4] = {x7, x6, x5, x4};
    for (int i = 0; i < 4; ++i) {
      const int biased = Wrap32(1LL * a[i] + bias);
      r[i][l] = Saturate16(Wrap32(1LL * biased + b[i]) >> Shift);
      r[7 - i][l] = Saturate16(Wrap32(1LL * biased - b[i]) >> Shift);
    }
  }
}

void ModelTranspose(int r[8][8]) {
  for (int i = 0; i < 8; ++i)
    for (int j = i + 1; j < 8; ++j) std::swap(r[i][j], r[j][i]);
}

}  // namespace

void InverseDctModel(unsigned char* out, int stride, const short* coeff) {
  int r[8][8];
  for (int i = 0; i < 8; ++i)
    for (int j = 0; j < 8; ++j) r[i][j] = coeff[8 * i + j];
  ModelPass<10>(r, kColumnBias);
  ModelTranspose(r);
  ModelPass<17>(r, kRowBias);
  ModelTranspose(r);
  for (int i = 0; i < 8; ++i)
    for (int j = 0; j < 8; ++j) out[i * stride + j] = static_cast<unsigned char>(std::clamp(r[i][j], 0, 255));
}

void InverseDct(unsigned char* out, int stride, const short* coeff) {
#if defined(__SSE2__)
  InverseDctSse2(out, stride, coeff);
#else
  InverseDctModel(out, stride, coeff);
#endif
}

// Only the DC term: the column pass leaves 4 * dc (saturated to 16 bits) in
// every row of the first column, and the row pass the same sample everywhere.
void InverseDctDcOnly(unsigned char* out, int stride, int dc) {
  const int column = std::clamp(dc * 4, -32768, 32767);
  const int sample = std::clamp((column * 4096 + kRowBias) >> 17, 0, 255);
  for (int i = 0; i < 8; ++i) std::memset(out + i * stride, sample, 8);
}

}  // namespace jpeg
