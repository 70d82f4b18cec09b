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

fs::path Candidate(const fs::path& outputDir, const fs::path& fileName,
                   unsigned long long n) {
  if (n == 0) return JoinOutputPath(outputDir, fileName);
  fs::path numbered = fileName.stem();
  numbered += "_" + std::to_string(n);
  numbered += fileName.extension();
  return JoinOutputPath(outputDir, numbered);
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
    switch (QueryPathKind(candidate, &systemError)) {
      case PathKind::Missing:
        *chosen = n;
        return candidate;
      case PathKind::Error:
        *error = ExistsErrorText(candidate, systemError);
        return {};
      default:
        break;  // taken, whatever it is
    }
  }
}

fs::path MakeUniqueOutputPath(const fs::path& outputDir, const fs::path& fileName,
                              std::string* error) {
  unsigned long long chosen = 0;
  return FindFreeOutputPath(outputDir, fileName, 0, &chosen, error);
}
