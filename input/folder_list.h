#pragma once
// One level of a folder listing. Windows and Linux differ in how links to
// folders show up, so each platform lists in its own file.
#include <cstdint>
#include <filesystem>
#include <vector>

#include "engine/file_system.h"

struct FolderEntry {
  std::filesystem::path path;  // the folder as given, joined with the entry's name
  bool enterable;              // a folder of its own: not a symbolic link or junction
  /// What the listing says the entry is, following a link (asked again only for
  /// a link: the listing tells about the link itself). Missing for a dangling
  /// link; Error, with the reason left to the file's own turn, when the system
  /// could not say.
  PathKind kind;
  /// The system could not say what the entry itself is (Linux: its path too
  /// long for the system): it may be a folder the walk can't enter.
  bool ownKindUnknown = false;
};

enum class ListResult { Complete, CannotOpen, AccessDenied, Interrupted };

/// Appends the direct entries of folder (never "." or ".."): on Windows in the file
/// system's order (NTFS: by name), on Linux by name. Interrupted: an error stopped
/// the listing after the entries appended.
ListResult ListFolder(const std::filesystem::path& folder, std::vector<FolderEntry>* entries);

/// Windows: whether a listed entry with these attributes and reparse tag (the
/// find data's dwReserved0) is a folder to walk into. Only name surrogates
/// (symbolic links, junctions) lead elsewhere; other reparse points, such as the
/// placeholders of a cloud-synced folder, are the folder itself. A folder both
/// hidden and system is the system's own and is not walked.
bool IsFolderToEnter(std::uint32_t attributes, std::uint32_t reparseTag);

/// Windows: the entries matched by a "*" or "?" in typed's last name, as cmd's
/// own commands match them (hidden and system entries left out, as dir leaves
/// them out), each the folder as typed joined with its name, in NTFS's order
/// (by name, ignoring case). False when typed's last name holds no wildcard, and
/// always on Linux, where the shell expands them.
bool ExpandWildcards(const std::filesystem::path& typed, std::vector<std::filesystem::path>* matches);
