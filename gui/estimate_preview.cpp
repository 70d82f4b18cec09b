#include "gui/estimate_preview.h"

#include <commctrl.h>

#include <new>
#include <system_error>
#include <thread>

#include "engine/display_text.h"
#include "engine/estimate.h"
#include "engine/extension.h"
#include "gui/dialog_state.h"
#include "gui/messages.h"
#include "gui/resource.h"
#include "gui/texts.h"

namespace {

// Dialog thread only. At most one estimate thread runs; its answer arrives with
// its message, so nothing is shared with it but the kept image it was given.
bool estimate_running = false;
// The decoded image of the selected file, and that file's path (the thread may be
// filling the record itself, so the dialog keeps its own copy of the key).
std::shared_ptr<EstimateCache> preview_image;
std::wstring preview_image_path;

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

// The kept image for path: the one there is, or a fresh one in its place.
std::shared_ptr<EstimateCache> PreviewImageFor(const std::wstring& path) {
  if (!preview_image || preview_image_path != path) {
    ForgetPreviewImage();
    preview_image = std::make_shared<EstimateCache>();
    preview_image_path = path;
  }
  return preview_image;
}

// The thread's last word must arrive, or no estimate would start again: retry
// while the dialog exists.
void PostEstimateDone(EstimateJob* job) {
  while (!PostMessageW(job->dialog, MSG_ESTIMATE_DONE, 0, reinterpret_cast<LPARAM>(job))) {
    if (!IsWindow(job->dialog)) {
      delete job;
      return;
    }
    Sleep(50);
  }
}

}  // namespace

void RestartEstimateTimer() { SetTimer(MainDialogWindow, ESTIMATE_TIMER, 400, nullptr); }

void ForgetPreviewImage() {
  preview_image.reset();  // freed here, or by the thread still using it when it ends
  preview_image_path.clear();
}

void ClosePreview() {
  ForgetPreviewImage();
  estimate_running = false;
}

void OnFileListChanged() {
  DialogState* state = GetDialogState();
  const int row = state ? SelectedRow(*state) : -1;
  if (row < 0 || state->files[row] != preview_image_path) ForgetPreviewImage();
  RestartEstimateTimer();
}

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
  // The running one's answer is compared with what is asked then, and a fresh
  // estimate follows when it no longer fits.
  if (estimate_running) return;
  const std::wstring& path = state->files[row];
  if (!IsSupportedImage(path)) {
    SetEstimateText(kEstimateFailed);  // the batch would write nothing for it
    return;
  }
  auto* job = new (std::nothrow) EstimateJob{MainDialogWindow, path, CurrentQuality(),
                                             PreviewImageFor(path)};
  if (!job) {
    SetEstimateText(kEstimateFailed);
    return;
  }
  estimate_running = true;
  SetEstimateText(kEstimateRunning);
  try {
    std::thread(EstimateWorker, job).detach();
  } catch (const std::system_error&) {
    delete job;
    estimate_running = false;
    SetEstimateText(kEstimateFailed);
  }
}

void EstimateWorker(EstimateJob* job) {
  job->ok = EstimateCompressedSize(job->path, job->quality, &job->size, job->cache.get());
  job->cache.reset();  // the dialog may have let the image go meanwhile
  PostEstimateDone(job);
}

void OnEstimateDone(EstimateJob* job) {
  std::unique_ptr<EstimateJob> done(job);
  if (!done) return;
  estimate_running = false;
  DialogState* state = GetDialogState();
  if (!state || state->files.empty()) return;  // cleared meanwhile: "预计: --" stays
  const int row = SelectedRow(*state);
  if (row < 0 || state->files[row] != done->path || CurrentQuality() != done->quality) {
    RestartEstimateTimer();  // an answer to something no longer asked: ask afresh
    return;
  }
  if (done->ok)
    SetEstimateText(FormatText(128, kEstimateSize, Widen(FormatSize(done->size)).c_str()).c_str());
  else
    SetEstimateText(kEstimateFailed);
}
