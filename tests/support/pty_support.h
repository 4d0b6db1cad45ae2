// Test support: pseudo-terminals, child processes, and the sandbox that
// runs vlxterm with a pty standing in for COM1. Shared by the tests and
// the benchmark.
#pragma once

#include <sys/types.h>
#include <termios.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vlxtest {

// A pseudo-terminal pair; both ends stay open until destroyed.
struct Pty {
  Pty();
  ~Pty();
  Pty(const Pty&) = delete;
  Pty& operator=(const Pty&) = delete;

  int master = -1;
  int slave = -1;
  std::string path;  // of the slave

  termios Settings() const;
  void Apply(const termios& settings) const;
  // Whether opens are refused to all but root (TIOCEXCL): -1 when unknown.
  int Exclusive() const;
};

// Whether two terminal settings are the same: modes, characters, speeds.
bool SameSettings(const termios& a, const termios& b);

// Raw settings for a pty: bytes pass unchanged both ways.
termios RawSettings(speed_t speed);
// What a shell leaves a terminal in (canonical, echo, signals), but with
// output processing off so that a test sees the program's own bytes.
termios ShellSettings();

void WriteAll(int fd, std::string_view bytes);
// Appends whatever arrives on fd within ms milliseconds.
void ReadFor(int fd, int ms, std::string* into);
// Reads into `into` until it contains `needle`; false on timeout or EOF.
bool ReadUntil(int fd, std::string_view needle, int timeout_ms, std::string* into);
// Polls until `done` holds; false after timeout_ms.
bool WaitUntil(const std::function<bool()>& done, int timeout_ms);
// Waits until whoever has the pty's other side has set it to `speed`.
bool WaitSpeed(const Pty& pty, speed_t speed, int timeout_ms = 5000);
// Waits until the file holds exactly `text`.
bool WaitFileText(const std::string& path, std::string_view text, int timeout_ms = 5000);

// The exit of a child: its status, or the signal that ended it.
struct Ended {
  int code = -1;   // exit status when exited
  int signal = 0;  // terminating signal, else 0
  bool operator==(const Ended&) const = default;
};
std::optional<Ended> WaitChild(pid_t pid, int timeout_ms);
// Runs body in a forked child and captures its standard output.
struct ChildResult {
  Ended ended;
  std::string out;
};
ChildResult RunChild(const std::function<void()>& body, int timeout_ms = 10000);

// Replaces this process with argv[0] (a path), or ends it with status 127.
[[noreturn]] void Exec(const std::vector<std::string>& argv);

// Runs body in a child that leads a new session whose controlling terminal
// is console's slave (standard input, output and error too), or that has
// none where console is null; the child ends with status 0 after body.
pid_t SpawnChild(const Pty* console, const std::function<void()>& body);
// Starts argv so, on console, as user and group `uid` when that is not 0.
pid_t SpawnOnConsole(const Pty& console, const std::vector<std::string>& argv,
                     const std::vector<std::string>& env = {}, uid_t uid = 0);

// Another program holding path open with a lock on it: `program` (a
// `sleep`, or a link to one whose name the holder then bears) that ends
// when killed. The lock is a flock of its own, an open file description
// lock (whose taker /proc/locks does not record), or a flock taken by a
// process that has ended since; or such a flock whose one descriptor is in
// flight in a unix socket the holder keeps, so that no process has the
// device open. Returns once the lock is there.
enum class LockKind { kFlock, kOpenFileDescription, kTakerEnded, kInFlight };
pid_t SpawnLockHolder(const std::string& path, LockKind kind = LockKind::kFlock,
                      const std::string& program = "/bin/sleep");

// A job under job control, as a shell runs it: a small stand-in shell leads
// a session on the console, runs body in a process group of its own in
// the foreground, takes the terminal back when the job stops, and ends as
// the job ends (same status or signal).
struct Job {
  pid_t shell = -1;
  pid_t pid = -1;    // the job, leader of its process group
  int events = -1;   // the shell says "stopped\n" here
  int control = -1;  // a byte here is "fg": terminal back to the job, SIGCONT
};
Job SpawnJob(const Pty& console, const std::function<void()>& body);
bool WaitJobStopped(const Job& job, int timeout_ms);
void ForegroundJob(const Job& job);
std::optional<Ended> WaitJobEnd(Job* job, int timeout_ms);  // closes its pipes

// CPU time a process has used so far, in seconds; and over the next
// `seconds` of wall time.
double CpuSeconds(pid_t pid);
double CpuUsedOver(pid_t pid, double seconds);
// The share of one core a process uses while nothing happens: over 2 s,
// once whatever it was doing has settled (half a second). A spin costs most
// of a core, even beside two busy loops on two cores (about 0.6); a wait
// that wakes on events and a bounded time-out, a few thousandths (Wine's
// console, which looks at the port every tick, about 0.05). Between both:
inline constexpr double kSpinShare = 0.25;
double IdleCpuShare(pid_t pid);
// A process whose command line (not a shell's or tmux's) mentions `name`;
// -1 when there is none.
pid_t FindProcess(const std::string& name);

// The sandbox launcher and the binaries under test: this build's, or with
// VLX_ARM64_BUILD set (by an arm64 build's tests), that build's vlxterm
// and modem-line recorder, the program run by QEMU's user-mode emulator.
std::string LauncherPath();
std::string VlxtermPath();
std::vector<std::string> VlxtermCommand();  // the program, and what runs it
// The arm64 build named by VLX_ARM64_BUILD, or "".
std::string Arm64Build();
// The preload library that records modem lines (and, with
// VLX_TRACE_RAISE_AFTER_EXCL=N in the program's environment, raises signal
// N right after the port's exclusive-use request).
std::string RtsTracePath();

// A byte as it arrived, with the time it was seen (microseconds, monotonic).
struct Arrival {
  int64_t us;
  uint8_t byte;
};
// Reads from fd one byte at a time until `last` arrives, `most` bytes have
// arrived, or timeout_ms pass.
std::vector<Arrival> ReadArrivals(int fd, uint8_t last, int timeout_ms, size_t most = SIZE_MAX);
int64_t MonotonicUs();
// The bytes that arrived, in order.
std::string BytesOf(const std::vector<Arrival>& arrivals);

// A sent byte's RTS hold, and how late a reader of its arrival may wake on
// a loaded machine (6 ms seen beside a busy loop per core). Gaps seen by a
// reader guard a hold missing (a byte's time, 0 on a pty) or halved: a
// bound 10 ms short of a hold catches both; the modem-line recorder and the
// guests' kprobes time each hold exactly, without slack.
inline constexpr int64_t kHoldUs = 30000;
inline constexpr int64_t kReaderSlackUs = 10000;
// The gaps between successive arrivals shorter than at_least_us, as text
// ("" when there are none).
std::string ShortGaps(const std::vector<Arrival>& arrivals, int64_t at_least_us);

// A file or folder of the test's own in /tmp, removed with it. The folder
// is readable by all, for a user the test runs something as.
struct TempFile {
  explicit TempFile(const std::string& stem);
  ~TempFile();
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
  std::string path;
};
struct TempDir {
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  std::string path;
};
std::string FileText(const std::string& path);

// A line of the modem-line recorder (RtsTracePath()): the time in
// microseconds, then "opened <fd> <path>", "set|clear <fd> [DTR] [RTS]",
// "wrote <fd> <count> <first byte, hex>", "sleep <ms>" or "woke <result>".
struct TraceEvent {
  int64_t us;
  std::string text;
};
std::vector<TraceEvent> ReadTrace(const std::string& path);
// The RTS pulses of the port in such a trace: when each rose, when its
// last write inside it came (-1: none), and how long it stayed up (-1:
// not down yet).
struct RtsPulse {
  int64_t rose_us, wrote_us, high_us;
};
std::vector<RtsPulse> RtsPulses(const std::string& trace_path);
// Whether the launcher can build its namespace here; `why` says why not.
bool SandboxWorks(std::string* why);

}  // namespace vlxtest

// Skips the test, saying what this machine lacks, but fails it in CI:
// there a missing part means untested code.
#define VLX_SKIP_OUTSIDE_CI(why)                       \
  do {                                                 \
    if (std::getenv("CI") != nullptr) FAIL() << (why); \
    GTEST_SKIP() << (why);                             \
  } while (0)

// So where the sandbox cannot be built.
#define VLX_REQUIRE_SANDBOX()                                                            \
  do {                                                                                   \
    std::string vlx_why;                                                                 \
    if (!vlxtest::SandboxWorks(&vlx_why)) VLX_SKIP_OUTSIDE_CI("no sandbox: " + vlx_why); \
  } while (0)
