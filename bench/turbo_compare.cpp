// The program's JPEG work against libjpeg-turbo's TurboJPEG API, in one process,
// on the same files in memory; each figure is the fastest of RUNS interleaved
// runs, in CPU seconds:
//  - decode: our decoder a row at a time into one buffer kept between runs, and
//    tjDecompress2 to RGB into one kept buffer, as tjbench does;
//  - encode: our writer and tjCompress2 on the same pixels (the library's
//    decode) at quality 80 (4:2:0 both) and 95 (4:4:4 both: our writer, as the
//    library's, subsamples only up to quality 90);
//  - job: a JPEG that stays a JPEG at quality 80, as the program makes it (rows
//    from our decoder straight into our writer, whose bytes go on a piece at a
//    time, here into one buffer kept between runs as the program's go into its
//    output file), against tjDecompress2 and then tjCompress2 at quality 80,
//    4:2:0 into its buffer kept between runs.
// TurboJPEG is a peer measured here, never part of the program.
// Usage: turbo_compare RUNS IMAGE...
#include <turbojpeg.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "engine/codecs/jpeg_decoder.h"
#include "engine/encode.h"
#include "engine/image_codec.h"
#include "engine/machine.h"

namespace {

double CpuSeconds() { return static_cast<double>(std::clock()) / CLOCKS_PER_SEC; }

double Time(void (*work)(void*), void* context) {
  const double start = CpuSeconds();
  work(context);
  return CpuSeconds() - start;
}

struct Image {
  std::string name;
  std::string file;
  int width = 0, height = 0, channels = 0;
  std::vector<unsigned char> pixels;  // the library's decode
  std::vector<unsigned char> rows;    // our decode's buffer, kept between runs
  std::vector<unsigned char> turboRows;
  std::vector<unsigned char> jobOut;  // our job's output, kept between runs
  std::size_t jobOutSize = 0;
  tjhandle decompressor = nullptr, compressor = nullptr;
  unsigned char* turboOut = nullptr;  // tjCompress2's buffer, kept between runs
  unsigned long turboOutSize = 0;
  int quality = 80;
  bool failed = false;
};

const unsigned char* Bytes(const Image& m) {
  return reinterpret_cast<const unsigned char*>(m.file.data());
}

void OurDecode(void* context) {
  auto& m = *static_cast<Image*>(context);
  int w, h, c;
  const char* reason;
  JpegRows rows = StartJpegRows(Bytes(m), m.file.size(), &w, &h, &c, &reason);
  const std::size_t stride = static_cast<std::size_t>(w) * c;
  for (int y = 0; rows && y < h; ++y)
    if (!NextJpegRow(rows.get(), m.rows.data() + stride * y)) m.failed = true;
  if (!rows) m.failed = true;
}

void TurboDecode(void* context) {
  auto& m = *static_cast<Image*>(context);
  if (tjDecompress2(m.decompressor, Bytes(m), m.file.size(), m.turboRows.data(), m.width, 0,
                    m.height, TJPF_RGB, 0) != 0)
    m.failed = true;
}

void OurEncode(void* context) {
  auto& m = *static_cast<Image*>(context);
  EncodedFile out;
  if (EncodeOutputFile(true, m.pixels.data(), m.width, m.height, m.channels, m.quality, &out) !=
      EncodeStatus::Done)
    m.failed = true;
}

void TurboEncode(const Image& m, const unsigned char* pixels, Image* into) {
  const int format = m.channels == 1 ? TJPF_GRAY : TJPF_RGB;
  const int sampling = m.channels == 1 ? TJSAMP_GRAY : m.quality > 90 ? TJSAMP_444 : TJSAMP_420;
  if (tjCompress2(into->compressor, pixels, m.width, 0, m.height, format, &into->turboOut,
                  &into->turboOutSize, sampling, m.quality, 0) != 0)
    into->failed = true;
}

void TurboEncodePixels(void* context) {
  auto& m = *static_cast<Image*>(context);
  TurboEncode(m, m.pixels.data(), &m);
}

const unsigned char* NextRow(void* rows, int) {
  return NextJpegRow(static_cast<JpegRowDecode*>(rows));
}

bool TakeJobBytes(void* context, const unsigned char* data, std::size_t n) {
  auto& m = *static_cast<Image*>(context);
  if (m.jobOut.size() < m.jobOutSize + n) m.jobOut.resize(m.jobOutSize + n);
  std::memcpy(m.jobOut.data() + m.jobOutSize, data, n);
  m.jobOutSize += n;
  return true;
}

void OurJob(void* context) {
  auto& m = *static_cast<Image*>(context);
  int w, h, c;
  const char* reason;
  JpegRows rows = StartJpegRows(Bytes(m), m.file.size(), &w, &h, &c, &reason);
  EncodedFile out;
  m.jobOutSize = 0;
  const ByteSink sink{TakeJobBytes, &m};
  if (!rows || EncodeJpegFromRows(JpegRowSource{NextRow, rows.get()}, w, h, c, 80, &out, &sink) !=
                   EncodeStatus::Done)
    m.failed = true;
}

void TurboJob(void* context) {
  auto& m = *static_cast<Image*>(context);
  TurboDecode(context);
  TurboEncode(m, m.turboRows.data(), &m);
}

// The fastest of `runs` interleaved runs of each of the two.
void Fastest(int runs, Image* m, void (*ours)(void*), void (*turbo)(void*), double* best) {
  best[0] = best[1] = 1e30;
  for (int r = 0; r < runs; ++r) {
    const double a = Time(ours, m), b = Time(turbo, m);
    if (a < best[0]) best[0] = a;
    if (b < best[1]) best[1] = b;
  }
}

bool Load(const char* path, Image* m) {
  std::ifstream in(path, std::ios::binary);
  m->file.assign(std::istreambuf_iterator<char>(in), {});
  m->name = std::string(path).substr(std::string(path).find_last_of('/') + 1);
  unsigned char* pixels = stbi_load_from_memory(Bytes(*m), static_cast<int>(m->file.size()),
                                                &m->width, &m->height, &m->channels, 0);
  if (!pixels || (m->channels != 1 && m->channels != 3)) {
    stbi_image_free(pixels);
    return false;
  }
  const std::size_t size = static_cast<std::size_t>(m->width) * m->height * m->channels;
  m->pixels.assign(pixels, pixels + size);
  stbi_image_free(pixels);
  m->rows.resize(size + 1);  // our row decode may write a byte past a row
  m->turboRows.resize(static_cast<std::size_t>(m->width) * m->height * 3);
  m->decompressor = tjInitDecompress();
  m->compressor = tjInitCompress();
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: turbo_compare RUNS IMAGE...\n");
    return 2;
  }
  ReturnLargeBlocksToTheSystem();  // as the program does
  const int runs = std::atoi(argv[1]);
  enum { kDecode, kEncode80, kEncode95, kJob, kMeasures };
  const char* names[kMeasures] = {"decode", "encode q80", "encode q95", "job q80"};
  double total[kMeasures][2] = {};
  bool ok = true;
  for (int i = 2; i < argc; ++i) {
    Image m;
    if (!Load(argv[i], &m)) {
      std::printf("%s: not a JPEG the library decodes to gray or RGB\n", argv[i]);
      ok = false;
      continue;
    }
    double best[kMeasures][2];
    Fastest(runs, &m, OurDecode, TurboDecode, best[kDecode]);
    m.quality = 80;
    Fastest(runs, &m, OurEncode, TurboEncodePixels, best[kEncode80]);
    m.quality = 95;
    Fastest(runs, &m, OurEncode, TurboEncodePixels, best[kEncode95]);
    m.quality = 80;
    Fastest(runs, &m, OurJob, TurboJob, best[kJob]);
    std::printf("%-34s %5dx%-5d", m.name.c_str(), m.width, m.height);
    for (int k = 0; k < kMeasures; ++k) {
      std::printf("  %s %.4f/%.4f s", names[k], best[k][0], best[k][1]);
      total[k][0] += best[k][0];
      total[k][1] += best[k][1];
    }
    std::printf("\n");
    ok = ok && !m.failed;
    if (m.failed) std::printf("%s: a decode or an encode failed\n", m.name.c_str());
    tjFree(m.turboOut);
    tjDestroy(m.decompressor);
    tjDestroy(m.compressor);
  }
  for (int k = 0; k < kMeasures; ++k)
    std::printf("total %-10s ours %.3f s, TurboJPEG %.3f s: %.2fx its time\n", names[k],
                total[k][0], total[k][1], total[k][1] > 0 ? total[k][0] / total[k][1] : 0.0);
  return ok ? 0 : 1;
}
