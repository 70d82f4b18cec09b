#pragma once
#include <cstdint>
#include <filesystem>
#include <map>

#include "engine/file_system.h"
#include "engine/image_codec.h"

/// What the preview keeps of the one file it shows between estimates: the decoded
/// pixels, known by path and stamp (size, write time, which file it is), and the sizes found so far (by
/// JPEG quality, or by PNG deflate level, which many qualities share). Used by one
/// estimate at a time.
struct EstimateCache {
  std::filesystem::path path;
  FileStamp stamp;
  ImageKind kind = ImageKind::Other;
  int width = 0, height = 0, channels = 0;
  DecodedPixels pixels;
  std::map<int, std::uint64_t> sizes;
  unsigned decodes = 0;  // how often this cache had to decode a file
};

/// Size in bytes of the image compressed at quality, by a real encode in memory.
/// Refuses what compression refuses (a missing file, a name other than
/// .jpg/.jpeg/.png, content the decoder rejects). False when the file can't be
/// decoded or encoded; *size is then left unchanged.
bool EstimateCompressedSize(const std::filesystem::path& path, int quality, std::uint64_t* size);

/// The same, keeping the decoded image in *cache: another estimate of the same,
/// unchanged file costs at most one encode and no read or decode.
bool EstimateCompressedSize(const std::filesystem::path& path, int quality, std::uint64_t* size,
                            EstimateCache* cache);
