#pragma once
#include <cstdint>
#include <filesystem>

#include "engine/compress_result.h"
#include "engine/encode.h"
#include "engine/naming.h"
#include "engine/image_codec.h"

/// Re-encodes one JPEG or PNG file into outputDir (which must exist) under a name
/// that is not taken yet. Returns true when an output file was written; otherwise
/// false with result->errorText set. Never overwrites, never creates folders.
/// The same as PrepareImageFile followed by WritePreparedImage.
bool CompressImageFile(const std::filesystem::path& inputPath,
                       const std::filesystem::path& outputDir, int quality,
                       CompressResult* result);

/// How far preparing a file got.
enum class PreparedStage {
  Failed,          // result.errorText says why; nothing is named or written
  EncoderRefused,  // decoded, but the encoder gave nothing: the write names the file and fails
  Encoded,         // the output file is in `output`, waiting to be written
};

/// One file on its way: read, then decoded and encoded in memory, not yet
/// written anywhere.
struct PreparedImage {
  PreparedStage stage = PreparedStage::Failed;
  CompressResult result;            // width, height, channels, inputBytes or errorText so far
  std::filesystem::path fileName;   // the input's name, which the output takes
  unsigned permissions = 0;         // the output's mode bits (POSIX), from the open input
  SourceImage source;               // the input as read; released once decoded or failed
  // Where a large output is written as it is encoded, before it has a name
  // (StartOutputDraft; empty: held in memory), and what was written there.
  std::filesystem::path outputFolder;
  OutputDraft draft;
  EncodedFile output;               // the output, or what of it is not in the draft
  // Memory ran short once the file was being read, decoded or encoded: perhaps
  // only because other files held it, so a batch prepares it again alone. A
  // file refused before that ("Out of memory" for a file larger than any
  // budget) is that file's own failure.
  bool memoryShort = false;
};

/// The expensive half of CompressImageFile: ReadInputHead, then
/// PrepareReadImage. Touches no output folder, so files can be prepared on any
/// thread and in any order. True when stage is Encoded.
bool PrepareImageFile(const std::filesystem::path& inputPath, int quality,
                      std::uint64_t memoryBudget, PreparedImage* prepared);

/// Its first step: checks the input, opens it once and reads its head into
/// prepared->source (OpenSourceImage), whose header then tells what decoding it
/// will cost. False with result.errorText set when the file fails already.
bool ReadInputHead(const std::filesystem::path& inputPath, std::uint64_t memoryBudget,
                   PreparedImage* prepared);

/// What a file that passed ReadInputHead will hold at most: its bytes, then its
/// working memory while it is decoded and encoded (by its header, when the head
/// showed one).
std::uint64_t MemoryOfFile(const PreparedImage& prepared);

/// The same for the file read whole, as it is when it can't be decoded as it
/// is read (DecodesAsRead), or must be read whole after all.
std::uint64_t MemoryOfFileReadWhole(const PreparedImage& prepared);

/// What a file decoded as it is read holds of its bytes: the decoder's window
/// (a few hundred KiB) or the two blocks of the read before it, at most.
inline constexpr std::uint64_t kMemoryOfReadingAsItGoes = 1u << 20;

/// Working memory of one file while it is decoded and encoded, from its header:
/// four and a half times its decoded samples. Measured peaks: a progressive 4:4:4
/// JPEG decodes at 4.0 times (coefficients, planes and pixels at once), a noise
/// PNG at 4.1 (its compressed data, the inflated rows and the pixels, then the
/// encoder's rows and stream); baseline 4:2:0 JPEGs stay near 1.6.
std::uint64_t WorkingMemoryOfImage(int width, int height, int channels);

/// Its second step, after a successful ReadInputHead: reads the rest of the
/// file, decodes it and encodes the output into memory. ask, if given, is told
/// what the file will hold as the whole file shows it (MemoryOfFile went by
/// its head), before the decode holds it; when it says no, the file fails
/// with "Out of memory".
bool PrepareReadImage(int quality, PreparedImage* prepared, const MemoryAsk& ask = {});

/// The other half: chooses the free name in outputDir, creates the file
/// exclusively and writes the prepared bytes (or fails with the prepared text).
/// Moves the record into *result and releases the bytes. Files written in list
/// order get exactly the names a sequential run gives them. A run passes its own
/// names (one for all its files) so that it need not search from "_1" every time.
bool WritePreparedImage(PreparedImage* prepared, const std::filesystem::path& outputDir,
                        CompressResult* result, OutputNameMemory* names = nullptr);

