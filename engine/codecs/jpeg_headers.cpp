// The markers before each scan's entropy-coded data: tables, application
// tags, restart intervals and the frame and scan headers. Its order of checks
// is the library's, so a damaged file fails at the same point with the same
// reason.
#include <climits>

#include "engine/codecs/jpeg_internal.h"

namespace jpeg {
namespace {

constexpr int kSoi = 0xD8, kDqt = 0xDB, kDht = 0xC4, kDri = 0xDD;
constexpr int kLargestSide = 1 << 24;

bool IsFrameStart(int m) { return m == 0xC0 || m == 0xC1 || m == 0xC2; }

bool ReadQuantTables(Decoder* d) {
  Source& s = d->src;
  int left = s.Get16() - 2;
  while (left > 0) {
    const int q = s.Get8();
    const int precision = q >> 4;
    const int t = q & 15;
    if (precision != 0 && precision != 1) return Fail(d, "Corrupt JPEG");
    if (t > 3) return Fail(d, "Corrupt JPEG");
    for (int i = 0; i < 64; ++i)
      d->dequant[t][kDezigzag[i]] = static_cast<std::uint16_t>(precision ? s.Get16() : s.Get8());
    left -= precision ? 129 : 65;
  }
  return left == 0 || Fail(d, "Corrupt JPEG");
}

bool ReadHuffmanTables(Decoder* d) {
  Source& s = d->src;
  int left = s.Get16() - 2;
  while (left > 0) {
    const int q = s.Get8();
    const int tc = q >> 4;
    const int th = q & 15;
    if (tc > 1 || th > 3) return Fail(d, "Corrupt JPEG");
    int counts[16];
    int n = 0;
    for (int& count : counts) {
      count = s.Get8();
      n += count;
    }
    // The library writes such a table past its arrays; the caller refuses
    // those files before decoding (engine/codecs/jpeg_tables.h).
    if (n > 256) return Fail(d, "Corrupt JPEG");
    left -= 17;
    HuffmanTable* h = tc == 0 ? &d->dc[th] : &d->ac[th];
    if (!BuildHuffman(d, h, counts)) return false;
    for (int i = 0; i < n; ++i) h->values[i] = static_cast<std::uint8_t>(s.Get8());
    BuildFastSymbols(h);
    if (tc != 0) {
      BuildWideAc(d->wideAc[th], *h);
      BuildFastAc(d->fastAc[th], d->wideAc[th]);
    }
    left -= n;
  }
  return left == 0 || Fail(d, "Corrupt JPEG");
}

// APPn and COM: only JFIF's and Adobe's tags matter.
bool ReadApplicationSegment(Decoder* d, int m) {
  Source& s = d->src;
  int left = s.Get16();
  if (left < 2) return Fail(d, "Corrupt JPEG");
  left -= 2;
  if (m == 0xE0 && left >= 5) {
    static const unsigned char kTag[5] = {'J', 'F', 'I', 'F', 0};
    bool ok = true;
    for (unsigned char t : kTag) ok = (s.Get8() == t) && ok;
    left -= 5;
    if (ok) d->jfif = true;
  } else if (m == 0xEE && left >= 12) {
    static const unsigned char kTag[6] = {'A', 'd', 'o', 'b', 'e', 0};
    bool ok = true;
    for (unsigned char t : kTag) ok = (s.Get8() == t) && ok;
    left -= 6;
    if (ok) {
      s.Get8();   // version
      s.Get16();  // flags
      s.Get16();
      d->adobeTransform = s.Get8();
      left -= 6;
    }
  }
  s.Skip(left);
  return true;
}

bool ReadFrameHeader(Decoder* d) {
  Source& s = d->src;
  const int length = s.Get16();
  if (length < 11) return Fail(d, "Corrupt JPEG");
  if (s.Get8() != 8) return Fail(d, "JPEG format not supported: 8-bit only");
  d->height = s.Get16();
  if (d->height == 0) return Fail(d, "JPEG format not supported: delayed height");
  d->width = s.Get16();
  if (d->width == 0) return Fail(d, "Corrupt JPEG");
  if (d->height > kLargestSide || d->width > kLargestSide) return Fail(d, "Very large image (corrupt?)");
  const int c = s.Get8();
  if (c != 3 && c != 1 && c != 4) return Fail(d, "Corrupt JPEG");
  d->componentCount = c;
  if (length != 8 + 3 * c) return Fail(d, "Corrupt JPEG");
  d->rgbIds = 0;
  for (int i = 0; i < c; ++i) {
    Component& comp = d->comp[i];
    comp.id = s.Get8();
    if (c == 3 && comp.id == "RGB"[i]) ++d->rgbIds;
    const int q = s.Get8();
    comp.h = q >> 4;
    if (!comp.h || comp.h > 4) return Fail(d, "Corrupt JPEG");
    comp.v = q & 15;
    if (!comp.v || comp.v > 4) return Fail(d, "Corrupt JPEG");
    comp.tq = s.Get8();
    if (comp.tq > 3) return Fail(d, "Corrupt JPEG");
  }
  if (!ProductFits(d->width, d->height, c, 0)) return Fail(d, "Image too large to decode");
  for (int i = 0; i < c; ++i) {
    if (d->comp[i].h > d->hMax) d->hMax = d->comp[i].h;
    if (d->comp[i].v > d->vMax) d->vMax = d->comp[i].v;
  }
  // Only whole ratios between the components' factors can be widened.
  for (int i = 0; i < c; ++i) {
    if (d->hMax % d->comp[i].h != 0) return Fail(d, "Corrupt JPEG");
    if (d->vMax % d->comp[i].v != 0) return Fail(d, "Corrupt JPEG");
  }
  d->mcuX = (d->width + d->hMax * 8 - 1) / (d->hMax * 8);
  d->mcuY = (d->height + d->vMax * 8 - 1) / (d->vMax * 8);
  for (int i = 0; i < c; ++i) {
    Component& comp = d->comp[i];
    comp.x = (d->width * comp.h + d->hMax - 1) / d->hMax;
    comp.y = (d->height * comp.v + d->vMax - 1) / d->vMax;
    // Planes of whole MCUs: an interleaved scan decodes its padding blocks too.
    comp.w2 = d->mcuX * comp.h * 8;
    comp.h2 = d->mcuY * comp.v * 8;
    // The library allocates each plane here, and refuses one whose size does
    // not fit an int; ours are allocated with the first scan, or never (a
    // streamed scan holds rings), but the check is the library's, made here.
    if (!ProductFits(comp.w2, comp.h2, 1, 15)) return Fail(d, "Out of memory");
    if (d->headerOnly) continue;
    if (d->progressive) {
      comp.coeffW = comp.w2 / 8;
      comp.coeffH = comp.h2 / 8;
      // the library's size check for its coefficients, which take two bytes each
      if (!ProductFits(comp.w2, comp.h2, 2, 15) || !AllocateCoefficients(&comp))
        return Fail(d, "Out of memory");
    }
  }
  return true;
}

}  // namespace

bool ProductFits(long long a, long long b, long long c, long long add) {
  return a >= 0 && b >= 0 && c >= 0 && a * b * c + add <= INT_MAX;
}

int NextMarker(Decoder* d) {
  if (d->marker != kNoMarker) {
    const int m = d->marker;
    d->marker = kNoMarker;
    return m;
  }
  int x = d->src.Get8();
  if (x != 0xFF) return kNoMarker;
  while (x == 0xFF) x = d->src.Get8();
  return x;
}

bool ReadMarkerSegment(Decoder* d, int m) {
  switch (m) {
    case kNoMarker:
      return Fail(d, "Corrupt JPEG");
    case kDri:
      if (d->src.Get16() != 4) return Fail(d, "Corrupt JPEG");
      d->restartInterval = d->src.Get16();
      return true;
    case kDqt:
      return ReadQuantTables(d);
    case kDht:
      return ReadHuffmanTables(d);
  }
  if ((m >= 0xE0 && m <= 0xEF) || m == 0xFE) return ReadApplicationSegment(d, m);
  return Fail(d, "Corrupt JPEG");
}

bool ReadScanHeader(Decoder* d) {
  Source& s = d->src;
  const int length = s.Get16();
  d->scanCount = s.Get8();
  if (d->scanCount < 1 || d->scanCount > 4 || d->scanCount > d->componentCount)
    return Fail(d, "Corrupt JPEG");
  if (length != 6 + 2 * d->scanCount) return Fail(d, "Corrupt JPEG");
  for (int i = 0; i < d->scanCount; ++i) {
    const int id = s.Get8();
    const int q = s.Get8();
    int which = 0;
    while (which < d->componentCount && d->comp[which].id != id) ++which;
    if (which == d->componentCount) return Fail(d, "Corrupt JPEG");  // no reason of its own
    Component& c = d->comp[which];
    c.hd = q >> 4;
    if (c.hd > 3) return Fail(d, "Corrupt JPEG");
    c.ha = q & 15;
    if (c.ha > 3) return Fail(d, "Corrupt JPEG");
    d->order[i] = which;
  }
  d->specStart = s.Get8();
  d->specEnd = s.Get8();
  const int a = s.Get8();
  d->succHigh = a >> 4;
  d->succLow = a & 15;
  if (d->progressive) {
    if (d->specStart > 63 || d->specEnd > 63 || d->specStart > d->specEnd || d->succHigh > 13 ||
        d->succLow > 13)
      return Fail(d, "Corrupt JPEG");
  } else {
    if (d->specStart != 0 || d->succHigh != 0 || d->succLow != 0) return Fail(d, "Corrupt JPEG");
    d->specEnd = 63;
  }
  return true;
}

bool ReadHeader(Decoder* d) {
  d->jfif = false;
  d->adobeTransform = -1;
  d->marker = kNoMarker;
  if (NextMarker(d) != kSoi) return Fail(d, "Corrupt JPEG");
  int m = NextMarker(d);
  while (!IsFrameStart(m)) {
    if (!ReadMarkerSegment(d, m)) return false;
    m = NextMarker(d);
    while (m == kNoMarker) {
      // padding after a segment: look on for the next marker
      if (d->src.AtEnd()) return Fail(d, "Corrupt JPEG");
      m = NextMarker(d);
    }
  }
  d->progressive = m == 0xC2;
  return ReadFrameHeader(d);
}

}  // namespace jpeg
