#include "input/collect.h"

#include "engine/extension.h"
#include "engine/file_system.h"
#include "input/folder_list.h"

namespace fs = std::filesystem;

namespace {

// Taken as the listing says it is. Every image-named entry that is not a
// folder stays in the list: one the system could not examine, or a link that
// leads nowhere, fails with its reason in its turn rather than vanish from the
// report.
bool IsImageEntry(const FolderEntry& entry) {
  return IsSupportedImage(entry.path) && entry.kind != PathKind::Folder;
}

// A folder whose images may be missing from the list, noted once.
void NoteUnfinished(const fs::path& folder, std::vector<fs::path>* unfinished) {
  if (unfinished->empty() || unfinished->back() != folder) unfinished->push_back(folder);
}

// A folder that may not be opened is skipped as if empty; one whose listing
// broke off or that could not be opened otherwise is noted.
void List(const fs::path& folder, std::vector<FolderEntry>* entries,
          std::vector<fs::path>* unfinished) {
  const ListResult result = ListFolder(folder, entries);
  if (result == ListResult::Interrupted || result == ListResult::CannotOpen)
    NoteUnfinished(folder, unfinished);
}

// Depth first, pre-order, without a stack frame per level: a path of "\\?\"
// form may be some 16,000 folders deep. A folder that can't be opened or read
// to its end (no permission, deleted while the walk passes, a path too long for
// the system) gives what was listed of it, and the walk goes on with the next:
// one such folder must not silently drop the images of every folder after it.
void Walk(const fs::path& folder, bool recursive, ImageList* list,
          std::vector<fs::path>* unfinished) {
  struct Level {
    std::vector<FolderEntry> entries;
    std::size_t next = 0;
  };
  std::vector<Level> levels(1);
  List(folder, &levels.back().entries, unfinished);
  while (!levels.empty()) {
    Level& level = levels.back();
    if (level.next == level.entries.size()) {
      levels.pop_back();
      continue;
    }
    const FolderEntry& entry = level.entries[level.next++];
    if (IsImageEntry(entry)) list->push_back(entry.path);
    // An entry the system can't say anything about (its path too long for it)
    // may be a folder of images that the walk can't enter.
    else if (recursive && entry.ownKindUnknown)
      NoteUnfinished(entry.path.parent_path(), unfinished);
    if (recursive && entry.enterable) {
      Level deeper;
      List(entry.path, &deeper.entries, unfinished);
      levels.push_back(std::move(deeper));  // entry and level are not used after this
    }
  }
}

}  // namespace

std::size_t CollectImages(const fs::path& folder, bool recursive, ImageList* list) {
  std::vector<fs::path> unfinished;
  return CollectImages(folder, recursive, list, &unfinished);
}

std::size_t CollectImages(const fs::path& folder, bool recursive, ImageList* list,
                          std::vector<fs::path>* unfinished) {
  const std::size_t before = list->size();
  Walk(folder, recursive, list, unfinished);
  return list->size() - before;
}

namespace {

// Collects in *missing, innermost first, folder and its parents up to the first
// that is there, and says what that one is. A root (a drive, a share) is never
// made: a missing one is the answer itself.
PathKind FindExistingAncestor(const fs::path& folder, std::vector<fs::path>* missing,
                              int* systemError) {
  for (fs::path p = folder;; p = p.parent_path()) {
    if (p.empty()) return PathKind::Folder;  // above a relative path: the current folder
    const PathKind kind = QueryPathKind(p, systemError);
    if (kind != PathKind::Missing || IsRootFolder(p)) return kind;
    missing->push_back(p);
  }
}

// One level; a folder that is there already (another process, or "a/" after "a")
// is as good as made.
bool MakeFolderLevel(const fs::path& path, std::error_code* error) {
  int systemError = 0;
  if (MakeFolder(path, error) || QueryPathKind(path, &systemError) == PathKind::Folder) {
    error->clear();
    return true;
  }
  return false;
}

}  // namespace

bool CreateOutputFolder(const fs::path& folder, std::error_code* error) {
  error->clear();
  if (folder.empty()) {
    *error = std::make_error_code(std::errc::no_such_file_or_directory);
    return false;
  }
  std::vector<fs::path> missing;
  int systemError = 0;
  const PathKind found = FindExistingAncestor(folder, &missing, &systemError);
  if (found == PathKind::Missing || found == PathKind::Error) {
    *error = std::error_code(systemError, std::system_category());
    return false;
  }
  if (missing.empty()) {
    if (found != PathKind::Folder) *error = std::make_error_code(std::errc::file_exists);
    return false;
  }
  for (auto level = missing.rbegin(); level != missing.rend(); ++level)
    if (!MakeFolderLevel(*level, error)) return false;
  return true;
}
