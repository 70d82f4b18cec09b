#include "gui/main_dialog.h"

#include <commctrl.h>
#include <shlobj.h>

#include <filesystem>

#include "gui/batch.h"
#include "gui/dialog_state.h"
#include "gui/estimate_preview.h"
#include "gui/file_list.h"
#include "gui/messages.h"
#include "gui/resource.h"
#include "gui/texts.h"

namespace fs = std::filesystem;

std::wstring DefaultOutputFolder() {
  wchar_t pictures[MAX_PATH];
  if (SHGetFolderPathW(nullptr, CSIDL_MYPICTURES, nullptr, SHGFP_TYPE_CURRENT, pictures) >= 0)
    return (fs::path(pictures) / kOutputSubfolder).native();
  wchar_t exe[1024];
  DWORD n = GetModuleFileNameW(nullptr, exe, 1024);
  if (n == 0 || n >= 1024) return kFallbackSubfolder;  // nothing better is known
  return (fs::path(exe).parent_path() / kFallbackSubfolder).native();
}

namespace {

void InsertColumn(HWND list, int index, const wchar_t* header, int width) {
  LVCOLUMNW column = {};
  column.mask = LVCF_FMT | LVCF_WIDTH | LVCF_TEXT;
  column.fmt = LVCFMT_LEFT;
  column.cx = width;
  column.pszText = const_cast<wchar_t*>(header);
  SendMessageW(list, LVM_INSERTCOLUMNW, index, reinterpret_cast<LPARAM>(&column));
}

// The dialog manager scales fonts and controls for a per-monitor aware dialog, but
// column widths are raw pixels: scale them from 96 DPI to the list's own. Looked up
// at run time, like the awareness call, so the program starts where it is missing.
int ScaleToWindowDpi(HWND window, int pixels) {
  HMODULE user32 = GetModuleHandleW(L"user32.dll");
  if (!user32) return pixels;
  using GetDpiFn = UINT(WINAPI*)(HWND);
  auto get = reinterpret_cast<GetDpiFn>(
      reinterpret_cast<void*>(GetProcAddress(user32, "GetDpiForWindow")));
  const UINT dpi = get ? get(window) : 0;
  return dpi ? MulDiv(pixels, static_cast<int>(dpi), 96) : pixels;
}

// An elevated program gets no drops from Explorer unless it lets the drop's
// messages through. Looked up at run time; where it is missing, there is no such block.
void AllowDropsFromLowerIntegrity(HWND dialog) {
  HMODULE user32 = GetModuleHandleW(L"user32.dll");
  if (!user32) return;
  using FilterFn = BOOL(WINAPI*)(HWND, UINT, DWORD, void*);
  auto allow = reinterpret_cast<FilterFn>(
      reinterpret_cast<void*>(GetProcAddress(user32, "ChangeWindowMessageFilterEx")));
  if (!allow) return;
  const UINT kCopyGlobalData = 0x0049;  // WM_COPYGLOBALDATA, not in the headers
  for (UINT message : {static_cast<UINT>(WM_DROPFILES), static_cast<UINT>(WM_COPYDATA), kCopyGlobalData})
    allow(dialog, message, 1 /* MSGFLT_ALLOW */, nullptr);
}

BOOL OnInitDialog(HWND dialog) {
  MainDialogWindow = dialog;
  SetWindowLongPtrW(dialog, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(new DialogState()));
  // The module the dialog was made from holds the icon as well: the instance
  // comes down with the dialog, not from the program's entry.
  const auto instance = reinterpret_cast<HINSTANCE>(GetWindowLongPtrW(dialog, GWLP_HINSTANCE));
  HICON icon = LoadIconW(instance, MAKEINTRESOURCEW(IDI_APP));
  SendMessageW(dialog, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon));
  SendMessageW(dialog, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(icon));

  HWND list = GetDlgItem(dialog, IDC_FILE_LIST);
  SendMessageW(list, LVM_SETEXTENDEDLISTVIEWSTYLE, 0, LVS_EX_FULLROWSELECT | LVS_EX_GRIDLINES);
  InsertColumn(list, 0, kColumnName, ScaleToWindowDpi(list, 190));
  InsertColumn(list, 1, kColumnPath, ScaleToWindowDpi(list, 220));
  InsertColumn(list, 2, kColumnStatus, ScaleToWindowDpi(list, 70));

  SendDlgItemMessageW(dialog, IDC_QUALITY, TBM_SETRANGE, TRUE, MAKELPARAM(0, 100));
  SendDlgItemMessageW(dialog, IDC_QUALITY, TBM_SETPOS, TRUE, 80);
  SetDlgItemTextW(dialog, IDC_QUALITY_VALUE, kInitialQuality);
  SetDlgItemTextW(dialog, IDC_ESTIMATE, kEstimateNone);
  SetDlgItemTextW(dialog, IDC_OUTPUT_DIR, DefaultOutputFolder().c_str());
  SendDlgItemMessageW(dialog, IDC_PROGRESS, PBM_SETRANGE32, 0, 100);
  SendDlgItemMessageW(dialog, IDC_PROGRESS, PBM_SETPOS, 0, 0);
  PrepareLog();
  DragAcceptFiles(dialog, TRUE);  // files and folders dropped anywhere on the window
  AllowDropsFromLowerIntegrity(dialog);
  return TRUE;
}

void OnQualityMoved(HWND dialog) {
  int position = static_cast<int>(SendDlgItemMessageW(dialog, IDC_QUALITY, TBM_GETPOS, 0, 0));
  SetDlgItemTextW(dialog, IDC_QUALITY_VALUE, FormatText(16, kQualityFormat, position).c_str());
  RestartEstimateTimer();
}

void OnCancel(HWND dialog) {
  DialogState* state = GetDialogState();
  if (state && state->busy) {
    MessageBoxW(dialog, kBusyExit, kCaptionInfo, MB_OK | MB_ICONINFORMATION);
    return;
  }
  EndDialog(dialog, IDCANCEL);
}

// Only the control id counts: the buttons send nothing but BN_CLICKED.
INT_PTR OnCommand(HWND dialog, WORD id) {
  switch (id) {
    case IDCANCEL: OnCancel(dialog); return TRUE;
    case IDC_ADD_FILES: PickImageFiles(); return TRUE;
    case IDC_ADD_FOLDER: PickImageFolder(); return TRUE;
    case IDC_CLEAR_LIST:
      ClearFileList();
      ForgetPreviewImage();
      return TRUE;
    case IDC_BROWSE_OUTPUT: BrowseOutputFolder(); return TRUE;
    case IDC_START:
      ForgetPreviewImage();  // the batch needs the memory more
      StartBatch();
      return TRUE;
    default: return FALSE;
  }
}

void OnDestroy(HWND dialog) {
  KillTimer(dialog, ESTIMATE_TIMER);
  ClosePreview();
  delete GetDialogState();
  SetWindowLongPtrW(dialog, GWLP_USERDATA, 0);
}

}  // namespace

INT_PTR CALLBACK MainDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_INITDIALOG:
      return OnInitDialog(dialog);
    case WM_COMMAND:
      return OnCommand(dialog, LOWORD(wParam));
    case WM_HSCROLL:
      if (reinterpret_cast<HWND>(lParam) == GetDlgItem(dialog, IDC_QUALITY)) OnQualityMoved(dialog);
      return TRUE;
    case WM_NOTIFY: {
      // Only a change of state (the selection) concerns the preview. A row's status
      // text changes once per file in a batch, and a list may report that as an item
      // change too; asking it for its selection each time walks the rows, which over
      // thousands of rows is quadratic.
      const NMHDR* header = reinterpret_cast<const NMHDR*>(lParam);
      if (header->idFrom == IDC_FILE_LIST && header->code == LVN_ITEMCHANGED &&
          (reinterpret_cast<const NMLISTVIEW*>(lParam)->uChanged & LVIF_STATE))
        OnFileListChanged();
      return FALSE;
    }
    case WM_DROPFILES:
      OnDropFiles(reinterpret_cast<HDROP>(wParam));
      return TRUE;
    case WM_TIMER:
      if (wParam != BATCH_TIMER) OnEstimateTimer(wParam);
      // The estimate timer did nothing during the batch: ask again for the row and quality now shown.
      else if (OnBatchTimer()) RestartEstimateTimer();
      return TRUE;
    case MSG_FILE_DONE:
      OnFileDone();
      return TRUE;
    case MSG_BATCH_DONE:
      OnBatchDone();
      return TRUE;
    case MSG_ESTIMATE_DONE:
      OnEstimateDone(reinterpret_cast<EstimateJob*>(lParam));
      return TRUE;
    case WM_QUERYENDSESSION: {
      // While a batch runs, Windows shows our reason (set by the batch) and lets
      // the user wait or go on; an output cut off then is removed by the system.
      const DialogState* state = GetDialogState();
      SetWindowLongPtrW(dialog, DWLP_MSGRESULT, state && state->busy ? FALSE : TRUE);
      return TRUE;
    }
    case WM_DESTROY:
      OnDestroy(dialog);
      return FALSE;
    default:
      return FALSE;
  }
}
