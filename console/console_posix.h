// POSIX console internals for the terminal's idle wait and its exits.
#pragma once

namespace console {

// The descriptor on which keys arrive, or -1 when the console is not open
// or cannot be read.
int KeyPollFd();

// Milliseconds until bytes held back as a possible key sequence must be
// decided (a lone Esc, say), or -1 when none are held back.
int KeyDecideInMs();

// Puts the terminal back as the user had it, if it was taken over; safe in
// a signal handler, for the program's exits by signal.
void RestoreUserMode();

// After every idle wait, whatever ended it: what the wait saw on the
// terminal's descriptor (poll's revents; 0 on a time-out or a signal).
void AfterWait(short revents);
// Whether the terminal has been quiet since the last wait (it saw nothing
// at all there, and nothing has read it since) and no key code is held: a
// read now could only find what came after the wait, which the next wait
// sees.
bool TerminalQuiet();

}  // namespace console
