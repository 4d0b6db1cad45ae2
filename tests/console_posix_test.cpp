// The POSIX console: keys from a pty that is a child's controlling terminal.
#include "console_posix.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <functional>

#include "console.h"
#include "output_posix.h"
#include "pty_support.h"

namespace {

using vlxtest::Ended;

void Report(int fd, const char* text) { (void)!write(fd, text, std::strlen(text)); }

// Runs body in a child whose controlling terminal is `console`'s slave;
// body reports through the descriptor it is given. Under job control the
// child is a job of a stand-in shell in that session, as under a real
// shell; otherwise it leads its own session, an orphaned process group.
enum class Setting { kOrphaned, kJobControl, kNoTerminal };

class ConsoleChild {
 public:
  explicit ConsoleChild(const std::function<void(int report)>& body,
                        Setting setting = Setting::kOrphaned) {
    console.Apply(vlxtest::ShellSettings());
    int pipe_fds[2];
    EXPECT_EQ(pipe(pipe_fds), 0);
    if (setting == Setting::kJobControl) {
      job_ = vlxtest::SpawnJob(console, [&] {
        close(pipe_fds[0]);
        body(pipe_fds[1]);
      });
      leader_ = job_.shell;
      pid_ = job_.pid;
    } else {
      leader_ = pid_ = vlxtest::SpawnChild(setting == Setting::kOrphaned ? &console : nullptr, [&] {
        close(pipe_fds[0]);
        body(pipe_fds[1]);
      });
    }
    close(pipe_fds[1]);
    report_ = pipe_fds[0];
  }
  ~ConsoleChild() {
    if (!ended_) {
      kill(pid_, SIGKILL);
      kill(leader_, SIGKILL);
      vlxtest::WaitChild(leader_, 5000);
    }
    close(report_);
  }

  bool WaitReport(const std::string& text, int timeout_ms = 5000) {
    return vlxtest::ReadUntil(report_, text, timeout_ms, &reports);
  }
  // Waits until the child waits in _getch (signals off on its terminal).
  bool WaitReading() {
    return vlxtest::WaitUntil([&] { return (console.Settings().c_lflag & ISIG) == 0; }, 5000);
  }
  std::optional<Ended> WaitEnd(int timeout_ms = 5000) {
    auto ended = vlxtest::WaitChild(leader_, timeout_ms);
    ended_ = ended.has_value();
    return ended;
  }
  pid_t pid() const { return pid_; }
  const vlxtest::Job& job() const { return job_; }

  vlxtest::Pty console;
  std::string reports;

 private:
  vlxtest::Job job_;
  pid_t leader_ = -1;
  pid_t pid_ = -1;
  int report_ = -1;
  bool ended_ = false;
};

TEST(ConsolePosix, KeysReadWithoutEnterOrEchoAsWindowsCodes) {
  struct Case {
    const char* what;
    std::string typed;
    int codes;
    std::string read;
  };
  const Case cases[] = {
      {"a letter, no Enter needed", "a", 1, "97 "},
      {"the erase character is Backspace", "\x7F", 1, "8 "},
      {"Enter is 13", "\r", 1, "13 "},
      {"Ctrl+C while a key is awaited", "\x03", 1, "3 "},
      {"Ctrl+S and Ctrl+V are keys too", "\x13\x16", 2, "19 22 "},
      {"an arrow key", "\x1B[A", 2, "224 72 "},
      {"F1", "\x1BOP", 2, "0 59 "},
      {"a lone Esc", "\x1B", 1, "27 "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ConsoleChild child([&](int report) {
      console::_kbhit();  // takes the console over
      Report(report, "ready\n");
      char text[64] = "";
      for (int i = 0; i < c.codes; ++i) {
        std::snprintf(text + std::strlen(text), sizeof text - std::strlen(text), "%d ",
                      console::_getch());
      }
      Report(report, text);
      Report(report, "\n");
    });
    ASSERT_TRUE(child.WaitReport("ready\n"));
    ASSERT_TRUE(child.WaitReading());
    vlxtest::WriteAll(child.console.master, c.typed);
    ASSERT_TRUE(child.WaitReport(c.read + "\n"));
    EXPECT_EQ(child.reports, "ready\n" + c.read + "\n");
    EXPECT_EQ(child.WaitEnd(), (Ended{0, 0}));
    std::string echoed;
    vlxtest::ReadFor(child.console.master, 20, &echoed);
    EXPECT_EQ(echoed, "");
  }
}

TEST(ConsolePosix, KeyTestNeverWaitsAndCountsThePendingCode) {
  ConsoleChild child([](int report) {
    Report(report, console::_kbhit() ? "early " : "none ");
    Report(report, "ready\n");
    while (!console::_kbhit()) usleep(1000);
    char text[64];
    int lead = console::_getch();
    int between = console::_kbhit();
    int code = console::_getch();
    std::snprintf(text, sizeof text, "%d %d %d %d\n", lead, between, code, console::_kbhit());
    Report(report, text);
  });
  ASSERT_TRUE(child.WaitReport("ready\n"));
  vlxtest::WriteAll(child.console.master, "\x1B[B");
  ASSERT_TRUE(child.WaitReport("\n", 5000) && child.WaitReport("0\n"));
  EXPECT_EQ(child.reports, "none ready\n224 1 80 0\n");
}

TEST(ConsolePosix, WithoutATerminalNoKeyAndReadsFail) {
  ConsoleChild child(
      [](int report) {
        char text[32];
        std::snprintf(text, sizeof text, "%d %d %d\n", console::_kbhit(), console::_getch(),
                      console::KeyPollFd());
        Report(report, text);
      },
      Setting::kNoTerminal);
  ASSERT_TRUE(child.WaitReport("\n"));
  EXPECT_EQ(child.reports, "0 -1 -1\n");
}

// As the program's exits by signal do it: the user's mode back, then the
// signal's own end.
void EndBySignalRestoring(int signal_number) {
  console::RestoreUserMode();
  signal(signal_number, SIG_DFL);
  raise(signal_number);
}

TEST(ConsolePosix, UserSettingsComeBackAtEveryEnd) {
  struct Case {
    const char* what;
    bool reading;  // waiting in _getch when it ends
    int signal;    // 0: ends by exit()
    Ended ended;
  };
  const Case cases[] = {
      {"exit", false, 0, {0, 0}},
      {"SIGINT at idle", false, SIGINT, {-1, SIGINT}},
      {"SIGINT while reading", true, SIGINT, {-1, SIGINT}},
      {"SIGTERM", false, SIGTERM, {-1, SIGTERM}},
      {"SIGHUP while reading", true, SIGHUP, {-1, SIGHUP}},
      {"SIGQUIT", false, SIGQUIT, {-1, SIGQUIT}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ConsoleChild child([&](int report) {
      if (c.signal != 0) signal(c.signal, EndBySignalRestoring);
      console::_kbhit();
      Report(report, "ready\n");
      if (c.signal == 0) std::exit(0);
      if (c.reading) console::_getch();
      for (;;) pause();
    });
    termios before = vlxtest::ShellSettings();
    ASSERT_TRUE(child.WaitReport("ready\n"));
    if (c.reading) {
      ASSERT_TRUE(child.WaitReading());
    }
    if (c.signal != 0) {
      EXPECT_FALSE(vlxtest::SameSettings(child.console.Settings(), before));
      kill(child.pid(), c.signal);
    }
    EXPECT_EQ(child.WaitEnd(), c.ended);
    EXPECT_TRUE(vlxtest::SameSettings(child.console.Settings(), before));
  }
}

TEST(ConsolePosix, CtrlZHandsTheTerminalBackUntilContinued) {
  for (Setting setting : {Setting::kJobControl, Setting::kOrphaned}) {
    bool job = setting == Setting::kJobControl;
    SCOPED_TRACE(job ? "a job under a shell" : "an orphaned process group");
    ConsoleChild child(
        [](int report) {
          signal(SIGTERM, EndBySignalRestoring);
          console::_kbhit();
          Report(report, "ready\n");
          for (;;) pause();
        },
        setting);
    ASSERT_TRUE(child.WaitReport("ready\n"));
    termios before = vlxtest::ShellSettings();
    kill(child.pid(), SIGTSTP);
    if (job) {
      // Stopped: the user's shell has its terminal back.
      ASSERT_TRUE(vlxtest::WaitJobStopped(child.job(), 5000));
      EXPECT_TRUE(vlxtest::SameSettings(child.console.Settings(), before));
      vlxtest::ForegroundJob(child.job());
    } else {
      usleep(100 * 1000);  // no stop here: the system discards it
    }
    // Running again: keys without Enter and without echo.
    EXPECT_TRUE(vlxtest::WaitUntil(
        [&] { return (child.console.Settings().c_lflag & (ICANON | ECHO)) == 0; }, 5000));
    kill(child.pid(), SIGTERM);
    EXPECT_EQ(child.WaitEnd(), (Ended{-1, SIGTERM}));
    EXPECT_TRUE(vlxtest::SameSettings(child.console.Settings(), before));
  }
}

TEST(ConsolePosix, ShiftJisMessageIsConvertedWherePossible) {
  char probe[8];
  size_t probe_length = 0;
  if (!console::ConvertShiftJis("COM1", "UTF-8", probe, sizeof probe, &probe_length)) {
    GTEST_SKIP() << "no character set converters here (the arm64 sysroot under QEMU's "
                    "user-mode emulator has no gconv modules)";
  }
  const char* message =
      "COM1\x83\x7c\x81\x5b\x83\x67\x82\xaa\x91\xb6\x8d\xdd\x82\xb5\x82\xc8\x82\xa2"
      "\x82\xa9\x81\x41\x8a\xf9\x82\xc9\x8e\x67\x97\x70\x92\x86\x82\xc5\x82\xb7\n";
  struct Case {
    const char* codeset;
    bool converts;
    std::string out;
  };
  const Case cases[] = {
      {"UTF-8", true, "COM1ポートが存在しないか、既に使用中です\n"},
      {"CP932", true, message},
      {"EUC-JP", true,
       "COM1\xA5\xDD\xA1\xBC\xA5\xC8\xA4\xAC\xC2\xB8\xBA\xDF\xA4\xB7\xA4\xCA\xA4\xA4"
       "\xA4\xAB\xA1\xA2\xB4\xFB\xA4\xCB\xBB\xC8\xCD\xD1\xC3\xE6\xA4\xC7\xA4\xB9\n"},
      {"ANSI_X3.4-1968", false, ""},
      {"NO-SUCH-CODESET", false, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.codeset);
    char out[256];
    size_t length = 0;
    EXPECT_EQ(console::ConvertShiftJis(message, c.codeset, out, sizeof out, &length), c.converts);
    if (c.converts) {
      EXPECT_EQ(std::string(out, length), c.out);
    }
  }
  char tiny[4];
  size_t length = 0;
  EXPECT_FALSE(console::ConvertShiftJis(message, "UTF-8", tiny, sizeof tiny, &length));
}

}  // namespace
