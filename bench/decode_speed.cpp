// JPEG decoding alone, side by side: the library (stb_image) and our decoder on
// the same file's bytes in memory, alternating, each run timed in CPU seconds;
// the fastest of the runs counts. Each pair of results must be identical, or
// the program says so and fails. Prints one line per image and the totals.
// Usage: decode_speed RUNS IMAGE...
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iterator>
#include <string>

#include "engine/codecs/jpeg_decoder.h"
#include "engine/image_codec.h"
#include "engine/machine.h"

namespace {

double CpuSeconds() { return static_cast<double>(std::clock()) / CLOCKS_PER_SEC; }

template <typename Decode>
double Fastest(int runs, Decode decode) {
  double best = 1e30;
  for (int r = 0; r < runs; ++r) {
    const double start = CpuSeconds();
    decode();
    const double seconds = CpuSeconds() - start;
    if (seconds < best) best = seconds;
  }
  return best;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: decode_speed RUNS IMAGE...\n");
    return 2;
  }
  ReturnLargeBlocksToTheSystem();  // as the program does: planes and pixels come as zero pages
  const int runs = std::atoi(argv[1]);
  double total[2] = {};
  bool allSame = true;
  for (int i = 2; i < argc; ++i) {
    const std::string input = argv[i];
    std::ifstream in(input, std::ios::binary);
    const std::string file((std::istreambuf_iterator<char>(in)), {});
    const auto* bytes = reinterpret_cast<const unsigned char*>(file.data());
    int w = 0, h = 0, c = 0, ow = 0, oh = 0, oc = 0;
    unsigned char* library = stbi_load_from_memory(bytes, static_cast<int>(file.size()), &w, &h, &c, 0);
    const char* why = nullptr;
    unsigned char* ours = DecodeJpegImage(bytes, file.size(), &ow, &oh, &oc, &why);
    const bool same = library && ours && w == ow && h == oh && c == oc &&
                      std::memcmp(library, ours, static_cast<std::size_t>(w) * h * c) == 0;
    stbi_image_free(library);
    std::free(ours);
    if (!same) {
      std::printf("%s: the decoders differ (or fail)\n", input.c_str());
      allSame = false;
      continue;
    }
    const double reference = Fastest(runs, [&] {
      int x, y, n;
      stbi_image_free(stbi_load_from_memory(bytes, static_cast<int>(file.size()), &x, &y, &n, 0));
    });
    const double mine = Fastest(runs, [&] {
      int x, y, n;
      const char* reason;
      std::free(DecodeJpegImage(bytes, file.size(), &x, &y, &n, &reason));
    });
    total[0] += reference, total[1] += mine;
    std::printf("%-40s %5dx%-5d x%d  library %7.3f s  ours %7.3f s  %5.2fx\n",
                input.substr(input.find_last_of('/') + 1).c_str(), w, h, c, reference, mine,
                reference / mine);
  }
  if (total[1] > 0)
    std::printf("JPEG decode total: library %.3f s, ours %.3f s: %.2fx faster\n", total[0], total[1],
                total[0] / total[1]);
  return allSame ? 0 : 1;
}
