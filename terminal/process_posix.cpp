#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

#include "comport.h"
#include "console_posix.h"
#include "process.h"

namespace {

// Signals whose default action ends the program. The fault signals (SEGV,
// BUS, FPE, ILL, TRAP, SYS, ABRT) keep theirs, so that cores, sanitizers
// and debuggers see the fault where it happened.
constexpr int kEndingSignals[] = {
    SIGHUP,    SIGINT,    SIGQUIT, SIGTERM, SIGPIPE, SIGALRM, SIGUSR1,
    SIGUSR2,   SIGVTALRM, SIGPROF, SIGIO,   SIGXCPU, SIGXFSZ,
#ifdef SIGPWR
    SIGPWR,
#endif
#ifdef SIGSTKFLT
    SIGSTKFLT,
#endif
};

volatile sig_atomic_t ending = 0;

void EndBySignal(int signal_number) {
  if (ending == 0) {
    ending = 1;
    ComportClose();
    console::RestoreUserMode();
  }
  std::signal(signal_number, SIG_DFL);
  std::raise(signal_number);  // delivered with its default action on return
}

void EndOnSignal(int signal_number) {
  struct sigaction current {};
  // Whoever started us with it ignored (nohup) wants it so.
  if (sigaction(signal_number, nullptr, &current) != 0 || current.sa_handler == SIG_IGN) return;
  struct sigaction action {};
  action.sa_handler = EndBySignal;
  sigfillset(&action.sa_mask);  // one way out at a time
  action.sa_flags = SA_RESTART;
  sigaction(signal_number, &action, nullptr);
}

}  // namespace

void PrepareProcess() {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    int null = open("/dev/null", O_RDWR);
    if (null >= 0 && null != fd) {
      dup2(null, fd);
      close(null);
    }
  }
  for (int signal_number : kEndingSignals) EndOnSignal(signal_number);
  for (int signal_number = SIGRTMIN; signal_number <= SIGRTMAX; ++signal_number) {
    EndOnSignal(signal_number);
  }
}
