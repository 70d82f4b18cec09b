// The main dialog: its initial state, the file list, the pickers and closing.
#include <shlobj.h>

#include <algorithm>

#include "gui/file_list.h"
#include "gui/texts.h"
#include "tests/gui_fixture.h"

namespace {

std::wstring ColumnHeader(HWND list, int column, int* width) {
  wchar_t text[64] = L"";
  LVCOLUMNW info = {};
  info.mask = LVCF_TEXT | LVCF_WIDTH;
  info.pszText = text;
  info.cchTextMax = 64;
  SendMessageW(list, LVM_GETCOLUMNW, column, reinterpret_cast<LPARAM>(&info));
  *width = info.cx;
  return text;
}

std::wstring PicturesFolder() {
  wchar_t path[MAX_PATH];
  if (SHGetFolderPathW(nullptr, CSIDL_MYPICTURES, nullptr, SHGFP_TYPE_CURRENT, path) < 0) return {};
  return path;
}

// A drop as the shell hands it to the window (a DROPFILES block of wide paths);
// the dialog must always release it, so the handle is dead afterwards.
void Drop(HWND dialog, const std::vector<fs::path>& paths) {
  std::wstring list;
  for (const fs::path& path : paths) list += W(path) + L'\0';
  const size_t bytes = sizeof(DROPFILES) + (list.size() + 1) * sizeof(wchar_t);
  HGLOBAL drop = GlobalAlloc(GHND, bytes);
  auto* header = static_cast<DROPFILES*>(GlobalLock(drop));
  header->pFiles = sizeof(DROPFILES);
  header->fWide = TRUE;
  memcpy(header + 1, list.c_str(), (list.size() + 1) * sizeof(wchar_t));
  GlobalUnlock(drop);
  SendMessageW(dialog, WM_DROPFILES, reinterpret_cast<WPARAM>(drop), 0);
  EXPECT_EQ(GlobalSize(drop), 0u) << "the drop was not released";
}

}  // namespace

TEST_F(DialogTest, StartsWithEveryControlInItsInitialState) {
  wchar_t caption[64];
  GetWindowTextW(dialog_, caption, 64);
  EXPECT_STREQ(caption, L"Quillmar工具");
  EXPECT_EQ(Send(IDC_QUALITY, TBM_GETRANGEMIN), 0);
  EXPECT_EQ(Send(IDC_QUALITY, TBM_GETRANGEMAX), 100);
  EXPECT_EQ(Send(IDC_QUALITY, TBM_GETPOS), 80);
  EXPECT_EQ(Text(IDC_QUALITY_VALUE), L"80");
  EXPECT_EQ(Text(IDC_ESTIMATE), L"预计: --");
  EXPECT_EQ(Text(IDC_STATUS), L"状态: 就绪");
  EXPECT_EQ(Text(IDC_LOG), L"");
  EXPECT_EQ(Send(IDC_PROGRESS, PBM_GETPOS), 0);
  EXPECT_EQ(Send(IDC_PROGRESS, PBM_GETRANGE, TRUE), 0);
  EXPECT_EQ(Send(IDC_PROGRESS, PBM_GETRANGE, FALSE), 100);
  EXPECT_EQ(Send(IDC_RECURSIVE, BM_GETCHECK), BST_UNCHECKED);
  EXPECT_EQ(RowCount(), 0);
  EXPECT_EQ(Send(IDC_FILE_LIST, LVM_GETEXTENDEDLISTVIEWSTYLE),
            LVS_EX_FULLROWSELECT | LVS_EX_GRIDLINES);

  HWND list = GetDlgItem(dialog_, IDC_FILE_LIST);
  const struct { const wchar_t* header; int width; } columns[] = {
      {L"文件名", 190}, {L"路径", 220}, {L"状态", 70}};
  for (int i = 0; i < 3; ++i) {
    int width = 0;
    EXPECT_EQ(ColumnHeader(list, i, &width), columns[i].header);
    EXPECT_EQ(width, columns[i].width);
  }
  const std::wstring pictures = PicturesFolder();
  ASSERT_FALSE(pictures.empty());
  EXPECT_EQ(Text(IDC_OUTPUT_DIR), pictures + L"\\Quillmar输出");
  // The folder is made only when a batch starts, never by opening the dialog.
  std::error_code ec;
  fs::remove_all(pictures + L"\\Quillmar输出", ec);
  HWND another = CreateDialogParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDD_MAIN), nullptr, MainDialogProc, 0);
  EXPECT_FALSE(fs::exists(pictures + L"\\Quillmar输出"));
  DestroyWindow(another);
  MainDialogWindow = dialog_;

  const struct { int id; const wchar_t* text; } buttons[] = {
      {IDC_ADD_FILES, L"添加图片..."}, {IDC_ADD_FOLDER, L"添加文件夹..."},
      {IDC_CLEAR_LIST, L"清空列表"},   {IDC_BROWSE_OUTPUT, L"浏览..."},
      {IDC_RECURSIVE, L"递归子文件夹"}, {IDC_START, L"开始压缩"}, {IDCANCEL, L"退出"}};
  for (const auto& b : buttons) {
    EXPECT_EQ(Text(b.id), b.text);
    EXPECT_TRUE(IsWindowEnabled(GetDlgItem(dialog_, b.id)));
  }
  EXPECT_NE(SendMessageW(dialog_, WM_GETICON, ICON_BIG, 0), 0);
}

TEST_F(DialogTest, SliderLabelFollowsEveryPosition) {
  for (int position : {0, 100, 37, 80}) {
    MoveQuality(position);
    EXPECT_EQ(Text(IDC_QUALITY_VALUE), std::to_wstring(position));
  }
}

TEST_F(DialogTest, AddedPathsBecomeRowsAndTheTotalIsShown) {
  AddPathsToList({L"C:\\photos\\a.jpg", L"C:\\photos\\sub\\B.PNG", L"D:/x/y/c.jpeg"});
  ASSERT_EQ(RowCount(), 3);
  EXPECT_EQ(RowText(0, 0), L"a.jpg");
  EXPECT_EQ(RowText(0, 1), L"C:\\photos\\a.jpg");
  EXPECT_EQ(RowText(0, 2), L"待处理");
  EXPECT_EQ(RowText(1, 0), L"B.PNG");
  EXPECT_EQ(RowText(2, 0), L"c.jpeg");
  EXPECT_EQ(RowText(2, 1), L"D:/x/y/c.jpeg");
  EXPECT_EQ(Text(IDC_STATUS), L"共 3 张图片");

  AddPathsToList({L"C:\\photos\\a.jpg", L"C:\\more\\d.png"});  // the same file twice is fine
  ASSERT_EQ(RowCount(), 5);
  EXPECT_EQ(RowText(3, 1), L"C:\\photos\\a.jpg");
  EXPECT_EQ(Text(IDC_STATUS), L"共 5 张图片");
  EXPECT_EQ(State()->files.size(), 5u);
  EXPECT_EQ(Send(IDC_FILE_LIST, LVM_GETNEXTITEM, static_cast<WPARAM>(-1), LVNI_SELECTED), -1);
}

TEST_F(DialogTest, ClearingEmptiesTheListButKeepsLogAndProgress) {
  AddPathsToList({L"C:\\a.jpg", L"C:\\b.jpg"});
  Send(IDC_PROGRESS, PBM_SETPOS, 40);
  SetDlgItemTextW(dialog_, IDC_LOG, L"earlier line\r\n");
  SetDlgItemTextW(dialog_, IDC_ESTIMATE, L"预计: 1.0 KB");
  Click(IDC_CLEAR_LIST);
  EXPECT_EQ(RowCount(), 0);
  EXPECT_TRUE(State()->files.empty());
  EXPECT_EQ(Text(IDC_STATUS), L"状态: 就绪");
  EXPECT_EQ(Text(IDC_ESTIMATE), L"预计: --");
  EXPECT_EQ(Text(IDC_LOG), L"earlier line\r\n");
  EXPECT_EQ(Send(IDC_PROGRESS, PBM_GETPOS), 40);
}

TEST_F(DialogTest, WhileBusyEveryQueueCommandDoesNothing) {
  AddPathsToList({L"C:\\a.jpg"});
  SetDlgItemTextW(dialog_, IDC_OUTPUT_DIR, W(dir_ / L"out").c_str());
  State()->busy = true;
  // No picker may open: if one did, answer it so the test cannot hang, and say so.
  WindowAnswer files, folder, output;
  AnswerPicker(&files, L"选择要压缩的图片", {}, 1500);
  AnswerPicker(&folder, L"选择包含图片的文件夹", {}, 1500);
  AnswerPicker(&output, L"选择输出文件夹", {}, 1500);
  for (int id : {IDC_ADD_FILES, IDC_ADD_FOLDER, IDC_CLEAR_LIST, IDC_BROWSE_OUTPUT, IDC_START})
    Click(id);
  files.Join();
  folder.Join();
  output.Join();
  EXPECT_FALSE(files.seen || folder.seen || output.seen);
  EXPECT_EQ(RowCount(), 1);
  EXPECT_EQ(RowText(0, 2), L"待处理");
  EXPECT_EQ(Text(IDC_LOG), L"");
  EXPECT_FALSE(fs::exists(dir_ / L"out"));

  WindowAnswer refusal;
  AnswerMessageBox(&refusal, L"提示");
  Click(IDCANCEL);
  refusal.Join();
  EXPECT_EQ(refusal.text, L"正在压缩, 请等待完成后再退出。");
  EXPECT_TRUE(IsWindowVisible(dialog_));
  State()->busy = false;
}

TEST_F(DialogTest, FilePickerQueuesOneOrSeveralFiles) {
  MakePng(dir_ / L"a.png", 8, 8, 3);
  MakeJpeg(dir_ / L"b.jpg", 8, 8, 3);
  WriteBytes(dir_ / L"notes.txt", "x");
  WindowAnswer one;
  AnswerPicker(&one, L"选择要压缩的图片", {W(dir_ / L"a.png")});
  Click(IDC_ADD_FILES);
  one.Join();
  ASSERT_TRUE(one.seen);
  ASSERT_EQ(RowCount(), 1);
  EXPECT_EQ(RowText(0, 1), W(dir_ / L"a.png"));

  WindowAnswer several;
  AnswerPicker(&several, L"选择要压缩的图片", {W(dir_), L"\"b.jpg\" \"notes.txt\""});
  Click(IDC_ADD_FILES);
  several.Join();
  ASSERT_EQ(RowCount(), 3);
  std::vector<std::wstring> added = {RowText(1, 0), RowText(2, 0)};
  std::sort(added.begin(), added.end());
  EXPECT_EQ(added, (std::vector<std::wstring>{L"b.jpg", L"notes.txt"}));
  EXPECT_EQ(Text(IDC_STATUS), L"共 3 张图片");

  WindowAnswer cancelled;
  AnswerPicker(&cancelled, L"选择要压缩的图片", {});
  Click(IDC_ADD_FILES);
  cancelled.Join();
  EXPECT_TRUE(cancelled.seen);
  EXPECT_EQ(RowCount(), 3);
}

TEST_F(DialogTest, FolderPickerFollowsTheRecursionBox) {
  fs::create_directories(dir_ / L"album" / L"sub");
  MakePng(dir_ / L"album" / L"sub" / L"deep.png", 8, 8, 3);
  WriteBytes(dir_ / L"album" / L"readme.txt", "x");

  WindowAnswer picker, info;
  AnswerPicker(&picker, L"选择包含图片的文件夹", {W(dir_ / L"album")});
  AnswerMessageBox(&info, L"提示");
  Click(IDC_ADD_FOLDER);
  picker.Join();
  info.Join();
  EXPECT_EQ(info.text, L"该文件夹中没有找到 JPG / PNG 图片。");
  EXPECT_EQ(RowCount(), 0);

  Send(IDC_RECURSIVE, BM_SETCHECK, BST_CHECKED);
  WindowAnswer again;
  AnswerPicker(&again, L"选择包含图片的文件夹", {W(dir_ / L"album")});
  Click(IDC_ADD_FOLDER);
  again.Join();
  ASSERT_EQ(RowCount(), 1);
  EXPECT_EQ(RowText(0, 0), L"deep.png");
  EXPECT_EQ(fs::path(RowText(0, 1)), dir_ / L"album" / L"sub" / L"deep.png");

  Send(IDC_RECURSIVE, BM_SETCHECK, BST_UNCHECKED);  // rows already queued stay
  EXPECT_EQ(RowCount(), 1);

  WindowAnswer cancelled;
  AnswerPicker(&cancelled, L"选择包含图片的文件夹", {});
  Click(IDC_ADD_FOLDER);
  cancelled.Join();
  EXPECT_TRUE(cancelled.seen);
  EXPECT_EQ(RowCount(), 1);
}

TEST_F(DialogTest, BrowseReplacesTheOutputFolderUnlessCancelled) {
  fs::create_directories(dir_ / L"输出");
  WindowAnswer picker;
  AnswerPicker(&picker, L"选择输出文件夹", {W(dir_ / L"输出")});
  Click(IDC_BROWSE_OUTPUT);
  picker.Join();
  EXPECT_EQ(fs::path(Text(IDC_OUTPUT_DIR)), dir_ / L"输出");

  WindowAnswer cancelled;
  AnswerPicker(&cancelled, L"选择输出文件夹", {});
  Click(IDC_BROWSE_OUTPUT);
  cancelled.Join();
  EXPECT_TRUE(cancelled.seen);
  EXPECT_EQ(fs::path(Text(IDC_OUTPUT_DIR)), dir_ / L"输出");
}

TEST_F(DialogTest, DropsAreQueuedAsThePickersQueueThem) {
  EXPECT_TRUE(GetWindowLongPtrW(dialog_, GWL_EXSTYLE) & WS_EX_ACCEPTFILES);
  fs::create_directories(dir_ / L"album" / L"sub");
  MakePng(dir_ / L"album" / L"sub" / L"deep.png", 8, 8, 3);
  MakeJpeg(dir_ / L"a.jpg", 8, 8, 3);
  WriteBytes(dir_ / L"notes.txt", "x");
  WindowAnswer info;
  AnswerMessageBox(&info, L"提示");
  Drop(dialog_, {dir_ / L"a.jpg", dir_ / L"album", dir_ / L"notes.txt"});
  info.Join();
  EXPECT_EQ(info.text, L"该文件夹中没有找到 JPG / PNG 图片。");
  ASSERT_EQ(RowCount(), 2);
  EXPECT_EQ(RowText(0, 1), W(dir_ / L"a.jpg"));
  EXPECT_EQ(RowText(1, 0), L"notes.txt");
  EXPECT_EQ(RowText(1, 2), L"待处理");

  Send(IDC_RECURSIVE, BM_SETCHECK, BST_CHECKED);
  Drop(dialog_, {dir_ / L"album", dir_ / L"a.jpg"});
  ASSERT_EQ(RowCount(), 4);
  EXPECT_EQ(RowText(2, 1), W(dir_ / L"album" / L"sub" / L"deep.png"));
  EXPECT_EQ(RowText(3, 1), W(dir_ / L"a.jpg"));
  EXPECT_EQ(Text(IDC_STATUS), L"共 4 张图片");

  State()->busy = true;  // like the disabled add buttons
  Drop(dialog_, {dir_ / L"a.jpg"});
  EXPECT_EQ(RowCount(), 4);
  State()->busy = false;
}

// The modal dialog as the program runs it: every way of closing an idle dialog
// ends it with 2.
TEST(ModalDialog, EveryWayOfClosingEndsWithTwo) {
  CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_LISTVIEW_CLASSES | ICC_BAR_CLASSES |
                                                        ICC_PROGRESS_CLASS};
  InitCommonControlsEx(&controls);
  const struct { UINT message; WPARAM wParam; const char* what; } ways[] = {
      {WM_COMMAND, IDCANCEL, "exit button"},
      {WM_CLOSE, 0, "close box"},
      {WM_SYSCOMMAND, SC_CLOSE, "Alt+F4"},
      {WM_KEYDOWN, VK_ESCAPE, "Esc"},
  };
  for (const auto& way : ways) {
    std::thread closer([&] {
      HWND dialog = nullptr;
      for (int i = 0; i < 500 && !(dialog = FindWindowW(L"#32770", L"Quillmar工具")); ++i) Sleep(20);
      Sleep(200);
      HWND target = way.message == WM_KEYDOWN ? GetDlgItem(dialog, IDC_FILE_LIST) : dialog;
      PostMessageW(target, way.message, way.wParam, 0);
    });
    INT_PTR result = DialogBoxParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDD_MAIN), nullptr, MainDialogProc, 0);
    closer.join();
    EXPECT_EQ(result, 2) << way.what;
  }
  CoUninitialize();
}

// Quillmar.exe itself without arguments, as a double click starts it, at 96 and at
// 192 DPI: its dialog and list come up, the columns are 190, 220 and 70 pixels
// scaled to the DPI, and closing ends it with 2. (Wine makes the list even without
// InitCommonControlsEx: quillmar_initialises_common_controls checks the call.)
TEST(RealProgram, OpensItsDialogWithColumnsForTheDisplayDpi) {
  HKEY desktop = nullptr;  // LogPixels is read by each new process at its start
  RegCreateKeyExW(HKEY_CURRENT_USER, L"Control Panel\\Desktop", 0, nullptr, 0, KEY_SET_VALUE,
                  nullptr, &desktop, nullptr);
  for (DWORD dpi : {96u, 192u}) {
    RegSetValueExW(desktop, L"LogPixels", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&dpi), 4);
    std::wstring command = L"\"" QUILLMAR_EXE L"\"";
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    ASSERT_TRUE(CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                               nullptr, &startup, &process));
    HWND window = nullptr;  // no dialog of this process is open here
    for (int i = 0; i < 1000 && !IsWindowVisible(window); ++i, Sleep(20))
      window = FindWindowW(L"#32770", L"Quillmar工具");
    HWND list = GetDlgItem(window, IDC_FILE_LIST);
    wchar_t listClass[32] = L"";
    GetClassNameW(list, listClass, 32);
    EXPECT_STREQ(listClass, L"SysListView32");
    const int widths[] = {190, 220, 70};
    for (int column : {0, 1, 2})
      EXPECT_EQ(SendMessageW(list, LVM_GETCOLUMNWIDTH, column, 0), widths[column] * dpi / 96) << dpi;
    PostMessageW(window, WM_COMMAND, IDCANCEL, 0);
    DWORD code = 0;
    WaitForSingleObject(process.hProcess, 20000);
    GetExitCodeProcess(process.hProcess, &code);
    EXPECT_EQ(code, 2u);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
  }
  RegDeleteValueW(desktop, L"LogPixels");
  RegCloseKey(desktop);
}

// What Explorer's Properties > Details and Task Manager read.
TEST(RealProgram, CarriesItsVersionInformation) {
  std::vector<char> info(4096);
  ASSERT_TRUE(GetFileVersionInfoW(L"" QUILLMAR_EXE, 0, info.size(), info.data()));
  auto value = [&](const std::wstring& key) -> void* {
    static wchar_t none[4] = {};
    void* found = nullptr;
    UINT length = 0;
    return VerQueryValueW(info.data(), key.c_str(), &found, &length) ? found : none;
  };
  auto text = [&](const wchar_t* name) {
    return std::wstring(static_cast<wchar_t*>(value(std::wstring(L"\\StringFileInfo\\080404B0\\") + name)));
  };
  EXPECT_EQ(text(L"FileDescription"), L"Quillmar工具");
  EXPECT_EQ(text(L"ProductName"), L"Quillmar工具");
  EXPECT_EQ(text(L"FileVersion"), L"" QUILLMAR_FILE_VERSION);
  EXPECT_EQ(text(L"ProductVersion"), L"" QUILLMAR_FILE_VERSION);
  EXPECT_EQ(*static_cast<DWORD*>(value(L"\\VarFileInfo\\Translation")), MAKELONG(0x0804, 1200));
}
