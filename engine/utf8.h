#pragma once
// Paths are wide on Windows and bytes on Linux; the image library and the console
// take UTF-8. These helpers are the one place where that conversion happens.
#include <filesystem>
#include <string>

/// UTF-8 form of a path. False when it has none (an unpaired UTF-16 surrogate).
bool PathToUtf8(const std::filesystem::path& path, std::string* utf8);

/// UTF-8 form of a path for display: anything without a UTF-8 form becomes U+FFFD.
std::string PathToDisplayUtf8(const std::filesystem::path& path);

/// Path from UTF-8 text (bytes taken as they are on Linux).
std::filesystem::path Utf8ToPath(const std::string& utf8);
