#pragma once
#include <cstddef>
#include <functional>

/// For JPEG data (starting with the SOI marker, after any 0xFF fill bytes): false
/// when a Huffman table (DHT segment) lists more than 256 codes. The image
/// library's decoder stores such a table past the end of its arrays, so these
/// files must not reach it. Anything that is not JPEG, or whose markers can't be
/// followed, passes: the decoder rejects that itself.
bool JpegHuffmanTablesFit(const unsigned char* data, std::size_t size);

/// The same for data held in equal blocks of blockSize bytes (all but the last
/// full), as a file is read.
bool JpegHuffmanTablesFitInBlocks(const unsigned char* const* blocks, std::size_t blockSize,
                                  std::size_t size);

/// The most scans (SOS segments) a JPEG may have. The decoder goes over the whole
/// image once per scan, so a file padded with thousands of empty scans costs
/// minutes to hours. Real encoders write 1 to 3 (baseline), 10 (libjpeg's
/// progressive script) or about 20 (mozjpeg's optimised scripts); even a scan
/// for every one of the 64 coefficients of each of 3 components, with refinement
/// passes besides, stays below this.
inline constexpr std::size_t kMostJpegScans = 256;

/// For JPEG data held in equal blocks, as for the tables above: false when it has
/// more than kMostJpegScans scans. Anything that is not JPEG passes.
bool JpegScanCountWithinBoundInBlocks(const unsigned char* const* blocks, std::size_t blockSize,
                                      std::size_t size);

/// Block `index` of data read as it is walked (blockSize bytes, all but the
/// last full): asked for in order, and never again for one more than a block
/// behind the newest (a segment is at most 64 KiB), so two blocks held are
/// enough.
using JpegBlockSource = std::function<const unsigned char*(std::size_t index)>;

struct JpegChecks {
  bool tablesFit = true;         // JpegHuffmanTablesFit's verdict
  bool scansWithinBound = true;  // JpegScanCountWithinBoundInBlocks'
};

/// Both verdicts in one walk over data read as it goes (blockSize at least
/// 128 KiB).
JpegChecks CheckJpegBlocks(const JpegBlockSource& block, std::size_t blockSize, std::size_t size);
