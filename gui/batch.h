#pragma once
// The batch run of the dialog: one worker thread per batch, handing finished files
// over in a queue shared with the dialog and waking it with messages.
#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "engine/compress_result.h"

/// Finished files on their way from the worker to the dialog (defined in batch.cpp).
struct BatchResults;

/// What the worker needs, copied at the start; the worker owns and destroys it.
struct BatchJob {
  HWND dialog;
  std::vector<std::wstring> files;
  int quality;
  std::wstring output_dir;
  std::shared_ptr<BatchResults> results;  // shared with the dialog
};

/// Hands the dialog the files that finish while earlier ones are being shown.
inline constexpr UINT_PTR BATCH_TIMER = 2;

/// Handler of "开始压缩": checks, creates the output folder, starts the worker.
void StartBatch();

/// Thread routine: compresses every file, queueing each record for the dialog and
/// waking it with MSG_FILE_DONE when the queue was empty, then MSG_BATCH_DONE.
unsigned BatchWorker(BatchJob* job);

/// MSG_FILE_DONE: shows every finished file waiting (rows, log, progress), in order.
void OnFileDone();

/// MSG_BATCH_DONE: the worker has finished; the batch ends at the next BATCH_TIMER tick.
void OnBatchDone();

/// WM_TIMER of BATCH_TIMER: shows the files waiting; true when it ended the batch
/// (idle again, summary counted from the rows).
bool OnBatchTimer();

/// Appends one printf-style line (%ls for wide text) to the log box.
void AppendLog(const wchar_t* format, ...);

/// Appends text (whole lines, each ending in "\r\n") to the log box in one edit.
void AppendLogText(const std::wstring& text);

/// Lets the log box hold every line of a long session, not just the default 32K.
void PrepareLog();
