#include "engine/codecs/jpeg_writer.h"

#include <atomic>
#include <bit>
#include <cstdint>
#include <cstring>
#include <memory>

#include "engine/codecs/float_lanes.h"
#include "engine/codecs/jpeg_kernels.h"

namespace {

constexpr unsigned char kZigZag[64] = {
    0,  1,  5,  6,  14, 15, 27, 28, 2,  4,  7,  13, 16, 26, 29, 42, 3,  8,  12, 17, 25, 30,
    41, 43, 9,  11, 18, 24, 31, 40, 44, 53, 10, 19, 23, 32, 39, 45, 52, 54, 20, 22, 33, 38,
    46, 51, 55, 60, 21, 34, 37, 47, 50, 56, 59, 61, 35, 36, 48, 49, 57, 58, 62, 63};

// The example tables of the JPEG standard (Annex K): quantisation, then each
// Huffman table as code counts per length 1..16 and the symbols in code order.
constexpr int kLumaQuant[64] = {
    16, 11, 10, 16, 24,  40,  51,  61,  12, 12, 14, 19, 26,  58,  60,  55,
    14, 13, 16, 24, 40,  57,  69,  56,  14, 17, 22, 29, 51,  87,  80,  62,
    18, 22, 37, 56, 68,  109, 103, 77,  24, 35, 55, 64, 81,  104, 113, 92,
    49, 64, 78, 87, 103, 121, 120, 101, 72, 92, 95, 98, 112, 100, 103, 99};
constexpr int kChromaQuant[64] = {
    17, 18, 24, 47, 99, 99, 99, 99, 18, 21, 26, 66, 99, 99, 99, 99, 24, 26, 56, 99, 99, 99,
    99, 99, 47, 66, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99,
    99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99};
constexpr unsigned char kLumaDcCounts[16] = {0, 1, 5, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0, 0, 0};
constexpr unsigned char kChromaDcCounts[16] = {0, 3, 1, 1, 1, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0};
constexpr unsigned char kDcSymbols[12] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};
constexpr unsigned char kLumaAcCounts[16] = {0, 2, 1, 3, 3, 2, 4, 3, 5, 5, 4, 4, 0, 0, 1, 0x7d};
constexpr unsigned char kLumaAcSymbols[162] = {
    0x01, 0x02, 0x03, 0x00, 0x04, 0x11, 0x05, 0x12, 0x21, 0x31, 0x41, 0x06, 0x13, 0x51, 0x61,
    0x07, 0x22, 0x71, 0x14, 0x32, 0x81, 0x91, 0xa1, 0x08, 0x23, 0x42, 0xb1, 0xc1, 0x15, 0x52,
    0xd1, 0xf0, 0x24, 0x33, 0x62, 0x72, 0x82, 0x09, 0x0a, 0x16, 0x17, 0x18, 0x19, 0x1a, 0x25,
    0x26, 0x27, 0x28, 0x29, 0x2a, 0x34, 0x35, 0x36, 0x37, 0x38, 0x39, 0x3a, 0x43, 0x44, 0x45,
    0x46, 0x47, 0x48, 0x49, 0x4a, 0x53, 0x54, 0x55, 0x56, 0x57, 0x58, 0x59, 0x5a, 0x63, 0x64,
    0x65, 0x66, 0x67, 0x68, 0x69, 0x6a, 0x73, 0x74, 0x75, 0x76, 0x77, 0x78, 0x79, 0x7a, 0x83,
    0x84, 0x85, 0x86, 0x87, 0x88, 0x89, 0x8a, 0x92, 0x93, 0x94, 0x95, 0x96, 0x97, 0x98, 0x99,
    0x9a, 0xa2, 0xa3, 0xa4, 0xa5, 0xa6, 0xa7, 0xa8, 0xa9, 0xaa, 0xb2, 0xb3, 0xb4, 0xb5, 0xb6,
    0xb7, 0xb8, 0xb9, 0xba, 0xc2, 0xc3, 0xc4, 0xc5, 0xc6, 0xc7, 0xc8, 0xc9, 0xca, 0xd2, 0xd3,
    0xd4, 0xd5, 0xd6, 0xd7, 0xd8, 0xd9, 0xda, 0xe1, 0xe2, 0xe3, 0xe4, 0xe5, 0xe6, 0xe7, 0xe8,
    0xe9, 0xea, 0xf1, 0xf2, 0xf3, 0xf4, 0xf5, 0xf6, 0xf7, 0xf8, 0xf9, 0xfa};
constexpr unsigned char kChromaAcCounts[16] = {0, 2, 1, 2, 4, 4, 3, 4, 7, 5, 4, 4, 0, 1, 2, 0x77};
constexpr unsigned char kChromaAcSymbols[162] = {
    0x00, 0x01, 0x02, 0x03, 0x11, 0x04, 0x05, 0x21, 0x31, 0x06, 0x12, 0x41, 0x51, 0x07, 0x61,
    0x71, 0x13, 0x22, 0x32, 0x81, 0x08, 0x14, 0x42, 0x91, 0xa1, 0xb1, 0xc1, 0x09, 0x23, 0x33,
    0x52, 0xf0, 0x15, 0x62, 0x72, 0xd1, 0x0a, 0x16, 0x24, 0x34, 0xe1, 0x25, 0xf1, 0x17, 0x18,
    0x19, 0x1a, 0x26, 0x27, 0x28, 0x29, 0x2a, 0x35, 0x36, 0x37, 0x38, 0x39, 0x3a, 0x43, 0x44,
    0x45, 0x46, 0x47, 0x48, 0x49, 0x4a, 0x53, 0x54, 0x55, 0x56, 0x57, 0x58, 0x59, 0x5a, 0x63,
    0x64, 0x65, 0x66, 0x67, 0x68, 0x69, 0x6a, 0x73, 0x74, 0x75, 0x76, 0x77, 0x78, 0x79, 0x7a,
    0x82, 0x83, 0x84, 0x85, 0x86, 0x87, 0x88, 0x89, 0x8a, 0x92, 0x93, 0x94, 0x95, 0x96, 0x97,
    0x98, 0x99, 0x9a, 0xa2, 0xa3, 0xa4, 0xa5, 0xa6, 0xa7, 0xa8, 0xa9, 0xaa, 0xb2, 0xb3, 0xb4,
    0xb5, 0xb6, 0xb7, 0xb8, 0xb9, 0xba, 0xc2, 0xc3, 0xc4, 0xc5, 0xc6, 0xc7, 0xc8, 0xc9, 0xca,
    0xd2, 0xd3, 0xd4, 0xd5, 0xd6, 0xd7, 0xd8, 0xd9, 0xda, 0xe2, 0xe3, 0xe4, 0xe5, 0xe6, 0xe7,
    0xe8, 0xe9, 0xea, 0xf2, 0xf3, 0xf4, 0xf5, 0xf6, 0xf7, 0xf8, 0xf9, 0xfa};

// A Huffman code, indexed by its symbol; symbols without a code have length 0
// and so put nothing in the stream (as the reference's zero entries do).
struct HuffmanCode {
  std::uint16_t bits = 0;
  std::uint8_t length = 0;
};
struct HuffmanTable {
  HuffmanCode code[256];
};

// Canonical codes: counts per length in order, each length's codes following on
// from the previous ones doubled.
HuffmanTable MakeHuffmanTable(const unsigned char counts[16], const unsigned char* symbols) {
  HuffmanTable table;
  unsigned code = 0;
  int k = 0;
  for (int length = 1; length <= 16; ++length, code <<= 1)
    for (int i = 0; i < counts[length - 1]; ++i, ++code)
      table.code[symbols[k++]] = {static_cast<std::uint16_t>(code), static_cast<std::uint8_t>(length)};
  return table;
}

struct HuffmanTables {
  HuffmanTable lumaDc, lumaAc, chromaDc, chromaAc;
};
const HuffmanTables& StandardTables() {
  static const HuffmanTables tables = {
      MakeHuffmanTable(kLumaDcCounts, kDcSymbols), MakeHuffmanTable(kLumaAcCounts, kLumaAcSymbols),
      MakeHuffmanTable(kChromaDcCounts, kDcSymbols),
      MakeHuffmanTable(kChromaAcCounts, kChromaAcSymbols)};
  return tables;
}

// The quantisation of one stream: the tables in its header (zigzag order) and
// the factors the transformed blocks are multiplied by (row order), which fold
// in the scaling of the AAN transform.
struct Quantisation {
  unsigned char lumaTable[64], chromaTable[64];
  float lumaFactor[64], chromaFactor[64];
};

unsigned char QuantStep(int base, int scale) {
  const int step = (base * scale + 50) / 100;
  return static_cast<unsigned char>(step < 1 ? 1 : step > 255 ? 255 : step);
}

void MakeQuantisation(int scale, Quantisation* q) {
  static const float aasf[8] = {
      1.0f * 2.828427125f,         1.387039845f * 2.828427125f, 1.306562965f * 2.828427125f,
      1.175875602f * 2.828427125f, 1.0f * 2.828427125f,         0.785694958f * 2.828427125f,
      0.541196100f * 2.828427125f, 0.275899379f * 2.828427125f};
  for (int i = 0; i < 64; ++i) {
    q->lumaTable[kZigZag[i]] = QuantStep(kLumaQuant[i], scale);
    q->chromaTable[kZigZag[i]] = QuantStep(kChromaQuant[i], scale);
  }
  for (int row = 0, k = 0; row < 8; ++row)
    for (int col = 0; col < 8; ++col, ++k) {
      q->lumaFactor[k] = 1 / (q->lumaTable[kZigZag[k]] * aasf[row] * aasf[col]);
      q->chromaFactor[k] = 1 / (q->chromaTable[kZigZag[k]] * aasf[row] * aasf[col]);
    }
}

void Append(ByteBuffer* out, const void* bytes, std::size_t n) {
  std::memcpy(out->data + out->length, bytes, n);
  out->length += n;
}

void AppendByte(ByteBuffer* out, unsigned char byte) { out->data[out->length++] = byte; }

void AppendHuffmanSpec(ByteBuffer* out, unsigned char id, const unsigned char counts[16],
                       const unsigned char* symbols, std::size_t symbolCount) {
  AppendByte(out, id);
  Append(out, counts, 16);
  Append(out, symbols, symbolCount);
}

// JFIF header, both quantisation tables, the frame (always three components,
// grey too), the four Huffman tables and the scan header.
void AppendHeaders(ByteBuffer* out, int width, int height, bool subsample, const Quantisation& q) {
  static const unsigned char head0[] = {0xFF, 0xD8, 0xFF, 0xE0, 0, 0x10, 'J', 'F', 'I',
                                        'F',  0,    1,    1,    0, 0,    1,   0,   1,
                                        0,    0,    0xFF, 0xDB, 0, 0x84, 0};
  static const unsigned char head2[] = {0xFF, 0xDA, 0, 0xC, 3, 1, 0, 2, 0x11, 3, 0x11, 0, 0x3F, 0};
  const unsigned char head1[] = {0xFF, 0xC0, 0, 0x11, 8,
                                 static_cast<unsigned char>(height >> 8),
                                 static_cast<unsigned char>(height),
                                 static_cast<unsigned char>(width >> 8),
                                 static_cast<unsigned char>(width),
                                 3, 1, static_cast<unsigned char>(subsample ? 0x22 : 0x11), 0, 2,
                                 0x11, 1, 3, 0x11, 1, 0xFF, 0xC4, 0x01, 0xA2};
  Append(out, head0, sizeof head0);
  Append(out, q.lumaTable, 64);
  AppendByte(out, 1);
  Append(out, q.chromaTable, 64);
  Append(out, head1, sizeof head1);
  AppendHuffmanSpec(out, 0x00, kLumaDcCounts, kDcSymbols, sizeof kDcSymbols);
  AppendHuffmanSpec(out, 0x10, kLumaAcCounts, kLumaAcSymbols, sizeof kLumaAcSymbols);
  AppendHuffmanSpec(out, 0x01, kChromaDcCounts, kDcSymbols, sizeof kDcSymbols);
  AppendHuffmanSpec(out, 0x11, kChromaAcCounts, kChromaAcSymbols, sizeof kChromaAcSymbols);
  Append(out, head2, sizeof head2);
}

// The entropy-coded segment, most significant bit first, a zero byte stuffed
// after each 0xFF. Whole 32-bit words go out at once when none of their bytes
// is 0xFF.
struct BitWriter {
  std::uint64_t pending = 0;  // the low `count` bits are not out yet
  int count = 0;
  unsigned char* out = nullptr;
};

inline void EmitByte(BitWriter& w, unsigned byte) {
  *w.out++ = static_cast<unsigned char>(byte);
  if (byte == 0xFF) *w.out++ = 0;
}

// Codes of up to 27 bits (a Huffman code and its extra bits) at a time.
inline void PutBits(BitWriter& w, std::uint32_t bits, int length) {
  w.pending = (w.pending << length) | bits;
  w.count += length;
  if (w.count < 32) return;
  w.count -= 32;
  const std::uint32_t word = static_cast<std::uint32_t>(w.pending >> w.count);
  if (((~word - 0x01010101u) & word & 0x80808080u) == 0) {  // no byte is 0xFF
    w.out[0] = static_cast<unsigned char>(word >> 24);
    w.out[1] = static_cast<unsigned char>(word >> 16);
    w.out[2] = static_cast<unsigned char>(word >> 8);
    w.out[3] = static_cast<unsigned char>(word);
    w.out += 4;
  } else {
    for (int shift = 24; shift >= 0; shift -= 8) EmitByte(w, (word >> shift) & 0xFF);
  }
}

// The last bits padded with ones to a byte; a part byte left over is dropped.
void FinishBits(BitWriter& w) {
  PutBits(w, 0x7F, 7);
  for (; w.count >= 8; w.count -= 8) EmitByte(w, (w.pending >> (w.count - 8)) & 0xFF);
}

// A non-zero value's magnitude category (the low byte) and the bits that stand
// for it (above it).
constexpr std::uint32_t WorkOutValueCode(int value) {
  const unsigned magnitude = static_cast<unsigned>(value < 0 ? -value : value);
  const int category = std::bit_width(magnitude);
  const unsigned bits = static_cast<unsigned>(value < 0 ? value - 1 : value) & ((1u << category) - 1);
  return bits << 8 | static_cast<std::uint32_t>(category);
}

// Looked up for the values a quantised block of 8-bit samples holds (and its DC
// differences), worked out for any other: one load instead of a chain of steps
// for each coefficient.
constexpr int kTabledValues = 2048;
struct ValueCodes {
  std::uint32_t code[2 * kTabledValues];
};
constexpr ValueCodes MakeValueCodes() {
  ValueCodes table{};
  for (int value = -kTabledValues; value < kTabledValues; ++value)
    table.code[value + kTabledValues] = value ? WorkOutValueCode(value) : 0;
  return table;
}
constexpr ValueCodes kValueCodes = MakeValueCodes();

inline std::uint32_t ValueCode(int value) {
  const unsigned index = static_cast<unsigned>(value + kTabledValues);
  return index < 2 * kTabledValues ? kValueCodes.code[index] : WorkOutValueCode(value);
}

// A Huffman code followed by a value's bits.
inline void PutValue(BitWriter& w, const HuffmanCode& code, std::uint32_t valueCode) {
  const int category = static_cast<int>(valueCode & 0xFF);
  PutBits(w, (static_cast<std::uint32_t>(code.bits) << category) | (valueCode >> 8),
          code.length + category);
}

// One quantised block in zigzag order; returns its DC for the next block's difference.
inline int PutBlock(BitWriter& w, const std::int16_t* du, int previousDc, const HuffmanTable& dc,
             const HuffmanTable& ac) {
  const int diff = du[0] - previousDc;
  if (diff == 0) {
    PutBits(w, dc.code[0].bits, dc.code[0].length);
  } else {
    const std::uint32_t valueCode = ValueCode(diff);
    PutValue(w, dc.code[valueCode & 0xFF], valueCode);
  }
  std::uint64_t nonZero = NonZeroMask64(du) & ~std::uint64_t{1};
  int last = 0;
  while (nonZero) {
    const int position = std::countr_zero(nonZero);
    nonZero &= nonZero - 1;
    int zeros = position - last - 1;
    for (; zeros >= 16; zeros -= 16) PutBits(w, ac.code[0xF0].bits, ac.code[0xF0].length);
    const std::uint32_t valueCode = ValueCode(du[position]);
    PutValue(w, ac.code[(zeros << 4) + (valueCode & 0xFF)], valueCode);
    last = position;
  }
  if (last != 63) PutBits(w, ac.code[0].bits, ac.code[0].length);
  return du[0];
}

struct FreeDeleter {
  void operator()(void* p) const { std::free(p); }
};

// One row of MCUs (8 or 16 pixel rows) on its way to the stream. The planes are
// padded to whole MCUs with the last column and row, as the reference repeats them.
struct Strip {
  int mcuSize = 8;            // 16 when the colour is subsampled
  std::size_t mcus = 0;       // per strip
  std::size_t width = 0;      // padded plane width
  float *y, *u, *v;           // mcuSize rows of `width`
  float *subU, *subV;         // 8 rows of width / 2 (subsampled colour only)
  std::int16_t* coefficients; // per MCU: its Y blocks, then U, then V
  std::unique_ptr<void, FreeDeleter> memory;
};

bool MakeStrip(int width, bool subsample, Strip* s) {
  s->mcuSize = subsample ? 16 : 8;
  s->mcus = (static_cast<std::size_t>(width) + s->mcuSize - 1) / s->mcuSize;
  s->width = s->mcus * s->mcuSize;
  const std::size_t plane = s->width * s->mcuSize;
  const std::size_t floats = 3 * plane + (subsample ? s->width * 8 : 0);
  const std::size_t blocks = s->mcus * (subsample ? 6 : 3);
  const std::size_t bytes = floats * sizeof(float) + blocks * 64 * sizeof(std::int16_t);
  if (s->width > (static_cast<std::size_t>(-1) >> 8) / 64) return false;  // no such block
  s->memory.reset(std::malloc(bytes));
  if (!s->memory) return false;
  float* f = static_cast<float*>(s->memory.get());
  s->y = f, s->u = f + plane, s->v = f + 2 * plane, f += 3 * plane;
  s->subU = f, s->subV = f + (subsample ? s->width * 4 : 0), f += subsample ? s->width * 8 : 0;
  s->coefficients = reinterpret_cast<std::int16_t*>(f);
  return true;
}

// Y, U and V of the strip's rows from the image rows at y0 on (the last row
// repeated below the image).
// Y, U and V of the strip's rows from the image rows at y0 on (the last row
// repeated below the image). False when the source has no row to give.
bool ConvertColour(const JpegKernels& k, const JpegRowSource& rows, int width, int height,
                   int components, int y0, Strip& s) {
  const unsigned char* line = nullptr;
  for (int row = 0; row < s.mcuSize; ++row) {
    if (y0 + row < height && !(line = rows.row(rows.user, y0 + row))) return false;
    const std::size_t at = row * s.width;
    k.convertRow(line, width, components, s.width, s.y + at, s.u + at, s.v + at);
  }
  return true;
}

struct WholeImage {
  const unsigned char* pixels;
  std::size_t rowBytes;
};

const unsigned char* RowOfWholeImage(void* user, int y) {
  const auto* image = static_cast<const WholeImage*>(user);
  return image->pixels + static_cast<std::size_t>(y) * image->rowBytes;
}

constexpr int kMaxLanes = 8;

// The strip's MCUs into the stream: each one's luma blocks, then U, then V, each
// coded against the previous DC of its component (dc: Y, U, V). The writer works
// on a local copy: the bytes it stores can't touch a local, so its fields stay
// in registers instead of being read again after each byte.
void PutStrip(BitWriter& writer, const std::int16_t* du, std::size_t mcus, std::size_t lumaBlocks,
              int dc[3], const HuffmanTables& t) {
  BitWriter w = writer;
  for (std::size_t m = 0; m < mcus; ++m)
    for (std::size_t b = 0; b < lumaBlocks + 2; ++b, du += 64) {
      const std::size_t c = b < lumaBlocks ? 0 : b - lumaBlocks + 1;
      dc[c] = PutBlock(w, du, dc[c], c ? t.chromaDc : t.lumaDc, c ? t.chromaAc : t.lumaAc);
    }
  writer = w;
}

// The blocks 0, 1, ... count - 1 of a plane, as many at a time as the kernels
// take (the last group repeats its last block); block n starts at origin(n).
template <typename Origin, typename Destination>
void QuantisePlane(const JpegKernels& k, std::size_t count, std::size_t stride,
                   const float* factor, Origin origin, Destination destination) {
  const std::size_t lanes = static_cast<std::size_t>(k.lanes);
  for (std::size_t n = 0; n < count; n += lanes) {
    const float* block[kMaxLanes];
    std::int16_t* out[kMaxLanes];
    for (std::size_t i = 0; i < lanes; ++i) {
      const std::size_t m = n + i < count ? n + i : count - 1;
      block[i] = origin(m);
      out[i] = destination(m);
    }
    k.quantiseBlocks(block, stride, factor, out);
  }
}

void QuantiseStrip(const JpegKernels& k, Strip& s, bool subsample, const Quantisation& q) {
  const std::size_t perMcu = subsample ? 6 : 3, lumaBlocks = subsample ? 4 : 1;
  std::int16_t* const du = s.coefficients;
  if (subsample) {
    // The four luma blocks of an MCU: top left, top right, bottom left, bottom right.
    QuantisePlane(
        k, s.mcus * 4, s.width, q.lumaFactor,
        [&](std::size_t n) { return s.y + (n / 4) * 16 + (n & 1) * 8 + ((n >> 1) & 1) * 8 * s.width; },
        [&](std::size_t n) { return du + ((n / 4) * perMcu + (n & 3)) * 64; });
    k.subsample(s.u, s.width, s.subU);
    k.subsample(s.v, s.width, s.subV);
  } else {
    QuantisePlane(
        k, s.mcus, s.width, q.lumaFactor, [&](std::size_t n) { return s.y + n * 8; },
        [&](std::size_t n) { return du + n * perMcu * 64; });
  }
  const float* u = subsample ? s.subU : s.u;
  const float* v = subsample ? s.subV : s.v;
  const std::size_t chromaStride = subsample ? s.width / 2 : s.width;
  QuantisePlane(
      k, s.mcus, chromaStride, q.chromaFactor, [&](std::size_t n) { return u + n * 8; },
      [&](std::size_t n) { return du + (n * perMcu + lumaBlocks) * 64; });
  QuantisePlane(
      k, s.mcus, chromaStride, q.chromaFactor, [&](std::size_t n) { return v + n * 8; },
      [&](std::size_t n) { return du + (n * perMcu + lumaBlocks + 1) * 64; });
}

// The kernels the writer runs: the widest the processor has unless a test or
// benchmark chose others.
std::atomic<const JpegKernels*> chosenKernels{nullptr};

const JpegKernels* BestKernels() {
  static const JpegKernels* const best =
      kAvx2JpegKernels && ProcessorHasAvx2() ? kAvx2JpegKernels : &kBaselineJpegKernels;
  return best;
}

const JpegKernels& ChosenKernels() {
  const JpegKernels* k = chosenKernels.load(std::memory_order_relaxed);
  return k ? *k : *BestKernels();
}

// A block's entropy code never reaches 512 bytes: 64 codes of at most 27 bits,
// each byte possibly stuffed.
constexpr std::size_t kMaxBlockBytes = 512;

}  // namespace

WriteStatus WriteJpeg(const unsigned char* pixels, int width, int height, int components,
                      int quality, ByteBuffer* out) {
  if (!pixels) return WriteStatus::Refused;
  WholeImage image{pixels, static_cast<std::size_t>(width) * static_cast<std::size_t>(components)};
  return WriteJpegRows(JpegRowSource{RowOfWholeImage, &image}, width, height, components, quality,
                       out);
}

WriteStatus WriteJpegRows(const JpegRowSource& rows, int width, int height, int components,
                          int quality, ByteBuffer* out) {
  if (width <= 0 || height <= 0 || components < 1 || components > 4) return WriteStatus::Refused;
  quality = quality ? quality : 90;
  const bool subsample = quality <= 90;
  quality = quality < 1 ? 1 : quality > 100 ? 100 : quality;
  Quantisation q;
  MakeQuantisation(quality < 50 ? 5000 / quality : 200 - quality * 2, &q);

  Strip strip;
  const std::size_t start = out->length;
  if (!MakeStrip(width, subsample, &strip) || !ReserveBytes(out, 1024))
    return WriteStatus::OutOfMemory;
  AppendHeaders(out, width, height, subsample, q);

  const HuffmanTables& t = StandardTables();
  const JpegKernels& k = ChosenKernels();
  const std::size_t lumaBlocks = subsample ? 4 : 1, perMcu = lumaBlocks + 2;
  int dc[3] = {0, 0, 0};
  BitWriter bits;
  for (int y0 = 0; y0 < height; y0 += strip.mcuSize) {
    if (!ConvertColour(k, rows, width, height, components, y0, strip)) {
      out->length = start;
      return WriteStatus::Refused;
    }
    QuantiseStrip(k, strip, subsample, q);
    if (!ReserveBytes(out, strip.mcus * perMcu * kMaxBlockBytes + 16)) {
      out->length = start;
      return WriteStatus::OutOfMemory;
    }
    bits.out = out->data + out->length;
    PutStrip(bits, strip.coefficients, strip.mcus, lumaBlocks, dc, t);
    out->length = static_cast<std::size_t>(bits.out - out->data);
  }
  bits.out = out->data + out->length;
  FinishBits(bits);
  *bits.out++ = 0xFF;
  *bits.out++ = 0xD9;
  out->length = static_cast<std::size_t>(bits.out - out->data);
  return WriteStatus::Done;
}

bool JpegKernelsAreAvx2() { return &ChosenKernels() == kAvx2JpegKernels; }

bool UseJpegPath(JpegPath path) {
  const JpegKernels* k = path == JpegPath::Best       ? BestKernels()
                         : path == JpegPath::Baseline ? &kBaselineJpegKernels
                         : kAvx2JpegKernels && ProcessorHasAvx2() ? kAvx2JpegKernels
                                                                  : nullptr;
  if (!k) return false;
  chosenKernels.store(k, std::memory_order_relaxed);
  return true;
}
