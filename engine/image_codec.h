#pragma once
// The image library's entry points as this program uses them. The decoder's code
// is in engine/codecs/stb_library.cpp. The library's writer is not in the program: it
// is only the reference our own writers are tested against (tests/reference).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/codecs/jpeg_decoder.h"
#include "engine/extension.h"
#include "engine/file_bytes.h"
#include "engine/file_system.h"

#include <stb_image.h>

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

/// The text of every allocation that failed on the way, as the image library words it.
inline constexpr char kOutOfMemoryText[] = "Out of memory";

/// The refusal of a JPEG with more scans than any encoder writes (engine/codecs/jpeg_tables.h).
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
  OpenedFile file;  // open while the rest of the bytes is still to be read
  FileBytes bytes;
  ImageKind kind = ImageKind::Other;
  bool tablesFit = true;   // false: JPEG tables the library would overrun (never parsed)
  bool scansWithinBound = true;  // false: a JPEG with more scans than any encoder writes
  bool hasHeader = false;  // false: no known image, or tables that don't fit
  ImageHeader header;
  // A JPEG by its first block (its frame): what its decode a row at a time
  // holds besides its bytes (0: the frame isn't there), and whether that
  // decode holds no planes (a streamed scan, or a progressive image).
  std::uint64_t jpegRowsMemory = 0;
  bool jpegWithoutPlanes = false;
  // The file changed while it was read and was read again from its start: a
  // second change fails it.
  bool readAgain = false;
};

/// Looks at bytes already read: the Huffman-table check first (the library's own
/// header parser builds those tables), then the header. Fills the fields after
/// `kind` of *source.
void ParseSourceImage(SourceImage* source);

/// For a source of which only the head is read, of a file of fileBytes bytes:
/// whether the head already shows how its decode would end, so that the rest
/// need not be read. It does for content no decoder recognises (*reason is then
/// the library's own text for it), Huffman tables the library would overrun,
/// too many scans, and a header whose size is refused. Parses the head
/// (ParseSourceImage); false when the file is worth reading whole.
bool RefuseFromHead(SourceImage* source, std::uint64_t fileBytes, std::string* reason);

/// Decodes a source image to 8-bit samples with the file's own channel count
/// (a JPEG with our own decoder, engine/codecs/jpeg_decoder.h, which gives the
/// library's result; every other format with the library),
/// letting go of its bytes as the decoder passes them (the source is spent
/// afterwards). On failure returns null and sets *reason to the library's text, our own refusal
/// (kTooLargeText, "Corrupt JPEG" for tables the library would overrun), or the
/// empty string when there is none.
DecodedPixels DecodeSourceImage(SourceImage* source, int* width, int* height, int* channels,
                                std::string* reason);

/// Whether the source is a JPEG that becomes a JPEG: our decoder can then hand
/// its pixels to the writer a row at a time (DecodeSourceRows), never whole.
bool DecodesAsJpegRows(const SourceImage& source);

/// A JPEG decoded a row at a time, and the file's bytes its decode reads as it
/// goes (a baseline scan is decoded as its rows are asked for).
struct JpegInput;
struct JpegInputFree {
  void operator()(JpegInput* input) const;
};
struct JpegReadAsItGoes;
struct JpegReadAsItGoesFree {
  void operator()(JpegReadAsItGoes* reading) const;
};
struct SourceRows {
  std::unique_ptr<JpegInput, JpegInputFree> input;
  std::unique_ptr<JpegReadAsItGoes, JpegReadAsItGoesFree> reading;
  JpegRows rows;  // let go before the input it reads
};

/// Told, before a decode holds anything, all the memory its file will hold (its
/// bytes and its working memory, as the whole file shows them): false when that
/// can't be had, and the decode is not made ("Out of memory").
using MemoryAsk = std::function<bool(std::uint64_t)>;

/// DecodeSourceImage for such a source, as rows (StartJpegRows): the same
/// checks, the same size and channels, the same reason on failure (also when
/// a row fails: JpegRowsFailure). The source's bytes move to the result.
/// ask, if given, hears what the decode will hold, from the whole file.
SourceRows DecodeSourceRows(SourceImage* source, int* width, int* height, int* channels,
                            std::string* reason, const MemoryAsk& ask = {});

/// The memory such a decode holds besides the file's bytes, from the frame
/// header in the source's first block as parsed; 0 when it isn't there.
std::uint64_t JpegRowsMemory(const SourceImage& source);

/// Whether the source, of which only the head is read (the file still open),
/// is decoded as it is read (DecodeSourceRowsAsRead), never held whole: a JPEG
/// that becomes a JPEG, whose head shows its frame and a decode that holds no
/// planes (a progressive image's coefficients, or a baseline scan streamed).
bool DecodesAsRead(const SourceImage& source);

/// DecodeSourceRows for such a source, its file read as the decode advances: a
/// window of it held, never the whole. The same checks first, on a read of the
/// whole file in order that holds two blocks (a read error fails it with
/// "Unable to open file"); *inputBytes gets the bytes it counted. The source's
/// file stays with the source, its head is let go. Once the rows are taken (or
/// failed), ReadAsItWent tells whether they and the result stand.
SourceRows DecodeSourceRowsAsRead(SourceImage* source, int* width, int* height, int* channels,
                                  std::string* reason, std::uint64_t* inputBytes);

/// False when the decode read as it went is to be thrown away and the file
/// decoded again, read whole: a baseline scan it streamed turned out not to
/// be the image's last word (JpegRowsWantWholeInput), or the file changed
/// since it was opened. Reads the rest of the file to tell.
bool ReadAsItWent(SourceRows* rows);
