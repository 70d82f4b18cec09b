#pragma once
// How every output is encoded, shared by the compression and the size estimate so
// that an estimate is always exactly the size the batch writes.
#include <cstddef>
#include <memory>

#include "engine/codecs/jpeg_writer.h"
#include "engine/image_codec.h"

/// Pixels ready for the JPEG encoder: alpha removed, colour bytes kept as stored.
struct JpegPixels {
  const unsigned char* data = nullptr;  // the decoded pixels or `owned`; null when out of memory
  int components = 0;                   // 1 or 3
  std::unique_ptr<unsigned char[]> owned;
};

/// Drops the alpha channel of 2- and 4-channel pixels (never blended with a
/// background); 1- and 3-channel pixels pass through unchanged. The copy can be
/// hundreds of MB: when it can't be had, data is null and nothing is thrown.
JpegPixels DropAlpha(const unsigned char* pixels, int width, int height, int channels);

/// Deflate level for a PNG written at the given quality: (8 * quality) / 100 + 1.
int PngLevelForQuality(int quality);

/// The JPEG encoder's quality range is 1..100.
int ClampJpegQuality(int quality);

/// How an encode ended: out of memory is told apart, because it is worded so.
enum class EncodeStatus { Done, Refused, OutOfMemory };

/// A whole output file held in memory until it is written.
struct EncodedFile {
  LibraryBuffer data;
  std::size_t length = 0;
};

/// The output file of an image encoded whole in memory: JPEG (alpha dropped,
/// quality clamped) when asJpeg, else PNG at the deflate level of the quality.
EncodeStatus EncodeOutputFile(bool asJpeg, const unsigned char* pixels, int width, int height,
                              int channels, int quality, EncodedFile* file);

/// The same JPEG output file, from pixel rows handed over one at a time; with a
/// sink, *file holds only what the sink has not taken.
EncodeStatus EncodeJpegFromRows(const JpegRowSource& rows, int width, int height, int channels,
                                int quality, EncodedFile* file, const ByteSink* sink = nullptr);
