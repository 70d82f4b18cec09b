#include "gui/batch.h"

#include <commctrl.h>

#include <cmath>
#include <memory>
#include <new>
#include <system_error>
#include <thread>

#include "engine/compress_batch.h"
#include "engine/display_text.h"
#include "gui/dialog_state.h"
#include "gui/messages.h"
#include "gui/resource.h"
#include "gui/texts.h"
#include "input/collect.h"

namespace {

const int kQueueButtons[] = {IDC_START, IDC_ADD_FILES, IDC_ADD_FOLDER, IDC_CLEAR_LIST,
                             IDC_BROWSE_OUTPUT};

void EnableQueueButtons(bool enable) {
  for (int id : kQueueButtons) EnableWindow(GetDlgItem(MainDialogWindow, id), enable);
}

// A disabled button keeps no focus on Windows, and keys (Esc among them) would then
// go nowhere: hand the focus to the list, which stays enabled, the dialog's way.
void MoveFocusOffQueueButtons() {
  HWND focus = GetFocus();
  for (int id : kQueueButtons) {
    if (focus && focus == GetDlgItem(MainDialogWindow, id)) {
      SendMessageW(MainDialogWindow, WM_NEXTDLGCTL,
                   reinterpret_cast<WPARAM>(GetDlgItem(MainDialogWindow, IDC_FILE_LIST)), TRUE);
      return;
    }
  }
}

void SetRowStatus(int row, const wchar_t* text) {
  LVITEMW item = {};
  item.iSubItem = 2;
  item.pszText = const_cast<wchar_t*>(text);
  SendDlgItemMessageW(MainDialogWindow, IDC_FILE_LIST, LVM_SETITEMTEXTW, row,
                      reinterpret_cast<LPARAM>(&item));
}

std::wstring RowStatus(int row) {
  wchar_t text[32] = L"";
  LVITEMW item = {};
  item.iSubItem = 2;
  item.pszText = text;
  item.cchTextMax = 32;
  SendDlgItemMessageW(MainDialogWindow, IDC_FILE_LIST, LVM_GETITEMTEXTW, row,
                      reinterpret_cast<LPARAM>(&item));
  return text;
}

// The worker's last word must arrive, or the dialog would stay busy for good:
// retry while the dialog still exists.
void PostBatchDone(HWND dialog) {
  while (!PostMessageW(dialog, MSG_BATCH_DONE, 0, 0) && IsWindow(dialog)) Sleep(50);
}

// A full message queue must not lose a file's result (its row would stay "处理中"
// and the summary would not add up): retry while the dialog exists.
void PostFileDone(HWND dialog, size_t index, CompressResult* result) {
  while (!PostMessageW(dialog, MSG_FILE_DONE, index, reinterpret_cast<LPARAM>(result))) {
    if (!IsWindow(dialog)) {
      delete result;  // nobody will receive it
      return;
    }
    Sleep(50);
  }
}

// Undoes the start of a batch whose worker could not be started.
void AbandonBatch(size_t count) {
  GetDialogState()->busy = false;
  EnableQueueButtons(true);
  for (size_t i = 0; i < count; ++i) SetRowStatus(static_cast<int>(i), kRowPending);
  SetDlgItemTextW(MainDialogWindow, IDC_STATUS, kStatusReady);
  MessageBoxW(MainDialogWindow, kCannotStartBatch, kCaptionError, MB_OK | MB_ICONERROR);
}

}  // namespace

void PrepareLog() {
  SendDlgItemMessageW(MainDialogWindow, IDC_LOG, EM_SETLIMITTEXT, 0x7FFFFFFE, 0);
}

void AppendLog(const wchar_t* format, ...) {
  va_list args;
  va_start(args, format);
  const std::wstring line = FormatTextV(2048, format, args);
  va_end(args);
  HWND log = GetDlgItem(MainDialogWindow, IDC_LOG);
  const int end = GetWindowTextLengthW(log);
  SendMessageW(log, EM_SETSEL, end, end);
  SendMessageW(log, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(line.c_str()));
  SendMessageW(log, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(L"\r\n"));
}

void StartBatch() {
  DialogState* state = GetDialogState();
  if (!state || state->busy || state->files.empty()) return;
  const size_t count = state->files.size();
  std::wstring folder = ControlText(IDC_OUTPUT_DIR, 1024);
  if (folder.empty()) folder = kDefaultBatchFolder;
  const int quality =
      static_cast<int>(SendDlgItemMessageW(MainDialogWindow, IDC_QUALITY, TBM_GETPOS, 0, 0));
  std::error_code error;
  if (!CreateOutputFolder(folder, &error) && error) {
    MessageBoxW(MainDialogWindow, (kCannotCreateOutput + folder).c_str(), kCaptionError,
                MB_OK | MB_ICONERROR);
    return;
  }
  for (size_t i = 0; i < count; ++i) SetRowStatus(static_cast<int>(i), kRowRunning);
  state->busy = true;
  MoveFocusOffQueueButtons();
  EnableQueueButtons(false);
  SendDlgItemMessageW(MainDialogWindow, IDC_PROGRESS, PBM_SETRANGE32, 0, static_cast<LPARAM>(count));
  SendDlgItemMessageW(MainDialogWindow, IDC_PROGRESS, PBM_SETPOS, 0, 0);
  SetDlgItemTextW(MainDialogWindow, IDC_STATUS, kStatusRunning);
  AppendLog(kLogStart, count, quality, folder.c_str());

  auto* job = new BatchJob{MainDialogWindow, state->files, quality, folder};
  try {
    std::thread(BatchWorker, job).detach();
  } catch (const std::system_error&) {
    delete job;
    AbandonBatch(count);
  }
}

unsigned BatchWorker(BatchJob* job) {
  // The files are compressed on every usable processor and arrive here in index
  // order, so the rows, log lines and names are those of a run one by one.
  const std::vector<std::filesystem::path> files(job->files.begin(), job->files.end());
  CompressBatch(files, job->output_dir, job->quality, [job](size_t i, CompressResult& done) {
    auto* result = new (std::nothrow) CompressResult(std::move(done));
    if (result) PostFileDone(job->dialog, i, result);
  });
  PostBatchDone(job->dialog);
  delete job;
  return 0;
}

void OnFileDone(WPARAM index, CompressResult* result) {
  std::unique_ptr<CompressResult> r(result);
  DialogState* state = GetDialogState();
  if (!state || index >= state->files.size()) return;
  const int row = static_cast<int>(index);
  SetRowStatus(row, r->success ? kRowSucceeded : kRowFailed);
  const std::wstring name = FileNamePart(state->files[index]);
  if (r->success) {
    const double ratio = SavedPercent(r->inputBytes, r->outputBytes);
    AppendLog(L"%ls", LogSuccessLine(row + 1, name, r->width, r->height, ChannelLabelW(r->channels),
                                     Widen(FormatSize(r->inputBytes)), Widen(FormatSize(r->outputBytes)),
                                     ratio >= 0, Widen(FormatFixed(std::fabs(ratio), 1)),
                                     r->outputPath)
                          .c_str());
  } else {
    AppendLog(kLogFailure, row + 1, name.c_str(), Widen(r->errorText).c_str());
  }
  SendDlgItemMessageW(MainDialogWindow, IDC_PROGRESS, PBM_SETPOS, index + 1, 0);
}

void OnBatchDone() {
  DialogState* state = GetDialogState();
  if (state) state->busy = false;
  EnableQueueButtons(true);
  const int total =
      static_cast<int>(SendDlgItemMessageW(MainDialogWindow, IDC_FILE_LIST, LVM_GETITEMCOUNT, 0, 0));
  int succeeded = 0, failed = 0;
  for (int row = 0; row < total; ++row) {
    const std::wstring status = RowStatus(row);
    if (status == kRowSucceeded) ++succeeded;
    else if (status == kRowFailed) ++failed;
  }
  SetDlgItemTextW(MainDialogWindow, IDC_STATUS,
                  FormatText(128, kStatusDone, total, succeeded, failed).c_str());
  AppendLog(kLogDone, total, succeeded, failed);
}
