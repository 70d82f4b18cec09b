#include "engine/compress.h"

#include <algorithm>
#include <atomic>
#include <fstream>
#include <thread>

#include "engine/byte_digest.h"
#include "engine/compress_batch.h"
#include "engine/file_system.h"
#include "engine/image_codec.h"
#include "engine/machine.h"
#include "engine/source_image.h"
#include "engine/utf8.h"
#include "tests/reference/stb_write_reference.h"
#include "tests/test_support.h"

#if defined(__SANITIZE_ADDRESS__)
// A failed allocation returns null here as it does without the sanitizer.
extern "C" const char* __asan_default_options() { return "allocator_may_return_null=1"; }
#endif

namespace {

// The deflate level for a quality, written out as a table so that it does not
// merely repeat the formula.
int LevelFromTable(int quality) {
  const int upper[] = {12, 24, 37, 49, 62, 74, 87, 99};
  for (int level = 1; level <= 8; ++level)
    if (quality <= upper[level - 1]) return level;
  return 9;
}

// An encode of the input's pixels made here, independently of the engine.
std::string IndependentEncode(const fs::path& input, bool asJpeg, int quality) {
  std::string utf8;
  EXPECT_TRUE(PathToUtf8(input, &utf8));
  int w = 0, h = 0, c = 0;
  unsigned char* pixels = stbi_load(utf8.c_str(), &w, &h, &c, 0);
  EXPECT_NE(pixels, nullptr) << input;
  if (!pixels) return {};
  std::string out;
  if (asJpeg) {
    std::vector<unsigned char> color;
    int components = c == 2 || c == 4 ? c - 1 : c;
    for (int i = 0; i < w * h; ++i)
      for (int k = 0; k < components; ++k) color.push_back(pixels[i * c + k]);
    stbi_write_jpg_to_func(
        [](void* context, void* data, int size) {
          static_cast<std::string*>(context)->append(static_cast<char*>(data), size);
        },
        &out, w, h, components, color.data(), std::clamp(quality, 1, 100));
  } else {
    stbi_write_png_compression_level = LevelFromTable(quality);
    int length = 0;
    unsigned char* png = stbi_write_png_to_mem(pixels, w * c, w, h, c, &length);
    out.assign(reinterpret_cast<char*>(png), static_cast<size_t>(length));
    free(png);
  }
  stbi_image_free(pixels);
  return out;
}

class CompressTest : public TempDirTest {
 protected:
  void SetUp() override {
    TempDirTest::SetUp();
    out_ = dir_ / "out";
    fs::create_directory(out_);
  }
  CompressResult Compress(const fs::path& input, int quality = 80) {
    CompressResult r;
    r.success = CompressImageFile(input, out_, quality, &r);
    return r;
  }
  fs::path out_;
};

struct Input {
  fs::path path;
  bool jpegByName;
};

// Everything a front end can see of one file: its record and its output's bytes.
std::string Seen(const CompressResult& r, const fs::path& out) {
  return std::to_string(r.success) + " " + std::to_string(r.inputBytes) + " " +
         std::to_string(r.outputBytes) + " " + std::to_string(r.width) + "x" +
         std::to_string(r.height) + "x" + std::to_string(r.channels) + " " +
         r.outputPath.lexically_relative(out).string() + " " + r.errorText + " " +
         std::to_string(std::hash<std::string>()(r.success ? ReadBytes(r.outputPath) : ""));
}

// A JPEG of `bytes` bytes (comments fill it) whose frame claims width x height.
// The header reads well, but its sampling factors 3:2:1 make the decoder fail
// with "Corrupt JPEG" before it allocates anything.
std::string JpegHeaderClaiming(int width, int height, std::size_t bytes) {
  const char frame[] = {'\xFF', '\xC0', 0, 17, 8, static_cast<char>(height >> 8),
                        static_cast<char>(height), static_cast<char>(width >> 8),
                        static_cast<char>(width), 3, 1, 0x31, 0, 2, 0x21, 0, 3, 0x11, 0};
  std::string out = "\xFF\xD8";
  for (std::size_t left = bytes - 2 - sizeof frame - 2; left > 0;) {
    std::size_t segment = std::min<std::size_t>(left, 60000);
    if (left - segment > 0 && left - segment < 4) segment -= 4;
    out += "\xFF\xFE" + std::string{static_cast<char>((segment - 2) >> 8),
                                    static_cast<char>(segment - 2)};
    out.append(segment - 4, 'x');
    left -= segment;
  }
  return out + std::string(frame, sizeof frame) + "\xFF\xD9";
}

}  // namespace

TEST(PngLevelForQuality, FollowsTheQualityRanges) {
  for (int q = 0; q <= 100; ++q) EXPECT_EQ(PngLevelForQuality(q), LevelFromTable(q)) << q;
}

TEST(DropAlpha, KeepsColourBytesAndDropsOnlyAlpha) {
  const unsigned char ga[] = {10, 0, 20, 255, 30, 128};
  JpegPixels gray = DropAlpha(ga, 3, 1, 2);
  ASSERT_EQ(gray.components, 1);
  EXPECT_EQ(std::vector<unsigned char>(gray.data, gray.data + 3), (std::vector<unsigned char>{10, 20, 30}));
  const unsigned char rgba[] = {1, 2, 3, 0, 4, 5, 6, 255};  // a transparent pixel keeps its colour
  JpegPixels rgb = DropAlpha(rgba, 1, 2, 4);
  ASSERT_EQ(rgb.components, 3);
  EXPECT_EQ(std::vector<unsigned char>(rgb.data, rgb.data + 6), (std::vector<unsigned char>{1, 2, 3, 4, 5, 6}));
  const unsigned char plain[] = {7, 8, 9};
  JpegPixels same = DropAlpha(plain, 1, 1, 3);
  EXPECT_EQ(same.data, plain);
  EXPECT_EQ(same.components, 3);
}

TEST(DropAlpha, OutOfMemoryFailsTheFileInsteadOfThrowing) {
  // 2^52 pixels: no machine holds the copy, as a full one would not hold a real photo's.
  const unsigned char pixel[4] = {};
  EXPECT_EQ(DropAlpha(pixel, 1 << 30, 1 << 22, 4).data, nullptr);
  EncodedFile file;
  EXPECT_EQ(EncodeOutputFile(true, pixel, 1 << 30, 1 << 22, 4, 80, &file), EncodeStatus::OutOfMemory);
}

TEST_F(CompressTest, OutputsEqualAnIndependentEncodeAtEveryQuality) {
  std::vector<Input> inputs;
  for (int channels = 1; channels <= 4; ++channels) {
    fs::path png = dir_ / ("c" + std::to_string(channels) + ".png");
    MakePng(png, 37, 23, channels);
    inputs.push_back({png, false});
    fs::path disguised = dir_ / ("png" + std::to_string(channels) + ".jpg");  // PNG bytes, JPEG name
    fs::copy_file(png, disguised);
    inputs.push_back({disguised, true});
  }
  MakeJpeg(dir_ / "rgb.jpg", 45, 31, 3);
  inputs.push_back({dir_ / "rgb.jpg", true});
  fs::copy_file(dir_ / "rgb.jpg", dir_ / "jpeg.png");  // JPEG bytes, PNG name
  inputs.push_back({dir_ / "jpeg.png", false});
  fs::copy_file(TestDataDir() / "gray.jpg", dir_ / "gray.jpg");
  inputs.push_back({dir_ / "gray.jpg", true});
  for (const char* name : {"basn0g16.png", "basn2c16.png", "basn4a16.png", "basn6a16.png",
                           "basn3p08.png", "basn3p01.png", "ibasn6a08.png"})
    inputs.push_back({CorpusDir() / "pngsuite" / name, false});
  inputs.push_back({CorpusDir() / "jpeg" / "testorig.jpg", true});
  // JPEGs that stay JPEGs go from the decoder to the writer a row at a time:
  // every sampling, progressive files, restart intervals across strip edges.
  for (const auto& entry : fs::directory_iterator(TestDataDir() / "jpeg-decoder"))
    inputs.push_back({entry.path(), true});
  for (const Input& input : inputs) {
    for (int quality : {0, 50, 90, 91, 100}) {
      CompressResult r = Compress(input.path, quality);
      ASSERT_TRUE(r.success) << input.path << " " << r.errorText;
      EXPECT_EQ(ReadBytes(r.outputPath), IndependentEncode(input.path, input.jpegByName, quality))
          << input.path << " at quality " << quality;
    }
  }
}

TEST_F(CompressTest, FillsTheRecordOfASuccess) {
  MakePng(dir_ / "a.png", 40, 30, 4);
  CompressResult r = Compress(dir_ / "a.png");
  ASSERT_TRUE(r.success) << r.errorText;
  EXPECT_EQ(r.errorText, "");
  EXPECT_EQ(r.width, 40);
  EXPECT_EQ(r.height, 30);
  EXPECT_EQ(r.channels, 4);
  EXPECT_EQ(r.inputBytes, fs::file_size(dir_ / "a.png"));
  EXPECT_EQ(r.outputPath, out_ / "a.png");
  EXPECT_EQ(r.outputBytes, fs::file_size(r.outputPath));
}

TEST_F(CompressTest, ExtensionDecidesTheFormatAndNameKeepsItsCase) {
  MakeJpeg(dir_ / "Photo.JPG", 16, 16, 3);
  fs::copy_file(dir_ / "Photo.JPG", dir_ / "a.JPEG");
  MakePng(dir_ / "b.Png", 16, 16, 3);
  for (const char* name : {"Photo.JPG", "a.JPEG", "b.Png"}) {
    CompressResult r = Compress(dir_ / name);
    ASSERT_TRUE(r.success) << name << " " << r.errorText;
    EXPECT_EQ(r.outputPath.filename(), fs::path(name));
  }
  EXPECT_EQ(ReadBytes(out_ / "Photo.JPG").substr(0, 2), "\xFF\xD8");
  EXPECT_EQ(ReadBytes(out_ / "b.Png").substr(1, 3), "PNG");
  CompressResult again = Compress(dir_ / "Photo.JPG");
  EXPECT_EQ(again.outputPath.filename(), fs::path("Photo_1.JPG"));
}

// Just below and just above each size limit, from headers alone: at most 2048
// pixels a byte for a JPEG file, and for a PNG output what the writer's int
// sizes hold whatever the pixels (65535 x 7281 RGB, worked out from its code).
TEST_F(CompressTest, SizeLimitsStartJustAboveTheirBound) {
  const struct {
    const char* name;
    int width, height;
    std::size_t bytes;
    const char* text;
  } cases[] = {
      {"plausible.jpg", 4096, 4096, 8192, "Corrupt JPEG"},
      {"implausible.jpg", 4096, 4096, 8191, kTooLargeText},
      {"png-writer-fits.png", 65535, 7281, 240000, "Corrupt JPEG"},
      {"png-writer-overflows.png", 65535, 7282, 240000, kTooLargeText},
      {"jpeg-writer-fits.jpg", 65535, 7282, 240000, "Corrupt JPEG"},
  };
  for (const auto& c : cases) {
    WriteBytes(dir_ / c.name, JpegHeaderClaiming(c.width, c.height, c.bytes));
    ASSERT_EQ(fs::file_size(dir_ / c.name), c.bytes);
    EXPECT_EQ(Compress(dir_ / c.name).errorText, c.text) << c.name;
  }
}

TEST_F(CompressTest, AJpegWiderThanItsSizeFieldIsRefusedBeforeEncoding) {
  // A JPEG frame header holds 16 bits a side: one more would make a corrupt file.
  MakePng(dir_ / "fits.jpg", 65535, 1, 1);
  MakePng(dir_ / "wide.jpg", 65536, 1, 1);
  MakePng(dir_ / "wide.png", 65536, 1, 1);
  EXPECT_TRUE(Compress(dir_ / "fits.jpg").success);
  EXPECT_EQ(Compress(dir_ / "wide.jpg").errorText, kTooLargeText);
  EXPECT_TRUE(Compress(dir_ / "wide.png").success);
  EXPECT_FALSE(fs::exists(out_ / "wide.jpg"));
}

TEST_F(CompressTest, ATopDownBmpIsDecodedTheRightWayUp) {
  // Height -2 in the header: rows stored top first. Pixels are blue-green-red.
  auto le = [](std::uint32_t v, int n) {
    std::string bytes;
    for (int i = 0; i < n; ++i) bytes += static_cast<char>((v >> (8 * i)) & 0xFF);
    return bytes;
  };
  const std::string rows = std::string("\x00\x00\xFF\x00", 4) +
                           std::string("\xFF\x00\x00\x00", 4);  // 3 bytes + 1 to the row's 4
  const std::string bmp = "BM" + le(54 + 8, 4) + le(0, 4) + le(54, 4) + le(40, 4) + le(1, 4) +
                          le(static_cast<std::uint32_t>(-2), 4) + le(1, 2) + le(24, 2) +
                          le(0, 4) + le(8, 4) + le(2835, 4) + le(2835, 4) + le(0, 4) + le(0, 4) +
                          rows;
  WriteBytes(dir_ / "top-down.png", bmp);
  CompressResult r = Compress(dir_ / "top-down.png");
  ASSERT_TRUE(r.success) << r.errorText;
  EXPECT_EQ(r.height, 2);
  int w = 0, h = 0, n = 0;
  unsigned char* pixels = stbi_load(r.outputPath.string().c_str(), &w, &h, &n, 3);
  ASSERT_NE(pixels, nullptr);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(pixels), 6), std::string("\xFF\x00\x00\x00\x00\xFF", 6));
  stbi_image_free(pixels);
  WriteBytes(dir_ / "flat.png", bmp.substr(0, 22) + le(0, 4) + bmp.substr(26));
  EXPECT_EQ(Compress(dir_ / "flat.png").errorText, "bad BMP");  // only no rows is refused
}

// Inputs of several blocks: read whole, checked and decoded across the blocks'
// edges, they give the library's own encode of the same pixels.
TEST_F(CompressTest, FilesOfSeveralBlocksGiveTheLibrarysOutput) {
  const int w = 1200, h = 900;
  std::vector<unsigned char> noise(static_cast<std::size_t>(w) * h * 3);
  std::uint32_t state = 1;
  for (unsigned char& byte : noise) byte = static_cast<unsigned char>((state = state * 1664525 + 1013904223) >> 24);
  std::string jpeg;
  stbi_write_jpg_to_func(
      [](void* context, void* data, int size) {
        static_cast<std::string*>(context)->append(static_cast<char*>(data), size);
      },
      &jpeg, w, h, 3, noise.data(), 100);
  int length = 0;
  unsigned char* png = stbi_write_png_to_mem(noise.data(), w * 3, w, h, 3, &length);
  WriteBytes(dir_ / "noise.jpg", jpeg);
  WriteBytes(dir_ / "noise.png", std::string(reinterpret_cast<char*>(png), length));
  free(png);
  for (const char* name : {"noise.jpg", "noise.png"}) {
    const fs::path input = dir_ / name;
    ASSERT_GT(fs::file_size(input), 2 * kFileBlockBytes) << name;
    CompressResult r = Compress(input);
    ASSERT_TRUE(r.success) << name << " " << r.errorText;
    EXPECT_EQ(r.inputBytes, fs::file_size(input));
    EXPECT_EQ(ReadBytes(r.outputPath), IndependentEncode(input, name[6] == 'j', 80)) << name;
  }
}

TEST_F(CompressTest, ReportsEachFailureWithItsText) {
  CompressResult missing = Compress(dir_ / "missing.jpg");
  EXPECT_FALSE(missing.success);
  EXPECT_EQ(missing.errorText, "文件不存在");
  EXPECT_TRUE(missing.outputPath.empty());

  MakePng(dir_ / "valid.png", 8, 8, 3);
  for (const char* name : {"x.gif", "x.jpe", "x.webp", "x", "x.🙂", "x.jpg.bak", ".png"}) {
    fs::copy_file(dir_ / "valid.png", dir_ / U8(name));
    CompressResult r = Compress(dir_ / U8(name));
    EXPECT_EQ(r.errorText, "不支持的格式") << name;
    EXPECT_FALSE(r.success);
  }

  WriteBytes(dir_ / "empty.jpg", "");
  EXPECT_EQ(Compress(dir_ / "empty.jpg").errorText, "Image not of any known type, or corrupt");
  // A baseline JPEG is decoded as the writer takes its rows: a marker the
  // decoder refuses after the scan (in place of the end marker) fails it as a
  // decode does, not as a write.
  MakeJpeg(dir_ / "valid.jpg", 40, 40, 3);
  std::string jpeg = ReadBytes(dir_ / "valid.jpg");
  jpeg.back() = '\x01';
  WriteBytes(dir_ / "bad-end.jpg", jpeg);
  CompressResult badEnd = Compress(dir_ / "bad-end.jpg");
  EXPECT_EQ(badEnd.errorText, "Corrupt JPEG");
  EXPECT_TRUE(badEnd.outputPath.empty());
  std::string png = ReadBytes(dir_ / "valid.png");
  WriteBytes(dir_ / "cut.png", png.substr(0, png.size() / 2));
  CompressResult cut = Compress(dir_ / "cut.png");
  EXPECT_FALSE(cut.success);
  EXPECT_FALSE(cut.errorText.empty());

  fs::create_directory(dir_ / "folder.jpg");
  CompressResult folder = Compress(dir_ / "folder.jpg");
  EXPECT_FALSE(folder.success);
  // The same words on both systems: Linux opens a folder, but reading it fails.
  EXPECT_EQ(folder.errorText, "Unable to open file");
  EXPECT_EQ(std::distance(fs::directory_iterator(out_), fs::directory_iterator()), 0);
}

// A device has no end: reading it whole would go on until memory runs out, so it
// fails at once.
TEST_F(CompressTest, ADeviceNamedLikeAnImageFailsAtOnce) {
  std::error_code error;
  fs::create_symlink("/dev/zero", dir_ / "zero.jpg", error);
  if (error || !fs::exists(dir_ / "zero.jpg", error)) GTEST_SKIP() << "no /dev/zero to link to";
  EXPECT_EQ(Compress(dir_ / "zero.jpg").errorText, kNotAFileText);
}

TEST_F(CompressTest, MissingOutputFolderIsAWriteFailureWithTheName) {
  MakePng(dir_ / "a.png", 8, 6, 2);
  CompressResult r;
  EXPECT_FALSE(CompressImageFile(dir_ / "a.png", dir_ / "nowhere", 80, &r));
  EXPECT_EQ(r.errorText, "写入失败");
  EXPECT_EQ(r.outputPath, dir_ / "nowhere" / "a.png");
  EXPECT_EQ(r.width, 8);
  EXPECT_EQ(r.height, 6);
  EXPECT_EQ(r.channels, 2);
  EXPECT_EQ(r.inputBytes, fs::file_size(dir_ / "a.png"));
  EXPECT_FALSE(fs::exists(dir_ / "nowhere"));
}

TEST_F(CompressTest, NeverOverwritesAnInputInTheOutputFolder) {
  MakeJpeg(out_ / "self.jpg", 20, 20, 3);
  const std::string before = ReadBytes(out_ / "self.jpg");
  CompressResult r = Compress(out_ / "self.jpg", 10);
  ASSERT_TRUE(r.success) << r.errorText;
  EXPECT_EQ(r.outputPath, out_ / "self_1.jpg");
  EXPECT_EQ(ReadBytes(out_ / "self.jpg"), before);
}

TEST_F(CompressTest, SameNameFromTwoFoldersGetsTwoOutputs) {
  fs::create_directories(dir_ / "a");
  fs::create_directories(dir_ / "b");
  MakePng(dir_ / "a" / "photo.png", 9, 9, 3);
  MakePng(dir_ / "b" / "photo.png", 7, 7, 1);
  EXPECT_EQ(Compress(dir_ / "a" / "photo.png").outputPath, out_ / "photo.png");
  EXPECT_EQ(Compress(dir_ / "b" / "photo.png").outputPath, out_ / "photo_1.png");
}

TEST_F(CompressTest, NonAsciiNamesRoundTrip) {
  fs::path input = dir_ / U8("照片🙂.png");
  MakePng(input, 12, 12, 4);
  CompressResult first = Compress(input);
  ASSERT_TRUE(first.success) << first.errorText;
  EXPECT_EQ(first.outputPath, out_ / U8("照片🙂.png"));
  CompressResult second = Compress(input);
  EXPECT_EQ(second.outputPath, out_ / U8("照片🙂_1.png"));
  EXPECT_EQ(ReadBytes(first.outputPath), ReadBytes(second.outputPath));
}

TEST_F(CompressTest, FilesWrittenByOthersAtTheSameTimeSurvive) {
  // Another writer keeps claiming the next names while the batch runs; whatever it
  // wrote must still be there, unchanged, afterwards.
  MakePng(dir_ / "photo.png", 16, 16, 3);
  std::atomic<bool> done{false};
  std::thread other([&] {
    for (int n = 1; !done && n < 400; ++n) {
      WriteNewFile(out_ / ("photo_" + std::to_string(n) + ".png"),
                   reinterpret_cast<const unsigned char*>("other"), 5, 0);
    }
  });
  for (int i = 0; i < 60; ++i) Compress(dir_ / "photo.png");
  done = true;
  other.join();
  const std::string ours = ReadBytes(out_ / "photo.png");
  for (const auto& entry : fs::directory_iterator(out_)) {
    std::string bytes = ReadBytes(entry.path());
    EXPECT_TRUE(bytes == "other" || bytes == ours) << entry.path();
  }
}

#if !defined(_WIN32)
TEST_F(CompressTest, ANameTakenBetweenCheckAndWriteIsSkipped) {
  // A dangling link looks free to the check but refuses the exclusive create: the
  // same situation as a file that appears just before the write. It survives,
  // nothing is created through it, and the next number is taken.
  fs::create_symlink(dir_ / "target.png", out_ / "photo.png");
  MakePng(dir_ / "photo.png", 10, 10, 3);
  CompressResult r = Compress(dir_ / "photo.png");
  ASSERT_TRUE(r.success) << r.errorText;
  EXPECT_EQ(r.outputPath, out_ / "photo_1.png");
  EXPECT_TRUE(fs::is_symlink(out_ / "photo.png"));
  EXPECT_FALSE(fs::exists(dir_ / "target.png"));
}

TEST_F(CompressTest, AFileSystemErrorWhileNamingFailsThatFileOnly) {
  // An output folder whose path is longer than the system takes: the name can't
  // even be asked about.
  fs::path deep = out_;
  for (int i = 0; i < 20; ++i) deep /= std::string(250, 'd');
  MakePng(dir_ / "a.png", 4, 4, 3);
  CompressResult r;
  r.success = CompressImageFile(dir_ / "a.png", deep, 80, &r);
  EXPECT_FALSE(r.success);
  EXPECT_EQ(r.errorText.rfind("exists: ", 0), 0u) << r.errorText;
  EXPECT_NE(r.errorText.find("系统错误码 36"), std::string::npos);
  EXPECT_TRUE(Compress(dir_ / "a.png").success);
}

TEST_F(CompressTest, UnwritableOutputFolderIsAWriteFailure) {
  if (RunningAsRoot()) GTEST_SKIP() << "permissions are not enforced for root";
  MakePng(dir_ / "a.png", 4, 4, 3);
  fs::permissions(out_, fs::perms::owner_read | fs::perms::owner_exec);
  CompressResult r = Compress(dir_ / "a.png");
  fs::permissions(out_, fs::perms::owner_all);
  EXPECT_EQ(r.errorText, "写入失败");
}
#endif

// A large output is written into a draft as it is encoded: the prepared file
// holds none of its bytes, and nothing in the output folder has an image's
// name until it is named. A name taken meanwhile sends the same draft on to
// the next number.
TEST_F(CompressTest, ALargeOutputIsDraftedAndNamedOnlyWhenWhole) {
  MakeJpeg(dir_ / "photo.jpg", 1200, 900, 3);
  PreparedImage prepared;
  prepared.outputFolder = out_;
  ASSERT_TRUE(PrepareImageFile(dir_ / "photo.jpg", 80, std::uint64_t{1} << 30, &prepared))
      << prepared.result.errorText;
  EXPECT_EQ(prepared.output.length, 0u);
  EXPECT_GT(prepared.draft.length, 256u << 10);
  for (const auto& entry : fs::directory_iterator(out_))
    EXPECT_NE(entry.path().extension(), ".jpg") << entry.path();
  WriteBytes(out_ / "photo.jpg", "taken");
  CompressResult r;
  ASSERT_TRUE(WritePreparedImage(&prepared, out_, &r)) << r.errorText;
  EXPECT_EQ(r.outputPath, out_ / "photo_1.jpg");
  EXPECT_EQ(ReadBytes(r.outputPath), IndependentEncode(dir_ / "photo.jpg", true, 80));
  EXPECT_EQ(r.outputBytes, fs::file_size(r.outputPath));
  EXPECT_EQ(ReadBytes(out_ / "photo.jpg"), "taken");
}

// The digest that tells two reads of a file apart: the same bytes give the same
// value however they are cut, one changed byte another.
TEST(ByteDigest, TheSameBytesCutAnyWayAlike) {
  std::string bytes(1000, '\0');
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 7 + i / 13);
  auto digest = [](const std::string& b, std::size_t piece) {
    ByteDigest d;
    for (std::size_t at = 0; at < b.size(); at += piece)
      d.Add(reinterpret_cast<const unsigned char*>(b.data()) + at, std::min(piece, b.size() - at));
    return d.Value();
  };
  const std::uint64_t whole = digest(bytes, bytes.size());
  for (std::size_t piece : {1, 7, 31, 32, 33, 256}) EXPECT_EQ(digest(bytes, piece), whole) << piece;
  for (std::size_t at : {0, 500, 999}) {
    std::string changed = bytes;
    changed[at] = static_cast<char>(changed[at] ^ 1);
    EXPECT_NE(digest(changed, 7), whole) << at;
  }
  EXPECT_NE(digest(bytes.substr(0, 999), 7), whole);
}

TEST_F(CompressTest, BatchOnAnyNumberOfWorkersEqualsTheLoop) {
  std::vector<fs::path> files;
  for (const char* folder : {"a", "b", "c"}) {  // three inputs named x.jpg
    fs::create_directory(dir_ / folder);
    files.push_back(dir_ / folder / "x.jpg");
  }
  MakeJpeg(files[0], 64, 48, 3);
  MakePng(files[1], 50, 40, 4);
  MakeJpeg(files[2], 33, 17, 3);
  MakePng(dir_ / "p.png", 70, 50, 2);
  WriteBytes(dir_ / "empty.png", "");
  MakePng(dir_ / "q.png", 90, 60, 3);
  files.insert(files.begin() + 1, {dir_ / "p.png", dir_ / "missing.jpg", dir_ / "empty.png"});
  files.insert(files.end(), {dir_ / "p.png", dir_ / "q.png", files[0]});
  std::vector<std::string> loop;
  for (const fs::path& file : files) {
    CompressResult r;
    r.success = CompressImageFile(file, out_, 80, &r);
    loop.push_back(Seen(r, out_));
  }
  for (unsigned workers : {1u, 2u, 3u, 8u}) {
    const fs::path out = dir_ / ("out" + std::to_string(workers));
    fs::create_directory(out);
    std::vector<std::string> batch;
    CompressBatch(files, out, 80, [&](std::size_t i, CompressResult& r) {
      EXPECT_EQ(i, batch.size());
      batch.push_back(Seen(r, out));
    }, {workers, 0});
    EXPECT_EQ(batch, loop) << workers << " workers";
  }
}

TEST_F(CompressTest, BatchOverItsMemoryBudgetHasOneImageInFlight) {
  std::vector<fs::path> files;
  for (int i = 0; i < 8; ++i) {
    files.push_back(dir_ / ("big" + std::to_string(i) + ".png"));
    MakePng(files.back(), 200, 150, 3);
  }
  // Room for any one file's bytes (a file that can never be admitted fails), never
  // for a second file beside one.
  std::uint64_t budget = 0;
  for (const fs::path& file : files) budget = std::max<std::uint64_t>(budget, fs::file_size(file));
  BatchStats stats;
  CompressBatch(files, out_, 80, [](std::size_t, CompressResult& r) { EXPECT_TRUE(r.success); },
                {4, budget}, &stats);
  EXPECT_EQ(stats.workers, 4u);
  EXPECT_EQ(stats.mostInFlight, 1u);
}

// The budget books what a JPEG decoded a row at a time holds besides its file:
// a baseline photo two rows of MCUs and its output, never its planes (so large
// photos run side by side); a progressive one its coefficients, at least a byte
// a sample.
TEST_F(CompressTest, AJpegIsBookedForWhatItsRowsHold) {
  MakeJpeg(dir_ / "baseline.jpg", 800, 600, 3);
  const fs::path progressive = TestDataDir() / "jpeg-decoder" / "progressive-large-230x161.jpg";
  PreparedImage a, b;
  ASSERT_TRUE(ReadInputHead(dir_ / "baseline.jpg", std::uint64_t{1} << 30, &a));
  ASSERT_TRUE(ReadInputHead(progressive, std::uint64_t{1} << 30, &b));
  EXPECT_LT(MemoryOfFile(a) - fs::file_size(dir_ / "baseline.jpg"), 800u * 600u / 2);
  EXPECT_GE(MemoryOfFile(b) - fs::file_size(progressive), 240u * 176u * 3 / 2);
}

// The head books a file; the whole file, once read, is what its decode holds,
// and the file asks for the rest before it holds it: a frame header past the
// head (nothing booked for the decode), a second scan past the head (booked as
// streamed and decoded as read, then read whole and decoded from whole
// planes). Told no, the file fails for memory (and a batch prepares it again
// alone). A photo with a second picture after the first's end (as phones
// append one) is decoded as it is read: booked for a window of its bytes, it
// never asks for more.
TEST_F(CompressTest, AFileReadWholeAsksForWhatItsDecodeHolds) {
  MakeJpeg(dir_ / "photo.jpg", 800, 600, 3);
  const std::string photo = ReadBytes(dir_ / "photo.jpg");
  const std::string progressive =
      ReadBytes(TestDataDir() / "jpeg-decoder" / "progressive-large-230x161.jpg");
  std::string padding;  // 1.2 MiB of comments
  for (int i = 0; i < 20; ++i) padding += "\xFF\xFE\xFF\xFF" + std::string(65533, 'c');
  const std::size_t scan = photo.find("\xFF\xDA"), end = photo.size() - 2;
  ASSERT_EQ(photo.substr(end), "\xFF\xD9");
  struct Case {
    const char* name;
    std::string bytes;
    std::uint64_t atLeast, below;  // what the decode holds besides the file's bytes
  } cases[] = {
      {"frame past the head", progressive.substr(0, 2) + padding + progressive.substr(2),
       240u * 176u * 3 / 2, UINT64_MAX},
      {"second scan past the head",
       photo.substr(0, end) + padding + photo.substr(scan, end - scan) + "\xFF\xD9",
       800u * 600u * 3 / 2, UINT64_MAX},
      {"second picture after the end", photo + padding + photo, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    WriteBytes(dir_ / "in.jpg", c.bytes);
    PreparedImage prepared;
    ASSERT_TRUE(ReadInputHead(dir_ / "in.jpg", std::uint64_t{1} << 30, &prepared));
    const std::uint64_t booked = MemoryOfFile(prepared);
    std::uint64_t asked = 0;
    ASSERT_TRUE(PrepareReadImage(80, &prepared, [&](std::uint64_t need) {
      asked = need;
      return true;
    })) << prepared.result.errorText;
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(prepared.output.data.get()),
                          prepared.output.length),
              IndependentEncode(dir_ / "in.jpg", true, 80));
    PreparedImage refused;
    ASSERT_TRUE(ReadInputHead(dir_ / "in.jpg", std::uint64_t{1} << 30, &refused));
    const bool readAsItGoes = c.below == 0;
    EXPECT_EQ(PrepareReadImage(80, &refused, [](std::uint64_t) { return false; }), readAsItGoes);
    if (readAsItGoes) {
      EXPECT_EQ(asked, 0u);
      EXPECT_LT(booked, c.bytes.size());
      continue;
    }
    EXPECT_GE(asked - c.bytes.size(), c.atLeast);
    EXPECT_LT(asked - c.bytes.size(), c.below);
    EXPECT_EQ(refused.result.errorText, kOutOfMemoryText);
  }
}

TEST_F(CompressTest, AFileWhoseBytesNoBudgetAdmitsFailsAloneUnread) {
  MakePng(dir_ / "small.png", 20, 10, 3);
  MakePng(dir_ / "big.png", 200, 150, 3);
  const std::uint64_t budget = fs::file_size(dir_ / "small.png") + 1;
  ASSERT_GT(fs::file_size(dir_ / "big.png"), budget);
  std::vector<std::string> seen;
  BatchStats stats;
  for (unsigned workers : {1u, 2u}) {
    CompressBatch({dir_ / "big.png", dir_ / "small.png"}, out_, 80,
                  [&](std::size_t, CompressResult& r) {
                    seen.push_back(r.success ? "written" : r.errorText);
                  },
                  {workers, budget}, &stats);
  }
  EXPECT_EQ(seen, (std::vector<std::string>{"Out of memory", "written", "Out of memory", "written"}));
  // Refused before it was read, it is its own failure: the others don't go alone.
  EXPECT_FALSE(stats.wentAlone);
}

#if !defined(_WIN32)
// The room a memory control group leaves, from files laid out as each version
// of the kernel's groups lays them out: its limit less its usage, of which the
// page cache the kernel can drop at once is no part; a group at its limit
// leaves none, which is not "unknown".
TEST_F(CompressTest, AControlGroupsRoomLeavesOutItsDroppableCache) {
  const std::uint64_t limit = 512u << 20, used = 490u << 20, dropped = 470u << 20;
  auto layOut = [&](const std::string& name, const std::string& self, const std::string& group,
                    const char* limitFile, const char* usageFile, const std::string& stat,
                    std::uint64_t usage) {
    const fs::path root = dir_ / name;
    fs::create_directories(root / "proc/self");
    fs::create_directories(root / group);
    WriteBytes(root / "proc/self/cgroup", self);
    WriteBytes(root / group / limitFile, std::to_string(limit) + "\n");
    WriteBytes(root / group / usageFile, std::to_string(usage) + "\n");
    WriteBytes(root / group / "memory.stat", stat);
    return root.string() + "/";
  };
  const std::string v2Stat = "anon 20971520\nfile 492830720\nactive_file 20971520\ninactive_file " +
                             std::to_string(dropped) + "\nslab 0\n";
  const std::string v1Stat = "cache 492830720\ninactive_file 1024\ntotal_cache 492830720\n"
                             "total_inactive_file " + std::to_string(dropped) + "\n";
  const std::string v2 = layOut("v2", "0::/photos\n", "sys/fs/cgroup/photos", "memory.max",
                                "memory.current", v2Stat, used);
  const std::string v1 = layOut("v1", "12:pids:/photos\n4:memory:/photos\n0::/photos\n",
                                "sys/fs/cgroup/memory/photos", "memory.limit_in_bytes",
                                "memory.usage_in_bytes", v1Stat, used);
  EXPECT_EQ(RoomUnderControlGroups(v2), limit - (used - dropped));
  EXPECT_EQ(RoomUnderControlGroups(v1), limit - (used - dropped));
  const std::string full = layOut("full", "0::/photos\n", "sys/fs/cgroup/photos", "memory.max",
                                  "memory.current", "inactive_file 0\n", limit);
  EXPECT_EQ(RoomUnderControlGroups(full), 0u);
  EXPECT_EQ(RoomUnderControlGroups((dir_ / "none").string() + "/"), kMemoryUnknown);
}
#endif

// A file written into once its head is read (here: appended to) is another
// version of it: it is read again from its start, whole, and the size
// reported is that of the version compressed.
TEST_F(CompressTest, AFileWrittenIntoAfterItsHeadIsReadIsReadAgainAsItIsNow) {
  MakeJpeg(dir_ / "photo.jpg", 64, 48, 3);
  const std::string photo = ReadBytes(dir_ / "photo.jpg") + std::string(3 << 20, '\0');
  WriteBytes(dir_ / "photo.jpg", photo);  // past the head: the file stays open after it
  PreparedImage prepared;
  ASSERT_TRUE(ReadInputHead(dir_ / "photo.jpg", std::uint64_t{1} << 30, &prepared));
  std::ofstream(dir_ / "photo.jpg", std::ios::binary | std::ios::app) << std::string(8 << 20, 'x');
  ASSERT_TRUE(PrepareReadImage(80, &prepared)) << prepared.result.errorText;
  EXPECT_EQ(prepared.result.inputBytes, photo.size() + (8 << 20));
}
