#pragma once
#include <filesystem>
#include <memory>

#include "engine/compress_result.h"

/// Re-encodes one JPEG or PNG file into outputDir (which must exist) under a name
/// that is not taken yet. Returns true when an output file was written; otherwise
/// false with result->errorText set. Never overwrites, never creates folders.
bool CompressImageFile(const std::filesystem::path& inputPath,
                       const std::filesystem::path& outputDir, int quality,
                       CompressResult* result);

/// Pixels ready for the JPEG encoder: alpha removed, colour bytes kept as stored.
struct JpegPixels {
  const unsigned char* data = nullptr;  // either the decoded pixels or `owned`
  int components = 0;                   // 1 or 3
  std::unique_ptr<unsigned char[]> owned;
};

/// Drops the alpha channel of 2- and 4-channel pixels (never blended with a
/// background); 1- and 3-channel pixels pass through unchanged.
JpegPixels DropAlpha(const unsigned char* pixels, int width, int height, int channels);

/// Deflate level for a PNG written at the given quality: (8 * quality) / 100 + 1.
int PngLevelForQuality(int quality);

/// The JPEG encoder's quality range is 1..100.
int ClampJpegQuality(int quality);
