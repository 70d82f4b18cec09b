#include "engine/codecs/jpeg_writer.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <memory>

#include "engine/codecs/jpeg_kernels.h"
#include "engine/codecs/jpeg_writer_entropy.h"
#include "engine/codecs/jpeg_writer_tables.h"

namespace {

using jpeg_writer::BitWriter;
using jpeg_writer::HuffmanTables;
using jpeg_writer::kMaxBlockBytes;
using jpeg_writer::Quantisation;

// One row of MCUs (8 or 16 pixel rows) on its way to the stream, a chunk of
// 64 pixels across at a time: converted, transformed and coded while its floats
// and coefficients are still in the first-level cache. Rows and columns past
// the image repeat the last ones, as the reference pads its blocks.
constexpr std::size_t kChunkWidth = 64;  // 4 MCUs of 16 pixels or 8 of 8

struct Strip {
  int mcuSize = 8;                 // 16 when the colour is subsampled
  std::size_t mcus = 0;            // across the image
  std::size_t chunkMcus = 0;       // in a whole chunk
  const unsigned char* lines[16];  // the strip's image rows
  unsigned char* copies;           // the rows of a source that doesn't keep them, else null
  float *y, *u, *v;                // mcuSize rows of kChunkWidth
  float *subU, *subV;              // 8 rows of kChunkWidth / 2 (subsampled colour only)
  std::int16_t* coefficients;      // per MCU of the chunk: its Y blocks, then U, then V
  std::unique_ptr<void, FreeDeleter> memory;
};

bool MakeStrip(int width, int components, bool subsample, bool keepsRows, Strip* s) {
  s->mcuSize = subsample ? 16 : 8;
  s->mcus = (static_cast<std::size_t>(width) + s->mcuSize - 1) / s->mcuSize;
  s->chunkMcus = kChunkWidth / s->mcuSize;
  const std::size_t plane = kChunkWidth * s->mcuSize;
  const std::size_t floats = 3 * plane + (subsample ? kChunkWidth * 8 : 0);
  const std::size_t blocks = s->chunkMcus * (subsample ? 6 : 3);
  const std::size_t rowBytes = static_cast<std::size_t>(width) * static_cast<std::size_t>(components);
  const std::size_t copies = keepsRows ? 0 : s->mcuSize * rowBytes;
  s->memory.reset(std::malloc(floats * sizeof(float) + blocks * 64 * sizeof(std::int16_t) + copies));
  if (!s->memory) return false;
  float* f = static_cast<float*>(s->memory.get());
  s->y = f, s->u = f + plane, s->v = f + 2 * plane, f += 3 * plane;
  s->subU = f, s->subV = f + (subsample ? kChunkWidth * 4 : 0), f += subsample ? kChunkWidth * 8 : 0;
  s->coefficients = reinterpret_cast<std::int16_t*>(f);
  s->copies = keepsRows ? nullptr : reinterpret_cast<unsigned char*>(s->coefficients + blocks * 64);
  return true;
}

// The strip's rows from the image rows at y0 on (the last row repeated below
// the image), copied when the source gives each only until the next. False
// when the source has no row to give.
bool GatherRows(const JpegRowSource& rows, std::size_t rowBytes, int height, int y0, Strip& s) {
  const unsigned char* line = nullptr;
  for (int row = 0; row < s.mcuSize; ++row) {
    if (y0 + row < height) {
      if (!(line = rows.row(rows.user, y0 + row))) return false;
      if (s.copies)
        line = static_cast<unsigned char*>(std::memcpy(s.copies + row * rowBytes, line, rowBytes));
    }
    s.lines[row] = line;
  }
  return true;
}

// Y, U and V of the chunk starting at image column x0. From a whole image in
// memory the next chunk's pixels are asked for on the way: a strip reads 8 or
// 16 rows a few cache lines at a time, more streams than the processor follows
// on its own. Rows the strip copied itself are in the cache already.
void ConvertChunk(const JpegKernels& k, int width, int components, std::size_t x0, Strip& s) {
  constexpr std::size_t kCacheLine = 64;
  const std::size_t c = static_cast<std::size_t>(components);
  const std::size_t offset = x0 * c, rowBytes = static_cast<std::size_t>(width) * c;
  const std::size_t ahead = offset + kChunkWidth * c;
  const std::size_t aheadEnd = s.copies ? ahead : std::min(ahead + kChunkWidth * c, rowBytes);
  for (int row = 0; row < s.mcuSize; ++row) {
    for (std::size_t byte = ahead; byte < aheadEnd; byte += kCacheLine)
      __builtin_prefetch(s.lines[row] + byte);
    const std::size_t at = row * kChunkWidth;
    k.convertRow(s.lines[row] + offset, width - static_cast<int>(x0), components, kChunkWidth,
                 s.y + at, s.u + at, s.v + at);
  }
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

// The chunk's `mcus` MCUs transformed and quantised. U and V share the
// chroma factors and stride, so their blocks go through the kernels together.
void QuantiseChunk(const JpegKernels& k, Strip& s, std::size_t mcus, bool subsample,
                   const Quantisation& q) {
  const std::size_t perMcu = subsample ? 6 : 3, lumaBlocks = subsample ? 4 : 1;
  std::int16_t* const du = s.coefficients;
  if (subsample) {
    // The four luma blocks of an MCU: top left, top right, bottom left, bottom right.
    QuantisePlane(
        k, mcus * 4, kChunkWidth, q.lumaFactor,
        [&](std::size_t n) { return s.y + (n / 4) * 16 + (n & 1) * 8 + ((n >> 1) & 1) * 8 * kChunkWidth; },
        [&](std::size_t n) { return du + ((n / 4) * perMcu + (n & 3)) * 64; });
    k.subsample(s.u, kChunkWidth, s.subU);
    k.subsample(s.v, kChunkWidth, s.subV);
  } else {
    QuantisePlane(
        k, mcus, kChunkWidth, q.lumaFactor, [&](std::size_t n) { return s.y + n * 8; },
        [&](std::size_t n) { return du + n * perMcu * 64; });
  }
  const float* u = subsample ? s.subU : s.u;
  const float* v = subsample ? s.subV : s.v;
  QuantisePlane(
      k, 2 * mcus, subsample ? kChunkWidth / 2 : kChunkWidth, q.chromaFactor,
      [&](std::size_t n) { return n < mcus ? u + n * 8 : v + (n - mcus) * 8; },
      [&](std::size_t n) {
        return du + ((n < mcus ? n : n - mcus) * perMcu + lumaBlocks + (n < mcus ? 0 : 1)) * 64;
      });
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

}  // namespace

namespace {

constexpr std::size_t kSinkBytes = 256 << 10;

// keepsRows: each row the source gives stays valid for the whole write.
WriteStatus WriteRows(const JpegRowSource& rows, bool keepsRows, int width, int height,
                      int components, int quality, ByteBuffer* out, const ByteSink* sink) {
  if (width <= 0 || height <= 0 || components < 1 || components > 4) return WriteStatus::Refused;
  quality = quality ? quality : 90;
  const bool subsample = quality <= 90;
  quality = quality < 1 ? 1 : quality > 100 ? 100 : quality;
  Quantisation q;
  jpeg_writer::MakeQuantisation(quality < 50 ? 5000 / quality : 200 - quality * 2, &q);

  Strip strip;
  const std::size_t start = out->length;
  if (!MakeStrip(width, components, subsample, keepsRows, &strip) || !ReserveBytes(out, 1024))
    return WriteStatus::OutOfMemory;
  jpeg_writer::AppendHeaders(out, width, height, subsample, q);

  const HuffmanTables& t = jpeg_writer::StandardTables();
  const JpegKernels& k = ChosenKernels();
  const std::size_t lumaBlocks = subsample ? 4 : 1, perMcu = lumaBlocks + 2;
  const std::size_t rowBytes = static_cast<std::size_t>(width) * static_cast<std::size_t>(components);
  int dc[3] = {0, 0, 0};
  BitWriter bits;
  for (int y0 = 0; y0 < height; y0 += strip.mcuSize) {
    if (!GatherRows(rows, rowBytes, height, y0, strip)) {
      out->length = start;
      return WriteStatus::Refused;
    }
    if (!ReserveBytes(out, strip.mcus * perMcu * kMaxBlockBytes + 16)) {
      out->length = start;
      return WriteStatus::OutOfMemory;
    }
    bits.out = out->data + out->length;
    for (std::size_t m0 = 0; m0 < strip.mcus; m0 += strip.chunkMcus) {
      const std::size_t mcus = m0 + strip.chunkMcus < strip.mcus ? strip.chunkMcus : strip.mcus - m0;
      ConvertChunk(k, width, components, m0 * strip.mcuSize, strip);
      QuantiseChunk(k, strip, mcus, subsample, q);
      jpeg_writer::PutMcus(bits, strip.coefficients, mcus, lumaBlocks, dc, t);
    }
    out->length = static_cast<std::size_t>(bits.out - out->data);
    // Whole bytes only: the bits not yet a byte wait in the writer.
    if (sink && out->length >= kSinkBytes && sink->take(sink->user, out->data, out->length))
      out->length = 0;
  }
  bits.out = out->data + out->length;
  jpeg_writer::FinishBits(bits);
  *bits.out++ = 0xFF;
  *bits.out++ = 0xD9;
  out->length = static_cast<std::size_t>(bits.out - out->data);
  return WriteStatus::Done;
}

}  // namespace

WriteStatus WriteJpeg(const unsigned char* pixels, int width, int height, int components,
                      int quality, ByteBuffer* out) {
  if (!pixels) return WriteStatus::Refused;
  WholeImage image{pixels, static_cast<std::size_t>(width) * static_cast<std::size_t>(components)};
  return WriteRows(JpegRowSource{RowOfWholeImage, &image}, true, width, height, components, quality,
                   out, nullptr);
}

WriteStatus WriteJpegRows(const JpegRowSource& rows, int width, int height, int components,
                          int quality, ByteBuffer* out, const ByteSink* sink) {
  return WriteRows(rows, false, width, height, components, quality, out, sink);
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
