// vlxsim: a simulated serial device on a pseudo-terminal, for trying
// vlxterm without hardware. It prints the device path to use, greets once
// the terminal has set the line up (2400 baud, raw), and answers each
// CR-terminated line in CR LF lines.
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "posix_calls.h"

namespace {

volatile sig_atomic_t stop_requested = 0;
void OnStopSignal(int) { stop_requested = 1; }

int master_fd = -1;

void Send(const void* data, size_t length) {
  const char* next = static_cast<const char*>(data);
  while (length > 0) {
    ssize_t put = posix::Retried([&] { return write(master_fd, next, length); });
    if (put < 0) {
      pollfd out{master_fd, POLLOUT, 0};
      poll(&out, 1, 100);
      continue;
    }
    next += put;
    length -= static_cast<size_t>(put);
  }
}

void SendLine(const char* text) {
  Send(text, std::strlen(text));
  Send("\r\n", 2);
}

void Answer(const char* line) {
  if (std::strcmp(line, "help") == 0) {
    SendLine("commands: help, ver, echo TEXT, bytes (every byte value 0-255), ctrl");
  } else if (std::strcmp(line, "ver") == 0) {
    SendLine("VLX simulated device 1.0");
  } else if (std::strncmp(line, "echo ", 5) == 0) {
    SendLine(line + 5);
  } else if (std::strcmp(line, "bytes") == 0) {
    unsigned char all[256];
    for (int i = 0; i < 256; ++i) all[i] = static_cast<unsigned char>(i);
    Send(all, sizeof all);
    Send("\r\n", 2);
  } else if (std::strcmp(line, "ctrl") == 0) {
    // What a terminal must not obey: clear screen, bell, colour.
    SendLine("before\x1b[2J\x07\x1b[31mafter");
  } else if (line[0] == '\0') {
    SendLine("OK");
  } else {
    char reply[160];
    std::snprintf(reply, sizeof reply, "? unknown command: %.120s (try help)", line);
    SendLine(reply);
  }
}

bool SetUpByTerminal(int slave_fd) {
  termios tio{};
  return tcgetattr(slave_fd, &tio) == 0 && cfgetospeed(&tio) == B2400 &&
         (tio.c_lflag & ICANON) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  const char* path_file = argc > 1 ? argv[1] : nullptr;
  master_fd = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master_fd < 0 || grantpt(master_fd) != 0 || unlockpt(master_fd) != 0) {
    std::perror("vlxsim: pseudo-terminal");
    return 1;
  }
  const char* slave_path = ptsname(master_fd);
  // Held open so that nothing is lost between terminals; raw at another
  // speed so that the terminal's own set-up can be seen.
  int slave_fd = open(slave_path, O_RDWR | O_NOCTTY | O_CLOEXEC);
  termios raw{};
  tcgetattr(slave_fd, &raw);
  cfmakeraw(&raw);
  cfsetspeed(&raw, B9600);
  tcsetattr(slave_fd, TCSANOW, &raw);

  if (path_file != nullptr) {
    FILE* out = std::fopen(path_file, "w");
    if (out == nullptr) {
      std::perror("vlxsim: path file");
      return 1;
    }
    std::fprintf(out, "%s\n", slave_path);
    std::fclose(out);
  } else {
    std::printf("%s\n", slave_path);
    std::fflush(stdout);
  }
  std::signal(SIGTERM, OnStopSignal);
  std::signal(SIGINT, OnStopSignal);
  std::signal(SIGHUP, OnStopSignal);

  bool greeted = false;
  char line[256];
  size_t length = 0;
  while (!stop_requested) {
    if (!greeted && SetUpByTerminal(slave_fd)) {
      SendLine("VLX simulated device ready.");
      SendLine("Type help and press Enter.");
      greeted = true;
    }
    pollfd in{master_fd, POLLIN, 0};
    if (poll(&in, 1, greeted ? -1 : 50) <= 0) continue;
    char received[64];
    ssize_t got = read(master_fd, received, sizeof received);
    for (ssize_t i = 0; i < got; ++i) {
      char c = received[i];
      if (c == '\r') {
        line[length] = '\0';
        Answer(line);
        length = 0;
      } else if (c != '\n' && length + 1 < sizeof line) {
        line[length++] = c;
      }
    }
  }
  return 0;
}
