// Standard output on Windows: the runtime already shows each write at once
// on a console and buffers 4096 bytes when redirected.
#include <windows.h>

#include <cstdio>

#include "console.h"

namespace console {

void InitOutput() {}

void PrintShiftJis(const char* text) {
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD mode = 0;
  if (!GetConsoleMode(out, &mode) || GetConsoleOutputCP() == 932) {
    std::fputs(text, stdout);  // a Japanese console, or no console to convert for
    return;
  }
  // Any other console: through UTF-16, which it shows whatever its code page.
  wchar_t wide[128];
  int length = MultiByteToWideChar(932, 0, text, -1, wide, sizeof wide / sizeof wide[0]);
  if (length <= 1) {
    std::fputs(text, stdout);
    return;
  }
  std::fflush(stdout);
  DWORD written = 0;
  WriteConsoleW(out, wide, static_cast<DWORD>(length - 1), &written, nullptr);
}

}  // namespace console
