// The decoder's driver: the markers and scans in the library's order, the
// planes or rings they decode into, and the turn of those into pixels a row at
// a time; the entry points of engine/codecs/jpeg_decoder.h.
#include "engine/codecs/jpeg_decoder.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "engine/codecs/jpeg_internal.h"

namespace jpeg {

// Read a stretch at a time: few reads, a window of a few hundred KiB.
constexpr std::size_t kInputStretch = 256 << 10;
std::atomic<std::size_t> inputStretch{kInputStretch};

void UseInputStretch(std::size_t bytes) { inputStretch = bytes ? bytes : kInputStretch; }

const unsigned char* Source::Hold(std::size_t from, std::size_t n, std::size_t keep) {
  const std::size_t end = std::min(size, from + n);
  if (!window) return data + from;  // the whole input is at data
  if (from >= base && end - base <= held) return data + (from - base);
  InputWindow& w = *window;
  keep = std::min(keep, from);
  // A run of fill bytes read past is not held, but never needed either.
  if (keep < base && InFill(keep) && base <= fillTo) keep = base;
  if (keep < base) {
    // Never asked for by the decoder, which reads forward from what it keeps;
    // should it be, the decode goes on from there but is thrown away.
    w.broken = true;
    base = w.readTo = keep;
    held = 0;
  }
  // Let go of what is read no more; what is skipped is read past.
  const std::size_t drop = std::min(keep - base, held);
  if (drop && held > drop) std::memmove(w.bytes.get(), w.bytes.get() + drop, held - drop);
  base += drop;
  held -= drop;
  unsigned char scratch[4096];
  while (w.readTo < keep) {
    const std::size_t take = std::min(sizeof scratch, keep - w.readTo);
    const std::size_t got = w.read(w.readTo, scratch, take);
    if (got < take) w.broken = true;
    w.readTo += take;
  }
  if (held == 0) base = keep;
  const std::size_t stretch = inputStretch;
  const std::size_t readEnd = std::min(size, std::max(end, w.readTo + stretch));
  if (readEnd - base > w.capacity) {
    const std::size_t capacity = readEnd - base + stretch;
    std::unique_ptr<unsigned char[]> bytes(new unsigned char[capacity]);
    if (held) std::memcpy(bytes.get(), w.bytes.get(), held);
    w.bytes = std::move(bytes);
    w.capacity = capacity;
  }
  unsigned char* into = w.bytes.get() + held;
  const std::size_t want = readEnd - w.readTo;
  const std::size_t got = w.read(w.readTo, into, want);
  if (got < want) {
    // The reader promised size bytes: the input was cut since.
    w.broken = true;
    std::memset(into + got, 0, want - got);
  }
  w.readTo = readEnd;
  held += want;
  data = w.bytes.get();
  return data + (from - base);
}


bool Source::PassFill(std::size_t runStart, std::size_t* pos, std::size_t keep) {
  std::size_t q = *pos;
  bool readPast = false;
  while (q < size) {
    if (InFill(q)) {
      q = fillTo;
      continue;
    }
    if (q - base < held) {
      const unsigned char* p = data + (q - base);
      const unsigned char* end = data + held;
      while (p != end && *p == 0xFF) ++p;
      q = base + static_cast<std::size_t>(p - data);
      if (p != end) break;
      continue;
    }
    // Longer than a few stretches: not held (the tests' few-byte stretches
    // meet such runs often).
    if (window && q - runStart > 4 * inputStretch) {
      if (keep < runStart) {
        *pos = q;
        return false;
      }
      readPast = true;
      fillFrom = runStart;
      fillTo = keep = q;
    }
    Hold(q, 1, keep);
  }
  if (readPast) fillTo = q;
  *pos = q;
  return true;
}

namespace {

constexpr int kEoi = 0xD9, kSos = 0xDA, kDnl = 0xDC;

// Allocations of the library's size checks (a*b + add must fit an int).
template <typename T>
T* ZeroedBlock(long long a, long long b, long long unit, long long add) {
  if (!ProductFits(a, b, unit, add)) return nullptr;
  return static_cast<T*>(std::calloc(1, static_cast<std::size_t>(a * b * unit + add)));
}

// Dequantizes and transforms block row j of component n's coefficients into
// the 8 plane rows at out.
void TransformBlockRow(Decoder* d, int n, int j, unsigned char* out) {
  alignas(16) short blocks[2][64];
  Component& c = d->comp[n];
  const int w = (c.x + 7) >> 3;
  const std::uint16_t* q = d->dequant[c.tq];
  auto dequantize = [&](int i, short* block) {
    alignas(16) short data[64];
    LoadCoefficients(c, BlockIndex(c, i, j), data);
    block[0] = static_cast<short>(c.dcCoeff[BlockIndex(c, i, j)] * q[0]);
    for (int k = 1; k < 64; ++k) {
      const int at = kDezigzag[k];  // from zigzag order, as the scans kept them
      block[at] = static_cast<short>(data[k] * q[at]);
    }
  };
  int i = 0;
  for (; i + 2 <= w; i += 2) {
    dequantize(i, blocks[0]);
    dequantize(i + 1, blocks[1]);
    InverseDctPair(out + i * 8, c.w2, blocks[0], out + (i + 1) * 8, c.w2, blocks[1]);
  }
  if (i < w) {
    dequantize(i, blocks[0]);
    InverseDct(out + i * 8, c.w2, blocks[0]);
  }
}

bool AllocatePlanes(Decoder* d) {
  for (int n = 0; n < d->componentCount; ++n) {
    Component& c = d->comp[n];
    if (c.data) continue;
    c.data = ZeroedBlock<unsigned char>(c.w2, c.h2, 1, 15);
    if (!c.data) return Fail(d, "Out of memory");
  }
  return true;
}

// Where the scan whose data starts at `at` can be left: the code of the first
// marker that is no restart marker (any run of 0xFF, then a byte that is
// neither 0 nor D0..D7), or size when the data runs to the end.
std::size_t EndOfScanData(const unsigned char* p, std::size_t size, std::size_t at) {
  while (at < size) {
    const void* ff = std::memchr(p + at, 0xFF, size - at);
    if (!ff) return size;
    at = static_cast<std::size_t>(static_cast<const unsigned char*>(ff) - p) + 1;
    while (at < size && p[at] == 0xFF) ++at;
    if (at < size && p[at] != 0 && (p[at] < 0xD0 || p[at] > 0xD7)) return at;
  }
  return size;
}

// Whether the scan whose header was just read can be decoded as its rows are
// asked for: it holds every component, and nothing the decode reads after it
// can change what it decodes. A row handed out is final, so this must hold for
// every path the reading can take, which is why the walk below stands on what
// ReadToEnd does after a scan, marker by marker:
// - The scan's reading never passes a marker other than a restart marker: the
//   bit reader stops at one, and so does the look for a marker after the data.
//   So the first marker ReadToEnd can take is the one EndOfScanData finds; any
//   other first byte it meets (a stuffed 0, a restart code, a lone 0xFF before
//   a byte that is not one) fails the decode, and then nothing more is read.
// - Each segment it then reads either fails the decode or takes exactly as many
//   bytes as its length field says (a DNL four), and the next marker must follow
//   at once (any run of 0xFF, then its code): anything else fails the decode.
// - It stops at the first EOI: what follows (a second picture appended by a
//   phone) is never read. Past the input's end it reads only zeros, no marker.
// So the walk meets every marker ReadToEnd would act on, in its order, until
// ReadToEnd stops. Another scan, or a JFIF or Adobe segment (whose tags decide
// the colour transform of every row), rules the stream out. A walk that
// reaches the end of what it is given is an answer for the whole file, and for
// a head of it the best one the head can give.
// Read as it advances, the decode can't look ahead: it streams every scan that
// holds every component, and ReadToEnd says when the walk would have said no.
bool ScanCanStream(const Decoder& d) {
  if (d.scanCount != d.componentCount) return false;
  if (d.src.window) return true;
  const unsigned char* p = d.src.data;
  const std::size_t size = d.src.size;
  std::size_t at = EndOfScanData(p, size, d.src.at);
  while (at < size) {
    const int m = p[at++];
    if (m == kEoi) return true;
    if (m == kSos || m == 0xE0 || m == 0xEE) return false;
    const bool known = m == 0xC4 || m == 0xDB || m == 0xDD || m == kDnl || m == 0xFE ||
                       (m >= 0xE1 && m <= 0xEF);
    if (!known || at + 2 > size) return true;  // ReadToEnd fails here
    at += m == kDnl ? 4 : static_cast<std::size_t>((p[at] << 8) | p[at + 1]);
    if (at >= size || p[at] != 0xFF) return true;  // no marker follows: it fails
    while (at < size && p[at] == 0xFF) ++at;
  }
  return true;
}

// Rings of two of the scan's rows (MCU rows, or block rows of a one-component
// scan) for each component, and the scan begun.
bool StartStreaming(Decoder* d) {
  for (int n = 0; n < d->componentCount; ++n) {
    Component& c = d->comp[n];
    c.ringBlockRows = 2 * (d->scanCount == 1 ? 1 : c.v);
    c.ring = ZeroedBlock<unsigned char>(c.w2, 8 * c.ringBlockRows, 1, 15);
    if (!c.ring) return Fail(d, "Out of memory");
  }
  d->streaming = true;
  d->scanGoesOn = true;
  d->rowsDecoded = 0;
  StartScan(d);
  return true;
}

// Reads the markers after the frame header up to the first scan's header:
// whether that scan would be streamed. A header-only decode; nothing is kept.
bool ReachesStreamedScan(Decoder* d) {
  int m = NextMarker(d);
  while (m != kSos) {
    if (m == kEoi || m == kDnl || !ReadMarkerSegment(d, m)) return false;
    m = NextMarker(d);
  }
  return ReadScanHeader(d) && ScanCanStream(*d);
}

// After a scan that did not end in a marker: zeros after the data (some
// cameras write them), then the next 0xFF.
void LookForMarkerAfterScan(Decoder* d) {
  if (d->marker != kNoMarker) return;
  while (!d->src.AtEnd()) {
    if (d->src.Get8() == 0xFF) {
      d->marker = d->src.Get8();
      break;
    }
  }
}

// The markers and scans up to the end of the image; stops early at a scan that
// is to be streamed.
bool ReadToEnd(Decoder* d) {
  int m = NextMarker(d);
  while (m != kEoi) {
    if (d->streaming && (m == kSos || m == 0xE0 || m == 0xEE)) {
      // Only a decode that could not look ahead gets here (ScanCanStream's
      // walk rules out the rest): its rows are not the image's.
      d->wantsWholeInput = true;
      return Fail(d, "Corrupt JPEG");
    }
    if (m == kSos) {
      if (!ReadScanHeader(d)) return false;
      if (!d->progressive && !d->streaming && !d->comp[0].data) {
        if (ScanCanStream(*d)) return StartStreaming(d);
        if (!AllocatePlanes(d)) return false;
      }
      if (!DecodeScan(d)) return false;
      LookForMarkerAfterScan(d);
    } else if (m == kDnl) {
      const int length = d->src.Get16();
      const int lines = d->src.Get16();
      if (length != 4) return Fail(d, "Corrupt JPEG");
      if (lines != d->height) return Fail(d, "Corrupt JPEG");
    } else if (!ReadMarkerSegment(d, m)) {
      return false;
    }
    m = NextMarker(d);
  }
  return true;
}

bool DecodePlanes(Decoder* d) {
  d->restartInterval = 0;
  if (!ReadHeader(d)) return false;
  if (!ReadToEnd(d)) return false;
  if (d->streaming) return true;
  if (d->progressive) {
    for (int n = 0; n < d->componentCount; ++n) {
      Component& c = d->comp[n];
      c.ring = ZeroedBlock<unsigned char>(c.w2, 16, 1, 15);
      if (!c.ring) return Fail(d, "Out of memory");
    }
  }
  // A baseline image without a scan: its planes stay zero.
  if (!d->progressive && !AllocatePlanes(d)) return false;
  return true;
}

// The input, the segment's window and the coefficients the planes no longer
// need are let go once the input is read no more.
void LetInputGo(Decoder* d) {
  std::vector<unsigned char>().swap(d->segment.bytes);
  d->bits.bytes = nullptr;
  for (Component& c : d->comp) {
    if (c.ring && d->progressive) continue;
    ReleaseCoefficients(&c);
  }
  d->inputPassed = nullptr;
  if (d->inputDone) d->inputDone();
  d->inputDone = nullptr;
}

// Blanks row j's slot of each ring from its `decoded`-th MCU on: the library's
// planes start zeroed (see Decoder), and a scan that stops leaves the rest so.
void ZeroRestOfRow(Decoder* d, int j, int decoded) {
  for (int n = 0; n < d->componentCount; ++n) {
    Component& c = d->comp[n];
    const int blockRows = c.ringBlockRows / 2;
    const int from = decoded * 8 * (d->scanCount == 1 ? 1 : c.h);
    if (from >= c.w2) continue;
    for (int by = j * blockRows; by < (j + 1) * blockRows; ++by) {
      unsigned char* rows = BlockRowSamples(c, by);
      for (int r = 0; r < 8; ++r) std::memset(rows + r * c.w2 + from, 0, c.w2 - from);
    }
  }
}

// The streamed scan's next row. Once the scan stops, the rest of the input is
// read as the whole decode would read it (a failure there fails the decode).
void DecodeStreamedRow(Decoder* d) {
  const int j = d->rowsDecoded++;
  int decoded = 0;
  if (d->scanGoesOn) {
    bool more = true;
    if (!DecodeScanRow(d, j, &decoded, &more)) {
      d->scanGoesOn = false;
      return;
    }
    if (!more || j + 1 == ScanRowCount(*d)) {
      d->scanGoesOn = false;
      SyncSourceAfterScan(d);
      LookForMarkerAfterScan(d);
      if (ReadToEnd(d)) LetInputGo(d);
    }
  }
  ZeroRestOfRow(d, j, decoded);
}

void ReleasePlanes(Decoder* d) {
  for (Component& c : d->comp) {
    std::free(c.data);
    ReleaseCoefficients(&c);
    std::free(c.ring);
    c.data = nullptr;
    c.ring = nullptr;
  }
}

}  // namespace

const unsigned char* PlaneRow(Decoder& d, int k, int y) {
  Component& c = d.comp[k];
  if (!c.ring) return c.data + static_cast<std::size_t>(y) * c.w2;
  if (d.streaming) {
    const int row = (y >> 3) / (c.ringBlockRows / 2);
    while (d.rowsDecoded <= row && !d.reason) DecodeStreamedRow(&d);
    return BlockRowSamples(c, y >> 3) + static_cast<std::size_t>(y & 7) * c.w2;
  }
  const int blockRow = y >> 3, slot = blockRow & 1;
  unsigned char* rows = c.ring + static_cast<std::size_t>(slot) * 8 * c.w2;
  if (c.ringRow[slot] != blockRow) {
    TransformBlockRow(&d, k, blockRow, rows);
    c.ringRow[slot] = blockRow;
  }
  return rows + static_cast<std::size_t>(y & 7) * c.w2;
}

bool StartRows(Decoder* d, RowMaker* m) {
  for (int k = 0; k < d->componentCount; ++k) {
    m->lines[k].reset(static_cast<unsigned char*>(std::malloc(static_cast<std::size_t>(d->width) + 3)));
    if (!m->lines[k]) return Fail(d, "Out of memory");
    StartUpsampler(*d, k, &m->up[k]);
  }
  return true;
}

void MakeRow(Decoder* d, RowMaker* m, unsigned char* out) {
  const int count = d->componentCount;
  const bool isRgb = count == 3 && (d->rgbIds == 3 || (d->adobeTransform == 0 && !d->jfif));
  const unsigned char* row[4] = {};
  const int w = d->width;
  for (int k = 0; k < count; ++k) row[k] = NextUpsampledRow(*d, k, &m->up[k], m->lines[k].get());
  if (count == 1) {
    std::memcpy(out, row[0], static_cast<std::size_t>(w));
  } else if (count == 3 && isRgb) {
    InterleaveRgb(out, row[0], row[1], row[2], w);
  } else if (count == 4 && d->adobeTransform == 0) {
    CmykToRgb(out, row[0], row[1], row[2], row[3], w);
  } else if (count == 4 && d->adobeTransform == 2) {
    YcckToRgb(out, row[0], row[1], row[2], row[3], w);
  } else {
    YCbCrToRgb(out, row[0], row[1], row[2], w);
  }
}

}  // namespace jpeg

bool LooksLikeJpeg(const unsigned char* data, std::size_t size) {
  return size >= 2 && data[0] == 0xFF && data[1] == 0xD8;
}

namespace {

// Decodes everything up to the pixels: a progressive image's coefficients, a
// baseline image's planes, or up to the scan it streams. False with d->reason set.
bool DecodeToPlanes(jpeg::Decoder* d, const JpegInputUse& inputUse) {
  d->inputDone = inputUse.done;
  d->inputPassed = inputUse.passed;
  try {
    if (!jpeg::DecodePlanes(d)) return false;
  } catch (const std::bad_alloc&) {
    // the segment's window could not be had: the library's words for its own
    d->reason = "Out of memory";
    return false;
  }
  // The pixels come from the planes or coefficients alone: the input and the
  // segment's window are not needed beside them. A streamed scan still reads
  // its input.
  if (!d->streaming) jpeg::LetInputGo(d);
  return true;
}

const char* ReasonOf(const jpeg::Decoder* d) {
  return d && d->reason ? d->reason : d ? "Corrupt JPEG" : "Out of memory";
}

}  // namespace

struct JpegRowDecode {
  jpeg::Decoder decoder;
  jpeg::RowMaker maker;
  std::vector<unsigned char> row;
  jpeg::InputWindow window;
  ~JpegRowDecode() { jpeg::ReleasePlanes(&decoder); }
};

void JpegRowDecodeFree::operator()(JpegRowDecode* decode) const { delete decode; }

namespace {

JpegRows StartRowsOf(JpegRows rows, int* width, int* height, int* channels, const char** reason,
                     const JpegInputUse& inputUse) {
  jpeg::Decoder* d = rows ? &rows->decoder : nullptr;
  bool started = d && DecodeToPlanes(d, inputUse) && jpeg::StartRows(d, &rows->maker);
  if (started) {
    try {
      // one byte past the row, as past the whole image: the colour conversion
      // stores four bytes a pixel
      rows->row.resize(static_cast<std::size_t>(d->componentCount >= 3 ? 3 : 1) * d->width + 1);
    } catch (const std::bad_alloc&) {
      d->reason = "Out of memory";
      started = false;
    }
  }
  if (!started) {
    *reason = ReasonOf(d);
    return nullptr;
  }
  *width = d->width;
  *height = d->height;
  *channels = d->componentCount >= 3 ? 3 : 1;
  return rows;
}

}  // namespace

JpegRows StartJpegRows(const unsigned char* data, std::size_t size, int* width, int* height,
                       int* channels, const char** reason, const JpegInputUse& inputUse) {
  JpegRows rows(new (std::nothrow) JpegRowDecode());
  if (rows) {
    rows->decoder.src.data = data;
    rows->decoder.src.size = rows->decoder.src.held = size;
  }
  return StartRowsOf(std::move(rows), width, height, channels, reason, inputUse);
}

JpegRows StartJpegRowsAsRead(const JpegInputReader& read, std::size_t size, int* width,
                             int* height, int* channels, const char** reason) {
  JpegRows rows(new (std::nothrow) JpegRowDecode());
  if (rows) {
    JpegRowDecode* decode = rows.get();
    decode->window.read = read;
    decode->decoder.src.window = &decode->window;
    decode->decoder.src.size = size;
  }
  // Once the decode reads no more, its window goes.
  JpegInputUse use;
  if (rows) {
    use.done = [decode = rows.get()] {
      decode->window.bytes.reset();
      decode->window.capacity = 0;
      decode->decoder.src.held = 0;
    };
  }
  return StartRowsOf(std::move(rows), width, height, channels, reason, use);
}

bool JpegRowsWantWholeInput(const JpegRowDecode* decode) {
  return decode->decoder.wantsWholeInput || decode->window.broken;
}

const unsigned char* NextJpegRow(JpegRowDecode* decode, unsigned char* into) {
  jpeg::Decoder* d = &decode->decoder;
  if (d->reason) return nullptr;
  unsigned char* row = into ? into : decode->row.data();
  try {
    jpeg::MakeRow(d, &decode->maker, row);
  } catch (const std::bad_alloc&) {
    d->reason = "Out of memory";  // the decode's reading could not get its memory
  }
  return d->reason ? nullptr : row;
}

const char* JpegRowsFailure(const JpegRowDecode* decode) { return decode->decoder.reason; }

// The whole image is the rows a row decode hands out, made in place.
unsigned char* DecodeJpegImage(const unsigned char* data, std::size_t size, int* width,
                               int* height, int* channels, const char** reason,
                               const JpegInputUse& inputUse) {
  int w = 0, h = 0, n = 0;
  JpegRows rows = StartJpegRows(data, size, &w, &h, &n, reason, inputUse);
  if (!rows) return nullptr;
  const std::size_t rowBytes = static_cast<std::size_t>(n) * w;
  // a byte to spare past the last row, which the colour conversion may write
  unsigned char* pixels = jpeg::ProductFits(n, w, h, 1)
                              ? static_cast<unsigned char*>(std::malloc(rowBytes * h + 1))
                              : nullptr;
  if (!pixels) {
    *reason = "Out of memory";
    return nullptr;
  }
  for (int y = 0; y < h; ++y) {
    if (!NextJpegRow(rows.get(), pixels + rowBytes * y)) {
      std::free(pixels);
      *reason = JpegRowsFailure(rows.get());
      return nullptr;
    }
  }
  *width = w;
  *height = h;
  *channels = n;
  return pixels;
}

bool ReadJpegFrame(const unsigned char* data, std::size_t size, JpegFrame* frame) {
  std::unique_ptr<jpeg::Decoder> d(new (std::nothrow) jpeg::Decoder());
  if (!d) return false;
  d->src.data = data;
  d->src.size = d->src.held = size;
  d->headerOnly = true;
  try {
    if (!jpeg::ReadHeader(d.get())) return false;
  } catch (const std::bad_alloc&) {
    return false;
  }
  frame->progressive = d->progressive;
  frame->planeBytes = 0;
  for (int i = 0; i < d->componentCount; ++i)
    frame->planeBytes += std::uint64_t(d->comp[i].w2) * std::uint64_t(d->comp[i].h2);
  frame->streams = !d->progressive && jpeg::ReachesStreamedScan(d.get());
  frame->ringBytes = 0;
  for (int i = 0; frame->streams && i < d->componentCount; ++i)
    frame->ringBytes += std::uint64_t(d->comp[i].w2) * 16 * (d->scanCount == 1 ? 1 : d->comp[i].v);
  return true;
}
