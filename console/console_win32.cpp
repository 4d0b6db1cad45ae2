// Keys on Windows are the runtime's own _kbhit and _getch.
#include "console_win32.h"

#include <conio.h>

#include "console.h"

namespace console {

int _kbhit() { return ::_kbhit(); }
int _getch() { return ::_getch(); }
// The Windows console reports keys whole: nothing is ever undecided.
void AwaitKeyDecision() {}
// The console gives keys as typed whenever they come.
void TakeKeyboard() {}

HANDLE InputHandle() {
  static HANDLE input =
      CreateFileA("CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                  nullptr, OPEN_EXISTING, 0, nullptr);
  return input;
}

}  // namespace console
