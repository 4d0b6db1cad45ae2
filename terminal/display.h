// How a byte received from the device is shown on the console.
#pragma once

#include <cstdint>

// Control bytes other than backspace, tab, LF, VT and FF are dropped, so
// the device cannot drive the user's terminal; CR ends the screen line.
void ShowReceivedByte(uint8_t byte);

// A line of the program's own (what the serial module says of its port),
// on a screen line of its own: a line end comes first only when what was
// written last did not end a line.
void ShowNote(const char* note);
// The typed line's echo has ended its screen line (after Enter).
void TypedLineEnded();
