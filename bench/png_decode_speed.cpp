// PNG decoding alone, side by side in one process: the library (stb_image), the
// decoder the program uses for PNG (today the same library) and libpng, on the
// same file's bytes in memory, in interleaved rounds, each run timed in CPU
// seconds; the fastest of the runs counts. libpng is asked for what the others
// give (8 bits a sample, palettes and transparency expanded, the file's own
// channel count); the program's decoder must give the library's very pixels,
// or the program says so and fails.
// Usage: png_decode_speed RUNS IMAGE...
#include <png.h>

#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "engine/image_codec.h"
#include "engine/machine.h"

namespace {

double CpuSeconds() { return static_cast<double>(std::clock()) / CLOCKS_PER_SEC; }

struct MemoryRead {
  const unsigned char* bytes;
  std::size_t size;
  std::size_t at;
};

// The photos' iCCP chunks draw a warning on every read: not what is timed.
void IgnoreWarning(png_structp, png_const_charp) {}

void ReadFromMemory(png_structp png, png_bytep out, png_size_t n) {
  auto* in = static_cast<MemoryRead*>(png_get_io_ptr(png));
  if (n > in->size - in->at) png_error(png, "read past the end");
  std::memcpy(out, in->bytes + in->at, n);
  in->at += n;
}

// libpng's whole image, 8 bits a sample; the channel count, or 0 on failure.
// The program's PNG decode of bytes in memory.
unsigned char* DecodePngImage(const unsigned char* bytes, std::size_t size, int* width,
                              int* height, int* channels, const char** reason) {
  unsigned char* pixels =
      stbi_load_from_memory(bytes, static_cast<int>(size), width, height, channels, 0);
  *reason = pixels ? nullptr : stbi_failure_reason();
  return pixels;
}

int DecodeWithLibpng(const unsigned char* bytes, std::size_t size, std::vector<unsigned char>* out) {
  png_structp png =
      png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, IgnoreWarning);
  png_infop info = png_create_info_struct(png);
  std::vector<png_bytep> rows;
  int channels = 0;
  MemoryRead in{bytes, size, 0};
  if (setjmp(png_jmpbuf(png)) == 0) {
    png_set_read_fn(png, &in, ReadFromMemory);
    png_read_info(png, info);
    png_set_expand(png);
    png_set_strip_16(png);
    png_set_interlace_handling(png);
    png_read_update_info(png, info);
    channels = png_get_channels(png, info);
    const std::size_t stride = png_get_rowbytes(png, info);
    const png_uint_32 height = png_get_image_height(png, info);
    out->resize(stride * height);
    rows.resize(height);
    for (png_uint_32 y = 0; y < height; ++y) rows[y] = out->data() + stride * y;
    png_read_image(png, rows.data());
    png_read_end(png, nullptr);
  } else {
    channels = 0;
  }
  png_destroy_read_struct(&png, &info, nullptr);
  return channels;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: png_decode_speed RUNS IMAGE...\n");
    return 2;
  }
  ReturnLargeBlocksToTheSystem();  // as the program does
  const int runs = std::atoi(argv[1]);
  double total[3] = {};
  bool allSame = true;
  for (int i = 2; i < argc; ++i) {
    const std::string input = argv[i];
    std::ifstream in(input, std::ios::binary);
    const std::string file((std::istreambuf_iterator<char>(in)), {});
    const auto* bytes = reinterpret_cast<const unsigned char*>(file.data());
    const int size = static_cast<int>(file.size());
    int w = 0, h = 0, c = 0, ow = 0, oh = 0, oc = 0;
    unsigned char* library = stbi_load_from_memory(bytes, size, &w, &h, &c, 0);
    const char* why = nullptr;
    unsigned char* ours = DecodePngImage(bytes, file.size(), &ow, &oh, &oc, &why);
    std::vector<unsigned char> peer;
    const int peerChannels = DecodeWithLibpng(bytes, file.size(), &peer);
    const bool same = library && ours && w == ow && h == oh && c == oc &&
                      std::memcmp(library, ours, static_cast<std::size_t>(w) * h * c) == 0;
    stbi_image_free(library);
    std::free(ours);
    if (!same || peerChannels != c) {
      std::printf("%s: the decoders differ (or fail)\n", input.c_str());
      allSame = false;
      continue;
    }
    double best[3] = {1e30, 1e30, 1e30};
    for (int r = 0; r < runs; ++r) {
      for (int d = 0; d < 3; ++d) {
        const double start = CpuSeconds();
        int x, y, n;
        if (d == 0) {
          stbi_image_free(stbi_load_from_memory(bytes, size, &x, &y, &n, 0));
        } else if (d == 1) {
          std::free(DecodePngImage(bytes, file.size(), &x, &y, &n, &why));
        } else {
          DecodeWithLibpng(bytes, file.size(), &peer);
        }
        const double seconds = CpuSeconds() - start;
        if (seconds < best[d]) best[d] = seconds;
      }
    }
    for (int d = 0; d < 3; ++d) total[d] += best[d];
    std::printf("%-44s %5dx%-5d x%d  library %6.3f s  ours %6.3f s  libpng %6.3f s  ours/libpng %4.2fx\n",
                input.substr(input.find_last_of('/') + 1).c_str(), w, h, c, best[0], best[1],
                best[2], best[1] / best[2]);
  }
  if (total[2] > 0)
    std::printf("PNG decode total: library %.3f s, ours %.3f s, libpng %.3f s: ours/library %.2fx, "
                "ours/libpng %.2fx\n",
                total[0], total[1], total[2], total[1] / total[0], total[1] / total[2]);
  return allSame ? 0 : 1;
}
