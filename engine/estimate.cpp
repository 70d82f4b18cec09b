#include "engine/estimate.h"

#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <new>
#include <string>
#include <system_error>
#include <thread>

#include "engine/encode.h"
#include "engine/source_image.h"

namespace {

bool CacheHolds(const EstimateCache& cache, const std::filesystem::path& path) {
  FileStamp now;
  return cache.pixels && cache.path == path && QueryFileStamp(path, &now) && now == cache.stamp;
}

// The key a size is kept under: qualities that give the encoder the same
// setting give the same bytes.
int SizeKey(ImageKind kind, int quality) {
  return kind == ImageKind::Jpeg ? ClampJpegQuality(quality) : -PngLevelForQuality(quality);
}

// The rows of the kept image as the decode finishes them, for the writer on
// another thread: it waits for each row it asks for, or for the decode to stop.
struct RowHandover {
  std::mutex lock;
  std::condition_variable moved;
  int ready = 0;        // rows of the kept image that are done
  bool stopped = false;  // the decode failed: no more rows come
  const unsigned char* pixels = nullptr;
  std::size_t rowBytes = 0;
};

const unsigned char* HandedRow(void* user, int y) {
  auto* h = static_cast<RowHandover*>(user);
  std::unique_lock<std::mutex> hold(h->lock);
  h->moved.wait(hold, [h, y] { return h->ready > y || h->stopped; });
  return h->ready > y ? h->pixels + static_cast<std::size_t>(y) * h->rowBytes : nullptr;
}

void HandOver(RowHandover* h, int ready, bool stopped) {
  {
    std::lock_guard<std::mutex> hold(h->lock);
    h->ready = ready;
    h->stopped = stopped;
  }
  h->moved.notify_all();
}

// A JPEG that stays a JPEG: decoded a row at a time into the kept image, while
// another thread encodes the rows at quality as they come, so the first
// estimate waits for the longer of decode and encode, not for both. *bytes: the
// encoded size, or 0 when the encode failed (the image is kept all the same).
DecodedPixels DecodeWhileEncoding(SourceImage* source, int quality, EstimateCache* cache,
                                  std::uint64_t* bytes) {
  std::string reason;
  SourceRows rows = DecodeSourceRows(source, &cache->width, &cache->height, &cache->channels, &reason);
  if (!rows.rows) return nullptr;
  const int height = cache->height;
  RowHandover handover;
  handover.rowBytes = static_cast<std::size_t>(cache->width) * cache->channels;
  // one byte to spare past the last row, which the decoder may write
  DecodedPixels pixels(static_cast<unsigned char*>(std::malloc(handover.rowBytes * height + 1)));
  if (!pixels) return nullptr;
  handover.pixels = pixels.get();
  EncodedFile file;
  EncodeStatus status = EncodeStatus::OutOfMemory;
  auto encode = [&] {
    try {
      status = EncodeJpegFromRows({HandedRow, &handover}, cache->width, height, cache->channels,
                                  quality, &file);
    } catch (const std::bad_alloc&) {
      status = EncodeStatus::OutOfMemory;
    }
  };
  std::thread encoder;
  try {
    encoder = std::thread(encode);
  } catch (const std::system_error&) {
    // no thread to be had: the encode follows the decode on this one
  }
  bool decoded = true;
  for (int y = 0; y < height && decoded; ++y) {
    // made in place: the byte it may write past the row is the next row's
    decoded = NextJpegRow(rows.rows.get(), pixels.get() + y * handover.rowBytes) != nullptr;
    // the writer takes strips of 8 or 16 rows: it is woken once a strip
    if (!decoded || (y + 1) % 16 == 0 || y + 1 == height) HandOver(&handover, decoded ? y + 1 : y, !decoded);
  }
  if (encoder.joinable()) {
    encoder.join();
  } else if (decoded) {
    encode();
  }
  if (!decoded) return nullptr;
  *bytes = status == EncodeStatus::Done ? file.length : 0;
  return pixels;
}

// Reads and decodes path into the cache, which then holds this file or nothing.
// A JPEG that stays a JPEG is encoded at quality on the way, its size kept.
bool Load(const std::filesystem::path& path, int quality, EstimateCache* cache) {
  const unsigned decodes = cache->decodes;
  *cache = EstimateCache();
  cache->decodes = decodes;
  SourceImage source;
  FileStamp stamp;
  std::string reason;
  if (!ReadSourceImage(path, DefaultMemoryBudget(), &source, &stamp, &reason)) return false;
  ++cache->decodes;
  std::uint64_t bytes = 0;
  DecodedPixels pixels =
      DecodesAsJpegRows(source)
          ? DecodeWhileEncoding(&source, quality, cache, &bytes)
          : DecodeSourceImage(&source, &cache->width, &cache->height, &cache->channels, &reason);
  if (!pixels) return false;
  cache->path = path;
  cache->stamp = stamp;
  cache->kind = source.kind;
  cache->pixels = std::move(pixels);
  if (bytes) cache->sizes.emplace(SizeKey(cache->kind, quality), bytes);
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
  if (!CacheHolds(*cache, path) && !Load(path, quality, cache)) return false;
  const int key = SizeKey(cache->kind, quality);
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
