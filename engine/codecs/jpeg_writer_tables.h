#pragma once
// The JPEG writer's fixed parts: the tables of the JPEG standard's examples it
// always uses, its quantisation at a quality, and the headers before the
// entropy-coded data.
#include <cstdint>

#include "engine/codecs/byte_buffer.h"

namespace jpeg_writer {

// A Huffman code, indexed by its symbol; symbols without a code have length 0
// and so put nothing in the stream (as the reference's zero entries do).
struct HuffmanCode {
  std::uint16_t bits = 0;
  std::uint8_t length = 0;
};
struct HuffmanTable {
  HuffmanCode code[256];
};

struct HuffmanTables {
  HuffmanTable lumaDc, lumaAc, chromaDc, chromaAc;
};
/// The standard's example tables as codes.
const HuffmanTables& StandardTables();

// The quantisation of one stream: the tables in its header (zigzag order) and
// the factors the transformed blocks are multiplied by (row order), which fold
// in the scaling of the AAN transform.
struct Quantisation {
  unsigned char lumaTable[64], chromaTable[64];
  float lumaFactor[64], chromaFactor[64];
};

/// The tables and factors at `scale` percent of the standard's tables.
void MakeQuantisation(int scale, Quantisation* q);

/// JFIF header, both quantisation tables, the frame (always three components,
/// grey too), the four Huffman tables and the scan header. out must have room.
void AppendHeaders(ByteBuffer* out, int width, int height, bool subsample, const Quantisation& q);

}  // namespace jpeg_writer
