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
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "pty_support.h"
#include "stages.h"

namespace {

void Mark(const std::string& word) {
  int fd = open("/sys/kernel/tracing/trace_marker", O_WRONLY | O_CLOEXEC);
  if (fd < 0) return;
  std::string text = "vlx " + word;
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
  explicit Session(const std::vector<std::string>& argv, uid_t uid = 0)
      : pid(vlxtest::SpawnOnConsole(console, argv, {}, uid)) {}
  vlxtest::Pty console;
  pid_t pid;
  std::string screen;
};

// Reads the session's screen until it holds `text` or the time is up.
bool WaitScreen(Session& s, const std::string& text, int timeout_ms) {
  return vlxtest::ReadUntil(s.console.master, text, timeout_ms, &s.screen);
}

void Type(const Session& s, const char* keys) { vlxtest::WriteAll(s.console.master, keys); }

// The exit status, or 128 + signal, or -1 when it did not end in time.
int WaitEnd(Session& s, int timeout_ms) {
  std::optional<vlxtest::Ended> ended = vlxtest::WaitChild(s.pid, timeout_ms);
  if (!ended) {
    kill(s.pid, SIGKILL);
    return -1;
  }
  vlxtest::ReadFor(s.console.master, 50, &s.screen);  // what it wrote last
  return ended->signal != 0 ? 128 + ended->signal : ended->code;
}

// A command's exit status and what it wrote, as one report value.
std::string Outcome(const std::vector<std::string>& argv) {
  Session s(argv);
  int status = WaitEnd(s, 20000);
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
  return vlxtest::WaitUntil([&] { return (access(path, F_OK) == 0) == present; }, timeout_ms);
}

const char kStartup[] =
    "VLX Test terminal by Q.Zolb \r\n To exit, push [ESC] key \r\n Port=1 , Baud=2400\r\n---\r\n";

std::string Ok(bool ok, const Session& s) { return ok ? "ok" : s.screen; }

// Start-up, the device's bytes, one typed line and the device's answer.
void Converse(Session& s, const std::string& session) {
  Report(session + "_startup", Ok(WaitScreen(s, kStartup, 20000), s));
  Report(session + "_device_shown", Ok(WaitScreen(s, "dev:A\r\nok\r\n", 30000), s));
  Mark(stage::Word(session, stage::kIdle));
  usleep(300 * 1000);
  Mark(stage::Word(session, stage::kTyping));
  Type(s, "hi\r");
  Report(session + "_echo", Ok(WaitScreen(s, "hi\r\r\n", 10000), s));
  Report(session + "_answer_shown", Ok(WaitScreen(s, "done\r\n", 30000), s));
  Mark(stage::Word(session, stage::kSent));
}

// The adapter is gone: no spin, keys still served, Esc ends it with 0
// and the terminal as it was.
void AfterUnplug(Session& s, const std::string& session) {
  Report(session + "_unplugged", WaitFor("/dev/ttyUSB0", false, 20000) ? "ok" : "still there");
  Mark(stage::Word(session, stage::kUnplugged));
  usleep(500 * 1000);  // whatever was being sent has gone nowhere by now
  Report(session + "_cpu_ms_over_2s", std::to_string(CpuMsOver(s.pid, 2000)));
  Type(s, "ab\r");
  Report(session + "_keys_served", Ok(WaitScreen(s, "ab\r\r\n", 10000), s));
  usleep(300 * 1000);  // "ab" and CR go out to nowhere
  Mark(stage::Word(session, stage::kEsc));
  Type(s, "\x1b");
  Report(session + "_exit_status", std::to_string(WaitEnd(s, 20000)));
  termios after{};
  tcgetattr(s.console.master, &after);
  Report(session + "_terminal_restored",
         (after.c_lflag & (ICANON | ECHO)) == (ICANON | ECHO) ? "yes" : "no");
}

void Run8250() {
  Mark(stage::kStart);
  Session first({"/bin/vlxterm"});
  Converse(first, "com1");
  // A second vlxterm while the first holds COM1, as root and as a plain
  // user: status 1 and its message, and no line may move.
  for (auto [name, uid] : {std::pair<const char*, uid_t>{"root", 0}, {"user", 1000}}) {
    Mark(stage::Word(name, stage::kBusy));
    Session second({"/bin/vlxterm"}, uid);
    int status = WaitEnd(second, 20000);
    Mark(stage::Word(name, stage::kBusyEnd));
    Report(std::string("busy_") + name + "_status", std::to_string(status));
    Report(std::string("busy_") + name + "_screen", second.screen);
  }
  Mark(stage::Word("com1", stage::kEsc));
  Type(first, "\x1b");
  Report("com1_exit_status", std::to_string(WaitEnd(first, 20000)));
  Mark(stage::Word("com1", stage::kClosed));
}

void RunUsb() {
  Report("list", Outcome({"/bin/vlxterm-on", "--list"}));
  Report("launcher_ttyS0", Outcome({"/bin/vlxterm-on", "/dev/ttyS0", "/bin/true"}));
  Report("launcher_console", Outcome({"/bin/vlxterm-on", "/dev/console", "/bin/true"}));
  Mark(stage::kStart);
  Session first({"/bin/vlxterm-on", "/dev/ttyUSB0"});
  Converse(first, "usb");
  Report("unplug_now", "idle");
  AfterUnplug(first, "usb");
  Report("launcher_missing", Outcome({"/bin/vlxterm-on", "/dev/ttyUSB0", "/bin/true"}));
  Report("list_unplugged", Outcome({"/bin/vlxterm-on", "--list"}));

  Report("replug_now", "1");
  Report("replugged", WaitFor("/dev/ttyUSB0", true, 20000) ? "ok" : "not there");
  Session second({"/bin/vlxterm-on", "/dev/ttyUSB0"});
  Report("usb2_startup", Ok(WaitScreen(second, kStartup, 20000), second));
  usleep(500 * 1000);
  Mark(stage::Word("usb2", stage::kTyping));
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
