#include "input/folder_list.h"

#include <system_error>

namespace fs = std::filesystem;

ListResult ListFolder(const fs::path& folder, std::vector<FolderEntry>* entries) {
  std::error_code ec;
  fs::directory_iterator it(folder, ec);
  if (ec)
    return ec == std::errc::permission_denied ? ListResult::AccessDenied : ListResult::CannotOpen;
  for (; it != fs::directory_iterator(); it.increment(ec)) {
    if (ec) return ListResult::Interrupted;
    std::error_code linkError;
    // symlink_status: a link to a folder is listed, never entered.
    bool realFolder = it->symlink_status(linkError).type() == fs::file_type::directory;
    entries->push_back({it->path(), realFolder});
  }
  return ec ? ListResult::Interrupted : ListResult::Complete;
}
