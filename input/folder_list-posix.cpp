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

// The listing tells what an entry is itself; only for a symbolic link is the
// system asked again, about what it leads to.
PathKind KindOfListed(const fs::directory_entry& entry, fs::file_type type,
                      const std::error_code& error) {
  if (error)
    return error == std::errc::no_such_file_or_directory ? PathKind::Missing : PathKind::Error;
  switch (type) {
    case fs::file_type::regular:
      return PathKind::File;
    case fs::file_type::directory:
      return PathKind::Folder;
    case fs::file_type::symlink: {
      int systemError = 0;
      return QueryPathKind(entry.path(), &systemError);
    }
    default:
      return PathKind::Other;
  }
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
    const fs::file_type type = it->symlink_status(linkError).type();
    entries->push_back({it->path(), type == fs::file_type::directory,
                        KindOfListed(*it, type, linkError), bool(linkError)});
  }
  SortByName(entries->begin() + before, entries->end());
  return ec ? ListResult::Interrupted : ListResult::Complete;
}

bool ExpandWildcards(const fs::path&, std::vector<fs::path>*) { return false; }
