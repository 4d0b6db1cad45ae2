// What the terminal needs of the console: a key test that never waits, an
// unechoed key read, and standard output that shows each write at once.
#pragma once

namespace console {

// The Windows runtime's _kbhit and _getch, or their POSIX equivalents.
// Non-zero when a key code can be read without waiting (a pending second
// code counts); never waits, consumes nothing. 0 when there is no console.
int _kbhit();
// The next key code, 0-255, without echo; waits for a key. A key that has
// no character gives two codes on two reads: a lead 0x00 or 0xE0, then the
// key's code. -1 when the console cannot be read.
int _getch();

// Waits until bytes that may begin a key sequence are decided (a lone Esc,
// or the start of an arrow key's bytes), at most the rest of their short
// wait; returns at once when none are held back. Call before a key test
// whose answer must not be "not yet": the test after each sent byte.
void AwaitKeyDecision();

// Takes the keyboard before the program writes anything, so that keys
// typed during the start-up (while the port opens) reach the key read as
// typed: unechoed, Enter as 13. Every exit gives it back.
void TakeKeyboard();

// Sets standard output up: unbuffered on a terminal, fully buffered
// (4096 bytes) when redirected. Call before the first output.
void InitOutput();

// Writes a Shift_JIS text to standard output so that the console can show it.
void PrintShiftJis(const char* text);

}  // namespace console
