#include "gui/batch.h"

#include <commctrl.h>

#include <cmath>
#include <memory>
#include <mutex>
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

}  // namespace

// Why results travel through a shared queue and not one message per file: posted
// messages are retrieved before input, and input before the low-priority ones the
// system synthesizes (WM_PAINT, then WM_TIMER). One post per file, from a worker that
// finishes files faster than the dialog can show them, keeps a posted message always
// waiting: the window neither paints nor sees a key or a click (a close request among
// them) until the stream ends. So the worker posts MSG_FILE_DONE only when it finds
// no wake-up outstanding, and while files keep coming the dialog takes them on
// BATCH_TIMER ticks, which come only when no input, post or paint is waiting. For the
// same reason the batch ends on a tick: every close request made while it was busy
// (including the IDCANCEL the dialog manager posts for WM_CLOSE) has been answered
// with the refusal box by then, and none is carried out afterwards.
//
// Every file has its record ready before the worker starts, so handing one over
// moves it into place and allocates nothing: no result is lost for want of memory.
// Records arrive in index order; those below `ready` belong to the dialog's thread,
// the others to the worker.
struct BatchResults {
  explicit BatchResults(size_t count) : records(count) {}
  std::vector<CompressResult> records;
  std::mutex lock;
  size_t ready = 0;              // records handed over so far
  size_t shown = 0;              // records shown so far (dialog's thread only)
  bool wakeOutstanding = false;  // MSG_FILE_DONE posted or BATCH_TIMER running
  bool workerDone = false;       // every record is in
};

namespace {

// The results of the running (or last) batch, as the dialog's thread sees them.
std::shared_ptr<BatchResults> current_results;

// At most five screen updates a second while files pour in. Each update costs the
// dialog's thread a fixed price however few files it brings (the edit of the log:
// under Wine about 19 ms), and that time is taken from the workers.
const UINT kFollowTicksMs = 200;

// A wake-up that cannot be posted (a full queue refuses posts on Windows) is posted
// again while the dialog exists: a lost one would leave rows "处理中" and the dialog busy.
void PostUntilReceived(HWND dialog, UINT message, WPARAM wParam) {
  while (!PostMessageW(dialog, message, wParam, 0) && IsWindow(dialog)) Sleep(50);
}

void QueueResult(BatchJob& job, size_t index, CompressResult& done) {
  bool wake = false;
  {
    std::lock_guard<std::mutex> hold(job.results->lock);
    job.results->records[index] = std::move(done);
    job.results->ready = index + 1;
    wake = !job.results->wakeOutstanding;
    job.results->wakeOutstanding = true;
  }
  if (wake) PostUntilReceived(job.dialog, MSG_FILE_DONE, index);
}

// One file's row status and log line (with its line break, added to log).
void ShowResult(size_t index, const CompressResult& r, std::wstring* log) {
  const int row = static_cast<int>(index);
  SetRowStatus(row, r.success ? kRowSucceeded : kRowFailed);
  const std::wstring name = FileNamePart(GetDialogState()->files[index]);
  // File names and reasons may hold control and direction characters.
  if (r.success) {
    const double ratio = SavedPercent(r.inputBytes, r.outputBytes);
    // Cut as every log line is, to the log's line length.
    *log += DisplaySafeTextW(FormatText(
        2048, L"%ls",
        LogSuccessLine(row + 1, name, r.width, r.height, ChannelLabelW(r.channels),
                       Widen(FormatSize(r.inputBytes)), Widen(FormatSize(r.outputBytes)),
                       ratio >= 0, Widen(FormatFixed(std::fabs(ratio), 1)), r.outputPath)
            .c_str()));
  } else {
    *log += DisplaySafeTextW(
        FormatText(2048, kLogFailure, row + 1, name.c_str(), Widen(r.errorText).c_str()));
  }
  *log += L"\r\n";
}

// Shows the results waiting, in order: rows, one edit of the log, the progress.
// Each costs the dialog's thread milliseconds (the list and the log lay out their
// new text), so when the user's input or a posted message (a close request) comes
// meanwhile, the rest waits for the next tick. Returns how many were shown.
size_t ShowWaitingResults() {
  DialogState* state = GetDialogState();
  if (!current_results || !state) return 0;
  BatchResults& results = *current_results;
  size_t ready = 0;
  {
    std::lock_guard<std::mutex> hold(results.lock);
    ready = results.ready;
  }
  std::wstring log;
  const size_t first = results.shown;
  // The queue is looked at every few files: that is a call to the system (under
  // Wine, a round trip to its server, which the workers' file calls wait for too).
  while (results.shown < ready) {
    const size_t index = results.shown++;
    if (index < state->files.size()) ShowResult(index, results.records[index], &log);
    results.records[index] = CompressResult();  // its texts are shown; free them
    if ((results.shown - first) % 8 == 0 && HIWORD(GetQueueStatus(QS_INPUT | QS_POSTMESSAGE)))
      break;
  }
  if (!log.empty()) AppendLogText(log);
  if (results.shown > first)
    SendDlgItemMessageW(MainDialogWindow, IDC_PROGRESS, PBM_SETPOS, results.shown, 0);
  return results.shown - first;
}

// The batch is over: idle again, the summary counted from the rows.
void EndBatch() {
  DialogState* state = GetDialogState();
  if (state) state->busy = false;
  ShutdownBlockReasonDestroy(MainDialogWindow);
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
  // File names and reasons may hold control and direction characters.
  const std::wstring line = DisplaySafeTextW(FormatTextV(2048, format, args));
  va_end(args);
  AppendLogText(line + L"\r\n");
}

void AppendLogText(const std::wstring& text) {
  HWND log = GetDlgItem(MainDialogWindow, IDC_LOG);
  const int end = GetWindowTextLengthW(log);
  SendMessageW(log, EM_SETSEL, end, end);
  SendMessageW(log, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(text.c_str()));
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
  state->busy = true;
  MoveFocusOffQueueButtons();
  EnableQueueButtons(false);
  SendDlgItemMessageW(MainDialogWindow, IDC_PROGRESS, PBM_SETRANGE32, 0, static_cast<LPARAM>(count));
  SendDlgItemMessageW(MainDialogWindow, IDC_PROGRESS, PBM_SETPOS, 0, 0);
  SetDlgItemTextW(MainDialogWindow, IDC_STATUS, kStatusRunning);
  AppendLog(kLogStart, count, quality, folder.c_str());

  current_results = std::make_shared<BatchResults>(count);
  auto* job = new BatchJob{MainDialogWindow, state->files, quality, folder, current_results};
  try {
    std::thread(BatchWorker, job).detach();
  } catch (const std::system_error&) {
    delete job;
    AbandonBatch(count);
    return;
  }
  // The rows are marked while the worker already works: its results are shown
  // only after this handler returns. Thousands of marks take the dialog's thread a
  // moment, the list repainted once afterwards rather than row by row.
  HWND list = GetDlgItem(MainDialogWindow, IDC_FILE_LIST);
  SendMessageW(list, WM_SETREDRAW, FALSE, 0);
  for (size_t i = 0; i < count; ++i) SetRowStatus(static_cast<int>(i), kRowRunning);
  SendMessageW(list, WM_SETREDRAW, TRUE, 0);
  InvalidateRect(list, nullptr, TRUE);
  // Signing out or shutting down now asks the user first, with this reason.
  ShutdownBlockReasonCreate(MainDialogWindow, kShutdownBlockReason);
}

unsigned BatchWorker(BatchJob* job) {
  // The files are compressed on every usable processor and arrive here in index
  // order, so the rows, log lines and names are those of a run one by one.
  const std::vector<std::filesystem::path> files(job->files.begin(), job->files.end());
  CompressBatch(files, job->output_dir, job->quality,
                [job](size_t i, CompressResult& done) { QueueResult(*job, i, done); });
  {
    std::lock_guard<std::mutex> hold(job->results->lock);
    job->results->workerDone = true;
  }
  PostUntilReceived(job->dialog, MSG_BATCH_DONE, 0);
  delete job;
  return 0;
}

void OnFileDone() {
  ShowWaitingResults();
  // Files finishing from now on are taken on the timer's ticks (see BatchResults).
  SetTimer(MainDialogWindow, BATCH_TIMER, kFollowTicksMs, nullptr);
}

void OnBatchDone() {
  ShowWaitingResults();
  // Not ended here: a close request may still wait behind this message (see BatchResults).
  SetTimer(MainDialogWindow, BATCH_TIMER, USER_TIMER_MINIMUM, nullptr);
}

bool OnBatchTimer() {
  DialogState* state = GetDialogState();
  const size_t shown = ShowWaitingResults();
  bool ended = false, idle = false;
  if (current_results) {
    std::lock_guard<std::mutex> hold(current_results->lock);
    const bool waiting = current_results->shown < current_results->ready;
    ended = current_results->workerDone && !waiting;
    // Nothing came since the last tick: the next file wakes the dialog by a post again.
    idle = !shown && !waiting;
    if (idle || ended) current_results->wakeOutstanding = false;
  }
  if (!ended && !idle) return false;
  KillTimer(MainDialogWindow, BATCH_TIMER);
  if (!ended || !state || !state->busy) return false;
  EndBatch();
  return true;
}
