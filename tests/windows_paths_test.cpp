// Windows path forms, run under Wine: separators, drives, letter case, length.
#include <windows.h>

#include <algorithm>
#include <vector>

#include "engine/compress.h"
#include "engine/file_system.h"
#include "engine/machine.h"
#include "engine/utf8.h"
#include "input/collect.h"
#include "input/folder_list.h"
#include "tests/test_support.h"

namespace {

class WindowsPathTest : public TempDirTest {
 protected:
  CompressResult Compress(const fs::path& input, const fs::path& outputDir) {
    CompressResult r;
    r.success = CompressImageFile(input, outputDir, 80, &r);
    return r;
  }
};

// A name as it is spelled, past Win32's normalisation: to a usual path "nul.jpg"
// is the NUL device (Windows 10, and Wine) and "dir." is "dir".
std::wstring Verbatim(const fs::path& absolute) { return L"\\\\?\\" + absolute.native(); }

void WriteVerbatim(const fs::path& absolute, const std::string& bytes) {
  HANDLE h = CreateFileW(Verbatim(absolute).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE) << WideToUtf8ForTest(absolute.native());
  DWORD written = 0;
  WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  CloseHandle(h);
}

std::wstring WithSlashes(std::wstring path) {
  for (wchar_t& c : path)
    if (c == L'\\') c = L'/';
  return path;
}

}  // namespace

TEST_F(WindowsPathTest, BackslashAndForwardSlashPathsBothWork) {
  fs::create_directories(dir_ / L"in" / L"sub");
  MakePng(dir_ / L"in" / L"sub" / L"a.png", 8, 8, 3);
  fs::create_directories(dir_ / L"out");
  const std::wstring back = dir_.native() + L"\\in\\sub\\a.png";
  const std::wstring forward = WithSlashes(back);
  CompressResult r1 = Compress(back, dir_.native() + L"\\out");
  ASSERT_TRUE(r1.success) << r1.errorText;
  EXPECT_EQ(r1.outputPath.native(), dir_.native() + L"\\out\\a.png");
  CompressResult r2 = Compress(forward, WithSlashes(dir_.native()) + L"/out/");
  ASSERT_TRUE(r2.success) << r2.errorText;
  EXPECT_EQ(r2.outputPath.native(), WithSlashes(dir_.native()) + L"/out/a_1.png");

  ImageList list;
  EXPECT_EQ(CollectImages(WithSlashes(dir_.native()) + L"/in", true, &list), 1u);
  std::error_code ec;
  EXPECT_TRUE(CreateOutputFolder(WithSlashes(dir_.native()) + L"/made/one\\two", &ec));
  EXPECT_TRUE(fs::is_directory(dir_ / L"made" / L"one" / L"two"));
}

TEST_F(WindowsPathTest, ADriveLetterAloneMeansThatDrivesCurrentFolder) {
  MakePng(dir_ / L"a.png", 8, 8, 3);
  fs::create_directories(dir_ / L"out");
  fs::path previous = fs::current_path();
  fs::current_path(dir_ / L"out");
  const std::wstring drive = dir_.native().substr(0, 2);  // such as "C:"
  CompressResult r = Compress(dir_ / L"a.png", drive);
  fs::current_path(previous);
  ASSERT_TRUE(r.success) << r.errorText;
  EXPECT_EQ(r.outputPath.native(), drive + L"a.png");
  EXPECT_TRUE(fs::exists(dir_ / L"out" / L"a.png"));

  CompressResult absolute = Compress(dir_ / L"a.png", dir_.native() + L"\\out");
  EXPECT_EQ(absolute.outputPath.filename(), fs::path(L"a_1.png"));
}

TEST_F(WindowsPathTest, NamesDifferingOnlyInCaseAreTheSameFile) {
  fs::create_directories(dir_ / L"out");
  WriteBytes(dir_ / L"out" / L"photo.jpg", "existing");
  MakeJpeg(dir_ / L"Photo.JPG", 8, 8, 3);
  CompressResult r = Compress(dir_ / L"Photo.JPG", dir_ / L"out");
  ASSERT_TRUE(r.success) << r.errorText;
  EXPECT_EQ(r.outputPath.filename(), fs::path(L"Photo_1.JPG"));
  EXPECT_EQ(ReadBytes(dir_ / L"out" / L"photo.jpg"), "existing");
}

TEST_F(WindowsPathTest, ChineseAndEmojiFolderNames) {
  fs::path folder = dir_ / L"相册😀";
  fs::create_directories(folder / L"输出");
  MakePng(folder / L"照片😀.png", 9, 9, 4);
  CompressResult r = Compress(folder / L"照片😀.png", folder / L"输出");
  ASSERT_TRUE(r.success) << r.errorText;
  EXPECT_EQ(r.outputPath, folder / L"输出" / L"照片😀.png");
  EXPECT_TRUE(fs::exists(r.outputPath));
}

TEST_F(WindowsPathTest, PathsOf1024UnitsOrMoreFailLikeTheLibrary) {
  // Grow a folder chain until its path is over 1024 UTF-16 units.
  fs::path deep = dir_;
  while (deep.native().size() < 1030) deep /= std::wstring(120, L'd');
  fs::create_directories(deep);
  MakePng(deep / L"a.png", 4, 4, 3);
  ASSERT_TRUE(fs::exists(deep / L"a.png"));
  fs::create_directories(dir_ / L"out");
  EXPECT_EQ(Compress(deep / L"a.png", dir_ / L"out").errorText, "Unable to open file");

  MakePng(dir_ / L"b.png", 4, 4, 3);
  CompressResult write = Compress(dir_ / L"b.png", deep);
  EXPECT_EQ(write.errorText, "写入失败");
  EXPECT_EQ(write.outputPath, deep / L"b.png");
  EXPECT_FALSE(fs::exists(deep / L"b.png"));
}

TEST_F(WindowsPathTest, APathWithoutUtf8FormFailsThatFileOnly) {
  std::wstring name = L"x";
  name += static_cast<wchar_t>(0xD800);  // an unpaired surrogate
  name += L".png";
  std::string utf8;
  EXPECT_FALSE(PathToUtf8(dir_ / name, &utf8));
  EXPECT_NE(PathToDisplayUtf8(dir_ / name).find("\xEF\xBF\xBD"), std::string::npos);
  CompressResult r = Compress(dir_ / name, dir_);
  EXPECT_FALSE(r.success);
  EXPECT_FALSE(r.errorText.empty());
}

TEST_F(WindowsPathTest, EveryListedImageIsKeptWhateverItsName) {
  // The listing says these are files. A Win32 path takes "nul.jpg" and "aux.jpg"
  // for devices: asked about again that way, they would leave the list unseen.
  const std::vector<std::wstring> names{L"nul.jpg", L"aux.jpg", L"ok.jpg"};
  for (const std::wstring& name : names) WriteVerbatim(dir_ / name, "x");
  ImageList list;
  EXPECT_EQ(CollectImages(dir_, false, &list), 3u);
  for (const std::wstring& name : names) DeleteFileW(Verbatim(dir_ / name).c_str());
}

TEST_F(WindowsPathTest, AFolderNamedWithATrailingDotIsItsOwnFolder) {
  // Such folders come from WSL, a NAS or an unzip tool. A Win32 path trims the
  // dot: read that way, "dir." is "dir", its own images never read, dir's twice.
  fs::create_directories(dir_ / L"in" / L"dir");
  ASSERT_TRUE(CreateDirectoryW(Verbatim(dir_ / L"in" / L"dir.").c_str(), nullptr));
  MakePng(dir_ / L"in" / L"dir" / L"a.png", 8, 8, 3);
  MakePng(dir_ / L"b.png", 9, 9, 3);
  ASSERT_TRUE(MoveFileW(Verbatim(dir_ / L"b.png").c_str(),
                        Verbatim(dir_ / L"in" / L"dir." / L"b.png").c_str()));
  ImageList list;
  EXPECT_EQ(CollectImages(dir_ / L"in", true, &list), 2u);
  fs::create_directories(dir_ / L"out");
  for (const fs::path& image : list) {
    CompressResult r = Compress(image, dir_ / L"out");
    EXPECT_TRUE(r.success) << r.errorText;
    EXPECT_EQ(r.outputPath.filename(), image.filename());
    EXPECT_EQ(r.width, image.filename() == L"a.png" ? 8 : 9);
  }
  DeleteFileW(Verbatim(dir_ / L"in" / L"dir." / L"b.png").c_str());
  RemoveDirectoryW(Verbatim(dir_ / L"in" / L"dir.").c_str());
}

TEST_F(WindowsPathTest, AnOutputNameHoldingAColonIsRefused) {
  // On NTFS "a.txt:x.jpg" is a stream of the file a.txt: the photo would hide
  // inside another file, made for it. (Wine makes a file of that name instead.)
  const unsigned char bytes[] = {1, 2, 3};
  EXPECT_EQ(WriteNewFile(dir_ / L"a.txt:x.jpg", bytes, sizeof bytes, 0), NewFileStatus::Failed);
  EXPECT_TRUE(fs::is_empty(dir_));
}

// Wine cannot make a junction or a cloud placeholder, so the walk's rule is
// checked on the attributes and tags Windows lists them with.
TEST(IsFolderToEnter, OnlyNameSurrogatesAreNotEntered) {
  const DWORD folder = FILE_ATTRIBUTE_DIRECTORY;
  const DWORD reparse = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT;
  EXPECT_TRUE(IsFolderToEnter(folder, 0));
  EXPECT_FALSE(IsFolderToEnter(FILE_ATTRIBUTE_ARCHIVE, 0));
  EXPECT_FALSE(IsFolderToEnter(reparse, IO_REPARSE_TAG_SYMLINK));
  EXPECT_FALSE(IsFolderToEnter(reparse, IO_REPARSE_TAG_MOUNT_POINT));  // a junction
  EXPECT_TRUE(IsFolderToEnter(reparse, IO_REPARSE_TAG_CLOUD_3));      // OneDrive, files on demand
  EXPECT_TRUE(IsFolderToEnter(reparse, IO_REPARSE_TAG_CLOUD));
  EXPECT_FALSE(IsFolderToEnter(reparse, 0));  // how Wine lists a Unix link to a folder
}

// Wine has no network shares: what is never made is checked on the path forms.
// The form every file call gets. Windows 10's devices ("nul.jpg") and its
// other normalisations can't all be shown under Wine: the path built is.
TEST(ExtendedLengthPath, KeepsEveryNameAsSpelled) {
  const std::wstring cwd = fs::current_path().native();
  const std::wstring drive = cwd.substr(0, 2);
  const std::wstring parent = fs::current_path().parent_path().native();
  const std::vector<std::pair<std::wstring, std::wstring>> cases{
      {L"C:\\photos\\nul.jpg", L"\\\\?\\C:\\photos\\nul.jpg"},
      {L"C:/photos/./dir./x/../a .jpg", L"\\\\?\\C:\\photos\\dir.\\a .jpg"},
      {L"C:\\..\\photos\\", L"\\\\?\\C:\\photos"},
      {L"\\\\nas\\photos\\aux.png", L"\\\\?\\UNC\\nas\\photos\\aux.png"},
      {L"\\\\?\\C:\\kept\\..", L"\\\\?\\C:\\kept\\.."},
      {L"sub\\a.png", L"\\\\?\\" + cwd + L"\\sub\\a.png"},
      {L"..\\a.png", L"\\\\?\\" + parent + L"\\a.png"},
      {drive + L"a.png", L"\\\\?\\" + cwd + L"\\a.png"},
      {L"\\a.png", L"\\\\?\\" + drive + L"\\a.png"},
      // Wine gives "Z:" as its current folder with a trailing backslash.
      {drive + L"..\\a.png", L"\\\\?\\" + parent + L"\\a.png"},
  };
  for (const auto& [given, expected] : cases)
    EXPECT_EQ(ExtendedLengthPath(given).native(), expected) << WideToUtf8ForTest(given);
}

// Typed paths as cmd and Explorer read them ("Naming Files, Paths, and
// Namespaces"; Win32's path normalization), which Wine's own calls don't all
// follow.
TEST(ReadTypedPath, FollowsWin32Rules) {
  const std::vector<std::pair<std::wstring, std::wstring>> cases{
      {L"pics.", L"pics"},
      {L"pics \\a.png. ", L"pics\\a.png"},
      {L"a/b/./../c/", L"a\\c"},
      {L"..\\..\\pics", L"..\\..\\pics"},
      {L"Z:..\\pics", L"Z:..\\pics"},
      {L"C:\\..\\x\\", L"C:\\x"},
      {L"/photos/", L"\\photos"},
      {L"//?/C:/x/../y", L"\\\\.\\C:\\y"},
      {L"//./C:/y.", L"\\\\.\\C:\\y"},
      {L"\\\\?\\C:\\kept.\\..", L"\\\\?\\C:\\kept.\\.."},
      {L"\\\\nas\\share\\..\\x", L"\\\\nas\\share\\x"},
      {L".", L"."},
      {L"sub\\..", L"."},
  };
  for (const auto& [typed, read] : cases)
    EXPECT_EQ(ReadTypedPath(typed).native(), read) << WideToUtf8ForTest(typed);
}

TEST(NamesADevice, ReservedNamesWithOrWithoutAnExtension) {
  for (const wchar_t* device : {L"nul", L"AUX", L"out\\con.txt", L"C:\\COM1", L"lpt9 ", L"conout$"})
    EXPECT_TRUE(NamesADevice(device)) << WideToUtf8ForTest(device);
  for (const wchar_t* folder : {L"null", L"out", L"com10", L"aux2\\x", L"C:", L"my nul"})
    EXPECT_FALSE(NamesADevice(folder)) << WideToUtf8ForTest(folder);
}

TEST_F(WindowsPathTest, AShortNameIsReadAsItsLongName) {
  fs::create_directories(dir_ / L"My Holiday Photos");
  MakePng(dir_ / L"My Holiday Photos" / L"vacation photo 2023.png", 8, 8, 3);
  std::wstring shortForm(1024, L'\0');
  const std::wstring longForm = (dir_ / L"My Holiday Photos" / L"vacation photo 2023.png").native();
  shortForm.resize(GetShortPathNameW(longForm.c_str(), shortForm.data(), 1024));
  ASSERT_NE(fs::path(shortForm).filename(), L"vacation photo 2023.png");
  EXPECT_EQ(ReadTypedPath(shortForm).filename(), L"vacation photo 2023.png");
}

TEST(IsRootFolder, DrivesSharesAndServersAreNeverMade) {
  for (const wchar_t* root : {L"C:", L"C:\\", L"\\", L"\\\\nas\\photos", L"//nas/photos", L"\\\\nas"})
    EXPECT_TRUE(IsRootFolder(root)) << WideToUtf8ForTest(root);
  for (const wchar_t* folder : {L"C:sub", L"C:\\sub", L"\\\\nas\\photos\\out", L"\\\\nas\\photos\\", L"out"})
    EXPECT_FALSE(IsRootFolder(folder)) << WideToUtf8ForTest(folder);
}

TEST_F(WindowsPathTest, AnOutputBeingWrittenTakesItsNameAndVanishesIfNeverFinished) {
  // What another run's unfinished output looks like: created, marked
  // delete-on-close. Its name is taken (Windows answers "access denied", Wine
  // "file exists"), and closing without clearing the mark, as the system does for
  // a process that dies, leaves nothing.
  MakePng(dir_ / L"a.png", 4, 4, 3);
  HANDLE h = CreateFileW((dir_ / L"out.png").c_str(), GENERIC_WRITE | DELETE, 0, nullptr,
                         CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  FILE_DISPOSITION_INFO remove = {TRUE};
  ASSERT_TRUE(SetFileInformationByHandle(h, FileDispositionInfo, &remove, sizeof remove));
  int systemError = 0;
  EXPECT_EQ(QueryNameState(dir_ / L"out.png", &systemError), NameState::Taken);
  const unsigned char bytes[] = {1, 2, 3};
  EXPECT_EQ(WriteNewFile(dir_ / L"out.png", bytes, sizeof bytes, 0), NewFileStatus::Exists);
  CloseHandle(h);
  EXPECT_FALSE(fs::exists(dir_ / L"out.png"));
  EXPECT_EQ(WriteNewFile(dir_ / L"out.png", bytes, sizeof bytes, 0), NewFileStatus::Created);
  EXPECT_EQ(ReadBytes(dir_ / L"out.png"), std::string("\1\2\3", 3));
}

namespace {

// The names and actions of one batch of the folder's change notifications.
void ReadChanges(const unsigned char* at, std::vector<std::pair<DWORD, std::wstring>>* changes) {
  for (;;) {
    const auto* change = reinterpret_cast<const FILE_NOTIFY_INFORMATION*>(at);
    changes->emplace_back(change->Action, std::wstring(change->FileName,
                                                       change->FileNameLength / sizeof(wchar_t)));
    if (change->NextEntryOffset == 0) return;
    at += change->NextEntryOffset;
  }
}

}  // namespace

TEST_F(WindowsPathTest, AnOutputTakesItsNameOnlyWhenWhole) {
  // Wine can't cut the power or kill a run at the right moment; the folder's
  // own notifications show how the name came: a hidden temporary file written,
  // flushed and then renamed, never a file created under the output's name.
  const HANDLE folder = CreateFileW(dir_.c_str(), FILE_LIST_DIRECTORY,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OVERLAPPED,
                                    nullptr);
  ASSERT_NE(folder, INVALID_HANDLE_VALUE);
  OVERLAPPED overlapped = {};
  overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  alignas(DWORD) static unsigned char buffer[16384];
  auto watch = [&] {
    ResetEvent(overlapped.hEvent);
    return ReadDirectoryChangesW(folder, buffer, sizeof buffer, FALSE,
                                 FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_ATTRIBUTES,
                                 nullptr, &overlapped, nullptr);
  };
  ASSERT_TRUE(watch());
  const unsigned char bytes[] = {1, 2, 3};
  ASSERT_EQ(WriteNewFile(dir_ / L"a.png", bytes, sizeof bytes, 0), NewFileStatus::Created);
  std::vector<std::pair<DWORD, std::wstring>> changes;
  auto named = [&] {
    return std::find_if(changes.begin(), changes.end(),
                        [](const auto& change) { return change.second == L"a.png"; });
  };
  // Shown (its hidden attribute cleared) only once it has its name: a run killed
  // before leaves no visible temporary file. Wine can't kill a run at the right
  // moment; the order of the notices shows it.
  auto shown = [&] {
    return named() != changes.end() &&
           std::find_if(named(), changes.end(), [](const auto& change) {
             return change.second == L"a.png" && change.first == FILE_ACTION_MODIFIED;
           }) != changes.end();
  };
  while (!shown()) {
    // A bound against hanging, not a measure: the notice comes at once.
    ASSERT_EQ(WaitForSingleObject(overlapped.hEvent, 60000), WAIT_OBJECT_0) << "no notice of a.png";
    DWORD got = 0;
    ASSERT_TRUE(GetOverlappedResult(folder, &overlapped, &got, FALSE));
    ASSERT_GT(got, 0u) << "the notices overflowed the buffer";
    ReadChanges(buffer, &changes);
    if (!shown()) {
      ASSERT_TRUE(watch());
    }
  }
  CancelIo(folder);
  CloseHandle(overlapped.hEvent);
  CloseHandle(folder);
  EXPECT_EQ(named()->first, static_cast<DWORD>(FILE_ACTION_RENAMED_NEW_NAME));
  EXPECT_EQ(ReadBytes(dir_ / L"a.png"), std::string("\1\2\3", 3));
  EXPECT_EQ(GetFileAttributesW((dir_ / L"a.png").c_str()) & FILE_ATTRIBUTE_HIDDEN, 0u);
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_), {}), 1);  // no temporary left
}

TEST_F(WindowsPathTest, WhereDeleteIsRefusedTheOutputIsWrittenInPlace) {
  // A folder granting "Write" but not "Modify" (a drop box) refuses DELETE on the
  // files made in it, so no temporary file can be renamed there. Wine enforces no
  // such rights: the way WriteNewFile then takes is forced here.
  const unsigned char bytes[] = {1, 2, 3};
  EXPECT_EQ(WriteNewFileInPlace(dir_ / L"a.png", bytes, sizeof bytes), NewFileStatus::Created);
  EXPECT_EQ(WriteNewFileInPlace(dir_ / L"a.png", bytes, 1), NewFileStatus::Exists);
  EXPECT_EQ(ReadBytes(dir_ / L"a.png"), std::string("\1\2\3", 3));
  // A write that fails (here from memory it may not read) takes its file away.
  void* unreadable = VirtualAlloc(nullptr, 4096, MEM_COMMIT | MEM_RESERVE, PAGE_NOACCESS);
  ASSERT_NE(unreadable, nullptr);
  EXPECT_EQ(WriteNewFileInPlace(dir_ / L"b.png", static_cast<unsigned char*>(unreadable), 4096),
            NewFileStatus::Failed);
  VirtualFree(unreadable, 0, MEM_RELEASE);
  EXPECT_FALSE(fs::exists(dir_ / L"b.png"));
}

TEST_F(WindowsPathTest, RecursionSkipsFoldersBothHiddenAndSystem) {
  // "-r E:\" on a camera card must not compress the photos in its recycle bin.
  for (const wchar_t* folder : {L"$RECYCLE.BIN", L"hidden", L"system"})
    fs::create_directories(dir_ / folder);
  WriteBytes(dir_ / L"$RECYCLE.BIN" / L"deleted.jpg", "x");
  WriteBytes(dir_ / L"hidden" / L"a.jpg", "x");
  WriteBytes(dir_ / L"system" / L"b.jpg", "x");
  ASSERT_TRUE(SetFileAttributesW((dir_ / L"$RECYCLE.BIN").c_str(),
                                 FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM));
  ASSERT_TRUE(SetFileAttributesW((dir_ / L"hidden").c_str(), FILE_ATTRIBUTE_HIDDEN));
  ASSERT_TRUE(SetFileAttributesW((dir_ / L"system").c_str(), FILE_ATTRIBUTE_SYSTEM));
  ImageList list;
  CollectImages(dir_, true, &list);
  std::vector<fs::path> names;
  for (const fs::path& image : list) names.push_back(image.filename());
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<fs::path>{L"a.jpg", L"b.jpg"}));
}

// Wine reports as much room to commit as physical memory available; Windows
// can have far less (a small page file), so the rule is checked on its figures.
TEST(RoomInMemoryStatus, TheLeastOfPhysicalCommitAndAddressSpace) {
  const std::uint64_t GiB = std::uint64_t{1} << 30;
  EXPECT_EQ(RoomInMemoryStatus(8 * GiB, 1 * GiB, 131072 * GiB), 1 * GiB);
  EXPECT_EQ(RoomInMemoryStatus(2 * GiB, 6 * GiB, 131072 * GiB), 2 * GiB);
  EXPECT_EQ(RoomInMemoryStatus(8 * GiB, 6 * GiB, 3 * GiB), 3 * GiB);
}
