// The floor for the benchmark: what the image library alone costs to decode one
// file and encode it again at a quality, with nothing of ours around it.
// Usage: stb_floor QUALITY OUTPUT-FOLDER IMAGE...
#include <cstdio>
#include <cstdlib>
#include <string>

#include "engine/image_codec.h"
#include "tests/reference/stb_write_reference.h"

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: stb_floor QUALITY OUTPUT-FOLDER IMAGE...\n");
    return 2;
  }
  const int quality = std::atoi(argv[1]);
  const std::string folder = argv[2];
  int failed = 0;
  for (int i = 3; i < argc; ++i) {
    std::string input = argv[i];
    std::string name = input.substr(input.find_last_of('/') + 1);
    std::string ext = name.substr(name.find_last_of('.') + 1);
    int w = 0, h = 0, c = 0;
    unsigned char* pixels = stbi_load(input.c_str(), &w, &h, &c, 0);
    if (!pixels) {
      ++failed;
      continue;
    }
    std::string output = folder + "/" + name;
    int ok;
    if (ext == "png") {
      stbi_write_png_compression_level = 8 * quality / 100 + 1;
      ok = stbi_write_png(output.c_str(), w, h, c, pixels, w * c);
    } else {
      ok = stbi_write_jpg(output.c_str(), w, h, c, pixels, quality < 1 ? 1 : quality);
    }
    if (!ok) ++failed;
    stbi_image_free(pixels);
  }
  return failed ? 1 : 0;
}
