// Our JPEG and PNG writers against the library they replace: every stream must
// be the very bytes stb_image_write makes of the same pixels, on generated
// images of every shape and on real files.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <random>
#include <string>

#include "engine/image_codec.h"
#include "engine/codecs/jpeg_writer.h"
#include "engine/codecs/png_writer.h"
#include "engine/source_image.h"
#include "tests/reference/stb_write_reference.h"
#include "tests/test_support.h"

namespace {

struct Image {
  std::string name;
  int width = 0, height = 0, channels = 0;
  std::vector<unsigned char> pixels;
};

// Flat, gradient, noise and stripes at sizes around the 8- and 16-pixel blocks,
// with every channel count.
void AddGeneratedImages(std::vector<Image>* images) {
  const int sizes[][2] = {{1, 1},  {2, 3},  {7, 5},   {8, 8},   {9, 17},   {16, 16},
                          {17, 33}, {33, 16}, {64, 1}, {1, 64}, {100, 75}, {257, 131}};
  const char* patterns[] = {"flat", "gradient", "noise", "stripes"};
  std::mt19937 random(16);
  for (const auto& size : sizes)
    for (int channels = 1; channels <= 4; ++channels)
      for (int pattern = 0; pattern < 4; ++pattern) {
        Image image{std::string(patterns[pattern]) + " " + std::to_string(size[0]) + "x" +
                        std::to_string(size[1]) + "x" + std::to_string(channels),
                    size[0], size[1], channels, {}};
        for (int y = 0; y < size[1]; ++y)
          for (int x = 0; x < size[0]; ++x)
            for (int c = 0; c < channels; ++c) {
              const int value = pattern == 0   ? 200 - 50 * c
                                : pattern == 1 ? (x * 255 / size[0] + y * 3 + c * 40) & 255
                                : pattern == 2 ? static_cast<int>(random() & 255)
                                               : ((x / 3 + y / 2 + c) & 1) * 255;
              image.pixels.push_back(static_cast<unsigned char>(value));
            }
        images->push_back(std::move(image));
      }
  // Noise repeating every 4 rows of 8191 grey pixels: the deflate stream (a
  // filter byte and 8191 bytes a row) repeats every 32768 bytes, just out of the
  // window, so the window limits decide the matches.
  Image period{"noise repeating every 32768 bytes", 8191, 9, 1, {}};
  for (int y = 0; y < period.height; ++y)
    for (int x = 0; x < period.width; ++x)
      period.pixels.push_back(y < 4 ? static_cast<unsigned char>(random() & 255)
                                    : period.pixels[(y - 4) * period.width + x]);
  images->push_back(std::move(period));
  // One row of zeros with a stretch of noise, repeating every 32768 bytes, and
  // a short repeat planted in the second period: a match there whose next byte
  // has a longer one exactly out of the lazy check's window (32767).
  Image lazy{"a match beside the lazy window's edge", 70000, 1, 1, {}};
  for (int x = 0; x < lazy.width; ++x)
    lazy.pixels.push_back(x >= 32768   ? lazy.pixels[x - 32768]
                          : x >= 17000 && x < 17500 ? static_cast<unsigned char>(random() & 255)
                                                    : 0);
  std::copy_n(lazy.pixels.begin() + 49999, 4, lazy.pixels.begin() + 48999);
  images->push_back(std::move(lazy));
}

// Every file the program decodes under the folder (with its checks before the
// decoder), at its own channel count.
void AddDecodedFiles(const fs::path& folder, std::vector<Image>* images) {
  if (!fs::is_directory(folder)) {
    ADD_FAILURE() << "no images at " << folder;
    return;
  }
  for (const auto& entry : fs::recursive_directory_iterator(folder)) {
    SourceImage source;
    FileStamp stamp;
    std::string reason;
    if (!entry.is_regular_file() || !ReadSourceImage(entry.path(), DefaultMemoryBudget(), &source, &stamp, &reason))
      continue;
    int w = 0, h = 0, c = 0;
    DecodedPixels pixels = DecodeSourceImage(&source, &w, &h, &c, &reason);
    if (!pixels || 1LL * w * h > 4000000) continue;
    images->push_back({entry.path().filename().string(), w, h, c,
                       std::vector<unsigned char>(pixels.get(), pixels.get() + 1LL * w * h * c)});
  }
}

std::vector<Image> TestImages() {
  std::vector<Image> images;
  AddGeneratedImages(&images);
  AddDecodedFiles(TestDataDir(), &images);
  AddDecodedFiles(QUILLMAR_REGRESSION_DIR, &images);
  AddDecodedFiles(CorpusDir(), &images);
  return images;
}

std::string Written(const ByteBuffer& buffer) {
  return std::string(reinterpret_cast<const char*>(buffer.data), buffer.length);
}

// Empty when equal, else where the two first differ.
std::string FirstDifference(const std::string& ours, const std::string& reference) {
  if (ours == reference) return "";
  const auto at = std::mismatch(ours.begin(), ours.end(), reference.begin(), reference.end());
  return "first difference at byte " + std::to_string(at.first - ours.begin()) + " of " +
         std::to_string(ours.size()) + " (reference " + std::to_string(reference.size()) + ")";
}

}  // namespace

// Each path of the writer's float work, held to the same bytes.
class JpegWriterPath : public testing::TestWithParam<JpegPath> {
 protected:
  void TearDown() override { UseJpegPath(JpegPath::Best); }
};

INSTANTIATE_TEST_SUITE_P(Paths, JpegWriterPath, testing::Values(JpegPath::Baseline, JpegPath::Avx2),
                         [](const testing::TestParamInfo<JpegPath>& info) {
                           return info.param == JpegPath::Baseline ? "Baseline" : "Avx2";
                         });

TEST_P(JpegWriterPath, WritesTheReferenceBytesForEveryImageAndQuality) {
  if (!UseJpegPath(GetParam())) GTEST_SKIP() << "neither this build nor this processor has it";
  const std::vector<Image> images = TestImages();
  int compared = 0;
  for (const Image& image : images)
    for (int quality : {0, 1, 2, 10, 25, 49, 50, 51, 75, 80, 90, 91, 95, 100}) {
      std::string reference;
      const int written = stbi_write_jpg_to_func(
          [](void* context, void* data, int size) {
            static_cast<std::string*>(context)->append(static_cast<char*>(data), size);
          },
          &reference, image.width, image.height, image.channels, image.pixels.data(), quality);
      ByteBuffer ours;
      ASSERT_EQ(WriteJpeg(image.pixels.data(), image.width, image.height, image.channels, quality,
                          &ours),
                written ? WriteStatus::Done : WriteStatus::Refused)
          << image.name;
      const std::string difference = FirstDifference(Written(ours), reference);
      ReleaseBytes(&ours);
      ASSERT_EQ(difference, "") << image.name << " quality " << quality;
      // The same from a source whose row is gone at the next call (the writer
      // keeps copies), as a decoder hands its rows on.
      struct Handed {
        const Image* image;
        std::vector<unsigned char> row;
      } handed{&image, {}};
      const JpegRowSource source{[](void* user, int y) -> const unsigned char* {
                                   auto* h = static_cast<Handed*>(user);
                                   const std::size_t bytes = h->image->width * h->image->channels;
                                   h->row.assign(bytes, 0);  // the previous row overwritten
                                   const unsigned char* row = h->image->pixels.data() + y * bytes;
                                   std::copy_n(row, bytes, h->row.data());
                                   return h->row.data();
                                 },
                                 &handed};
      if (written) {
        ASSERT_EQ(WriteJpegRows(source, image.width, image.height, image.channels, quality, &ours),
                  WriteStatus::Done);
        const std::string fromRows = FirstDifference(Written(ours), reference);
        ReleaseBytes(&ours);
        ASSERT_EQ(fromRows, "") << image.name << " quality " << quality << " from rows";
      }
      ++compared;
    }
  std::cout << compared << " JPEG streams compared, " << images.size() << " images\n";
}

TEST(PngWriter, WritesTheReferenceBytesForEveryImageAndLevel) {
  const std::vector<Image> images = TestImages();
  int compared = 0;
  for (const Image& image : images)
    for (int level = 0; level <= 10; ++level) {
      stbi_write_png_compression_level = level;
      int length = 0;
      unsigned char* png = stbi_write_png_to_mem(image.pixels.data(), image.width * image.channels,
                                                 image.width, image.height, image.channels, &length);
      ASSERT_NE(png, nullptr);
      const std::string reference(reinterpret_cast<char*>(png), static_cast<std::size_t>(length));
      std::free(png);
      ByteBuffer ours;
      ASSERT_EQ(WritePng(image.pixels.data(), image.width, image.height, image.channels, level,
                         &ours),
                WriteStatus::Done)
          << image.name;
      const std::string difference = FirstDifference(Written(ours), reference);
      ReleaseBytes(&ours);
      ASSERT_EQ(difference, "") << image.name << " level " << level;
      ++compared;
    }
  stbi_write_png_compression_level = 8;
  std::cout << compared << " PNG files compared, " << images.size() << " images\n";
}

TEST(PngWriter, OutOfMemoryLeavesTheBufferAndLeaksNothing) {
  // A level whose hash chains no machine holds; the sanitizer build would
  // report the filtered rows allocated before them if they leaked.
  const std::vector<unsigned char> pixels = TestPixels(5, 4, 3);
  ByteBuffer out;
  EXPECT_EQ(WritePng(pixels.data(), 5, 4, 3, 1 << 30, &out), WriteStatus::OutOfMemory);
  EXPECT_EQ(out.length, 0u);
  ReleaseBytes(&out);
}

TEST(JpegWriter, ARowSourceThatFailsRefusesTheWriteAndLeavesTheBuffer) {
  // Rows from a decoder that gives up part-way: nothing of the stream stays.
  struct Rows {
    std::vector<unsigned char> pixels = TestPixels(40, 40, 3);
    int given = 0;
  } rows;
  const JpegRowSource source{[](void* user, int y) -> const unsigned char* {
                               auto* r = static_cast<Rows*>(user);
                               EXPECT_EQ(y, r->given++);  // in order, each once
                               return y < 20 ? r->pixels.data() + y * 40 * 3 : nullptr;
                             },
                             &rows};
  ByteBuffer out;
  ASSERT_TRUE(ReserveBytes(&out, 3));
  out.length = 3;  // an earlier part of the buffer stays as it was
  EXPECT_EQ(WriteJpegRows(source, 40, 40, 3, 80, &out), WriteStatus::Refused);
  EXPECT_EQ(out.length, 3u);
  EXPECT_EQ(rows.given, 21);
  ReleaseBytes(&out);
}
