#include "engine/estimate.h"

#include <thread>

#include "engine/compress.h"
#include "engine/image_codec.h"
#include "tests/reference/stb_write_reference.h"
#include "tests/test_support.h"

namespace {

class EstimateTest : public TempDirTest {
 protected:
  std::uint64_t Written(const fs::path& input, int quality) {
    fs::path out = dir_ / ("out-" + std::to_string(counter_++));
    fs::create_directories(out);
    CompressResult r;
    EXPECT_TRUE(CompressImageFile(input, out, quality, &r)) << input << " " << r.errorText;
    return r.outputBytes;
  }
  int counter_ = 0;
};

}  // namespace

TEST_F(EstimateTest, EqualsTheSizeTheBatchWrites) {
  std::vector<fs::path> inputs;
  for (int channels = 1; channels <= 4; ++channels) {
    MakePng(dir_ / ("c" + std::to_string(channels) + ".png"), 31, 17, channels);
    inputs.push_back(dir_ / ("c" + std::to_string(channels) + ".png"));
    fs::copy_file(inputs.back(), dir_ / ("c" + std::to_string(channels) + ".JPG"));
    inputs.push_back(dir_ / ("c" + std::to_string(channels) + ".JPG"));
  }
  for (const char* name : {"gray.jpg", "rgb.jpg", "rgba.png", "ga.png"})
    inputs.push_back(TestDataDir() / name);
  for (const char* name : {"testorig.jpg", "testimgint.jpg", "testorig.png"})
    inputs.push_back(CorpusDir() / "jpeg" / name);
  for (const char* name : {"basn0g16.png", "basn3p08.png", "basn6a16.png", "ibasn4a08.png"})
    inputs.push_back(CorpusDir() / "pngsuite" / name);
  for (const fs::path& input : inputs)
    for (int quality : {0, 80, 91, 100}) {
      std::uint64_t estimate = 0;
      ASSERT_TRUE(EstimateCompressedSize(input, quality, &estimate)) << input;
      EXPECT_EQ(estimate, Written(input, quality)) << input << " at quality " << quality;
    }
}

TEST_F(EstimateTest, FailuresLeaveTheSizeAlone) {
  std::uint64_t size = 12345;
  EXPECT_FALSE(EstimateCompressedSize(dir_ / "missing.png", 80, &size));
  WriteBytes(dir_ / "empty.jpg", "");
  EXPECT_FALSE(EstimateCompressedSize(dir_ / "empty.jpg", 80, &size));
  WriteBytes(dir_ / "text.png", "not an image");
  EXPECT_FALSE(EstimateCompressedSize(dir_ / "text.png", 80, &size));
  // A JPEG whose decode fails after its rows were handed to the encoding thread
  // (the end marker replaced): no size, and nothing kept.
  MakeJpeg(dir_ / "valid.jpg", 40, 40, 3);
  std::string jpeg = ReadBytes(dir_ / "valid.jpg");
  jpeg.back() = '\x01';
  WriteBytes(dir_ / "bad-end.jpg", jpeg);
  EstimateCache cache;
  EXPECT_FALSE(EstimateCompressedSize(dir_ / "bad-end.jpg", 80, &size, &cache));
  EXPECT_FALSE(cache.pixels);
  EXPECT_EQ(size, 12345u);
}

// No figure for a file the batch would refuse by its name, whatever it holds.
TEST_F(EstimateTest, OtherExtensionsAreRefusedAsCompressionRefusesThem) {
  MakePng(dir_ / "a.png", 20, 20, 4);
  fs::copy_file(dir_ / "a.png", dir_ / "a.gif");
  std::uint64_t asPng = 0, asGif = 7;
  ASSERT_TRUE(EstimateCompressedSize(dir_ / "a.png", 50, &asPng));
  EXPECT_FALSE(EstimateCompressedSize(dir_ / "a.gif", 50, &asGif));
  EXPECT_EQ(asGif, 7u);
}

// The deflate level is one setting for the whole process: a preview and a batch
// encoding PNGs at different qualities at the same time must each get their own.
TEST_F(EstimateTest, ConcurrentEncodesKeepTheirOwnLevel) {
  // Structure without noise, so that deflate effort shows in the size.
  const int w = 300, h = 200;
  std::vector<unsigned char> pixels(w * h * 3);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x)
      for (int c = 0; c < 3; ++c)
        pixels[(y * w + x) * 3 + c] = static_cast<unsigned char>((x / 7) * 37 + (y / 5) * (11 + c) + (x * y) % 13);
  int length = 0;
  unsigned char* png = stbi_write_png_to_mem(pixels.data(), w * 3, w, h, 3, &length);
  WriteBytes(dir_ / "p.png", std::string(reinterpret_cast<char*>(png), length));
  free(png);
  const std::uint64_t batchSize = Written(dir_ / "p.png", 100);
  std::uint64_t previewSize = 0;
  ASSERT_TRUE(EstimateCompressedSize(dir_ / "p.png", 0, &previewSize));
  ASSERT_NE(batchSize, previewSize);  // levels 9 and 1 give different files

  fs::path out = dir_ / "concurrent";
  fs::create_directories(out);
  int previewMismatches = 0;
  std::thread preview([&] {
    for (int i = 0; i < 40; ++i) {
      std::uint64_t size = 0;
      if (!EstimateCompressedSize(dir_ / "p.png", 0, &size) || size != previewSize)
        ++previewMismatches;
    }
  });
  for (int i = 0; i < 40; ++i) {
    CompressResult r;
    ASSERT_TRUE(CompressImageFile(dir_ / "p.png", out, 100, &r));
    EXPECT_EQ(r.outputBytes, batchSize);
  }
  preview.join();
  EXPECT_EQ(previewMismatches, 0);
}

// The preview keeps the decoded image: another quality of the same file costs an
// encode, never a read or a decode, until the file changes.
TEST_F(EstimateTest, TheCacheDecodesAFileOnceUntilItChanges) {
  // A real JPEG's first estimate encodes while it decodes: the kept image is
  // then what later qualities are encoded from.
  for (const fs::path& jpeg : {CorpusDir() / "jpeg" / "testorig.jpg",
                               TestDataDir() / "jpeg-decoder" / "progressive-large-230x161.jpg"}) {
    EstimateCache kept;
    std::uint64_t at80 = 0, at30 = 0;
    ASSERT_TRUE(EstimateCompressedSize(jpeg, 80, &at80, &kept));
    ASSERT_TRUE(EstimateCompressedSize(jpeg, 30, &at30, &kept));
    EXPECT_EQ(kept.decodes, 1u);
    EXPECT_EQ(at80, Written(jpeg, 80)) << jpeg;
    EXPECT_EQ(at30, Written(jpeg, 30)) << jpeg;
  }
  MakePng(dir_ / "a.jpg", 40, 30, 3);
  EstimateCache cache;
  std::uint64_t first = 0, second = 0, again = 0;
  ASSERT_TRUE(EstimateCompressedSize(dir_ / "a.jpg", 80, &first, &cache));
  ASSERT_TRUE(EstimateCompressedSize(dir_ / "a.jpg", 30, &second, &cache));
  EXPECT_EQ(cache.decodes, 1u);
  EXPECT_EQ(second, Written(dir_ / "a.jpg", 30));
  MakePng(dir_ / "a.jpg", 60, 30, 3);  // another size: another file
  ASSERT_TRUE(EstimateCompressedSize(dir_ / "a.jpg", 30, &again, &cache));
  EXPECT_EQ(cache.decodes, 2u);
  EXPECT_EQ(again, Written(dir_ / "a.jpg", 30));
  // Another photo of the same size and write time moved into the name (cp -p,
  // then mv): another file all the same.
  std::string other = ReadBytes(dir_ / "a.jpg");
  other[other.size() / 2] ^= 0x55;  // a damaged pixel row: the same length
  WriteBytes(dir_ / "b.jpg", other);
  fs::last_write_time(dir_ / "b.jpg", fs::last_write_time(dir_ / "a.jpg"));
  fs::rename(dir_ / "b.jpg", dir_ / "a.jpg");
  std::uint64_t moved = 0;
  EstimateCompressedSize(dir_ / "a.jpg", 30, &moved, &cache);
  EXPECT_EQ(cache.decodes, 3u);
}
