// Keys from the controlling terminal, read raw and translated to the codes
// a Windows console program gets from _kbhit/_getch.
#include "console_posix.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "console.h"
#include "key_sequence.h"
#include "posix_calls.h"

namespace console {
namespace {

// How long bytes that may begin a key sequence are held back before they
// are decided as they stand (a lone Esc). A terminal writes a key's whole
// sequence at once, so its bytes arrive together even through a pty relay
// or an ssh hop; 40 ms leaves room for those and still feels instant.
constexpr int kSequenceWaitMs = 40;

enum Mode : int { kUntouched, kBaseMode, kReadMode };

int tty_fd = -1;
bool open_tried = false;
bool unreadable = false;  // the terminal hung up or failed to read
termios user_mode;        // as the user had it, restored at every exit
termios base_mode;        // while we run: raw input, no echo, only Ctrl+C a signal
termios read_mode;        // while _getch waits: Ctrl+C a key too
volatile sig_atomic_t applied = kUntouched;
uint8_t erase_char = 0;

KeyInput keys;
int64_t last_arrival_ms = 0;
// The last wait saw nothing at all on the terminal and nothing has read it
// since; the key test may skip its read once.
bool quiet_since_wait = false;

// TCSANOW, never a flushing variant: keys typed meanwhile must stay.
void Apply(Mode mode) {
  tcsetattr(tty_fd, TCSANOW, mode == kReadMode ? &read_mode : &base_mode);
  applied = mode;
}

void Reapply() {
  if (applied != kUntouched) Apply(static_cast<Mode>(applied));
}

void Catch(int signal_number, void (*handler)(int)) {
  struct sigaction action {};
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(signal_number, &action, nullptr);
}

void OnStop(int) {
  int saved_errno = errno;
  RestoreUserMode();
  // Stop right here by the default action; in an orphaned process group
  // the system discards it and we simply go on. Either way our modes are
  // put back before the program continues.
  std::signal(SIGTSTP, SIG_DFL);
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGTSTP);
  sigprocmask(SIG_UNBLOCK, &stop, nullptr);
  std::raise(SIGTSTP);
  Reapply();
  Catch(SIGTSTP, OnStop);
  errno = saved_errno;
}

// Whoever stopped us (SIGSTOP) may have changed the terminal meanwhile.
void OnContinue(int) {
  int saved_errno = errno;
  Reapply();
  errno = saved_errno;
}

void RestoreAtExit() { RestoreUserMode(); }

bool EnsureOpen() {
  if (open_tried) return tty_fd >= 0;
  open_tried = true;
  // The controlling terminal, not standard input: redirecting input must
  // not feed keys.
  int fd = open("/dev/tty", O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  if (tcgetattr(fd, &user_mode) != 0) {
    close(fd);
    return false;
  }
  tty_fd = fd;
  if (user_mode.c_cc[VERASE] != _POSIX_VDISABLE) erase_char = user_mode.c_cc[VERASE];

  base_mode = user_mode;
  base_mode.c_lflag &= ~(ICANON | ECHO | ECHOE | ECHOK | ECHONL);
  // Every key but Ctrl+C is a key, also as the first key of a line and
  // while a line is sent: Ctrl+S must not freeze our output, and Ctrl+Z,
  // Ctrl+\, Ctrl+V and Ctrl+O must reach line entry. Only Ctrl+C keeps its
  // signal outside a key wait, as on the Windows console.
  base_mode.c_lflag |= ISIG;
  base_mode.c_lflag &= ~IEXTEN;  // literal-next, discard
  base_mode.c_iflag &= ~(IXON | IXOFF);
  base_mode.c_cc[VQUIT] = _POSIX_VDISABLE;
  base_mode.c_cc[VSUSP] = _POSIX_VDISABLE;
  // Enter reads as 13 whenever it arrives.
  base_mode.c_iflag &= ~(ICRNL | INLCR | IGNCR);
  base_mode.c_cc[VMIN] = 1;
  base_mode.c_cc[VTIME] = 0;
  read_mode = base_mode;
  read_mode.c_lflag &= ~ISIG;  // Ctrl+C reads as 3 while a key is awaited

  std::atexit(RestoreAtExit);
  // A stop ignored when we started (a job of a shell without job control)
  // stays ignored: whoever started us wants it so.
  struct sigaction stop {};
  if (sigaction(SIGTSTP, nullptr, &stop) == 0 && stop.sa_handler != SIG_IGN) Catch(SIGTSTP, OnStop);
  Catch(SIGCONT, OnContinue);
  Apply(kBaseMode);
  return true;
}

// Takes whatever the terminal has ready, without waiting.
void Fill() {
  quiet_since_wait = false;
  while (!unreadable && KeyInputRoom(keys) > 0) {
    uint8_t bytes[sizeof keys.bytes];
    ssize_t got = posix::Retried([&] { return read(tty_fd, bytes, KeyInputRoom(keys)); });
    if (got > 0) {
      KeyInputAdd(&keys, bytes, static_cast<size_t>(got));
      last_arrival_ms = posix::MonotonicMs();
    } else {
      if (got == 0 || errno != EAGAIN) unreadable = true;
      return;
    }
  }
}

bool CodeReady() {
  bool settled = unreadable || posix::MonotonicMs() - last_arrival_ms >= kSequenceWaitMs;
  return KeyInputReady(&keys, settled, erase_char);
}

}  // namespace

void TakeKeyboard() { EnsureOpen(); }

int _kbhit() {
  if (CodeReady()) return 1;
  if (!EnsureOpen()) return 0;
  // Nothing came at the last wait and nothing has read since: a read would
  // find only what came after it, which the next wait sees. Once.
  if (quiet_since_wait) {
    quiet_since_wait = false;
    return 0;
  }
  Fill();
  return CodeReady() ? 1 : 0;
}

int _getch() {
  if (!CodeReady()) {
    if (!EnsureOpen()) return -1;
    short watched_saw = 0;
    while (WaitForKey(-1, &watched_saw)) {
    }
  }
  if (applied == kReadMode) Apply(kBaseMode);
  return CodeReady() ? KeyInputTake(&keys) : -1;
}

bool WaitForKey(int watched, short* watched_saw) {
  *watched_saw = 0;
  if (CodeReady() || !EnsureOpen()) return false;
  Apply(kReadMode);
  Fill();
  if (CodeReady() || unreadable) return false;
  pollfd fds[2] = {{tty_fd, POLLIN, 0}, {watched, 0, 0}};
  poll(fds, 2, KeyDecideInMs());  // interrupted or timed out: decide again
  *watched_saw = fds[1].revents;
  return true;
}

void AwaitKeyDecision() {
  if (tty_fd < 0) return;
  Fill();
  for (int left = KeyDecideInMs(); left > 0 && !unreadable; left = KeyDecideInMs()) {
    pollfd key{tty_fd, POLLIN, 0};
    poll(&key, 1, left);  // more bytes of the sequence, or its time is up
    Fill();
  }
}

void RestoreUserMode() {
  if (applied != kUntouched) tcsetattr(tty_fd, TCSANOW, &user_mode);
}

int KeyPollFd() { return (tty_fd >= 0 && !unreadable) ? tty_fd : -1; }

void AfterWait(short revents) { quiet_since_wait = KeyPollFd() >= 0 && revents == 0; }

bool TerminalQuiet() { return quiet_since_wait && KeyInputEmpty(keys); }

int KeyDecideInMs() {
  if (!KeyInputUndecided(keys)) return -1;
  int64_t left = last_arrival_ms + kSequenceWaitMs - posix::MonotonicMs();
  return left > 0 ? static_cast<int>(left) : 0;
}

}  // namespace console
