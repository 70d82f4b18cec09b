#pragma once
// The JPEG writer's entropy coding: quantised blocks (zigzag order) into Huffman
// codes and value bits, most significant bit first, a zero byte stuffed after
// each 0xFF, as the reference writer puts them.
#include <cstddef>
#include <cstdint>

#include "engine/codecs/jpeg_writer_tables.h"

namespace jpeg_writer {

// The bits not out yet are the low 64 - `free` bits of `bits` (the bits above
// them are left over from earlier codes and never go out again).
struct BitWriter {
  std::uint64_t bits = 0;
  int free = 64;
  unsigned char* out = nullptr;
};

/// A block's code never reaches 512 bytes: 64 codes of at most 27 bits, each
/// byte possibly stuffed; `out` must have that room for each block put.
constexpr std::size_t kMaxBlockBytes = 512;

/// The MCUs of a strip: each one's `lumaBlocks` Y blocks, then U, then V (64
/// coefficients each), each coded against the previous DC of its component
/// (dc: Y, U, V, updated).
void PutMcus(BitWriter& writer, const std::int16_t* blocks, std::size_t mcus,
             std::size_t lumaBlocks, int dc[3], const HuffmanTables& tables);

/// The last bits padded with ones to a byte; a part byte left over is dropped.
/// Needs room for 9 bytes.
void FinishBits(BitWriter& writer);

}  // namespace jpeg_writer
