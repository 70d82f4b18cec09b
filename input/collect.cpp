#include "input/collect.h"

#include "engine/extension.h"
#include "input/folder_list.h"

namespace fs = std::filesystem;

bool IsSupportedImage(const fs::path& path) {
  return ImageKindOfName(path) != ImageKind::Other;
}

namespace {

bool IsImageFile(const fs::path& path) {
  std::error_code ec;
  return IsSupportedImage(path) && fs::is_regular_file(fs::status(path, ec));
}

// Depth first, pre-order. Returns false when an error must end the whole walk.
bool Walk(const fs::path& folder, bool recursive, ImageList* list) {
  std::vector<FolderEntry> entries;
  ListResult listed = ListFolder(folder, &entries);
  if (listed == ListResult::AccessDenied) return true;  // an unreadable subfolder is skipped
  if (listed == ListResult::CannotOpen) return false;
  for (const FolderEntry& entry : entries) {
    if (IsImageFile(entry.path)) list->push_back(entry.path);
    if (recursive && entry.enterable && !Walk(entry.path, recursive, list)) return false;
  }
  return listed == ListResult::Complete;
}

}  // namespace

std::size_t CollectImages(const fs::path& folder, bool recursive, ImageList* list) {
  const std::size_t before = list->size();
  Walk(folder, recursive, list);
  return list->size() - before;
}

bool CreateOutputFolder(const fs::path& folder, std::error_code* error) {
  error->clear();
  if (folder.empty()) {
    *error = std::make_error_code(std::errc::no_such_file_or_directory);
    return false;
  }
  bool created = fs::create_directories(folder, *error);
  std::error_code statusError;
  fs::file_status status = fs::status(folder, statusError);
  if (fs::is_directory(status)) {
    error->clear();
    return created;
  }
  if (fs::exists(status) || !*error) *error = std::make_error_code(std::errc::file_exists);
  return false;
}
