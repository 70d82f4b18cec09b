#include "engine/codecs/jpeg_writer_tables.h"

#include <cstring>

namespace jpeg_writer {
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

unsigned char QuantStep(int base, int scale) {
  const int step = (base * scale + 50) / 100;
  return static_cast<unsigned char>(step < 1 ? 1 : step > 255 ? 255 : step);
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

}  // namespace

const HuffmanTables& StandardTables() {
  static const HuffmanTables tables = {
      MakeHuffmanTable(kLumaDcCounts, kDcSymbols), MakeHuffmanTable(kLumaAcCounts, kLumaAcSymbols),
      MakeHuffmanTable(kChromaDcCounts, kDcSymbols),
      MakeHuffmanTable(kChromaAcCounts, kChromaAcSymbols)};
  return tables;
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

}  // namespace jpeg_writer
