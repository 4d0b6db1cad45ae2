// vlxterm on the kernel's own serial drivers, in a QEMU guest whose serial
// port's far end is a pty here, played as the device. Three cases: COM1 as
// on a PC (an emulated 16550A run by Linux's 8250 driver, /dev/ttyS0); a
// USB serial adapter (QEMU's FTDI, Linux's ftdi_sio, /dev/ttyUSB0) reached
// through the launcher, pulled out and put back mid-session; and a USB
// CDC-ACM device (a gadget on dummy_hcd in the same guest, Linux's cdc_acm,
// /dev/ttyACM0) that stops reading, and leaves and comes back. Inside, a
// session driver (guest/guest_session.cpp) types as an operator would;
// kprobes on the driver record the modem lines and the writes.
//
// Safety: QEMU gets no default devices and no monitor but a QMP socket of
// this test's own; no argument may name a /dev path other than this test's
// pty (checked by stat: a pty major). QEMU is killed by its PID at the end;
// the guest powers itself off after a time-out.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <regex>
#include <sstream>

#include "pty_support.h"
#include "stages.h"

namespace {

using stage::Word;
using vlxtest::Ended;
using vlxtest::FileText;

constexpr int kStepTimeoutMs = 100000;
constexpr double kHoldMs = vlxtest::kHoldUs / 1000.0;
constexpr uint64_t kCom1 = 0x3f8;
// The PL011's divisor (integer, fraction) and line control registers.
constexpr unsigned kPl011Ibrd = 0x24, kPl011Fbrd = 0x28, kPl011LcrH = 0x2c;
constexpr unsigned kDtr = 0x002, kRts = 0x004;  // TIOCM_DTR, TIOCM_RTS

// Every argument that names a /dev path must be `pty`, a pseudo-terminal;
// no debugger stub may listen.
bool SafeQemuArguments(const std::vector<std::string>& args, const std::string& pty,
                       std::string* why) {
  for (const std::string& arg : args) {
    if (arg == "-gdb" || arg == "-s") {
      *why = "refusing QEMU argument " + arg;
      return false;
    }
    for (size_t at = arg.find("/dev"); at != std::string::npos; at = arg.find("/dev", at + 1)) {
      std::string path = arg.substr(at, arg.find_first_of(",= ", at) - at);
      struct stat st {};
      bool a_pty = stat(path.c_str(), &st) == 0 && S_ISCHR(st.st_mode) &&
                   major(st.st_rdev) >= 136 && major(st.st_rdev) <= 143;
      if (path != pty || !a_pty) {
        *why = "refusing QEMU argument " + arg;
        return false;
      }
    }
  }
  return true;
}

// One line of the guest kernel's trace: time in ms, the task that made the
// call, the event and its fields.
struct KernelEvent {
  double ms;
  std::string task;
  std::string event;
  std::string text;
  std::map<std::string, std::string> fields;
  uint64_t Number(const std::string& name) const {
    auto it = fields.find(name);
    return it == fields.end() ? 0 : std::stoull(it->second, nullptr, 0);
  }
};

struct GuestLog {
  std::map<std::string, std::string> reports;  // "GUEST name value"
  std::vector<KernelEvent> trace;
  std::string Report(const std::string& name) const {
    auto it = reports.find(name);
    return it == reports.end() ? "(none)" : it->second;
  }
};

GuestLog Parse(const std::string& console) {
  GuestLog log;
  std::istringstream lines(console);
  std::string line;
  const std::regex trace_line(R"(^TRACE\s+(.+)-\d+\s+\[\d+\].*\s(\d+\.\d+): (\w+): (.*)$)");
  const std::regex field(R"((\w+)=(\S+))");
  while (std::getline(lines, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::smatch m;
    if (line.rfind("GUEST ", 0) == 0) {
      size_t space = line.find(' ', 6);
      log.reports[line.substr(6, space - 6)] =
          space == std::string::npos ? "" : line.substr(space + 1);
    } else if (std::regex_match(line, m, trace_line)) {
      KernelEvent e{std::stod(m[2]) * 1000.0, m[1], m[3], m[4], {}};
      std::string rest = e.text;
      for (std::smatch f; std::regex_search(rest, f, field); rest = f.suffix()) {
        e.fields[f[1]] = f[2];
      }
      log.trace.push_back(e);
    }
  }
  return log;
}

// The events of one kind between two trace markers ("vlx <word>") that
// vlxterm's own calls caused (the launcher execs it, keeping the name); of
// the CDC-ACM gadget's requests ("lines", "coding"), all: the device acts
// on them in whatever task runs the emulated controller.
std::vector<KernelEvent> Between(const GuestLog& log, const std::string& from,
                                 const std::string& to, const std::string& kind) {
  const bool device_side = kind == "lines" || kind == "coding";
  std::vector<KernelEvent> events;
  bool inside = false;
  for (const KernelEvent& e : log.trace) {
    if (e.event == "tracing_mark_write") {
      if (e.text == "vlx " + from) inside = true;
      if (e.text == "vlx " + to) inside = false;
    } else if (inside && e.event == kind && (device_side || e.task == "vlxterm") &&
               (kind != "mctrl" || !e.fields.count("iobase") || e.Number("iobase") == kCom1)) {
      events.push_back(e);
    }
  }
  return events;
}

// A QEMU machine with one serial port whose far end is `device`.
class Guest {
 public:
  enum Case { k8250, kUsb, kAcm, kPl011 };

  explicit Guest(Case which)
      : case_(which == k8250  ? "8250"
              : which == kUsb ? "usb"
              : which == kAcm ? "acm"
                              : "pl011"),
        qemu_(which == kPl011 ? "/usr/bin/qemu-system-aarch64" : "/usr/bin/qemu-system-x86_64") {}
  ~Guest() {
    if (qmp_ >= 0) close(qmp_);
    if (pid_ > 0 && !qemu_ended_ && kill(pid_, SIGKILL) == 0) vlxtest::WaitChild(pid_, 10000);
  }

  // Makes the kernel and initramfs and starts QEMU; false, with `why`,
  // when this machine cannot.
  bool Boot(std::string* why) {
    started_ = std::chrono::steady_clock::now();
    if (access(qemu_.c_str(), X_OK) != 0) {
      *why = qemu_ + " is not installed";
      return false;
    }
    // The guest's programs: this build's, or an arm64 build's for the arm64
    // guest (whose tests run this one).
    const std::string arm64 = vlxtest::Arm64Build();
    if (case_ == "pl011" && arm64.empty()) {
      *why = "the arm64 build's tests run this case (ctest --preset linux-arm64)";
      return false;
    }
    std::vector<std::string> programs = {VLXTERM_STATIC, VLX_GUEST_SESSION, VLX_LAUNCHER_STATIC};
    if (case_ == "pl011") {
      programs = {arm64 + "/tests/vlxterm_static", arm64 + "/tests/guest_session",
                  arm64 + "/tests/vlxterm-on_static"};
    }
    vlxtest::ChildResult prepared = vlxtest::RunChild(
        [&] {
          vlxtest::Exec({"/bin/bash", VLX_GUEST_PREPARE, VLX_GUEST_CACHE, case_, programs[0],
                         programs[1], programs[2]});
        },
        240000);
    std::istringstream paths(prepared.out);
    std::string kernel, initramfs;
    std::getline(paths, kernel);
    std::getline(paths, initramfs);
    if (!(prepared.ended == Ended{0, 0}) || kernel.empty() || initramfs.empty()) {
      *why = "no guest kernel or initramfs (tests/guest/prepare)";
      return false;
    }
    device.Apply(vlxtest::RawSettings(B9600));
    const std::string dir = std::string(VLX_GUEST_CACHE) + "/" + case_;
    std::filesystem::create_directories(dir);
    console_ = dir + "/console.log";
    qmp_path_ = dir + "/qmp";
    std::remove(console_.c_str());
    std::remove(qmp_path_.c_str());
    trace_ = dir + "/trace.log";
    std::remove(trace_.c_str());
    std::vector<std::string> args = {qemu_, "-nodefaults", "-no-user-config", "-display", "none",
                                     "-monitor", "none", "-parallel", "none", "-m", "512",
                                     "-no-reboot", "-kernel", kernel, "-initrd", initramfs,
                                     // The guest's console, for its reports and trace: a file.
                                     "-chardev", "file,id=console,path=" + console_,
                                     // The port under test, its far end this test's pty.
                                     "-chardev", "serial,id=port,path=" + device.path};
    if (case_ == "pl011") {
      // The virt board's one PL011 is the port; its console a virtio
      // console (else the kernel takes the PL011). QEMU traces what the
      // driver writes to the UART's registers.
      args.insert(
          args.end(),
          {"-machine", "virt", "-cpu", "cortex-a57", "-append", "console=hvc0 panic=-1 quiet",
           "-device", "virtio-serial-device", "-device", "virtconsole,chardev=console", "-serial",
           "chardev:port", "-msg", "timestamp=on", "-trace", "enable=pl011_write,file=" + trace_});
    } else {
      args.insert(args.end(), {"-machine", "pc", "-accel", "tcg", "-serial", "none", "-append",
                               "console=ttyS1,115200 panic=-1 quiet 8250.nr_uarts=2", "-device",
                               "isa-serial,chardev=console,index=1"});
    }
    if (case_ == "8250") {
      args.insert(args.end(), {"-device", "isa-serial,chardev=port,index=0"});
    } else if (case_ == "usb") {
      args.insert(args.end(), {"-device", "qemu-xhci,id=xhci", "-device",
                               "usb-serial,chardev=port,id=adapter,bus=xhci.0,serial=VLX-FT1",
                               "-qmp", "unix:" + qmp_path_ + ",server=on,wait=off"});
    }  // acm: the device is a gadget inside the guest
    if (!SafeQemuArguments(args, device.path, why)) return false;
    const std::string log = dir + "/qemu.log";
    pid_ = fork();
    if (pid_ == 0) {
      // An emulated machine keeps its pace better ahead of the other work.
      if (geteuid() == 0) setpriority(PRIO_PROCESS, 0, -5);
      int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      dup2(fd, 1);
      dup2(fd, 2);
      vlxtest::Exec(args);
    }
    return pid_ > 0;
  }

  // Waits until the guest's console holds "GUEST <name>".
  bool WaitReport(const std::string& name) {
    return Await(
        [&] { return FileText(console_).find("GUEST " + name + " ") != std::string::npos; });
  }
  // Whether the guest has stopped short: QEMU has ended (a kernel panic
  // reboots, which ends it), or its init reported a step that failed.
  bool Broken() {
    if (!qemu_ended_ && pid_ > 0) qemu_ended_ = vlxtest::WaitChild(pid_, 0);
    return qemu_ended_ || FileText(console_).find("GUEST failed ") != std::string::npos;
  }
  // How the guest stands, for a failure's message: whether QEMU has ended,
  // and the end of the console.
  std::string Said() {
    const std::string console = FileText(console_);
    return std::string(qemu_ended_ ? "QEMU has ended; " : "") + "the guest's console ends:\n" +
           console.substr(console.size() > 3000 ? console.size() - 3000 : 0);
  }
  // What the device reads up to `last` or `most` bytes: a step of the
  // guest's, which ends at once when the guest has stopped short.
  std::vector<vlxtest::Arrival> Arrivals(uint8_t last, size_t most = SIZE_MAX) {
    std::vector<vlxtest::Arrival> arrivals;
    Await([&] {
      auto more = vlxtest::ReadArrivals(device.master, last, 200, most - arrivals.size());
      arrivals.insert(arrivals.end(), more.begin(), more.end());
      return !arrivals.empty() && (arrivals.back().byte == last || arrivals.size() == most);
    });
    return arrivals;
  }
  // A QMP command ({"execute": ...}); true when QEMU returned success.
  bool Qmp(const std::string& command) {
    if (Broken()) {
      last_reply_ = "the guest has stopped";
      return false;
    }
    if (qmp_ < 0) {
      signal(SIGPIPE, SIG_IGN);  // QEMU may end meanwhile: a failed step, not the test's end
      qmp_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
      sockaddr_un address{};
      address.sun_family = AF_UNIX;
      std::snprintf(address.sun_path, sizeof address.sun_path, "%s", qmp_path_.c_str());
      if (connect(qmp_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        last_reply_ = "cannot connect to " + qmp_path_;
        return false;
      }
      if (!QmpReply("{\"execute\":\"qmp_capabilities\"}")) return false;
    }
    return QmpReply(command);
  }
  // Waits for the guest to power off; its console afterwards, where its
  // probes were set and its session went to the end.
  std::optional<GuestLog> Finish() {
    if (!qemu_ended_) qemu_ended_ = vlxtest::WaitChild(pid_, kStepTimeoutMs);
    if (!qemu_ended_) return std::nullopt;
    GuestLog log = Parse(FileText(console_));
    if (log.Report("done") != "" || log.Report("kprobes") != "ok") return std::nullopt;
    return log;
  }
  // The case's figures: when the guest was up, the RTS pulses and the RTS
  // rise at the open, what else the case measured, and the whole test's time.
  void PrintFigures(const GuestLog& log, const std::string& highs, double rts_up_ms,
                    const std::string& more) const {
    const double wall_s =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count();
    std::printf("guest %s: booted to init at %s s, the port there at %s s\n", case_.c_str(),
                log.Report("init_at").c_str(), log.Report("port_at").c_str());
    std::printf("guest %s: RTS high per byte, ms: %s; RTS up after the open for %.3f ms\n",
                case_.c_str(), highs.c_str(), rts_up_ms);
    std::printf("guest %s: %s\nguest %s: whole test %.1f s\n", case_.c_str(), more.c_str(),
                case_.c_str(), wall_s);
  }
  // What the driver wrote to the emulated PL011's registers, in order
  // (QEMU's trace): offset and value.
  std::vector<std::pair<unsigned, unsigned>> UartWrites() {
    std::vector<std::pair<unsigned, unsigned>> writes;
    std::istringstream lines(FileText(trace_));
    const std::regex write(R"(pl011_write addr 0x([0-9a-f]+) value 0x([0-9a-f]+))");
    std::smatch m;
    for (std::string line; std::getline(lines, line);) {
      if (std::regex_search(line, m, write)) {
        writes.emplace_back(std::stoul(m[1], nullptr, 16), std::stoul(m[2], nullptr, 16));
      }
    }
    return writes;
  }
  // Waits until the guest has set the port to 2400 baud: at the host pty,
  // which QEMU sets as the guest sets its UART; for the PL011, which QEMU
  // leaves as it is, in the UART's divisor (24 MHz / (16 x 2400) = 625).
  bool WaitLineSetUp() {
    if (case_ != "pl011") return Await([&] { return vlxtest::WaitSpeed(device, B2400, 0); });
    return Await([&] {
      for (auto [offset, value] : UartWrites()) {
        if (offset == kPl011Ibrd && value == 625) return true;
      }
      return false;
    });
  }
  const std::string& LastQmpReply() const { return last_reply_; }

  vlxtest::Pty device;

 private:
  // Waits until `done`, for at most a step's time, or until the guest has
  // stopped short: a guest that panics says so at once, not at the time-out.
  bool Await(const std::function<bool()>& done) {
    bool broken = false;
    bool met = vlxtest::WaitUntil([&] { return done() || (broken = Broken()); }, kStepTimeoutMs);
    return met && !broken;
  }
  bool QmpReply(const std::string& command) {
    vlxtest::WriteAll(qmp_, command + "\n");
    std::string reply;
    // Events may come first; the reply is the line with "return" or "error".
    for (;;) {
      if (!vlxtest::ReadUntil(qmp_, "\n", 10000, &reply)) return false;
      for (size_t end; (end = reply.find('\n')) != std::string::npos; reply.erase(0, end + 1)) {
        std::string line = last_reply_ = reply.substr(0, end);
        if (line.find("\"return\"") != std::string::npos) return true;
        if (line.find("\"error\"") != std::string::npos) return false;
      }
    }
  }

  std::string case_, qemu_;
  std::chrono::steady_clock::time_point started_;
  std::string console_, qmp_path_, trace_;
  pid_t pid_ = -1;
  std::optional<Ended> qemu_ended_;
  int qmp_ = -1;
  std::string last_reply_;
};

// Skips where QEMU or the guest's pieces are missing, but fails in CI.
#define VLX_BOOT_GUEST(guest)                                   \
  do {                                                          \
    std::string vlx_why;                                        \
    if ((guest).Boot(&vlx_why)) break;                          \
    VLX_SKIP_OUTSIDE_CI(vlx_why + " (scripts/packages guest)"); \
  } while (0)

// The host end's line settings, as QEMU applied the guest's to the pty.
void ExpectHostLine2400_8N1(const termios& host) {
  EXPECT_EQ(cfgetospeed(&host), B2400);
  EXPECT_EQ(host.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_EQ(host.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
  EXPECT_EQ(host.c_iflag & (IXON | IXOFF), 0u);
}

// The device end of the conversation: once the line is set up, the
// device's bytes; then the typed line, answered. Returns the line.
std::vector<vlxtest::Arrival> PlayDevice(Guest& guest, termios* host) {
  if (!guest.WaitLineSetUp()) return {};
  *host = guest.device.Settings();
  vlxtest::WriteAll(guest.device.master,
                    "dev\a:\x1b"
                    "A\rok\r");
  auto arrivals = guest.Arrivals('\r');
  vlxtest::WriteAll(guest.device.master, "done\r");
  return arrivals;
}

void ExpectSentInPulses(const std::vector<vlxtest::Arrival>& arrivals, const std::string& bytes) {
  EXPECT_EQ(vlxtest::BytesOf(arrivals), bytes);
  // The kprobes time the holds exactly; the host reader may wake late.
  EXPECT_EQ(vlxtest::ShortGaps(arrivals, vlxtest::kHoldUs - vlxtest::kReaderSlackUs), "");
}

// The conversation as the operator saw it.
void ExpectConversation(const GuestLog& log, const std::string& session) {
  for (const char* what : {"_startup", "_device_shown", "_echo", "_answer_shown"}) {
    EXPECT_EQ(log.Report(session + what), "ok") << session + what;
  }
}

// Each byte of the typed line inside its own RTS pulse at the driver: the
// modem-line state as `state` tracks it, RTS up, the one-byte write, RTS
// down 30-40 ms later. Returns the high times.
std::string ExpectRtsPulses(const GuestLog& log, const std::string& session,
                            unsigned (*state)(const KernelEvent&, unsigned), unsigned before) {
  std::vector<KernelEvent> mctrl =
      Between(log, Word(session, stage::kTyping), Word(session, stage::kSent), "mctrl");
  std::vector<KernelEvent> writes =
      Between(log, Word(session, stage::kTyping), Word(session, stage::kSent), "uwrite");
  std::string highs, written;
  EXPECT_EQ(mctrl.size(), 6u) << "two modem-line changes per byte";
  EXPECT_EQ(writes.size(), 3u);
  unsigned lines = before;
  for (size_t i = 0; i + 1 < mctrl.size() && i / 2 < writes.size(); i += 2) {
    const KernelEvent &up = mctrl[i], &down = mctrl[i + 1], &write = writes[i / 2];
    lines = state(up, lines);
    EXPECT_EQ(lines & (kDtr | kRts), kDtr | kRts) << up.text;
    lines = state(down, lines);
    EXPECT_EQ(lines & (kDtr | kRts), kDtr) << down.text;
    EXPECT_LT(up.ms, write.ms);
    EXPECT_LT(write.ms, down.ms);
    EXPECT_EQ(write.Number("count"), 1u) << write.text;
    written.push_back(static_cast<char>(write.Number("byte")));
    double high = down.ms - up.ms;
    EXPECT_GE(high, 30.0);  // a hold may never be short
    // RTS left up into a second byte's time; today's figures are printed.
    EXPECT_LT(high, 2 * kHoldMs) << "RTS held past its byte's hold";
    char figure[16];
    std::snprintf(figure, sizeof figure, "%.2f ", high);
    highs += figure;
  }
  EXPECT_EQ(written, "hi\r");
  return highs;
}

// The open raises DTR and RTS together: RTS must come down before
// anything is sent, DTR stay up, and no line move at idle, as the
// modem-line changes of `kind` show them, tracked by `state` into `lines`
// (so at idle on return). Returns how long RTS stayed up, in ms, which the
// case prints: the figure to watch, not to pin (an emulated machine's time
// is the host's load).
double ExpectRtsDownAfterOpen(const GuestLog& log, const std::string& session,
                              const std::string& kind,
                              unsigned (*state)(const KernelEvent&, unsigned), unsigned* lines) {
  double raised_ms = -1, up_ms = -1;
  for (const KernelEvent& e : Between(log, stage::kStart, Word(session, stage::kIdle), kind)) {
    *lines = state(e, *lines);
    if (raised_ms < 0) {
      if ((*lines & (kDtr | kRts)) == (kDtr | kRts)) raised_ms = e.ms;
      continue;
    }
    EXPECT_TRUE(*lines & kDtr) << "DTR dropped: " << e.text;
    if (up_ms < 0 && !(*lines & kRts)) up_ms = e.ms - raised_ms;
  }
  EXPECT_GE(up_ms, 0) << "RTS never went down after the open";
  // Guards RTS lowered only with the settings or at the first byte (100s of
  // ms) and never lowered: one hold is far from both, and from 0.3-3 ms.
  EXPECT_LT(up_ms, kHoldMs) << "RTS up after the open for " << up_ms << " ms";
  EXPECT_EQ(*lines & (kDtr | kRts), kDtr) << "DTR up and RTS down at idle";
  EXPECT_TRUE(
      Between(log, Word(session, stage::kIdle), Word(session, stage::kTyping), kind).empty())
      << "lines moved at idle";
  return up_ms;
}

// The 8250 reports the whole state; the FTDI driver what it set and cleared.
unsigned Whole8250(const KernelEvent& e, unsigned) {
  return static_cast<unsigned>(e.Number("mctrl"));
}
unsigned SetClearFtdi(const KernelEvent& e, unsigned lines) {
  return (lines | static_cast<unsigned>(e.Number("set"))) &
         ~static_cast<unsigned>(e.Number("clear"));
}
// A CDC-ACM device is told the whole state (SET_CONTROL_LINE_STATE, 0x22:
// DTR 1, RTS 2) among its other class requests.
unsigned AcmControlLines(const KernelEvent& e, unsigned lines) {
  if (e.Number("request") != 0x22) return lines;
  return ((e.Number("value") & 1) != 0 ? kDtr : 0) | ((e.Number("value") & 2) != 0 ? kRts : 0);
}

// The line coding the CDC-ACM gadget was last given between two marks.
void ExpectAcmLine2400_8N1(const GuestLog& log, const std::string& from, const std::string& to) {
  std::vector<KernelEvent> coding = Between(log, from, to, "coding");
  ASSERT_FALSE(coding.empty()) << "no line coding";
  const KernelEvent& set = coding.back();
  EXPECT_EQ(set.Number("rate"), 2400u) << set.text;
  EXPECT_EQ(set.Number("bits"), 8u) << set.text;
  EXPECT_EQ(set.Number("parity") + set.Number("stop"), 0u) << set.text;
}

// The gadget's modem lines from `lines` on, as its requests between two
// marks left them.
unsigned AcmLinesAfter(const GuestLog& log, const std::string& from, const std::string& to,
                       unsigned lines) {
  for (const KernelEvent& e : Between(log, from, to, "lines")) lines = AcmControlLines(e, lines);
  return lines;
}

// Pulled out (or unbound) at idle or while a line went out: said, no spin
// while it waits for the device (looking for it four times a second), keys
// served; where the session `ended` then, Esc ended it with status 0 and
// the terminal as it was.
void ExpectUnplugged(const GuestLog& log, const std::string& session, bool ended) {
  SCOPED_TRACE(session);
  for (const char* step : {"_unplugged", "_gone_said", "_keys_served"}) {
    EXPECT_EQ(log.Report(session + step), "ok") << step;
  }
  // A spin costs most of the guest's core (1000s of ms over 2 s); waiting
  // costs a few ms however loaded the host is.
  EXPECT_LT(std::stol(log.Report(session + "_cpu_ms_over_2s")), 500) << "spins after the pull";
  if (!ended) return;
  EXPECT_EQ(log.Report(session + "_exit_status"), "0");
  EXPECT_EQ(log.Report(session + "_terminal_restored"), "yes");
}

// The host's part of a session that it has no other part in: the device
// until the guest powers off. The guest's log, where its session went to
// the end, with the conversation as the operator saw it and the typed line
// at the device, each byte in its own hold.
std::optional<GuestLog> PlayToTheEnd(Guest& guest, const std::string& session, termios* host) {
  auto arrivals = PlayDevice(guest, host);
  std::optional<GuestLog> log = guest.Finish();
  if (log) {
    ExpectConversation(*log, session);
    ExpectSentInPulses(arrivals, "hi\r");
  }
  return log;
}

TEST(GuestSerial, OnThe8250DriverAsCom1) {
  Guest guest(Guest::k8250);
  VLX_BOOT_GUEST(guest);
  termios host{};
  std::optional<GuestLog> finished = PlayToTheEnd(guest, "com1", &host);
  ASSERT_TRUE(finished.has_value()) << "the guest's session did not end\n" << guest.Said();
  const GuestLog& log = *finished;

  // The line settings at the UART (QEMU applies the divisor and the line
  // control register to the host pty) and in the guest driver.
  ExpectHostLine2400_8N1(host);
  std::vector<KernelEvent> termios_set =
      Between(log, stage::kStart, Word("com1", stage::kIdle), "termios");
  ASSERT_FALSE(termios_set.empty());
  const KernelEvent& set = termios_set.back();
  EXPECT_EQ(set.Number("ospeed"), 2400u) << set.text;
  EXPECT_EQ(set.Number("cflag") & CBAUD, static_cast<uint64_t>(B2400)) << set.text;
  EXPECT_EQ(set.Number("cflag") & CSIZE, static_cast<uint64_t>(CS8)) << set.text;
  EXPECT_EQ(set.Number("cflag") & (PARENB | CSTOPB | CRTSCTS), 0u) << set.text;
  EXPECT_EQ(set.Number("iflag") & (IXON | IXOFF), 0u) << set.text;

  // RTS down at once after the open, DTR up until the exit.
  unsigned lines = 0;
  double rts_up_ms = ExpectRtsDownAfterOpen(log, "com1", "mctrl", Whole8250, &lines);
  std::string highs = ExpectRtsPulses(log, "com1", Whole8250, kDtr);

  // A second vlxterm, as root and as a plain user: status 1 and its
  // message, and the holder's lines do not move.
  for (const char* who : {"root", "user"}) {
    SCOPED_TRACE(who);
    std::string name = std::string("busy_") + who;
    EXPECT_EQ(log.Report(name + "_status"), "1");
    EXPECT_NE(log.Report(name + "_screen").find("---\\x0d\\x0aCOM1"), std::string::npos)
        << log.Report(name + "_screen");
    EXPECT_TRUE(Between(log, Word(who, stage::kBusy), Word(who, stage::kBusyEnd), "mctrl").empty())
        << "the busy open moved lines";
  }

  // Esc: status 0, and the port closed, which drops DTR.
  EXPECT_EQ(log.Report("com1_exit_status"), "0");
  std::vector<KernelEvent> closing =
      Between(log, Word("com1", stage::kEsc), Word("com1", stage::kClosed), "mctrl");
  ASSERT_FALSE(closing.empty()) << "no line change at close";
  EXPECT_FALSE(closing.back().Number("mctrl") & kDtr) << closing.back().text;
  for (const KernelEvent& e :
       Between(log, Word("com1", stage::kIdle), Word("com1", stage::kEsc), "mctrl")) {
    EXPECT_TRUE(e.Number("mctrl") & kDtr) << "DTR dropped before the exit: " << e.text;
  }

  guest.PrintFigures(
      log, highs, rts_up_ms,
      "lines after close " + closing.back().fields.at("mctrl") + "; " + log.Report("serial"));
}

TEST(GuestSerial, OnAUsbAdapterThroughTheLauncherPulledOutTwice) {
  Guest guest(Guest::kUsb);
  VLX_BOOT_GUEST(guest);
  termios host{};
  auto arrivals = PlayDevice(guest, &host);
  // Pulled out at idle; a new one put in; pulled out while a line goes out.
  EXPECT_TRUE(guest.WaitReport("unplug_now")) << guest.Said();
  EXPECT_TRUE(guest.Qmp(R"({"execute":"device_del","arguments":{"id":"adapter"}})"))
      << guest.LastQmpReply();
  EXPECT_TRUE(guest.WaitReport("replug_now")) << guest.Said();
  // The same adapter (its serial) back in: vlxterm follows it.
  EXPECT_TRUE(guest.Qmp(R"({"execute":"device_add","arguments":{"driver":"usb-serial",)"
                        R"("chardev":"port","id":"adapter2","bus":"xhci.0","serial":"VLX-FT1"}})"))
      << guest.LastQmpReply();
  auto before_pull = guest.Arrivals(0, 2);
  EXPECT_TRUE(guest.Qmp(R"({"execute":"device_del","arguments":{"id":"adapter2"}})"))
      << guest.LastQmpReply();
  std::optional<GuestLog> finished = guest.Finish();
  ASSERT_TRUE(finished.has_value()) << "the guest's session did not end\n" << guest.Said();
  const GuestLog& log = *finished;

  // The list and the launcher's refusals, before any namespace: the
  // adapter, the console's UART; the empty slot of COM1 is no port.
  const std::string list = log.Report("list");
  EXPECT_EQ(list.rfind("status=0 said=", 0), 0u) << list;
  EXPECT_NE(list.find("/dev/ttyUSB0  ftdi_sio  0403:6001  "), std::string::npos) << list;
  EXPECT_NE(list.find("/dev/ttyS1  serial  [console, refused]"), std::string::npos) << list;
  EXPECT_EQ(list.find("/dev/ttyS0"), std::string::npos) << list;
  const std::string unplugged = log.Report("list_unplugged");
  EXPECT_EQ(unplugged.find("ttyUSB0"), std::string::npos) << unplugged;
  EXPECT_NE(unplugged.find("/dev/ttyS1"), std::string::npos) << unplugged;
  EXPECT_NE(log.Report("launcher_ttyS0")
                .find("status=125 said=vlxterm-on: /dev/ttyS0 is not a serial terminal"),
            std::string::npos)
      << log.Report("launcher_ttyS0");
  EXPECT_NE(
      log.Report("launcher_console").find("status=125 said=vlxterm-on: refusing /dev/console"),
      std::string::npos)
      << log.Report("launcher_console");
  EXPECT_NE(log.Report("launcher_missing").find("/dev/ttyUSB0: no such device"), std::string::npos)
      << log.Report("launcher_missing");

  // vlxterm-on /dev/ttyUSB0: the conversation, the settings at the adapter,
  // the pulses at the driver.
  ExpectConversation(log, "usb");
  ExpectSentInPulses(arrivals, "hi\r");
  ExpectHostLine2400_8N1(host);
  unsigned lines = 0;
  double rts_up_ms = ExpectRtsDownAfterOpen(log, "usb", "mctrl", SetClearFtdi, &lines);
  std::string highs = ExpectRtsPulses(log, "usb", SetClearFtdi, lines);

  // Pulled out at idle, plugged back in and followed, pulled out again
  // while a line went out: no spin, keys served, Esc ends it with status 0
  // and the terminal as it was.
  std::string pulled_after;
  for (const auto& a : before_pull) pulled_after.push_back(static_cast<char>(a.byte));
  EXPECT_EQ(pulled_after, "01") << "the line typed once the adapter was back, before the pull";
  ExpectUnplugged(log, "usb", false);
  EXPECT_EQ(log.Report("replugged"), "ok");
  EXPECT_EQ(log.Report("usb_back"), "ok");
  ExpectUnplugged(log, "usb2", true);

  guest.PrintFigures(log, highs, rts_up_ms,
                     "CPU over 2 s after the pulls: " + log.Report("usb_cpu_ms_over_2s") + " ms, " +
                         log.Report("usb2_cpu_ms_over_2s") + " ms; vlxterm-on --list: " + list);
}

TEST(GuestSerial, OnAUsbCdcAcmDeviceThatStopsReading) {
  Guest guest(Guest::kAcm);
  VLX_BOOT_GUEST(guest);
  std::optional<GuestLog> finished = guest.Finish();
  ASSERT_TRUE(finished.has_value()) << "the guest's session did not end\n" << guest.Said();
  const GuestLog& log = *finished;
  ExpectConversation(log, "acm");
  EXPECT_EQ(log.Report("acm_device_got"), "hi\\x0d");

  // As the device sees it: 2400 8N1, RTS down right after the open, DTR up
  // for the session, and down after Esc; the pulses as vlxterm made them.
  ExpectAcmLine2400_8N1(log, stage::kStart, Word("acm", stage::kIdle));
  unsigned lines = 0;
  // (As the gadget sees the requests: each waits for the emulated
  // controller's frame timer, which a loaded host stretches.)
  double rts_up_ms = ExpectRtsDownAfterOpen(log, "acm", "lines", AcmControlLines, &lines);
  std::string highs = ExpectRtsPulses(log, "acm", SetClearFtdi, lines);
  EXPECT_EQ(log.Report("acm_exit_status"), "0");
  lines = AcmLinesAfter(log, Word("acm", stage::kEsc), Word("acm", stage::kClosed), lines);
  EXPECT_EQ(lines & kDtr, 0u) << "DTR still up after the close";

  // The device stops reading: the gadget still completes the 16 writes it
  // had queued, then the line stops at the byte the driver cannot give up
  // (no CR after it); Esc, or a signal, at idle ends it within half a
  // second; once the device reads again it gets nothing.
  std::string figures;
  for (auto [session, status] : {std::pair<const char*, const char*>{"stall_root", "0"},
                                 {"stall_user", "0"},
                                 {"stall_term", "143"}}) {
    SCOPED_TRACE(session);
    std::string s(session);
    EXPECT_EQ(log.Report(s + "_stall_echo"), "ok");
    std::vector<KernelEvent> writes =
        Between(log, Word(s, stage::kStalled), Word(s, stage::kEsc), "uwrite");
    EXPECT_GE(writes.size(), 16u);
    EXPECT_LE(writes.size(), 17u) << "bytes offered to a driver that holds what it cannot send";
    EXPECT_TRUE(writes.empty() || writes.back().Number("byte") != '\r');
    EXPECT_EQ(log.Report(s + "_exit_status"), status);
    // The close waiting for the driver: until the device reads again, over
    // 10 s seen; the guest driver gives it 1 s (an end takes 30-80 ms).
    EXPECT_NE(log.Report(s + "_end_ms"), "over 1000") << "the close waited";
    EXPECT_EQ(log.Report(s + "_late_bytes"), "0") << "bytes reached the device after their pulses";
    figures += s + ": " + std::to_string(writes.size()) + " bytes offered, ended in " +
               log.Report(s + "_end_ms") + " ms, " + log.Report(s + "_late_bytes") +
               " late bytes; ";
  }
  // The board unbound and bound again, as root and as a plain user: the
  // same board followed under its own name (opened again at 2400 8N1 with
  // DTR up, as the board sees it; it greets, and takes a line in RTS
  // pulses); another board on the same controller never opened (cdc_acm's
  // own 9600 at probe only); the same board on the other controller followed.
  for (const char* who : {"root", "user"}) {
    SCOPED_TRACE(who);
    const std::string w(who);
    for (const char* step :
         {"_startup", "_back", "_dtr", "_greeting", "_answer_shown", "_other", "_moved"}) {
      EXPECT_EQ(log.Report(w + step), "ok") << step;
    }
    ExpectUnplugged(log, w, true);
    EXPECT_EQ(log.Report(w + "_board_got"), "hi\\x0d");
    ExpectAcmLine2400_8N1(log, Word(w, stage::kBack), Word(w, stage::kTyping));
    unsigned back_lines = AcmLinesAfter(log, Word(w, stage::kBack), Word(w, stage::kTyping), 0);
    EXPECT_EQ(back_lines & (kDtr | kRts), kDtr) << "DTR up, RTS down, once back";
    ExpectRtsPulses(log, w, SetClearFtdi, back_lines);
    for (const KernelEvent& e :
         Between(log, Word(w, stage::kOther), Word(w, stage::kMoved), "lines")) {
      EXPECT_NE(e.Number("request"), 0x22u) << "another board's lines set: " << e.text;
    }
    for (const KernelEvent& e :
         Between(log, Word(w, stage::kOther), Word(w, stage::kMoved), "coding")) {
      EXPECT_NE(e.Number("rate"), 2400u) << "another board set up: " << e.text;
    }
    figures += w + ": back as /dev/ttyACM0 " + log.Report(w + "_back_ms") +
               " ms after the bind, CPU while waiting " + log.Report(w + "_cpu_ms_over_2s") +
               " ms over 2 s; ";
  }

  guest.PrintFigures(log, highs, rts_up_ms, "the device not reading, replugs: " + figures);
}

TEST(GuestSerial, OnThePl011OfAnArm64Board) {
  Guest guest(Guest::kPl011);
  VLX_BOOT_GUEST(guest);
  termios host{};
  std::optional<GuestLog> finished = PlayToTheEnd(guest, "pl011", &host);
  ASSERT_TRUE(finished.has_value()) << "the guest's session did not end\n" << guest.Said();
  const GuestLog& log = *finished;
  EXPECT_NE(log.Report("launcher_console")
                .find("status=125 said=vlxterm-on: refusing /dev/hvc0 (229:0): it is a console "
                      "the kernel lists (hvc0)"),
            std::string::npos)
      << log.Report("launcher_console");

  // The line as the driver set the UART up: the divisor's fraction, its
  // integer part (2400 baud), then the line control that makes them take
  // effect: 8 bits, no parity, one stop bit.
  auto writes = guest.UartWrites();
  auto set = std::find(writes.begin(), writes.end(), std::make_pair(kPl011Ibrd, 625u));
  ASSERT_TRUE(set != writes.begin() && set != writes.end()) << "no 2400 baud divisor written";
  auto line_control = std::find_if(set, writes.end(), [](auto w) { return w.first == kPl011LcrH; });
  ASSERT_NE(line_control, writes.end());
  EXPECT_EQ(*(set - 1), std::make_pair(kPl011Fbrd, 0u));
  EXPECT_EQ(line_control->second & 0x6a, 0x60u) << "WLEN 8, no PEN, no STP2";

  unsigned lines = 0;
  double rts_up_ms = ExpectRtsDownAfterOpen(log, "pl011", "mctrl", Whole8250, &lines);
  std::string highs = ExpectRtsPulses(log, "pl011", Whole8250, lines);
  EXPECT_EQ(log.Report("pl011_exit_status"), "0");
  std::vector<KernelEvent> closing =
      Between(log, Word("pl011", stage::kEsc), Word("pl011", stage::kClosed), "mctrl");
  ASSERT_FALSE(closing.empty()) << "no line change at close";
  EXPECT_FALSE(closing.back().Number("mctrl") & kDtr) << closing.back().text;

  guest.PrintFigures(log, highs, rts_up_ms, log.Report("consoles"));
}

}  // namespace
