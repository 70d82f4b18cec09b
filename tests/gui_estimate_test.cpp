// The exact-size preview of the selected image.
#include "engine/compress.h"
#include "engine/estimate.h"
#include "engine/display_text.h"
#include "engine/image_codec.h"
#include "gui/estimate_preview.h"
#include "gui/file_list.h"
#include "tests/gui_fixture.h"
#include "tests/reference/stb_write_reference.h"

namespace {

class EstimatePreviewTest : public DialogTest {
 protected:
  void Queue(const std::vector<fs::path>& paths) {
    ImageList list(paths.begin(), paths.end());
    AddPathsToList(list);
  }
  // The preview text for the size the batch writes for this file and quality.
  std::wstring ExpectedText(const fs::path& input, int quality) {
    fs::path out = dir_ / (L"ref" + std::to_wstring(reference_++));
    fs::create_directories(out);
    CompressResult r;
    EXPECT_TRUE(CompressImageFile(input, out, quality, &r)) << input << r.errorText;
    return L"预计: " + U8(FormatSize(r.outputBytes)).native();
  }
  bool WaitForText(const std::wstring& text, int timeoutMs = 20000) {
    return PumpUntil([&] { return Text(IDC_ESTIMATE) == text; }, timeoutMs);
  }
  // A PNG big enough that its trial encode takes a while.
  fs::path SlowImage() {
    const int w = 1600, h = 1200;
    std::vector<unsigned char> pixels(static_cast<size_t>(w) * h * 3);
    for (size_t i = 0; i < pixels.size(); ++i) pixels[i] = static_cast<unsigned char>((i * 2654435761u) >> 13);
    int length = 0;
    unsigned char* png = stbi_write_png_to_mem(pixels.data(), w * 3, w, h, 3, &length);
    WriteBytes(dir_ / L"slow.png", std::string(reinterpret_cast<char*>(png), length));
    free(png);
    return dir_ / L"slow.png";
  }
  int reference_ = 0;
};

// Counts how often the preview says an estimate was started, by watching the texts
// its control is given.
int started_estimates = 0;
WNDPROC original_static_proc = nullptr;
LRESULT CALLBACK CountingProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_SETTEXT && lstrcmpW(reinterpret_cast<const wchar_t*>(lParam), L"预计: 计算中...") == 0)
    ++started_estimates;
  return CallWindowProcW(original_static_proc, window, message, wParam, lParam);
}

void StartCounting(HWND estimate) {
  started_estimates = 0;
  original_static_proc = reinterpret_cast<WNDPROC>(
      SetWindowLongPtrW(estimate, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(CountingProc)));
}

void StopCounting(HWND estimate) {
  SetWindowLongPtrW(estimate, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(original_static_proc));
}

}  // namespace

TEST_F(EstimatePreviewTest, ShowsExactlyTheSizeTheBatchWrites) {
  std::vector<fs::path> inputs;
  for (const char* name : {"gray.jpg", "rgb.jpg", "rgba.png", "ga.png"}) inputs.push_back(TestDataDir() / name);
  for (const auto& entry : fs::directory_iterator(CorpusDir() / "jpeg")) {
    std::uint64_t ignored = 0;
    fs::path p = entry.path();
    if ((p.extension() == ".jpg" || p.extension() == ".png") && EstimateCompressedSize(p, 80, &ignored))
      inputs.push_back(p);
  }
  for (const char* name : {"basn0g16.png", "basn3p08.png", "basn4a08.png", "basn6a16.png"})
    inputs.push_back(CorpusDir() / "pngsuite" / name);
  Queue(inputs);
  for (int row = 0; row < static_cast<int>(inputs.size()); ++row) {
    SelectRow(row);
    for (int quality : {0, 80, 91, 100}) {
      MoveQuality(quality);
      const std::wstring expected = ExpectedText(inputs[row], quality);
      EXPECT_TRUE(WaitForText(expected)) << inputs[row] << " at " << quality << ": "
                                         << WideToUtf8ForTest(Text(IDC_ESTIMATE));
    }
  }
}

TEST_F(EstimatePreviewTest, TellsWhenThereIsNothingToEstimate) {
  MoveQuality(50);
  EXPECT_TRUE(WaitForText(L"预计: 请先选择图片"));

  WriteBytes(dir_ / L"broken.png", "\x89PNG\r\n\x1a\nbroken");
  WriteBytes(dir_ / L"notes.txt", "text");
  Queue({dir_ / L"broken.png", dir_ / L"notes.txt"});
  // A name the batch would refuse: no trial encode at all.
  StartCounting(GetDlgItem(dialog_, IDC_ESTIMATE));
  SelectRow(1);
  EXPECT_TRUE(WaitForText(L"预计: 无法预览"));
  StopCounting(GetDlgItem(dialog_, IDC_ESTIMATE));
  EXPECT_EQ(started_estimates, 0);
  // Content the decoder refuses: a trial encode that fails.
  SetDlgItemTextW(dialog_, IDC_ESTIMATE, L"");
  StartCounting(GetDlgItem(dialog_, IDC_ESTIMATE));
  SelectRow(0);
  EXPECT_TRUE(WaitForText(L"预计: 无法预览"));
  StopCounting(GetDlgItem(dialog_, IDC_ESTIMATE));
  EXPECT_EQ(started_estimates, 1);
}

TEST_F(EstimatePreviewTest, ABurstOfSliderMovesStartsOneEstimate) {
  MakePng(dir_ / L"a.png", 64, 64, 3);
  Queue({dir_ / L"a.png"});
  SelectRow(0);
  ASSERT_TRUE(WaitForText(ExpectedText(dir_ / L"a.png", 80)));
  StartCounting(GetDlgItem(dialog_, IDC_ESTIMATE));
  for (int position = 60; position >= 30; --position) MoveQuality(position);  // no pause between
  EXPECT_TRUE(WaitForText(ExpectedText(dir_ / L"a.png", 30)));
  Pump(600);
  StopCounting(GetDlgItem(dialog_, IDC_ESTIMATE));
  EXPECT_EQ(started_estimates, 1);
}

// A batch changes every row's status text; only the selection concerns the preview,
// which finds it by walking the rows. The list may report a text change as an item
// change (its uChanged says what changed); Wine's sends nothing for a subitem's
// text, so the notification is sent here as such a list would.
TEST_F(EstimatePreviewTest, ARowsTextChangeStartsNoEstimate) {
  MakePng(dir_ / L"a.png", 64, 64, 3);
  Queue({dir_ / L"a.png", dir_ / L"a.png"});
  SelectRow(0);
  ASSERT_TRUE(WaitForText(ExpectedText(dir_ / L"a.png", 80)));
  StartCounting(GetDlgItem(dialog_, IDC_ESTIMATE));
  NMLISTVIEW change = {};
  change.hdr = {GetDlgItem(dialog_, IDC_FILE_LIST), IDC_FILE_LIST, LVN_ITEMCHANGED};
  change.iItem = 1;
  change.iSubItem = 2;
  change.uChanged = LVIF_TEXT;
  SendMessageW(dialog_, WM_NOTIFY, IDC_FILE_LIST, reinterpret_cast<LPARAM>(&change));
  Pump(600);
  StopCounting(GetDlgItem(dialog_, IDC_ESTIMATE));
  EXPECT_EQ(started_estimates, 0);
}

TEST_F(EstimatePreviewTest, TheFigureFollowsTheSliderMovedDuringAnEstimate) {
  const fs::path slow = SlowImage();
  Queue({slow});
  SelectRow(0);
  MoveQuality(100);
  ASSERT_TRUE(WaitForText(L"预计: 计算中..."));
  MoveQuality(10);  // while the estimate for 100 runs
  const std::wstring expected = ExpectedText(slow, 10);
  EXPECT_TRUE(WaitForText(expected, 60000)) << WideToUtf8ForTest(Text(IDC_ESTIMATE));
  Pump(1500);
  EXPECT_EQ(Text(IDC_ESTIMATE), expected);
}

TEST_F(EstimatePreviewTest, ClearingDuringAnEstimateKeepsTheDashes) {
  const fs::path slow = SlowImage();
  Queue({slow});
  SelectRow(0);
  ASSERT_TRUE(WaitForText(L"预计: 计算中..."));
  Click(IDC_CLEAR_LIST);
  EXPECT_EQ(Text(IDC_ESTIMATE), L"预计: --");
  Pump(4000);
  EXPECT_EQ(Text(IDC_ESTIMATE), L"预计: --");
}

TEST_F(EstimatePreviewTest, NothingChangesDuringABatch) {
  std::vector<fs::path> files;
  for (int i = 0; i < 5; ++i) {
    files.push_back(dir_ / (L"big" + std::to_wstring(i) + L".png"));
    MakePng(files.back(), 900, 700, 3);
  }
  Queue(files);
  SetDlgItemTextW(dialog_, IDC_OUTPUT_DIR, (dir_ / L"out").native().c_str());
  Click(IDC_START);
  ASSERT_TRUE(State()->busy);
  SelectRow(2);
  MoveQuality(20);
  Pump(800);
  if (State()->busy) {
    EXPECT_EQ(Text(IDC_ESTIMATE), L"预计: --");
  }
  PumpUntil([&] { return !State()->busy; }, 120000);
  // Asked again once the batch has ended: the row and quality chosen meanwhile.
  EXPECT_TRUE(WaitForText(ExpectedText(files[2], 20))) << WideToUtf8ForTest(Text(IDC_ESTIMATE));
}

// The answer comes with the request it answers: an answer to another request (an
// earlier estimate's, say) is not shown as the figure of the current one.
TEST_F(EstimatePreviewTest, AnAnswerIsShownOnlyForTheRequestItAnswers) {
  const fs::path slow = SlowImage();
  Queue({slow});
  SelectRow(0);
  ASSERT_TRUE(WaitForText(L"预计: 计算中..."));
  SendMessageW(dialog_, MSG_ESTIMATE_DONE, 0, 0);  // no record at all
  EXPECT_EQ(Text(IDC_ESTIMATE), L"预计: 计算中...");
  ASSERT_TRUE(WaitForText(ExpectedText(slow, 80), 60000));
  const std::wstring figure = L"预计: " + U8(FormatSize(12345)).native();
  auto* other = new EstimateJob{dialog_, W(slow), 10, nullptr, true, 12345};
  SendMessageW(dialog_, MSG_ESTIMATE_DONE, 0, reinterpret_cast<LPARAM>(other));
  EXPECT_NE(Text(IDC_ESTIMATE), figure);
  auto* current = new EstimateJob{dialog_, W(slow), 80, nullptr, true, 12345};
  SendMessageW(dialog_, MSG_ESTIMATE_DONE, 0, reinterpret_cast<LPARAM>(current));
  EXPECT_EQ(Text(IDC_ESTIMATE), figure);
}

// The selected file's decoded image is kept: after the first figure a slider move
// encodes the kept pixels and reads nothing: the file, held open by another with
// no sharing, can't be read, yet the figure comes.
TEST_F(EstimatePreviewTest, ASliderMoveReusesTheDecodedImage) {
  const fs::path file = dir_ / L"a.jpg";
  MakePng(file, 64, 48, 3);
  const auto time = fs::file_time_type::clock::now() - std::chrono::hours(1);
  fs::last_write_time(file, time);
  const std::wstring at30 = ExpectedText(file, 30);
  Queue({file});
  SelectRow(0);
  ASSERT_TRUE(WaitForText(ExpectedText(file, 80)));
  // Held open here with no sharing: the file is the same one, but another read
  // of it would fail. Asking which file it is needs no sharing.
  const HANDLE held = CreateFileW(file.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  MoveQuality(30);
  EXPECT_TRUE(WaitForText(at30)) << WideToUtf8ForTest(Text(IDC_ESTIMATE));
  CloseHandle(held);
}
