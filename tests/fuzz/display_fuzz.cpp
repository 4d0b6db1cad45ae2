// Fuzzes the display of received bytes: whatever the device sends, the
// screen gets no Esc and no other control byte beyond backspace, tab, LF,
// VT and FF, one byte out for each byte shown, in order.
#include <cstdio>
#include <cstdlib>

#include "display.h"

namespace {

void Fail(const char* check, int line) {
  std::fprintf(stderr, "check failed, line %d: %s\n", line, check);
  std::abort();
}
#define Check(ok) ((ok) ? (void)0 : Fail(#ok, __LINE__))

char* screen = nullptr;
size_t screen_size = 0;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static FILE* capture = [] {
    FILE* memory = open_memstream(&screen, &screen_size);
    stdout = memory;
    return memory;
  }();
  std::rewind(capture);
  for (size_t i = 0; i < size; ++i) ShowReceivedByte(data[i]);
  std::fflush(capture);
  Check(static_cast<size_t>(std::ftell(capture)) <= screen_size);
  size_t out = 0;
  for (size_t i = 0; i < size; ++i) {
    uint8_t in = data[i];
    if (in < 0x08 || (in > 0x0D && in < 0x20)) continue;  // dropped
    uint8_t shown = static_cast<uint8_t>(screen[out++]);
    Check(shown == (in == 0x0D ? 0x0A : in));
    Check(shown >= 0x08 && shown != 0x0D && shown != 0x1B);
  }
  Check(out == static_cast<size_t>(std::ftell(capture)));
  return 0;
}
