#pragma once
#include <cstddef>
#include <filesystem>
#include <system_error>
#include <vector>

/// Ordered list of image paths; only ever appended to.
using ImageList = std::vector<std::filesystem::path>;

/// Appends the supported images (IsSupportedImage, engine/extension.h) in folder (with all subfolders when recursive) to
/// list, in the order the file system lists them, and returns how many it added.
/// Links to folders are listed but never entered; subfolders that can't be opened
/// or read are skipped and the walk goes on.
std::size_t CollectImages(const std::filesystem::path& folder, bool recursive, ImageList* list);

/// As above, and appends to *unfinished every folder whose listing broke off
/// partway or could not be opened for a reason other than a refused permission
/// (a share that dropped, a path too long for the system): some of its images
/// may be missing from the list.
std::size_t CollectImages(const std::filesystem::path& folder, bool recursive, ImageList* list,
                          std::vector<std::filesystem::path>* unfinished);

/// Creates folder and its missing parents. True when this call created the final
/// folder; *error is 0 exactly when the folder exists as a folder afterwards.
bool CreateOutputFolder(const std::filesystem::path& folder, std::error_code* error);
