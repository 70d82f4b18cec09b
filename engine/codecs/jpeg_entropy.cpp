// Huffman decoding: the tables, the segment's windows, baseline blocks, and
// the walk over a scan's MCUs with its restart intervals (a progressive scan's
// blocks are jpeg_progressive.cpp's).
#include <algorithm>
#include <atomic>
#include <cstring>

#include "engine/codecs/jpeg_bits.h"
#include "engine/codecs/jpeg_fast_block.h"
#include "engine/codecs/jpeg_internal.h"

namespace jpeg {

const std::uint8_t kDezigzag[64 + kEndOfBlockRun] = {
    0,  1,  8,  16, 9,  2,  3,  10, 17, 24, 32, 25, 18, 11, 4,  5,  12, 19, 26, 33,
    40, 48, 41, 34, 27, 20, 13, 6,  7,  14, 21, 28, 35, 42, 49, 56, 57, 50, 43, 36,
    29, 22, 15, 23, 30, 37, 44, 51, 58, 59, 52, 45, 38, 31, 39, 46, 53, 60, 61, 54,
    47, 55, 62, 63,
    // A damaged stream may run past the last coefficient, by up to 15, and the
    // fast path's end of a block runs past it further: those land on it.
    63, 63, 63, 63, 63, 63, 63, 63, 63, 63, 63, 63, 63, 63, 63, 63, 63, 63, 63, 63,
    63, 63, 63, 63, 63, 63, 63, 63, 63, 63, 63, 63, 63, 63, 63, 63, 63, 63, 63, 63,
    63, 63, 63, 63, 63, 63, 63, 63, 63, 63, 63, 63, 63, 63, 63, 63, 63, 63, 63, 63,
    63, 63, 63, 63, 63, 63, 63, 63, 63, 63, 63, 63, 63, 63, 63, 63, 63, 63, 63, 63,
    63, 63, 63, 63, 63, 63, 63, 63, 63, 63, 63, 63, 63, 63, 63, 63, 63, 63, 63, 63,
    63, 63, 63, 63, 63, 63, 63, 63, 63, 63, 63, 63, 63, 63, 63, 63, 63, 63, 63, 63,
    63, 63, 63, 63, 63, 63, 63, 63};

bool BuildHuffman(Decoder* d, HuffmanTable* h, const int* counts) {
  int k = 0;
  for (int i = 0; i < 16; ++i)
    for (int j = 0; j < counts[i]; ++j) h->size[k++] = static_cast<std::uint8_t>(i + 1);
  h->size[k] = 0;
  // Canonical codes, and per length the largest code plus one, shifted to 16
  // bits so that one comparison serves every length.
  std::uint32_t code = 0;
  k = 0;
  int len = 1;
  for (; len <= 16; ++len) {
    h->delta[len] = static_cast<int>(static_cast<std::uint32_t>(k) - code);
    if (h->size[k] == len) {
      while (h->size[k] == len) h->code[k++] = static_cast<std::uint16_t>(code++);
      if (code - 1 >= (1u << len)) return Fail(d, "Corrupt JPEG");
    }
    h->maxcode[len] = code << (16 - len);
    code <<= 1;
  }
  h->maxcode[len] = 0xffffffffu;
  std::memset(h->fast, 255, sizeof h->fast);
  for (int i = 0; i < k; ++i) {
    const int s = h->size[i];
    if (s > kFastBits) continue;
    const int first = h->code[i] << (kFastBits - s);
    const int spread = 1 << (kFastBits - s);
    for (int j = 0; j < spread; ++j) h->fast[first + j] = static_cast<std::uint8_t>(i);
  }
  return true;
}

void BuildFastSymbols(HuffmanTable* h) {
  for (int i = 0; i < (1 << kFastBits); ++i) {
    const int k = h->fast[i];
    h->fastSymbol[i] = k == 255 ? kNoFastSymbol : static_cast<std::uint16_t>(h->values[k] * 16 + h->size[k]);
  }
}

namespace {

// One code and its value's bits over kWideBits bits: value * 65536 + run * 256 +
// bits used, or 0 where the bits don't hold them whole.
void BuildSingleAc(std::int32_t* single, const HuffmanTable& h) {
  std::memset(single, 0, sizeof(std::int32_t) << kWideBits);
  for (int i = 0; h.size[i] != 0; ++i) {
    const int len = h.size[i];
    const int rs = h.values[i];
    const int magbits = rs & 15;
    if (len + magbits > kWideBits) continue;
    const int first = h.code[i] << (kWideBits - len);
    if (!magbits) {
      // The library reads any of these but a run of 16 as the end of the block.
      const int run = rs == 0xf0 ? 15 : kEndOfBlockRun;
      for (int j = 0; j < 1 << (kWideBits - len); ++j) single[first + j] = run * 256 + len;
      continue;
    }
    for (int j = 0; j < 1 << (kWideBits - len); ++j) {
      int k = j >> (kWideBits - len - magbits);
      if (k < 1 << (magbits - 1)) k -= (1 << magbits) - 1;
      single[first + j] = k * 65536 + (rs >> 4) * 256 + len + magbits;
    }
  }
}

std::uint64_t WideEntry(int used, int firstUsed, int run, int secondStep, int value, int secondValue) {
  return static_cast<std::uint64_t>(used) | static_cast<std::uint64_t>(firstUsed) << 8 |
         static_cast<std::uint64_t>(run) << 16 | static_cast<std::uint64_t>(secondStep) << 24 |
         static_cast<std::uint64_t>(static_cast<std::uint16_t>(value)) << 32 |
         static_cast<std::uint64_t>(static_cast<std::uint16_t>(secondValue)) << 48;
}

}  // namespace

// Each index's first code, and a second one where the bits after the first
// hold it whole: the second's entry in the single look-up, at those bits
// shifted up, doesn't depend on the bits shifted in below them.
void BuildWideAc(std::uint64_t* wideAc, const HuffmanTable& h) {
  std::int32_t single[1 << kWideBits];
  BuildSingleAc(single, h);
  constexpr int kMask = (1 << kWideBits) - 1;
  for (int i = 0; i <= kMask; ++i) {
    const std::int32_t s = single[i];
    const int used = s & 31, run = (s >> 8) & 255, value = s >> 16;
    wideAc[i] = 0;
    if (!s) continue;
    const std::int32_t t = run == kEndOfBlockRun ? 0 : single[(i << used) & kMask];
    const int secondUsed = t & 31;
    if (t && used + secondUsed <= kWideBits)
      wideAc[i] = WideEntry(used + secondUsed, used, run, ((t >> 8) & 255) + 1, value, t >> 16);
    else
      wideAc[i] = WideEntry(used, 0, run, 0, value, value);
  }
}

// The library's look-up is the wide one's first codes that take at most
// kFastBits bits (each then stands for every wide index that starts with its
// own) and whose value fits a byte.
void BuildFastAc(std::int16_t* fastAc, const std::uint64_t* wideAc) {
  for (int i = 0; i < (1 << kFastBits); ++i) {
    const std::uint64_t w = wideAc[i << (kWideBits - kFastBits)];
    const int firstUsed = static_cast<int>((w >> 8) & 255);
    const int used = firstUsed ? firstUsed : static_cast<int>(w & 255);
    const int value = static_cast<std::int16_t>(w >> 32), run = static_cast<int>((w >> 16) & 255);
    fastAc[i] = value != 0 && used <= kFastBits && value >= -128 && value <= 127
                    ? static_cast<std::int16_t>(value * 256 + run * 16 + used)
                    : 0;
  }
}

// A baseline block's AC coefficients from zigzag position k on. *acSeen: an
// AC code other than the end of block was read (it comes in with those before k).
bool DecodeAc(Decoder* d, Bits& b, short* data, const HuffmanTable& hac, const std::int16_t* fac,
              const std::uint16_t* dequant, int k, bool* acSeen) {
  bool seen = *acSeen;
  do {
    if (b.count < 16) Grow(d, b);
    const int r = PeekFastAc(b, fac);
    if (r) {
      k += (r >> 4) & 15;
      SkipBits(b, r & 15);
      const int zig = kDezigzag[k++];
      data[zig] = WrapMul(r >> 8, dequant[zig]);
      seen = true;
    } else {
      const int rs = DecodeSymbol(d, b, hac);
      if (rs < 0) return Fail(d, "Corrupt JPEG");
      const int s = rs & 15;
      const int run = rs >> 4;
      if (s == 0) {
        if (rs != 0xf0) break;
        k += 16;
      } else {
        k += run;
        const int zig = kDezigzag[k++];
        data[zig] = WrapMul(ReceiveExtend(d, b, s), dequant[zig]);
      }
      seen = true;
    }
  } while (k < 64);
  *acSeen = seen;
  return true;
}

// One baseline block, dequantized, in natural order, on the library's steps.
// *acSeen: an AC code other than the end of block was read (else only data[0]
// can be nonzero).
bool DecodeBlock(Decoder* d, Bits& b, short* data, const HuffmanTable& hdc, const HuffmanTable& hac,
                 const std::int16_t* fac, Component* c, const std::uint16_t* dequant,
                 bool* acSeen) {
  if (b.count < 16) Grow(d, b);
  const int t = DecodeSymbol(d, b, hdc);
  if (t < 0 || t > 15) return Fail(d, "Corrupt JPEG");
  ClearBlock(data);
  const int diff = t ? ReceiveExtend(d, b, t) : 0;
  const int dc = WrapAdd(c->dcPred, diff);
  c->dcPred = dc;
  data[0] = WrapMul(dc, dequant[0]);
  *acSeen = false;
  return DecodeAc(d, b, data, hac, fac, dequant, 1, acSeen);
}

namespace {

std::atomic<bool> fastBlocks{true};

// Reads the segment's next window of entropy-coded bytes from the source, up
// to the marker that ends them (or the input's end), as the library's reader
// will meet them.
void FillWindow(Decoder* d) {
  Segment& s = d->segment;
  Source& src = d->src;
  const std::size_t size = src.size;
  std::size_t at = s.next;
  if (s.bytes.size() < kSegmentWindow + 8) s.bytes.resize(kSegmentWindow + 8);
  unsigned char* out = s.bytes.data();
  std::size_t count = 0;
  s.windowStart = at;
  s.ended = true;
  s.endsInMarker = false;
  // Nothing before the window's start is read again (SyncSourceAfterScan
  // counts from there).
  const std::size_t keep = at;
  while (at < size) {
    if (count == kSegmentWindow) {
      s.ended = false;
      break;
    }
    const std::size_t limit = std::min(size, at + (kSegmentWindow - count));
    std::size_t ff = at;  // a run of fill bytes read past is all 0xFF
    if (!src.InFill(at)) {
      const unsigned char* p = src.Hold(at, limit - at, keep);
      const void* hit = std::memchr(p, 0xFF, limit - at);
      ff = hit ? at + static_cast<std::size_t>(static_cast<const unsigned char*>(hit) - p) : limit;
      std::memcpy(out + count, p, ff - at);
      count += ff - at;
      at = ff;
      if (ff == limit) continue;
    }
    std::size_t q = ff + 1;
    if (!src.PassFill(ff, &q, keep)) {
      // A long run of fill bytes: the next window starts with it, and keeps
      // nothing before it.
      s.ended = false;
      break;
    }
    if (q == size || src.At(q, keep) == 0) {
      // A stuffed 0xFF; at the input's end the library reads a 0 there too.
      out[count++] = 0xFF;
      at = q == size ? size : q + 1;
      continue;
    }
    s.endsInMarker = true;
    s.markerCode = src.At(q, keep);
    s.afterMarker = q + 1;
    break;
  }
  std::memset(out + count, 0, 8);
  s.count = count;
  s.next = at;
}

void StartBits(Decoder* d, Bits& b) {
  b.loaded = 0;
  b.bytes = d->segment.bytes.data();
  b.available = d->segment.count;
}

void ReadSegment(Decoder* d) {
  d->segment.start = d->segment.next = d->src.at;
  FillWindow(d);
  StartBits(d, d->bits);
}

void Reset(Decoder* d) {
  d->bits.count = 0;
  d->bits.buffer = 0;
  d->bits.noMore = false;
  for (Component& c : d->comp) c.dcPred = 0;
  d->marker = kNoMarker;
  d->todo = d->restartInterval ? d->restartInterval : 0x7fffffff;
  d->eobRun = 0;
  ReadSegment(d);
}

void TransformWaitingBlock(Decoder* d);

// Baseline: decodes one block of component c and writes its samples at (bx, by).
bool BaselineBlock(Decoder* d, Bits& state, Component* c, int bx, int by) {
  short* data = d->blocks[d->blockWaits ? 1 : 0];
  bool acSeen = false;
  Bits b;  // a local copy stays in registers through the block
  CopyBits(b, state);
  const HuffmanTable& hdc = d->dc[c->hd];
  const HuffmanTable& hac = d->ac[c->ha];
  const std::int16_t* fac = d->fastAc[c->ha];
  const std::uint16_t* dequant = d->dequant[c->tq];
  bool ok;
  if (fastBlocks.load(std::memory_order_relaxed)) {
    // The fast path as far as it goes, then the library's steps from there.
    const int k = DecodeBlockFast(b, data, hdc, hac, d->wideAc[c->ha], c, dequant, &acSeen);
    ok = k == kFastBlockDone ||
         (k == 0 ? DecodeBlock(d, b, data, hdc, hac, fac, c, dequant, &acSeen)
                 : DecodeAc(d, b, data, hac, fac, dequant, k, &acSeen));
  } else {
    ok = DecodeBlock(d, b, data, hdc, hac, fac, c, dequant, &acSeen);
  }
  CopyBits(state, b);
  if (!ok) return false;
  unsigned char* out = BlockRowSamples(*c, by) + bx * 8;
  if (d->blockWaits && out == d->waitingOut) {
    // A damaged scan header can name a component twice, so an MCU writes one
    // place twice: the later block must land last, as in the library's order.
    TransformWaitingBlock(d);
    if (acSeen) InverseDct(out, c->w2, data);
    else InverseDctDcOnly(out, c->w2, data[0]);
    return true;
  }
  if (!acSeen) {
    InverseDctDcOnly(out, c->w2, data[0]);
  } else if (d->blockWaits) {
    InverseDctPair(d->waitingOut, d->waitingStride, d->blocks[0], out, c->w2, data);
    d->blockWaits = false;
  } else {
    d->waitingOut = out;
    d->waitingStride = c->w2;
    d->blockWaits = true;
  }
  return true;
}

// The block still waiting for a partner, alone, once a row of MCUs is done.
void TransformWaitingBlock(Decoder* d) {
  if (d->blockWaits) InverseDct(d->waitingOut, d->waitingStride, d->blocks[0]);
  d->blockWaits = false;
}

// After each MCU: at the end of a restart interval the next marker must be a
// restart, else the scan ends here (damaged data rather than none).
// Returns false when the scan is to stop.
bool NextMcu(Decoder* d, Bits& b) {
  if (--d->todo > 0) return true;
  if (b.count < 24) Grow(d, b);
  if (d->marker < 0xD0 || d->marker > 0xD7) return false;
  d->bits = b;
  SyncSourceAfterScan(d);
  Reset(d);
  b = d->bits;
  return true;
}

// Decodes `count` MCUs of a row with decodeMcu(bits, i), each followed by the
// restart check; *decoded: the MCUs decoded, *more: whether the scan goes on.
template <typename DecodeMcu>
bool DecodeRowOfMcus(Decoder* d, int count, int* decoded, bool* more, DecodeMcu decodeMcu) {
  Bits b = d->bits;
  *decoded = count;
  *more = true;
  for (int i = 0; i < count; ++i) {
    if (!decodeMcu(b, i)) return false;
    if (!NextMcu(d, b)) {
      *decoded = i + 1;
      *more = false;
      break;
    }
  }
  TransformWaitingBlock(d);
  d->bits = b;
  return true;
}

// Block row j of a one-component scan (its blocks cover the component's
// samples only, not whole MCUs).
bool DecodeOneComponentRow(Decoder* d, int j, int* decoded, bool* more) {
  Component* c = &d->comp[d->order[0]];
  return DecodeRowOfMcus(d, (c->x + 7) >> 3, decoded, more, [d, c, j](Bits& b, int i) {
    return d->progressive ? DecodeProgressiveBlock(d, b, c, i, j) : BaselineBlock(d, b, c, i, j);
  });
}

bool DecodeInterleavedRow(Decoder* d, int j, int* decoded, bool* more) {
  return DecodeRowOfMcus(d, d->mcuX, decoded, more, [d, j](Bits& b, int i) {
    for (int k = 0; k < d->scanCount; ++k) {
      Component* c = &d->comp[d->order[k]];
      for (int y = 0; y < c->v; ++y) {
        for (int x = 0; x < c->h; ++x) {
          const int bx = i * c->h + x;
          const int by = j * c->v + y;
          if (!(d->progressive ? DecodeProgressiveDc(d, b, c, BlockIndex(*c, bx, by))
                               : BaselineBlock(d, b, c, bx, by)))
            return false;
        }
      }
    }
    return true;
  });
}

}  // namespace

void UseFastBlocks(bool on) { fastBlocks.store(on, std::memory_order_relaxed); }

void StartScan(Decoder* d) {
  Reset(d);
  d->blockWaits = false;
}

int ScanRowCount(const Decoder& d) {
  return d.scanCount == 1 ? (d.comp[d.order[0]].y + 7) >> 3 : d.mcuY;
}

bool DecodeScanRow(Decoder* d, int j, int* decoded, bool* more) {
  return d->scanCount == 1 ? DecodeOneComponentRow(d, j, decoded, more)
                           : DecodeInterleavedRow(d, j, decoded, more);
}

bool DecodeScan(Decoder* d) {
  StartScan(d);
  const int rows = ScanRowCount(*d);
  bool more = true;
  for (int j = 0; j < rows && more; ++j) {
    int decoded = 0;
    if (!DecodeScanRow(d, j, &decoded, &more)) return false;
  }
  SyncSourceAfterScan(d);
  return true;
}

void NextWindow(Decoder* d, Bits& b) {
  FillWindow(d);
  StartBits(d, b);
  if (d->inputPassed) d->inputPassed(d->segment.windowStart);
}

void SyncSourceAfterScan(Decoder* d) {
  const Segment& s = d->segment;
  if (d->bits.noMore) {
    d->src.at = s.afterMarker;
    return;
  }
  if (s.ended && d->bits.loaded >= s.count && !s.endsInMarker) {
    d->src.at = std::max(s.start, d->src.size);
    return;
  }
  // Past `loaded` data bytes of the window in the input, stuffing and fill
  // counted again (a long run of fill read past at once).
  Source& src = d->src;
  const std::size_t keep = s.windowStart;
  std::size_t at = s.windowStart;
  for (std::size_t i = 0; i < d->bits.loaded; ++i) {
    if (src.At(at++, keep) != 0xFF) continue;
    while (at < src.size && src.At(at, keep) == 0xFF) at = src.InFill(at) ? src.FillEnd() : at + 1;
    ++at;  // the stuffed 0
  }
  d->src.at = at;
}

}  // namespace jpeg
