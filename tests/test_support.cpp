#include "tests/test_support.h"

#include <fstream>
#include <iterator>
#include <random>

#include "engine/image_codec.h"
#include "engine/utf8.h"
#include "tests/reference/stb_write_reference.h"
#if !defined(_WIN32)
#include <unistd.h>
#endif

void TempDirTest::SetUp() {
  const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
  std::random_device random;
  dir_ = fs::temp_directory_path() /
         (std::string("quillmar-") + info->name() + "-" + std::to_string(random()));
  fs::create_directories(dir_);
}

void TempDirTest::TearDown() {
  std::error_code ec;
  fs::remove_all(dir_, ec);
}

fs::path CorpusDir() { return QUILLMAR_CORPUS_DIR; }

fs::path TestDataDir() { return QUILLMAR_TEST_DATA_DIR; }

std::string ReadBytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteBytes(const fs::path& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::vector<unsigned char> TestPixels(int width, int height, int channels) {
  std::vector<unsigned char> pixels(static_cast<size_t>(width) * height * channels);
  std::mt19937 noise(width * 131 + height * 7 + channels);
  size_t i = 0;
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x)
      for (int c = 0; c < channels; ++c) {
        bool alpha = (channels == 2 || channels == 4) && c == channels - 1;
        int value = alpha ? (x < width / 4 ? 0 : 255 * y / (height > 1 ? height - 1 : 1))
                          : (x * 255 / width + y * (c + 1) * 3 + static_cast<int>(noise() % 32));
        pixels[i++] = static_cast<unsigned char>(value & 0xff);
      }
  return pixels;
}

void MakePng(const fs::path& path, int width, int height, int channels) {
  std::vector<unsigned char> pixels = TestPixels(width, height, channels);
  int length = 0;
  unsigned char* png =
      stbi_write_png_to_mem(pixels.data(), width * channels, width, height, channels, &length);
  WriteBytes(path, std::string(reinterpret_cast<char*>(png), static_cast<size_t>(length)));
  free(png);
}

void MakeJpeg(const fs::path& path, int width, int height, int channels) {
  std::vector<unsigned char> pixels = TestPixels(width, height, channels);
  std::string bytes;
  stbi_write_jpg_to_func(
      [](void* context, void* data, int size) {
        static_cast<std::string*>(context)->append(static_cast<char*>(data), size);
      },
      &bytes, width, height, channels, pixels.data(), 90);
  WriteBytes(path, bytes);
}

fs::path U8(const std::string& utf8) { return Utf8ToPath(utf8); }

std::string WideToUtf8ForTest(const std::wstring& wide) {
  std::string out;
  for (size_t i = 0; i < wide.size(); ++i) {
    char32_t c = static_cast<char32_t>(wide[i]);
    if (sizeof(wchar_t) == 2 && c >= 0xD800 && c < 0xDC00 && i + 1 < wide.size())
      c = 0x10000 + ((c - 0xD800) << 10) + (static_cast<char32_t>(wide[++i]) - 0xDC00);
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

bool RunningAsRoot() {
#if defined(_WIN32)
  return false;
#else
  return geteuid() == 0;
#endif
}
