// Encoding alone, side by side: the reference writer (stb_image_write) and ours
// on the same decoded pixels, alternating, each run timed in CPU seconds; the
// fastest of the runs counts. Prints one line per image and the totals per format.
// Usage: encode_speed QUALITY RUNS IMAGE...
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

#include "engine/encode.h"
#include "engine/image_codec.h"
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

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: encode_speed QUALITY RUNS IMAGE...\n");
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
    std::printf("%-40s %5dx%-5d x%d  reference %7.3f s  ours %7.3f s  %5.2fx\n",
                input.substr(input.find_last_of('/') + 1).c_str(), w, h, c, reference, ours,
                reference / ours);
    stbi_image_free(pixels);
  }
  for (int png = 0; png < 2; ++png)
    if (total[png][1] > 0)
      std::printf("%s total: reference %.3f s, ours %.3f s: %.2fx faster\n", png ? "PNG " : "JPEG",
                  total[png][0], total[png][1], total[png][0] / total[png][1]);
  return 0;
}
