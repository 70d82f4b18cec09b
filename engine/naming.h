#pragma once
#include <filesystem>
#include <string>
#include <unordered_map>

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

/// What one run has learnt about the names in its output folder: for each input
/// name, the lowest number (0 = the plain name) not yet known to be taken. The
/// run never removes anything, so the search for the next file of the same name
/// starts there and ends at the same name as a search from 0, without asking the
/// file system again about every name before it.
struct OutputNameMemory {
  std::unordered_map<std::filesystem::path::string_type, unsigned long long> firstUnknown;
};

/// The name numbered n (0 = fileName itself): stem + "_" + n + extension, its
/// stem shortened by whole characters when the platform's longest name would be
/// exceeded; the extension and the number are always kept.
std::filesystem::path NumberedFileName(const std::filesystem::path& fileName,
                                       unsigned long long n);

/// outputDir joined with name by the platform's rules ("C:" + "x" is "C:x";
/// no separator is doubled).
std::filesystem::path JoinOutputPath(const std::filesystem::path& outputDir,
                                     const std::filesystem::path& name);
