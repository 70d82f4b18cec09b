#pragma once
// The exact-size preview: a trial encode of the selected image on a short-lived
// thread, started 400 ms after the last change of the slider or the list. The
// decoded image of the selected file is kept, so a slider move costs one encode.
#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>

struct EstimateCache;

/// The estimate thread's record: the request (file and quality), the kept image
/// it may use, and its answer. Made by the dialog, filled by the thread, then
/// handed back to the dialog with MSG_ESTIMATE_DONE, whose handler destroys it.
struct EstimateJob {
  HWND dialog = nullptr;
  std::wstring path;
  int quality = 0;
  std::shared_ptr<EstimateCache> cache;
  bool ok = false;          // the answer: a figure was found,
  std::uint64_t size = 0;   // and this is it
};

/// (Re)starts the one-shot debounce timer.
void RestartEstimateTimer();

/// WM_TIMER handler: starts an estimate for the selected row.
void OnEstimateTimer(WPARAM timerId);

/// Thread routine: the trial encode, then MSG_ESTIMATE_DONE carrying the job.
void EstimateWorker(EstimateJob* job);

/// MSG_ESTIMATE_DONE handler: shows the figure when it answers what is asked now.
/// Takes ownership of job (which may be null).
void OnEstimateDone(EstimateJob* job);

/// The list changed (selection or rows): a kept image no longer selected is let go.
void OnFileListChanged();

/// Lets the kept image go (list cleared, batch started).
void ForgetPreviewImage();

/// WM_DESTROY: the kept image is let go, and a running estimate's answer will
/// find no dialog, so the next dialog starts idle.
void ClosePreview();
