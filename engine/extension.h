#pragma once
#include <filesystem>
#include <string>

/// The path's extension ("" for ".png", "." and "..") with A-Z folded to a-z and
/// nothing else changed; no locale is involved. Characters outside ASCII are kept
/// as the '\x80' byte, which matches no supported extension.
std::string FoldedExtension(const std::filesystem::path& path);

/// What a file's name makes of it: .jpg/.jpeg are JPEG, .png is PNG (any ASCII case).
enum class ImageKind { Other, Jpeg, Png };
ImageKind ImageKindOfName(const std::filesystem::path& path);
