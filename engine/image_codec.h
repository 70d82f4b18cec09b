#pragma once
// The image library, reached through one translation unit that holds its code.
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

/// Encodes pixels as JPEG, handing the stream to write in chunks: the same bytes
/// that stbi_write_jpg puts in a file. False if the encoder refuses.
bool EncodeJpeg(const unsigned char* pixels, int width, int height, int components,
                int quality, stbi_write_func* write, void* context);

/// A block allocated by the library, released with its heap's free.
struct LibraryFree {
  void operator()(unsigned char* p) const { std::free(p); }
};
using LibraryBuffer = std::unique_ptr<unsigned char, LibraryFree>;

/// Encodes pixels as a PNG file image in memory at the given deflate level; null
/// if the encoder refuses. The library's level is one process-wide setting: every
/// PNG encode goes through here, so "set level + encode" happens under one lock
/// and each PNG gets its own level even when two threads encode at once.
LibraryBuffer EncodePngToMemory(const unsigned char* pixels, int width, int height,
                                int channels, int level, std::size_t* length);

/// Decoded pixels, released with the library's own function.
struct PixelsFree {
  void operator()(unsigned char* p) const { stbi_image_free(p); }
};
using DecodedPixels = std::unique_ptr<unsigned char, PixelsFree>;

/// The refusal of an image too large for its file or for the PNG writer
/// (engine/image_limits.h).
inline constexpr char kTooLargeText[] = "图片尺寸过大";

/// The refusal of a JPEG with more scans than any encoder writes (engine/jpeg_tables.h).
inline constexpr char kTooManyScansText[] = "JPEG扫描次数过多";

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
