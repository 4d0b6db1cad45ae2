#include "pty_support.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace vlxtest {
namespace {

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

[[noreturn]] void Fail(const char* what) {
  throw std::runtime_error(std::string(what) + ": " + std::strerror(errno));
}

}  // namespace

Pty::Pty() {
  master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) Fail("posix_openpt");
  path = ptsname(master);
  slave = open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (slave < 0) Fail("open pty slave");
}

Pty::~Pty() {
  if (slave >= 0) close(slave);
  if (master >= 0) close(master);
}

termios Pty::Settings() const {
  termios tio{};
  tcgetattr(slave, &tio);
  return tio;
}

void Pty::Apply(const termios& settings) const { tcsetattr(slave, TCSANOW, &settings); }

int Pty::Exclusive() const {
  int exclusive = -1;
  ioctl(slave, TIOCGEXCL, &exclusive);
  return exclusive;
}

bool SameSettings(const termios& a, const termios& b) {
  return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag &&
         a.c_lflag == b.c_lflag && std::memcmp(a.c_cc, b.c_cc, sizeof a.c_cc) == 0 &&
         cfgetispeed(&a) == cfgetispeed(&b) && cfgetospeed(&a) == cfgetospeed(&b);
}

termios RawSettings(speed_t speed) {
  termios tio{};
  cfmakeraw(&tio);
  tio.c_cflag |= CLOCAL | CREAD;
  tio.c_cc[VMIN] = 1;
  cfsetspeed(&tio, speed);
  return tio;
}

termios ShellSettings() {
  termios tio{};
  tio.c_iflag = ICRNL | IXON | BRKINT | IMAXBEL | IUTF8;
  tio.c_oflag = 0;
  tio.c_cflag = CS8 | CREAD;
  tio.c_lflag = ISIG | ICANON | IEXTEN | ECHO | ECHOE | ECHOK | ECHOCTL | ECHOKE;
  tio.c_cc[VINTR] = 3;
  tio.c_cc[VQUIT] = 0x1C;
  tio.c_cc[VERASE] = 0x7F;
  tio.c_cc[VKILL] = 0x15;
  tio.c_cc[VEOF] = 4;
  tio.c_cc[VSTART] = 0x11;
  tio.c_cc[VSTOP] = 0x13;
  tio.c_cc[VSUSP] = 0x1A;
  tio.c_cc[VLNEXT] = 0x16;
  tio.c_cc[VWERASE] = 0x17;
  tio.c_cc[VMIN] = 1;
  cfsetspeed(&tio, B38400);
  return tio;
}

void WriteAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t put = write(fd, bytes.data(), bytes.size());
    if (put < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN) {
        pollfd out{fd, POLLOUT, 0};
        poll(&out, 1, 100);
        continue;
      }
      Fail("write");
    }
    bytes.remove_prefix(static_cast<size_t>(put));
  }
}

static bool ReadSome(int fd, int timeout_ms, std::string* into) {
  pollfd in{fd, POLLIN, 0};
  if (poll(&in, 1, timeout_ms) <= 0) return false;
  char buffer[4096];
  ssize_t got = read(fd, buffer, sizeof buffer);
  if (got <= 0) return false;
  into->append(buffer, static_cast<size_t>(got));
  return true;
}

void ReadFor(int fd, int ms, std::string* into) {
  int64_t end = NowMs() + ms;
  for (int64_t left = ms; left > 0; left = end - NowMs()) {
    if (!ReadSome(fd, static_cast<int>(left), into)) {
      // EOF or error: nothing more will come, but keep the promised time.
      if (NowMs() < end) std::this_thread::sleep_for(std::chrono::milliseconds(end - NowMs()));
      return;
    }
  }
}

bool ReadUntil(int fd, std::string_view needle, int timeout_ms, std::string* into) {
  int64_t end = NowMs() + timeout_ms;
  while (into->find(needle) == std::string::npos) {
    int64_t left = end - NowMs();
    if (left <= 0) return false;
    if (!ReadSome(fd, static_cast<int>(left), into)) {
      if (NowMs() >= end) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }
  return true;
}

bool WaitUntil(const std::function<bool()>& done, int timeout_ms) {
  int64_t end = NowMs() + timeout_ms;
  while (!done()) {
    if (NowMs() >= end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

bool WaitSpeed(const Pty& pty, speed_t speed, int timeout_ms) {
  return WaitUntil(
      [&] {
        termios settings = pty.Settings();
        return cfgetospeed(&settings) == speed;
      },
      timeout_ms);
}

bool WaitFileText(const std::string& path, std::string_view text, int timeout_ms) {
  return WaitUntil([&] { return FileText(path) == text; }, timeout_ms);
}

std::optional<Ended> WaitChild(pid_t pid, int timeout_ms) {
  int64_t end = NowMs() + timeout_ms;
  for (;;) {
    int status = 0;
    pid_t got = waitpid(pid, &status, WNOHANG);
    if (got == pid) {
      if (WIFEXITED(status)) return Ended{WEXITSTATUS(status), 0};
      if (WIFSIGNALED(status)) return Ended{-1, WTERMSIG(status)};
    } else if (got < 0 && errno != EINTR) {
      return std::nullopt;
    }
    if (NowMs() >= end) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

ChildResult RunChild(const std::function<void()>& body, int timeout_ms) {
  int out[2];
  if (pipe(out) != 0) Fail("pipe");
  fflush(stdout);
  pid_t pid = fork();
  if (pid < 0) Fail("fork");
  if (pid == 0) {
    close(out[0]);
    dup2(out[1], STDOUT_FILENO);
    close(out[1]);
    body();
    _exit(0);
  }
  close(out[1]);
  ChildResult result;
  int64_t end = NowMs() + timeout_ms;
  while (ReadSome(out[0], static_cast<int>(std::max<int64_t>(1, end - NowMs())), &result.out)) {
  }
  close(out[0]);
  auto ended = WaitChild(pid, static_cast<int>(std::max<int64_t>(1, end - NowMs())));
  if (!ended) {
    kill(pid, SIGKILL);
    ended = WaitChild(pid, 5000);
  }
  result.ended = ended.value_or(Ended{});
  return result;
}

void Exec(const std::vector<std::string>& argv) {
  std::vector<char*> args;
  args.reserve(argv.size() + 1);
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  execv(args[0], args.data());
  _exit(127);
}

pid_t SpawnChild(const Pty* console, const std::function<void()>& body) {
  pid_t pid = fork();
  if (pid < 0) Fail("fork");
  if (pid == 0) {
    setsid();
    if (console != nullptr) {
      int fd = open(console->path.c_str(), O_RDWR);
      if (fd < 0) _exit(126);
      ioctl(fd, TIOCSCTTY, 0);
      dup2(fd, 0);
      dup2(fd, 1);
      dup2(fd, 2);
      if (fd > 2) close(fd);
    }
    body();
    _exit(0);
  }
  return pid;
}

pid_t SpawnOnConsole(const Pty& console, const std::vector<std::string>& argv,
                     const std::vector<std::string>& env, uid_t uid) {
  return SpawnChild(&console, [&] {
    for (const std::string& e : env) putenv(const_cast<char*>(e.c_str()));
    if (uid != 0 && (setgid(uid) != 0 || setuid(uid) != 0)) _exit(126);
    Exec(argv);
  });
}

pid_t SpawnLockHolder(const std::string& path, LockKind kind, const std::string& program) {
  pid_t pid = fork();
  if (pid == 0) {
    if (kind == LockKind::kInFlight) {
      int ends[2];
      socketpair(AF_UNIX, SOCK_STREAM, 0, ends);  // kept across the exec, never read
      pid_t taker = fork();
      if (taker == 0) {
        int fd = open(path.c_str(), O_RDWR | O_NOCTTY);
        flock(fd, LOCK_EX);
        char byte = 0, control[CMSG_SPACE(sizeof fd)] = {};
        iovec data{&byte, 1};
        msghdr message{};
        message.msg_iov = &data;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        cmsghdr* rights = CMSG_FIRSTHDR(&message);
        rights->cmsg_level = SOL_SOCKET;
        rights->cmsg_type = SCM_RIGHTS;
        rights->cmsg_len = CMSG_LEN(sizeof fd);
        std::memcpy(CMSG_DATA(rights), &fd, sizeof fd);
        _exit(sendmsg(ends[0], &message, 0) == 1 ? 0 : 1);
      }
      waitpid(taker, nullptr, 0);
      Exec({program, "60"});
    }
    int fd = open(path.c_str(), O_RDWR | O_NOCTTY);
    if (kind == LockKind::kOpenFileDescription) {
      struct flock whole {};
      whole.l_type = F_WRLCK;
      whole.l_whence = SEEK_SET;
      fcntl(fd, F_OFD_SETLK, &whole);
    } else if (kind == LockKind::kTakerEnded) {
      pid_t taker = fork();
      if (taker == 0) _exit(flock(fd, LOCK_EX));
      waitpid(taker, nullptr, 0);
    } else {
      flock(fd, LOCK_EX);
    }
    Exec({program, "60"});
  }
  struct stat file {};
  stat(path.c_str(), &file);
  const std::string inode = ":" + std::to_string(file.st_ino) + " ";
  WaitUntil([&] { return FileText("/proc/locks").find(inode) != std::string::npos; }, 5000);
  return pid;
}

Job SpawnJob(const Pty& console, const std::function<void()>& body) {
  int events[2], control[2], ready[2];
  if (pipe(events) != 0 || pipe(control) != 0 || pipe(ready) != 0) Fail("pipe");
  Job job;
  job.shell = fork();
  if (job.shell < 0) Fail("fork");
  if (job.shell == 0) {
    close(events[0]);
    close(control[1]);
    setsid();
    int tty = open(console.path.c_str(), O_RDWR);
    ioctl(tty, TIOCSCTTY, 0);
    dup2(tty, 0);
    dup2(tty, 1);
    dup2(tty, 2);
    signal(SIGTTOU, SIG_IGN);  // a shell hands the terminal back and forth
    pid_t pid = fork();
    if (pid == 0) {
      setpgid(0, 0);
      char go;
      (void)!read(ready[0], &go, 1);  // in the foreground first
      signal(SIGTTOU, SIG_DFL);
      body();
      _exit(0);
    }
    setpgid(pid, pid);
    tcsetpgrp(0, pid);
    (void)!write(ready[1], "g", 1);
    std::string said = std::to_string(pid) + "\n";
    (void)!write(events[1], said.data(), said.size());
    for (;;) {
      int status = 0;
      if (waitpid(pid, &status, WUNTRACED) != pid) _exit(125);
      if (WIFSTOPPED(status)) {
        tcsetpgrp(0, getpgrp());
        (void)!write(events[1], "stopped\n", 8);
        char fg;
        if (read(control[0], &fg, 1) != 1) _exit(125);
        tcsetpgrp(0, pid);
        kill(-pid, SIGCONT);
        continue;
      }
      if (WIFSIGNALED(status)) {
        signal(WTERMSIG(status), SIG_DFL);
        raise(WTERMSIG(status));
      }
      _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 125);
    }
  }
  close(events[1]);
  close(control[0]);
  close(ready[0]);
  close(ready[1]);
  job.events = events[0];
  job.control = control[1];
  std::string said;
  if (ReadUntil(job.events, "\n", 10000, &said)) job.pid = std::stoi(said);
  return job;
}

bool WaitJobStopped(const Job& job, int timeout_ms) {
  std::string said;
  return ReadUntil(job.events, "stopped\n", timeout_ms, &said);
}

void ForegroundJob(const Job& job) { (void)!write(job.control, "f", 1); }

std::optional<Ended> WaitJobEnd(Job* job, int timeout_ms) {
  auto ended = WaitChild(job->shell, timeout_ms);
  if (ended) {
    close(job->events);
    close(job->control);
    job->shell = -1;
  }
  return ended;
}

double CpuSeconds(pid_t pid) {
  std::ifstream sched("/proc/" + std::to_string(pid) + "/schedstat");
  double ns = 0;
  sched >> ns;
  return ns / 1e9;
}

double CpuUsedOver(pid_t pid, double seconds) {
  double before = CpuSeconds(pid);
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  return CpuSeconds(pid) - before;
}

double IdleCpuShare(pid_t pid) {
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  return CpuUsedOver(pid, 2.0) / 2.0;
}

pid_t FindProcess(const std::string& name) {
  DIR* proc = opendir("/proc");
  pid_t found = -1;
  while (dirent* entry = readdir(proc)) {
    pid_t pid = std::atoi(entry->d_name);
    if (pid <= 0) continue;
    std::ifstream cmdline("/proc/" + std::to_string(pid) + "/cmdline");
    std::string args((std::istreambuf_iterator<char>(cmdline)), std::istreambuf_iterator<char>());
    if (args.rfind("tmux", 0) == 0 || args.rfind("bash", 0) == 0) continue;
    if (args.find(name) != std::string::npos) found = pid;
  }
  closedir(proc);
  return found;
}

std::string Arm64Build() {
  const char* build = std::getenv("VLX_ARM64_BUILD");
  return build != nullptr ? build : "";
}
std::string LauncherPath() { return VLX_LAUNCHER; }
std::string VlxtermPath() { return Arm64Build().empty() ? VLXTERM_BIN : Arm64Build() + "/vlxterm"; }
std::vector<std::string> VlxtermCommand() {
  if (Arm64Build().empty()) return {VlxtermPath()};
  return {"/usr/bin/qemu-aarch64-static", "-L", "/usr/aarch64-linux-gnu", VlxtermPath()};
}
std::string RtsTracePath() {
  return Arm64Build().empty() ? VLX_RTS_TRACE : Arm64Build() + "/tests/libvlx_rts_trace.so";
}

int64_t MonotonicUs() {
  return std::chrono::duration_cast<std::chrono::microseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

std::vector<TraceEvent> ReadTrace(const std::string& path) {
  std::ifstream in(path);
  std::vector<TraceEvent> events;
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    TraceEvent e{};
    fields >> e.us;
    std::getline(fields >> std::ws, e.text);
    events.push_back(e);
  }
  return events;
}

std::vector<RtsPulse> RtsPulses(const std::string& trace_path) {
  std::vector<RtsPulse> pulses;
  std::string fd;
  for (const TraceEvent& e : ReadTrace(trace_path)) {
    int port = -1;
    if (fd.empty() && std::sscanf(e.text.c_str(), "opened %d", &port) == 1) {
      fd = std::to_string(port);
    }
    if (fd.empty()) continue;
    bool open = !pulses.empty() && pulses.back().high_us < 0;
    if (e.text == "set " + fd + " RTS") pulses.push_back({e.us, -1, -1});
    if (open && e.text.rfind("wrote " + fd + " ", 0) == 0) pulses.back().wrote_us = e.us;
    if (open && e.text == "clear " + fd + " RTS")
      pulses.back().high_us = e.us - pulses.back().rose_us;
  }
  return pulses;
}

std::vector<Arrival> ReadArrivals(int fd, uint8_t last, int timeout_ms, size_t most) {
  std::vector<Arrival> arrivals;
  int64_t end = NowMs() + timeout_ms;
  for (int64_t left = timeout_ms; left > 0; left = end - NowMs()) {
    pollfd in{fd, POLLIN, 0};
    if (poll(&in, 1, static_cast<int>(left)) <= 0) break;
    int64_t seen = MonotonicUs();
    uint8_t byte = 0;
    if (read(fd, &byte, 1) != 1) break;
    arrivals.push_back({seen, byte});
    if (byte == last || arrivals.size() == most) break;
  }
  return arrivals;
}

std::string BytesOf(const std::vector<Arrival>& arrivals) {
  std::string bytes;
  for (const Arrival& a : arrivals) bytes.push_back(static_cast<char>(a.byte));
  return bytes;
}

std::string ShortGaps(const std::vector<Arrival>& arrivals, int64_t at_least_us) {
  std::string gaps;
  for (size_t i = 1; i < arrivals.size(); ++i) {
    int64_t gap = arrivals[i].us - arrivals[i - 1].us;
    if (gap < at_least_us) {
      gaps += "before byte " + std::to_string(i) + ": " + std::to_string(gap) + " us; ";
    }
  }
  return gaps;
}

TempFile::TempFile(const std::string& stem) {
  path = "/tmp/" + stem + "-XXXXXX";
  int fd = mkstemp(path.data());
  if (fd < 0) Fail("mkstemp");
  close(fd);
}
TempFile::~TempFile() { unlink(path.c_str()); }

TempDir::TempDir() {
  char pattern[] = "/tmp/vlx-XXXXXX";
  if (mkdtemp(pattern) == nullptr) Fail("mkdtemp");
  path = pattern;
  chmod(path.c_str(), 0755);
}
TempDir::~TempDir() { std::filesystem::remove_all(path); }

std::string FileText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

bool SandboxWorks(std::string* why) {
  static int known = -1;
  static std::string reason;
  if (known < 0) {
    Pty device;
    ChildResult r = RunChild([&] {
      dup2(STDOUT_FILENO, STDERR_FILENO);
      execl(LauncherPath().c_str(), "vlxterm-on", device.path.c_str(), "/bin/true",
            static_cast<char*>(nullptr));
      _exit(127);
    });
    known = r.ended == Ended{0, 0} ? 1 : 0;
    reason = r.out;
  }
  *why = reason;
  return known == 1;
}

}  // namespace vlxtest
