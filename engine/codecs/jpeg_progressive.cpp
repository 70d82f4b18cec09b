// Progressive scans' blocks: the DC scans, and the AC scans, first and
// refining, over coefficients kept in zigzag order until the end. The bit
// reader's moves are the library's one by one; only the walk over a band is
// done with masks.
#include <cstdint>
#include <cstring>

#include "engine/codecs/float_lanes.h"
#include "engine/codecs/jpeg_bits.h"
#include "engine/codecs/jpeg_internal.h"

namespace jpeg {
namespace {

// Progressive coefficients are kept in zigzag order until the end; a damaged
// run past the last one lands on it, as in the library's natural order.
int ZigzagSlot(int k) { return k < 64 ? k : 63; }

bool DecodeProgressiveAcFirst(Decoder* d, Bits& b, short* data, const HuffmanTable& hac,
                              const std::int16_t* fac) {
  const int shift = d->succLow;
  if (d->eobRun) {
    --d->eobRun;
    return true;
  }
  int k = d->specStart;
  do {
    if (b.count < 16) Grow(d, b);
    const int r = PeekFastAc(b, fac);
    if (r) {
      k += (r >> 4) & 15;
      SkipBits(b, r & 15);
      data[ZigzagSlot(k++)] = WrapMul(r >> 8, 1 << shift);
    } else {
      const int rs = DecodeSymbol(d, b, hac);
      if (rs < 0) return Fail(d, "Corrupt JPEG");
      const int s = rs & 15;
      const int run = rs >> 4;
      if (s == 0) {
        if (run < 15) {
          d->eobRun = 1 << run;
          if (run) d->eobRun += GetBits(d, b, run);
          --d->eobRun;
          break;
        }
        k += 16;
      } else {
        k += run;
        const int slot = ZigzagSlot(k++);
        data[slot] = WrapMul(ReceiveExtend(d, b, s), 1 << shift);
      }
    }
  } while (k <= d->specEnd);
  return true;
}

// Positions from..to (at most 63) as bits.
std::uint64_t Band(int from, int to) {
  const std::uint64_t upTo = to >= 63 ? ~0ull : (1ull << (to + 1)) - 1;
  return upTo & (~0ull << from);
}

// The positions of the bits set in x, in order, to out (which has room for 72):
// each byte's positions from a table, stored eight at a time, without a branch
// on the bits. Returns how many.
struct PositionsInByte {
  std::uint64_t at[256];  // byte i: the i-th set bit's position (0..7)
  std::uint8_t count[256];
  constexpr PositionsInByte() : at{}, count{} {
    for (int v = 0; v < 256; ++v)
      for (int bitIndex = 0; bitIndex < 8; ++bitIndex)
        if (v >> bitIndex & 1) at[v] |= std::uint64_t(bitIndex) << (8 * count[v]++);
  }
};
constexpr PositionsInByte kPositionsInByte;

inline int ListSetBits(std::uint64_t x, std::uint8_t* out) {
  int n = 0;
  for (int byte = 0; byte < 8; ++byte, x >>= 8) {
    // positions below 8 plus 8 * byte: no byte carries into the next
    const std::uint64_t positions = kPositionsInByte.at[x & 0xFF] + 0x0808080808080808ull * byte;
    std::memcpy(out + n, &positions, 8);
    n += kPositionsInByte.count[x & 0xFF];
  }
  return n;
}

// The correction of one nonzero coefficient v by its bit `one` (0 or 1): away
// from zero by `bit` (a power of two) where v lacks it. In plain arithmetic:
// a branch on the bits, as likely set as not, would be mispredicted half the
// time, and the compiler makes one of a conditional expression.
inline short Corrected(int v, std::uint32_t one, short bit) {
  const int step = ((v & bit) ^ bit) & -static_cast<int>(one);  // bit or 0
  const int sign = v >> 31;                                       // v is nonzero
  return static_cast<short>(v + ((step ^ sign) - sign));
}

// The bits set in x (no popcount instruction in the baseline instruction set,
// and the library call costs more than this).
inline int CountSetBits(std::uint64_t x) {
  x = x - ((x >> 1) & 0x5555555555555555ull);
  x = (x & 0x3333333333333333ull) + ((x >> 2) & 0x3333333333333333ull);
  return static_cast<int>((((x + (x >> 4)) & 0x0F0F0F0F0F0F0F0Full) * 0x0101010101010101ull) >> 56);
}

// n correction bits (at most 63), the first read highest. The library takes
// them one at a time, refilling whenever none is held; here they are taken as
// many at once as are held, refilling at the same points, so the reader's
// state after them is the library's.
inline std::uint64_t TakeCorrectionBits(Decoder* d, Bits& b, int n) {
  std::uint64_t taken = 0;
  while (n > 0) {
    if (b.count < 1) Grow(d, b);
    if (b.count < 1) {
      b.count -= n;  // past a marker: zeros
      return taken << n;
    }
    const int now = n < b.count ? n : b.count;
    taken = taken << now | b.buffer >> (32 - now);
    b.buffer = now == 32 ? 0 : b.buffer << now;
    b.count -= now;
    n -= now;
  }
  return taken;
}

// Gives each nonzero coefficient among `which` its bit of `corrections` (as
// many bits as `which` has, the lowest coefficient's highest).
inline void ApplyCorrections(short* data, std::uint64_t which, std::uint64_t corrections,
                             short bit) {
  for (int left = CountSetBits(which); which; which &= which - 1) {
    short* p = &data[__builtin_ctzll(which)];
    *p = Corrected(*p, static_cast<std::uint32_t>(corrections >> --left) & 1, bit);
  }
}

// A refinement scan's next code: the zeros to skip (*run, 64 for the rest of
// the band) and the new coefficient's value (*s: +-bit, or 0).
[[gnu::always_inline]] inline bool ReadRefinementCode(Decoder* d, Bits& b, const HuffmanTable& hac,
                                                      const std::int16_t* fac, short bit, int* run,
                                                      int* s) {
  if (b.count < 16) Grow(d, b);
  // A new coefficient's code and its sign bit in one look-up: the AC table of
  // a first scan holds them as a code with one magnitude bit, whose value is
  // the sign's (1: +1). Taken only where both are held, so that the library,
  // reading the bit on its own, would not have refilled for it.
  const int fast = PeekFastAc(b, fac);
  const int one = fast >> 8, used = fast & 15;
  if ((one == 1 || one == -1) && used <= b.count) {
    SkipBits(b, used);
    *run = (fast >> 4) & 15;
    *s = one * bit;
    return true;
  }
  const int rs = DecodeHeldSymbol(b, hac);
  if (rs < 0) return Fail(d, "Corrupt JPEG");
  *run = rs >> 4;
  if ((rs & 15) == 0) {
    *s = 0;
    if (*run < 15) {
      d->eobRun = (1 << *run) - 1;
      if (*run) d->eobRun += GetBits(d, b, *run);
      *run = 64;  // the rest of the band only gets correction bits
    }
    // run 15: sixteen zeros, the last "written" as the 0 that s is
    return true;
  }
  if ((rs & 15) != 1) return Fail(d, "Corrupt JPEG");
  *s = GetBit(d, b) ? bit : -bit;
  return true;
}

// A refinement scan's block. The coefficients are in zigzag order, so the band
// is a run of bits: the zeros a run skips and the nonzero coefficients passed on
// the way are found in a mask. The correction bits of those passed are read
// where the library reads them, between the codes, and applied once the block
// is read: they only touch coefficients that were nonzero before it, which no
// code of the block writes.
bool DecodeProgressiveAcRefine(Decoder* d, Bits& b, short* data, const HuffmanTable& hac,
                               const std::int16_t* fac) {
  const short bit = static_cast<short>(1 << d->succLow);
  const std::uint64_t nonzero = NonZeroMask64(data);  // bit k: coefficient k (zigzag order)
  if (d->eobRun) {
    // a block of the run: only its correction bits
    --d->eobRun;
    const std::uint64_t which = nonzero & Band(d->specStart, d->specEnd);
    ApplyCorrections(data, which, TakeCorrectionBits(d, b, CountSetBits(which)), bit);
    return true;
  }
  // The zeros a code's run counts never change in the block: a new coefficient
  // takes one, and the walk goes on past it. Listed once, the zero a run ends
  // on is one look-up away, off the reader's chain of dependent steps.
  std::uint8_t zeroAt[72];
  const int zeros = ListSetBits(~nonzero & Band(d->specStart, d->specEnd), zeroAt);
  int zerosPassed = 0;
  std::uint64_t passed = 0;       // the nonzero coefficients passed so far
  std::uint64_t corrections = 0;  // their bits, the first read highest
  int k = d->specStart;
  do {
    int run = 0, s = 0;
    if (!ReadRefinementCode(d, b, hac, fac, bit, &run, &s)) return false;
    // Skip `run` zeros; the next zero takes s.
    const std::uint64_t band = Band(k, d->specEnd);
    const int index = zerosPassed + run;
    std::uint64_t now;
    int count;
    if (index >= zeros) {
      now = nonzero & band;
      count = CountSetBits(now);
      k = d->specEnd + 1;
    } else {
      const int target = zeroAt[index];
      now = nonzero & band & ((1ull << target) - 1);
      count = target - k - run;  // k..target-1 hold `run` zeros
      data[target] = static_cast<short>(s);
      k = target + 1;
      zerosPassed = index + 1;
    }
    corrections = corrections << count | TakeCorrectionBits(d, b, count);
    passed |= now;
  } while (k <= d->specEnd);
  ApplyCorrections(data, passed, corrections, bit);
  return true;
}

}  // namespace

// A block's DC coefficient is kept apart from its AC ones, so that the first
// scan (the DC scan) does not make every page of the coefficients resident while
// the whole input is still held: an AC page is first written by a later scan.
bool DecodeProgressiveDc(Decoder* d, Bits& b, Component* c, std::size_t block) {
  if (d->specEnd != 0) return Fail(d, "Corrupt JPEG");
  if (b.count < 16) Grow(d, b);
  short* dcCoefficient = c->dcCoeff + block;
  if (d->succHigh == 0) {
    ClearCoefficients(c, block);  // the first DC scan clears the block
    const int t = DecodeSymbol(d, b, d->dc[c->hd]);
    if (t < 0 || t > 15) return Fail(d, "Corrupt JPEG");
    const int diff = t ? ReceiveExtend(d, b, t) : 0;
    const int dc = WrapAdd(c->dcPred, diff);
    c->dcPred = dc;
    *dcCoefficient = WrapMul(dc, 1 << d->succLow);
  } else if (GetBit(d, b)) {
    *dcCoefficient = static_cast<short>(*dcCoefficient + (1 << d->succLow));
  }
  return true;
}

bool DecodeProgressiveBlock(Decoder* d, Bits& state, Component* c, int bx, int by) {
  const std::size_t block = BlockIndex(*c, bx, by);
  if (d->specStart == 0) return DecodeProgressiveDc(d, state, c, block);
  if (d->succHigh == 0 && d->eobRun) {
    --d->eobRun;  // a block of the run: nothing to read or write
    return true;
  }
  alignas(16) short data[64];
  LoadCoefficients(*c, block, data);
  Bits b;  // a local copy stays in registers through the block
  CopyBits(b, state);
  const bool ok = d->succHigh == 0
                      ? DecodeProgressiveAcFirst(d, b, data, d->ac[c->ha], d->fastAc[c->ha])
                      : DecodeProgressiveAcRefine(d, b, data, d->ac[c->ha], d->fastAc[c->ha]);
  CopyBits(state, b);
  return ok && (StoreCoefficients(c, block, data) || Fail(d, "Out of memory"));
}

}  // namespace jpeg
