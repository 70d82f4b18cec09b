#pragma once
#include <filesystem>
#include <string>

/// Returns the first path in outputDir at which nothing exists: outputDir/fileName,
/// else stem_1.ext, stem_2.ext, ... On a file-system error other than "missing",
/// returns an empty path and sets *error (naming "exists", the path and the code).
std::filesystem::path MakeUniqueOutputPath(const std::filesystem::path& outputDir,
                                           const std::filesystem::path& fileName,
                                           std::string* error);

/// As MakeUniqueOutputPath, but starts the search at number `first` (0 = the plain
/// name) and reports the number chosen, so a caller can move past a name that
/// was taken after it was checked.
std::filesystem::path FindFreeOutputPath(const std::filesystem::path& outputDir,
                                         const std::filesystem::path& fileName,
                                         unsigned long long first,
                                         unsigned long long* chosen, std::string* error);

/// outputDir joined with name by the platform's rules ("C:" + "x" is "C:x";
/// no separator is doubled).
std::filesystem::path JoinOutputPath(const std::filesystem::path& outputDir,
                                     const std::filesystem::path& name);
