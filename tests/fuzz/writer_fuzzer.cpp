// libFuzzer entry: our JPEG or PNG writer (chosen when built) against the
// reference writer on pixels from the fuzzer's bytes; the first stream that
// differs by one byte aborts the run.
//
// Input layout: bytes 0-1 the width, 2-3 the height (each 1..320), byte 4 the
// channel count (1..4; its next bit picks the JPEG writer's baseline or AVX2
// kernels where there are both), byte 5 the JPEG quality (-128..127, the writer clamps)
// or the PNG level (0..12); the rest, repeated, are the pixels.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "engine/image_codec.h"
#include "engine/codecs/jpeg_writer.h"
#include "engine/codecs/png_writer.h"
#include "tests/reference/stb_write_reference.h"

namespace {

void AppendTo(void* context, void* data, int size) {
  static_cast<std::string*>(context)->append(static_cast<char*>(data), size);
}

std::string Reference(const std::vector<unsigned char>& pixels, int w, int h, int c, int setting) {
  std::string out;
  if (QUILLMAR_FUZZ_PNG) {
    stbi_write_png_compression_level = setting;
    int length = 0;
    unsigned char* png = stbi_write_png_to_mem(pixels.data(), w * c, w, h, c, &length);
    if (png) out.assign(reinterpret_cast<char*>(png), static_cast<std::size_t>(length));
    std::free(png);
  } else {
    stbi_write_jpg_to_func(AppendTo, &out, w, h, c, pixels.data(), setting);
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 6) return 0;
  const int w = 1 + (data[0] << 8 | data[1]) % 320, h = 1 + (data[2] << 8 | data[3]) % 320;
  const int c = 1 + data[4] % 4;
  const int setting = QUILLMAR_FUZZ_PNG ? data[5] % 13 : static_cast<signed char>(data[5]);
  std::vector<unsigned char> pixels(static_cast<std::size_t>(w) * h * c);
  for (std::size_t i = 0; i < pixels.size() && size > 6; ++i) pixels[i] = data[6 + i % (size - 6)];

  if (!QUILLMAR_FUZZ_PNG && !UseJpegPath(data[4] & 4 ? JpegPath::Avx2 : JpegPath::Baseline))
    UseJpegPath(JpegPath::Baseline);
  ByteBuffer ours;
  const WriteStatus status = QUILLMAR_FUZZ_PNG ? WritePng(pixels.data(), w, h, c, setting, &ours)
                                               : WriteJpeg(pixels.data(), w, h, c, setting, &ours);
  const std::string reference = Reference(pixels, w, h, c, setting);
  const std::string written(reinterpret_cast<char*>(ours.data), ours.length);
  ReleaseBytes(&ours);
  if (status != WriteStatus::Done || written != reference) {
    std::size_t at = 0;
    while (at < written.size() && at < reference.size() && written[at] == reference[at]) ++at;
    std::fprintf(stderr, "%dx%dx%d setting %d: streams differ at byte %zu (ours %zu, reference %zu)\n",
                 w, h, c, setting, at, written.size(), reference.size());
    std::abort();
  }
  return 0;
}
