// Runs inside the test guest: drives a vlxterm session on the guest's own
// COM1 (the kernel's 8250 driver on an emulated 16550A) from a guest pty,
// as an operator would, and reports what happened as "GUEST name value"
// lines on standard output (the guest's console). Marks each stage in the
// kernel's trace, where the kprobes on the driver's modem-line and write
// calls land, so that the host can tell the stages apart.
//
// guest_session VLXTERM: the whole session; the device end is on the host,
// which answers as the protocol below says.
//   host -> device bytes "dev\a:\x1bA\rok\r" once it sees 2400 baud;
//   guest types "hi\r"; host, having read h, i, CR, sends "done\r".
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

namespace {

const char* vlxterm = nullptr;

int64_t NowMs() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return int64_t{now.tv_sec} * 1000 + now.tv_nsec / 1000000;
}

void Mark(const char* stage) {
  int fd = open("/sys/kernel/tracing/trace_marker", O_WRONLY | O_CLOEXEC);
  if (fd < 0) return;
  (void)!write(fd, stage, std::strlen(stage));
  close(fd);
}

void Report(const char* name, const std::string& value) {
  std::string shown;
  for (unsigned char c : value) {
    if (c >= 32 && c < 127 && c != '\\') {
      shown += static_cast<char>(c);
    } else {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02x", c);
      shown += hex;
    }
  }
  std::printf("GUEST %s %s\n", name, shown.c_str());
  std::fflush(stdout);
}

// vlxterm on a fresh pty as its controlling terminal, as user `uid`.
struct Session {
  pid_t pid = -1;
  int master = -1;
  std::string screen;
};

Session Start(uid_t uid) {
  Session s;
  s.master = posix_openpt(O_RDWR | O_NOCTTY);
  grantpt(s.master);
  unlockpt(s.master);
  std::string slave = ptsname(s.master);
  s.pid = fork();
  if (s.pid == 0) {
    setsid();
    int fd = open(slave.c_str(), O_RDWR);
    ioctl(fd, TIOCSCTTY, 0);
    dup2(fd, 0);
    dup2(fd, 1);
    dup2(fd, 2);
    if (uid != 0) {
      if (setgid(uid) != 0 || setuid(uid) != 0) _exit(126);
    }
    execl(vlxterm, "vlxterm", static_cast<char*>(nullptr));
    _exit(127);
  }
  return s;
}

// Reads the session's screen until it holds `text` or the time is up.
bool WaitScreen(Session& s, const std::string& text, int timeout_ms) {
  int64_t end = NowMs() + timeout_ms;
  while (s.screen.find(text) == std::string::npos) {
    int64_t left = end - NowMs();
    if (left <= 0) return false;
    pollfd in{s.master, POLLIN, 0};
    if (poll(&in, 1, static_cast<int>(left)) <= 0) continue;
    char buffer[256];
    ssize_t got = read(s.master, buffer, sizeof buffer);
    if (got <= 0) return false;
    s.screen.append(buffer, static_cast<size_t>(got));
  }
  return true;
}

void Type(const Session& s, const char* keys) { (void)!write(s.master, keys, std::strlen(keys)); }

// The exit status, or 128 + signal, or -1 when it did not end in time.
int WaitEnd(Session& s, int timeout_ms) {
  for (int64_t end = NowMs() + timeout_ms; NowMs() < end;) {
    int status = 0;
    if (waitpid(s.pid, &status, WNOHANG) == s.pid) {
      WaitScreen(s, "\x01never", 50);  // what it wrote last
      return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    usleep(10 * 1000);
  }
  kill(s.pid, SIGKILL);
  return -1;
}

const char kStartup[] =
    "VLX Test terminal by Q.Zolb \r\n To exit, push [ESC] key \r\n Port=1 , Baud=2400\r\n---\r\n";

// A second vlxterm while the first holds COM1: it must end with status 1
// and its message, and touch no line.
void BusyCheck(const char* name, uid_t uid) {
  std::string mark = std::string("vlx busy-") + name;
  Mark(mark.c_str());
  Session second = Start(uid);
  int status = WaitEnd(second, 20000);
  Mark((mark + "-end").c_str());
  Report((std::string("busy_") + name + "_status").c_str(), std::to_string(status));
  Report((std::string("busy_") + name + "_screen").c_str(), second.screen);
  close(second.master);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: guest_session VLXTERM\n");
    return 2;
  }
  vlxterm = argv[1];
  Mark("vlx start");
  Session first = Start(0);
  Report("startup", WaitScreen(first, kStartup, 20000) ? "ok" : first.screen);
  Report("device_shown", WaitScreen(first, "dev:A\r\nok\r\n", 30000) ? "ok" : first.screen);
  Mark("vlx idle");
  usleep(300 * 1000);
  Mark("vlx typing");
  Type(first, "hi\r");
  Report("echo", WaitScreen(first, "hi\r\r\n", 10000) ? "ok" : first.screen);
  Report("answer_shown", WaitScreen(first, "done\r\n", 30000) ? "ok" : first.screen);
  Mark("vlx sent");
  BusyCheck("root", 0);
  BusyCheck("user", 1000);
  Mark("vlx esc");
  Type(first, "\x1b");
  Report("exit_status", std::to_string(WaitEnd(first, 20000)));
  Mark("vlx closed");
  return 0;
}
