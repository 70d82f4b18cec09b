// Our JPEG decoder against the library it replaces: for every JPEG we have, made
// or found, whole, cut short and with bytes changed, the same size, channels,
// pixels, or the same reason for failing.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "engine/codecs/jpeg_decoder.h"
#include "engine/image_codec.h"
#include "engine/jpeg_tables.h"
#include "tests/test_support.h"

namespace {

struct Input {
  std::string name;
  std::string bytes;
};

bool IsJpeg(const std::string& bytes) {
  return LooksLikeJpeg(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
}

void AddJpegFiles(const fs::path& dir, std::vector<Input>* inputs) {
  ASSERT_TRUE(fs::is_directory(dir)) << dir;
  std::vector<fs::path> paths;
  for (const auto& entry : fs::directory_iterator(dir))
    if (entry.is_regular_file()) paths.push_back(entry.path());
  std::sort(paths.begin(), paths.end());
  for (const fs::path& path : paths) {
    std::string bytes = ReadBytes(path);
    if (IsJpeg(bytes)) inputs->push_back({path.filename().string(), std::move(bytes)});
  }
}

// The library's writer: baseline, 4:2:0 at quality 90 and below, 4:4:4 above,
// gray for one and two channels.
void AddWrittenJpegs(std::vector<Input>* inputs) {
  const int sizes[][2] = {{1, 1}, {2, 3}, {7, 5}, {8, 8}, {9, 17}, {16, 16}, {17, 33}, {33, 16},
                          {64, 1}, {1, 64}, {100, 75}};
  for (const auto& size : sizes)
    for (int channels : {1, 3})
      for (int quality : {20, 90, 95}) {
        std::vector<unsigned char> pixels = TestPixels(size[0], size[1], channels);
        std::string bytes;
        stbi_write_jpg_to_func(
            [](void* context, void* data, int n) {
              static_cast<std::string*>(context)->append(static_cast<char*>(data), n);
            },
            &bytes, size[0], size[1], channels, pixels.data(), quality);
        inputs->push_back({"written " + std::to_string(size[0]) + "x" + std::to_string(size[1]) +
                               "x" + std::to_string(channels) + " q" + std::to_string(quality),
                           std::move(bytes)});
      }
}

struct Outcome {
  bool ok = false;
  int width = 0, height = 0, channels = 0;
  std::string pixels;
  std::string reason;
};

Outcome Library(const std::string& bytes) {
  Outcome o;
  ClearDecoderFailure();
  unsigned char* p = stbi_load_from_memory(reinterpret_cast<const unsigned char*>(bytes.data()),
                                           static_cast<int>(bytes.size()), &o.width, &o.height,
                                           &o.channels, 0);
  if (p) {
    o.ok = true;
    o.pixels.assign(reinterpret_cast<char*>(p), static_cast<std::size_t>(o.width) * o.height * o.channels);
    stbi_image_free(p);
  } else {
    // A failure without a reason of the decoder's own is "Corrupt JPEG" in ours.
    const char* why = stbi_failure_reason();
    o.reason = why && std::strcmp(why, "Not a PNG") != 0 ? why : "Corrupt JPEG";
    o.width = o.height = o.channels = 0;
  }
  return o;
}

Outcome Ours(const std::string& bytes) {
  Outcome o;
  const char* reason = nullptr;
  unsigned char* p = DecodeJpegImage(reinterpret_cast<const unsigned char*>(bytes.data()),
                                     bytes.size(), &o.width, &o.height, &o.channels, &reason);
  if (p) {
    o.ok = true;
    o.pixels.assign(reinterpret_cast<char*>(p), static_cast<std::size_t>(o.width) * o.height * o.channels);
    std::free(p);
  } else {
    o.reason = reason ? reason : "(none)";
    o.width = o.height = o.channels = 0;
  }
  return o;
}

// Compares one input; false (with a failure reported) when the decoders differ.
// Tables the library would overrun are refused before decoding, so never compared.
bool Same(const std::string& name, const std::string& bytes, int* compared) {
  if (!JpegHuffmanTablesFit(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size()))
    return true;
  ++*compared;
  const Outcome want = Library(bytes);
  const Outcome got = Ours(bytes);
  EXPECT_EQ(got.ok, want.ok) << name << ": library says " << want.reason << ", ours " << got.reason;
  EXPECT_EQ(got.reason, want.reason) << name;
  EXPECT_EQ(got.width, want.width) << name;
  EXPECT_EQ(got.height, want.height) << name;
  EXPECT_EQ(got.channels, want.channels) << name;
  if (got.pixels != want.pixels) {
    std::size_t at = 0;
    while (at < std::min(got.pixels.size(), want.pixels.size()) && got.pixels[at] == want.pixels[at]) ++at;
    ADD_FAILURE() << name << ": pixels differ first at byte " << at;
  }
  return got.ok == want.ok && got.reason == want.reason && got.pixels == want.pixels &&
         got.width == want.width && got.height == want.height && got.channels == want.channels;
}

// Changed copies of inputs whose header asks for more than this many pixels
// would only make each comparison slow (the library decodes them to full size).
bool SmallEnoughToVary(const Input& input) {
  int w = 0, h = 0, c = 0;
  return input.bytes.size() <= (1u << 20) &&
         stbi_info_from_memory(reinterpret_cast<const unsigned char*>(input.bytes.data()),
                               static_cast<int>(input.bytes.size()), &w, &h, &c) &&
         static_cast<long long>(w) * h <= (1 << 22);
}

// Where the marker segment `code` starts (its 0xFF), or npos.
std::size_t FindSegment(const std::string& bytes, unsigned char code) {
  std::size_t at = 2;
  while (at + 4 <= bytes.size() && static_cast<unsigned char>(bytes[at]) == 0xFF) {
    const unsigned char m = static_cast<unsigned char>(bytes[at + 1]);
    if (m == code) return at;
    if (m == 0xDA) break;
    at += 2 + ((static_cast<unsigned char>(bytes[at + 2]) << 8) | static_cast<unsigned char>(bytes[at + 3]));
  }
  return std::string::npos;
}

// Headers the writers at hand don't make, patched into made files: each Adobe
// colour transform (CMYK, YCCK, YCbCr with a fourth channel, RGB), components
// named R, G, B, the extended-sequential frame marker, and a lone component
// with sampling factors other than 1x1.
void AddPatchedHeaders(std::vector<Input>* inputs) {
  const std::size_t made = inputs->size();
  for (std::size_t i = 0; i < made; ++i) {
    const Input input = (*inputs)[i];
    if (!SmallEnoughToVary(input)) continue;
    const std::string& b = input.bytes;
    const std::size_t adobe = FindSegment(b, 0xEE);
    if (adobe != std::string::npos && adobe + 15 < b.size())
      for (int transform : {0, 1, 2, 3}) {
        std::string v = b;
        v[adobe + 15] = static_cast<char>(transform);
        inputs->push_back({input.name + " adobe transform " + std::to_string(transform), v});
      }
    const std::size_t sof = FindSegment(b, 0xC0);
    if (sof == std::string::npos || sof + 10 >= b.size()) continue;
    const int components = static_cast<unsigned char>(b[sof + 9]);
    std::string extended = b;
    extended[sof + 1] = '\xC1';
    inputs->push_back({input.name + " as SOF1", extended});
    if (components == 3 && sof + 18 < b.size()) {
      std::string rgb = b;
      rgb[sof + 10] = 'R';
      rgb[sof + 13] = 'G';
      rgb[sof + 16] = 'B';
      // the scan header names the components by their ids too
      const std::size_t sos = rgb.find("\xFF\xDA", sof);
      if (sos != std::string::npos && sos + 9 < rgb.size() && rgb[sos + 4] == 3) {
        rgb[sos + 5] = 'R';
        rgb[sos + 7] = 'G';
        rgb[sos + 9] = 'B';
        inputs->push_back({input.name + " with R, G, B ids", rgb});
        std::string noJfif = rgb;
        const std::size_t app0 = FindSegment(noJfif, 0xE0);
        if (app0 != std::string::npos) noJfif[app0 + 4] = 'X';  // not JFIF
        inputs->push_back({input.name + " with R, G, B ids, no JFIF", noJfif});
      }
    }
    if (components == 1)
      for (char factors : {'\x22', '\x12', '\x41', '\x34'}) {
        std::string odd = b;
        odd[sof + 11] = factors;
        inputs->push_back({input.name + " lone component sampled " + std::to_string(factors), odd});
      }
  }
}

std::vector<Input> AllInputs() {
  std::vector<Input> inputs;
  AddJpegFiles(TestDataDir(), &inputs);
  AddJpegFiles(TestDataDir() / "jpeg-decoder", &inputs);
  AddJpegFiles(QUILLMAR_REGRESSION_DIR, &inputs);
  AddJpegFiles(CorpusDir() / "jpeg", &inputs);
  AddJpegFiles(CorpusDir() / "stb-issues", &inputs);
  AddWrittenJpegs(&inputs);
  AddPatchedHeaders(&inputs);
  return inputs;
}

TEST(JpegDecoder, GivesTheLibrarysResultForEveryFile) {
  int compared = 0;
  for (const Input& input : AllInputs()) Same(input.name, input.bytes, &compared);
  std::printf("%d inputs compared\n", compared);
  EXPECT_GT(compared, 60);
}

// Every file cut short at many points: in the headers, in the tables, in the
// middle of the entropy-coded data and just before the end.
TEST(JpegDecoder, GivesTheLibrarysResultForFilesCutShort) {
  int compared = 0;
  for (const Input& input : AllInputs()) {
    if (!SmallEnoughToVary(input)) continue;
    const std::size_t size = input.bytes.size();
    std::vector<std::size_t> cuts;
    for (std::size_t n = 2; n < std::min<std::size_t>(size, 700); n += 7) cuts.push_back(n);
    for (int i = 1; i < 40; ++i) cuts.push_back(size * i / 40);
    for (std::size_t back = 1; back <= 12 && back < size; ++back) cuts.push_back(size - back);
    for (std::size_t n : cuts)
      if (n >= 2 && !Same(input.name + " cut at " + std::to_string(n), input.bytes.substr(0, n), &compared))
        break;
  }
  std::printf("%d inputs compared\n", compared);
}

// Bytes changed at random places, one to a few at a time, and runs of 0xFF and
// markers written into the data.
TEST(JpegDecoder, GivesTheLibrarysResultForDamagedFiles) {
  int compared = 0;
  std::mt19937 random(7);
  for (const Input& input : AllInputs()) {
    if (!SmallEnoughToVary(input) || input.bytes.size() < 4) continue;
    for (int round = 0; round < 60; ++round) {
      std::string bytes = input.bytes;
      const int changes = 1 + static_cast<int>(random() % 4);
      for (int c = 0; c < changes; ++c) {
        const std::size_t at = 2 + random() % (bytes.size() - 2);
        switch (random() % 4) {
          case 0: bytes[at] = static_cast<char>(random()); break;
          case 1: bytes[at] = static_cast<char>(bytes[at] ^ (1 << (random() % 8))); break;
          case 2: bytes[at] = '\xFF'; break;
          default:
            bytes[at] = '\xFF';
            if (at + 1 < bytes.size()) bytes[at + 1] = static_cast<char>(0xD0 + random() % 16);
        }
      }
      if (!Same(input.name + " damaged round " + std::to_string(round), bytes, &compared)) break;
    }
  }
  std::printf("%d inputs compared\n", compared);
}

}  // namespace
