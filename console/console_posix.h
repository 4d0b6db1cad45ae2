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

// One wait for a key, in the key read's mode (Ctrl+C a key, until the key
// is read): until bytes come from the terminal, held-back bytes must be
// decided, a signal comes, or `watched` (a descriptor of the caller's, -1
// for none, never read: only its hang-up ends the wait) reports, which
// `watched_saw` gives (poll's revents). False when no wait was needed: a
// key code is ready, or none can come (no terminal, or it is gone).
bool WaitForKey(int watched, short* watched_saw);

// After every idle wait, whatever ended it: what the wait saw on the
// terminal's descriptor (poll's revents; 0 on a time-out or a signal).
void AfterWait(short revents);
// Whether the terminal has been quiet since the last wait (it saw nothing
// at all there, and nothing has read it since) and no key code is held: a
// read now could only find what came after the wait, which the next wait
// sees.
bool TerminalQuiet();

}  // namespace console
