// The batch run from the dialog: rows, log, progress, summary and the files written.
#include <atomic>
#include <cmath>
#include <sstream>

#include "engine/compress.h"
#include "engine/display_text.h"
#include "gui/file_list.h"
#include "tests/gui_fixture.h"

namespace {

std::wstring Wide(const std::string& utf8) { return U8(utf8).native(); }

std::vector<std::wstring> Lines(const std::wstring& log) {
  std::vector<std::wstring> lines;
  std::wstringstream in(log);
  for (std::wstring line; std::getline(in, line);) {
    if (!line.empty() && line.back() == L'\r') line.pop_back();
    lines.push_back(line);
  }
  return lines;
}

// The log line the dialog writes for a file that succeeded.
std::wstring SuccessLine(int index, const fs::path& input, const fs::path& output, int w, int h,
                         const wchar_t* label) {
  const std::uint64_t in = fs::file_size(input), out = fs::file_size(output);
  const double ratio = in ? (1.0 - static_cast<double>(out) / static_cast<double>(in)) * 100.0 : 0.0;
  return L"[" + std::to_wstring(index) + L"] 成功 " + input.filename().native() + L" (" +
         std::to_wstring(w) + L"x" + std::to_wstring(h) + L" " + label + L") " +
         Wide(FormatSize(in)) + L" -> " + Wide(FormatSize(out)) + L", " +
         (ratio >= 0 ? L"节省 " : L"增大 ") + Wide(FormatFixed(std::fabs(ratio), 1)) + L"%  -> " +
         output.native();
}

// Windows refuses a post once the dialog thread's queue holds 10,000 messages;
// Wine never does. Stand in for a full queue through the program's import slot:
// the first post of each wake-up for a file's result fails.
extern "C" decltype(&PostMessageW) __imp_PostMessageW;
decltype(&PostMessageW) real_post = nullptr;
std::atomic<std::uint64_t> refused_rows{0};
BOOL WINAPI RefuseFirstPostOfEachRow(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  const std::uint64_t bit = std::uint64_t{1} << (wParam % 64);
  if (message == MSG_FILE_DONE && !(refused_rows.fetch_or(bit) & bit)) return FALSE;
  return real_post(window, message, wParam, lParam);
}

void RedirectPostMessage(decltype(&PostMessageW) to) {
  DWORD old = 0;
  VirtualProtect(&__imp_PostMessageW, sizeof to, PAGE_READWRITE, &old);
  __imp_PostMessageW = to;
}

class BatchTest : public DialogTest {
 protected:
  void Queue(const std::vector<fs::path>& paths) {
    ImageList list(paths.begin(), paths.end());
    AddPathsToList(list);
  }
  void SetOutput(const fs::path& folder) {
    SetDlgItemTextW(dialog_, IDC_OUTPUT_DIR, folder.native().c_str());
  }
};

}  // namespace

TEST_F(BatchTest, EveryFileGetsItsRowLogLineAndProgress) {
  MakePng(dir_ / L"a.png", 30, 20, 4);
  MakeJpeg(dir_ / L"b.jpg", 40, 24, 3);
  WriteBytes(dir_ / L"notes.txt", "hello");
  WriteBytes(dir_ / L"empty.jpg", "");
  MakePng(dir_ / L"照片.png", 12, 10, 2);
  Queue({dir_ / L"a.png", dir_ / L"notes.txt", dir_ / L"b.jpg", dir_ / L"empty.jpg", dir_ / L"照片.png"});
  const fs::path out = dir_ / L"out";
  SetOutput(out);
  MoveQuality(65);
  RunBatch();

  EXPECT_EQ(RowText(0, 2), L"成功");
  EXPECT_EQ(RowText(1, 2), L"失败");
  EXPECT_EQ(RowText(2, 2), L"成功");
  EXPECT_EQ(RowText(3, 2), L"失败");
  EXPECT_EQ(RowText(4, 2), L"成功");
  EXPECT_EQ(Send(IDC_PROGRESS, PBM_GETRANGE, FALSE), 5);
  EXPECT_EQ(Send(IDC_PROGRESS, PBM_GETPOS), 5);
  EXPECT_EQ(Text(IDC_STATUS), L"状态: 处理完成 - 共 5 张, 成功 3, 失败 2");

  const std::vector<std::wstring> expected = {
      L"开始压缩: 5 张图片, 质量 65, 输出目录: " + out.native(),
      SuccessLine(1, dir_ / L"a.png", out / L"a.png", 30, 20, L"RGBA(4通道)"),
      L"[2] 失败 notes.txt (不支持的格式)",
      SuccessLine(3, dir_ / L"b.jpg", out / L"b.jpg", 40, 24, L"RGB(3通道)"),
      L"[4] 失败 empty.jpg (Image not of any known type, or corrupt)",
      SuccessLine(5, dir_ / L"照片.png", out / L"照片.png", 12, 10, L"灰度+Alpha(2通道)"),
      L"====== 处理完成: 共 5 张, 成功 3, 失败 2 ======",
  };
  EXPECT_EQ(Lines(Log()), expected);

  // The same bytes the command line writes for the same files and quality.
  fs::create_directories(dir_ / L"reference");
  for (const wchar_t* name : {L"a.png", L"b.jpg", L"照片.png"}) {
    CompressResult r;
    ASSERT_TRUE(CompressImageFile(dir_ / name, dir_ / L"reference", 65, &r));
    EXPECT_EQ(ReadBytes(out / name), ReadBytes(r.outputPath)) << fs::path(name);
  }
  for (int id : {IDC_START, IDC_ADD_FILES, IDC_ADD_FOLDER, IDC_CLEAR_LIST, IDC_BROWSE_OUTPUT})
    EXPECT_TRUE(IsWindowEnabled(GetDlgItem(dialog_, id)));
}

TEST_F(BatchTest, BusyWhileRunningThenASecondBatchWritesNumberedNames) {
  // Enough work that the batch is still running when the checks below are made.
  std::vector<fs::path> files;
  for (int i = 0; i < 6; ++i) {
    files.push_back(dir_ / (L"big" + std::to_wstring(i) + L".png"));
    MakePng(files.back(), 900, 700, 3);
  }
  Queue(files);
  SetOutput(dir_ / L"out");
  SendMessageW(dialog_, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(GetDlgItem(dialog_, IDC_START)), TRUE);
  Click(IDC_START);
  ASSERT_TRUE(State()->busy);
  // Started with the mouse: the focus leaves the button before it is disabled, or
  // keys, Esc among them, would go nowhere on Windows.
  EXPECT_EQ(GetFocus(), GetDlgItem(dialog_, IDC_FILE_LIST));
  for (int id : {IDC_START, IDC_ADD_FILES, IDC_ADD_FOLDER, IDC_CLEAR_LIST, IDC_BROWSE_OUTPUT})
    EXPECT_FALSE(IsWindowEnabled(GetDlgItem(dialog_, id))) << id;
  for (int id : {IDC_FILE_LIST, IDC_QUALITY, IDC_OUTPUT_DIR, IDC_RECURSIVE, IDCANCEL})
    EXPECT_TRUE(IsWindowEnabled(GetDlgItem(dialog_, id))) << id;
  EXPECT_EQ(Text(IDC_STATUS), L"状态: 压缩中...");
  Click(IDC_CLEAR_LIST);  // dropped while busy
  EXPECT_EQ(RowCount(), 6);

  WindowAnswer refusal;
  AnswerMessageBox(&refusal, L"提示");
  Click(IDCANCEL);
  refusal.Join();
  EXPECT_EQ(refusal.text, L"正在压缩, 请等待完成后再退出。");
  EXPECT_TRUE(IsWindow(dialog_) && IsWindowVisible(dialog_));

  ASSERT_TRUE(PumpUntil([&] { return !State()->busy; }, 120000));
  const size_t firstLog = Lines(Log()).size();
  EXPECT_EQ(firstLog, 8u);

  Click(IDC_START);
  EXPECT_EQ(RowText(0, 2), L"处理中");
  ASSERT_TRUE(PumpUntil([&] { return !State()->busy; }, 120000));
  const std::vector<std::wstring> lines = Lines(Log());
  EXPECT_EQ(lines.size(), 2 * firstLog);  // the earlier lines stay
  EXPECT_TRUE(fs::exists(dir_ / L"out" / L"big0_1.png"));
  EXPECT_EQ(ReadBytes(dir_ / L"out" / L"big0.png"), ReadBytes(dir_ / L"out" / L"big0_1.png"));
}

TEST_F(BatchTest, EmptyOutputBoxMeansCompressedInTheCurrentFolder) {
  MakePng(dir_ / L"a.png", 8, 8, 3);
  Queue({dir_ / L"a.png"});
  SetOutput(L"");
  const fs::path previous = fs::current_path();
  fs::current_path(dir_);
  RunBatch();
  fs::current_path(previous);
  EXPECT_TRUE(fs::exists(dir_ / L"compressed" / L"a.png"));
  EXPECT_EQ(Lines(Log()).front(), L"开始压缩: 1 张图片, 质量 80, 输出目录: .\\compressed");
}

TEST_F(BatchTest, AnOutputFolderThatCannotBeMadeChangesNothing) {
  MakePng(dir_ / L"a.png", 8, 8, 3);
  WriteBytes(dir_ / L"file", "x");
  Queue({dir_ / L"a.png"});
  SetOutput(dir_ / L"file");
  WindowAnswer error;
  AnswerMessageBox(&error, L"错误");
  Click(IDC_START);
  error.Join();
  EXPECT_EQ(error.text, L"无法创建输出目录: " + (dir_ / L"file").native());
  EXPECT_FALSE(State()->busy);
  EXPECT_EQ(RowText(0, 2), L"待处理");
  EXPECT_EQ(Log(), L"");
  EXPECT_EQ(Text(IDC_STATUS), L"共 1 张图片");
  EXPECT_TRUE(IsWindowEnabled(GetDlgItem(dialog_, IDC_START)));
}

TEST_F(BatchTest, AnEmptyQueueStartsNothing) {
  SetOutput(dir_ / L"out");
  Click(IDC_START);
  EXPECT_FALSE(State()->busy);
  EXPECT_EQ(Log(), L"");
  EXPECT_FALSE(fs::exists(dir_ / L"out"));
}

TEST_F(BatchTest, AThousandFilesKeepEveryLogLineAndACloseRequestIsRefused) {
  MakePng(dir_ / L"seed.png", 4, 4, 3);
  std::vector<fs::path> files;
  fs::create_directories(dir_ / L"in");
  for (int i = 0; i < 1000; ++i) {
    files.push_back(dir_ / L"in" / (L"image-with-a-longer-name-" + std::to_wstring(i) + L".png"));
    fs::copy_file(dir_ / L"seed.png", files.back());
  }
  Queue(files);
  const fs::path out = dir_ / L"out";
  SetOutput(out);
  Click(IDC_START);
  // Alt+F4 near the end of the writing, while tiny files finish faster than the
  // dialog could show them one message each. A request queued behind that stream
  // (the IDCANCEL the dialog manager posts for WM_CLOSE lands after the worker's
  // last message) would be carried out once the batch is idle: no box, and the
  // dialog would end with the summary.
  const auto written = [&] {
    std::error_code error;
    return std::distance(fs::directory_iterator(out, error), fs::directory_iterator());
  };
  ASSERT_TRUE(PumpUntil([&] { return written() >= 800; }, 120000));
  WindowAnswer refusal;
  AnswerMessageBox(&refusal, L"提示", 60000);
  PostMessageW(dialog_, WM_SYSCOMMAND, SC_CLOSE, 0);
  ASSERT_TRUE(PumpUntil([&] { return !State()->busy; }, 120000));
  Pump(300);
  refusal.Join();
  EXPECT_EQ(refusal.text, L"正在压缩, 请等待完成后再退出。");
  EXPECT_TRUE(IsWindowVisible(dialog_));

  const std::vector<std::wstring> lines = Lines(Log());
  ASSERT_EQ(lines.size(), 1002u);  // start, one per file, summary
  for (int i = 0; i < 1000; ++i) {
    const std::wstring name = L"image-with-a-longer-name-" + std::to_wstring(i) + L".png";
    ASSERT_EQ(lines[i + 1], SuccessLine(i + 1, files[i], out / name, 4, 4, L"RGB(3通道)"));
    ASSERT_EQ(RowText(i, 2), L"成功") << i;
  }
  EXPECT_EQ(lines.back(), L"====== 处理完成: 共 1000 张, 成功 1000, 失败 0 ======");
  EXPECT_EQ(Text(IDC_STATUS), L"状态: 处理完成 - 共 1000 张, 成功 1000, 失败 0");
  EXPECT_EQ(Send(IDC_PROGRESS, PBM_GETPOS), 1000);
  EXPECT_GT(GetWindowTextLengthW(GetDlgItem(dialog_, IDC_LOG)), 32767);
}

TEST_F(BatchTest, AResultThatCannotBePostedAtOnceIsPostedAgain) {
  MakePng(dir_ / L"a.png", 8, 8, 3);
  Queue({dir_ / L"a.png", dir_ / L"a.png", dir_ / L"a.png"});
  SetOutput(dir_ / L"out");
  real_post = __imp_PostMessageW;
  RedirectPostMessage(RefuseFirstPostOfEachRow);
  Click(IDC_START);
  const bool ended = PumpUntil([&] { return !State()->busy; }, 60000);
  RedirectPostMessage(real_post);
  ASSERT_TRUE(ended);
  EXPECT_TRUE(refused_rows & 1);  // the first file's wake-up; later files may share it
  EXPECT_EQ(Text(IDC_STATUS), L"状态: 处理完成 - 共 3 张, 成功 3, 失败 0");
}
