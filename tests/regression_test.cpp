// Every file in tests/regression/ (fuzz reproducers and images whose headers lie)
// goes through the compression and the estimate at several qualities. The
// sanitizer build turns a memory fault on the way into a failed test.
#include <cstdint>
#include <map>
#include <string>

#include "engine/compress.h"
#include "engine/compress_batch.h"
#include "engine/estimate.h"
#include "engine/image_codec.h"
#include "tests/test_support.h"

namespace {

class RegressionTest : public TempDirTest {};

fs::path RegressionDir() { return QUILLMAR_REGRESSION_DIR; }

// What each known file must fail with ("": it must be compressed).
const std::map<std::string, std::string>& ExpectedErrors() {
  static const std::map<std::string, std::string> expected = {
      {"jpeg-dht-over-256-codes.jpg", "Corrupt JPEG"},
      {"jpeg-dht-after-fill-bytes.jpg", "Corrupt JPEG"},
      // The same table before the frame header, where the header parse meets it.
      {"jpeg-dht-before-frame-header.jpg", "Corrupt JPEG"},
      {"png-ihdr-100000x100000.png", "Image too large to decode"},
      {"png-ihdr-20000x20000-gray.png", kTooLargeText},
      {"jpeg-sof-65535x65535.jpg", kTooLargeText},
      {"jpeg-sof-16384x16384.jpg", kTooLargeText},
      // A 65535x32767 gray frame whose plane (w2 x h2 + 15 bytes) does not fit
      // an int: the decoder refuses it at its frame header ("Out of memory"),
      // as the library does; the program already refuses so many pixels from
      // so few bytes.
      {"jpeg-plane-past-int-streamable.jpg", kTooLargeText},
      {"jpeg-plane-past-int-then-bad-marker.jpg", kTooLargeText},
      // BMPs of no rows or no columns: an empty "success", the PNG writer's overread.
      {"bmp-zero-height.png", "bad BMP"},
      {"bmp-zero-width.png", "bad BMP"},
      // Pixels past the 242 entries of an 8-bit BMP's palette: black in every run.
      {"bmp-palette-shorter-than-indexes.jpg", ""},
      // A GIF frame on a far larger canvas: it decodes, the rest transparent.
      {"gif-canvas-beyond-frame.png", ""},
  };
  return expected;
}

}  // namespace

TEST_F(RegressionTest, EveryReproducerKeepsTheEnginesPromises) {
  int files = 0;
  for (const auto& entry : fs::directory_iterator(RegressionDir())) {
    if (!entry.is_regular_file()) continue;
    ++files;
    for (int quality : {0, 80, 100}) {
      SCOPED_TRACE(entry.path().string() + " at quality " + std::to_string(quality));
      const fs::path out = dir_ / std::to_string(files) / std::to_string(quality);
      fs::create_directories(out);
      CompressResult r;
      r.success = CompressImageFile(entry.path(), out, quality, &r);
      EXPECT_EQ(r.success, r.errorText.empty()) << r.errorText;
      if (r.success) {
        EXPECT_EQ(r.outputBytes, fs::file_size(r.outputPath));
      } else {
        EXPECT_TRUE(fs::is_empty(out)) << "a failed file left output behind";
      }
      std::uint64_t estimate = 0;
      const bool estimated = EstimateCompressedSize(entry.path(), quality, &estimate);
      EXPECT_EQ(estimated, r.success);
      if (estimated && r.success) {
        EXPECT_EQ(estimate, r.outputBytes);
      }
    }
  }
  EXPECT_GE(files, static_cast<int>(ExpectedErrors().size()));
}

TEST_F(RegressionTest, KnownHostileFilesFailWithTheirText) {
  for (const auto& [name, text] : ExpectedErrors()) {
    SCOPED_TRACE(name);
    const fs::path out = dir_ / name;
    fs::create_directory(out);
    CompressResult r;
    EXPECT_EQ(CompressImageFile(RegressionDir() / name, out, 80, &r), text.empty());
    EXPECT_EQ(r.errorText, text);
    EXPECT_EQ(fs::is_empty(out), !text.empty());
  }
}

// A batch's workers read each file's header for the memory budget: the same files
// fail with the same texts there, and no header is parsed before the table check
// (the library's header parser already builds the tables it would overrun).
TEST_F(RegressionTest, KnownHostileFilesFailAlikeInAParallelBatch) {
  std::vector<fs::path> files;
  std::vector<std::string> texts;
  for (const auto& [name, text] : ExpectedErrors()) {
    files.push_back(RegressionDir() / name);
    texts.push_back(text);
  }
  BatchSettings settings;
  settings.workers = 2;
  CompressBatch(files, dir_, 80, [&](std::size_t i, CompressResult& r) {
    EXPECT_EQ(r.errorText, texts[i]) << files[i];
  }, settings);
}
