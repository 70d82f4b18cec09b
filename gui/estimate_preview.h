#pragma once
// The exact-size preview: a trial encode of the selected image on a short-lived
// thread, started 400 ms after the last change of the slider or the list.
#include <windows.h>

#include <atomic>
#include <cstdint>
#include <string>

/// What the estimate thread needs; it owns and destroys the record.
struct EstimateJob {
  HWND dialog;
  std::wstring path;
  int quality;
  unsigned generation;  // sent back with MSG_ESTIMATE_DONE
};

extern std::atomic<bool> estimate_running;
extern std::atomic<bool> estimate_ok;
extern std::atomic<std::uint64_t> estimate_size;

/// (Re)starts the one-shot debounce timer.
void RestartEstimateTimer();

/// WM_TIMER handler: starts an estimate for the selected row.
void OnEstimateTimer(WPARAM timerId);

/// Thread routine: the trial encode, then MSG_ESTIMATE_DONE.
void EstimateWorker(EstimateJob* job);

/// MSG_ESTIMATE_DONE handler (wParam: the job's generation): shows the figure.
void OnEstimateDone(unsigned generation);
