// The one translation unit that holds the image libraries' code, with their
// configuration right above the includes.
#define STB_IMAGE_IMPLEMENTATION
#define STBI_FAILURE_USERMSG
#define STBI_WINDOWS_UTF8
#define STB_IMAGE_WRITE_IMPLEMENTATION
#define STBIW_WINDOWS_UTF8
#include "engine/image_codec.h"

#include <mutex>

namespace {

std::mutex png_level_mutex;

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
    std::lock_guard<std::mutex> lock(png_level_mutex);
    stbi_write_png_compression_level = level;
    png = stbi_write_png_to_mem(pixels, width * channels, width, height, channels, &len);
  }
  *length = png ? static_cast<std::size_t>(len) : 0;
  return LibraryBuffer(png);
}

DecodedPixels DecodeImageFile(const std::string& utf8Path, int* width, int* height,
                              int* channels, std::string* reason) {
  unsigned char* pixels = stbi_load(utf8Path.c_str(), width, height, channels, 0);
  if (!pixels) {
    const char* why = stbi_failure_reason();
    *reason = why ? why : "";
  }
  return DecodedPixels(pixels);
}
