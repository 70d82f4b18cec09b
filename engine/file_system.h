#pragma once
// The few file-system questions whose answers differ by platform in ways the
// standard library hides (which error a query failed with, exclusive creation).
#include <cstdio>
#include <filesystem>

enum class PathPresence { Present, Missing, Error };

/// Whether anything is at path, following symbolic links: a dangling link is
/// Missing. Missing covers "file/path not found", "bad network path", "network
/// name deleted", "invalid name" and "directory name invalid"; any other failure
/// is Error with the system's code in *systemError.
PathPresence QueryPathPresence(const std::filesystem::path& path, int* systemError);

enum class NewFileStatus { Created, Exists, Failed };

/// Creates path exclusively and opens it for binary writing. Exists when anything
/// (even a dangling link) is already there; that entry is left untouched.
NewFileStatus CreateNewFile(const std::filesystem::path& path, std::FILE** file);
