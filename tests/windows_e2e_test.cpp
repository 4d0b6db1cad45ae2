// The Windows vlxterm.exe end to end under Wine: Wine's COM1 is a device
// pty (inside the sandbox), its console a tmux pane inside the same
// namespace, read with capture-pane and typed into with send-keys.
#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "pty_support.h"

namespace {

using vlxtest::Ended;

constexpr int64_t kHoldUs = 30000;
constexpr int64_t kReaderSlackUs = 1000;  // see the line entry tests

std::string Run(const std::string& command) {
  std::string out;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return out;
  char buffer[4096];
  size_t got;
  while ((got = fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, got);
  pclose(pipe);
  return out;
}

// CPU ticks used by the process whose command line mentions `name`.
long CpuTicksOf(const std::string& name, pid_t* found) {
  DIR* proc = opendir("/proc");
  long ticks = -1;
  while (dirent* entry = readdir(proc)) {
    pid_t pid = std::atoi(entry->d_name);
    if (pid <= 0) continue;
    std::ifstream cmdline("/proc/" + std::to_string(pid) + "/cmdline");
    std::string args((std::istreambuf_iterator<char>(cmdline)), std::istreambuf_iterator<char>());
    if (args.rfind("tmux", 0) == 0 || args.rfind("bash", 0) == 0) continue;
    if (args.find(name) == std::string::npos) continue;
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string field;
    long utime = 0, stime = 0;
    for (int i = 3; fields >> field; ++i) {
      if (i == 14) utime = std::stol(field);
      if (i == 15) stime = std::stol(field);
    }
    ticks = utime + stime;
    *found = pid;
  }
  closedir(proc);
  return ticks;
}

class WineSession {
 public:
  WineSession() {
    char dir[] = "/tmp/vlx-wine-XXXXXX";
    dir_ = mkdtemp(dir);
    socket_ = dir_ + "/tmux";
    status_ = dir_ + "/status";
    device.Apply(vlxtest::RawSettings(B9600));
    // The tmux server, and so Wine, starts inside the runner's namespace;
    // the runner ends when the session does.
    std::string inner = "tmux -S " + socket_ + " new-session -d -x 100 -y 30 'wine " +
                        std::string(VLXTERM_WINDOWS_EXE) + "; echo $? > " + status_ +
                        "'; while tmux -S " + socket_ +
                        " has-session 2>/dev/null; do sleep 0.2; done";
    std::string log = dir_ + "/runner.log";
    runner_ = fork();
    if (runner_ == 0) {
      std::freopen(log.c_str(), "w", stdout);
      dup2(fileno(stdout), 2);
      execl("/bin/bash", "bash", VLX_WINE_RUN, device.path.c_str(), "bash", "-c", inner.c_str(),
            static_cast<char*>(nullptr));
      _exit(127);
    }
  }
  ~WineSession() {
    Run("tmux -S " + socket_ + " kill-server 2>/dev/null");
    if (!ended_ && !vlxtest::WaitChild(runner_, 30000)) {
      kill(runner_, SIGKILL);
      vlxtest::WaitChild(runner_, 5000);
    }
    std::filesystem::remove_all(dir_);
  }

  std::string Screen() { return Run("tmux -S " + socket_ + " capture-pane -p 2>/dev/null"); }
  bool WaitForScreen(const std::string& text, int timeout_ms) {
    return vlxtest::WaitUntil([&] { return Screen().find(text) != std::string::npos; }, timeout_ms);
  }
  void SendKeys(const std::string& keys) { Run("tmux -S " + socket_ + " send-keys " + keys); }
  std::string RunnerLog() { return Run("cat " + dir_ + "/runner.log"); }
  std::optional<Ended> WaitRunner(int timeout_ms) {
    auto ended = vlxtest::WaitChild(runner_, timeout_ms);
    ended_ = ended.has_value();
    return ended;
  }
  std::string Status() { return Run("cat " + status_ + " 2>/dev/null"); }

  vlxtest::Pty device;

 private:
  std::string dir_, socket_, status_;
  pid_t runner_ = -1;
  bool ended_ = false;
};

TEST(WindowsUnderWine, ShowsTypesSendsAndExits) {
  VLX_REQUIRE_SANDBOX();
  WineSession wine;
  // A fresh prefix is made on the first run: allow for it.
  ASSERT_TRUE(wine.WaitForScreen("---", 120000)) << wine.RunnerLog() << wine.Screen();
  // (capture-pane drops the blanks at the ends of lines.)
  EXPECT_EQ(
      wine.Screen().rfind(
          "VLX Test terminal by Q.Zolb\n To exit, push [ESC] key\n Port=1 , Baud=2400\n---\n", 0),
      0u)
      << wine.Screen();
  ASSERT_TRUE(vlxtest::WaitUntil(
      [&] {
        termios settings = wine.device.Settings();
        return cfgetospeed(&settings) == B2400;
      },
      10000));

  // Received bytes through the filter.
  vlxtest::WriteAll(wine.device.master,
                    "hello\rA\r\nbell\x07"
                    "esc\x1B[2Jdone\r");
  EXPECT_TRUE(wine.WaitForScreen("---\nhello\nA\n\nbellesc[2Jdone\n", 10000)) << wine.Screen();

  // Idle: no spinning.
  pid_t pid = 0;
  long before = CpuTicksOf("vlxterm.exe", &pid);
  ASSERT_GE(before, 0) << "vlxterm.exe not found";
  usleep(1000 * 1000);
  EXPECT_LE(CpuTicksOf("vlxterm.exe", &pid) - before, sysconf(_SC_CLK_TCK) / 10)
      << "busy while idle";

  // A typed, corrected line goes out byte by byte in 30 ms pulses, then CR.
  wine.SendKeys("abc BSpace d Enter");
  auto arrivals = vlxtest::ReadArrivals(wine.device.master, '\r', 10000);
  std::string sent;
  for (const auto& a : arrivals) sent.push_back(static_cast<char>(a.byte));
  EXPECT_EQ(sent, "abd\r");
  for (size_t i = 1; i < arrivals.size(); ++i) {
    EXPECT_GE(arrivals[i].us - arrivals[i - 1].us, kHoldUs - kReaderSlackUs);
  }
  EXPECT_TRUE(wine.WaitForScreen("done\nabd\n", 5000)) << wine.Screen();

  // Esc ends it with status 0 (Wine's terminal reader passes Esc as two).
  wine.SendKeys("Escape Escape");
  EXPECT_EQ(wine.WaitRunner(30000), (Ended{0, 0})) << wine.RunnerLog();
  EXPECT_EQ(wine.Status(), "0\n");
}

}  // namespace
