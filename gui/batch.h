#pragma once
// The batch run of the dialog: one worker thread per batch, reporting by messages.
#include <windows.h>

#include <string>
#include <vector>

#include "engine/compress_result.h"

/// What the worker needs, copied at the start; the worker owns and destroys it.
struct BatchJob {
  HWND dialog;
  std::vector<std::wstring> files;
  int quality;
  std::wstring output_dir;
};

/// Handler of "开始压缩": checks, creates the output folder, starts the worker.
void StartBatch();

/// Thread routine: compresses every file, posting MSG_FILE_DONE each, then MSG_BATCH_DONE.
unsigned BatchWorker(BatchJob* job);

/// One file finished: row status, log line, progress. Takes ownership of result.
void OnFileDone(WPARAM index, CompressResult* result);

/// The batch finished: idle again, summary counted from the rows.
void OnBatchDone();

/// Appends one printf-style line (%ls for wide text) to the log box.
void AppendLog(const wchar_t* format, ...);

/// Lets the log box hold every line of a long session, not just the default 32K.
void PrepareLog();
