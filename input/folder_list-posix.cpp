#include "input/folder_list.h"

#include <algorithm>
#include <system_error>

namespace fs = std::filesystem;

namespace {

// Windows lists an NTFS folder by name; a Linux file system keeps its own order
// (by hash, by creation). By name here too, so a folder gives its images in the
// same order on both: the bytes of the UTF-8 names, compared unsigned.
void SortByName(std::vector<FolderEntry>::iterator first, std::vector<FolderEntry>::iterator last) {
  std::sort(first, last, [](const FolderEntry& a, const FolderEntry& b) {
    return a.path.filename().native() < b.path.filename().native();
  });
}

}  // namespace

ListResult ListFolder(const fs::path& folder, std::vector<FolderEntry>* entries) {
  const std::size_t before = entries->size();
  std::error_code ec;
  fs::directory_iterator it(folder, ec);
  if (ec)
    return ec == std::errc::permission_denied ? ListResult::AccessDenied : ListResult::CannotOpen;
  for (; it != fs::directory_iterator(); it.increment(ec)) {
    if (ec) break;
    std::error_code linkError;
    // symlink_status: a link to a folder is listed, never entered.
    bool realFolder = it->symlink_status(linkError).type() == fs::file_type::directory;
    entries->push_back({it->path(), realFolder});
  }
  SortByName(entries->begin() + before, entries->end());
  return ec ? ListResult::Interrupted : ListResult::Complete;
}
