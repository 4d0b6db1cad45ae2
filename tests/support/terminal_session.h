// One run of the real vlxterm in the sandbox: a console pty as its
// controlling terminal and a device pty bound over COM1's device.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "pty_support.h"

namespace vlxtest {

struct SessionOptions {
  std::vector<std::string> env;      // NAME=VALUE
  const char* device = nullptr;      // stands in for COM1; default: the session's device pty
  std::vector<std::string> wrapper;  // runs in front of the program (which it must exec)
  std::string stdout_file;           // standard output to this file instead of the console
  bool as_job = false;               // as a job of a stand-in shell, with job control
  bool no_terminal = false;          // in a session of its own without a controlling terminal
  // Instead of vlxterm in the sandbox: another terminal program and its
  // arguments, run as it is with the device pty's path as last argument.
  std::vector<std::string> peer;
};

// vlxterm with the modem-line recorder preloaded, logging to trace_file.
inline SessionOptions Traced(const std::string& trace_file) {
  SessionOptions options;
  options.wrapper = {"/usr/bin/env", "LD_PRELOAD=" + RtsTracePath(), "VLX_TRACE_FILE=" + trace_file,
                     "ASAN_OPTIONS=verify_asan_link_order=0"};
  return options;
}

class TerminalSession {
 public:
  explicit TerminalSession(const SessionOptions& options = {});
  ~TerminalSession();

  Pty console;
  Pty device;
  termios device_found;   // the device's settings as the program finds them
  termios console_found;  // the console's, read before the program starts

  // Everything the program has written to the console so far.
  const std::string& Screen() const { return screen_; }
  bool WaitForScreen(std::string_view text, int timeout_ms = 5000);
  // Reads the console for ms milliseconds more.
  void ReadScreenFor(int ms);

  // Waits until the program has shown its four start-up lines, set the
  // device line up and taken the console over; or only the last two.
  bool WaitStarted();
  bool WaitSetUp();
  // Waits until the program has set the device line up (and so opened it).
  bool WaitPortReady(int timeout_ms = 5000);
  // Waits until the program has taken the console over (keys without Enter).
  bool WaitConsoleReady(int timeout_ms = 5000);

  void Type(std::string_view keys) { WriteAll(console.master, keys); }
  // What the device receives up to and with the next CR.
  std::string SentLine(int timeout_ms = 5000) {
    return BytesOf(ReadArrivals(device.master, '\r', timeout_ms));
  }
  void DeviceSends(std::string_view bytes) { WriteAll(device.master, bytes); }

  std::optional<Ended> WaitExit(int timeout_ms = 5000);
  pid_t pid() const { return pid_; }
  const Job& job() const { return job_; }

 private:
  pid_t pid_ = -1;
  Job job_;
  bool reaped_ = false;
  std::string screen_;
};

// How many bytes of a text go out when Esc is typed at `typed_us` while it
// is sent (`arrivals` as the device saw them, its CR included): those that
// had arrived by then, since the Esc falls in the last one's hold and the
// test after that byte stops the text. Typed in the last 5 ms of a hold (as
// the reader saw it, perhaps late), it may be seen only at the next test:
// one more byte may go out then.
struct EscCut {
  size_t least;
  size_t most;
};
EscCut CutByEscAt(const std::vector<Arrival>& arrivals, int64_t typed_us);

// The four lines vlxterm starts with, as they reach the console.
inline constexpr std::string_view kStartupLines =
    "VLX Test terminal by Q.Zolb \n To exit, push [ESC] key \n Port=1 , Baud=2400\n---\n";
// The same lines as another terminal shows them: each ended by
// `line_end`, with or without the blanks at their ends.
std::string StartupLinesShown(std::string_view line_end, bool trailing_blanks);

}  // namespace vlxtest
