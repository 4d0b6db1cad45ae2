#include "terminal_session.h"

#include <signal.h>

namespace vlxtest {

TerminalSession::TerminalSession(std::vector<std::string> env, const char* device_path,
                                 const std::string& trace_file) {
  console.Apply(ShellSettings());
  // Not 2400 and raw, so that the program's own set-up can be seen.
  device.Apply(RawSettings(B9600));
  std::vector<std::string> argv{"/bin/bash", LauncherPath(),
                                device_path != nullptr ? device_path : device.path};
  if (!trace_file.empty()) {
    // Preloaded into vlxterm alone, not into the launcher's tools.
    argv.insert(argv.end(), {"/usr/bin/env", "LD_PRELOAD=" + RtsTracePath(),
                             "VLX_TRACE_FILE=" + trace_file,
                             "ASAN_OPTIONS=verify_asan_link_order=0"});
  }
  argv.push_back(VlxtermPath());
  pid_ = SpawnOnConsole(console, argv, env);
}

TerminalSession::~TerminalSession() {
  if (!reaped_ && pid_ > 0) {
    kill(pid_, SIGKILL);
    WaitChild(pid_, 5000);
  }
}

bool TerminalSession::WaitForScreen(std::string_view text, int timeout_ms) {
  return ReadUntil(console.master, text, timeout_ms, &screen_);
}

void TerminalSession::ReadScreenFor(int ms) { ReadFor(console.master, ms, &screen_); }

bool TerminalSession::WaitPortReady(int timeout_ms) {
  return WaitUntil(
      [&] {
        termios tio = device.Settings();
        return cfgetospeed(&tio) == B2400;
      },
      timeout_ms);
}

bool TerminalSession::WaitConsoleReady(int timeout_ms) {
  return WaitUntil([&] { return (console.Settings().c_lflag & ICANON) == 0; }, timeout_ms);
}

std::optional<Ended> TerminalSession::WaitExit(int timeout_ms) {
  auto ended = WaitChild(pid_, timeout_ms);
  if (ended) reaped_ = true;
  // Whatever it wrote before it ended is still in the pty.
  ReadFor(console.master, 20, &screen_);
  return ended;
}

}  // namespace vlxtest
