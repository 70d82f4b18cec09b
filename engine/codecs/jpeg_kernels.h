#pragma once
// The JPEG writer's float work, one set of functions per instruction set: the
// baseline (SSE2 on x86-64, plain code elsewhere or with QUILLMAR_PORTABLE_CODE)
// and AVX2, chosen at run time. Every set makes the same floats, so the same
// bytes: only how many blocks go through at once differs.
#include <cstddef>
#include <cstdint>

struct JpegKernels {
  int lanes;  // blocks transformed together
  /// The first `paddedWidth` pixels (a multiple of 8) of an image row of `width`
  /// (`components` bytes a pixel, 1..4) as Y, U and V, the last pixel repeated
  /// past the row's end.
  void (*convertRow)(const unsigned char* line, int width, int components,
                     std::size_t paddedWidth, float* y, float* u, float* v);
  /// Transforms and quantises `lanes` 8x8 blocks (`stride` floats a row), each
  /// into 64 coefficients in zigzag order.
  void (*quantiseBlocks)(const float* const* block, std::size_t stride, const float* factor,
                         std::int16_t* const* out);
  /// Each 2x2 square of 16 rows of `width` floats averaged into 8 rows of width / 2.
  void (*subsample)(const float* full, std::size_t width, float* half);
};

extern const JpegKernels kBaselineJpegKernels;
/// Null when this build has no AVX2 kernels (not x86-64, or the portable code).
extern const JpegKernels* const kAvx2JpegKernels;
/// Whether the processor (and the system, which must save its registers) runs AVX2.
bool ProcessorHasAvx2();
/// Whether the kernels the writer runs now are the AVX2 ones: the decoder's
/// colour conversion follows the same choice (jpeg_writer.cpp).
bool JpegKernelsAreAvx2();
