// How a byte received from the device is shown on the console.
#pragma once

#include <cstdint>

// Control bytes other than backspace, tab, LF, VT and FF are dropped, so
// the device cannot drive the user's terminal; CR ends the screen line.
void ShowReceivedByte(uint8_t byte);
