// Faults, end to end on the real vlxterm: a device that hangs up, no
// controlling terminal, standard output in a file, signals and Ctrl+Z at
// every stage, a port held by another program.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>

#include "terminal_session.h"

namespace {

using vlxtest::Ended;
using vlxtest::FileText;
using vlxtest::kStartupLines;
using vlxtest::SessionOptions;
using vlxtest::TempFile;
using vlxtest::TerminalSession;

TEST(Faults, ADeviceThatHangsUpOrTakesNothingCostsOneHoldPerByteAndNoSpin) {
  VLX_REQUIRE_SANDBOX();
  struct Case {
    const char* what;
    bool stalls;  // stops taking data (its output stopped) instead of hanging up
    bool while_sending;
  };
  const Case cases[] = {
      {"hangs up at idle", false, false},
      {"hangs up while a line goes out", false, true},
      {"takes nothing from idle on", true, false},
      {"stops taking data while a line goes out", true, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TempFile trace("vlx-stall-trace");
    TerminalSession session(vlxtest::Traced(trace.path));
    ASSERT_TRUE(session.WaitStarted()) << session.Screen();
    if (c.while_sending) {
      session.Type("0123456789\r");
      ASSERT_EQ(vlxtest::ReadArrivals(session.device.master, 0, 5000, 2).size(), 2u);
    }
    const int64_t left_us = vlxtest::MonotonicUs();
    if (c.stalls) {
      tcflow(session.device.slave, TCOOFF);
    } else {
      close(session.device.master);
      session.device.master = -1;
    }
    EXPECT_LT(vlxtest::IdleCpuShare(session.pid()), vlxtest::kSpinShare) << "spins";
    // The keyboard is still served, and Esc stops a line two bytes in (one
    // that hung up takes none: the port is closed, and that is said).
    session.Type("abcdefghij\r");
    EXPECT_TRUE(session.WaitForScreen(c.stalls ? "abcdefghij\r\n"
                                               : "abcdefghij\r\nvlxterm: COM1 is gone: what was "
                                                 "typed was not sent\n"))
        << testing::PrintToString(session.Screen());
    usleep(45 * 1000);
    int64_t esc_us = vlxtest::MonotonicUs();
    session.Type("\x1B");
    usleep(400 * 1000);  // the whole line's time, had Esc not stopped it
    size_t after_esc = 0, after_hang_up = 0;
    int64_t longest_us = 0, last_down_us = esc_us;
    for (const vlxtest::RtsPulse& p : vlxtest::RtsPulses(trace.path)) {
      // The write that finds the device gone ends the line at once.
      const bool hung_up = !c.stalls && p.rose_us > left_us;
      after_hang_up += hung_up;
      // A short hold: the device misses the byte's window (none may be).
      if (!hung_up) EXPECT_GE(p.high_us, vlxtest::kHoldUs);
      // One hold, never two (a loaded machine may stretch it some).
      EXPECT_LT(p.high_us, 2 * vlxtest::kHoldUs) << "RTS held while the device took nothing";
      after_esc += p.rose_us > esc_us;
      longest_us = std::max(longest_us, p.high_us);
      last_down_us = p.rose_us + p.high_us;
    }
    // At most the byte after the one going out (a late Esc), then the CR.
    EXPECT_LE(after_esc, 2u) << "Esc did not stop the line at once";
    EXPECT_LE(after_hang_up, 1u) << "holds after the device had hung up";
    EXPECT_EQ(session.Screen().find("vlxterm: COM1 is gone (unplugged?) and cannot come back"),
              c.stalls ? std::string::npos : kStartupLines.size() + (c.while_sending ? 12 : 0))
        << testing::PrintToString(session.Screen());
    if (c.stalls) {  // nothing held back leaks out later
      tcflow(session.device.slave, TCOON);
      session.Type("ok\r");
      EXPECT_EQ(session.SentLine(), "ok\r");
      tcflow(session.device.slave, TCOOFF);
    }
    int64_t idle_esc_us = vlxtest::MonotonicUs();
    session.Type("\x1B");
    EXPECT_EQ(session.WaitExit(), (Ended{0, 0}));
    int64_t idle_exit_us = vlxtest::MonotonicUs() - idle_esc_us;
    // The close waiting for the driver to drain: up to the port's closing
    // wait (30 s by default), or for ever on a device that takes nothing.
    EXPECT_LT(idle_exit_us, 2000000) << "the close waited";
    std::printf(
        "device %s: longest RTS pulse %.1f ms; Esc sending to RTS down %.1f ms, "
        "at idle to the end %.1f ms\n",
        c.what, longest_us / 1000.0, (last_down_us - esc_us) / 1000.0, idle_exit_us / 1000.0);
  }
}

TEST(Faults, WithoutAControllingTerminalReceivedBytesAreStillShown) {
  VLX_REQUIRE_SANDBOX();
  SessionOptions options;
  options.no_terminal = true;
  TempFile out("vlx-no-tty");
  options.stdout_file = out.path;
  TerminalSession session(options);
  ASSERT_TRUE(session.WaitPortReady());
  session.DeviceSends("hello\r");
  // Each shown byte is flushed; the CR's line end waits in the buffer.
  EXPECT_TRUE(vlxtest::WaitFileText(options.stdout_file, std::string(kStartupLines) + "hello"))
      << testing::PrintToString(FileText(options.stdout_file));
  EXPECT_LT(vlxtest::IdleCpuShare(session.pid()), vlxtest::kSpinShare) << "spins";
  EXPECT_FALSE(session.WaitExit(0).has_value());
  kill(session.pid(), SIGTERM);
  EXPECT_EQ(session.WaitExit(), (Ended{-1, SIGTERM}));
}

TEST(Faults, RedirectedOutputGetsTheExactBytesAtEachFlush) {
  VLX_REQUIRE_SANDBOX();
  SessionOptions options;
  TempFile out("vlx-out");
  options.stdout_file = out.path;
  TerminalSession session(options);
  ASSERT_TRUE(session.WaitSetUp());
  const std::string& file = options.stdout_file;
  std::string startup(kStartupLines);
  usleep(100 * 1000);
  EXPECT_EQ(FileText(file), "") << "the start-up lines wait in the buffer";
  session.DeviceSends("A");
  EXPECT_TRUE(vlxtest::WaitFileText(file, startup + "A")) << testing::PrintToString(FileText(file));
  session.DeviceSends("\r");  // a line end, not flushed
  usleep(100 * 1000);
  EXPECT_EQ(FileText(file), startup + "A");
  session.DeviceSends("\n");  // LF is shown as itself, and flushed
  EXPECT_TRUE(vlxtest::WaitFileText(file, startup + "A\n\n"))
      << testing::PrintToString(FileText(file));
  session.Type("hi\r");
  EXPECT_EQ(session.SentLine(), "hi\r");
  // Each echoed key is flushed; the newline after Enter is not.
  EXPECT_EQ(FileText(file), startup + "A\n\nhi\r");
  session.Type("\x1B");
  EXPECT_EQ(session.WaitExit(), (Ended{0, 0}));
  EXPECT_EQ(FileText(file), startup + "A\n\nhi\r\n");  // exit flushes the rest
  EXPECT_EQ(session.Screen(), "");                     // nothing on the console
}

enum class Stage { kSetUp, kIdle, kTyping, kSending };

const char* Name(Stage stage) {
  const char* names[] = {"setting the port up", "idle", "typing", "sending"};
  return names[static_cast<int>(stage)];
}

// Brings the session to the stage: its start-up lines shown while the port
// is set up (the modem-line recorder holds up its open, or raises a signal
// right after the exclusive-use request), at idle, halfway through typing a
// line, or while a line goes out.
void Reach(TerminalSession& session, Stage stage) {
  if (stage == Stage::kSetUp) {
    ASSERT_TRUE(session.WaitForScreen(kStartupLines)) << session.Screen();
    return;
  }
  ASSERT_TRUE(session.WaitStarted()) << session.Screen();
  if (stage == Stage::kTyping) {
    session.Type("ab");
    ASSERT_TRUE(session.WaitForScreen(std::string(kStartupLines) + "ab"));
  } else if (stage == Stage::kSending) {
    session.Type("0123456789\r");
    ASSERT_EQ(vlxtest::ReadArrivals(session.device.master, 0, 5000, 2).size(), 2u);
  }
}

TEST(Faults, SignalsAtAnyStageLeaveTheTerminalAndThePortAsTheyWere) {
  VLX_REQUIRE_SANDBOX();
  struct Case {
    int signal;
    std::vector<Stage> stages;
  };
  const std::vector<Stage> every = {Stage::kIdle, Stage::kTyping, Stage::kSending};
  const Case cases[] = {
      {SIGINT, every},
      {SIGTERM, {Stage::kSetUp, Stage::kIdle, Stage::kTyping, Stage::kSending}},
      {SIGHUP, every},
      {SIGQUIT, {Stage::kIdle}},
      {SIGPIPE, {Stage::kTyping}},
      {SIGALRM, {Stage::kIdle}},
      {SIGUSR1, {Stage::kTyping}},
      {SIGUSR2, {Stage::kSending}},
      {SIGVTALRM, {Stage::kIdle}},
      {SIGPROF, {Stage::kIdle}},
      {SIGXFSZ, {Stage::kIdle}},
      {SIGRTMIN, {Stage::kTyping}},
  };
  rlimit no_cores{0, 0};  // SIGQUIT and SIGXFSZ end with a core by default
  setrlimit(RLIMIT_CORE, &no_cores);
  for (const Case& c : cases) {
    if (c.signal >= SIGRTMIN && !vlxtest::Arm64Build().empty()) {
      std::printf("not sent: QEMU's user-mode emulator keeps the host's real-time signals\n");
      continue;
    }
    for (Stage stage : c.stages) {
      SCOPED_TRACE(std::string(strsignal(c.signal)) + " while " + Name(stage));
      TempFile trace("vlx-signal-trace");
      SessionOptions options = vlxtest::Traced(trace.path);
      if (stage == Stage::kSetUp) {
        options.wrapper.push_back("VLX_TRACE_RAISE_AFTER_EXCL=" + std::to_string(c.signal));
      }
      TerminalSession session(options);
      const termios before = session.console_found;
      if (stage != Stage::kSetUp) {
        Reach(session, stage);
        EXPECT_FALSE(vlxtest::SameSettings(session.console.Settings(), before));
        EXPECT_EQ(session.device.Exclusive(), 1);
        kill(session.pid(), c.signal);
      }
      EXPECT_EQ(session.WaitExit(), (Ended{-1, c.signal}));
      EXPECT_TRUE(vlxtest::SameSettings(session.console.Settings(), before));
      EXPECT_EQ(session.device.Exclusive(), 0) << "the port was left exclusive";
      EXPECT_TRUE(vlxtest::SameSettings(session.device.Settings(), session.device_found))
          << "the port's settings were not given back";
    }
  }
}

TEST(Faults, ClosedStandardOutputNeverReachesThePort) {
  VLX_REQUIRE_SANDBOX();
  SessionOptions closed;
  closed.wrapper = {"/bin/bash", "-c", "exec \"$@\" >&-", "closed"};
  TerminalSession session(closed);
  ASSERT_TRUE(session.WaitSetUp());
  session.DeviceSends("shown\r");
  session.Type("ab\r");
  EXPECT_EQ(session.SentLine(), "ab\r") << "output went to the port";
  session.Type("\x1B");
  EXPECT_EQ(session.WaitExit(), (Ended{0, 0}));
}

TEST(Faults, CtrlZAndFgAtAnyStage) {
  VLX_REQUIRE_SANDBOX();
  for (Stage stage : {Stage::kIdle, Stage::kTyping, Stage::kSending}) {
    SCOPED_TRACE(Name(stage));
    TempFile trace("vlx-stop-trace");
    SessionOptions as_job = vlxtest::Traced(trace.path);
    as_job.as_job = true;
    TerminalSession session(as_job);
    const termios before = session.console_found;
    Reach(session, stage);
    // Ctrl+Z is the key 26 (at idle too), so the stop comes from outside.
    kill(-session.pid(), SIGTSTP);
    ASSERT_TRUE(vlxtest::WaitJobStopped(session.job(), 5000));
    EXPECT_TRUE(vlxtest::SameSettings(session.console.Settings(), before))
        << "not restored while stopped";
    usleep(300 * 1000);  // stopped a while: never with RTS up
    vlxtest::ForegroundJob(session.job());
    EXPECT_TRUE(vlxtest::WaitUntil(
        [&] { return (session.console.Settings().c_lflag & (ICANON | ECHO)) == 0; }, 5000))
        << "not taken back after fg";
    // It goes on where it was.
    if (stage == Stage::kTyping) {
      session.Type("c\r");
      EXPECT_EQ(session.SentLine(), "abc\r");
    } else if (stage == Stage::kSending) {
      EXPECT_EQ(session.SentLine(), "23456789\r");
    }
    session.Type("\x1B");
    EXPECT_EQ(session.WaitExit(), (Ended{0, 0}));
    EXPECT_TRUE(vlxtest::SameSettings(session.console.Settings(), before));
    EXPECT_TRUE(vlxtest::SameSettings(session.device.Settings(), session.device_found))
        << "the port's settings were not given back";
    int64_t longest_us = 0;
    for (const vlxtest::RtsPulse& p : vlxtest::RtsPulses(trace.path))
      longest_us = std::max(longest_us, p.high_us);
    // Up through the stop: 300 ms or more; a loaded machine stretches a
    // hold to 100 ms (seen).
    EXPECT_LT(longest_us, 250000) << "RTS stayed up while the program was stopped";
    std::printf("stopped while %s: longest RTS pulse %.1f ms\n", Name(stage), longest_us / 1000.0);
  }
}

TEST(Faults, ControlKeysAreKeysAtAnyStageAndOnlyCtrlCSignals) {
  VLX_REQUIRE_SANDBOX();
  // Ctrl+S, Ctrl+Q, Ctrl+\\, Ctrl+Z, Ctrl+V, Ctrl+O: flow control, quit,
  // suspend, literal-next and discard on a POSIX terminal; keys here.
  const std::string controls = "\x13\x11\x1C\x1A\x16\x0F";
  for (Stage stage : {Stage::kSetUp, Stage::kIdle, Stage::kTyping, Stage::kSending}) {
    SCOPED_TRACE(Name(stage));
    TempFile trace("vlx-keys-trace");
    SessionOptions options = vlxtest::Traced(trace.path);
    // Keys typed once the start-up lines show, while the port opens.
    if (stage == Stage::kSetUp) options.wrapper.push_back("VLX_TRACE_OPEN_DELAY_MS=300");
    TerminalSession session(options);
    Reach(session, stage);
    if (stage == Stage::kSending) {
      session.Type(controls);  // one read and dropped after each byte
      EXPECT_EQ(session.SentLine(), "23456789\r");
    } else {
      session.Type(controls + "\r");
      EXPECT_EQ(session.SentLine(), (stage == Stage::kTyping ? "ab" : "") + controls + "\r");
    }
    session.DeviceSends("hi\r");  // our output is not frozen
    EXPECT_TRUE(session.WaitForScreen("hi\n")) << testing::PrintToString(session.Screen());
    session.Type("\x1B");
    EXPECT_EQ(session.WaitExit(), (Ended{0, 0}));
  }
  TerminalSession session;  // Ctrl+C at idle is the platform's: the end
  ASSERT_TRUE(session.WaitStarted()) << session.Screen();
  session.Type("\x03");
  EXPECT_EQ(session.WaitExit(), (Ended{-1, SIGINT}));
}

TEST(Faults, ALostConsoleDropsTheLineAndTheDeviceIsStillShown) {
  VLX_REQUIRE_SANDBOX();
  SessionOptions nohup;
  nohup.wrapper = {"/bin/bash", "-c", "trap '' HUP; exec \"$@\"", "nohup"};
  TempFile out("vlx-lost-console");
  nohup.stdout_file = out.path;
  TerminalSession session(nohup);
  ASSERT_TRUE(session.WaitSetUp());
  const std::string& file = nohup.stdout_file;
  session.Type("ab");
  ASSERT_TRUE(vlxtest::WaitFileText(file, std::string(kStartupLines) + "ab"));
  close(session.console.master);  // the console hangs up mid-line
  session.console.master = -1;
  EXPECT_LT(vlxtest::IdleCpuShare(session.pid()), vlxtest::kSpinShare) << "spins";
  session.DeviceSends("hi\r");
  EXPECT_TRUE(vlxtest::WaitFileText(file, std::string(kStartupLines) + "abhi"))
      << testing::PrintToString(FileText(file));
  EXPECT_EQ(session.SentLine(200), "") << "the dropped line went out";
  EXPECT_LT(vlxtest::IdleCpuShare(session.pid()), vlxtest::kSpinShare) << "spins";
  kill(session.pid(), SIGTERM);
  EXPECT_EQ(session.WaitExit(), (Ended{-1, SIGTERM}));
}

TEST(Faults, APortInUseOrAConsoleIsRefusedWithoutBeingOpened) {
  VLX_REQUIRE_SANDBOX();
  // Refused before it is opened: an open would move the holder's lines, or
  // the console's. The launcher's refusal, or (`wrapper` in front of the
  // program) the program's own.
  auto expect_refused = [&](const vlxtest::Pty& device, const std::vector<std::string>& wrapper,
                            Ended ended, const std::string& says) {
    TempFile trace("vlx-refused-trace");
    SessionOptions options = vlxtest::Traced(trace.path);
    options.device = device.path.c_str();
    options.wrapper.insert(options.wrapper.begin(), wrapper.begin(), wrapper.end());
    TerminalSession session(options);
    EXPECT_EQ(session.WaitExit(), ended);
    EXPECT_NE(session.Screen().find(says), std::string::npos) << session.Screen();
    for (const vlxtest::TraceEvent& e : vlxtest::ReadTrace(trace.path)) ADD_FAILURE() << e.text;
  };
  auto in_use = [](const vlxtest::Pty& held, const std::string& holder) {
    return "vlxterm-on: " + held.path + " is in use by " + holder + ": close it first\n";
  };
  {
    // The pty bound over COM1's node is, as the kernel lists it here (a
    // list of the sandbox's own), the system console.
    vlxtest::Pty console;
    struct stat st {};
    ASSERT_EQ(stat(console.path.c_str(), &st), 0);
    const std::string number =
        std::to_string(major(st.st_rdev)) + ":" + std::to_string(minor(st.st_rdev));
    TempFile consoles("vlx-consoles");
    std::ofstream(consoles.path) << "hvc0                 -W- (EC  p a)    " << number << "\n";
    expect_refused(
        console,
        {"/bin/sh", "-c", "mount --bind \"$0\" /proc/consoles && exec \"$@\"", consoles.path},
        {1, 0},
        "---\nvlxterm: refusing /dev/ttyS0 (" + number +
            "): it is the system console (a console the kernel lists (hvc0)); pick a "
            "serial device with vlxterm-on --list and start vlxterm with vlxterm-on "
            "DEVICE\nCOM1");
  }
  {
    // A plain flock from another process.
    vlxtest::Pty held;
    pid_t holder = vlxtest::SpawnLockHolder(held.path);
    expect_refused(held, {}, {125, 0}, in_use(held, "sleep (pid " + std::to_string(holder) + ")"));
    kill(holder, SIGKILL);
    vlxtest::WaitChild(holder, 5000);
  }
  const char* picocom = "/usr/bin/picocom";
  if (access(picocom, X_OK) != 0) VLX_SKIP_OUTSIDE_CI("picocom is not installed");
  vlxtest::Pty held, picocom_console;
  picocom_console.Apply(vlxtest::ShellSettings());
  pid_t peer = vlxtest::SpawnOnConsole(picocom_console, {picocom, "-q", "-b", "115200", held.path});
  ASSERT_TRUE(vlxtest::WaitSpeed(held, B115200));
  expect_refused(held, {}, {125, 0}, in_use(held, "picocom (pid " + std::to_string(peer) + ")"));
  kill(peer, SIGKILL);
  vlxtest::WaitChild(peer, 5000);
}

}  // namespace
