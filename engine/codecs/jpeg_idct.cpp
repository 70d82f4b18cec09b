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

#include "engine/codecs/jpeg_idct_steps.h"
#include "engine/codecs/jpeg_simd_ops.h"
#include "engine/codecs/jpeg_internal.h"
#include "engine/codecs/jpeg_kernels.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace jpeg {
namespace {

using namespace idct;

#if defined(__SSE2__)

void InverseDctSse2(unsigned char* out, int stride, const short* coeff) {
  __m128i r[8];
  for (int i = 0; i < 8; ++i) r[i] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(coeff + 8 * i));
  Transform<Sse2Ops>(r);
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

void InverseDctPair(unsigned char* outA, int strideA, const short* a, unsigned char* outB,
                    int strideB, const short* b) {
  if (kInverseDctPairAvx2 && JpegKernelsAreAvx2()) {
    kInverseDctPairAvx2(outA, strideA, a, outB, strideB, b);
  } else {
    InverseDct(outA, strideA, a);
    InverseDct(outB, strideB, b);
  }
}

// Only the DC term: the column pass leaves 4 * dc (saturated to 16 bits) in
// every row of the first column, and the row pass the same sample everywhere.
void InverseDctDcOnly(unsigned char* out, int stride, int dc) {
  const int column = std::clamp(dc * 4, -32768, 32767);
  const int sample = std::clamp((column * 4096 + kRowBias) >> 17, 0, 255);
  for (int i = 0; i < 8; ++i) std::memset(out + i * stride, sample, 8);
}

}  // namespace jpeg
