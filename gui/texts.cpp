#include "gui/texts.h"

#include <windows.h>

#include <cwchar>
#include <filesystem>

#include "engine/utf8.h"
#include "gui/dialog_state.h"

std::wstring LogSuccessLine(int number, const std::wstring& name, int width, int height,
                            const wchar_t* channels, const std::wstring& inputSize,
                            const std::wstring& outputSize, bool saved,
                            const std::wstring& percent, const std::wstring& outputPath) {
  return L"[" + std::to_wstring(number) + L"] 成功 " + name + L" (" + std::to_wstring(width) +
         L"x" + std::to_wstring(height) + L" " + channels + L") " + inputSize + L" -> " +
         outputSize + L", " + (saved ? kSaved : kGrew) + L" " + percent + L"%  -> " + outputPath;
}

std::wstring ControlText(int id, size_t capacity) {
  std::wstring text(capacity, L'\0');
  UINT n = GetDlgItemTextW(MainDialogWindow, id, text.data(), static_cast<int>(capacity));
  text.resize(n);
  return text;
}

std::wstring FormatText(size_t capacity, const wchar_t* format, ...) {
  va_list args;
  va_start(args, format);
  std::wstring text = FormatTextV(capacity, format, args);
  va_end(args);
  return text;
}

std::wstring FormatTextV(size_t capacity, const wchar_t* format, va_list args) {
  std::wstring text(capacity, L'\0');
  for (;;) {
    va_list copy;
    va_copy(copy, args);
    int n = std::vswprintf(text.data(), text.size(), format, copy);
    va_end(copy);
    if (n >= 0) {
      text.resize(static_cast<size_t>(n));
      break;
    }
    if (text.size() > (1u << 22)) return {};  // not a length problem: nothing sensible to show
    text.assign(text.size() * 2, L'\0');     // too long: format in a bigger buffer, then cut
  }
  if (text.size() > capacity - 1) text.resize(capacity - 1);
  return text;
}

std::wstring Widen(const std::string& utf8) { return Utf8ToPath(utf8).native(); }

std::wstring FileNamePart(const std::wstring& path) {
  return std::filesystem::path(path).filename().native();
}
