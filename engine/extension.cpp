#include "engine/extension.h"

#include <type_traits>

std::string FoldedExtension(const std::filesystem::path& path) {
  const std::filesystem::path extension = path.extension();
  std::string folded;
  for (auto unit : extension.native()) {
    auto c = static_cast<std::make_unsigned_t<decltype(unit)>>(unit);
    if (c > 0x7f) c = 0x80;
    else if (c >= 'A' && c <= 'Z') c = static_cast<decltype(c)>(c - 'A' + 'a');
    folded += static_cast<char>(c);
  }
  return folded;
}

ImageKind ImageKindOfName(const std::filesystem::path& path) {
  const std::string ext = FoldedExtension(path);
  if (ext == ".jpg" || ext == ".jpeg") return ImageKind::Jpeg;
  if (ext == ".png") return ImageKind::Png;
  return ImageKind::Other;
}

bool IsSupportedImage(const std::filesystem::path& path) {
  return ImageKindOfName(path) != ImageKind::Other;
}
