#pragma once
// The image library, reached through one translation unit that holds its code.
// Its writer is only the reference our own writers are tested against.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>

#include <stb_image.h>
#include <stb_image_write.h>

// The library defines this in its implementation but does not declare it.
extern "C" unsigned char* stbi_write_png_to_mem(const unsigned char* pixels, int stride_bytes,
                                                int x, int y, int n, int* out_len);

/// A block from the C heap (an encoded file), released with free.
struct LibraryFree {
  void operator()(unsigned char* p) const { std::free(p); }
};
using LibraryBuffer = std::unique_ptr<unsigned char, LibraryFree>;

/// Decoded pixels, released with the library's own function.
struct PixelsFree {
  void operator()(unsigned char* p) const { stbi_image_free(p); }
};
using DecodedPixels = std::unique_ptr<unsigned char, PixelsFree>;

/// The refusal of an image too large for its file or for the PNG writer
/// (engine/image_limits.h).
inline constexpr char kTooLargeText[] = "图片尺寸过大";

/// Decodes an image file (UTF-8 name) to 8-bit samples with the file's own channel
/// count. On failure returns null and sets *reason to the library's text, our own
/// refusal (kTooLargeText, "Corrupt JPEG" for tables the library would overrun),
/// or the empty string when there is none. *fileBytes is the size of the file as
/// it was read (SIZE_UNKNOWN when the system does not say).
DecodedPixels DecodeImageFile(const std::string& utf8Path, int* width, int* height,
                              int* channels, std::uint64_t* fileBytes, std::string* reason);

/// Width, height and channel count from an image file's header (UTF-8 name), read
/// without decoding it. False when the file can't be opened or is no known image.
bool ReadImageHeader(const std::string& utf8Path, int* width, int* height, int* channels);
