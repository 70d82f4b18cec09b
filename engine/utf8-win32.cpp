// On Windows a path is UTF-16; the conversions go through the system's own
// converter, which refuses unpaired surrogates when asked to.
#include "engine/utf8.h"

#include <windows.h>

namespace {

bool WideToUtf8(const std::wstring& wide, DWORD flags, std::string* utf8) {
  utf8->clear();
  if (wide.empty()) return true;
  int n = WideCharToMultiByte(CP_UTF8, flags, wide.data(), static_cast<int>(wide.size()),
                              nullptr, 0, nullptr, nullptr);
  if (n <= 0) return false;
  utf8->resize(static_cast<size_t>(n));
  return WideCharToMultiByte(CP_UTF8, flags, wide.data(), static_cast<int>(wide.size()),
                             utf8->data(), n, nullptr, nullptr) == n;
}

}  // namespace

bool PathToUtf8(const std::filesystem::path& path, std::string* utf8) {
  return WideToUtf8(path.native(), WC_ERR_INVALID_CHARS, utf8);
}

std::string PathToDisplayUtf8(const std::filesystem::path& path) {
  std::string utf8;
  WideToUtf8(path.native(), 0, &utf8);  // without the flag, bad units become U+FFFD
  return utf8;
}

std::filesystem::path Utf8ToPath(const std::string& utf8) {
  if (utf8.empty()) return {};
  int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()),
                              nullptr, 0);
  std::wstring wide(static_cast<size_t>(n > 0 ? n : 0), L'\0');
  if (n > 0)
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), wide.data(), n);
  return std::filesystem::path(wide);
}
