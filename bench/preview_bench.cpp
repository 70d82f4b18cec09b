// What the dialog's preview costs per slider move, through the engine's estimate
// function, side by side with the image library alone in one run.
// Usage: preview_bench IMAGE [RUNS]
// Prints the median CPU milliseconds of: the library's decode alone and its JPEG
// encode alone at quality 80 (the floor), a whole estimate without a kept image
// (read, decode and encode), the first estimate into a kept image
// (also in wall milliseconds: what the preview waits), and a quality change
// after it; and how often the kept image decoded.
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <vector>

#include "engine/estimate.h"
#include "tests/reference/stb_write_reference.h"

namespace {

double CpuMs() {
  timespec t;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
}

double WallMs() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
}

double MedianMs(int runs, const std::function<void()>& work, double (*clock)() = CpuMs) {
  std::vector<double> ms;
  for (int i = 0; i < runs; ++i) {
    const double start = clock();
    work();
    ms.push_back(clock() - start);
  }
  std::sort(ms.begin(), ms.end());
  return ms[ms.size() / 2];
}

void Count(void* context, void*, int size) { *static_cast<std::uint64_t*>(context) += size; }

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: preview_bench IMAGE [RUNS]\n");
    return 2;
  }
  const char* image = argv[1];
  const int runs = argc > 2 ? std::atoi(argv[2]) : 5;
  int w = 0, h = 0, c = 0;
  unsigned char* pixels = stbi_load(image, &w, &h, &c, 0);
  if (!pixels) return 1;
  std::printf("%s: %dx%d, %d channels, median of %d runs, CPU ms\n", image, w, h, c, runs);
  const double decode = MedianMs(runs, [&] { stbi_image_free(stbi_load(image, &w, &h, &c, 0)); });
  std::uint64_t bytes = 0;
  const double encode = MedianMs(runs, [&] {
    stbi_write_jpg_to_func(Count, &bytes, w, h, c, pixels, 80);
  });
  stbi_image_free(pixels);
  std::uint64_t size = 0;
  const double whole = MedianMs(runs, [&] { EstimateCompressedSize(image, 80, &size); });
  auto firstEstimate = [&] {
    EstimateCache fresh;
    EstimateCompressedSize(image, 80, &size, &fresh);
  };
  const double firstMs = MedianMs(runs, firstEstimate);
  const double firstWallMs = MedianMs(runs, firstEstimate, WallMs);
  EstimateCache kept;
  EstimateCompressedSize(image, 80, &size, &kept);
  int quality = 80;
  const double move = MedianMs(runs, [&] { EstimateCompressedSize(image, --quality, &size, &kept); });
  std::printf("floor: library decode %.1f, library JPEG encode at 80 %.1f\n", decode, encode);
  std::printf("estimate without a kept image (every move before): %.1f\n", whole);
  std::printf("first estimate into a kept image: %.1f (wall %.1f)\n", firstMs, firstWallMs);
  std::printf("quality change with the kept image: %.1f (decodes so far: %u)\n", move,
              kept.decodes);
  return 0;
}
