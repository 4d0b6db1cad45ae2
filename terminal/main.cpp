// vlxterm: a serial-port test terminal. Shows what the device on COM1 sends
// and sends the lines the operator types.
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "comport.h"
#include "console.h"
#include "display.h"
#include "idle_wait.h"
#include "process.h"

namespace {

constexpr uint8_t kBell = 7;
constexpr uint8_t kBackspace = 8;
constexpr uint8_t kEnter = 13;
constexpr uint8_t kEsc = 27;
constexpr size_t kLineSize = 80;  // 79 typed bytes and the terminator

}  // namespace

int main() {
  PrepareProcess();
  console::TakeKeyboard();
  console::InitOutput();
  std::printf("VLX Test terminal by Q.Zolb \n");
  std::printf(" To exit, push [ESC] key \n");
  ComportSetting::port = 1;
  ComportSetting::baud = 2400;
  std::printf(" Port=%d , Baud=%d\n", static_cast<int>(ComportSetting::port),
              static_cast<int>(ComportSetting::baud));
  std::printf("---\n");
  ComportOpenSetting();

  for (;;) {
    // One byte per pass; keys wait while received bytes do.
    if (ComportRxCount() != 0) {
      ShowReceivedByte(ComportGetc());
      continue;
    }
    if (!console::_kbhit()) {
      while (const char* note = ComportNote()) ShowNote(note);
      IdleWait();
      continue;
    }

    // Line entry: keys are echoed until Enter; the port is not read
    // meanwhile, so what the device sends waits in the driver.
    uint8_t line[kLineSize];
    size_t position = 0;
    bool entered = false;
    for (;;) {
      AwaitKeyWatchingPort();
      int code = console::_getch();
      // The console is gone (hung up, end of input): drop the line and go on
      // showing what the device sends; the key test answers no key from now.
      if (code < 0) break;
      uint8_t key = static_cast<uint8_t>(code);
      if (key == kEsc) {
        ComportClose();
        std::exit(0);
      }
      if (key == kBackspace) {
        if (position > 0) {  // nothing to rub out at the start of the line
          --position;
          std::printf("%c %c", kBackspace, kBackspace);
        }
        continue;
      }
      if (key != kEnter && position == kLineSize - 1) {
        // Full: only Backspace, Enter and Esc still act; say so with a bell.
        std::printf("%c", kBell);
        std::fflush(stdout);
        continue;
      }
      line[position++] = key;
      std::printf("%c", key);
      std::fflush(stdout);
      if (key == kEnter) {
        line[position - 1] = 0;
        std::putc('\n', stdout);
        TypedLineEnded();
        entered = true;
        break;
      }
    }
    if (!entered) continue;
    // Sending: every byte in its own RTS pulse; Esc cuts the text short,
    // and the CR goes out always.
    ComportPuts(line);
    ComportPutc(kEnter);
  }
}
