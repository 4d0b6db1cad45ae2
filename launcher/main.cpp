// vlxterm-on DEVICE [PROGRAM [ARG...]], vlxterm-on --list: runs vlxterm (or
// PROGRAM) with DEVICE standing in for COM1, in a private mount namespace
// where DEVICE is bound over /dev/ttyS0. Nothing outside the namespace
// changes. Only serial terminals get through, and no console, no other
// session's terminal, no port in use; all decided without opening DEVICE.
#include <fcntl.h>
#include <limits.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "holders_linux.h"
#include "port_list.h"
#include "refusal.h"
#include "sandbox.h"
#include "shown_text.h"

namespace {

using shown::Shown;

constexpr int kRefused = 125;  // every refusal and set-up failure
constexpr int kUsage = 2;

constexpr char kUsageText[] =
    "usage: vlxterm-on DEVICE [PROGRAM [ARG...]]\n"
    "       vlxterm-on --list\n"
    "\n"
    "Runs PROGRAM (by default the vlxterm beside vlxterm-on, else vlxterm from\n"
    "PATH) with DEVICE standing in for COM1 (/dev/ttyS0), in a private mount\n"
    "namespace. Refuses consoles, what is not a serial terminal, and a port in\n"
    "use by another program. --list (-l) shows the machine's serial ports.\n"
    "Exit status: PROGRAM's, or 125 when vlxterm-on refuses or cannot set up.\n";

[[noreturn]] void Fail(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::fputs("vlxterm-on: ", stderr);
  std::vfprintf(stderr, format, args);  // NOLINT
  std::fputs("\n", stderr);
  va_end(args);
  std::exit(kRefused);
}

// ModemManager opens each new USB adapter for a few seconds to see whether
// it is a modem, with an exclusive open that only the program's own refusal
// sees. Said when udev names the device its candidate and it runs.
void NoteModemManager(dev_t device, bool running) {
  char path[64], data[4096];
  std::snprintf(path, sizeof path, "/run/udev/data/c%u:%u", major(device), minor(device));
  int fd = running ? open(path, O_RDONLY | O_CLOEXEC) : -1;
  if (fd < 0) return;
  ssize_t got = read(fd, data, sizeof data - 1);
  close(fd);
  data[got > 0 ? got : 0] = '\0';
  if (std::strstr(data, "E:ID_MM_CANDIDATE=1\n") == nullptr ||
      std::strstr(data, "E:ID_MM_DEVICE_IGNORE=1\n") != nullptr) {
    return;
  }
  std::fputs(
      "vlxterm-on: note: ModemManager probes new adapters for a few seconds after they are "
      "plugged in; if vlxterm finds the port busy, wait and try again, or have ModemManager "
      "leave it alone with a udev rule setting ENV{ID_MM_DEVICE_IGNORE}=\"1\"\n",
      stderr);
}

// The vlxterm beside this program: installed, or in a build tree.
void ProgramBeside(char* path, size_t size) {
  char self[PATH_MAX];
  ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
  if (length > 0) {
    self[length] = '\0';
    char* slash = std::strrchr(self, '/');
    if (slash != nullptr) *slash = '\0';
    std::snprintf(path, size, "%s/vlxterm", self);
    if (access(path, X_OK) == 0) return;
  }
  std::snprintf(path, size, "vlxterm");
}

int Launch(const char* device, char** program) {
  Caller caller;
  KnowCaller(&caller);
  char beside[PATH_MAX + 16];
  char* default_program[] = {beside, nullptr};
  if (program[0] == nullptr) {
    ProgramBeside(beside, sizeof beside);
    program = default_program;
  }

  // Pinned (a descriptor that opens no driver and raises no line), then
  // judged through it, with the caller's own credentials.
  int judged = open(device, O_PATH | O_CLOEXEC);
  if (judged < 0 && (errno == ENOENT || errno == ENOTDIR)) {
    Fail("%s: no such device", Shown(device).text);
  }
  if (judged < 0) Fail("%s: %s", Shown(device).text, std::strerror(errno));
  Candidate candidate{};
  candidate.path = device;
  char access_path[32];
  std::snprintf(access_path, sizeof access_path, "/proc/self/fd/%d", judged);
  if (fstat(judged, &candidate.file) != 0) Fail("%s: %s", Shown(device).text, std::strerror(errno));
  Judge(&candidate, access_path, caller);
  ProcessScan scan{};
  if (!candidate.refused) {
    scan = ScanProcesses(&candidate.use, 1, caller.ancestors, caller.ancestor_count);
    JudgeHolders(&candidate);
  }
  if (candidate.refused) Fail("%s", candidate.message);
  NoteModemManager(candidate.file.st_rdev, scan.saw_modem_manager);

  char why[256];
  if (!EnterPrivateNamespace(why, sizeof why)) Fail("%s", why);
  // Pinned again inside, where it can be bound (a descriptor from another
  // mount namespace cannot): it must be the very file judged.
  int pinned = open(device, O_PATH | O_CLOEXEC);
  struct stat file {};
  if (pinned < 0 || fstat(pinned, &file) != 0) {
    Fail("%s is gone since it was checked (%s): plug it in and start vlxterm-on again",
         Shown(device).text, std::strerror(errno));
  }
  if (file.st_dev != candidate.file.st_dev || file.st_ino != candidate.file.st_ino) {
    Fail("%s changed while it was checked (a link re-pointed?): start vlxterm-on again",
         Shown(device).text);
  }
  if (!BindAsCom1(pinned, candidate.file, why, sizeof why)) Fail("%s: %s", Shown(device).text, why);
  close(pinned);
  close(judged);

  execvp(program[0], program);
  int failure = errno;
  std::fprintf(stderr, "vlxterm-on: cannot run %s: %s\n", Shown(program[0]).text,
               std::strerror(failure));
  return failure == ENOENT ? 127 : 126;
}

}  // namespace

int main(int argc, char** argv) {
  // Installed set-user-ID or set-group-ID it would run any program, in a
  // namespace it made, with rights that are not its caller's. Nothing more
  // runs with them (no exit handlers either).
  if (getuid() != geteuid() || getgid() != getegid()) {
    std::fputs(
        "vlxterm-on: refusing to run set-user-ID or set-group-ID: it would run any program with "
        "rights that are not yours; install it with mode 0755\n",
        stderr);
    _exit(kRefused);
  }
  int first = 1;
  if (argc > 1 && std::strcmp(argv[1], "--") == 0) {
    first = 2;
  } else if (argc > 1 && argv[1][0] == '-' && argv[1][1] != '\0') {
    const char* option = argv[1];
    if (argc == 2 && (std::strcmp(option, "-h") == 0 || std::strcmp(option, "--help") == 0)) {
      std::fputs(kUsageText, stdout);
      return 0;
    }
    if (argc == 2 && (std::strcmp(option, "-l") == 0 || std::strcmp(option, "--list") == 0)) {
      ListPorts();
      return 0;
    }
    first = argc;  // an unknown option, or one with arguments it does not take
  }
  if (first >= argc) {
    std::fputs(kUsageText, stderr);
    return kUsage;
  }
  return Launch(argv[first], argv + first + 1);
}
