#include "engine/estimate.h"

#include <new>
#include <string>

#include "engine/encode.h"
#include "engine/extension.h"
#include "engine/utf8.h"

namespace {

// Only the length of the stream is wanted: count the chunks instead of keeping them.
void CountBytes(void* context, void*, int size) {
  *static_cast<std::uint64_t*>(context) += static_cast<std::uint64_t>(size);
}

bool EstimateChecked(const std::filesystem::path& path, int quality, std::uint64_t* size) {
  std::string utf8;
  if (!PathToUtf8(path, &utf8)) return false;
  int width = 0, height = 0, channels = 0;
  std::uint64_t fileBytes = 0;
  std::string reason;
  DecodedPixels pixels = DecodeImageFile(utf8, &width, &height, &channels, &fileBytes, &reason);
  if (!pixels) return false;
  std::uint64_t bytes = 0;
  if (ImageKindOfName(path) == ImageKind::Jpeg) {
    if (EncodeOutputJpeg(pixels.get(), width, height, channels, quality, CountBytes, &bytes) !=
        EncodeStatus::Done)
      return false;
  } else {
    std::size_t length = 0;
    if (!EncodeOutputPng(pixels.get(), width, height, channels, quality, &length)) return false;
    bytes = length;
  }
  if (bytes == 0) return false;
  *size = bytes;
  return true;
}

}  // namespace

bool EstimateCompressedSize(const std::filesystem::path& path, int quality, std::uint64_t* size) {
  try {
    return EstimateChecked(path, quality, size);
  } catch (const std::bad_alloc&) {
    return false;  // the preview says it cannot tell, and the dialog goes on
  }
}
