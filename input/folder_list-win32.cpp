#include "input/folder_list.h"

#include <windows.h>

#include <algorithm>
#include <string>

namespace fs = std::filesystem;

namespace {

bool IsDotOrDotDot(const wchar_t* name) {
  return name[0] == L'.' && (name[1] == 0 || (name[1] == L'.' && name[2] == 0));
}

// The listing's attributes say what an entry is; only a reparse point's own
// attributes say nothing about what it leads to. Asking again about every entry
// would lose the ones a Win32 path can't reach or that the system can't answer
// for a moment (a share reconnecting).
PathKind KindOfListed(const fs::path& path, DWORD attributes) {
  if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
    int systemError = 0;
    return QueryPathKind(path, &systemError);
  }
  return (attributes & FILE_ATTRIBUTE_DIRECTORY) ? PathKind::Folder : PathKind::File;
}

}  // namespace

bool IsFolderToEnter(std::uint32_t attributes, std::uint32_t reparseTag) {
  if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) return false;
  // Hidden and system both: the system's own ($RECYCLE.BIN, with the photos
  // deleted from a camera card; System Volume Information). Explorer hides them.
  const std::uint32_t systemOwn = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
  if ((attributes & systemOwn) == systemOwn) return false;
  if (!(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) return true;
  // Wine lists a Unix link to a folder as a reparse point with tag 0, a value no
  // real reparse point has: an unknown tag is taken for a link.
  return reparseTag != 0 && !IsReparseTagNameSurrogate(reparseTag);
}

// The standard iterator here does not see reparse points (it walked a "loop -> .."
// link without end under Wine); FindFirstFileExW reports them in the attributes.
ListResult ListFolder(const fs::path& folder, std::vector<FolderEntry>* entries) {
  WIN32_FIND_DATAW data;
  // Listed through its exact name: "dir." would otherwise list "dir".
  std::wstring pattern = ExtendedLengthPath(folder).native();
  if (pattern.empty()) return ListResult::CannotOpen;
  pattern += pattern.back() == L'\\' ? L"*" : L"\\*";
  HANDLE find = FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &data, FindExSearchNameMatch,
                                 nullptr, 0);
  if (find == INVALID_HANDLE_VALUE) {
    DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND) return ListResult::Complete;  // a drive root with nothing in it
    return error == ERROR_ACCESS_DENIED ? ListResult::AccessDenied : ListResult::CannotOpen;
  }
  do {
    if (IsDotOrDotDot(data.cFileName)) continue;
    const fs::path path = folder / data.cFileName;
    entries->push_back({path, IsFolderToEnter(data.dwFileAttributes, data.dwReserved0),
                        KindOfListed(path, data.dwFileAttributes)});
  } while (FindNextFileW(find, &data));
  DWORD error = GetLastError();
  FindClose(find);
  return error == ERROR_NO_MORE_FILES ? ListResult::Complete : ListResult::Interrupted;
}

bool ExpandWildcards(const fs::path& typed, std::vector<fs::path>* matches) {
  const std::wstring name = typed.filename().native();
  if (name.find_first_of(L"*?") == std::wstring::npos) return false;
  std::vector<std::wstring> names;
  WIN32_FIND_DATAW data;
  // The system matches the last name (its wildcard rules, and cmd's).
  HANDLE find = FindFirstFileExW(ExtendedLengthPath(typed).c_str(), FindExInfoBasic, &data,
                                 FindExSearchNameMatch, nullptr, 0);
  if (find != INVALID_HANDLE_VALUE) {
    const DWORD unlisted = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
    do {
      if (!IsDotOrDotDot(data.cFileName) && !(data.dwFileAttributes & unlisted))
        names.push_back(data.cFileName);
    } while (FindNextFileW(find, &data));
    FindClose(find);
  }
  // NTFS's own order; other file systems (and Wine) list in theirs.
  std::sort(names.begin(), names.end(), [](const std::wstring& a, const std::wstring& b) {
    return CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(),
                                static_cast<int>(b.size()), TRUE) == CSTR_LESS_THAN;
  });
  for (const std::wstring& match : names) matches->push_back(typed.parent_path() / match);
  return true;
}
