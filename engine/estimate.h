#pragma once
#include <cstdint>
#include <filesystem>

/// Size in bytes of the image compressed at quality, by a real encode in memory:
/// JPEG for .jpg/.jpeg names, PNG for any other. False when the file can't be
/// decoded or encoded; *size is then left unchanged.
bool EstimateCompressedSize(const std::filesystem::path& path, int quality, std::uint64_t* size);
