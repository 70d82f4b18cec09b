// Drives a running Quillmar.exe from outside, through window messages only, so
// that tools/screenshots.sh can show the real program at work.
//   dialog_driver wait              until the main dialog is up
//   dialog_driver recursive         tick "递归子文件夹"
//   dialog_driver add-folder PATH [N]  "添加文件夹..." and the folder picker; with N,
//                                   wait for N rows and the count line, print the seconds
//   dialog_driver drop PATH...      drop files and folders on the dialog, as Explorer does
//   dialog_driver select            select the first row (keyboard)
//   dialog_driver quality N         move the slider to N
//   dialog_driver output PATH       type PATH into the output folder box
//   dialog_driver wait-estimate     until the preview shows a figure
//   dialog_driver start             "开始压缩" and wait for the batch to end
//   dialog_driver clear             "清空列表"
//   dialog_driver close             "退出"
//   dialog_driver timed-batch [MS]  "开始压缩", timed until the summary shows; with MS, a
//                                   close request (Alt+F4's SC_CLOSE) MS ms after the
//                                   start, timed until the refusal box shows, then answered
// The timed commands print "name: seconds" lines and the summary's Unix time, for
// bench/dialog-thousands.sh to set beside the times of the files written.
#include <windows.h>
#include <commctrl.h>
#include <shellapi.h>
#include <shlobj.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "gui/resource.h"

namespace {

HWND FindTopLevel(const wchar_t* title, int timeoutMs = 20000) {
  for (int waited = 0; waited < timeoutMs; waited += 50) {
    HWND window = FindWindowW(nullptr, title);
    if (window && IsWindowVisible(window)) return window;
    Sleep(50);
  }
  return nullptr;
}

HWND FindEdit(HWND parent) {
  HWND found = nullptr;
  EnumChildWindows(
      parent,
      [](HWND child, LPARAM context) -> BOOL {
        wchar_t name[32];
        GetClassNameW(child, name, 32);
        if (lstrcmpiW(name, L"Edit") != 0 || !IsWindowVisible(child)) return TRUE;
        *reinterpret_cast<HWND*>(context) = child;
        return FALSE;
      },
      reinterpret_cast<LPARAM>(&found));
  return found;
}

std::wstring Text(HWND dialog, int id) {
  wchar_t text[256] = L"";
  SendDlgItemMessageW(dialog, id, WM_GETTEXT, 256, reinterpret_cast<LPARAM>(text));
  return text;
}

bool WaitFor(bool (*done)(HWND), HWND dialog, int timeoutMs = 60000) {
  for (int waited = 0; waited < timeoutMs; waited += 50) {
    if (done(dialog)) return true;
    Sleep(50);
  }
  return false;
}

// A drop as the shell hands it to a window: a DROPFILES block holding the paths,
// each ended by a zero, then one more zero. Its memory must be the program's own,
// and Wine carries no drop from one process to another (Windows does), so the
// block is written into the program's memory and given as a fixed-memory handle.
HDROP MakeDropIn(HWND dialog, const std::vector<std::wstring>& paths) {
  std::wstring list;
  for (const std::wstring& path : paths) list += path + L'\0';
  list += L'\0';
  std::string block(sizeof(DROPFILES), '\0');
  DROPFILES header = {};
  header.pFiles = sizeof(DROPFILES);
  header.fWide = TRUE;
  memcpy(block.data(), &header, sizeof header);
  block.append(reinterpret_cast<const char*>(list.data()), list.size() * sizeof(wchar_t));
  DWORD id = 0;
  GetWindowThreadProcessId(dialog, &id);
  HANDLE process = OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_WRITE, FALSE, id);
  void* remote = process ? VirtualAllocEx(process, nullptr, block.size(), MEM_COMMIT, PAGE_READWRITE) : nullptr;
  if (remote) WriteProcessMemory(process, remote, block.data(), block.size(), nullptr);
  if (process) CloseHandle(process);
  return static_cast<HDROP>(remote);
}

double Seconds() {
  using namespace std::chrono;
  return duration<double>(steady_clock::now().time_since_epoch()).count();
}

// Wall-clock time as Unix seconds (Wine's clock is the host's), to compare with file times.
double UnixSeconds() {
  FILETIME now;
  GetSystemTimePreciseAsFileTime(&now);
  const ULONGLONG ticks = (static_cast<ULONGLONG>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
  return static_cast<double>(ticks - 116444736000000000ULL) / 1e7;
}

bool WaitForText(HWND dialog, int id, const std::wstring& prefix, int timeoutMs) {
  for (int waited = 0; waited < timeoutMs; waited += 5, Sleep(5))
    if (Text(dialog, id).compare(0, prefix.size(), prefix) == 0) return true;
  return false;
}

// The refusal box of the program (caption "提示"), waited for by polling.
HWND FindRefusal(HWND dialog, int timeoutMs) {
  DWORD program = 0;
  GetWindowThreadProcessId(dialog, &program);
  for (int waited = 0; waited < timeoutMs; waited += 2, Sleep(2)) {
    HWND box = FindWindowW(L"#32770", L"提示");
    DWORD owner = 0;
    if (box) GetWindowThreadProcessId(box, &owner);
    if (box && owner == program && IsWindowVisible(box)) return box;
  }
  return nullptr;
}

int TimedBatch(HWND dialog, const wchar_t* closeAfterMs) {
  const double start = Seconds();
  PostMessageW(GetDlgItem(dialog, IDC_START), BM_CLICK, 0, 0);
  if (!WaitForText(dialog, IDC_STATUS, L"状态: 压缩中", 20000)) return 1;
  if (closeAfterMs) {
    Sleep(static_cast<DWORD>(_wtoi(closeAfterMs)));
    const double asked = Seconds();
    PostMessageW(dialog, WM_SYSCOMMAND, SC_CLOSE, 0);
    HWND box = FindRefusal(dialog, 60000);
    std::printf("refusal: %s\n", box ? std::to_string(Seconds() - asked).c_str() : "none");
    if (box) PostMessageW(box, WM_COMMAND, IDOK, 0);
  }
  if (!WaitForText(dialog, IDC_STATUS, L"状态: 处理完成", 600000)) return 1;
  std::printf("batch: %.3f\nsummary_at: %.3f\n", Seconds() - start, UnixSeconds());
  Sleep(1000);  // a close request carried out late would have ended the dialog by now
  std::printf("open_after: %s\n", IsWindow(dialog) ? "yes" : "no");
  return 0;
}

int Run(const std::wstring& command, const wchar_t* argument, const std::vector<std::wstring>& rest) {
  HWND dialog = FindTopLevel(L"Quillmar工具");
  if (!dialog) return 1;
  if (command == L"wait") return 0;
  if (command == L"add-folder") {
    PostMessageW(GetDlgItem(dialog, IDC_ADD_FOLDER), BM_CLICK, 0, 0);
    HWND picker = FindTopLevel(L"选择包含图片的文件夹");
    if (!picker || !argument) {
      std::fprintf(stderr, "dialog_driver: no folder picker\n");
      return 1;
    }
    Sleep(500);
    SendMessageW(FindEdit(picker), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(argument));
    const double start = Seconds();
    PostMessageW(picker, WM_COMMAND, IDOK, 0);
    if (rest.size() > 1) {
      const std::wstring count = rest[1];
      for (int waited = 0; waited < 120000; waited += 5, Sleep(5)) {
        if (SendDlgItemMessageW(dialog, IDC_FILE_LIST, LVM_GETITEMCOUNT, 0, 0) >= _wtoi(count.c_str()) &&
            Text(dialog, IDC_STATUS) == L"共 " + count + L" 张图片") {
          std::printf("add: %.3f\n", Seconds() - start);
          return 0;
        }
      }
      return 1;
    }
    return WaitFor([](HWND d) { return SendDlgItemMessageW(d, IDC_FILE_LIST, LVM_GETITEMCOUNT, 0, 0) > 0; },
                   dialog) ? 0 : 1;
  }
  if (command == L"drop" && !rest.empty()) {
    const LRESULT before = SendDlgItemMessageW(dialog, IDC_FILE_LIST, LVM_GETITEMCOUNT, 0, 0);
    HDROP drop = MakeDropIn(dialog, rest);
    if (!drop) return 1;
    PostMessageW(dialog, WM_DROPFILES, reinterpret_cast<WPARAM>(drop), 0);
    for (int waited = 0; waited < 20000; waited += 50, Sleep(50))
      if (SendDlgItemMessageW(dialog, IDC_FILE_LIST, LVM_GETITEMCOUNT, 0, 0) > before) return 0;
    return 1;
  }
  if (command == L"recursive") {
    SendMessageW(GetDlgItem(dialog, IDC_RECURSIVE), BM_CLICK, 0, 0);
    return 0;
  }
  if (command == L"select") {
    HWND list = GetDlgItem(dialog, IDC_FILE_LIST);
    PostMessageW(list, WM_KEYDOWN, VK_DOWN, 0);
    PostMessageW(list, WM_KEYUP, VK_DOWN, 0);
    return 0;
  }
  if (command == L"quality" && argument) {
    const int position = _wtoi(argument);
    HWND slider = GetDlgItem(dialog, IDC_QUALITY);
    SendMessageW(slider, TBM_SETPOS, TRUE, position);
    SendMessageW(dialog, WM_HSCROLL, MAKEWPARAM(TB_THUMBPOSITION, position), reinterpret_cast<LPARAM>(slider));
    return 0;
  }
  if (command == L"wait-estimate") {
    return WaitFor([](HWND d) {
             std::wstring t = Text(d, IDC_ESTIMATE);
             return t != L"预计: --" && t != L"预计: 计算中..." && t != L"预计: 请先选择图片";
           }, dialog) ? 0 : 1;
  }
  if (command == L"start") {
    PostMessageW(GetDlgItem(dialog, IDC_START), BM_CLICK, 0, 0);
    Sleep(300);
    return WaitFor([](HWND d) { return IsWindowEnabled(GetDlgItem(d, IDC_START)) != FALSE; }, dialog) ? 0 : 1;
  }
  if (command == L"clear") {
    SendMessageW(GetDlgItem(dialog, IDC_CLEAR_LIST), BM_CLICK, 0, 0);
    return 0;
  }
  if (command == L"output" && argument) {
    SendDlgItemMessageW(dialog, IDC_OUTPUT_DIR, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(argument));
    return 0;
  }
  if (command == L"timed-batch") return TimedBatch(dialog, argument);
  if (command == L"close") {
    PostMessageW(dialog, WM_COMMAND, IDCANCEL, 0);
    return 0;
  }
  return 2;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: dialog_driver COMMAND [ARGUMENT]\n");
    return 2;
  }
  return Run(argv[1], argc > 2 ? argv[2] : nullptr, std::vector<std::wstring>(argv + 2, argv + argc));
}
