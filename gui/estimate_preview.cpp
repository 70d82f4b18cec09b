#include "gui/estimate_preview.h"

#include <commctrl.h>

#include <system_error>
#include <thread>

#include "engine/display_text.h"
#include "engine/estimate.h"
#include "gui/dialog_state.h"
#include "gui/resource.h"
#include "gui/texts.h"
#include "input/collect.h"

std::atomic<bool> estimate_running{false};
std::atomic<bool> estimate_ok{false};
std::atomic<std::uint64_t> estimate_size{0};

namespace {

// What the running (or last) estimate was started for; dialog thread only. A
// figure is shown only while it still matches the selection and the slider.
std::wstring estimated_path;
int estimated_quality = -1;
// Numbers the estimates started. The worker clears estimate_running before it
// posts, so a new estimate may start (and reset the results) before the older
// message is handled: a message counts only when it belongs to the latest one.
unsigned estimate_generation = 0;

void SetEstimateText(const wchar_t* text) {
  SetDlgItemTextW(MainDialogWindow, IDC_ESTIMATE, text);
}

int CurrentQuality() {
  return static_cast<int>(SendDlgItemMessageW(MainDialogWindow, IDC_QUALITY, TBM_GETPOS, 0, 0));
}

// Index of the selected row, or -1 when none is selected.
int SelectedRow(const DialogState& state) {
  const LRESULT row = SendDlgItemMessageW(MainDialogWindow, IDC_FILE_LIST, LVM_GETNEXTITEM,
                                          static_cast<WPARAM>(-1), LVNI_SELECTED);
  return row >= 0 && static_cast<size_t>(row) < state.files.size() ? static_cast<int>(row) : -1;
}

}  // namespace

void RestartEstimateTimer() { SetTimer(MainDialogWindow, ESTIMATE_TIMER, 400, nullptr); }

void OnEstimateTimer(WPARAM timerId) {
  if (timerId != ESTIMATE_TIMER) return;
  KillTimer(MainDialogWindow, ESTIMATE_TIMER);
  DialogState* state = GetDialogState();
  if (!state || state->busy) return;
  const int row = SelectedRow(*state);
  if (row < 0) {
    SetEstimateText(kEstimateSelect);
    return;
  }
  if (estimate_running) {
    RestartEstimateTimer();  // ask again once the running one is done
    return;
  }
  const std::wstring path = state->files[row];
  if (!IsSupportedImage(path)) {
    SetEstimateText(kEstimateFailed);  // the batch would write nothing for it
    return;
  }
  const int quality = CurrentQuality();
  estimated_path = path;
  estimated_quality = quality;
  estimate_running = true;
  estimate_ok = false;
  estimate_size = 0;
  SetEstimateText(kEstimateRunning);
  auto* job = new EstimateJob{MainDialogWindow, path, quality, ++estimate_generation};
  try {
    std::thread(EstimateWorker, job).detach();
  } catch (const std::system_error&) {
    delete job;
    estimate_running = false;
    SetEstimateText(kEstimateFailed);
  }
}

void EstimateWorker(EstimateJob* job) {
  std::uint64_t size = 0;
  const bool ok = EstimateCompressedSize(job->path, job->quality, &size);
  estimate_ok = ok;
  estimate_size = size;
  estimate_running = false;
  PostMessageW(job->dialog, MSG_ESTIMATE_DONE, job->generation, 0);
  delete job;
}

void OnEstimateDone(unsigned generation) {
  if (generation != estimate_generation) return;  // a newer estimate is running
  DialogState* state = GetDialogState();
  if (!state || state->files.empty()) return;  // cleared meanwhile: "预计: --" stays
  const int row = SelectedRow(*state);
  if (row < 0 || state->files[row] != estimated_path || CurrentQuality() != estimated_quality) {
    RestartEstimateTimer();  // a figure for something no longer selected: make a fresh one
    return;
  }
  if (estimate_ok)
    SetEstimateText(FormatText(128, kEstimateSize, Widen(FormatSize(estimate_size)).c_str()).c_str());
  else
    SetEstimateText(kEstimateFailed);
}
