#include "engine/file_system.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <cwctype>
#include <fcntl.h>
#include <io.h>
#include <utility>
#include <windows.h>

namespace fs = std::filesystem;

namespace {

bool MeansMissing(DWORD error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_BAD_NETPATH:
    case ERROR_NETNAME_DELETED:
    case ERROR_INVALID_NAME:
    case ERROR_DIRECTORY:
      return true;
    default:
      return false;
  }
}

PathKind FromError(DWORD error, int* systemError) {
  *systemError = static_cast<int>(error);
  return MeansMissing(error) ? PathKind::Missing : PathKind::Error;
}

bool StartsWith(const std::wstring& text, const wchar_t* prefix) {
  return text.compare(0, wcslen(prefix), prefix) == 0;
}

// The full form of a path's root alone: "C:" is drive C's current folder, "\"
// the current drive's root, "" the current folder. A root holds no name that
// Win32's normalisation could change.
std::wstring FullPathOfRoot(const fs::path& root) {
  const std::wstring asked = root.empty() ? L"." : root.native();
  std::wstring full(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = GetFullPathNameW(asked.c_str(), static_cast<DWORD>(full.size()), full.data(),
                                     nullptr);
    if (n == 0) return asked;
    if (n < full.size()) {
      full.resize(n);
      return full;
    }
    full.resize(n);
  }
}

bool IsSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

// The names of a relative path, in order, between its separators.
std::vector<std::wstring> NamesIn(const std::wstring& text) {
  std::vector<std::wstring> names;
  std::size_t begin = 0;
  for (std::size_t i = 0; i <= text.size(); ++i) {
    if (i < text.size() && !IsSeparator(text[i])) continue;
    if (i > begin) names.push_back(text.substr(begin, i - begin));
    begin = i + 1;
  }
  return names;
}

// How much of a full path is its root, which ".." never leaves: "C:\" or
// "\\server\share\".
std::size_t RootLength(const std::wstring& full) {
  if (full.size() >= 3 && full[1] == L':') return 3;
  if (!StartsWith(full, L"\\\\")) return 0;
  const std::size_t server = full.find(L'\\', 2);
  const std::size_t share = server == std::wstring::npos ? server : full.find(L'\\', server + 1);
  return share == std::wstring::npos ? full.size() : share + 1;
}

void DropLastName(std::wstring* full, std::size_t rootLength) {
  if (full->size() <= rootLength) return;
  const std::size_t cut = full->find_last_of(L'\\');
  full->resize(cut == std::wstring::npos || cut < rootLength ? rootLength : cut);
}

}  // namespace

fs::path ExtendedLengthPath(const fs::path& path) {
  const std::wstring& text = path.native();
  if (text.empty() || StartsWith(text, L"\\\\?\\") || StartsWith(text, L"\\\\.\\")) return path;
  // The standard path takes "\\nas" for a folder name: a share is its first two names.
  const bool share = IsSeparator(text[0]) && text.size() > 2 && IsSeparator(text[1]) &&
                     !IsSeparator(text[2]);
  std::wstring full = share ? L"\\\\" : FullPathOfRoot(path.root_path());
  std::size_t rootLength = RootLength(full);
  // "C:" may come back with a trailing backslash (Wine adds one), which ".."
  // would otherwise take for the last name.
  while (full.size() > rootLength && full.back() == L'\\') full.pop_back();
  int shareNames = share ? 2 : 0;
  for (const std::wstring& name : NamesIn(share ? text : path.relative_path().native())) {
    if (name == L".") continue;
    if (name == L"..") {
      DropLastName(&full, rootLength);
      continue;
    }
    if (full.back() != L'\\') full += L'\\';
    full += name;  // as spelled: no trailing dot or space trimmed, no device name
    if (shareNames > 0 && --shareNames == 0) rootLength = full.size();
  }
  // A share, also when the current folder is on one.
  if (StartsWith(full, L"\\\\")) return fs::path(L"\\\\?\\UNC\\" + full.substr(2));
  return fs::path(L"\\\\?\\" + full);
}

namespace {

// A name as Win32 reads it from typed text: trailing dots and spaces dropped.
std::wstring TrimmedName(std::wstring name) {
  while (!name.empty() && (name.back() == L'.' || name.back() == L' ')) name.pop_back();
  return name;
}

// A typed 8.3 short name ("VACA~TQM.JPG") as the listing shows the entry: its
// long name. The system matches a name without wildcards by either form.
fs::path WithLongLastName(const fs::path& path) {
  const std::wstring name = path.filename().native();
  if (name.find(L'~') == std::wstring::npos) return path;
  WIN32_FIND_DATAW found;
  HANDLE h = FindFirstFileExW(ExtendedLengthPath(path).c_str(), FindExInfoBasic, &found,
                              FindExSearchNameMatch, nullptr, 0);
  if (h == INVALID_HANDLE_VALUE) return path;
  FindClose(h);
  return path.parent_path() / found.cFileName;
}

}  // namespace

fs::path ReadTypedPath(const fs::path& typed) {
  const std::wstring& text = typed.native();
  if (text.empty() || StartsWith(text, L"\\\\?\\")) return typed;
  std::wstring root;
  std::wstring rest = text;
  for (wchar_t& c : rest)
    if (c == L'/') c = L'\\';
  // "\\.\\", "//./" and "//?/": a device path; Win32 resolves what follows the
  // device's name ("Z:") in the text.
  if (rest.size() >= 4 && StartsWith(rest, L"\\\\") && (rest[2] == L'.' || rest[2] == L'?') &&
      rest[3] == L'\\') {
    const std::size_t device = rest.find(L'\\', 4);
    root = L"\\\\.\\" + rest.substr(4, device == std::wstring::npos ? device : device - 4) + L"\\";
    rest = device == std::wstring::npos ? L"" : rest.substr(device + 1);
  } else if (StartsWith(rest, L"\\\\")) {
    // A share: its server and share names are the root.
    const std::size_t server = rest.find(L'\\', 2);
    const std::size_t share = server == std::wstring::npos ? server : rest.find(L'\\', server + 1);
    root = share == std::wstring::npos ? rest : rest.substr(0, share + 1);
    rest = share == std::wstring::npos ? L"" : rest.substr(share + 1);
  } else {
    const std::size_t drive = rest.size() >= 2 && rest[1] == L':' ? 2 : 0;
    const std::size_t slash = rest.size() > drive && rest[drive] == L'\\' ? 1 : 0;
    root = rest.substr(0, drive + slash);
    rest = rest.substr(drive + slash);
  }
  // Above a root there is nothing; a relative path (also "Z:..") keeps its
  // leading ".." for the current folder to resolve.
  const bool rooted = !root.empty() && root.back() == L'\\';
  std::vector<std::wstring> names;
  for (const std::wstring& typedName : NamesIn(rest)) {
    if (typedName == L".") continue;
    if (typedName == L"..") {
      if (!names.empty() && names.back() != L"..")
        names.pop_back();
      else if (!rooted)
        names.push_back(typedName);
      continue;
    }
    std::wstring name = TrimmedName(typedName);
    if (!name.empty()) names.push_back(name);
  }
  std::wstring read = root;
  for (std::size_t i = 0; i < names.size(); ++i) read += (i ? L"\\" : L"") + names[i];
  if (read.empty()) read = L".";
  return WithLongLastName(fs::path(read));
}

bool NamesADevice(const fs::path& path) {
  static const wchar_t* const kDevices[] = {L"CON", L"PRN", L"AUX", L"NUL", L"CONIN$",
                                            L"CONOUT$"};
  for (const fs::path& part : path.relative_path()) {
    // The name up to its first dot, trailing blanks dropped: "nul.txt", "AUX ".
    std::wstring base = part.native().substr(0, part.native().find(L'.'));
    while (!base.empty() && base.back() == L' ') base.pop_back();
    for (wchar_t& c : base) c = static_cast<wchar_t>(towupper(c));
    for (const wchar_t* device : kDevices)
      if (base == device) return true;
    // COM0-9 and LPT0-9, with the superscript digits Windows counts as well.
    if (base.size() == 4 && (base.compare(0, 3, L"COM") == 0 || base.compare(0, 3, L"LPT") == 0) &&
        (iswdigit(base[3]) || base[3] == L'\u00B9' || base[3] == L'\u00B2' || base[3] == L'\u00B3'))
      return true;
  }
  return false;
}

namespace {

// The image library converts file names into a buffer of 1024 UTF-16 units; our
// own writes keep the same limit so both routes accept the same paths.
constexpr size_t kLibraryPathUnits = 1024;

std::uint64_t Join(DWORD high, DWORD low) { return (std::uint64_t{high} << 32) | low; }

std::int64_t TimeOf(const FILETIME& time) {
  return static_cast<std::int64_t>(Join(time.dwHighDateTime, time.dwLowDateTime));
}

// Attributes, size and last write time of what path names. A link's (or junction's) own record
// says nothing about its target, so for a reparse point the target is opened and
// asked: a dangling link fails as missing.
bool Examine(const fs::path& path, DWORD* attributes, std::uint64_t* size, DWORD* error,
             FILETIME* written = nullptr) {
  const fs::path system = ExtendedLengthPath(path);
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExW(system.c_str(), GetFileExInfoStandard, &data)) {
    *error = GetLastError();
    return false;
  }
  *attributes = data.dwFileAttributes;
  *size = Join(data.nFileSizeHigh, data.nFileSizeLow);
  if (written) *written = data.ftLastWriteTime;
  if (!(data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) return true;
  HANDLE h = CreateFileW(system.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                         nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    *error = GetLastError();
    return false;
  }
  BY_HANDLE_FILE_INFORMATION target;
  const bool known = GetFileInformationByHandle(h, &target);
  if (known) {
    *attributes = target.dwFileAttributes;
    *size = Join(target.nFileSizeHigh, target.nFileSizeLow);
    if (written) *written = target.ftLastWriteTime;
  } else {
    *error = GetLastError();
  }
  CloseHandle(h);
  return known;
}

}  // namespace

PathKind QueryPathKind(const fs::path& path, int* systemError) {
  DWORD attributes = 0, error = 0;
  std::uint64_t size = 0;
  if (!Examine(path, &attributes, &size, &error)) return FromError(error, systemError);
  return (attributes & FILE_ATTRIBUTE_DIRECTORY) ? PathKind::Folder : PathKind::File;
}

namespace {

HANDLE HandleOf(const OpenedFile& file) { return reinterpret_cast<HANDLE>(file.handle); }

}  // namespace

void CloseOpenedFile(OpenedFile* file) {
  if (file->handle != -1) CloseHandle(HandleOf(*file));
  file->handle = -1;
}

OpenedFile& OpenedFile::operator=(OpenedFile&& other) noexcept {
  if (this != &other) {
    CloseOpenedFile(this);
    handle = std::exchange(other.handle, -1);
    stamp = other.stamp;
    outputPermissions = other.outputPermissions;
  }
  return *this;
}

OpenedFile::~OpenedFile() { CloseOpenedFile(this); }

namespace {

// A file's stamp from its open handle: size, write time, volume serial and file
// index, and the change time of its entry (FILE_BASIC_INFO; 0 where the file
// system keeps none).
FileStamp StampOf(HANDLE h, const BY_HANDLE_FILE_INFORMATION& info) {
  FileStamp stamp;
  stamp.size = Join(info.nFileSizeHigh, info.nFileSizeLow);
  stamp.lastWrite = TimeOf(info.ftLastWriteTime);
  stamp.volume = info.dwVolumeSerialNumber;
  stamp.index = Join(info.nFileIndexHigh, info.nFileIndexLow);
  FILE_BASIC_INFO basic = {};
  if (GetFileInformationByHandleEx(h, FileBasicInfo, &basic, sizeof basic))
    stamp.changed = basic.ChangeTime.QuadPart;
  return stamp;
}

}  // namespace

bool OpenInputFile(const fs::path& path, OpenedFile* file, std::string* error) {
  // The sharing the C runtime's fopen grants; the path limit the library had.
  OpenedFile opened;
  if (path.native().size() + 1 <= kLibraryPathUnits) {
    const HANDLE h = CreateFileW(ExtendedLengthPath(path).c_str(), GENERIC_READ,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h != INVALID_HANDLE_VALUE) opened.handle = reinterpret_cast<std::intptr_t>(h);
  }
  // Only a file on a disk has an end to read to; a pipe or a device may have none.
  BY_HANDLE_FILE_INFORMATION info;
  if (opened.handle == -1 || GetFileType(HandleOf(opened)) != FILE_TYPE_DISK ||
      !GetFileInformationByHandle(HandleOf(opened), &info)) {
    *error = "Unable to open file";
    return false;
  }
  opened.stamp = StampOf(HandleOf(opened), info);
  opened.outputPermissions = 0;  // an output takes its folder's access rules
  *file = std::move(opened);
  return true;
}

namespace {

// On a handle opened for synchronous reads, the OVERLAPPED structure only says
// where the read starts; one that starts at or past the end fails with
// ERROR_HANDLE_EOF, which is an end like any other.
long long ReadAt(HANDLE h, std::uint64_t at, unsigned char* out, std::size_t n) {
  OVERLAPPED where = {};
  where.Offset = static_cast<DWORD>(at);
  where.OffsetHigh = static_cast<DWORD>(at >> 32);
  DWORD got = 0;
  const DWORD wanted = static_cast<DWORD>(std::min<std::size_t>(n, 1u << 30));
  if (ReadFile(h, out, wanted, &got, &where)) return got;
  return GetLastError() == ERROR_HANDLE_EOF ? 0 : -1;
}

}  // namespace

long long ReadOpenedFileAt(const OpenedFile& file, std::uint64_t at, unsigned char* out,
                           std::size_t n) {
  return ReadAt(HandleOf(file), at, out, n);
}

bool ReadOpenedFile(OpenedFile* file, std::size_t until, FileBytes* bytes, bool* ended,
                    std::string* error) {
  const BlockReadStatus status = ReadFileBlocks(
      [file, bytes](unsigned char* out, std::size_t wanted) {
        return ReadOpenedFileAt(*file, bytes->size, out, wanted);
      },
      static_cast<std::size_t>(file->stamp.size), until, bytes);
  *ended = status != BlockReadStatus::Paused;
  if (status != BlockReadStatus::Failed) return true;
  *error = "Unable to open file";
  return false;
}

bool QueryOpenedFileStamp(const OpenedFile& file, FileStamp* stamp) {
  BY_HANDLE_FILE_INFORMATION info;
  if (file.handle == -1 || !GetFileInformationByHandle(HandleOf(file), &info)) return false;
  *stamp = StampOf(HandleOf(file), info);
  return true;
}

bool QueryFileStamp(const fs::path& path, FileStamp* stamp) {
  // Opened for its attributes only, shared every way: which file a name holds
  // is told by the open file, not by the name.
  const HANDLE h = CreateFileW(ExtendedLengthPath(path).c_str(), FILE_READ_ATTRIBUTES,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION info;
  const bool ok = GetFileInformationByHandle(h, &info) &&
                  !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
  if (ok) *stamp = StampOf(h, info);
  CloseHandle(h);
  return ok;
}

bool IsRootFolder(const fs::path& path) {
  if (!path.has_relative_path()) return true;
  // The standard path takes "\\nas" for a folder name: a share is two
  // separators, then the server's name and at most the share's.
  const std::wstring& text = path.native();
  auto separator = [](wchar_t c) { return c == L'\\' || c == L'/'; };
  const bool unc = text.size() > 2 && separator(text[0]) && separator(text[1]) && !separator(text[2]);
  return unc && path.relative_path().parent_path().parent_path().empty();
}

bool MakeFolder(const fs::path& path, std::error_code* error) {
  if (CreateDirectoryW(ExtendedLengthPath(path).c_str(), nullptr)) return true;
  *error = std::error_code(static_cast<int>(GetLastError()), std::system_category());
  return false;
}

namespace {

// Whether the folder lists an entry of this name. A file whose delete is pending
// (another run's unfinished output) or that no one may read answers "access
// denied" to every question about it, yet its entry is still there.
bool NameIsListed(const fs::path& path) {
  WIN32_FIND_DATAW found;
  HANDLE h = FindFirstFileExW(ExtendedLengthPath(path).c_str(), FindExInfoBasic, &found,
                              FindExSearchNameMatch, nullptr, 0);
  if (h == INVALID_HANDLE_VALUE) return false;
  FindClose(h);
  return true;
}

bool MeansOccupiedIfListed(DWORD error) {
  return error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION ||
         error == ERROR_DELETE_PENDING;
}

bool RunsUnderWine() {
  static const bool wine = [] {
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version") != nullptr;
  }();
  return wine;
}

// Wine: a Unix link that leads nowhere is in no listing and answers "not
// found" to every query, yet a rename that must not replace anything replaces
// it. Only an exclusive create sees it. The probe is deleted with its handle
// (also when the run dies) and never follows a link.
bool HoldsUnseenLink(const fs::path& path) {
  const HANDLE h = CreateFileW(ExtendedLengthPath(path).c_str(), DELETE, 0, nullptr, CREATE_NEW,
                               FILE_ATTRIBUTE_HIDDEN | FILE_FLAG_DELETE_ON_CLOSE |
                                   FILE_FLAG_OPEN_REPARSE_POINT,
                               nullptr);
  if (h != INVALID_HANDLE_VALUE) {
    CloseHandle(h);
    return false;
  }
  const DWORD error = GetLastError();
  return error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS;
}

}  // namespace

NameState QueryNameState(const fs::path& path, int* systemError) {
  // The attributes of the name itself: a link is there even when its target is
  // not (Windows tells a link's own attributes).
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (GetFileAttributesExW(ExtendedLengthPath(path).c_str(), GetFileExInfoStandard, &data))
    return NameState::Taken;
  const DWORD error = GetLastError();
  *systemError = static_cast<int>(error);
  // A link that leads to itself (Wine's answer for a Unix link loop).
  if (error == ERROR_CANT_RESOLVE_FILENAME) return NameState::Taken;
  if (error == ERROR_FILE_NOT_FOUND && RunsUnderWine() && HoldsUnseenLink(path))
    return NameState::Taken;
  if (MeansMissing(error)) return NameState::Free;
  return MeansOccupiedIfListed(error) && NameIsListed(path) ? NameState::Taken : NameState::Error;
}

std::size_t MaxFileNameUnits() { return 255; }

namespace {

bool SetDeleteOnClose(HANDLE h, bool remove) {
  FILE_DISPOSITION_INFO disposition = {};
  disposition.DeleteFile = remove ? TRUE : FALSE;
  return SetFileInformationByHandle(h, FileDispositionInfo, &disposition, sizeof disposition);
}

bool WriteAll(HANDLE h, const unsigned char* data, std::size_t length) {
  while (length > 0) {
    const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(length, 1u << 30));
    DWORD written = 0;
    if (!WriteFile(h, data, chunk, &written, nullptr) || written == 0) return false;
    data += written;
    length -= written;
  }
  return true;
}

// "a.txt:x.jpg" names a stream of the file a.txt: written there, the photo would
// hide inside another file (and create it), never be a file of its own.
bool HoldsStreamName(const fs::path& path) {
  return path.filename().native().find(L':') != std::wstring::npos;
}

// Whether a create or rename found the name occupied. A file whose delete is
// pending answers "access denied" (Wine: "file exists"), yet is still listed.
bool NameTaken(DWORD error, const fs::path& path) {
  if (error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS) return true;
  return error == ERROR_ACCESS_DENIED && NameIsListed(path);
}

std::atomic<unsigned> temporary_count{0};

// Named like no output (never an image extension), so no run takes it for a photo.
fs::path TemporaryNameIn(const fs::path& folder) {
  return folder / (L".quillmar-unfinished-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                   std::to_wstring(temporary_count++) + L".tmp");
}

// A hidden temporary file in folder, created exclusively and marked for deletion
// straight away: if the process dies before the mark is cleared (killed, signed
// out), the system removes the file with the handle. Only a death between the
// two calls can leave one, empty. *error: why none could be made.
HANDLE CreateTemporary(const fs::path& folder, fs::path* temporary, bool* marked, DWORD* error,
                       DWORD moreAccess = 0) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    *temporary = TemporaryNameIn(folder);
    const HANDLE h = CreateFileW(ExtendedLengthPath(*temporary).c_str(),
                                 GENERIC_WRITE | DELETE | moreAccess, 0,
                                 nullptr, CREATE_NEW, FILE_ATTRIBUTE_HIDDEN, nullptr);
    if (h != INVALID_HANDLE_VALUE) {
      *marked = SetDeleteOnClose(h, true);
      return h;
    }
    *error = GetLastError();
    // A name left by a run that died with the same process id: the next one.
    if (*error != ERROR_FILE_EXISTS && *error != ERROR_ALREADY_EXISTS) break;
  }
  return INVALID_HANDLE_VALUE;
}

// The temporary goes: by its mark when the handle closes, else by its name.
void DiscardTemporary(HANDLE h, const fs::path& temporary) {
  const bool marked = SetDeleteOnClose(h, true);
  CloseHandle(h);
  if (!marked) DeleteFileW(ExtendedLengthPath(temporary).c_str());
}

// An output is an ordinary visible file, as new files are: not hidden, and
// marked for the next backup (the archive attribute).
bool ShowAsOrdinaryFile(HANDLE h) {
  FILE_BASIC_INFO basic = {};  // times of 0: left as they are
  basic.FileAttributes = FILE_ATTRIBUTE_ARCHIVE;
  return SetFileInformationByHandle(h, FileBasicInfo, &basic, sizeof basic);
}

// Gives the open file the name path, failing rather than replacing anything there.
bool RenameWithoutReplacing(HANDLE h, const fs::path& path, DWORD* error) {
  const std::wstring target = ExtendedLengthPath(path).native();
  const std::size_t bytes = target.size() * sizeof(wchar_t);
  // Room for the name and its terminating NUL (FileName[1] holds one unit).
  std::vector<unsigned char> buffer(sizeof(FILE_RENAME_INFO) + bytes, 0);
  auto* rename = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
  rename->ReplaceIfExists = FALSE;
  rename->RootDirectory = nullptr;
  rename->FileNameLength = static_cast<DWORD>(bytes);
  std::memcpy(rename->FileName, target.data(), bytes);
  if (SetFileInformationByHandle(h, FileRenameInfo, rename, static_cast<DWORD>(buffer.size())))
    return true;
  *error = GetLastError();
  return false;
}

}  // namespace

NewFileStatus WriteNewFile(const fs::path& path, const unsigned char* data, std::size_t length,
                           unsigned) {
  if (path.native().size() + 1 > kLibraryPathUnits || HoldsStreamName(path))
    return NewFileStatus::Failed;
  fs::path temporary;
  bool marked = false;
  DWORD error = 0;
  const HANDLE h = CreateTemporary(path.parent_path(), &temporary, &marked, &error);
  // Refused DELETE, a file can't be renamed (or marked): in place is the way left.
  if (h == INVALID_HANDLE_VALUE)
    return error == ERROR_ACCESS_DENIED ? WriteNewFileInPlace(path, data, length)
                                        : NewFileStatus::Failed;
  // Every byte on the disk before the file has its name: NTFS journals names and
  // sizes, not data, so a power cut could otherwise leave a named file cut or
  // zero-filled. The mark is cleared before the rename, which then needs no rule
  // about renaming a file whose delete is pending; a death between the two leaves
  // a whole temporary file, still hidden, never anything under an output name.
  // It is shown only once it has its name: a death after the rename leaves the
  // whole output, hidden.
  if (!WriteAll(h, data, length) || !FlushFileBuffers(h) ||
      (marked && !SetDeleteOnClose(h, false))) {
    DiscardTemporary(h, temporary);
    return NewFileStatus::Failed;
  }
  if (RenameWithoutReplacing(h, path, &error)) {
    ShowAsOrdinaryFile(h);
    CloseHandle(h);
    return NewFileStatus::Created;
  }
  DiscardTemporary(h, temporary);
  return NameTaken(error, path) ? NewFileStatus::Exists : NewFileStatus::Failed;
}

// A draft is WriteNewFile's hidden temporary file, started early: marked for
// deletion all the while it is written, so that a run that dies meanwhile
// leaves nothing, and given its name as WriteNewFile gives one.
OutputDraft& OutputDraft::operator=(OutputDraft&& other) noexcept {
  if (this != &other) {
    if (handle != -1) DiscardTemporary(reinterpret_cast<HANDLE>(handle), temporary);
    handle = std::exchange(other.handle, -1);
    temporary = std::move(other.temporary);
    length = other.length;
    failed = other.failed;
    synced = other.synced;
  }
  return *this;
}

OutputDraft::~OutputDraft() {
  if (handle != -1) DiscardTemporary(reinterpret_cast<HANDLE>(handle), temporary);
}

bool StartOutputDraft(const fs::path& folder, unsigned, OutputDraft* draft) {
  fs::path temporary;
  bool marked = false;
  DWORD error = 0;
  // Read too, for the way round a folder that won't let it be renamed.
  const HANDLE h = CreateTemporary(folder.empty() ? fs::path(L".") : folder, &temporary, &marked,
                                   &error, GENERIC_READ);
  if (h == INVALID_HANDLE_VALUE) return false;
  if (!marked) {
    // Unmarked, a run that died would leave it: the output stays in memory.
    DiscardTemporary(h, temporary);
    return false;
  }
  OutputDraft started;
  started.handle = reinterpret_cast<std::intptr_t>(h);
  started.temporary = std::move(temporary);
  *draft = std::move(started);
  return true;
}

bool AppendToOutputDraft(OutputDraft* draft, const unsigned char* data, std::size_t length) {
  if (draft->failed || !WriteAll(reinterpret_cast<HANDLE>(draft->handle), data, length)) {
    draft->failed = true;
    return false;
  }
  draft->length += length;
  return true;
}

NewFileStatus NameOutputDraft(OutputDraft* draft, const fs::path& path, bool* unnamable) {
  *unnamable = false;
  if (draft->failed || path.native().size() + 1 > kLibraryPathUnits || HoldsStreamName(path))
    return NewFileStatus::Failed;
  const HANDLE h = reinterpret_cast<HANDLE>(draft->handle);
  // As WriteNewFile: every byte on the disk, and the mark cleared, before the
  // name; set again if the name is taken, for the next one. Shown once named.
  if (!draft->synced && !FlushFileBuffers(h)) {
    draft->failed = true;
    return NewFileStatus::Failed;
  }
  draft->synced = true;
  if (!SetDeleteOnClose(h, false)) return NewFileStatus::Failed;
  DWORD error = 0;
  if (RenameWithoutReplacing(h, path, &error)) {
    ShowAsOrdinaryFile(h);
    CloseHandle(h);
    draft->handle = -1;
    *draft = OutputDraft();
    return NewFileStatus::Created;
  }
  SetDeleteOnClose(h, true);
  if (NameTaken(error, path)) return NewFileStatus::Exists;
  // A folder that let the file be made but refuses its rename: in place, as
  // WriteNewFile would.
  *unnamable = error == ERROR_ACCESS_DENIED;
  return NewFileStatus::Failed;
}

bool ReadOutputDraft(const OutputDraft& draft, unsigned char* out) {
  std::uint64_t at = 0;
  while (at < draft.length) {
    const long long got = ReadAt(reinterpret_cast<HANDLE>(draft.handle), at, out + at,
                                 static_cast<std::size_t>(draft.length - at));
    if (got <= 0) return false;
    at += static_cast<std::uint64_t>(got);
  }
  return true;
}

NewFileStatus WriteNewFileInPlace(const fs::path& path, const unsigned char* data,
                                  std::size_t length) {
  const fs::path system = ExtendedLengthPath(path);
  const HANDLE h = CreateFileW(system.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE)
    return NameTaken(GetLastError(), path) ? NewFileStatus::Exists : NewFileStatus::Failed;
  const bool written = WriteAll(h, data, length) && FlushFileBuffers(h);
  if (CloseHandle(h) && written) return NewFileStatus::Created;
  // Where the folder refuses this too, the cut file stays: the one thing this way
  // can't promise.
  DeleteFileW(system.c_str());
  return NewFileStatus::Failed;
}

// NTFS journals a name with the file system's metadata as it is made; the
// files' own data is flushed before each gets its name.
void FlushFolder(const fs::path&) {}
