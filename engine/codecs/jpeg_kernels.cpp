// The baseline kernels of the JPEG writer, four blocks (or pixels) at a time in
// FloatLanes: SSE2 on x86-64, plain floats elsewhere.
#include "engine/codecs/jpeg_kernels.h"

#include <cstring>

#include "engine/codecs/float_lanes.h"
#include "engine/codecs/jpeg_transform.h"

namespace {

constexpr unsigned char kZigZag[64] = {
    0,  1,  5,  6,  14, 15, 27, 28, 2,  4,  7,  13, 16, 26, 29, 42, 3,  8,  12, 17, 25, 30,
    41, 43, 9,  11, 18, 24, 31, 40, 44, 53, 10, 19, 23, 32, 39, 45, 52, 54, 20, 22, 33, 38,
    46, 51, 55, 60, 21, 34, 37, 47, 50, 56, 59, 61, 35, 36, 48, 49, 57, 58, 62, 63};

void StoreColour(FloatLanes r, FloatLanes g, FloatLanes b, float* y, float* u, float* v) {
  StoreLanes(y, r * +0.29900f + g * 0.58700f + b * 0.11400f - SameInAllLanes(128));
  StoreLanes(u, r * -0.16874f - g * 0.33126f + b * 0.50000f);
  StoreLanes(v, r * +0.50000f - g * 0.41869f - b * 0.08131f);
}

// Four pixels a step: straight from the row while the load stays inside it,
// then from a copy with the last pixel repeated.
void ConvertRow(const unsigned char* line, int width, int components, std::size_t paddedWidth,
                float* y, float* u, float* v) {
  const std::size_t c = static_cast<std::size_t>(components), w = static_cast<std::size_t>(width);
  const std::size_t reach = static_cast<std::size_t>(PixelLanesReach(components));
  std::size_t col = 0;
  FloatLanes r, g, b;
  for (; col < paddedWidth && col * c + reach <= w * c; col += 4) {
    LoadPixelLanes(line + col * c, components, r, g, b);
    StoreColour(r, g, b, y + col, u + col, v + col);
  }
  for (; col < paddedWidth; col += 4) {
    unsigned char tail[4 * 4 + 16] = {};
    for (std::size_t k = 0; k < 4; ++k)
      std::memcpy(tail + k * c, line + (col + k < w ? col + k : w - 1) * c, c);
    LoadPixelLanes(tail, components, r, g, b);
    StoreColour(r, g, b, y + col, u + col, v + col);
  }
}

void QuantiseBlocks(const float* const* block, std::size_t stride, const float* factor,
                    std::int16_t* const* out) {
  FloatLanes c[64];
  for (int row = 0; row < 8; ++row)
    for (int half = 0; half < 8; half += 4) {
      FloatLanes a = LoadLanes(block[0] + row * stride + half);
      FloatLanes b = LoadLanes(block[1] + row * stride + half);
      FloatLanes e = LoadLanes(block[2] + row * stride + half);
      FloatLanes f = LoadLanes(block[3] + row * stride + half);
      TransposeLanes(a, b, e, f);
      c[row * 8 + half] = a;
      c[row * 8 + half + 1] = b;
      c[row * 8 + half + 2] = e;
      c[row * 8 + half + 3] = f;
    }
  for (int row = 0; row < 8; ++row) Transform8(c + row * 8, 1);
  for (int col = 0; col < 8; ++col) Transform8(c + col, 8);
  FloatLanes zigzag[64];
  for (int i = 0; i < 64; ++i) zigzag[kZigZag[i]] = AddHalfAway(c[i] * factor[i]);
  for (int i = 0; i < 64; i += 4) StoreTruncated(zigzag + i, out, i);
}

// Added in the reference's order: top left, top right, bottom left, bottom right.
void Subsample(const float* full, std::size_t width, float* half) {
  for (int row = 0; row < 8; ++row) {
    const float* top = full + 2 * row * width;
    const float* bottom = top + width;
    float* out = half + row * (width / 2);
    for (std::size_t x = 0; x < width; x += 8, out += 4) {
      FloatLanes topLeft, topRight, bottomLeft, bottomRight;
      EvenOddLanes(LoadLanes(top + x), LoadLanes(top + x + 4), topLeft, topRight);
      EvenOddLanes(LoadLanes(bottom + x), LoadLanes(bottom + x + 4), bottomLeft, bottomRight);
      StoreLanes(out, (topLeft + topRight + bottomLeft + bottomRight) * 0.25f);
    }
  }
}

}  // namespace

const JpegKernels kBaselineJpegKernels = {4, ConvertRow, QuantiseBlocks, Subsample};

bool ProcessorHasAvx2() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_cpu_init();  // (runs before any constructor of ours could ask, too)
  return __builtin_cpu_supports("avx2");
#else
  return false;
#endif
}
