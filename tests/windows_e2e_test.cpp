// The Windows vlxterm.exe end to end under Wine: Wine's COM1 is a device
// pty (inside the sandbox), its console a tmux pane inside the same
// namespace, read with capture-pane and typed into with send-keys.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "terminal_session.h"

namespace {

using vlxtest::Ended;

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

// After the runner, however it ended: no COM link in the prefix, and its
// Ports key holds COM1-COM255 by empty values, so that Wine started on it
// by hand outside the sandbox links COM1 to nothing, never the console.
void ExpectPrefixLinksNoPort() {
  const std::filesystem::path prefix =
      std::filesystem::path(VLXTERM_WINDOWS_EXE).parent_path() / "wineprefix";
  for (const auto& entry : std::filesystem::directory_iterator(prefix / "dosdevices")) {
    EXPECT_NE(entry.path().filename().string().rfind("com", 0), 0u) << entry.path();
  }
  std::ifstream reg(prefix / "system.reg");
  std::string line;
  bool in_ports = false;
  int held = 0;
  while (std::getline(reg, line)) {
    if (line.rfind('[', 0) == 0) in_ports = line.rfind("[Software\\\\Wine\\\\Ports]", 0) == 0;
    if (!in_ports || line.rfind("\"COM", 0) != 0) continue;
    EXPECT_NE(line.find("\"=\"\""), std::string::npos) << line;
    ++held;
  }
  EXPECT_GE(held, 255);  // COM1-COM255: Wine reads no COM256 value
}

class WineSession {
 public:
  // Wine's COM1 is this session's device pty, or with `null_com1` the null
  // device, which opens but is no serial port. Wine's debug channels as
  // `debug` says (WINEDEBUG), written to WineLog().
  explicit WineSession(bool null_com1 = false, const std::string& debug = "-all") {
    socket_ = dir_.path + "/tmux";
    status_ = dir_.path + "/status";
    wine_log_ = dir_.path + "/wine.log";
    device.Apply(vlxtest::RawSettings(B9600));
    // The tmux server, and so Wine, starts inside the runner's namespace;
    // the runner ends when the session does.
    std::string inner = Tmux("new-session -d -x 100 -y 30 'WINEDEBUG=" + debug + " wine " +
                             std::string(VLXTERM_WINDOWS_EXE) + " 2>" + wine_log_ + "; echo $? > " +
                             status_ + "; sleep 2'") +
                        "; while " + Tmux("has-session 2>/dev/null") + "; do sleep 0.2; done";
    std::string log = dir_.path + "/runner.log";
    runner_ = fork();
    if (runner_ == 0) {
      std::freopen(log.c_str(), "w", stdout);
      dup2(fileno(stdout), 2);
      if (null_com1) setenv("VLX_WINE_COM1", "/dev/null", 1);
      setenv("VLX_LAUNCHER", vlxtest::LauncherPath().c_str(), 1);
      execl("/bin/bash", "bash", VLX_WINE_RUN, device.path.c_str(), "bash", "-c", inner.c_str(),
            static_cast<char*>(nullptr));
      _exit(127);
    }
  }
  ~WineSession() {
    Run(Tmux("kill-server 2>/dev/null"));
    if (!ended_ && !vlxtest::WaitChild(runner_, 30000)) {
      kill(runner_, SIGKILL);
      vlxtest::WaitChild(runner_, 5000);
    }
  }

  std::string Screen() { return Run(Tmux("capture-pane -p 2>/dev/null")); }
  bool WaitForScreen(const std::string& text, int timeout_ms) {
    return vlxtest::WaitUntil([&] { return Screen().find(text) != std::string::npos; }, timeout_ms);
  }
  void SendKeys(const std::string& keys) { Run(Tmux("send-keys " + keys)); }
  void SignalRunner(int signal_number) { kill(runner_, signal_number); }
  std::string RunnerLog() { return vlxtest::FileText(dir_.path + "/runner.log"); }
  std::optional<Ended> WaitRunner(int timeout_ms) {
    auto ended = vlxtest::WaitChild(runner_, timeout_ms);
    ended_ = ended.has_value();
    return ended;
  }
  std::string Status() { return vlxtest::FileText(status_); }
  std::string WineLog() { return vlxtest::FileText(wine_log_); }

  vlxtest::Pty device;

 private:
  // The pane shows the Japanese message only in a UTF-8 locale, whatever
  // the caller's.
  std::string Tmux(const std::string& command) const {
    return "LC_ALL=C.UTF-8 tmux -S " + socket_ + " " + command;
  }

  vlxtest::TempDir dir_;
  std::string socket_, status_, wine_log_;
  pid_t runner_ = -1;
  bool ended_ = false;
};

TEST(WindowsUnderWine, ShowsTypesSendsAndExits) {
  VLX_REQUIRE_SANDBOX();
  WineSession wine;
  // A fresh prefix is made on the first run: allow for it.
  ASSERT_TRUE(wine.WaitForScreen("---", 120000)) << wine.RunnerLog() << wine.Screen();
  // (capture-pane drops the blanks at the ends of lines.)
  EXPECT_EQ(wine.Screen().rfind(vlxtest::StartupLinesShown("\n", false), 0), 0u) << wine.Screen();
  ASSERT_TRUE(vlxtest::WaitSpeed(wine.device, B2400, 10000));

  // Received bytes through the filter.
  vlxtest::WriteAll(wine.device.master,
                    "hello\rA\r\nbell\x07"
                    "esc\x1B[2Jdone\r");
  EXPECT_TRUE(wine.WaitForScreen("---\nhello\nA\n\nbellesc[2Jdone\n", 10000)) << wine.Screen();

  // Idle: no spinning.
  pid_t pid = vlxtest::FindProcess("vlxterm.exe");
  ASSERT_GT(pid, 0) << "vlxterm.exe not found";
  EXPECT_LT(vlxtest::IdleCpuShare(pid), vlxtest::kSpinShare) << "busy while idle";

  // A typed, corrected line goes out byte by byte in 30 ms pulses, then CR.
  wine.SendKeys("abc BSpace d Enter");
  auto arrivals = vlxtest::ReadArrivals(wine.device.master, '\r', 10000);
  EXPECT_EQ(vlxtest::BytesOf(arrivals), "abd\r");
  EXPECT_EQ(vlxtest::ShortGaps(arrivals, vlxtest::kHoldUs - vlxtest::kReaderSlackUs), "");
  EXPECT_TRUE(wine.WaitForScreen("done\nabd\n", 5000)) << wine.Screen();

  // A device that takes nothing: the line goes nowhere and nothing hangs;
  // what was not taken is not sent later either. (Wine cannot show RTS
  // or DTR on a pty.)
  tcflow(wine.device.slave, TCOOFF);
  wine.SendKeys("xyz Enter");
  EXPECT_TRUE(wine.WaitForScreen("abd\nxyz\n", 5000)) << wine.Screen();
  usleep(500 * 1000);
  tcflow(wine.device.slave, TCOON);
  EXPECT_TRUE(vlxtest::ReadArrivals(wine.device.master, '\r', 300).empty());
  tcflow(wine.device.slave, TCOOFF);

  // Esc ends it with status 0 (Wine's terminal reader passes Esc as two),
  // the device still taking nothing.
  int64_t esc_us = vlxtest::MonotonicUs();
  wine.SendKeys("Escape Escape");
  EXPECT_TRUE(vlxtest::WaitUntil([&] { return !wine.Status().empty(); }, 10000));
  std::printf("wine: Esc to the program's end, the device taking nothing: %.0f ms\n",
              (vlxtest::MonotonicUs() - esc_us) / 1000.0);
  EXPECT_EQ(wine.WaitRunner(30000), (Ended{0, 0})) << wine.RunnerLog();
  EXPECT_EQ(wine.Status(), "0\n");
  ExpectPrefixLinksNoPort();
}

TEST(WindowsUnderWine, AStoppedRunnerLeavesNoComPortBehind) {
  VLX_REQUIRE_SANDBOX();
  WineSession wine;
  ASSERT_TRUE(wine.WaitForScreen("---", 120000)) << wine.RunnerLog() << wine.Screen();
  wine.SignalRunner(SIGTERM);  // a timed-out or cancelled run
  EXPECT_EQ(wine.WaitRunner(30000), (Ended{143, 0})) << wine.RunnerLog();
  ExpectPrefixLinksNoPort();
}

TEST(WindowsUnderWine, AnUnusablePortEndsWithItsMessageAndStatusOne) {
  VLX_REQUIRE_SANDBOX();
  WineSession wine(true);  // opens, but has no line settings to read
  // Shown readably whatever the console's code page (through UTF-16).
  EXPECT_TRUE(wine.WaitForScreen("---\nCOM1ポートが存在しないか、既に使用中です\n", 120000))
      << wine.RunnerLog() << wine.Screen();
  EXPECT_EQ(wine.WaitRunner(30000), (Ended{0, 0})) << wine.RunnerLog();
  EXPECT_EQ(wine.Status(), "1\n");
  ExpectPrefixLinksNoPort();
}

TEST(WindowsUnderWine, AsksForTheFinestTimerOnlyWhileAByteIsHeld) {
  VLX_REQUIRE_SANDBOX();
  // Relayed calls of winmm alone (the runner's prefix includes no other).
  WineSession wine(false, "+relay");
  ASSERT_TRUE(wine.WaitForScreen("---", 120000)) << wine.RunnerLog() << wine.Screen();
  ASSERT_TRUE(vlxtest::WaitSpeed(wine.device, B2400, 10000));
  auto calls = [&](const std::string& function) {
    const std::string call = "Call winmm." + function + "(00000001)";
    const std::string log = wine.WineLog();
    size_t count = 0;
    for (size_t at = log.find(call); at != std::string::npos; at = log.find(call, at + 1)) ++count;
    return count;
  };
  EXPECT_EQ(calls("timeBeginPeriod"), 0u) << "asked for at idle\n" << wine.WineLog();
  wine.SendKeys("hi Enter");  // three holds: h, i, CR
  EXPECT_EQ(vlxtest::BytesOf(vlxtest::ReadArrivals(wine.device.master, '\r', 10000)), "hi\r");
  EXPECT_TRUE(vlxtest::WaitUntil([&] { return calls("timeEndPeriod") == 3; }, 5000));
  EXPECT_EQ(calls("timeBeginPeriod"), 3u) << wine.WineLog();
  wine.SendKeys("Escape Escape");
  EXPECT_EQ(wine.WaitRunner(30000), (Ended{0, 0})) << wine.RunnerLog();
  EXPECT_EQ(calls("timeBeginPeriod"), 3u) << wine.WineLog();
  EXPECT_EQ(calls("timeEndPeriod"), 3u) << wine.WineLog();
  std::istringstream lines(wine.WineLog());
  for (std::string line; std::getline(lines, line);) {
    if (line.find(" winmm.time") != std::string::npos) std::printf("wine: %s\n", line.c_str());
  }
}

}  // namespace
