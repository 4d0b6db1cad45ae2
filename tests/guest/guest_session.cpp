// Runs inside the test guest: drives vlxterm sessions from guest ptys, as
// an operator would, and reports what happened as "GUEST name value" lines
// on standard output (the guest's console, a file on the host). Marks each
// stage in the kernel's trace ("vlx <stage>"), where the kprobes on the
// serial driver land, so that the host can tell the stages apart.
//
// guest_session 8250: vlxterm on COM1, the 8250 driver's /dev/ttyS0.
// guest_session usb: vlxterm-on /dev/ttyUSB0, an FTDI adapter, pulled out
// by the host, put back (followed), and pulled out again.
// guest_session pl011: vlxterm-on /dev/ttyAMA0, the PL011 of an arm64
// board, whose console is a virtio console (hvc0).
// guest_session acm: vlxterm-on /dev/ttyACM0, a USB CDC-ACM gadget in this
// guest, whose side (/dev/ttyGS0) this driver plays; the device stops
// reading; then, as root and as a plain user, the gadget is unbound and
// bound again: the same board, another board, the same on the other
// controller.
//
// The device (the host for 8250 and usb, this driver for acm) follows this
// protocol: it sends "dev\a:\x1bA\rok\r" once the line is set up; the
// guest types "hi\r"; the device, having read h, i, CR, sends "done\r".
// (usb) At "GUEST unplug_now" the host pulls the adapter out, at "GUEST
// replug_now" it puts the same one (its serial) back, and once it has read
// "01" of the line typed then it pulls that one out too.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "stages.h"
#include "terminal_session.h"

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

// An end as a shell shows it: the exit status, or 128 + signal.
int Status(const vlxtest::Ended& ended) {
  return ended.signal != 0 ? 128 + ended.signal : ended.code;
}

// The exit status, or 128 + signal, or -1 when it did not end in time.
int WaitEnd(Session& s, int timeout_ms) {
  std::optional<vlxtest::Ended> ended = vlxtest::WaitChild(s.pid, timeout_ms);
  if (!ended) {
    kill(s.pid, SIGKILL);
    return -1;
  }
  vlxtest::ReadFor(s.console.master, 50, &s.screen);  // what it wrote last
  return Status(*ended);
}

// A command's exit status and what it wrote, as one report value.
std::string Outcome(const std::vector<std::string>& argv) {
  Session s(argv);
  int status = WaitEnd(s, 20000);
  return "status=" + std::to_string(status) + " said=" + s.screen;
}

bool WaitFor(const char* path, bool present, int timeout_ms) {
  return vlxtest::WaitUntil([&] { return (access(path, F_OK) == 0) == present; }, timeout_ms);
}

// Each line end as CR LF: these consoles keep the terminal's output
// processing.
const std::string kStartup = vlxtest::StartupLinesShown("\r\n", true);

std::string Ok(bool ok, const Session& s) { return ok ? "ok" : s.screen; }

// Waits until vlxterm has taken the port at `node` (its lock is there) and
// set it up. The gadget does not see the line settings, and bytes that
// arrive earlier would be echoed by the terminal driver.
void WaitPortSetUp(const char* node) {
  struct stat file {};
  stat(node, &file);
  const std::string inode = ":" + std::to_string(file.st_ino) + " ";
  vlxtest::WaitUntil(
      [&] { return vlxtest::FileText("/proc/locks").find(inode) != std::string::npos; }, 20000);
  usleep(300 * 1000);  // the few requests of the set-up that follow the lock
}

// Start-up, the device's bytes, one typed line and the device's answer;
// this driver plays the device on `device` where that is open.
void Converse(Session& s, const std::string& session, int device = -1) {
  Report(session + "_startup", Ok(WaitScreen(s, kStartup, 20000), s));
  if (device >= 0) {
    WaitPortSetUp("/dev/ttyACM0");
    vlxtest::WriteAll(device,
                      "dev\a:\x1b"
                      "A\rok\r");
  }
  Report(session + "_device_shown", Ok(WaitScreen(s, "dev:A\r\nok\r\n", 30000), s));
  Mark(stage::Word(session, stage::kIdle));
  usleep(300 * 1000);
  Mark(stage::Word(session, stage::kTyping));
  Type(s, "hi\r");
  Report(session + "_echo", Ok(WaitScreen(s, "hi\r\r\n", 10000), s));
  if (device >= 0) {
    std::string got;
    vlxtest::ReadUntil(device, "\r", 10000, &got);
    Report(session + "_device_got", got);
    vlxtest::WriteAll(device, "done\r");
  }
  Report(session + "_answer_shown", Ok(WaitScreen(s, "done\r\n", 30000), s));
  Mark(stage::Word(session, stage::kSent));
}

// The adapter is gone: said, no spin, keys still served (a line typed
// goes nowhere, and that is said too).
void Unplugged(Session& s, const std::string& session, const char* node) {
  s.screen.clear();  // what came before was looked at before
  Report(session + "_unplugged", WaitFor(node, false, 20000) ? "ok" : "still there");
  Mark(stage::Word(session, stage::kUnplugged));
  Report(session + "_gone_said",
         Ok(WaitScreen(s,
                       "vlxterm: COM1 is gone (unplugged?): vlxterm waits for the same device to "
                       "come back; Esc ends it\r\n",
                       10000),
            s));
  usleep(500 * 1000);  // whatever was being sent has gone nowhere by now
  Report(session + "_cpu_ms_over_2s",
         std::to_string(static_cast<long>(vlxtest::CpuUsedOver(s.pid, 2.0) * 1000)));
  Type(s, "ab\r");
  Report(session + "_keys_served",
         Ok(WaitScreen(s, "ab\r\r\nvlxterm: COM1 is gone: what was typed was not sent\r\n", 10000),
            s));
}

// Esc ends it with 0 and the terminal as it was.
void End(Session& s, const std::string& session) {
  Mark(stage::Word(session, stage::kEsc));
  Type(s, "\x1b");
  Report(session + "_exit_status", std::to_string(WaitEnd(s, 20000)));
  Mark(stage::Word(session, stage::kClosed));
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
  Unplugged(first, "usb", "/dev/ttyUSB0");
  Report("launcher_missing", Outcome({"/bin/vlxterm-on", "/dev/ttyUSB0", "/bin/true"}));
  Report("list_unplugged", Outcome({"/bin/vlxterm-on", "--list"}));

  // The same adapter plugged back in: followed.
  Report("replug_now", "1");
  Report("replugged", WaitFor("/dev/ttyUSB0", true, 20000) ? "ok" : "not there");
  Report("usb_back",
         Ok(WaitScreen(first, "vlxterm: COM1 is back (/dev/ttyUSB0)\r\n", 20000), first));
  usleep(500 * 1000);
  Mark(stage::Word("usb2", stage::kTyping));
  Type(first, "0123456789\r");  // pulled out while this goes out
  Unplugged(first, "usb2", "/dev/ttyUSB0");
  End(first, "usb2");
}

void RunPl011() {
  Report("launcher_console", Outcome({"/bin/vlxterm-on", "/dev/hvc0", "/bin/true"}));
  Mark(stage::kStart);
  Session first({"/bin/vlxterm-on", "/dev/ttyAMA0"});
  Converse(first, "pl011");
  Mark(stage::Word("pl011", stage::kEsc));
  Type(first, "\x1b");
  Report("pl011_exit_status", std::to_string(WaitEnd(first, 20000)));
  Mark(stage::Word("pl011", stage::kClosed));
}

// The gadget's side of the CDC-ACM device, raw: what it reads is what
// the host sent.
int OpenGadget() {
  int fd = open("/dev/ttyGS0", O_RDWR | O_NOCTTY | O_CLOEXEC);
  termios raw = vlxtest::RawSettings(B9600);
  tcsetattr(fd, TCSANOW, &raw);
  return fd;
}

// A session on the CDC-ACM device with the device not reading (its side
// closed, as when a board's firmware hangs): a line longer than the 16
// writes the gadget still completes, then Esc (or `signal`) at idle. How
// long that takes to end, and what the device gets once it reads again
// (within a second, the program ended or not).
void StallThenEnd(Session& s, const std::string& session, int signal = 0) {
  Report(session + "_startup", Ok(WaitScreen(s, kStartup, 20000), s));
  usleep(300 * 1000);
  Mark(stage::Word(session, stage::kStalled));
  const char line[] = "0123456789abcdefghijklmnopqrstuvwxyzABCD\r";
  Type(s, line);
  Report(session + "_stall_echo", Ok(WaitScreen(s, "ABCD\r\r\n", 10000), s));
  usleep(1500 * 1000);  // the line goes out, or is dropped
  Mark(stage::Word(session, stage::kEsc));
  int64_t asked_us = vlxtest::MonotonicUs();
  if (signal != 0) {
    kill(s.pid, signal);
  } else {
    Type(s, "\x1b");
  }
  std::optional<vlxtest::Ended> ended = vlxtest::WaitChild(s.pid, 1000);
  int64_t end_us = vlxtest::MonotonicUs();
  int device = OpenGadget();
  std::string late;
  vlxtest::ReadFor(device, 1000, &late);
  int status = ended ? Status(*ended) : WaitEnd(s, 20000);
  Mark(stage::Word(session, stage::kClosed));
  close(device);
  Report(session + "_exit_status", std::to_string(status));
  Report(session + "_end_ms", ended ? std::to_string((end_us - asked_us) / 1000) : "over 1000");
  Report(session + "_late_bytes", std::to_string(late.size()));
}

// The gadget's configfs attribute `name` set to `value`.
void SetGadget(const std::string& name, const std::string& value) {
  std::string gadget = vlxtest::FileText("/gadget");
  gadget.pop_back();  // its newline
  std::ofstream(gadget + "/" + name) << value;
}

// The board leaves: its gadget unbound from its controller.
void Unbind() {
  SetGadget("UDC", "\n");
  WaitFor("/dev/ttyACM0", false, 20000);
}

// The board comes back with serial `serial` on controller `udc`; its node
// gets the group a udev rule would give it (the plain user's).
void Bind(const char* udc, const char* serial) {
  SetGadget("strings/0x409/serialnumber", serial);
  SetGadget("UDC", udc);
  WaitFor("/dev/ttyACM0", true, 20000);
  chown("/dev/ttyACM0", 0, 1000);
  chmod("/dev/ttyACM0", 0660);
}

// Whether the gadget has been asked to raise DTR since the trace marker
// `after` (a SET_CONTROL_LINE_STATE, 0x22, with DTR, 1): the board sees
// its port opened.
bool WaitDtrAsked(const std::string& after) {
  return vlxtest::WaitUntil(
      [&] {
        const std::string trace = vlxtest::FileText("/sys/kernel/tracing/trace");
        const std::string asked = "request=34 value=";
        for (size_t at = trace.find(asked, trace.find("vlx " + after)); at != std::string::npos;
             at = trace.find(asked, at + 1)) {
          if ((std::atoi(trace.c_str() + at + asked.size()) & 1) != 0) return true;
        }
        return false;
      },
      20000);
}

// vlxterm-on /dev/ttyACM0 as `who`, the board unbound and bound again: the
// same board (serial VLX-A1) is followed and greets once it sees DTR, a
// typed line reaches it; another board (VLX-B2) on the same controller is
// not opened; the same board on the other controller is followed.
void FollowReplugs(const std::string& who, uid_t uid) {
  Session s({"/bin/vlxterm-on", "/dev/ttyACM0"}, uid);
  Report(who + "_startup", Ok(WaitScreen(s, kStartup, 20000), s));
  WaitPortSetUp("/dev/ttyACM0");
  Unbind();
  Unplugged(s, who, "/dev/ttyACM0");
  Mark(stage::Word(who, stage::kBack));
  const int64_t bound_us = vlxtest::MonotonicUs();
  Bind("dummy_udc.0", "VLX-A1");
  Report(who + "_back", Ok(WaitScreen(s, "vlxterm: COM1 is back (/dev/ttyACM0)\r\n", 20000), s));
  Report(who + "_back_ms", std::to_string((vlxtest::MonotonicUs() - bound_us) / 1000));
  int board = OpenGadget();
  Report(who + "_dtr", WaitDtrAsked(stage::Word(who, stage::kBack)) ? "ok" : "never");
  vlxtest::WriteAll(board, "hello\r");
  Report(who + "_greeting", Ok(WaitScreen(s, "hello\r\n", 10000), s));
  Mark(stage::Word(who, stage::kTyping));
  Type(s, "hi\r");
  std::string got;
  vlxtest::ReadUntil(board, "\r", 10000, &got);
  Report(who + "_board_got", got);
  vlxtest::WriteAll(board, "ok\r");  // shown once the line's last pulse has ended
  Report(who + "_answer_shown", Ok(WaitScreen(s, "ok\r\n", 10000), s));
  Mark(stage::Word(who, stage::kSent));
  close(board);
  Unbind();
  Mark(stage::Word(who, stage::kOther));
  Bind("dummy_udc.0", "VLX-B2");
  Report(who + "_other", Ok(WaitScreen(s, "came, but it is not COM1's device", 20000), s));
  usleep(1000 * 1000);  // four looks: time to open it, had it been taken
  Unbind();
  Mark(stage::Word(who, stage::kMoved));
  Bind("dummy_udc.1", "VLX-A1");
  s.screen.clear();
  Report(who + "_moved", Ok(WaitScreen(s, "vlxterm: COM1 is back (/dev/ttyACM0)\r\n", 20000), s));
  End(s, who);
  Unbind();
  Bind("dummy_udc.0", "VLX-A1");
}

void RunAcm() {
  Mark(stage::kStart);
  int device = OpenGadget();
  Session first({"/bin/vlxterm-on", "/dev/ttyACM0"});
  Converse(first, "acm", device);
  Mark(stage::Word("acm", stage::kEsc));
  Type(first, "\x1b");
  Report("acm_exit_status", std::to_string(WaitEnd(first, 20000)));
  Mark(stage::Word("acm", stage::kClosed));
  close(device);  // from here on the device reads nothing
  Session root({"/bin/vlxterm-on", "/dev/ttyACM0"});
  StallThenEnd(root, "stall_root");
  Session user({"/bin/vlxterm-on", "/dev/ttyACM0"}, 1000);
  StallThenEnd(user, "stall_user");
  Session signalled({"/bin/vlxterm-on", "/dev/ttyACM0"});
  StallThenEnd(signalled, "stall_term", SIGTERM);
  FollowReplugs("root", 0);
  FollowReplugs("user", 1000);
}

}  // namespace

int main(int argc, char** argv) {
  std::string which = argc == 2 ? argv[1] : "";
  if (which == "8250") {
    Run8250();
  } else if (which == "usb") {
    RunUsb();
  } else if (which == "acm") {
    RunAcm();
  } else if (which == "pl011") {
    RunPl011();
  } else {
    std::fprintf(stderr, "usage: guest_session 8250|usb|acm|pl011\n");
    return 2;
  }
  return 0;
}
