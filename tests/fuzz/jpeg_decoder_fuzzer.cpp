// libFuzzer entry: our JPEG decoder against the library's on the fuzzer's bytes
// (a JPEG: they start with FF D8, or are skipped). The first difference in size,
// channels, pixels or failure reason, whole or a row at a time, aborts the run.
// The whole decode runs on the widest kernels the processor has (AVX2 colour
// conversion and IDCT here), the rows on the SSE2 ones; ours decodes the bytes
// twice, with its fast baseline blocks and without, then once more read as it
// advances, a few bytes at a time.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "engine/codecs/jpeg_decoder.h"
#include "engine/codecs/jpeg_internal.h"
#include "engine/codecs/jpeg_writer.h"
#include "engine/image_codec.h"
#include "engine/codecs/jpeg_tables.h"

namespace {

[[noreturn]] void Differ(const char* what, const char* library, const char* ours) {
  std::fprintf(stderr, "JPEG decoders differ in %s: library %s, ours %s\n", what, library, ours);
  std::abort();
}

// Ours on the same bytes against the library's outcome (pixels, or null and why).
void CompareOurs(const std::uint8_t* data, std::size_t size, const unsigned char* library, int lw,
                 int lh, int lc, const char* libraryWhy) {
  UseJpegPath(JpegPath::Best);
  int ow = 0, oh = 0, oc = 0;
  const char* oursWhy = nullptr;
  unsigned char* ours = DecodeJpegImage(data, size, &ow, &oh, &oc, &oursWhy);

  if (!library != !ours) Differ("success", library ? "decoded" : libraryWhy, ours ? "decoded" : oursWhy);
  UseJpegPath(JpegPath::Baseline);  // for the rows, until the next input
  if (!library) {
    if (std::strcmp(libraryWhy, oursWhy) != 0) Differ("reason", libraryWhy, oursWhy);
    // Rows decoded as they are asked for fail at the start or at a row, for the same reason.
    int rw = 0, rh = 0, rc = 0;
    const char* rowsWhy = nullptr;
    JpegRows rows = StartJpegRows(data, size, &rw, &rh, &rc, &rowsWhy);
    for (int y = 0; rows && y < rh && NextJpegRow(rows.get()); ++y) {
    }
    if (rows) rowsWhy = JpegRowsFailure(rows.get());
    if (!rowsWhy || std::strcmp(libraryWhy, rowsWhy) != 0) Differ("rows' reason", libraryWhy, rowsWhy ? rowsWhy : "decoded");
    return;
  }
  if (lw != ow || lh != oh || lc != oc) Differ("size or channels", "", "");
  const std::size_t rowBytes = static_cast<std::size_t>(lw) * lc;
  if (std::memcmp(library, ours, rowBytes * lh) != 0) Differ("pixels", "", "");
  // The decode a row at a time, as a JPEG that stays a JPEG is compressed.
  int rw = 0, rh = 0, rc = 0;
  const char* rowsWhy = nullptr;
  JpegRows rows = StartJpegRows(data, size, &rw, &rh, &rc, &rowsWhy);
  if (!rows) Differ("rows", "decoded", rowsWhy);
  if (rw != lw || rh != lh || rc != lc) Differ("rows' size or channels", "", "");
  for (int y = 0; y < rh; ++y) {
    const unsigned char* row = NextJpegRow(rows.get());
    if (!row) Differ("a row", "decoded", JpegRowsFailure(rows.get()));
    if (std::memcmp(library + rowBytes * y, row, rowBytes) != 0) Differ("a row's pixels", "", "");
  }
  std::free(ours);
}

// The decode read as it advances, a few bytes at a time (the stretch varies
// with the input), each byte once and in order: the library's outcome again,
// unless it asks for the whole input (a streamed scan that something after it
// has a say over).
void CompareAsRead(const std::uint8_t* data, std::size_t size, const unsigned char* library,
                   int lw, int lh, int lc, const char* libraryWhy) {
  jpeg::UseInputStretch(1 + size % 97);
  std::size_t next = 0;
  int rw = 0, rh = 0, rc = 0;
  const char* why = nullptr;
  JpegRows rows = StartJpegRowsAsRead(
      [&](std::size_t at, unsigned char* out, std::size_t n) {
        if (at != next) Differ("the order of reading", "", "");
        n = at < size ? std::min(n, size - at) : 0;
        if (n) std::memcpy(out, data + at, n);
        next = at + n;
        return n;
      },
      size, &rw, &rh, &rc, &why);
  const std::size_t rowBytes = static_cast<std::size_t>(rw) * rc;
  for (int y = 0; rows && y < rh; ++y) {
    const unsigned char* row = NextJpegRow(rows.get());
    if (!row) break;
    if (!library || rw != lw || rh != lh || rc != lc) continue;
    if (std::memcmp(library + rowBytes * y, row, rowBytes) != 0 && !JpegRowsWantWholeInput(rows.get())) {
      // the rows so far may still be thrown away: only the end decides
      for (++y; y < rh && NextJpegRow(rows.get()); ++y) {
      }
      if (!JpegRowsWantWholeInput(rows.get())) Differ("a row read as it advances", "", "");
      break;
    }
  }
  jpeg::UseInputStretch(0);
  if (rows) why = JpegRowsFailure(rows.get());
  if (rows && JpegRowsWantWholeInput(rows.get())) return;
  if (!library != !!why) Differ("success read as it advances", library ? "decoded" : libraryWhy, why ? why : "decoded");
  if (!library && std::strcmp(libraryWhy, why) != 0) Differ("reason read as it advances", libraryWhy, why);
  if (library && (rw != lw || rh != lh || rc != lc)) Differ("size read as it advances", "", "");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (!LooksLikeJpeg(data, size) || size > (1u << 24)) return 0;
  // Tables the library overruns are refused before decoding; headers asking
  // for more pixels than this only cost time (the caller refuses most of them).
  if (!JpegHuffmanTablesFit(data, size)) return 0;
  int w = 0, h = 0, c = 0;
  if (stbi_info_from_memory(data, static_cast<int>(size), &w, &h, &c) &&
      static_cast<long long>(w) * h > (1 << 22))
    return 0;

  ClearDecoderFailure();
  UseJpegPath(JpegPath::Best);
  int lw = 0, lh = 0, lc = 0;
  unsigned char* library = stbi_load_from_memory(data, static_cast<int>(size), &lw, &lh, &lc, 0);
  const char* libraryWhy = stbi_failure_reason();
  if (!library && (!libraryWhy || std::strcmp(libraryWhy, "Not a PNG") == 0)) libraryWhy = "Corrupt JPEG";

  for (bool fast : {true, false}) {  // with our fast blocks and without
    jpeg::UseFastBlocks(fast);
    CompareOurs(data, size, library, lw, lh, lc, libraryWhy);
  }
  jpeg::UseFastBlocks(true);
  CompareAsRead(data, size, library, lw, lh, lc, libraryWhy);
  stbi_image_free(library);
  return 0;
}
