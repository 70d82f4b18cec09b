// From the components to RGB: YCbCr with the library's fixed-point factors
// (the Cb term of green cut to 16 fraction bits, as its SIMD code needs), CMYK
// and YCCK by the library's rounded 8-bit multiply.
#include <cstring>

#include "engine/codecs/jpeg_color_steps.h"
#include "engine/codecs/jpeg_internal.h"
#include "engine/codecs/jpeg_kernels.h"
#include "engine/codecs/jpeg_simd_ops.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace jpeg {
namespace {

// round(f * 4096) << 8: the factors with 20 fraction bits.
constexpr int kCrToR = 1470208;
constexpr int kCrToG = 748800;
constexpr int kCbToG = 360960;
constexpr int kCbToB = 1858048;

unsigned char ClampByte(int v) {
  if (static_cast<unsigned>(v) > 255) return v < 0 ? 0 : 255;
  return static_cast<unsigned char>(v);
}

// x * y / 255, rounded, for 8-bit x and y.
unsigned char Multiply255(int x, int y) {
  const unsigned t = static_cast<unsigned>(x * y + 128);
  return static_cast<unsigned char>((t + (t >> 8)) >> 8);
}

#if defined(__SSE2__)
// Eight pixels at once with the same integers (jpeg_color_steps.h).
// Returns how many pixels it did (a multiple of 8).
int YCbCrToRgbWide(unsigned char* out, const unsigned char* y, const unsigned char* cb,
                   const unsigned char* cr, int count) {
  const __m128i zero = _mm_setzero_si128();
  const __m128i center = _mm_set1_epi16(128);
  int i = 0;
  for (; i + 8 <= count; i += 8) {
    const __m128i yw = _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(y + i)), zero);
    const __m128i cbw = _mm_sub_epi16(
        _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(cb + i)), zero), center);
    const __m128i crw = _mm_sub_epi16(
        _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(cr + i)), zero), center);
    __m128i r, g, b;
    color::YCbCrLanes<Sse2Ops>(yw, cbw, crw, &r, &g, &b);
    // Bytes R G B x per pixel, then three of each four written out.
    const __m128i rg = _mm_unpacklo_epi8(_mm_packus_epi16(r, r), _mm_packus_epi16(g, g));
    const __m128i bx = _mm_unpacklo_epi8(_mm_packus_epi16(b, b), zero);
    alignas(16) unsigned char rgbx[32];
    _mm_store_si128(reinterpret_cast<__m128i*>(rgbx), _mm_unpacklo_epi16(rg, bx));
    _mm_store_si128(reinterpret_cast<__m128i*>(rgbx + 16), _mm_unpackhi_epi16(rg, bx));
    // Four bytes a pixel, each store's fourth byte overwritten by the next
    // pixel: the last one lands on the byte after the row, which the next row
    // (or the byte the output has to spare past its end) takes.
    for (int p = 0; p < 8; ++p) std::memcpy(out + 3 * p, rgbx + 4 * p, 4);
    out += 24;
  }
  return i;
}
#endif

}  // namespace

void YCbCrToRgb(unsigned char* out, const unsigned char* y, const unsigned char* cb,
                const unsigned char* cr, int count) {
  int i = 0;
  if (kYCbCrToRgbAvx2 && JpegKernelsAreAvx2()) {
    i = kYCbCrToRgbAvx2(out, y, cb, cr, count);
    out += 3 * i;
  }
#if defined(__SSE2__)
  const int wide = YCbCrToRgbWide(out, y + i, cb + i, cr + i, count - i);
  out += 3 * wide;
  i += wide;
#endif
  for (; i < count; ++i) {
    const int yFixed = (y[i] << 20) + (1 << 19);
    const int crc = cr[i] - 128;
    const int cbc = cb[i] - 128;
    const int r = yFixed + crc * kCrToR;
    const int g = static_cast<int>(static_cast<unsigned>(yFixed + crc * -kCrToG) +
                                   (static_cast<unsigned>(cbc * -kCbToG) & 0xffff0000u));
    const int b = yFixed + cbc * kCbToB;
    out[0] = ClampByte(r >> 20);
    out[1] = ClampByte(g >> 20);
    out[2] = ClampByte(b >> 20);
    out += 3;
  }
}

void CmykToRgb(unsigned char* out, const unsigned char* c, const unsigned char* m,
               const unsigned char* y, const unsigned char* k, int count) {
  for (int i = 0; i < count; ++i) {
    out[0] = Multiply255(c[i], k[i]);
    out[1] = Multiply255(m[i], k[i]);
    out[2] = Multiply255(y[i], k[i]);
    out += 3;
  }
}

void YcckToRgb(unsigned char* out, const unsigned char* y, const unsigned char* cb,
               const unsigned char* cr, const unsigned char* k, int count) {
  YCbCrToRgb(out, y, cb, cr, count);
  for (int i = 0; i < count; ++i) {
    out[0] = Multiply255(255 - out[0], k[i]);
    out[1] = Multiply255(255 - out[1], k[i]);
    out[2] = Multiply255(255 - out[2], k[i]);
    out += 3;
  }
}

void InterleaveRgb(unsigned char* out, const unsigned char* r, const unsigned char* g,
                   const unsigned char* b, int count) {
  for (int i = 0; i < count; ++i) {
    out[0] = r[i];
    out[1] = g[i];
    out[2] = b[i];
    out += 3;
  }
}

}  // namespace jpeg
