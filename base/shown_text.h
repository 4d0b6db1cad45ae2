// Text that did not come from this program (a process name, a USB string,
// a device name, a path the user gave) as it may reach a terminal.
#pragma once

#include <cstddef>

namespace shown {

// Printable UTF-8 as it is; C0 controls, DEL, C1 controls, the backslash
// and bytes that are not valid UTF-8 escaped ("\e", "\n", "\x9b", "\\"),
// so that the text can neither drive the terminal nor span two lines.
// Written into `out` (zero-terminated), cut short with "..." where it would
// not fit; `size` is at least 4.
void Show(const char* raw, char* out, size_t size);

// The same as a value, for a message's arguments: Shown(path).text.
template <size_t N>
struct Text {
  char text[N];
};
template <size_t N = 400>
Text<N> Shown(const char* raw) {
  Text<N> shown;
  Show(raw, shown.text, N);
  return shown;
}

}  // namespace shown
