// Translation of terminal key input bytes into Windows console key codes.
// Pure: no I/O, no state, so it is tested on its own.
#pragma once

#include <cstddef>
#include <cstdint>

namespace console {

// Longer sequences are no keys: they are dropped whole.
constexpr size_t kLongestKeySequence = 64;

struct KeyCodes {
  size_t consumed;  // input bytes this key used up (at least 1)
  int count;        // codes it yields: 0 (dropped), 1, or 2 (lead, code)
  uint8_t codes[2];
};

// Decodes the key at the start of bytes[0..length). Returns false when the
// bytes may be the start of a longer sequence and more may still come;
// `settled` says no more will (the wait for them is over), so the bytes are
// decided as they stand. `erase` is the terminal's erase character, read as
// Backspace (8).
bool DecodeKey(const uint8_t* bytes, size_t length, bool settled, uint8_t erase, KeyCodes* out);

// The keys on their way from the terminal to the key read: bytes read and
// not yet decided, then the codes of the last decided key, served one per
// read, a pending second code first.
struct KeyInput {
  uint8_t bytes[kLongestKeySequence];
  size_t length = 0;
  uint8_t codes[2] = {};
  int next = 0;
  int count = 0;
  uint8_t dropping = 0;  // in the tail of a sequence too long to hold: where
};

size_t KeyInputRoom(const KeyInput& input);
// Appends at most KeyInputRoom() bytes.
void KeyInputAdd(KeyInput* input, const uint8_t* bytes, size_t length);
// Whether a code can be taken now, deciding held-back bytes as far as they
// go. `settled` as for DecodeKey; a full buffer is always settled.
bool KeyInputReady(KeyInput* input, bool settled, uint8_t erase);
// The next code; only after KeyInputReady() said yes.
uint8_t KeyInputTake(KeyInput* input);
// Bytes are held back as a possible sequence, and no code is ready.
bool KeyInputUndecided(const KeyInput& input);
// Nothing is held: no byte, no code.
bool KeyInputEmpty(const KeyInput& input);

}  // namespace console
