#include "terminal_session.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

namespace vlxtest {

TerminalSession::TerminalSession(const SessionOptions& options) {
  console.Apply(ShellSettings());
  console_found = console.Settings();
  // Not 2400 and raw, so that the program's own set-up can be seen.
  device.Apply(RawSettings(B9600));
  device_found = device.Settings();
  std::vector<std::string> argv;
  if (options.peer.empty()) {
    argv = {LauncherPath(), options.device != nullptr ? options.device : device.path};
  }
  argv.insert(argv.end(), options.wrapper.begin(), options.wrapper.end());
  if (!options.stdout_file.empty() && !options.no_terminal) {
    argv.insert(argv.end(), {"/bin/bash", "-c", "exec \"$@\" > \"$0\"", options.stdout_file});
  }
  if (options.peer.empty()) {
    for (const std::string& arg : VlxtermCommand()) argv.push_back(arg);
  } else {
    argv.insert(argv.end(), options.peer.begin(), options.peer.end());
    argv.push_back(options.device != nullptr ? options.device : device.path);
  }

  if (options.as_job) {
    job_ = SpawnJob(console, [&] {
      for (const std::string& e : options.env) putenv(const_cast<char*>(e.c_str()));
      Exec(argv);
    });
    pid_ = job_.pid;
  } else if (options.no_terminal) {
    pid_ = SpawnChild(nullptr, [&] {
      int in = open("/dev/null", O_RDONLY);
      int out = open(options.stdout_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      dup2(in, 0);
      dup2(out, 1);
      dup2(out, 2);
      Exec(argv);
    });
  } else {
    pid_ = SpawnOnConsole(console, argv, options.env);
  }
}

TerminalSession::~TerminalSession() {
  if (!reaped_ && pid_ > 0) {
    kill(pid_, SIGKILL);
    if (job_.shell > 0) {
      WaitJobEnd(&job_, 5000);
    } else {
      WaitChild(pid_, 5000);
    }
  }
}

bool TerminalSession::WaitForScreen(std::string_view text, int timeout_ms) {
  return ReadUntil(console.master, text, timeout_ms, &screen_);
}

void TerminalSession::ReadScreenFor(int ms) { ReadFor(console.master, ms, &screen_); }

bool TerminalSession::WaitStarted() { return WaitForScreen(kStartupLines) && WaitSetUp(); }

bool TerminalSession::WaitSetUp() { return WaitPortReady() && WaitConsoleReady(); }

bool TerminalSession::WaitPortReady(int timeout_ms) { return WaitSpeed(device, B2400, timeout_ms); }

bool TerminalSession::WaitConsoleReady(int timeout_ms) {
  return WaitUntil([&] { return (console.Settings().c_lflag & ICANON) == 0; }, timeout_ms);
}

std::optional<Ended> TerminalSession::WaitExit(int timeout_ms) {
  // A job's shell ends as the job does.
  auto ended = job_.shell > 0 ? WaitJobEnd(&job_, timeout_ms) : WaitChild(pid_, timeout_ms);
  if (ended) reaped_ = true;
  // Whatever it wrote before it ended is still in the pty.
  ReadFor(console.master, 20, &screen_);
  return ended;
}

std::string StartupLinesShown(std::string_view line_end, bool trailing_blanks) {
  std::string lines;
  for (size_t at = 0, end; (end = kStartupLines.find('\n', at)) != std::string_view::npos;
       at = end + 1) {
    std::string_view line = kStartupLines.substr(at, end - at);
    if (!trailing_blanks) line = line.substr(0, line.find_last_not_of(' ') + 1);
    lines.append(line).append(line_end);
  }
  return lines;
}

EscCut CutByEscAt(const std::vector<Arrival>& arrivals, int64_t typed_us) {
  size_t before = 0;
  while (before < arrivals.size() && arrivals[before].us <= typed_us) ++before;
  if (before == 0) return {0, 0};
  // The reader may have seen the last byte a few ms late (a loaded machine).
  bool late = typed_us - arrivals[before - 1].us > kHoldUs - kReaderSlackUs;
  return {before, late ? before + 1 : before};
}

}  // namespace vlxtest
