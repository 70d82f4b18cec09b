#pragma once
// The real main dialog, made from the real resources on the test's own thread,
// driven and read only through window messages.
#include <windows.h>
#include <commctrl.h>

#include <functional>
#include <string>
#include <thread>

#include "gui/dialog_state.h"
#include "gui/main_dialog.h"
#include "gui/messages.h"
#include "gui/resource.h"
#include "tests/test_support.h"

class DialogTest : public TempDirTest {
 protected:
  void SetUp() override;
  void TearDown() override;

  std::wstring Text(int id) const;
  int RowCount() const;
  std::wstring RowText(int row, int column) const;
  void Click(int id);
  void MoveQuality(int position);
  void SelectRow(int row);
  LRESULT Send(int id, UINT message, WPARAM wParam = 0, LPARAM lParam = 0) const;
  DialogState* State() const;
  std::wstring Log() const { return Text(IDC_LOG); }
  void RunBatch();  // start, then wait until the dialog is idle again

  HWND dialog_ = nullptr;
};

/// Processes this thread's messages for ms milliseconds.
void Pump(int ms);
/// Processes messages until done() holds or timeoutMs passes; returns done().
bool PumpUntil(const std::function<bool()>& done, int timeoutMs = 20000);

/// Waits on another thread for a top-level window with this title (the shell's
/// picker, a message box) and answers it.
struct WindowAnswer {
  std::thread thread;
  bool seen = false;
  std::wstring text;  // the message box's text, when it is one
  void Join() {
    if (thread.joinable()) thread.join();
  }
  ~WindowAnswer() { Join(); }
};

/// Enters `input` in the picker titled `title` and confirms it (or cancels when
/// input is empty). Steps with several inputs are typed one after the other, each
/// confirmed, so a folder can be opened before file names are entered.
void AnswerPicker(WindowAnswer* answer, const std::wstring& title,
                  std::vector<std::wstring> inputs, int timeoutMs = 15000);

/// Closes the message box titled `title` with OK, keeping its text.
void AnswerMessageBox(WindowAnswer* answer, const std::wstring& title, int timeoutMs = 15000);

/// Path as the dialog holds it (native separators, absolute).
std::wstring W(const fs::path& path);
