#pragma once
// The decoder's shared state and the parts' entry points (engine/codecs/jpeg_*.cpp).
// Every choice here follows what the library's decoder does, byte for byte:
// where a field's meaning looks odd, it is because the library's does.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <memory>
#include <vector>

namespace jpeg {

inline constexpr int kFastBits = 9;
// The fast path's wider look-up of one or two AC codes and their magnitudes
// (Decoder::wideAc, jpeg_fast_block.h).
inline constexpr int kWideBits = 10;
inline constexpr std::uint16_t kNoFastSymbol = 0xFFFF;  // a code longer than kFastBits
inline constexpr int kNoMarker = 0xFF;  // never a marker code

/// An input read as the decoder advances (StartJpegRowsAsRead): a window of it,
/// from the first byte the decoder may still read to as far as it has read.
struct InputWindow {
  std::function<std::size_t(std::size_t at, unsigned char* out, std::size_t n)> read;
  std::unique_ptr<unsigned char[]> bytes;
  std::size_t capacity = 0;
  std::size_t readTo = 0;  // the input is read from the reader up to here, in order
  bool broken = false;     // the reader gave less than there was, or a position was asked
                           // for again: the decode is of no input, to be thrown away
};

/// How much of an input read as it advances is read at a time (0: the usual
/// stretch). The tests and fuzz targets make it a few bytes, so that the window
/// moves on all the time.
void UseInputStretch(std::size_t bytes);

/// The input as the library reads it: past the end every byte reads as 0 and
/// the position stays put; a skip may carry it past the end. Its bytes are
/// data[0, held) for positions base on: all of them, or, read as the decoder
/// advances, a window (Hold brings positions into it).
struct Source {
  const unsigned char* data = nullptr;
  std::size_t base = 0, held = 0;
  std::size_t size = 0;
  std::size_t at = 0;
  InputWindow* window = nullptr;

  /// Makes the bytes from `from` up to n of them (fewer at the input's end)
  /// held, letting go of those before `keep` (at most from), which are read
  /// no more; returns where `from`'s byte is. Reads the input in order, a
  /// stretch at a time.
  const unsigned char* Hold(std::size_t from, std::size_t n, std::size_t keep);
  /// The byte at pos (below size), bytes before keep read no more.
  unsigned char At(std::size_t pos, std::size_t keep) {
    return pos - base < held ? data[pos - base] : InFill(pos) ? 0xFF : *Hold(pos, 1, keep);
  }
  /// Moves *pos past a run of 0xFF fill bytes that started at runStart: to the
  /// first byte after it that is not 0xFF, or the input's end. A run held
  /// whole could take any amount of memory; a long one is read past and known
  /// as fill from then on (InFill), not held, once nothing before it is kept
  /// (keep == runStart). While something before it is kept, false once the run
  /// is long (*pos is then within it): the caller lets go of what it keeps
  /// first, and passes the run again from its start.
  bool PassFill(std::size_t runStart, std::size_t* pos, std::size_t keep);
  /// Whether pos lies in the last long run of fill bytes read past.
  bool InFill(std::size_t pos) const { return pos - fillFrom < fillTo - fillFrom; }
  std::size_t FillEnd() const { return fillTo; }

  std::size_t fillFrom = 0, fillTo = 0;  // that run, none when equal
  int Get8() {
    if (at >= size) return 0;
    const unsigned char byte = At(at, at);
    ++at;
    return byte;
  }
  int Get16() {
    const int high = Get8();
    return (high << 8) + Get8();
  }
  bool AtEnd() const { return at >= size; }
  void Skip(int n) {
    if (n > 0) at += static_cast<std::size_t>(n);
  }
};

/// A Huffman table in the library's layout: the 9-bit look-up gives a symbol's
/// index (255: longer code), the rest is searched by code length.
struct HuffmanTable {
  std::uint8_t fast[1 << kFastBits];
  // fast[] with its code's value and size in one entry: value * 16 + size, or
  // kNoFastSymbol. Zeroed, as a table never defined is: value 0 of size 0, as
  // the zeroed fast[], size[] and values[] give.
  std::uint16_t fastSymbol[1 << kFastBits];
  std::uint16_t code[256];
  std::uint8_t values[256];
  std::uint8_t size[257];
  std::uint32_t maxcode[18];
  int delta[17];
};

struct Component {
  int id = 0, h = 0, v = 0, tq = 0, hd = 0, ha = 0;
  int dcPred = 0;
  int x = 0, y = 0;    // samples the component has
  int w2 = 0, h2 = 0;  // its plane, whole MCUs
  unsigned char* data = nullptr;  // w2 x h2, zeroed
  // Progressive: the coefficients of coeffW x coeffH blocks, 64 a block in
  // zigzag order (jpeg_coefficients.cpp): their low bytes, and for a block
  // that needs them its high bytes (highOf: slot + 1 in highChunks, 0: none);
  // the DC coefficients apart (each block's first stays 0).
  signed char* low = nullptr;
  std::uint32_t* highOf = nullptr;
  std::vector<unsigned char*> highChunks;
  std::uint32_t highCount = 0;
  short* dcCoeff = nullptr;
  int coeffW = 0, coeffH = 0;
  // Rows on demand: the plane's rows are held in a ring of block rows. A
  // progressive image's holds two block rows, each made from the coefficients
  // (ringRow: the block row a slot holds, -1: none yet); a baseline image's
  // holds two of the scan's MCU rows (ringBlockRows: 2 v), decoded in turn.
  unsigned char* ring = nullptr;
  int ringBlockRows = 0;
  int ringRow[2] = {-1, -1};
};

/// Where block row by of component c's samples is held: its plane, or its ring.
inline unsigned char* BlockRowSamples(const Component& c, int by) {
  const int n = c.ringBlockRows;  // 2, 4 or 8 but for a vertical factor of 3
  const int row = !c.ring ? by : (n & (n - 1)) == 0 ? by & (n - 1) : by % n;
  return (c.ring ? c.ring : c.data) + static_cast<std::size_t>(c.w2) * 8 * row;
}

/// The index of a progressive component's block (bx, by).
inline std::size_t BlockIndex(const Component& c, int bx, int by) {
  return static_cast<std::size_t>(by) * c.coeffW + bx;
}

// jpeg_coefficients.cpp
/// A zeroed store for component c's coeffW x coeffH blocks; false when memory runs out.
bool AllocateCoefficients(Component* c);
void ReleaseCoefficients(Component* c);
/// A block's 64 coefficients (zigzag order; the first is kept apart, in dcCoeff).
void LoadCoefficients(const Component& c, std::size_t block, short* out);
/// Stores them back; false when memory runs out.
bool StoreCoefficients(Component* c, std::size_t block, const short* in);
/// Sets them all to 0, touching the block only when one is not.
void ClearCoefficients(Component* c, std::size_t block);

/// The entropy-coded bytes of one restart interval (or scan), read ahead a
/// window at a time: the data bytes with stuffing and fill taken out, then what
/// ends them. Only a window is held beside the input, whose bytes before it are
/// not read again (and may be let go: Decoder::inputPassed).
inline constexpr std::size_t kSegmentWindow = 4096;
struct Segment {
  std::vector<unsigned char> bytes;  // the window's data, then zeros for fast loads
  std::size_t count = 0;             // data bytes in the window
  std::size_t start = 0;             // source position of the segment's first
  std::size_t windowStart = 0;       // source position of the window's first
  std::size_t next = 0;              // source position the next window reads from
  bool ended = false;                // the window holds the segment's last data byte
  bool endsInMarker = false;         // false: the input ends first
  int markerCode = 0;
  std::size_t afterMarker = 0;       // source position after the marker's code
};

/// The library's bit reader, exactly: its state decides where a damaged stream
/// fails and where the next marker is looked for. Copied into a local for a
/// scan's hot loops, so that it lives in registers.
struct Bits {
  std::uint32_t buffer = 0;
  int count = 0;  // bits held (negative after a marker: bits taken on credit)
  bool noMore = false;  // a marker was met: only zeros from here
  std::size_t loaded = 0;  // data bytes of the segment's window taken into the buffer
  const unsigned char* bytes = nullptr;  // the segment's data
  std::size_t available = 0;
};

/// Made zeroed (value-initialized). The library takes its state and planes
/// from malloc, which gives zeros in a fresh process; the program's copy of the
/// library, which the tests and fuzz targets compare with, allocates zeroed
/// memory always (engine/codecs/stb_library.cpp). So a table a file never
/// defines decodes as the library's zeroed one does.
struct Decoder {
  Source src;
  bool headerOnly = false;  // the frame's layout is all that is wanted: no planes
  // A baseline image whose first scan holds every component, and after which no
  // other scan can follow, is decoded an MCU row at a time as its rows are
  // asked for: only two MCU rows of each plane are held.
  bool streaming = false;
  bool scanGoesOn = false;  // the streamed scan has MCU rows left to decode
  int rowsDecoded = 0;      // its MCU rows decoded (or left zero) so far
  std::function<void()> inputDone;  // called once the input is read no more
  // Called with a position before which the input is read no more.
  std::function<void(std::size_t)> inputPassed;
  HuffmanTable dc[4];
  HuffmanTable ac[4];
  std::uint16_t dequant[4][64];
  std::int16_t fastAc[4][1 << kFastBits];
  // The fast path's look-up over kWideBits bits: the one or two codes they
  // begin with whose bits (code and value) they hold whole, or 0 where there
  // is none. A run of 16 zeros is a run of 15 and a zero, the end of a block a
  // run of kEndOfBlockRun. The fields, from the low byte up:
  //  - the bits used by all it holds;
  //  - the bits of the first code and its value where a second follows, else 0;
  //  - the first code's run;
  //  - for a second code, its run plus one, else 0 (the second store then
  //    repeats the first);
  //  - the first code's value, 16 bits;
  //  - the second code's value, or the first's again, 16 bits.
  // The end of a block is never followed by a second code: the bits after it
  // are the next block's.
  std::uint64_t wideAc[4][1 << kWideBits];
  // Baseline blocks go through the inverse DCT two at a time (InverseDctPair):
  // a decoded block waits in blocks[0] for the next one of its row of MCUs.
  bool blockWaits = false;
  alignas(16) short blocks[2][64];
  unsigned char* waitingOut = nullptr;
  int waitingStride = 0;

  int width = 0, height = 0, componentCount = 0;
  int hMax = 1, vMax = 1, mcuX = 0, mcuY = 0;
  Component comp[4];

  Bits bits;
  int marker = kNoMarker;
  Segment segment;

  bool progressive = false;
  int specStart = 0, specEnd = 0, succHigh = 0, succLow = 0;
  int eobRun = 0;
  bool jfif = false;
  int adobeTransform = -1;
  int rgbIds = 0;
  int scanCount = 0, order[4] = {};
  int restartInterval = 0, todo = 0;

  const char* reason = nullptr;
  // Read as it advances, the decode streamed a scan that turned out not to be
  // the image's last word: it is to be made again from the whole input.
  bool wantsWholeInput = false;
};

/// Sets the reason and gives false, as the library's error helper does.
inline bool Fail(Decoder* d, const char* why) {
  d->reason = why;
  return false;
}

// The fast path's look-up (Decoder::wideAc) ends a block by a run this long.
inline constexpr int kEndOfBlockRun = 128;
extern const std::uint8_t kDezigzag[64 + kEndOfBlockRun];

// jpeg_headers.cpp
/// The library's size check: a*b*c + add fits an int (each factor below 2^26).
bool ProductFits(long long a, long long b, long long c, long long add);
/// A pending marker met by the entropy decoder, or the next one in the input:
/// any run of 0xFF, then its code. kNoMarker when no 0xFF stands there.
int NextMarker(Decoder* d);
/// The segment of marker m between scans (tables, restart interval, APPn, COM).
bool ReadMarkerSegment(Decoder* d, int m);
bool ReadScanHeader(Decoder* d);
/// SOI, the segments before the frame, and the frame header.
bool ReadHeader(Decoder* d);

// jpeg_entropy.cpp
/// Builds table h from the 16 code-length counts (their sum at most 256).
bool BuildHuffman(Decoder* d, HuffmanTable* h, const int* counts);
/// The fast path's look-up of AC codes and their values' bits over kWideBits
/// bits (Decoder::wideAc).
void BuildWideAc(std::uint64_t* wideAc, const HuffmanTable& h);
/// The library's 9-bit look-up, taken from the wide one's first codes: for
/// each look-ahead that holds a whole code and its value's bits, value * 256 +
/// run * 16 + bits used, or 0.
void BuildFastAc(std::int16_t* fastAc, const std::uint64_t* wideAc);
/// fastSymbol from fast, size and values, once the values are read.
void BuildFastSymbols(HuffmanTable* h);
/// Decodes the entropy-coded data of the scan whose header was just read.
bool DecodeScan(Decoder* d);
/// The same in steps: StartScan, then DecodeScanRow for each row in turn
/// (ScanRowCount: MCU rows, or block rows of a one-component scan) until one
/// says the scan stops, then SyncSourceAfterScan. *decoded: the row's MCUs
/// decoded; *more: whether the scan goes on after them.
void StartScan(Decoder* d);
int ScanRowCount(const Decoder& d);
bool DecodeScanRow(Decoder* d, int j, int* decoded, bool* more);
/// Where the library's reader stands in the input after a scan.
void SyncSourceAfterScan(Decoder* d);
/// Takes the segment's next window into the bit reader b.
void NextWindow(Decoder* d, Bits& b);
/// One baseline block, dequantized, in natural order, on the library's steps.
/// *acSeen: an AC code other than the end of block was read (else only data[0]
/// can be nonzero).
bool DecodeBlock(Decoder* d, Bits& b, short* data, const HuffmanTable& hdc, const HuffmanTable& hac,
                 const std::int16_t* fac, Component* c, const std::uint16_t* dequant, bool* acSeen);
/// A baseline block's AC coefficients from zigzag position k on, the same way
/// (*acSeen comes in with those before k).
bool DecodeAc(Decoder* d, Bits& b, short* data, const HuffmanTable& hac, const std::int16_t* fac,
              const std::uint16_t* dequant, int k, bool* acSeen);
/// Whether later decodes (in any thread) take baseline blocks away from a
/// window's end on the fast path (jpeg_fast_block.h), as by default, or all on
/// the library's own steps: the tests and fuzz targets hold both to the library.
void UseFastBlocks(bool on);

// jpeg_progressive.cpp
/// A DC scan's block of c (coefficient block `block`).
bool DecodeProgressiveDc(Decoder* d, Bits& b, Component* c, std::size_t block);
/// An AC scan's block (bx, by) of c, first or refining, read with state.
bool DecodeProgressiveBlock(Decoder* d, Bits& state, Component* c, int bx, int by);

// jpeg_idct.cpp
/// Inverse DCT of one block of dequantized coefficients into 8x8 samples, with
/// the arithmetic (16-bit lanes, saturation) of the library's SSE2 kernel.
void InverseDct(unsigned char* out, int stride, const short* coeff);
/// The same computed lane by lane in plain code: what non-x86 builds run, and
/// what the tests hold the SSE2 code to.
void InverseDctModel(unsigned char* out, int stride, const short* coeff);
/// The same for a block whose only nonzero coefficient is the first.
void InverseDctDcOnly(unsigned char* out, int stride, int dc);
/// InverseDct of two blocks: at once in AVX2 where the JPEG kernels chosen are
/// AVX2's, else one after the other.
void InverseDctPair(unsigned char* outA, int strideA, const short* a, unsigned char* outB,
                    int strideB, const short* b);
/// jpeg_idct_avx2.cpp: two blocks at once; null where the build has no AVX2 code.
extern void (*const kInverseDctPairAvx2)(unsigned char* outA, int strideA, const short* a,
                                         unsigned char* outB, int strideB, const short* b);

// jpeg_upsample.cpp
/// One component's walk down its plane, widening each row to the image's width.
struct Upsampler {
  int hs = 1, vs = 1;
  int wLores = 0;
  int ystep = 0, ypos = 0;
  int row0 = 0, row1 = 0;  // the plane rows around the next output row
};
void StartUpsampler(const Decoder& d, int k, Upsampler* u);
/// Gives the next output row of component k (in linebuf or in its plane).
const unsigned char* NextUpsampledRow(Decoder& d, int k, Upsampler* u, unsigned char* linebuf);
/// jpeg_upsample_avx2.cpp: the 2x horizontal and 2x2 filters' middle samples
/// from the i given on, 16 at a time; they return the first sample left to do.
/// Null where the build has no AVX2 code.
extern int (*const kHorizontal2Avx2)(unsigned char* out, const unsigned char* in, int w, int i);
extern int (*const kBoth2Avx2)(unsigned char* out, const unsigned char* near, const unsigned char* far,
                               int w, int i);

// jpeg_decoder.cpp
/// Turns the planes into output rows, one at a time.
struct RowMaker {
  Upsampler up[4];
  std::unique_ptr<unsigned char, decltype(&std::free)> lines[4] = {
      {nullptr, std::free}, {nullptr, std::free}, {nullptr, std::free}, {nullptr, std::free}};
};
bool StartRows(Decoder* d, RowMaker* m);
/// The next row into out (width x 1 or 3 bytes).
void MakeRow(Decoder* d, RowMaker* m, unsigned char* out);

/// Row y of component k's plane: of a streamed scan, decoded as far as needed;
/// of a progressive image, its block row made from the coefficients when first
/// asked for.
const unsigned char* PlaneRow(Decoder& d, int k, int y);

// jpeg_color.cpp
/// Rows of Y, Cb, Cr to RGB (AVX2 where the JPEG kernels chosen are AVX2's,
/// else SSE2 where there is SSE2: all give the same bytes).
/// May write one byte past the row: out must have room for 3 * count + 1.
void YCbCrToRgb(unsigned char* out, const unsigned char* y, const unsigned char* cb,
                const unsigned char* cr, int count);
/// jpeg_color_avx2.cpp: the first pixels of such a row, 16 at a time, writing
/// nothing past them; returns how many. Null where the build has no AVX2 code.
extern int (*const kYCbCrToRgbAvx2)(unsigned char* out, const unsigned char* y,
                                    const unsigned char* cb, const unsigned char* cr, int count);
void CmykToRgb(unsigned char* out, const unsigned char* c, const unsigned char* m,
               const unsigned char* y, const unsigned char* k, int count);
void YcckToRgb(unsigned char* out, const unsigned char* y, const unsigned char* cb,
               const unsigned char* cr, const unsigned char* k, int count);
void InterleaveRgb(unsigned char* out, const unsigned char* r, const unsigned char* g,
                   const unsigned char* b, int count);

}  // namespace jpeg
