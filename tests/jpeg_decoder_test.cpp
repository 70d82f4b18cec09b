// Our JPEG decoder against the library it replaces: for every JPEG we have, made
// or found, whole, cut short and with bytes changed, the same size, channels,
// pixels, or the same reason for failing.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "engine/codecs/jpeg_decoder.h"
#include "engine/codecs/jpeg_fast_block.h"
#include "engine/codecs/jpeg_internal.h"
#include "engine/image_codec.h"
#include "engine/codecs/jpeg_tables.h"
#include "engine/codecs/jpeg_writer.h"
#include "tests/reference/stb_write_reference.h"
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
  // The decode a row at a time must give the same outcome, here on the SSE2
  // kernels (the whole decode ran on the widest the processor has).
  int w = 0, h = 0, c = 0;
  const char* rowsReason = nullptr;
  UseJpegPath(JpegPath::Baseline);
  JpegRows rows = StartJpegRows(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(),
                                &w, &h, &c, &rowsReason);
  // A baseline image's rows are decoded as they are asked for: its failure can
  // come at a row.
  std::string pixels;
  for (int y = 0; rows && y < h && !JpegRowsFailure(rows.get()); ++y)
    if (const unsigned char* row = NextJpegRow(rows.get()))
      pixels.append(reinterpret_cast<const char*>(row), static_cast<std::size_t>(w) * c);
  UseJpegPath(JpegPath::Best);
  if (rows && JpegRowsFailure(rows.get())) rowsReason = JpegRowsFailure(rows.get());
  const bool rowsOk = rows && !JpegRowsFailure(rows.get());
  if (rowsOk != o.ok || (!rowsOk && std::string(rowsReason) != o.reason) ||
      (rowsOk && (pixels != o.pixels || w != o.width || h != o.height || c != o.channels)))
    o.reason += " (its rows differ)";
  // Read as it advances, a few bytes at a time, each once and in order: the
  // same outcome, unless the decode asks for the whole input instead.
  jpeg::UseInputStretch(61);
  std::size_t next = 0;
  bool inOrder = true;
  rowsReason = nullptr;
  rows = StartJpegRowsAsRead(
      [&](std::size_t at, unsigned char* out, std::size_t n) {
        inOrder = inOrder && at == next;
        n = std::min(n, bytes.size() - std::min(at, bytes.size()));
        if (n) std::memcpy(out, bytes.data() + at, n);
        next = at + n;
        return n;
      },
      bytes.size(), &w, &h, &c, &rowsReason);
  pixels.clear();
  for (int y = 0; rows && y < h && !JpegRowsFailure(rows.get()); ++y)
    if (const unsigned char* row = NextJpegRow(rows.get()))
      pixels.append(reinterpret_cast<const char*>(row), static_cast<std::size_t>(w) * c);
  jpeg::UseInputStretch(0);
  if (rows && JpegRowsFailure(rows.get())) rowsReason = JpegRowsFailure(rows.get());
  const bool readOk = rows && !JpegRowsFailure(rows.get());
  if (!inOrder) o.reason += " (read out of order)";
  if (!(rows && JpegRowsWantWholeInput(rows.get())) &&
      (readOk != o.ok || (!readOk && std::string(rowsReason) != o.reason) ||
       (readOk && (pixels != o.pixels || w != o.width || h != o.height || c != o.channels))))
    o.reason += " (read as it advances, it differs)";
  return o;
}

// Compares one input, decoded by ours with its fast blocks and without; false
// (with a failure reported) when the decoders differ. Tables the library would
// overrun are refused before decoding, so never compared.
bool Same(const std::string& name, const std::string& bytes, int* compared) {
  if (!JpegHuffmanTablesFit(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size()))
    return true;
  ++*compared;
  const Outcome want = Library(bytes);
  bool same = true;
  for (bool fast : {true, false}) {
    jpeg::UseFastBlocks(fast);
    const Outcome got = Ours(bytes);
    jpeg::UseFastBlocks(true);
    const std::string how = name + (fast ? "" : " (no fast blocks)");
    EXPECT_EQ(got.ok, want.ok) << how << ": library says " << want.reason << ", ours " << got.reason;
    EXPECT_EQ(got.reason, want.reason) << how;
    EXPECT_EQ(got.width, want.width) << how;
    EXPECT_EQ(got.height, want.height) << how;
    EXPECT_EQ(got.channels, want.channels) << how;
    if (got.pixels != want.pixels) {
      std::size_t at = 0;
      while (at < std::min(got.pixels.size(), want.pixels.size()) && got.pixels[at] == want.pixels[at]) ++at;
      ADD_FAILURE() << how << ": pixels differ first at byte " << at;
    }
    same = same && got.ok == want.ok && got.reason == want.reason && got.pixels == want.pixels &&
           got.width == want.width && got.height == want.height && got.channels == want.channels;
  }
  return same;
}

// Changed copies of inputs whose header asks for more than this many pixels
// would only make each comparison slow (the library decodes them to full size).
// Tables the library overruns are never handed to it, not even for its header.
bool SmallEnoughToVary(const Input& input) {
  int w = 0, h = 0, c = 0;
  const auto* data = reinterpret_cast<const unsigned char*>(input.bytes.data());
  return input.bytes.size() <= (1u << 20) && JpegHuffmanTablesFit(data, input.bytes.size()) &&
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

// In name order, one process: baseline-gray-bright-64x64.jpg is decoded just
// before baseline-gray-scan-stops-64x64.jpg, whose scan stops early. Had the
// library's planes kept what the heap held, the second would differ.
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
// middle of the entropy-coded data and just before the end. Cut in the middle,
// it also ends in a marker there: the data that runs into one (the reader
// stops short of the bits it wanted) and the data that runs out (zeros) take
// different paths.
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
    for (int i = 1; i < 40; ++i) {
      const std::size_t n = size * i / 40;
      if (n >= 2 && !Same(input.name + " ending in a marker at " + std::to_string(n),
                          input.bytes.substr(0, n) + "\xFF\xD9", &compared))
        break;
    }
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

// Runs of 0xFF fill bytes longer than the decoder's window holds (read as it
// advances, it passes them without holding them): before a stuffed zero, a
// restart marker, the end of the image and the end of the file, and before a
// byte that makes a marker of them in the middle of the data.
TEST(JpegDecoder, GivesTheLibrarysResultWithLongRunsOfFillBytes) {
  int compared = 0;
  const std::string fill(70000, '\xFF');
  for (const Input& input : AllInputs()) {
    const std::string& b = input.bytes;
    const std::size_t sos = FindSegment(b, 0xDA);
    if (!SmallEnoughToVary(input) || b.size() > (64 << 10) || sos == std::string::npos ||
        b.size() < sos + 16 || b.compare(b.size() - 2, 2, "\xFF\xD9") != 0)
      continue;
    const std::size_t stuffed = b.find(std::string("\xFF\x00", 2), sos);
    const std::size_t restart = b.find("\xFF\xD0", sos);
    const std::size_t middle = (sos + b.size()) / 2;
    std::vector<std::pair<std::string, std::string>> variants = {
        {"before its end", b.substr(0, b.size() - 1) + fill + "\xD9"},
        {"to the end of the file", b.substr(0, b.size() - 2) + fill},
        {"as a marker in the data", b.substr(0, middle) + fill + "\x01" + b.substr(middle)}};
    if (stuffed != std::string::npos)
      variants.push_back({"before a stuffed zero", b.substr(0, stuffed) + fill + b.substr(stuffed)});
    if (restart != std::string::npos)
      variants.push_back({"before a restart", b.substr(0, restart) + fill + b.substr(restart)});
    for (const auto& [where, bytes] : variants)
      if (!Same(input.name + " with fill " + where, bytes, &compared)) break;
  }
  std::printf("%d inputs compared\n", compared);
  EXPECT_GT(compared, 60);
}

// Block by block through made files' scans, whole and with bytes changed: the
// fast path (and the library's steps it hands over to) leaves the same
// coefficients and the library's reader state exactly (bits held, bytes taken
// in), wherever it stops.
TEST(JpegDecoder, FastBlocksLeaveTheLibrarysReaderState) {
  std::mt19937 random(11);
  int blocks = 0;
  std::vector<Input> inputs;
  AddWrittenJpegs(&inputs);
  for (const Input& input : inputs)
    for (int round = 0; round < 20; ++round) {
      std::string bytes = input.bytes;
      const std::size_t sos = bytes.find("\xFF\xDA");
      if (round > 0) bytes[sos + 14 + random() % (bytes.size() - sos - 16)] = static_cast<char>(random());
      auto d = std::make_unique<jpeg::Decoder>();
      d->src.data = reinterpret_cast<const unsigned char*>(bytes.data());
      d->src.size = d->src.held = bytes.size();
      ASSERT_TRUE(jpeg::ReadHeader(d.get()));
      for (int m = jpeg::NextMarker(d.get()); m != 0xDA; m = jpeg::NextMarker(d.get()))
        ASSERT_TRUE(jpeg::ReadMarkerSegment(d.get(), m)) << input.name;
      ASSERT_TRUE(jpeg::ReadScanHeader(d.get()));
      jpeg::StartScan(d.get());
      // MCUs until the data meets its marker (or a made-up number of them)
      bool ok = true;
      for (int n = 0; ok && !d->bits.noMore && n < 2000; ++n) {
        for (int k = 0; k < d->scanCount && ok; ++k) {
          jpeg::Component* c = &d->comp[d->order[k]];
          const jpeg::HuffmanTable &dc = d->dc[c->hd], &ac = d->ac[c->ha];
          const std::int16_t* fac = d->fastAc[c->ha];
          for (int i = 0; i < c->h * c->v && ok; ++i, ++blocks) {
            jpeg::Bits exact = d->bits, fast = d->bits;
            short want[64], got[64];
            bool wantSeen = false, gotSeen = false;
            const int pred = c->dcPred;
            const jpeg::Segment window = d->segment;  // the exact decode may read the next
            ok = jpeg::DecodeBlock(d.get(), exact, want, dc, ac, fac, c, d->dequant[c->tq], &wantSeen);
            const int wantPred = c->dcPred;
            c->dcPred = pred;
            d->segment = window;
            const int at = jpeg::DecodeBlockFast(fast, got, dc, ac, d->wideAc[c->ha], c, d->dequant[c->tq], &gotSeen);
            const bool gotOk = at == jpeg::kFastBlockDone ||
                (at == 0 ? jpeg::DecodeBlock(d.get(), fast, got, dc, ac, fac, c, d->dequant[c->tq], &gotSeen)
                         : jpeg::DecodeAc(d.get(), fast, got, ac, fac, d->dequant[c->tq], at, &gotSeen));
            ASSERT_EQ(ok, gotOk) << input.name << " round " << round;
            if (!ok) break;
            ASSERT_EQ(0, std::memcmp(want, got, sizeof want)) << input.name << " round " << round;
            ASSERT_EQ(wantSeen, gotSeen);
            ASSERT_EQ(wantPred, c->dcPred);
            ASSERT_EQ(exact.buffer, fast.buffer) << input.name << " round " << round;
            ASSERT_EQ(exact.count, fast.count) << input.name << " round " << round;
            ASSERT_EQ(exact.loaded, fast.loaded) << input.name << " round " << round;
            ASSERT_EQ(exact.noMore, fast.noMore);
            d->bits = exact;
          }
        }
      }
    }
  EXPECT_GT(blocks, 10000);
}

// The inverse DCT the decoder runs (SSE2 on x86) against the plain model of
// the library's SSE2 kernel, on blocks of every magnitude up to the extremes
// where 16-bit lanes wrap and saturate, and on DC-only blocks.
TEST(JpegDecoder, InverseDctMatchesItsModel) {
  std::mt19937 random(3);
  for (int round = 0; round < 20000; ++round) {
    alignas(16) short block[64];
    const int magnitude = (round % 4 == 0) ? 32767 : (round % 4 == 1) ? 4095 : (round % 4 == 2) ? 1023 : 64;
    for (short& c : block)
      c = random() % 3 == 0 ? 0 : static_cast<short>(static_cast<int>(random() % (2 * magnitude + 1)) - magnitude);
    unsigned char fast[64], model[64];
    jpeg::InverseDct(fast, 8, block);
    jpeg::InverseDctModel(model, 8, block);
    ASSERT_EQ(0, std::memcmp(fast, model, 64)) << "round " << round;
    // two at once (AVX2 where the processor has it), this block and its reverse
    if (!UseJpegPath(round % 2 ? JpegPath::Avx2 : JpegPath::Baseline)) continue;
    alignas(16) short reversed[64];
    std::reverse_copy(block, block + 64, reversed);
    unsigned char pair[2][80] = {}, reversedModel[64];
    jpeg::InverseDctModel(reversedModel, 8, reversed);
    jpeg::InverseDctPair(pair[0], 10, block, pair[1], 9, reversed);
    for (int row = 0; row < 8; ++row) {
      ASSERT_EQ(0, std::memcmp(pair[0] + 10 * row, model + 8 * row, 8)) << "round " << round;
      ASSERT_EQ(0, std::memcmp(pair[1] + 9 * row, reversedModel + 8 * row, 8)) << "round " << round;
    }
  }
  UseJpegPath(JpegPath::Best);
  for (int dc = -32768; dc <= 32767; dc += 7) {
    alignas(16) short block[64] = {static_cast<short>(dc)};
    unsigned char fast[64], model[64];
    jpeg::InverseDctDcOnly(fast, 8, dc);
    jpeg::InverseDctModel(model, 8, block);
    ASSERT_EQ(0, std::memcmp(fast, model, 64)) << "dc " << dc;
  }
}

// The progressive coefficients' store (a byte each, high bytes where a block
// needs them) gives back every 16-bit value, also once a block that needed its
// high bytes holds small values again, or one that never did takes large ones.
TEST(JpegDecoder, CoefficientStoreGivesBackEveryValue) {
  jpeg::Component c;
  c.coeffW = 3;
  c.coeffH = 2;
  ASSERT_TRUE(jpeg::AllocateCoefficients(&c));
  alignas(16) short in[64], out[64];
  jpeg::LoadCoefficients(c, 5, out);
  EXPECT_EQ(std::count(out, out + 64, 0), 64);  // never stored: zeros
  for (int round = 0; round < 3; ++round) {  // small values, every value, small again
    for (int first = -32768; first < 32768; first += 64) {
      const std::size_t block = static_cast<std::size_t>(first + 32768) / 64 % 6;
      for (int k = 0; k < 64; ++k)
        in[k] = static_cast<short>(round == 1 ? first + k : ((first + k) & 127) - 64);
      ASSERT_TRUE(jpeg::StoreCoefficients(&c, block, in));
      jpeg::LoadCoefficients(c, block, out);
      ASSERT_EQ(0, std::memcmp(in, out, sizeof in)) << first << " round " << round;
    }
  }
  jpeg::ClearCoefficients(&c, 0);
  jpeg::LoadCoefficients(c, 0, out);
  EXPECT_EQ(std::count(out, out + 64, 0), 64);
  jpeg::ReleaseCoefficients(&c);
}

// The colour conversion (SSE2 for eight pixels at a time) against the
// library's fixed-point formula, for every Y, Cb and Cr.
// On each path the processor has (the AVX2 one does 16 pixels at a time, then
// the SSE2 one and the plain code the rest): rows of 65535 pixels leave some
// to each.
TEST(JpegDecoder, ColourConversionMatchesTheLibrarysFormulaEverywhere) {
  auto clamp = [](int v) { return static_cast<unsigned char>(v < 0 ? 0 : v > 255 ? 255 : v); };
  std::vector<unsigned char> y(65536), cb(65536), cr(65536), out(3 * 65536 + 3);
  for (JpegPath path : {JpegPath::Baseline, JpegPath::Avx2})
  for (int red = 0; red < 256 && UseJpegPath(path); ++red) {
    for (int i = 0; i < 65536; ++i) {
      y[i] = static_cast<unsigned char>(i & 255);
      cb[i] = static_cast<unsigned char>(i >> 8);
      cr[i] = static_cast<unsigned char>(red);
    }
    const int count = 65536 - red % 2;
    out[3 * count + 1] = 0xA5;  // past the one byte the conversion may write after a row
    jpeg::YCbCrToRgb(out.data(), y.data(), cb.data(), cr.data(), count);
    ASSERT_EQ(out[3 * count + 1], 0xA5) << "written past the row";
    for (int i = 0; i < count; ++i) {
      const int yFixed = (y[i] << 20) + (1 << 19), crc = cr[i] - 128, cbc = cb[i] - 128;
      const int r = (yFixed + crc * (5743 << 8)) >> 20;
      const int g = static_cast<int>(static_cast<unsigned>(yFixed + crc * -(2925 << 8)) +
                                     (static_cast<unsigned>(cbc * -(1410 << 8)) & 0xffff0000u)) >> 20;
      const int b = (yFixed + cbc * (7258 << 8)) >> 20;
      ASSERT_EQ(out[3 * i], clamp(r)) << i << " " << red;
      ASSERT_EQ(out[3 * i + 1], clamp(g)) << i << " " << red;
      ASSERT_EQ(out[3 * i + 2], clamp(b)) << i << " " << red;
    }
  }
  UseJpegPath(JpegPath::Best);
}

}  // namespace
