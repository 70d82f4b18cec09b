#include "gui/file_list.h"

#include <windows.h>
#include <commctrl.h>
#include <shobjidl.h>

#include <string>

#include "engine/file_system.h"
#include "gui/com_ref.h"
#include "gui/dialog_state.h"
#include "gui/resource.h"
#include "gui/texts.h"

namespace {

bool Busy() {
  DialogState* state = GetDialogState();
  return !state || state->busy;
}

void SetRowText(HWND list, int row, int column, const std::wstring& text) {
  LVITEMW item = {};
  item.mask = LVIF_TEXT;
  item.iItem = row;
  item.iSubItem = column;
  item.pszText = const_cast<wchar_t*>(text.c_str());
  SendMessageW(list, column == 0 ? LVM_INSERTITEMW : LVM_SETITEMW, 0,
               reinterpret_cast<LPARAM>(&item));
}

// Creates the shell's open dialog with extra options and shows it; true when the
// user confirmed a choice. A cancelled picker is normal, not an error.
bool ShowPicker(ComRef<IFileOpenDialog>& picker, FILEOPENDIALOGOPTIONS flags,
                const wchar_t* title, bool imageTypes) {
  if (FAILED(CoCreateInstance(CLSID_FileOpenDialog, nullptr, CLSCTX_INPROC_SERVER,
                              IID_IFileOpenDialog, reinterpret_cast<void**>(picker.Put()))))
    return false;
  FILEOPENDIALOGOPTIONS options = 0;
  picker->GetOptions(&options);
  picker->SetOptions(options | flags);
  if (imageTypes) {
    const COMDLG_FILTERSPEC types[] = {{kFilterImagesName, kFilterImagesSpec},
                                       {kFilterAllName, kFilterAllSpec}};
    picker->SetFileTypes(2, types);
  }
  picker->SetTitle(title);
  return SUCCEEDED(picker->Show(MainDialogWindow));
}

bool FileSystemPath(IShellItem* item, std::wstring* path) {
  PWSTR name = nullptr;
  if (FAILED(item->GetDisplayName(SIGDN_FILESYSPATH, &name))) return false;
  *path = name;
  CoTaskMemFree(name);
  return true;
}

bool IsFolder(const std::wstring& path) {
  int systemError = 0;
  return QueryPathKind(path, &systemError) == PathKind::Folder;
}

std::wstring DroppedPath(HDROP drop, UINT index) {
  std::wstring path(DragQueryFileW(drop, index, nullptr, 0), L'\0');
  path.resize(DragQueryFileW(drop, index, path.data(), static_cast<UINT>(path.size() + 1)));
  return path;
}

// Files as they are and folders expanded, in the drop's order, as the pickers queue
// them; one box for the drop when a folder in it held no image.
void AddDroppedPaths(HDROP drop) {
  const bool recursive = IsDlgButtonChecked(MainDialogWindow, IDC_RECURSIVE) == BST_CHECKED;
  const UINT count = DragQueryFileW(drop, 0xFFFFFFFF, nullptr, 0);
  ImageList paths;
  bool emptyFolder = false;
  for (UINT i = 0; i < count; ++i) {
    const std::wstring path = DroppedPath(drop, i);
    if (path.empty()) continue;
    if (!IsFolder(path)) paths.push_back(path);
    else if (CollectImages(path, recursive, &paths) == 0) emptyFolder = true;
  }
  if (!paths.empty()) AddPathsToList(paths);
  if (emptyFolder)
    MessageBoxW(MainDialogWindow, kNoImagesInFolder, kCaptionInfo, MB_OK | MB_ICONINFORMATION);
}

// The folder the user picked, or an empty text when there is none.
std::wstring PickFolder(const wchar_t* title) {
  ComRef<IFileOpenDialog> picker;
  if (!ShowPicker(picker, FOS_PICKFOLDERS, title, false)) return {};
  ComRef<IShellItem> item;
  std::wstring path;
  if (FAILED(picker->GetResult(item.Put())) || !FileSystemPath(item.Get(), &path)) return {};
  return path;
}

}  // namespace

void AddPathsToList(const ImageList& paths) {
  DialogState* state = GetDialogState();
  HWND list = GetDlgItem(MainDialogWindow, IDC_FILE_LIST);
  const size_t total = state->files.size() + paths.size();
  state->files.reserve(total);
  // Thousands of rows at once: a list that redraws and resizes its scroll bar for
  // each one takes seconds, so it draws nothing until the last row is in, with room
  // for all of them made first. Turning redraw back on does not repaint by itself.
  SendMessageW(list, WM_SETREDRAW, FALSE, 0);
  SendMessageW(list, LVM_SETITEMCOUNT, total, 0);
  for (const std::filesystem::path& path : paths) {
    const int row = static_cast<int>(state->files.size());
    state->files.push_back(path.native());
    SetRowText(list, row, 0, FileNamePart(path.native()));
    SetRowText(list, row, 1, path.native());
    SetRowText(list, row, 2, kRowPending);
  }
  SendMessageW(list, WM_SETREDRAW, TRUE, 0);
  RedrawWindow(list, nullptr, nullptr, RDW_ERASE | RDW_FRAME | RDW_INVALIDATE | RDW_ALLCHILDREN);
  SetDlgItemTextW(MainDialogWindow, IDC_STATUS,
                  FormatText(64, kStatusCount, state->files.size()).c_str());
}

void PickImageFiles() {
  if (Busy()) return;
  ComRef<IFileOpenDialog> picker;
  if (!ShowPicker(picker, FOS_ALLOWMULTISELECT | FOS_FILEMUSTEXIST, kPickFilesTitle, true)) return;
  ComRef<IShellItemArray> items;
  if (FAILED(picker->GetResults(items.Put()))) return;
  DWORD count = 0;
  items->GetCount(&count);
  ImageList paths;
  for (DWORD i = 0; i < count; ++i) {
    ComRef<IShellItem> item;
    std::wstring path;
    if (SUCCEEDED(items->GetItemAt(i, item.Put())) && FileSystemPath(item.Get(), &path))
      paths.push_back(path);
  }
  if (!paths.empty()) AddPathsToList(paths);
}

void PickImageFolder() {
  if (Busy()) return;
  const std::wstring folder = PickFolder(kPickFolderTitle);
  if (folder.empty()) return;
  // Read after the picker has closed: the box counts for this folder only.
  const bool recursive = IsDlgButtonChecked(MainDialogWindow, IDC_RECURSIVE) == BST_CHECKED;
  ImageList images;
  CollectImages(folder, recursive, &images);
  if (images.empty()) {
    MessageBoxW(MainDialogWindow, kNoImagesInFolder, kCaptionInfo, MB_OK | MB_ICONINFORMATION);
    return;
  }
  AddPathsToList(images);
}

void ClearFileList() {
  if (Busy()) return;
  GetDialogState()->files.clear();
  SendDlgItemMessageW(MainDialogWindow, IDC_FILE_LIST, LVM_DELETEALLITEMS, 0, 0);
  SetDlgItemTextW(MainDialogWindow, IDC_STATUS, kStatusReady);
  SetDlgItemTextW(MainDialogWindow, IDC_ESTIMATE, kEstimateNone);
}

void BrowseOutputFolder() {
  if (Busy()) return;
  const std::wstring folder = PickFolder(kPickOutputTitle);
  if (!folder.empty()) SetDlgItemTextW(MainDialogWindow, IDC_OUTPUT_DIR, folder.c_str());
}

void OnDropFiles(HDROP drop) {
  if (!Busy()) AddDroppedPaths(drop);  // like the disabled add buttons
  DragFinish(drop);
}
