// vlxbench: measures vlxterm end to end (through the sandbox, on ptys) and
// the serial terminals picocom and tio on the same kind of ptys in the same
// run, and prints a Markdown report. Run it through scripts/bench.
// `vlxbench --relay DEVICE` is the relay it measures against: it shows each
// byte read from DEVICE with a write of its own, the floor of any design
// that shows bytes one by one.
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "pty_support.h"
#include "terminal_session.h"

namespace {

using vlxtest::Pty;

constexpr size_t kBurstBytes = 1 << 20;
constexpr int kRuns = 3;

struct Terminal {
  std::string name;
  std::string binary;  // empty: not installed
  bool sandboxed;      // vlxterm: device bound over /dev/ttyS0; peers: path by argument
  std::vector<std::string> quiet_args, banner_args;
  bool sets_line = true;  // false: the relay, which takes the line and console as they are
};

// The relay: a wait, a read of what waits, a write per byte.
int Relay(const char* device) {
  int fd = open(device, O_RDONLY | O_NOCTTY);
  if (fd < 0) return 1;
  char buffer[4096];
  for (;;) {
    pollfd in{fd, POLLIN, 0};
    if (poll(&in, 1, -1) < 0) continue;
    ssize_t got = read(fd, buffer, sizeof buffer);
    if (got <= 0) return 0;
    for (ssize_t i = 0; i < got; ++i) {
      while (write(STDOUT_FILENO, &buffer[i], 1) != 1) {
      }
    }
  }
}

std::string Which(const std::string& name) {
  for (const char* dir : {"/usr/bin/", "/usr/local/bin/", "/bin/"}) {
    std::string path = dir + name;
    if (access(path.c_str(), X_OK) == 0) return path;
  }
  return "";
}

// Starts a terminal: vlxterm through the sandbox, a peer pointed at the
// device pty; with `stamp_file`, a wrapper writes the time of its exec there.
vlxtest::SessionOptions Options(const Terminal& t, bool quiet, const std::string& stamp_file = "") {
  vlxtest::SessionOptions options;
  if (!stamp_file.empty()) {
    options.wrapper = {"/bin/bash", "-c",
                       "printf %s \"$EPOCHREALTIME\" > " + stamp_file + "; exec \"$@\"", "stamp"};
  }
  if (!t.sandboxed) {
    options.peer = {t.binary};
    const auto& args = quiet ? t.quiet_args : t.banner_args;
    options.peer.insert(options.peer.end(), args.begin(), args.end());
  }
  return options;
}

std::string Comm(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/comm");
  std::string comm;
  std::getline(in, comm);
  return comm;
}

// Waits until the program itself runs, has set the line up and has
// written what it writes at start; the console is read empty.
bool WaitReady(const Terminal& t, vlxtest::TerminalSession& run) {
  std::string base = t.binary.substr(t.binary.rfind('/') + 1);
  bool ok = vlxtest::WaitUntil(
      [&] {
        return Comm(run.pid()) == base.substr(0, 15) && (!t.sets_line || run.WaitPortReady(0));
      },
      10000);
  ok = ok && (!t.sets_line || run.WaitConsoleReady());
  run.ReadScreenFor(300);
  return ok;
}

struct Usage {
  double cpu_s;
  long switches;
};

Usage UsageOf(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  long switches = 0;
  while (std::getline(status, line)) {
    if (line.find("ctxt_switches:") != std::string::npos) {
      switches += std::stol(line.substr(line.find(':') + 1));
    }
  }
  return {vlxtest::CpuSeconds(pid), switches};
}

long PeakRssKiB(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
  }
  return -1;
}

double Median(std::vector<double> v) {
  if (v.empty()) return NAN;
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

double Percentile(std::vector<double> v, double p) {
  if (v.empty()) return NAN;
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, static_cast<size_t>(p * v.size()))];
}

double NowRealtimeS() {
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

// exec -> first console byte, in ms.
double StartupMs(const Terminal& t) {
  std::vector<double> samples;
  for (int i = 0; i < 5; ++i) {
    vlxtest::TempFile stamp_file("vlxbench-stamp");
    vlxtest::TerminalSession run(Options(t, false, stamp_file.path));
    pollfd in{run.console.master, POLLIN, 0};
    bool shown = poll(&in, 1, 10000) > 0;
    double seen = NowRealtimeS();
    std::ifstream stamp(stamp_file.path);
    double exec_time = 0;
    stamp >> exec_time;
    if (shown && exec_time > 0) samples.push_back((seen - exec_time) * 1000);
  }
  return Median(samples);
}

struct Idle {
  double cpu_percent, wakeups;
};

Idle IdleCost(const Terminal& t) {
  vlxtest::TerminalSession run(Options(t, true));
  if (!WaitReady(t, run)) return {NAN, NAN};
  Usage before = UsageOf(run.pid());
  std::this_thread::sleep_for(std::chrono::seconds(5));
  Usage after = UsageOf(run.pid());
  return {(after.cpu_s - before.cpu_s) / 5 * 100, (after.switches - before.switches) / 5.0};
}

// Samples one launch: a printable byte on the device pty until it shows on
// the console pty, in microseconds.
bool SampleLatency(const Terminal& t, std::vector<double>* samples) {
  vlxtest::TerminalSession run(Options(t, true));
  if (!WaitReady(t, run)) return false;
  for (int k = 0; k < 200; ++k) {
    int64_t sent = vlxtest::MonotonicUs();
    vlxtest::WriteAll(run.device.master, "x");
    auto got = vlxtest::ReadArrivals(run.console.master, 'x', 2000);
    if (got.empty()) return false;
    samples->push_back(static_cast<double>(got.back().us - sent));
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

std::string BurstData() {
  std::string data;
  data.reserve(kBurstBytes);
  for (size_t i = 0; data.size() < kBurstBytes; ++i) {
    data.push_back(data.size() % 64 == 63 ? '\n' : static_cast<char>('!' + i % 94));
  }
  return data;
}

// Reads `expected` bytes from fd; returns the seconds from start_us until
// the last one came.
double ReceiveAll(int fd, size_t expected, std::string* got, int64_t start_us) {
  int64_t last = start_us;
  char buffer[65536];
  while (got->size() < expected) {
    pollfd in{fd, POLLIN, 0};
    if (poll(&in, 1, 20000) <= 0) break;
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n <= 0) break;
    got->append(buffer, static_cast<size_t>(n));
    last = vlxtest::MonotonicUs();
  }
  return (last - start_us) / 1e6;
}

// The system calls a terminal makes per received byte, as strace counts
// them (the process attached once it is ready): over 200 bytes sent one at
// a time, each shown before the next (paced), or 64 KiB at once (burst).
// The count per byte, and the calls that make it up ("1.01 poll, ...").
struct Syscalls {
  double per_byte = NAN;
  std::string made_of;
};
Syscalls SyscallsPerByte(const Terminal& t, bool burst) {
  const std::string strace = Which("strace");
  if (strace.empty()) return {};
  vlxtest::TerminalSession run(Options(t, true));
  if (!WaitReady(t, run)) return {};
  vlxtest::TempFile counts("vlxbench-strace");
  pid_t tracer = fork();
  if (tracer == 0) {
    int null = open("/dev/null", O_WRONLY);
    dup2(null, STDERR_FILENO);
    vlxtest::Exec({strace, "-c", "-f", "-o", counts.path, "-p", std::to_string(run.pid())});
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(500));  // attached
  const size_t bytes = burst ? 65536 : 200;
  if (burst) {
    std::thread writer([&] { vlxtest::WriteAll(run.device.master, std::string(bytes, 'b')); });
    std::string got;
    ReceiveAll(run.console.master, bytes, &got, vlxtest::MonotonicUs());
    writer.join();
  } else {
    for (size_t k = 0; k < bytes; ++k) {
      vlxtest::WriteAll(run.device.master, "x");
      vlxtest::ReadArrivals(run.console.master, 'x', 2000);
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(100));  // the last wait begun
  kill(tracer, SIGINT);
  vlxtest::WaitChild(tracer, 10000);
  // "% time  seconds  usecs/call  calls  [errors]  syscall", then a total.
  Syscalls result;
  std::istringstream lines(vlxtest::FileText(counts.path));
  std::vector<std::pair<double, std::string>> calls;
  for (std::string line; std::getline(lines, line);) {
    std::istringstream fields(line);
    std::vector<std::string> f;
    for (std::string field; fields >> field;) f.push_back(field);
    if (f.size() < 5 || !std::isdigit(static_cast<unsigned char>(f[3][0]))) continue;
    double count = std::stod(f[3]);
    if (f.back() == "total") {
      result.per_byte = count / bytes;
    } else {
      calls.emplace_back(count, f.back());
    }
  }
  std::sort(calls.rbegin(), calls.rend());
  for (const auto& [count, name] : calls) {
    if (count / bytes < 0.005) continue;
    char part[64];
    std::snprintf(part, sizeof part, "%s%.2f %s", result.made_of.empty() ? "" : ", ", count / bytes,
                  name.c_str());
    result.made_of += part;
  }
  return result;
}

struct Burst {
  double mb_per_s, cpu_s_per_mib;
  bool exact;
  long rss_kib;
};

// One launch: 1 MiB from the device pty until its last byte is on the
// console pty.
Burst BurstRun(const Terminal& t) {
  static const std::string data = BurstData();
  vlxtest::TerminalSession run(Options(t, true));
  if (!WaitReady(t, run)) return {NAN, NAN, false, -1};
  Usage before = UsageOf(run.pid());
  int64_t start = vlxtest::MonotonicUs();
  std::thread writer([&] { vlxtest::WriteAll(run.device.master, data); });
  std::string got;
  double seconds = ReceiveAll(run.console.master, data.size(), &got, start);
  writer.join();
  Usage after = UsageOf(run.pid());
  return {data.size() / seconds / 1e6, (after.cpu_s - before.cpu_s) * (1 << 20) / data.size(),
          got == data, PeakRssKiB(run.pid())};
}

// The most the design allows: one write per byte to the same kind of
// console pty, by a ten-line writer.
double CeilingMbPerS() {
  static const std::string data = BurstData();
  Pty console;
  console.Apply(vlxtest::ShellSettings());
  int64_t start = vlxtest::MonotonicUs();
  pid_t writer = fork();
  if (writer == 0) {
    for (char c : data) {
      while (write(console.slave, &c, 1) != 1) {
      }
    }
    _exit(0);
  }
  std::string got;
  double seconds = ReceiveAll(console.master, data.size(), &got, start);
  vlxtest::WaitChild(writer, 10000);
  return data.size() / seconds / 1e6;
}

// CPU, in % of one core, of one launch while the device sends `rate`
// bytes a second for `seconds`, in chunks due every millisecond.
double PacedCpuPercent(const Terminal& t, size_t rate, int seconds) {
  vlxtest::TerminalSession run(Options(t, true));
  if (!WaitReady(t, run)) return NAN;
  std::atomic<bool> done{false};
  std::thread reader([&] {
    std::string sink;
    while (!done) {
      vlxtest::ReadFor(run.console.master, 50, &sink);
      sink.clear();
    }
  });
  Usage before = UsageOf(run.pid());
  const size_t total = rate * seconds;
  auto next = std::chrono::steady_clock::now();
  size_t sent = 0;
  for (size_t ms = 1; sent < total; ++ms) {
    next += std::chrono::milliseconds(1);
    std::this_thread::sleep_until(next);
    size_t due = std::min(total, ms * rate / 1000);
    if (due > sent) vlxtest::WriteAll(run.device.master, std::string(due - sent, 'p'));
    sent = due;
  }
  Usage after = UsageOf(run.pid());
  done = true;
  reader.join();
  return (after.cpu_s - before.cpu_s) / seconds * 100;
}

struct Pacing {
  std::vector<double> gaps_ms;  // between successive bytes at the device pty
  std::vector<double> hold_ms;  // inside the program: write returned -> RTS down
};

// A typed 10-byte line, seen at the device pty and by the modem-line
// recorder. The device-side gaps include the reader's own wake-up delays,
// so the reader runs at real-time priority where it may.
Pacing SendPacing() {
  Pacing pacing;
  sched_param priority{};
  priority.sched_priority = 10;
  bool raised = sched_setscheduler(0, SCHED_FIFO, &priority) == 0;
  for (int i = 0; i < kRuns; ++i) {
    vlxtest::TempFile trace("vlxbench-trace");
    {
      vlxtest::TerminalSession session(vlxtest::Traced(trace.path));
      if (!session.WaitStarted()) break;
      session.Type("0123456789\r");
      auto arrivals = vlxtest::ReadArrivals(session.device.master, '\r', 5000);
      for (size_t k = 1; k < arrivals.size(); ++k) {
        pacing.gaps_ms.push_back((arrivals[k].us - arrivals[k - 1].us) / 1000.0);
      }
    }
    for (const vlxtest::RtsPulse& p : vlxtest::RtsPulses(trace.path)) {
      if (p.wrote_us >= 0 && p.high_us >= 0) {
        pacing.hold_ms.push_back((p.rose_us + p.high_us - p.wrote_us) / 1000.0);
      }
    }
  }
  if (raised) {
    priority.sched_priority = 0;
    sched_setscheduler(0, SCHED_OTHER, &priority);
  }
  return pacing;
}

// The launcher against the floor of its work, a private mount namespace
// made by unshare(1), as `uid` (a plain user: with a user namespace).
struct LauncherTimes {
  double floor_ms, launch_ms, list_ms;
};
LauncherTimes TimeLauncher(uid_t uid) {
  Pty device;
  chmod(device.path.c_str(), 0666);
  std::vector<std::string> floor = {Which("unshare")};
  if (uid != 0) floor.push_back("--map-root-user");
  floor.insert(floor.end(), {"--mount", "--propagation", "private", "/bin/true"});
  const std::vector<std::vector<std::string>> commands = {
      floor,
      {vlxtest::LauncherPath(), device.path, "/bin/true"},
      {vlxtest::LauncherPath(), "--list"}};
  std::vector<std::vector<double>> ms(commands.size());
  for (int round = 0; round < 25; ++round) {
    for (size_t i = 0; i < commands.size(); ++i) {
      int64_t start = vlxtest::MonotonicUs();
      pid_t pid = fork();
      if (pid == 0) {
        int null = open("/dev/null", O_WRONLY);
        dup2(null, STDOUT_FILENO);
        dup2(null, STDERR_FILENO);
        if (uid != 0 && (setgid(uid) != 0 || setuid(uid) != 0)) _exit(126);
        vlxtest::Exec(commands[i]);
      }
      vlxtest::WaitChild(pid, 10000);
      ms[i].push_back((vlxtest::MonotonicUs() - start) / 1000.0);
    }
  }
  return {Median(ms[0]), Median(ms[1]), Median(ms[2])};
}

std::string Spread(const std::vector<double>& v) {
  if (v.empty()) return "n/a";
  char text[64];
  std::snprintf(text, sizeof text, "%.2f / %.2f / %.2f", *std::min_element(v.begin(), v.end()),
                Median(v), *std::max_element(v.begin(), v.end()));
  return text;
}

std::string Fixed(double v, int digits) {
  if (std::isnan(v)) return "n/a";
  char text[32];
  std::snprintf(text, sizeof text, "%.*f", digits, v);
  return text;
}

std::string Shell(const std::string& command) {
  std::string out;
  FILE* pipe = popen(command.c_str(), "r");
  char buffer[512];
  size_t got;
  while (pipe && (got = fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, got);
  if (pipe) pclose(pipe);
  while (!out.empty() && out.back() == '\n') out.pop_back();
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::string(argv[1]) == "--relay") return Relay(argv[2]);
  std::string why;
  if (!vlxtest::SandboxWorks(&why)) {
    std::fprintf(stderr, "vlxbench: the sandbox cannot be built here: %s\n", why.c_str());
    return 1;
  }
  signal(SIGPIPE, SIG_IGN);
  std::vector<Terminal> terminals = {
      {"vlxterm", vlxtest::VlxtermPath(), true, {}, {}},
      {"picocom", Which("picocom"), false, {"-b", "2400", "-q"}, {"-b", "2400"}},
      {"tio", Which("tio"), false, {"-b", "2400", "--mute"}, {"-b", "2400"}},
  };
  // The floor of any design that shows each byte with a write of its own.
  char self[4096] = "";
  ssize_t self_length = readlink("/proc/self/exe", self, sizeof self - 1);
  self[self_length > 0 ? self_length : 0] = '\0';
  const Terminal relay{"relay", self, false, {"--relay"}, {"--relay"}, false};
  std::vector<std::string> notes;
  std::vector<Terminal> present;
  for (const Terminal& t : terminals) {
    if (t.binary.empty())
      notes.push_back(t.name + " is not installed: its column is left out.");
    else
      present.push_back(t);
  }

  struct Row {
    std::string name;
    double startup, idle_cpu, idle_wakeups, p50, p99, burst, burst_cpu, paced, line_rate;
    bool exact;
    long rss;
  };
  std::vector<Row> rows;
  for (const Terminal& t : present) {
    std::fprintf(stderr, "vlxbench: %s ...\n", t.name.c_str());
    Row r{t.name, StartupMs(t), 0, 0, 0, 0, 0, 0, 0, 0, false, 0};
    Idle idle = IdleCost(t);
    r.idle_cpu = idle.cpu_percent;
    r.idle_wakeups = idle.wakeups;
    std::vector<double> paced(kRuns);
    for (double& cpu : paced) cpu = PacedCpuPercent(t, 11520, 10);
    r.paced = Median(paced);
    rows.push_back(r);
  }
  // Machine load drifts, so the terminals (and the ceiling, and the relay)
  // take turns, a launch each per round, and drift hits all alike; ratios
  // are taken within a round.
  std::vector<std::vector<double>> latency(rows.size()), rate(rows.size()), cpu(rows.size()),
      line_rate(rows.size());
  std::vector<double> ceilings, relay_line_rate, line_rate_ratios, relay_bursts, burst_ratios,
      latency_ratios;
  for (int round = 0; round < 5; ++round) {
    std::fprintf(stderr, "vlxbench: round %d ...\n", round + 1);
    ceilings.push_back(CeilingMbPerS());
    relay_line_rate.push_back(PacedCpuPercent(relay, 240, 6));
    relay_bursts.push_back(BurstRun(relay).mb_per_s);
    std::vector<double> round_p50(rows.size());
    for (size_t i = 0; i < rows.size(); ++i) {
      std::vector<double> samples;
      SampleLatency(present[i], &samples);
      round_p50[i] = Median(samples);
      latency[i].insert(latency[i].end(), samples.begin(), samples.end());
      Burst burst = BurstRun(present[i]);
      rate[i].push_back(burst.mb_per_s);
      cpu[i].push_back(burst.cpu_s_per_mib);
      rows[i].exact = (round == 0 || rows[i].exact) && burst.exact;
      rows[i].rss = std::max(rows[i].rss, burst.rss_kib);
      line_rate[i].push_back(PacedCpuPercent(present[i], 240, 6));
    }
    double floor = relay_line_rate.back();
    for (size_t i = 0; i < rows.size(); ++i) {
      if (rows[i].name == "tio") floor = std::min(floor, line_rate[i].back());
    }
    line_rate_ratios.push_back(line_rate[0].back() / floor);
    burst_ratios.push_back(rate[0].back() / relay_bursts.back());
    if (rows.size() > 1 && rows[1].name == "picocom")
      latency_ratios.push_back(round_p50[0] / round_p50[1]);
  }
  // System calls per received byte, paced and in a burst.
  std::vector<std::pair<std::string, Terminal>> traced = {{"vlxterm", present[0]}};
  for (const Terminal& t : present) {
    if (t.name == "picocom") traced.emplace_back(t.name, t);
  }
  traced.emplace_back("relay", relay);
  std::vector<std::pair<Syscalls, Syscalls>> syscalls;
  for (const auto& [name, t] : traced) {
    std::fprintf(stderr, "vlxbench: system calls of %s ...\n", name.c_str());
    syscalls.emplace_back(SyscallsPerByte(t, false), SyscallsPerByte(t, true));
  }
  double ceiling = Median(ceilings);
  for (size_t i = 0; i < rows.size(); ++i) {
    rows[i].p50 = Median(latency[i]);
    rows[i].p99 = Percentile(latency[i], 0.99);
    rows[i].burst = Median(rate[i]);
    rows[i].burst_cpu = Median(cpu[i]);
    rows[i].line_rate = Median(line_rate[i]);
  }
  Pacing pacing = SendPacing();
  std::vector<std::pair<std::string, LauncherTimes>> launcher = {
      {geteuid() == 0 ? "root" : "this user", TimeLauncher(geteuid())}};
  if (geteuid() == 0) launcher.push_back({"a plain user (uid 65534)", TimeLauncher(65534)});

  auto find = [&](const std::string& name) -> const Row* {
    for (const Row& r : rows) {
      if (r.name == name) return &r;
    }
    return nullptr;
  };
  const Row& v = rows[0];
  const Row* pico = find("picocom");
  const Row* tio = find("tio");

  utsname host{};
  uname(&host);
  std::printf("Measured by `scripts/bench` on %s: %s %s, %s, %ld cores, on %s.\n",
              Shell("hostname").c_str(), host.sysname, host.release,
              Shell("grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'").c_str(),
              sysconf(_SC_NPROCESSORS_ONLN), Shell("date -u '+%Y-%m-%d %H:%M UTC'").c_str());
  std::printf("Peers: %s; %s; the relay reads what waits and writes each byte on its own.\n\n",
              pico ? Shell("picocom --help 2>&1 | head -1").c_str() : "picocom absent",
              tio ? Shell("tio --version 2>&1 | head -1").c_str() : "tio absent");

  std::printf("| Measure | vlxterm |%s%s relay | target |\n", pico ? " picocom |" : "",
              tio ? " tio |" : "");
  std::printf("|---|---|%s%s---|---|\n", pico ? "---|" : "", tio ? "---|" : "");
  auto row = [&](const char* measure, const std::function<std::string(const Row&)>& cell,
                 const std::string& relay_cell, const std::string& target) {
    std::printf("| %s | %s |", measure, cell(v).c_str());
    if (pico) std::printf(" %s |", cell(*pico).c_str());
    if (tio) std::printf(" %s |", cell(*tio).c_str());
    std::printf(" %s | %s |\n", relay_cell.c_str(), target.c_str());
  };
  row(
      "idle CPU, % of one core (5 s)", [](const Row& r) { return Fixed(r.idle_cpu, 3); }, "—",
      "0.0");
  row(
      "idle wake-ups per second", [](const Row& r) { return Fixed(r.idle_wakeups, 1); }, "—", "");
  row(
      "receive latency p50, µs", [](const Row& r) { return Fixed(r.p50, 0); }, "—",
      pico ? "≤ " + Fixed(pico->p50 * 1.1, 0) + " (picocom + 10%)" : "");
  row(
      "receive latency p99, µs", [](const Row& r) { return Fixed(r.p99, 0); }, "—", "");
  row(
      "burst 1 MiB, MB/s", [](const Row& r) { return Fixed(r.burst, 3); },
      Fixed(Median(relay_bursts), 3),
      "≥ " + Fixed(ceiling * 0.9, 3) + " (90% of the ceiling " + Fixed(ceiling, 3) + ")");
  row(
      "burst CPU, s per MiB", [](const Row& r) { return Fixed(r.burst_cpu, 2); }, "—", "");
  row(
      "burst byte-exact", [](const Row& r) { return std::string(r.exact ? "yes" : "no"); }, "—",
      "yes");
  row(
      "paced 240 B/s (the line's own rate), CPU %",
      [](const Row& r) { return Fixed(r.line_rate, 2); }, Fixed(Median(relay_line_rate), 2),
      "≤ 1.5× the lower of tio and the relay, per round");
  row(
      "paced 11,520 B/s, CPU %", [](const Row& r) { return Fixed(r.paced, 2); }, "—", "");
  row(
      "start-up, exec → first console byte, ms", [](const Row& r) { return Fixed(r.startup, 2); },
      "—", "≤ 5");
  row(
      "peak RSS, MiB", [](const Row& r) { return Fixed(r.rss / 1024.0, 2); }, "—", "≤ 4");
  std::printf(
      "| send: gaps between the bytes of a typed 10-byte line at the device pty, ms (min / median "
      "/ max) | %s |%s%s — | 30.0–30.5, never < 30 |\n",
      Spread(pacing.gaps_ms).c_str(), pico ? " — |" : "", tio ? " — |" : "");
  std::printf(
      "| send: RTS hold inside the program, write → RTS down, ms (min / median / max) | %s |%s%s "
      "— | ≥ 30 |\n",
      Spread(pacing.hold_ms).c_str(), pico ? " — |" : "", tio ? " — |" : "");
  std::printf(
      "\nRatios in this run: CPU at 240 B/s %s× the lower of tio and the relay (per round,\n"
      "min / median / max: %s); burst %s%% of the ceiling",
      Fixed(Median(line_rate_ratios), 2).c_str(), Spread(line_rate_ratios).c_str(),
      Fixed(v.burst / ceiling * 100, 0).c_str());
  std::printf("; burst %s× the relay (per round, min / median / max: %s)",
              Fixed(Median(burst_ratios), 2).c_str(), Spread(burst_ratios).c_str());
  if (pico) {
    std::printf("; latency p50 %s× picocom's (per round: %s)",
                Fixed(Median(latency_ratios), 2).c_str(), Spread(latency_ratios).c_str());
  }
  if (tio) std::printf("; paced 11,520 B/s CPU %s× tio's", Fixed(v.paced / tio->paced, 2).c_str());
  std::printf(".\n");

  std::printf(
      "\n| System calls per received byte (strace -c) | paced, 200 bytes one at a time | burst, "
      "64 KiB |\n|---|---|---|\n");
  for (size_t i = 0; i < traced.size(); ++i) {
    const auto& [paced, burst] = syscalls[i];
    std::printf("| %s | %s (%s) | %s (%s) |\n", traced[i].first.c_str(),
                Fixed(paced.per_byte, 2).c_str(), paced.made_of.c_str(),
                Fixed(burst.per_byte, 2).c_str(), burst.made_of.c_str());
  }

  std::printf(
      "\n| vlxterm-on, median of 25 interleaved runs, ms | namespace floor (`unshare -m "
      "--propagation private true`, `-r` too as a plain user) | launch (`vlxterm-on PTY true`) | "
      "`vlxterm-on --list` | target |\n|---|---|---|---|---|\n");
  for (const auto& [who, t] : launcher) {
    std::printf("| %s | %s | %s (%s×) | %s (%s×) | launch ≤ 4×, list ≤ 3× the floor |\n",
                who.c_str(), Fixed(t.floor_ms, 2).c_str(), Fixed(t.launch_ms, 2).c_str(),
                Fixed(t.launch_ms / t.floor_ms, 2).c_str(), Fixed(t.list_ms, 2).c_str(),
                Fixed(t.list_ms / t.floor_ms, 2).c_str());
  }
  for (const std::string& n : notes) std::printf("\n%s\n", n.c_str());
  return 0;
}
