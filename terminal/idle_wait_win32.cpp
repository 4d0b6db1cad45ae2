#include <windows.h>

#include "comport.h"
#include "console_win32.h"
#include "idle_wait.h"

namespace {

// A synchronous port handle cannot be waited on, so the port is looked at
// this often: at 2400 baud about two bytes arrive meanwhile, far below the
// driver's 1024-byte queue.
constexpr DWORD kPortLookMs = 10;

}  // namespace

void IdleWait() {
  HANDLE input = console::InputHandle();
  INPUT_RECORD record;
  DWORD count = 0;
  // Peeking also makes Wine's console start reading the keyboard.
  if (input != INVALID_HANDLE_VALUE && PeekConsoleInputA(input, &record, 1, &count) && count == 0) {
    WaitForSingleObject(input, kPortLookMs);  // a key ends the wait at once
  } else {
    // Events that give no key (focus, resize, mouse) stay queued until a key
    // read takes them and keep the handle signalled: waiting on it would spin.
    Sleep(kPortLookMs);
  }
  ComportAfterWait(PortSaw::kNothing);
}

// The runtime's own key read waits: the port is looked at again after it.
void AwaitKeyWatchingPort() {}
