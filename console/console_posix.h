// POSIX console internals the terminal's idle wait needs.
#pragma once

namespace console {

// The descriptor on which keys arrive, or -1 when the console is not open
// or cannot be read.
int KeyPollFd();

// The idle wait saw no input on KeyPollFd(): the next key test may rely
// on that instead of reading the terminal again.
void KeysSeenQuiet();

// Puts the terminal back as the user had it, if it was taken over; safe in
// a signal handler, for the program's exits by signal.
void RestoreUserMode();

// Milliseconds until bytes held back as a possible key sequence must be
// decided (a lone Esc, say), or -1 when none are held back.
int KeyDecideInMs();

}  // namespace console

#include <cstddef>

namespace console {

// Converts a Shift_JIS text into the character set `codeset` (as iconv
// names it). False when that is impossible; out is then unspecified.
bool ConvertShiftJis(const char* text, const char* codeset, char* out, size_t size, size_t* length);

}  // namespace console
