// vlxterm: a serial-port test terminal. Shows what the device on COM1 sends
// and sends the lines the operator types.
#include <cstdio>

#include "comport.h"
#include "console.h"
#include "display.h"
#include "idle_wait.h"

int main() {
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
    } else if (console::_kbhit()) {
      console::_getch();  // line entry is not built yet: the key is dropped
    } else {
      IdleWait();
    }
  }
}
