// libFuzzer entry: arbitrary bytes as an image file under a .jpg/.jpeg/.png name,
// through the real compression and the size estimate, with their promises checked.
//
// Input layout: byte 0 picks the name ending, byte 1 the quality (mod 101), the
// rest is the file's content.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "engine/compress.h"
#include "engine/estimate.h"

namespace fs = std::filesystem;

namespace {

// Odd spellings too: the engine folds the case of the extension.
constexpr const char* kEndings[] = {".jpg", ".jpeg", ".png", ".JPG", ".JPEG",
                                    ".PNG", ".Jpg",  ".pNg", ".x.png", ".png.jpg"};

fs::path& WorkDirPath() {
  static fs::path dir;
  return dir;
}

// One folder per fuzzer process, removed when it exits normally (a crash
// leaves it, with the input that did it).
const fs::path& WorkDir() {
  fs::path& dir = WorkDirPath();
  if (dir.empty()) {
    std::random_device random;
    dir = fs::temp_directory_path() / ("quillmar-fuzz-" + std::to_string(random()));
    fs::create_directories(dir);
    std::atexit([] {
      std::error_code ec;
      fs::remove_all(WorkDirPath(), ec);
    });
  }
  return dir;
}

[[noreturn]] void Fail(const char* what, const fs::path& input) {
  std::fprintf(stderr, "invariant broken: %s (%s)\n", what, input.string().c_str());
  std::abort();
}

bool IsEmptyFolder(const fs::path& dir) {
  return fs::directory_iterator(dir) == fs::directory_iterator();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return -1;
  const char* ending = kEndings[data[0] % std::size(kEndings)];
  const int quality = data[1] % 101;
  const fs::path input = WorkDir() / (std::string("in") + ending);
  const fs::path outDir = WorkDir() / "out";
  {
    std::ofstream out(input, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data + 2), static_cast<std::streamsize>(size - 2));
  }
  fs::create_directories(outDir);

  CompressResult r;
  r.success = CompressImageFile(input, outDir, quality, &r);
  if (r.success != r.errorText.empty()) Fail("success must match an empty error text", input);
  if (r.success) {
    if (r.outputPath.parent_path() != outDir) Fail("output outside the output folder", input);
    std::error_code ec;
    if (fs::file_size(r.outputPath, ec) != r.outputBytes || ec)
      Fail("outputBytes differs from the file written", input);
    if (r.width <= 0 || r.height <= 0 || r.channels < 1 || r.channels > 4)
      Fail("decoded geometry out of range", input);
  } else if (!IsEmptyFolder(outDir)) {
    Fail("a failed file left something in the output folder", input);
  }

  std::uint64_t estimate = 0;
  const bool estimated = EstimateCompressedSize(input, quality, &estimate);
  if (estimated != r.success) Fail("estimate and compression disagree on success", input);
  if (estimated && estimate != r.outputBytes) Fail("estimate differs from the bytes written", input);

  fs::remove_all(outDir);
  fs::remove(input);
  return 0;
}
