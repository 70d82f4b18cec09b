// The one translation unit that holds the image libraries' code, with their
// configuration right above the includes.
#define STB_IMAGE_IMPLEMENTATION
// The decoder leaves parts of its buffers unwritten for some corrupt files (a
// component no scan covers) and still turns them into pixels: zeroed blocks keep
// leftovers of earlier images out of an output and make the result repeatable.
#define STBI_MALLOC(size) std::calloc(1, size)
#define STBI_REALLOC(p, size) std::realloc(p, size)
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

static void* GrowOrThrow(void* block, std::size_t size) {
  void* grown = std::realloc(block, size);
  if (!grown) {
    std::free(block);
    throw std::bad_alloc();
  }
  return grown;
}

#include "engine/image_codec.h"

#include <cstdio>

#include "engine/compress_result.h"
#include "engine/extension.h"
#include "engine/file_system.h"
#include "engine/image_limits.h"
#include "engine/jpeg_tables.h"
#include "engine/utf8.h"

namespace {

struct FileClose {
  void operator()(std::FILE* file) const { std::fclose(file); }
};

// Why an image of this size is refused, or null. The BMP and GIF decoders take
// a width or height of 0 and return an empty image, which no writer can encode
// (the PNG writer even reads a first pixel of each empty row); the texts are the
// library's for other nonsense in such headers. A header of a few bytes can ask
// for gigabytes, which the library allocates and fills (a JPEG decodes to full
// size even without image data): more pixels than the file's bytes could carry
// are refused. So is a PNG output larger than the writer can count; JPEG outputs
// are within the writer's int indexes whenever the decoder's own limit
// (width*height*channels < 2^31) lets them through.
const char* SizeRefusal(std::FILE* file, std::uint64_t fileBytes, const std::string& utf8Path,
                        int width, int height, int channels) {
  unsigned char head[4] = {};
  std::rewind(file);
  const std::size_t headLength = std::fread(head, 1, sizeof head, file);
  if (width <= 0 || height <= 0) return head[0] == 'G' ? "Corrupt GIF" : "bad BMP";
  if (fileBytes != SIZE_UNKNOWN &&
      !PixelCountFitsFile(head, headLength, 1LL * width * height, fileBytes))
    return kTooLargeText;
  if (ImageKindOfName(Utf8ToPath(utf8Path)) != ImageKind::Jpeg &&
      !PngWriterCanEncode(width, height, channels))
    return kTooLargeText;
  return nullptr;
}

}  // namespace

DecodedPixels DecodeImageFile(const std::string& utf8Path, int* width, int* height,
                              int* channels, std::uint64_t* fileBytes, std::string* reason) {
  // Opened the library's way (UTF-8 names on Windows too); the checks below read
  // the file before the decoder does, without holding it whole.
  std::unique_ptr<std::FILE, FileClose> file(stbi__fopen(utf8Path.c_str(), "rb"));
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
  const char* refusal = nullptr;
  if (stbi_info_from_file(file.get(), width, height, channels) &&
      (refusal = SizeRefusal(file.get(), *fileBytes, utf8Path, *width, *height, *channels))) {
    *reason = refusal;
    return nullptr;
  }
  std::rewind(file.get());
  DecodedPixels pixels(stbi_load_from_file(file.get(), width, height, channels, 0));
  if (!pixels) {
    const char* why = stbi_failure_reason();
    *reason = why ? why : "";
  } else if ((refusal = SizeRefusal(file.get(), *fileBytes, utf8Path, *width, *height, *channels))) {
    // The header's channel count can be one short: a PNG's tRNS chunk adds alpha.
    pixels.reset();
    *reason = refusal;
  }
  return pixels;
}

bool ReadImageHeader(const std::string& utf8Path, int* width, int* height, int* channels) {
  std::unique_ptr<std::FILE, FileClose> file(stbi__fopen(utf8Path.c_str(), "rb"));
  return file && stbi_info_from_file(file.get(), width, height, channels) != 0;
}
