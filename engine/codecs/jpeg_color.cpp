// From the components to RGB: YCbCr with the library's fixed-point factors
// (the Cb term of green cut to 16 fraction bits, as its SIMD code needs), CMYK
// and YCCK by the library's rounded 8-bit multiply.
#include "engine/codecs/jpeg_internal.h"

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

}  // namespace

void YCbCrToRgb(unsigned char* out, const unsigned char* y, const unsigned char* cb,
                const unsigned char* cr, int count) {
  for (int i = 0; i < count; ++i) {
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
