// Encoding alone, side by side: the reference writer (stb_image_write) and ours
// on the same decoded pixels, alternating, each run timed in CPU seconds; the
// fastest of the runs counts. Prints one line per image and the totals per format.
// Usage: encode_speed [--path baseline|avx2] QUALITY RUNS IMAGE...
//   --path: our JPEG writer's float kernels (default: the widest the processor has)
//        encode_speed --write-pnm FOLDER IMAGE...
//   writes the decoded pixels as FOLDER/NAME.ppm (or .pgm for grey, alpha
//   dropped), so that other encoders can be timed on the very same pixels.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "engine/encode.h"
#include "engine/image_codec.h"
#include "engine/codecs/jpeg_writer.h"
#include "tests/reference/stb_write_reference.h"

namespace {

void Discard(void*, void*, int) {}

double CpuSeconds() { return static_cast<double>(std::clock()) / CLOCKS_PER_SEC; }

template <typename Encode>
double Fastest(int runs, Encode encode) {
  double best = 1e30;
  for (int r = 0; r < runs; ++r) {
    const double start = CpuSeconds();
    encode();
    const double seconds = CpuSeconds() - start;
    if (seconds < best) best = seconds;
  }
  return best;
}

std::string BaseName(const std::string& path) { return path.substr(path.find_last_of('/') + 1); }

int WritePnm(const char* folder, int count, char** images) {
  for (int i = 0; i < count; ++i) {
    int w = 0, h = 0, c = 0;
    unsigned char* pixels = stbi_load(images[i], &w, &h, &c, 0);
    if (!pixels) continue;
    const int colours = c >= 3 ? 3 : 1;
    const std::string name = std::string(folder) + "/" + BaseName(images[i]) + (c >= 3 ? ".ppm" : ".pgm");
    std::FILE* f = std::fopen(name.c_str(), "wb");
    if (!f) return 1;
    std::fprintf(f, "P%d\n%d %d\n255\n", colours == 3 ? 6 : 5, w, h);
    for (long p = 0; p < 1L * w * h; ++p) std::fwrite(pixels + p * c, 1, colours, f);
    std::fclose(f);
    stbi_image_free(pixels);
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 3 && std::strcmp(argv[1], "--write-pnm") == 0) return WritePnm(argv[2], argc - 3, argv + 3);
  if (argc >= 3 && std::strcmp(argv[1], "--path") == 0) {
    const std::string path = argv[2];
    if (!UseJpegPath(path == "avx2" ? JpegPath::Avx2 : JpegPath::Baseline)) {
      std::fprintf(stderr, "no such path here: %s\n", argv[2]);
      return 2;
    }
    argc -= 2, argv += 2;
  }
  if (argc < 4) {
    std::fprintf(stderr, "usage: encode_speed [--path baseline|avx2] QUALITY RUNS IMAGE...\n"
                         "       encode_speed --write-pnm FOLDER IMAGE...\n");
    return 2;
  }
  const int quality = std::atoi(argv[1]), runs = std::atoi(argv[2]);
  double total[2][2] = {};  // [png][reference, ours]
  for (int i = 3; i < argc; ++i) {
    const std::string input = argv[i];
    const bool png = input.size() > 4 && input.substr(input.size() - 4) == ".png";
    int w = 0, h = 0, c = 0;
    unsigned char* pixels = stbi_load(input.c_str(), &w, &h, &c, 0);
    if (!pixels) continue;
    const double reference = Fastest(runs, [&] {
      if (png) {
        stbi_write_png_compression_level = PngLevelForQuality(quality);
        int length = 0;
        std::free(stbi_write_png_to_mem(pixels, w * c, w, h, c, &length));
      } else {
        // The alpha dropped as the program does, outside the timing's concern:
        // the reference takes 2 and 4 channels itself.
        stbi_write_jpg_to_func(Discard, nullptr, w, h, c, pixels, ClampJpegQuality(quality));
      }
    });
    const double ours = Fastest(runs, [&] {
      EncodedFile file;
      EncodeOutputFile(!png, pixels, w, h, c, quality, &file);
    });
    total[png][0] += reference, total[png][1] += ours;
    std::printf("%-40s %5dx%-5d x%d  reference %7.4f s  ours %7.4f s  %5.2fx\n",
                BaseName(input).c_str(), w, h, c, reference, ours,
                reference / ours);
    stbi_image_free(pixels);
  }
  for (int png = 0; png < 2; ++png)
    if (total[png][1] > 0)
      std::printf("%s total: reference %.3f s, ours %.3f s: %.2fx faster\n", png ? "PNG " : "JPEG",
                  total[png][0], total[png][1], total[png][0] / total[png][1]);
  return 0;
}
