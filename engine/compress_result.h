#pragma once
#include <cstdint>
#include <filesystem>
#include <string>

/// A byte count that could not be read.
constexpr std::uint64_t SIZE_UNKNOWN = ~std::uint64_t{0};

/// Outcome of compressing one file. The caller creates it zeroed, one per file.
struct CompressResult {
  bool success = false;            // set by the caller from CompressImageFile's result
  std::uint64_t inputBytes = 0;    // SIZE_UNKNOWN when the size query failed
  std::uint64_t outputBytes = 0;   // SIZE_UNKNOWN when the size query failed
  std::int32_t width = 0;          // as decoded
  std::int32_t height = 0;         // as decoded
  std::int32_t channels = 0;       // as decoded: 1 gray, 2 gray+alpha, 3 RGB, 4 RGBA
  std::filesystem::path outputPath;  // empty when the file failed before a name was chosen
  std::string errorText;           // UTF-8; empty on success
};
