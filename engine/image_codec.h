#pragma once
// The image library's entry points as this program uses them. The library's code
// itself is in engine/stb_library.cpp; its writer is only the reference our own
// writers are tested against.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "engine/extension.h"
#include "engine/file_bytes.h"

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

/// Forgets the decoder's last failure on this thread, before a decode.
void ClearDecoderFailure();
/// Whether an allocation of the decoder failed on this thread since it was cleared.
bool DecoderAllocationFailed();

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

/// What an image's header says, read without decoding it.
struct ImageHeader {
  int width = 0;
  int height = 0;
  int channels = 0;
};

/// An input file as it was read, once: its bytes, what its name makes of it and,
/// when it has a header the library knows, what that says. The memory budget, the
/// size checks and the decoder all take it from here.
struct SourceImage {
  FileBytes bytes;
  ImageKind kind = ImageKind::Other;
  bool tablesFit = true;   // false: JPEG tables the library would overrun (never parsed)
  bool scansWithinBound = true;  // false: a JPEG with more scans than any encoder writes
  bool hasHeader = false;  // false: no known image, or tables that don't fit
  ImageHeader header;
};

/// Looks at bytes already read: the Huffman-table check first (the library's own
/// header parser builds those tables), then the header. Fills the fields after
/// `kind` of *source.
void ParseSourceImage(SourceImage* source);

/// Decodes a source image to 8-bit samples with the file's own channel count
/// (a JPEG with our own decoder, engine/codecs/jpeg_decoder.h, which gives the
/// library's result; every other format with the library),
/// letting go of its bytes as the decoder passes them (the source is spent
/// afterwards). On failure returns null and sets *reason to the library's text, our own refusal
/// (kTooLargeText, "Corrupt JPEG" for tables the library would overrun), or the
/// empty string when there is none.
DecodedPixels DecodeSourceImage(SourceImage* source, int* width, int* height, int* channels,
                                std::string* reason);
