// Runs inside the test guest: drives vlxterm sessions from guest ptys, as
// an operator would, and reports what happened as "GUEST name value" lines
// on standard output (the guest's console, a file on the host). Marks each
// stage in the kernel's trace ("vlx <stage>"), where the kprobes on the
// serial driver land, so that the host can tell the stages apart.
//
// guest_session 8250: vlxterm on COM1, the 8250 driver's /dev/ttyS0.
// guest_session usb: vlxterm-on /dev/ttyUSB0, an FTDI adapter, pulled out
// by the host twice.
//
// The host plays the device at the far end and follows this protocol:
//   it sends "dev\a:\x1bA\rok\r" once it sees the line at 2400 baud;
//   the guest types "hi\r"; the host, having read h, i, CR, sends "done\r";
//   (usb) at "GUEST unplug_now" it pulls the adapter out, at "GUEST
//   replug_now" it puts one back, and once it has read "01" of the line
//   typed then it pulls that one out too.
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
#include <vector>

namespace {

int64_t NowMs() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return int64_t{now.tv_sec} * 1000 + now.tv_nsec / 1000000;
}

void Mark(const std::string& stage) {
  int fd = open("/sys/kernel/tracing/trace_marker", O_WRONLY | O_CLOEXEC);
  if (fd < 0) return;
  std::string text = "vlx " + stage;
  (void)!write(fd, text.data(), text.size());
  close(fd);
}

void Report(const std::string& name, const std::string& value) {
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
  std::printf("GUEST %s %s\n", name.c_str(), shown.c_str());
  std::fflush(stdout);
}

// A program on a fresh pty as its controlling terminal, as user `uid`.
struct Session {
  pid_t pid = -1;
  int master = -1;
  std::string screen;
};

Session Start(const std::vector<std::string>& argv, uid_t uid = 0) {
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
    if (uid != 0 && (setgid(uid) != 0 || setuid(uid) != 0)) _exit(126);
    std::vector<char*> args;
    args.reserve(argv.size() + 1);
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
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

// A command's exit status and what it wrote, as one report value.
std::string Outcome(const std::vector<std::string>& argv) {
  Session s = Start(argv);
  int status = WaitEnd(s, 20000);
  close(s.master);
  return "status=" + std::to_string(status) + " said=" + s.screen;
}

// Processor time a process uses over the next `ms` of wall time, in ms.
long CpuMsOver(pid_t pid, int ms) {
  auto used = [&] {
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
    std::FILE* stat = std::fopen(path, "r");
    if (stat == nullptr) return -1L;
    char line[1024] = "";
    (void)!std::fgets(line, sizeof line, stat);
    std::fclose(stat);
    const char* after = std::strrchr(line, ')');
    unsigned long user = 0, system = 0;
    if (after == nullptr ||
        std::sscanf(after + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &user,
                    &system) != 2) {
      return -1L;
    }
    return static_cast<long>((user + system) * 1000 / sysconf(_SC_CLK_TCK));
  };
  long before = used();
  usleep(static_cast<useconds_t>(ms) * 1000);
  return used() - before;
}

bool WaitFor(const char* path, bool present, int timeout_ms) {
  for (int64_t end = NowMs() + timeout_ms; NowMs() < end; usleep(20 * 1000)) {
    if ((access(path, F_OK) == 0) == present) return true;
  }
  return false;
}

const char kStartup[] =
    "VLX Test terminal by Q.Zolb \r\n To exit, push [ESC] key \r\n Port=1 , Baud=2400\r\n---\r\n";

std::string Ok(bool ok, const Session& s) { return ok ? "ok" : s.screen; }

// Start-up, the device's bytes, one typed line and the device's answer.
void Converse(Session& s, const std::string& stage) {
  Report(stage + "_startup", Ok(WaitScreen(s, kStartup, 20000), s));
  Report(stage + "_device_shown", Ok(WaitScreen(s, "dev:A\r\nok\r\n", 30000), s));
  Mark(stage + "-idle");
  usleep(300 * 1000);
  Mark(stage + "-typing");
  Type(s, "hi\r");
  Report(stage + "_echo", Ok(WaitScreen(s, "hi\r\r\n", 10000), s));
  Report(stage + "_answer_shown", Ok(WaitScreen(s, "done\r\n", 30000), s));
  Mark(stage + "-sent");
}

// The adapter is gone: no spin, keys still served, Esc ends it with 0
// and the terminal as it was.
void AfterUnplug(Session& s, const std::string& stage) {
  Report(stage + "_unplugged", WaitFor("/dev/ttyUSB0", false, 20000) ? "ok" : "still there");
  Mark(stage + "-unplugged");
  usleep(500 * 1000);  // whatever was being sent has gone nowhere by now
  Report(stage + "_cpu_ms_over_2s", std::to_string(CpuMsOver(s.pid, 2000)));
  Type(s, "ab\r");
  Report(stage + "_keys_served", Ok(WaitScreen(s, "ab\r\r\n", 10000), s));
  usleep(300 * 1000);  // "ab" and CR go out to nowhere
  Mark(stage + "-esc");
  Type(s, "\x1b");
  Report(stage + "_exit_status", std::to_string(WaitEnd(s, 20000)));
  termios after{};
  tcgetattr(s.master, &after);
  Report(stage + "_terminal_restored",
         (after.c_lflag & (ICANON | ECHO)) == (ICANON | ECHO) ? "yes" : "no");
  close(s.master);
}

void Run8250() {
  Mark("start");
  Session first = Start({"/bin/vlxterm"});
  Converse(first, "com1");
  // A second vlxterm while the first holds COM1, as root and as a plain
  // user: status 1 and its message, and no line may move.
  for (auto [name, uid] : {std::pair<const char*, uid_t>{"root", 0}, {"user", 1000}}) {
    Mark(std::string("busy-") + name);
    Session second = Start({"/bin/vlxterm"}, uid);
    int status = WaitEnd(second, 20000);
    Mark(std::string("busy-") + name + "-end");
    Report(std::string("busy_") + name + "_status", std::to_string(status));
    Report(std::string("busy_") + name + "_screen", second.screen);
    close(second.master);
  }
  Mark("esc");
  Type(first, "\x1b");
  Report("com1_exit_status", std::to_string(WaitEnd(first, 20000)));
  Mark("closed");
}

void RunUsb() {
  Report("list", Outcome({"/bin/vlxterm-on", "--list"}));
  Report("launcher_ttyS0", Outcome({"/bin/vlxterm-on", "/dev/ttyS0", "/bin/true"}));
  Report("launcher_console", Outcome({"/bin/vlxterm-on", "/dev/console", "/bin/true"}));
  Mark("start");
  Session first = Start({"/bin/vlxterm-on", "/dev/ttyUSB0"});
  Converse(first, "usb");
  Report("unplug_now", "idle");
  AfterUnplug(first, "usb");
  Report("launcher_missing", Outcome({"/bin/vlxterm-on", "/dev/ttyUSB0", "/bin/true"}));
  Report("list_unplugged", Outcome({"/bin/vlxterm-on", "--list"}));

  Report("replug_now", "1");
  Report("replugged", WaitFor("/dev/ttyUSB0", true, 20000) ? "ok" : "not there");
  Session second = Start({"/bin/vlxterm-on", "/dev/ttyUSB0"});
  Report("usb2_startup", Ok(WaitScreen(second, kStartup, 20000), second));
  usleep(500 * 1000);
  Mark("usb2-typing");
  Type(second, "0123456789\r");  // pulled out while this goes out
  AfterUnplug(second, "usb2");
}

}  // namespace

int main(int argc, char** argv) {
  std::string which = argc == 2 ? argv[1] : "";
  if (which == "8250") {
    Run8250();
  } else if (which == "usb") {
    RunUsb();
  } else {
    std::fprintf(stderr, "usage: guest_session 8250|usb\n");
    return 2;
  }
  return 0;
}
