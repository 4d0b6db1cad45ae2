// vlxterm on the kernel's own serial driver: a QEMU guest whose COM1
// (/dev/ttyS0) is an emulated 16550A run by Linux's 8250 driver, the far
// end of that UART a pty here, played as the device. Inside, a session
// driver (guest/guest_session.cpp) types as an operator would; kprobes on
// the driver record the modem lines, the line settings and the writes.
//
// Safety: QEMU gets no default devices and no monitor; no argument may
// name a /dev path other than this test's own pty (checked by stat: a pty
// major). It is killed by its PID at the end; the guest powers itself off
// after a time-out.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>

#include "pty_support.h"

namespace {

using vlxtest::Ended;

constexpr const char* kQemu = "/usr/bin/qemu-system-x86_64";
constexpr int kHardTimeoutMs = 300000;
constexpr uint64_t kCom1 = 0x3f8;
constexpr unsigned kDtr = 0x002, kRts = 0x004;  // TIOCM_DTR, TIOCM_RTS

std::string FileText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// Runs a command, returning its standard output; empty when it failed.
std::string Output(const std::vector<std::string>& argv) {
  vlxtest::ChildResult r = vlxtest::RunChild([&] { vlxtest::Exec(argv); }, 120000);
  return r.ended == Ended{0, 0} ? r.out : "";
}

// Every argument that names a /dev path must be `pty`, a pseudo-terminal.
bool SafeQemuArguments(const std::vector<std::string>& args, const std::string& pty,
                       std::string* why) {
  for (const std::string& arg : args) {
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

// One line of the guest kernel's trace: time in ms, event, its fields.
struct TraceEvent {
  double ms;
  std::string task;  // the process that made the call
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
  std::vector<TraceEvent> trace;
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
      TraceEvent e{std::stod(m[2]) * 1000.0, m[1], m[3], m[4], {}};
      std::string rest = e.text;
      for (std::smatch f; std::regex_search(rest, f, field); rest = f.suffix()) {
        e.fields[f[1]] = f[2];
      }
      log.trace.push_back(e);
    }
  }
  return log;
}

// The events between two trace markers ("vlx <stage>").
std::vector<TraceEvent> Between(const GuestLog& log, const std::string& from,
                                const std::string& to) {
  std::vector<TraceEvent> events;
  bool inside = false;
  for (const TraceEvent& e : log.trace) {
    if (e.event == "tracing_mark_write") {
      if (e.text == "vlx " + from) inside = true;
      if (e.text == "vlx " + to) inside = false;
      continue;
    }
    if (inside) events.push_back(e);
  }
  return events;
}

// The driver's calls on COM1: by the port's address; writes by the writer
// (only vlxterm writes to a UART tty, the session driver's reports go to
// the console's).
bool OnCom1(const TraceEvent& e) {
  if (e.event == "uwrite") return e.task == "vlxterm";
  return e.Number("iobase") == kCom1;
}

std::vector<TraceEvent> Com1(const std::vector<TraceEvent>& events, const std::string& kind) {
  std::vector<TraceEvent> out;
  for (const TraceEvent& e : events) {
    if (e.event == kind && OnCom1(e)) out.push_back(e);
  }
  return out;
}

TEST(GuestSerial, TheProgramOnTheKernels8250Driver) {
  const bool ci = std::getenv("CI") != nullptr;
  if (access(kQemu, X_OK) != 0) {
    if (ci) FAIL() << "QEMU is not installed";
    GTEST_SKIP() << "QEMU is not installed (scripts/packages guest)";
  }
  auto started = std::chrono::steady_clock::now();
  std::string prepared =
      Output({"/bin/bash", VLX_GUEST_PREPARE, VLX_GUEST_CACHE, VLXTERM_STATIC, VLX_GUEST_SESSION});
  std::string kernel = prepared.substr(0, prepared.find('\n'));
  std::string initramfs = prepared.substr(kernel.size() + 1);
  if (!initramfs.empty() && initramfs.back() == '\n') initramfs.pop_back();
  if (kernel.empty() || initramfs.empty()) {
    if (ci) FAIL() << "no guest kernel or initramfs";
    GTEST_SKIP() << "no guest kernel or initramfs (see tests/guest/prepare)";
  }

  vlxtest::Pty device;
  device.Apply(vlxtest::RawSettings(B9600));
  const std::string console = std::string(VLX_GUEST_CACHE) + "/console.log";
  std::remove(console.c_str());
  const std::vector<std::string> qemu = {
      kQemu, "-nodefaults", "-no-user-config", "-display", "none", "-monitor", "none", "-serial",
      "none", "-parallel", "none", "-machine", "pc", "-accel", "tcg", "-m", "256", "-no-reboot",
      "-kernel", kernel, "-initrd", initramfs, "-append",
      "console=ttyS1,115200 panic=-1 quiet 8250.nr_uarts=2",
      // COM1: the 8250 driver's ttyS0, its far end this test's pty.
      "-chardev", "serial,id=com1,path=" + device.path, "-device",
      "isa-serial,chardev=com1,index=0",
      // The guest's console, for its reports and trace: a file.
      "-chardev", "file,id=console,path=" + console, "-device",
      "isa-serial,chardev=console,index=1"};
  std::string why;
  ASSERT_TRUE(SafeQemuArguments(qemu, device.path, &why)) << why;
  const std::string qemu_log = std::string(VLX_GUEST_CACHE) + "/qemu.log";
  pid_t pid = fork();
  if (pid == 0) {
    // An emulated machine keeps its pace better ahead of the other work.
    if (geteuid() == 0) setpriority(PRIO_PROCESS, 0, -5);
    int log = open(qemu_log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(log, 1);
    dup2(log, 2);
    vlxtest::Exec(qemu);
  }
  ASSERT_GT(pid, 0);
  struct KillQemu {
    pid_t pid;
    ~KillQemu() {
      if (pid > 0 && kill(pid, SIGKILL) == 0) vlxtest::WaitChild(pid, 10000);
    }
  } kill_qemu{pid};

  // The device end: once the line is set up, send; answer the typed line.
  ASSERT_TRUE(vlxtest::WaitUntil(
      [&] {
        termios t = device.Settings();
        return cfgetospeed(&t) == B2400;
      },
      kHardTimeoutMs / 3))
      << FileText(console) << FileText(qemu_log);
  termios host = device.Settings();
  vlxtest::WriteAll(device.master,
                    "dev\a:\x1b"
                    "A\rok\r");
  auto arrivals = vlxtest::ReadArrivals(device.master, '\r', kHardTimeoutMs / 3);
  vlxtest::WriteAll(device.master, "done\r");
  std::optional<Ended> ended = vlxtest::WaitChild(pid, kHardTimeoutMs / 3);
  ASSERT_TRUE(ended.has_value()) << "the guest did not power off\n" << FileText(console);
  kill_qemu.pid = -1;
  double wall_s = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  GuestLog log = Parse(FileText(console));
  ASSERT_EQ(log.reports["done"], "") << FileText(console);
  EXPECT_EQ(log.reports["kprobes"], "ok");

  // What the operator saw, and the line at the device.
  EXPECT_EQ(log.reports["startup"], "ok");
  EXPECT_EQ(log.reports["device_shown"], "ok");
  EXPECT_EQ(log.reports["echo"], "ok");
  EXPECT_EQ(log.reports["answer_shown"], "ok");
  std::string sent;
  for (const auto& a : arrivals) sent.push_back(static_cast<char>(a.byte));
  EXPECT_EQ(sent, "hi\r");
  for (size_t i = 1; i < arrivals.size(); ++i) {
    EXPECT_GE(arrivals[i].us - arrivals[i - 1].us, 29000) << "gap before byte " << i;
  }

  // The line settings: at the UART (QEMU applies the divisor and the line
  // control register to the host pty) and in the guest driver.
  EXPECT_EQ(cfgetospeed(&host), B2400);
  EXPECT_EQ(host.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_EQ(host.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
  EXPECT_EQ(host.c_iflag & (IXON | IXOFF), 0u);
  std::vector<TraceEvent> termios_set = Com1(log.trace, "termios");
  ASSERT_FALSE(termios_set.empty());
  const TraceEvent& set = termios_set.back();
  EXPECT_EQ(set.Number("ospeed"), 2400u) << set.text;
  EXPECT_EQ(set.Number("cflag") & CBAUD, static_cast<uint64_t>(B2400)) << set.text;
  EXPECT_EQ(set.Number("cflag") & CSIZE, static_cast<uint64_t>(CS8)) << set.text;
  EXPECT_EQ(set.Number("cflag") & (PARENB | CSTOPB | CRTSCTS), 0u) << set.text;
  EXPECT_EQ(set.Number("iflag") & (IXON | IXOFF), 0u) << set.text;

  // The modem lines as the driver set them.
  std::vector<TraceEvent> open_to_idle = Com1(Between(log, "start", "idle"), "mctrl");
  // The open raises DTR and RTS together; RTS must come down at once.
  auto raised = std::find_if(open_to_idle.begin(), open_to_idle.end(), [](const TraceEvent& e) {
    return (e.Number("mctrl") & (kDtr | kRts)) == (kDtr | kRts);
  });
  ASSERT_NE(raised, open_to_idle.end()) << "the open raised no line";
  const TraceEvent opened = *raised;
  double blip_ms = -1;
  for (auto e = raised; e != open_to_idle.end(); ++e) {
    EXPECT_TRUE(e->Number("mctrl") & kDtr) << "DTR dropped: " << e->text;
    if (blip_ms < 0 && !(e->Number("mctrl") & kRts)) blip_ms = e->ms - opened.ms;
  }
  EXPECT_GE(blip_ms, 0) << "RTS never went down after the open";
  EXPECT_LT(blip_ms, 1.0) << "RTS up after the open for " << blip_ms << " ms";
  EXPECT_FALSE(open_to_idle.back().Number("mctrl") & kRts) << "RTS up at idle";
  EXPECT_TRUE(Com1(Between(log, "idle", "typing"), "mctrl").empty()) << "lines moved at idle";

  std::vector<TraceEvent> line;
  for (const TraceEvent& e : Between(log, "typing", "sent")) {
    if ((e.event == "mctrl" || e.event == "uwrite") && OnCom1(e)) line.push_back(e);
  }
  std::string highs;
  std::string written;
  size_t at = 0;
  for (char byte : std::string("hi\r")) {
    SCOPED_TRACE(testing::PrintToString(byte));
    ASSERT_LE(at + 3, line.size());
    const TraceEvent &up = line[at], &write = line[at + 1], &down = line[at + 2];
    EXPECT_EQ(up.event, "mctrl");
    EXPECT_EQ(up.Number("mctrl") & (kDtr | kRts), kDtr | kRts) << up.text;
    EXPECT_EQ(write.event, "uwrite");
    EXPECT_EQ(write.Number("count"), 1u) << write.text;
    written.push_back(static_cast<char>(write.Number("byte")));
    EXPECT_EQ(down.event, "mctrl");
    EXPECT_EQ(down.Number("mctrl") & (kDtr | kRts), kDtr) << down.text;
    double high = down.ms - up.ms;
    EXPECT_GE(high, 30.0);
    EXPECT_LE(high, 40.0);
    char figure[16];
    std::snprintf(figure, sizeof figure, "%.2f ", high);
    highs += figure;
    at += 3;
  }
  EXPECT_EQ(written, "hi\r");
  EXPECT_EQ(at, line.size()) << "more line traffic than the typed line";

  // A second vlxterm, as root and as a plain user: status 1 and its
  // message, and the holder's lines do not move.
  for (const char* who : {"root", "user"}) {
    SCOPED_TRACE(who);
    std::string name = std::string("busy_") + who;
    EXPECT_EQ(log.reports[name + "_status"], "1");
    EXPECT_NE(log.reports[name + "_screen"].find("---\\x0d\\x0aCOM1"), std::string::npos)
        << log.reports[name + "_screen"];
    for (const TraceEvent& e :
         Com1(Between(log, std::string("busy-") + who, std::string("busy-") + who + "-end"),
              "mctrl")) {
      ADD_FAILURE() << "the busy open moved the lines: " << e.text;
    }
  }

  // Esc: status 0, and the port closed, which drops DTR.
  EXPECT_EQ(log.reports["exit_status"], "0");
  std::vector<TraceEvent> closing = Com1(Between(log, "esc", "closed"), "mctrl");
  ASSERT_FALSE(closing.empty()) << "no line change at close";
  EXPECT_FALSE(closing.back().Number("mctrl") & kDtr) << closing.back().text;
  for (const TraceEvent& e : Com1(Between(log, "idle", "esc"), "mctrl")) {
    EXPECT_TRUE(e.Number("mctrl") & kDtr) << "DTR dropped before the exit: " << e.text;
  }

  std::printf("guest: RTS high per byte, ms: %s\n", highs.c_str());
  std::printf("guest: RTS up after the open for %.3f ms\n", blip_ms);
  std::printf("guest: open mctrl %s; after close %s\n", opened.fields.at("mctrl").c_str(),
              closing.back().fields.at("mctrl").c_str());
  std::printf("guest: %s\n", log.reports["serial"].c_str());
  std::printf("guest: whole test %.1f s\n", wall_s);
}

}  // namespace
