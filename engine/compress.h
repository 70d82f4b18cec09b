#pragma once
#include <filesystem>

#include "engine/compress_result.h"
#include "engine/encode.h"

/// Re-encodes one JPEG or PNG file into outputDir (which must exist) under a name
/// that is not taken yet. Returns true when an output file was written; otherwise
/// false with result->errorText set. Never overwrites, never creates folders.
bool CompressImageFile(const std::filesystem::path& inputPath,
                       const std::filesystem::path& outputDir, int quality,
                       CompressResult* result);
