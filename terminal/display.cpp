#include "display.h"

#include <cstdio>

void ShowReceivedByte(uint8_t byte) {
  if (byte == '\r') {
    std::printf("\n");
    return;
  }
  bool shown = (byte >= 0x08 && byte <= 0x0C) || byte >= 0x20;
  if (!shown) return;
  std::printf("%c", byte);
  std::fflush(stdout);
}
