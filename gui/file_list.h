#pragma once
// The queue of the dialog: the file list, the pickers and the output folder.
#include <windows.h>
#include <shellapi.h>

#include "input/collect.h"

/// Appends paths (never empty) to the queue and the list, then shows the total.
void AddPathsToList(const ImageList& paths);

/// Handlers of "添加图片...", "添加文件夹...", "清空列表" and "浏览...". Each does
/// nothing while a batch runs.
void PickImageFiles();
void PickImageFolder();
void ClearFileList();
void BrowseOutputFolder();

/// WM_DROPFILES: queues what was dropped on the dialog as the pickers would
/// (nothing while a batch runs) and always releases the drop.
void OnDropFiles(HDROP drop);
