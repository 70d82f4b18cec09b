// On Linux a path is a byte string and is handed on as it is.
#include "engine/utf8.h"

bool PathToUtf8(const std::filesystem::path& path, std::string* utf8) {
  *utf8 = path.native();
  return true;
}

std::string PathToDisplayUtf8(const std::filesystem::path& path) {
  return path.native();
}

std::filesystem::path Utf8ToPath(const std::string& utf8) {
  return std::filesystem::path(utf8);
}
