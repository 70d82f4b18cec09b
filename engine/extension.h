#pragma once
#include <filesystem>
#include <string>

/// The path's extension ("" for ".png", "." and "..") with A-Z folded to a-z and
/// nothing else changed; no locale is involved. Characters outside ASCII are kept
/// as the '\x80' byte, which matches no supported extension.
std::string FoldedExtension(const std::filesystem::path& path);

/// What a file's name makes of it: .jpg/.jpeg are JPEG, .png is PNG (any ASCII case).
/// The one rule for which files are images, for the folder walk, the compression
/// and the preview alike.
enum class ImageKind { Other, Jpeg, Png };
ImageKind ImageKindOfName(const std::filesystem::path& path);

/// True when the path's extension is .jpg, .jpeg or .png (ASCII letters in any case).
bool IsSupportedImage(const std::filesystem::path& path);
