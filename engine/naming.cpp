#include "engine/naming.h"

#include <string>

#include "engine/file_system.h"
#include "engine/utf8.h"

namespace fs = std::filesystem;

fs::path JoinOutputPath(const fs::path& outputDir, const fs::path& name) {
  // The standard join already follows the platform's rules: no separator after
  // an empty folder, a trailing separator or a bare drive such as "C:".
  return outputDir / name;
}

namespace {

// Removes the last character of a name's stem: a whole UTF-8 sequence on Linux
// (or one byte where the name is not UTF-8), a whole surrogate pair on Windows.
template <typename Text>
void DropLastCharacter(Text* text) {
  using Unit = typename Text::value_type;
  if constexpr (sizeof(Unit) == 1) {
    for (int continuation = 0; continuation < 3 && text->size() > 1 &&
                               (static_cast<unsigned char>(text->back()) & 0xC0) == 0x80;
         ++continuation)
      text->pop_back();
  } else {
    const auto isLow = [](Unit u) { return u >= 0xDC00 && u <= 0xDFFF; };
    const auto isHigh = [](Unit u) { return u >= 0xD800 && u <= 0xDBFF; };
    if (text->size() > 1 && isLow(text->back()) && isHigh((*text)[text->size() - 2]))
      text->pop_back();
  }
  text->pop_back();
}

fs::path Candidate(const fs::path& outputDir, const fs::path& fileName,
                   unsigned long long n) {
  return JoinOutputPath(outputDir, NumberedFileName(fileName, n));
}

std::string ExistsErrorText(const fs::path& candidate, int systemError) {
  return "exists: " + PathToDisplayUtf8(candidate) + ": 系统错误码 " +
         std::to_string(systemError);
}

}  // namespace

fs::path FindFreeOutputPath(const fs::path& outputDir, const fs::path& fileName,
                            unsigned long long first, unsigned long long* chosen,
                            std::string* error) {
  for (unsigned long long n = first;; ++n) {
    fs::path candidate = Candidate(outputDir, fileName, n);
    int systemError = 0;
    switch (QueryNameState(candidate, &systemError)) {
      case NameState::Free:
        *chosen = n;
        return candidate;
      case NameState::Error:
        *error = ExistsErrorText(candidate, systemError);
        return {};
      case NameState::Taken:
        break;  // whatever is there: a link even to nothing, a folder, a pipe
    }
  }
}

fs::path MakeUniqueOutputPath(const fs::path& outputDir, const fs::path& fileName,
                              std::string* error) {
  unsigned long long chosen = 0;
  return FindFreeOutputPath(outputDir, fileName, 0, &chosen, error);
}

fs::path NumberedFileName(const fs::path& fileName, unsigned long long n) {
  if (n == 0) return fileName;
  fs::path::string_type stem = fileName.stem().native();
  const fs::path::string_type suffix =
      fs::path("_" + std::to_string(n)).native() + fileName.extension().native();
  // The input's own name fits, but its number may not: the stem gives way.
  while (!stem.empty() && stem.size() + suffix.size() > MaxFileNameUnits())
    DropLastCharacter(&stem);
  return fs::path(stem + suffix);
}
