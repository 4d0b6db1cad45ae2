// Translation of terminal key input bytes into Windows console key codes.
// Pure: no I/O, no state, so it is tested on its own.
#pragma once

#include <cstddef>
#include <cstdint>

namespace console {

struct KeyCodes {
  size_t consumed;   // input bytes this key used up (at least 1)
  int count;         // codes it yields: 0 (dropped), 1, or 2 (lead, code)
  uint8_t codes[2];
};

// Decodes the key at the start of bytes[0..length). Returns false when the
// bytes may be the start of a longer sequence and more may still come;
// `settled` says no more will (the wait for them is over), so the bytes are
// decided as they stand. `erase` is the terminal's erase character, read as
// Backspace (8).
bool DecodeKey(const uint8_t* bytes, size_t length, bool settled, uint8_t erase,
               KeyCodes* out);

}  // namespace console
