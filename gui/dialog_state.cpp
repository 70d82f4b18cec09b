#include "gui/dialog_state.h"

HWND MainDialogWindow = nullptr;

DialogState* GetDialogState() {
  return reinterpret_cast<DialogState*>(GetWindowLongPtrW(MainDialogWindow, GWLP_USERDATA));
}
