#include "engine/codecs/jpeg_writer_entropy.h"

#include <bit>
#include <cstring>

#include "engine/codecs/float_lanes.h"

namespace jpeg_writer {
namespace {

inline void EmitByte(BitWriter& w, unsigned byte) {
  *w.out++ = static_cast<unsigned char>(byte);
  if (byte == 0xFF) *w.out++ = 0;
}

// Eight bytes at once unless one of them is 0xFF and needs its zero after it
// (the test is the classic zero-byte test on the word's complement).
inline void PutWord(BitWriter& w, std::uint64_t word) {
  constexpr std::uint64_t kOnes = 0x0101010101010101u, kHighs = 0x8080808080808080u;
  if (((~word - kOnes) & word & kHighs) == 0) {
    const std::uint64_t bigEndian = __builtin_bswap64(word);
    std::memcpy(w.out, &bigEndian, 8);
    w.out += 8;
  } else {
    for (int shift = 56; shift >= 0; shift -= 8) EmitByte(w, (word >> shift) & 0xFF);
  }
}

// Up to 27 bits (a Huffman code and its value's bits), nothing set above them.
// The word fills up before it goes out, so the test for a byte 0xFF and the
// store come once every 64 bits.
inline void PutBits(BitWriter& w, std::uint64_t bits, int length) {
  if (length < w.free) {
    w.bits = (w.bits << length) | bits;
    w.free -= length;
    return;
  }
  // free <= 27 here, so the shift is defined; what doesn't fit waits in `bits`.
  length -= w.free;
  PutWord(w, (w.bits << w.free) | (bits >> length));
  w.bits = bits;
  w.free = 64 - length;
}

// A non-zero value after its Huffman code: the code of its magnitude category
// (the bit width of |value|), then the value's low `category` bits, less one for
// a negative value. Worked out rather than looked up: a table for every value
// crowds the blocks out of the first-level cache. A negative value's bits are
// value - 1 + 2^category, so code and bits together are
// ((code + 1) << category) + value - 1: no mask needed. (That needs a code for
// the symbol: blocks of 8-bit samples hold AC values of at most 10 bits and DC
// differences of at most 11, and the tables have a code for each.)
inline void PutValue(BitWriter& w, const HuffmanCode* codes, int symbolBase, int value) {
  const int sign = value >> 31;  // 0 or -1
  const unsigned magnitude = static_cast<unsigned>((value ^ sign) - sign);
  const int category = (31 ^ __builtin_clz(magnitude)) + 1;
  const HuffmanCode code = codes[symbolBase + category];
  const std::uint32_t bits = ((static_cast<std::uint32_t>(code.bits) - sign) << category) +
                             static_cast<std::uint32_t>(value + sign);
  PutBits(w, bits, code.length + category);
}

inline void PutCode(BitWriter& w, const HuffmanCode& code) { PutBits(w, code.bits, code.length); }

// One quantised block in zigzag order; returns its DC for the next block's
// difference. The mask of the non-zero coefficients after the last one coded
// is shifted along with it, so its trailing zeros are the next zero run.
inline int PutBlock(BitWriter& w, const std::int16_t* du, int previousDc, const HuffmanTable& dc,
                    const HuffmanTable& ac) {
  const int diff = du[0] - previousDc;
  if (diff == 0) PutCode(w, dc.code[0]);
  else PutValue(w, dc.code, 0, diff);
  std::uint64_t ahead = NonZeroMask64(du) >> 1;  // bit i: coefficient at + i
  const std::int16_t* at = du + 1;
  while (ahead) {
    unsigned zeros = static_cast<unsigned>(std::countr_zero(ahead));
    at += zeros;
    ahead = (ahead >> zeros) >> 1;
    for (; zeros >= 16; zeros -= 16) PutCode(w, ac.code[0xF0]);
    PutValue(w, ac.code, static_cast<int>(zeros << 4), *at++);
  }
  if (at != du + 64) PutCode(w, ac.code[0]);
  return du[0];
}

}  // namespace

// The writer works on a local copy: the bytes it stores can't touch a local, so
// its fields stay in registers instead of being read again after each byte.
void PutMcus(BitWriter& writer, const std::int16_t* du, std::size_t mcus, std::size_t lumaBlocks,
             int dc[3], const HuffmanTables& t) {
  BitWriter w = writer;
  for (std::size_t m = 0; m < mcus; ++m)
    for (std::size_t b = 0; b < lumaBlocks + 2; ++b, du += 64) {
      const std::size_t c = b < lumaBlocks ? 0 : b - lumaBlocks + 1;
      dc[c] = PutBlock(w, du, dc[c], c ? t.chromaDc : t.lumaDc, c ? t.chromaAc : t.lumaAc);
    }
  writer = w;
}

void FinishBits(BitWriter& w) {
  PutBits(w, 0x7F, 7);
  for (int count = 64 - w.free; count >= 8; count -= 8) EmitByte(w, (w.bits >> (count - 8)) & 0xFF);
  w.free = 64;
}

}  // namespace jpeg_writer
