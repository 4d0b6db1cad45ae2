#include "display.h"

#include <cstdio>

namespace {

// What was written last left a screen line open (device text, a typed line
// not yet ended).
bool line_open = false;

}  // namespace

void ShowReceivedByte(uint8_t byte) {
  if (byte == '\r') {
    std::printf("\n");
    line_open = false;
    return;
  }
  bool shown = (byte >= 0x08 && byte <= 0x0C) || byte >= 0x20;
  if (!shown) return;
  std::printf("%c", byte);
  std::fflush(stdout);
  line_open = byte != '\n';
}

void ShowNote(const char* note) {
  std::printf("%s%s\n", line_open ? "\n" : "", note);
  std::fflush(stdout);
  line_open = false;
}

void TypedLineEnded() { line_open = false; }
