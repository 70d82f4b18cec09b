#include "tests/gui_fixture.h"

#include <objbase.h>

#include <chrono>


void Pump(int ms) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (std::chrono::steady_clock::now() < end) {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
    Sleep(5);
  }
}

bool PumpUntil(const std::function<bool()>& done, int timeoutMs) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    Pump(10);
  }
  return true;
}

void DialogTest::SetUp() {
  TempDirTest::SetUp();
  CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_LISTVIEW_CLASSES | ICC_BAR_CLASSES |
                                                        ICC_PROGRESS_CLASS};
  InitCommonControlsEx(&controls);
  dialog_ = CreateDialogParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDD_MAIN), nullptr, MainDialogProc, 0);
  ASSERT_NE(dialog_, nullptr);
  ShowWindow(dialog_, SW_SHOW);
  Pump(50);
}

void DialogTest::TearDown() {
  if (dialog_) {
    // A batch still running would post to a dead window: let it end first.
    PumpUntil([&] { return !State() || !State()->busy; }, 60000);
    DestroyWindow(dialog_);
    Pump(20);
  }
  CoUninitialize();
  TempDirTest::TearDown();
}

LRESULT DialogTest::Send(int id, UINT message, WPARAM wParam, LPARAM lParam) const {
  return SendDlgItemMessageW(dialog_, id, message, wParam, lParam);
}

std::wstring DialogTest::Text(int id) const {
  HWND control = GetDlgItem(dialog_, id);
  std::wstring text(static_cast<size_t>(GetWindowTextLengthW(control)) + 1, L'\0');
  text.resize(static_cast<size_t>(GetWindowTextW(control, text.data(), static_cast<int>(text.size()))));
  return text;
}

int DialogTest::RowCount() const {
  return static_cast<int>(Send(IDC_FILE_LIST, LVM_GETITEMCOUNT));
}

std::wstring DialogTest::RowText(int row, int column) const {
  wchar_t text[2048] = L"";
  LVITEMW item = {};
  item.iSubItem = column;
  item.pszText = text;
  item.cchTextMax = 2048;
  Send(IDC_FILE_LIST, LVM_GETITEMTEXTW, row, reinterpret_cast<LPARAM>(&item));
  return text;
}

void DialogTest::Click(int id) {
  SendMessageW(dialog_, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
               reinterpret_cast<LPARAM>(GetDlgItem(dialog_, id)));
}

void DialogTest::MoveQuality(int position) {
  Send(IDC_QUALITY, TBM_SETPOS, TRUE, position);
  SendMessageW(dialog_, WM_HSCROLL, MAKEWPARAM(TB_THUMBPOSITION, position),
               reinterpret_cast<LPARAM>(GetDlgItem(dialog_, IDC_QUALITY)));
}

void DialogTest::SelectRow(int row) {
  LVITEMW item = {};
  item.stateMask = LVIS_SELECTED | LVIS_FOCUSED;
  item.state = row >= 0 ? LVIS_SELECTED | LVIS_FOCUSED : 0;
  Send(IDC_FILE_LIST, LVM_SETITEMSTATE, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(&item));
}

DialogState* DialogTest::State() const {
  return reinterpret_cast<DialogState*>(GetWindowLongPtrW(dialog_, GWLP_USERDATA));
}

void DialogTest::RunBatch() {
  Click(IDC_START);
  ASSERT_TRUE(PumpUntil([&] { return !State()->busy; }, 120000));
}

namespace {

HWND FindTopLevel(const std::wstring& title, int timeoutMs) {
  for (int waited = 0; waited < timeoutMs; waited += 20) {
    HWND window = FindWindowW(nullptr, title.c_str());
    if (window && IsWindowVisible(window)) return window;
    Sleep(20);
  }
  return nullptr;
}

HWND FindChildOfClass(HWND parent, const wchar_t* className) {
  struct Search { const wchar_t* name; HWND found; } search = {className, nullptr};
  EnumChildWindows(
      parent,
      [](HWND child, LPARAM context) -> BOOL {
        auto* s = reinterpret_cast<Search*>(context);
        wchar_t name[64];
        GetClassNameW(child, name, 64);
        if (lstrcmpiW(name, s->name) == 0 && IsWindowVisible(child)) {
          s->found = child;
          return FALSE;
        }
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&search));
  return search.found;
}

}  // namespace

void AnswerPicker(WindowAnswer* answer, const std::wstring& title,
                  std::vector<std::wstring> inputs, int timeoutMs) {
  answer->thread = std::thread([=] {
    HWND picker = FindTopLevel(title, timeoutMs);
    if (!picker) return;
    answer->seen = true;
    Sleep(300);  // let the picker finish filling its view
    if (inputs.empty()) {
      PostMessageW(picker, WM_COMMAND, IDCANCEL, 0);
      return;
    }
    for (const std::wstring& input : inputs) {
      HWND edit = FindChildOfClass(picker, L"Edit");
      SendMessageW(edit, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(input.c_str()));
      PostMessageW(picker, WM_COMMAND, IDOK, 0);
      Sleep(500);
      if (!IsWindow(picker)) return;
    }
  });
}

void AnswerMessageBox(WindowAnswer* answer, const std::wstring& title, int timeoutMs) {
  answer->thread = std::thread([=] {
    HWND box = FindTopLevel(title, timeoutMs);
    if (!box) return;
    answer->seen = true;
    wchar_t text[512] = L"";
    GetDlgItemTextW(box, 0xFFFF, text, 512);  // the message's static control
    answer->text = text;
    PostMessageW(box, WM_COMMAND, IDOK, 0);
  });
}

std::wstring W(const fs::path& path) { return fs::absolute(path).make_preferred().native(); }
