#pragma once
// Our own JPEG decoder. It gives, for every input that starts with the SOI
// marker, what the image library's decoder gives for it on x86-64: the same
// size, channel count (1, or 3 for three and four components), the same bytes
// and, on failure, the same reason. Faster than the library, and built so that
// no input makes it read or write outside its buffers.
//
// Where the library's own behaviour is undefined, ours is defined: a Huffman
// table of more than 256 codes (the library writes past its arrays; the caller
// refuses such files first) fails with "Corrupt JPEG"; sums that overflow an int
// (the DC prediction, coefficient times quantizer) wrap, as they do in the
// library's x86-64 code; the bit count may go below zero after a marker, as the
// library's does, and only zeros are shifted in then.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

/// Whether data starts as the decoder's input must: FF D8 (the SOI marker). The
/// library tests exactly this first for a file that is no PNG, BMP or GIF.
bool LooksLikeJpeg(const unsigned char* data, std::size_t size);

/// Decodes size bytes at data. On success returns the pixels (rows top down,
/// *channels bytes a pixel) in a block from std::malloc, to be released with
/// std::free. On failure returns null and sets *reason to the library's text
/// (its messages for users: "Corrupt JPEG" for nearly every damage, "Image too
/// large to decode", "Very large image (corrupt?)", "Out of memory", "JPEG format
/// not supported: 8-bit only" ...); where the library fails without a reason of
/// its own (and would report its PNG probe's "Not a PNG"), "Corrupt JPEG".
/// The caller can let the input's bytes go as the decoder passes them: what it
/// is told of its reading.
struct JpegInputUse {
  std::function<void()> done;  // the input is read no more (before the pixels are made)
  std::function<void(std::size_t)> passed;  // nothing before this position is read again
};

/// inputUse, if given, hears how the input is read.
unsigned char* DecodeJpegImage(const unsigned char* data, std::size_t size, int* width,
                               int* height, int* channels, const char** reason,
                               const JpegInputUse& inputUse = {});

/// A decode whose pixels are handed out a row at a time and never held whole: a
/// progressive image's coefficients are decoded first, each block row of a plane
/// made from them when a row of it is asked for; a baseline image whose one scan
/// holds every component is decoded an MCU row at a time as its rows are asked
/// for (any other, whole planes first). Each row is widened and converted when it
/// is asked for. Its rows, and its failures, are exactly DecodeJpegImage's.
struct JpegRowDecode;
struct JpegRowDecodeFree {
  void operator()(JpegRowDecode* decode) const;
};
using JpegRows = std::unique_ptr<JpegRowDecode, JpegRowDecodeFree>;

/// Decodes data as DecodeJpegImage does, up to its pixels. Null on failure, with
/// the same *reason DecodeJpegImage gives.
JpegRows StartJpegRows(const unsigned char* data, std::size_t size, int* width, int* height,
                       int* channels, const char** reason, const JpegInputUse& inputUse = {});

/// Reads up to n bytes of the input from position at into out; gives how many
/// (fewer only where the input ends).
using JpegInputReader = std::function<std::size_t(std::size_t at, unsigned char* out, std::size_t n)>;

/// StartJpegRows for an input of size bytes that is never held whole: read
/// asks for it in order, each byte once, a stretch at a time, as the decode
/// advances (a window of a few hundred KiB). Its rows and failures are
/// StartJpegRows' on the same bytes, except where JpegRowsWantWholeInput says
/// otherwise.
JpegRows StartJpegRowsAsRead(const JpegInputReader& read, std::size_t size, int* width,
                             int* height, int* channels, const char** reason);

/// For a decode read as it advances, whether its rows and result are to be
/// thrown away and the image decoded again from the whole input: a baseline
/// scan was streamed that something read after it (another scan, a JFIF or
/// Adobe tag) has a say over, or read gave fewer bytes than size. Once the
/// rows are all asked for, or one failed.
bool JpegRowsWantWholeInput(const JpegRowDecode* decode);

/// The next row of pixels, top down (width x channels bytes), valid until the
/// next call; at most height calls. A baseline image is decoded as its rows are
/// asked for, so the decode can still fail: then null, and every later call too.
/// With `into`, the row is made there and that is returned; one byte past the
/// row may be written too (the next row's first, or a byte to spare).
const unsigned char* NextJpegRow(JpegRowDecode* decode, unsigned char* into = nullptr);

/// Why NextJpegRow gave null: DecodeJpegImage's reason for the same input.
const char* JpegRowsFailure(const JpegRowDecode* decode);

/// What a JPEG's headers say of the memory its decode a row at a time takes.
struct JpegFrame {
  bool progressive = false;
  std::uint64_t planeBytes = 0;  // its component planes, whole MCUs (a sample a byte)
  // A baseline image decoded as its rows are asked for: the first scan holds
  // every component, and nothing read after it before the image's end (another
  // scan, a JFIF or Adobe tag) can change its rows, as far as the bytes given
  // show. Then only ringBytes of its planes are held.
  bool streams = false;
  std::uint64_t ringBytes = 0;
};

/// Reads the headers of the JPEG at data up to its frame header (a baseline
/// image's up to its first scan). False when they don't get to the frame
/// header (damaged, or not all in size bytes).
bool ReadJpegFrame(const unsigned char* data, std::size_t size, JpegFrame* frame);
