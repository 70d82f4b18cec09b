#include "engine/estimate.h"

#include <new>
#include <string>

#include "engine/encode.h"
#include "engine/source_image.h"

namespace {

bool CacheHolds(const EstimateCache& cache, const std::filesystem::path& path) {
  FileStamp now;
  return cache.pixels && cache.path == path && QueryFileStamp(path, &now) && now == cache.stamp;
}

// Reads and decodes path into the cache, which then holds this file or nothing.
bool Load(const std::filesystem::path& path, EstimateCache* cache) {
  const unsigned decodes = cache->decodes;
  *cache = EstimateCache();
  cache->decodes = decodes;
  SourceImage source;
  FileStamp stamp;
  std::string reason;
  if (!ReadSourceImage(path, DefaultMemoryBudget(), &source, &stamp, &reason)) return false;
  ++cache->decodes;
  DecodedPixels pixels =
      DecodeSourceImage(&source, &cache->width, &cache->height, &cache->channels, &reason);
  if (!pixels) return false;
  cache->path = path;
  cache->stamp = stamp;
  cache->kind = source.kind;
  cache->pixels = std::move(pixels);
  return true;
}

// One encode of the cached pixels at quality, exactly as the batch makes the
// file; 0 when the encoder refuses or memory runs out.
std::uint64_t EncodedSize(const EstimateCache& c, int quality) {
  EncodedFile file;
  if (EncodeOutputFile(c.kind == ImageKind::Jpeg, c.pixels.get(), c.width, c.height, c.channels,
                       quality, &file) != EncodeStatus::Done)
    return 0;
  return file.length;
}

bool EstimateChecked(const std::filesystem::path& path, int quality, std::uint64_t* size,
                     EstimateCache* cache) {
  if (!CacheHolds(*cache, path) && !Load(path, cache)) return false;
  // Qualities that give the encoder the same setting give the same bytes.
  const int key = cache->kind == ImageKind::Jpeg ? ClampJpegQuality(quality)
                                                 : -PngLevelForQuality(quality);
  auto known = cache->sizes.find(key);
  if (known == cache->sizes.end()) {
    const std::uint64_t bytes = EncodedSize(*cache, quality);
    if (bytes == 0) return false;
    known = cache->sizes.emplace(key, bytes).first;
  }
  *size = known->second;
  return true;
}

}  // namespace

bool EstimateCompressedSize(const std::filesystem::path& path, int quality, std::uint64_t* size,
                            EstimateCache* cache) {
  try {
    return EstimateChecked(path, quality, size, cache);
  } catch (const std::bad_alloc&) {
    cache->pixels.reset();  // the preview says it cannot tell, and the dialog goes on
    return false;
  }
}

bool EstimateCompressedSize(const std::filesystem::path& path, int quality, std::uint64_t* size) {
  EstimateCache once;
  return EstimateCompressedSize(path, quality, size, &once);
}
