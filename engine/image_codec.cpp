// The one translation unit that holds the image libraries' code, with their
// configuration right above the includes.
#define STB_IMAGE_IMPLEMENTATION
// The decoder leaves parts of its buffers unwritten for some corrupt files (a
// component no scan covers) and still turns them into pixels: zeroed blocks keep
// leftovers of earlier images out of an output and make the result repeatable.
// A failed allocation is noted: the decoder gives some of them no reason of its
// own (the first block of the PNG inflater), and they are still "Out of memory".
#define STBI_MALLOC(size) NotedAllocation(std::calloc(1, size))
#define STBI_REALLOC(p, size) NotedAllocation(std::realloc(p, size))
#define STBI_FREE(p) std::free(p)
// TGA is the one format without a signature: a few bytes of garbage named .jpg
// or .png would "decode" as a black TGA image and be reported as a success. No
// one names a real TGA file so, and every other decoder checks its signature.
#define STBI_NO_TGA
// Nor does anyone name a Softimage PIC, Photoshop PSD, Radiance HDR or netpbm
// file .jpg or .png; their decoders only widen what a hostile file can reach (the
// PIC decoder's format conversion dereferences null on a 97-byte file). GIF and
// BMP stay: web images saved under the wrong name are real.
#define STBI_NO_PIC
#define STBI_NO_PSD
#define STBI_NO_HDR
#define STBI_NO_PNM
#define STBI_FAILURE_USERMSG
#define STBI_WINDOWS_UTF8
#define STB_IMAGE_WRITE_IMPLEMENTATION
// The PNG writer grows its buffers without looking at the result (an assert that
// release builds drop) and would then write past the old block. A growth that
// can't be had throws instead, out of the encoder: that file fails with "Out of
// memory" and the batch goes on. The old block is nobody's after the throw.
#define STBIW_MALLOC(size) std::malloc(size)
#define STBIW_REALLOC(p, size) GrowOrThrow(p, size)
#define STBIW_FREE(p) std::free(p)
#define STBIW_WINDOWS_UTF8
#include <cstdlib>
#include <new>

static thread_local bool decoder_allocation_failed = false;

static void* NotedAllocation(void* block) {
  if (!block) decoder_allocation_failed = true;
  return block;
}

static void* GrowOrThrow(void* block, std::size_t size) {
  void* grown = std::realloc(block, size);
  if (!grown) {
    std::free(block);
    throw std::bad_alloc();
  }
  return grown;
}

#include "engine/image_codec.h"

#include <condition_variable>
#include <cstdio>
#include <mutex>

#include "engine/compress_result.h"
#include "engine/extension.h"
#include "engine/file_system.h"
#include "engine/image_limits.h"
#include "engine/jpeg_tables.h"
#include "engine/utf8.h"

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

struct FileClose {
  void operator()(std::FILE* file) const { std::fclose(file); }
};

// Why an image of this size is refused, or null. The BMP and GIF decoders take
// a width or height of 0 and return an empty image, which no writer can encode
// (the PNG writer even reads a first pixel of each empty row); the texts are the
// library's for other nonsense in such headers. A top-down BMP's header gives a
// negative height, which the decoder turns round: its size is the magnitude. A
// header of a few bytes can ask for gigabytes, which the library allocates and
// fills (a JPEG decodes to full size even without image data): more pixels than
// the file's bytes could carry are refused. So is an output larger than its
// writer can describe: a PNG the writer can't count, a JPEG wider or taller than
// its 16-bit size fields.
const char* SizeRefusal(std::FILE* file, std::uint64_t fileBytes, const std::string& utf8Path,
                        int width, int height, int channels) {
  unsigned char head[4] = {};
  std::rewind(file);
  const std::size_t headLength = std::fread(head, 1, sizeof head, file);
  if (width == 0 || height == 0) return head[0] == 'G' ? "Corrupt GIF" : "bad BMP";
  const long long w = std::llabs(static_cast<long long>(width));
  const long long h = std::llabs(static_cast<long long>(height));
  if (fileBytes != SIZE_UNKNOWN && !PixelCountFitsFile(head, headLength, w * h, fileBytes))
    return kTooLargeText;
  const bool jpegOutput = ImageKindOfName(Utf8ToPath(utf8Path)) == ImageKind::Jpeg;
  if (jpegOutput ? !JpegWriterCanEncode(w, h) : !PngWriterCanEncode(w, h, channels))
    return kTooLargeText;
  return nullptr;
}

}  // namespace

DecodedPixels DecodeImageFile(const std::string& utf8Path, int* width, int* height,
                              int* channels, std::uint64_t* fileBytes, std::string* reason) {
  // Opened without waiting on a FIFO or device; the checks below read the file
  // before the decoder does, without holding it whole.
  std::unique_ptr<std::FILE, FileClose> file(OpenFileToRead(Utf8ToPath(utf8Path)));
  if (!file) {
    *reason = "Unable to open file";
    return nullptr;
  }
  if (!QueryOpenFileSize(file.get(), fileBytes)) *fileBytes = SIZE_UNKNOWN;
  // This library version overruns its Huffman tables on a DHT segment with more
  // than 256 codes; such a file is corrupt, and is refused before decoding.
  if (!JpegHuffmanTablesFitInFile(file.get())) {
    *reason = "Corrupt JPEG";
    return nullptr;
  }
  std::rewind(file.get());
  if (!JpegScanCountWithinBoundInFile(file.get())) {
    *reason = kTooManyScansText;
    return nullptr;
  }
  std::rewind(file.get());
  const char* refusal = nullptr;
  if (stbi_info_from_file(file.get(), width, height, channels) &&
      (refusal = SizeRefusal(file.get(), *fileBytes, utf8Path, *width, *height, *channels))) {
    *reason = refusal;
    return nullptr;
  }
  std::rewind(file.get());
  // The reason is per thread and outlives the call that set it: the header
  // query above (or another file) may have left one. Cleared, a failure without
  // a reason of its own is never worded with a stale one.
  stbi__g_failure_reason = nullptr;
  decoder_allocation_failed = false;
  DecodedPixels pixels(stbi_load_from_file(file.get(), width, height, channels, 0));
  if (!pixels) {
    const char* why = stbi_failure_reason();
    *reason = why ? why : decoder_allocation_failed ? "Out of memory" : "";
  } else if ((refusal = SizeRefusal(file.get(), *fileBytes, utf8Path, *width, *height, *channels))) {
    // The header's channel count can be one short: a PNG's tRNS chunk adds alpha.
    pixels.reset();
    *reason = refusal;
  }
  return pixels;
}

bool ReadImageHeader(const std::string& utf8Path, int* width, int* height, int* channels) {
  std::unique_ptr<std::FILE, FileClose> file(OpenFileToRead(Utf8ToPath(utf8Path)));
  return file && stbi_info_from_file(file.get(), width, height, channels) != 0;
}
