#pragma once
// Our baseline JPEG writer. Its stream is byte for byte the one stb_image_write's
// JPEG writer makes of the same pixels (that library stays the reference the
// tests hold it to); it is only made faster.
#include <cstddef>

#include "engine/codecs/byte_buffer.h"

/// Appends the JPEG stream of the pixels to out: 1 (grey), 2 (grey + alpha),
/// 3 (RGB) or 4 (RGBA) bytes a pixel, rows top down; alpha is ignored. Quality 0
/// means 90, others are clamped to 1..100; above 90 the colour is kept at full
/// resolution. Refused, with nothing appended, for no pixels, a zero size or
/// another component count; out of memory leaves out as it was.
WriteStatus WriteJpeg(const unsigned char* pixels, int width, int height, int components,
                      int quality, ByteBuffer* out);

/// Where WriteJpegRows takes its rows from: row(user, y) gives row y of the
/// image (width x components bytes), asked for y = 0, 1, ..., height - 1 in
/// order, each once; the row stays valid until the next call. Null when there
/// is no such row (its source failed): the write is then refused.
struct JpegRowSource {
  const unsigned char* (*row)(void* user, int y);
  void* user;
};

/// Where a writer can hand on what it has written so far, so that a large
/// output need not be held whole: take(user, data, n) gets the buffer's bytes
/// once they reach 256 KiB (after a strip), and the buffer is emptied when it
/// says it has taken them; told no, the writer keeps them and goes on.
struct ByteSink {
  bool (*take)(void* user, const unsigned char* data, std::size_t n);
  void* user;
};

/// WriteJpeg with the rows from a source, so that an image need not be held
/// whole: the writer holds one strip of 8 or 16 rows, converted. With a sink,
/// what it takes is no longer in out (nor given back by a failure).
WriteStatus WriteJpegRows(const JpegRowSource& rows, int width, int height, int components,
                          int quality, ByteBuffer* out, const ByteSink* sink = nullptr);

/// Which kernels the writer's float work (and our JPEG decoder's colour
/// conversion) runs on: the widest the processor has (Best, the default), the
/// baseline every build has (SSE2 on x86-64), or AVX2. All give the same bytes;
/// tests and benchmarks pick each in turn.
enum class JpegPath { Best, Baseline, Avx2 };

/// Makes every later WriteJpeg (in any thread) run on the path; false, with
/// nothing changed, when this build or processor doesn't have it.
bool UseJpegPath(JpegPath path);
