#pragma once
// One level of a folder listing. Windows and Linux differ in how links to
// folders show up, so each platform lists in its own file.
#include <filesystem>
#include <vector>

struct FolderEntry {
  std::filesystem::path path;  // the folder as given, joined with the entry's name
  bool enterable;              // a real folder: not a symbolic link or junction
};

enum class ListResult { Complete, CannotOpen, AccessDenied, Interrupted };

/// Appends the direct entries of folder (never "." or "..") in the file system's
/// order. Interrupted: an error stopped the listing after the entries appended.
ListResult ListFolder(const std::filesystem::path& folder, std::vector<FolderEntry>* entries);
