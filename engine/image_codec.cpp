// The project's own code around the image library: the PNG level lock, the
// encode wrappers and the decode with its checks. Built with every sanitizer
// check; the library's code is in engine/stb_library.cpp.
#include "engine/image_codec.h"

#include <algorithm>
#include <climits>
#include <condition_variable>
#include <cstring>
#include <mutex>

#include "engine/image_limits.h"
#include "engine/jpeg_tables.h"

namespace {

// The library's PNG level is one global, read by every PNG encode. Encodes at the
// same level share it and run together; one at another level waits until the
// running ones are done, and from then on newcomers at the old level wait behind
// it, so neither the batch nor the preview is starved.
struct PngLevelLock {
  std::mutex mutex;
  std::condition_variable idle;
  int level = 0;
  int running = 0;
  int waiting = 0;
};
PngLevelLock png_level_lock;

void EnterPngLevel(int level) {
  std::unique_lock<std::mutex> lock(png_level_lock.mutex);
  PngLevelLock& l = png_level_lock;
  if (!(l.running == 0 || (l.level == level && l.waiting == 0))) {
    ++l.waiting;
    l.idle.wait(lock, [&] { return l.running == 0 || (l.level == level && l.waiting == 1); });
    --l.waiting;
  }
  // Written only while no encode reads it; the lock orders it before theirs.
  if (l.running++ == 0 && stbi_write_png_compression_level != level)
    stbi_write_png_compression_level = level;
  l.level = level;
}

void LeavePngLevel() {
  std::lock_guard<std::mutex> lock(png_level_lock.mutex);
  if (--png_level_lock.running == 0) png_level_lock.idle.notify_all();
}

// Left however the encode ends, also by an exception out of memory.
struct PngLevelHeld {
  explicit PngLevelHeld(int level) { EnterPngLevel(level); }
  ~PngLevelHeld() { LeavePngLevel(); }
};

}  // namespace

bool EncodeJpeg(const unsigned char* pixels, int width, int height, int components,
                int quality, stbi_write_func* write, void* context) {
  return stbi_write_jpg_to_func(write, context, width, height, components, pixels, quality) != 0;
}

LibraryBuffer EncodePngToMemory(const unsigned char* pixels, int width, int height,
                                int channels, int level, std::size_t* length) {
  int len = 0;
  unsigned char* png = nullptr;
  {
    PngLevelHeld held(level);
    png = stbi_write_png_to_mem(pixels, width * channels, width, height, channels, &len);
  }
  *length = png ? static_cast<std::size_t>(len) : 0;
  return LibraryBuffer(png);
}

namespace {

// The library takes an int length for a block in memory; a larger file (no real
// photo) is handed over through its reader callbacks instead.
struct MemoryReader {
  const unsigned char* data;
  std::size_t size;
  std::size_t at = 0;
};

int ReadMemory(void* user, char* out, int wanted) {
  auto* r = static_cast<MemoryReader*>(user);
  const std::size_t n = std::min(static_cast<std::size_t>(wanted), r->size - r->at);
  std::memcpy(out, r->data + r->at, n);
  r->at += n;
  return static_cast<int>(n);
}

void SkipMemory(void* user, int n) {
  auto* r = static_cast<MemoryReader*>(user);
  if (n < 0) r->at -= std::min(static_cast<std::size_t>(-static_cast<long long>(n)), r->at);
  else r->at += std::min(static_cast<std::size_t>(n), r->size - r->at);
}

int AtEndOfMemory(void* user) {
  auto* r = static_cast<MemoryReader*>(user);
  return r->at >= r->size;
}

constexpr stbi_io_callbacks kMemoryCallbacks = {ReadMemory, SkipMemory, AtEndOfMemory};

bool FitsInt(const std::vector<unsigned char>& bytes) { return bytes.size() <= INT_MAX; }

int InfoOf(const std::vector<unsigned char>& bytes, ImageHeader* h) {
  if (FitsInt(bytes))
    return stbi_info_from_memory(bytes.data(), static_cast<int>(bytes.size()), &h->width,
                                 &h->height, &h->channels);
  MemoryReader reader{bytes.data(), bytes.size()};
  return stbi_info_from_callbacks(&kMemoryCallbacks, &reader, &h->width, &h->height, &h->channels);
}

unsigned char* LoadOf(const std::vector<unsigned char>& bytes, int* width, int* height,
                      int* channels) {
  if (FitsInt(bytes))
    return stbi_load_from_memory(bytes.data(), static_cast<int>(bytes.size()), width, height,
                                 channels, 0);
  MemoryReader reader{bytes.data(), bytes.size()};
  return stbi_load_from_callbacks(&kMemoryCallbacks, &reader, width, height, channels, 0);
}

// Why an image of this size is refused, or null. The BMP and GIF decoders take
// a width or height of 0 and return an empty image, which no writer can encode
// (the PNG writer even reads a first pixel of each empty row); the texts are the
// library's for other nonsense in such headers. A header of a few bytes can ask
// for gigabytes, which the library allocates and fills (a JPEG decodes to full
// size even without image data): more pixels than the file's bytes could carry
// are refused. So is a PNG output larger than the writer can count; JPEG outputs
// are within the writer's int indexes whenever the decoder's own limit
// (width*height*channels < 2^31) lets them through.
const char* SizeRefusal(const SourceImage& source, int width, int height, int channels) {
  const std::vector<unsigned char>& bytes = source.bytes;
  const std::size_t headLength = std::min<std::size_t>(bytes.size(), 4);
  if (width <= 0 || height <= 0) return headLength && bytes[0] == 'G' ? "Corrupt GIF" : "bad BMP";
  if (!PixelCountFitsFile(bytes.data(), headLength, 1LL * width * height, bytes.size()))
    return kTooLargeText;
  if (source.kind != ImageKind::Jpeg && !PngWriterCanEncode(width, height, channels))
    return kTooLargeText;
  return nullptr;
}

}  // namespace

void ParseSourceImage(SourceImage* source) {
  // This library version overruns its Huffman tables on a DHT segment with more
  // than 256 codes, and its header parser already builds them: such a file is
  // corrupt, and is refused before the library sees it.
  source->tablesFit = JpegHuffmanTablesFit(source->bytes.data(), source->bytes.size());
  source->hasHeader = source->tablesFit && InfoOf(source->bytes, &source->header) != 0;
}

DecodedPixels DecodeSourceImage(const SourceImage& source, int* width, int* height,
                                int* channels, std::string* reason) {
  if (!source.tablesFit) {
    *reason = "Corrupt JPEG";
    return nullptr;
  }
  const ImageHeader& h = source.header;
  const char* refusal = nullptr;
  if (source.hasHeader && (refusal = SizeRefusal(source, h.width, h.height, h.channels))) {
    *reason = refusal;
    return nullptr;
  }
  DecodedPixels pixels(LoadOf(source.bytes, width, height, channels));
  if (!pixels) {
    const char* why = stbi_failure_reason();
    *reason = why ? why : "";
  } else if ((refusal = SizeRefusal(source, *width, *height, *channels))) {
    // The header's channel count can be one short: a PNG's tRNS chunk adds alpha.
    pixels.reset();
    *reason = refusal;
  }
  return pixels;
}
