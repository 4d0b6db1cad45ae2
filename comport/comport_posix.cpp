// POSIX serial primitives: a tty device stands in for the Win32 COM port.
#include "comport_posix.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/time.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "comport_platform.h"
#include "console_posix.h"
#include "port_checks.h"
#include "port_identity.h"
#include "posix_calls.h"
#include "shown_text.h"

namespace {

// The rates the port may be set to, and the speeds that set them.
struct Rate {
  uint32_t baud;
  speed_t speed;
};
constexpr Rate kRates[] = {{2400, B2400},   {4800, B4800},   {9600, B9600},    {19200, B19200},
                           {38400, B38400}, {57600, B57600}, {115200, B115200}};

const Rate* RateOf(uint32_t baud) {
  for (const Rate& rate : kRates) {
    if (rate.baud == baud) return &rate;
  }
  return nullptr;
}

// What waits to be read, owned here alone: the bytes of the last read, then
// the driver. One read takes all that waits and the loop's one-byte reads
// are served from it (still one byte per pass, with a fraction of the
// system calls). Once they are gone the count asks the driver again, so a
// count of 0 means nothing waits there either: a key is never served
// before bytes that reached the driver first.
// One count is spared that read: the first after the bytes of a short read
// (the driver had no more then), when the terminal too has been quiet since
// the last wait and holds no key. The loop then goes to its wait, whose
// poll sees whatever reached the driver since (and pushes through what the
// tty layer still holds, which a read may not find yet), so no key can be
// served before it. Any wait, any send, and any other count ask again.
struct ReceiveQueue {
  int fd = -1;
  uint8_t bytes[1024];
  size_t next = 0;
  size_t end = 0;
  bool last_read_short = false;  // and the one count after it not yet made
};
ReceiveQueue received;

// The port as it was found, given back at its close: its settings, and
// whether the exclusive use on it is ours to clear. And whether a call on
// it has failed because its device is gone: after a hang-up the driver
// answers every call so (cdc_acm, ftdi_sio and a pty slave alike), while
// reads of it find 0, as every empty read of a live port does.
struct FoundPort {
  int fd = -1;
  bool settings_read = false;
  termios settings{};
  bool made_exclusive = false;
  bool device_gone = false;
};
FoundPort found;

// Notes a call's failure that says the device is gone; returns `result`.
template <typename Result>
Result Noted(Result result) {
  if (result < 0 && (errno == EIO || errno == ENODEV || errno == ENXIO)) found.device_gone = true;
  return result;
}

// The stop signals, held back while RTS is up (those not blocked already).
constexpr int kStopSignals[] = {SIGTSTP, SIGTTIN, SIGTTOU};
sigset_t stops_held;
bool holding_stops = false;

// Bytes waiting, read from the driver when none are left here.
size_t WaitingBytes(int fd) {
  if (received.fd != fd) {
    received = ReceiveQueue{};
    received.fd = fd;
  }
  if (received.next == received.end) {
    bool spared = received.last_read_short && console::TerminalQuiet();
    received.last_read_short = false;
    if (spared) return 0;
    received.next = received.end = 0;
    ssize_t got = Noted(posix::Retried(
        [&] { return read(fd, received.bytes, sizeof received.bytes); }));  // non-blocking
    if (got > 0) {
      received.end = static_cast<size_t>(got);
      received.last_read_short = received.end < sizeof received.bytes;
    }
  }
  return received.end - received.next;
}

void SetModemLine(int fd, int line, bool high) {
  // TIOCMBIS/TIOCMBIC touch only the named line; TIOCMSET would clobber the
  // others. A pty refuses modem control (EINVAL) and that is fine.
  Noted(ioctl(fd, high ? TIOCMBIS : TIOCMBIC, &line));
}

// Says why the open did not happen, where its caller wants to know.
void Why(const comport_posix::OpenChecks& checks, const char* text) {
  if (checks.why != nullptr) std::snprintf(checks.why, checks.size, "%s", text);
}

// A console: opening it, changing its speed or toggling its lines can hang
// the machine, and on virtual machines COM1 is often the system console.
// Said on standard error where the caller takes no reason.
bool RefusedAsConsole(const char* path, dev_t device, const comport_posix::OpenChecks& checks) {
  char what[512], text[1200];
  port_checks::Console console = port_checks::ConsoleOf(device, what, sizeof what);
  if (console == port_checks::Console::kNone) return false;
  std::snprintf(text, sizeof text,
                "refusing %s (%u:%u): it %s the system console (%s); pick a serial device with "
                "vlxterm-on --list and start vlxterm with vlxterm-on DEVICE",
                shown::Shown(path).text, major(device), minor(device),
                console == port_checks::Console::kUnknown ? "may be" : "is", what);
  Why(checks, text);
  if (checks.why == nullptr) std::fprintf(stderr, "vlxterm: %s\n", text);
  return true;
}

// A device refused after it was opened: forgotten, then closed. It has
// been asked nothing that would make its close wait.
int Refuse(int fd, int* opened) {
  *opened = -1;
  found = FoundPort{};
  close(fd);
  return -1;
}

void OnCloseTick(int) {}

// The kernel's close waits for what the driver still holds to drain, up to
// the port's closing wait (30 s by default), and some drivers keep it
// through the discard (cdc_acm and ftdi_sio have no flush of their own on
// older kernels). That wait sleeps interruptibly: a timer that ticks until
// the close has returned (a tick before the wait begins would be lost)
// cuts it short, and the driver's shutdown drops what it held. The timer's
// signal, which otherwise ends the program, does nothing meanwhile, and it
// is let through where an exit by a signal blocks all others.
void CloseWithoutDraining(int fd) {
  struct sigaction tick {};
  struct sigaction before {};
  tick.sa_handler = OnCloseTick;
  sigemptyset(&tick.sa_mask);
  sigaction(SIGALRM, &tick, &before);
  sigset_t alarm, mask;
  sigemptyset(&alarm);
  sigaddset(&alarm, SIGALRM);
  sigprocmask(SIG_UNBLOCK, &alarm, &mask);
  const itimerval every_20ms{{0, 20000}, {0, 20000}};
  const itimerval off{};
  setitimer(ITIMER_REAL, &every_20ms, nullptr);
  close(fd);
  setitimer(ITIMER_REAL, &off, nullptr);
  sigprocmask(SIG_SETMASK, &mask, nullptr);
  sigaction(SIGALRM, &before, nullptr);
}

}  // namespace

namespace comport_posix {

bool DevicePath(const char* name, char* path, size_t size) {
  if (std::strncmp(name, "COM", 3) != 0) return false;
  char* end = nullptr;
  errno = 0;
  long number = std::strtol(name + 3, &end, 10);
  if (errno != 0 || end == name + 3 || *end != '\0' || number < 1) return false;
  int written = std::snprintf(path, size, "/dev/ttyS%ld", number - 1);
  return written > 0 && static_cast<size_t>(written) < size;
}

int OpenDevice(const char* path, int* opened, const OpenChecks& checks) {
  int unknown = -1;
  if (opened == nullptr) opened = &unknown;
  // Judged before it is opened, through a descriptor that opens no driver,
  // and then that same file is opened: a link re-pointed meanwhile changes
  // nothing.
  int pinned = open(path, O_PATH | O_CLOEXEC);
  if (pinned < 0) {
    Why(checks, errno == ENOENT ? "" : std::strerror(errno));
    return -1;
  }
  struct stat device {};
  char reopen[32];
  std::snprintf(reopen, sizeof reopen, "/proc/self/fd/%d", pinned);
  int fd = -1;
  pid_t holder = 0;
  // A port in use is refused before it is opened, as a Windows COM port
  // refuses a second open before it touches the lines: the driver raises
  // DTR and RTS at every open, under the holder's feet (root passes
  // TIOCEXCL), and RTS would stay up while the holder idles.
  if (fstat(pinned, &device) != 0 ||
      (checks.device != 0 && (!S_ISCHR(device.st_mode) || device.st_rdev != checks.device))) {
    Why(checks, "");  // its node is not that device's yet
  } else if (S_ISCHR(device.st_mode) && RefusedAsConsole(path, device.st_rdev, checks)) {
  } else if ((holder = port_checks::LockTaker(device, nullptr, 0)) != 0 ||
             (checks.device != 0 && (holder = port_checks::OpenerOf(device.st_rdev)) != 0)) {
    char in_use[48];
    std::snprintf(in_use, sizeof in_use, "in use (pid %d)", static_cast<int>(holder));
    Why(checks, in_use);
  } else {
    // Non-blocking so that a modem line (DCD) cannot hold up the open, and
    // so that a write never waits on a device that takes nothing.
    fd = open(reopen, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) Why(checks, std::strerror(errno));
  }
  close(pinned);
  if (fd < 0) return -1;
  found = FoundPort{};
  found.fd = fd;
  *opened = fd;
  // Only a terminal gets terminal requests: to another driver the same
  // numbers may mean something else.
  if (tcgetattr(fd, &found.settings) != 0) {
    Why(checks, "not a terminal");
    return Refuse(fd, opened);
  }
  found.settings_read = true;
  // The driver raised RTS with DTR: take it down first, so that a device
  // keyed by RTS sees no transmit window.
  SetModemLine(fd, TIOCM_RTS, false);
  // Exclusive like a Windows COM port: flock keeps out every other process
  // (root too); TIOCEXCL also refuses later opens by unprivileged ones. It
  // outlives our close while the device's far side stays open, so it is
  // cleared at close when it was ours to set (known before it is set: an
  // exit right after it must clear it).
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    Why(checks, "locked by another program");
    return Refuse(fd, opened);
  }
  int exclusive = 0;
  if (ioctl(fd, TIOCGEXCL, &exclusive) != 0 || exclusive == 0) {
    found.made_exclusive = true;
    if (ioctl(fd, TIOCEXCL) != 0) found.made_exclusive = false;
  }
  return fd;
}

void Untaken(const termios& asked, const termios& got, char* what, size_t size) {
  struct Setting {
    bool taken;
    const char* name;
  };
  const Setting settings[] = {
      {cfgetispeed(&got) == cfgetispeed(&asked), "the input speed"},
      {cfgetospeed(&got) == cfgetospeed(&asked), "the output speed"},
      {(got.c_cflag & CSIZE) == CS8, "8 data bits"},
      {(got.c_cflag & PARENB) == 0, "no parity"},
      {(got.c_cflag & CSTOPB) == 0, "one stop bit"},
      {(got.c_cflag & CRTSCTS) == 0 && (got.c_iflag & (IXON | IXOFF)) == 0, "no flow control"},
      {(got.c_lflag & (ICANON | ECHO | ISIG | IEXTEN)) == 0 && (got.c_oflag & OPOST) == 0 &&
           (got.c_iflag & (ICRNL | INLCR | IGNCR | ISTRIP)) == 0,
       "raw input and output"},
  };
  size_t used = 0;
  what[0] = '\0';
  for (const Setting& setting : settings) {
    if (setting.taken || used >= size) continue;
    int put = std::snprintf(what + used, size - used, "%s%s", used > 0 ? ", " : "", setting.name);
    used += put > 0 ? static_cast<size_t>(put) : 0;
  }
}

}  // namespace comport_posix

namespace comport_platform {

PortHandle NoPort() { return -1; }

bool MapsBaud(uint32_t baud) { return RateOf(baud) != nullptr; }

PortHandle OpenPort(const char* name, PortHandle* opened) {
  char path[32];
  if (!comport_posix::DevicePath(name, path, sizeof path)) return NoPort();
  return comport_posix::OpenDevice(path, opened);
}

bool Configure(PortHandle fd, uint32_t baud, char* why, size_t size) {
  why[0] = '\0';
  // Receive and transmit queue sizes and the event mask have no POSIX
  // equivalent: the tty driver sizes its own buffers and nothing waits on
  // serial events.
  termios tio{};
  if (tcgetattr(fd, &tio) != 0) return false;
  tio.c_iflag &=
      ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF | IXANY | INPCK);
  tio.c_oflag &= ~OPOST;
  tio.c_lflag &= ~(ECHO | ECHOE | ECHOK | ECHONL | ICANON | ISIG | IEXTEN);
  tio.c_cflag &= ~(CSIZE | PARENB | CSTOPB | CRTSCTS);
  tio.c_cflag |= CS8 | CLOCAL | CREAD;
  tio.c_cc[VMIN] = 0;  // a read with nothing waiting returns at once
  tio.c_cc[VTIME] = 0;
  const Rate* rate = RateOf(baud);
  if (rate == nullptr) return false;  // refused before the open; never reached
  cfsetispeed(&tio, rate->speed);
  cfsetospeed(&tio, rate->speed);
  // The driver drops DTR and RTS at the last close, even after a kill -9.
  tio.c_cflag |= HUPCL;
  // A driver may take part of the settings and say nothing: read them back.
  termios taken{};
  char untaken[160];
  if (Noted(tcsetattr(fd, TCSANOW, &tio)) != 0 || tcgetattr(fd, &taken) != 0) {
    std::snprintf(untaken, sizeof untaken, "%s", std::strerror(errno));
  } else {
    comport_posix::Untaken(tio, taken, untaken, sizeof untaken);
  }
  if (untaken[0] != '\0') {
    std::snprintf(why, size, "the port's driver did not take %u 8N1 raw: %s",
                  static_cast<unsigned>(baud), untaken);
    return false;
  }
  SetModemLine(fd, TIOCM_DTR, true);
  SetModemLine(fd, TIOCM_RTS, false);
  return true;
}

// At least this many bytes wait (more may wait in the driver); 0 when
// none do or the port cannot be read.
uint32_t RxCount(PortHandle fd) { return static_cast<uint32_t>(WaitingBytes(fd)); }

void AfterWait(PortHandle) { received.last_read_short = false; }

int ReadByte(PortHandle fd, uint8_t* byte) {
  if (WaitingBytes(fd) == 0) return 0;
  *byte = received.bytes[received.next++];
  return 1;
}

unsigned WriteByte(PortHandle fd, uint8_t byte, unsigned within_ms) {
  received.last_read_short = false;
  const int64_t start = posix::MonotonicUs(), end = start + int64_t{within_ms} * 1000;
  for (;;) {
    ssize_t put = Noted(posix::Retried([&] { return write(fd, &byte, 1); }));
    bool again = put < 0 && errno == EAGAIN;
    int64_t now = posix::MonotonicUs();
    if (!again || now >= end) return static_cast<unsigned>((now < end ? now : end) - start) / 1000;
    pollfd room{fd, POLLOUT, 0};
    poll(&room, 1, static_cast<int>((end - now + 999) / 1000));
  }
}

uint32_t TxCount(PortHandle fd) {
  int queued = 0;
  if (Noted(ioctl(fd, TIOCOUTQ, &queued)) != 0 || queued < 0) return 0;
  return static_cast<uint32_t>(queued);
}

void DiscardOutput(PortHandle fd) { tcflush(fd, TCOFLUSH); }

// RTS is never up while the program is stopped: a stop signal waits until
// it is down again (SIGSTOP alone cannot be made to wait).
void SetRts(PortHandle fd, bool high) {
  if (high && !holding_stops) {
    sigset_t stops, blocked;
    sigemptyset(&stops);
    for (int stop : kStopSignals) sigaddset(&stops, stop);
    sigprocmask(SIG_BLOCK, &stops, &blocked);
    sigemptyset(&stops_held);
    for (int stop : kStopSignals) {
      if (sigismember(&blocked, stop) == 0) sigaddset(&stops_held, stop);
    }
    holding_stops = true;
  }
  SetModemLine(fd, TIOCM_RTS, high);
  if (!high && holding_stops) {
    holding_stops = false;
    sigprocmask(SIG_UNBLOCK, &stops_held, nullptr);
  }
}

void SetDtr(PortHandle fd, bool high) { SetModemLine(fd, TIOCM_DTR, high); }

void SleepMs(unsigned milliseconds) {
  timespec left{static_cast<time_t>(milliseconds / 1000),
                static_cast<long>(milliseconds % 1000) * 1000000L};
  posix::Retried([&] { return nanosleep(&left, &left); });
}

void Close(PortHandle fd) {
  if (received.fd == fd) received = ReceiveQueue{};
  if (fd == found.fd) {
    // TCSANOW: a setting that waited for output to drain would wait on a
    // device that takes nothing.
    if (found.settings_read) tcsetattr(fd, TCSANOW, &found.settings);
    if (found.made_exclusive) ioctl(fd, TIOCNXCL);
    found = FoundPort{};
  }
  CloseWithoutDraining(fd);
}

bool Gone(PortHandle fd) { return fd == found.fd && found.device_gone; }

bool Identify(PortHandle fd, DeviceIdentity* identity) {
  struct stat file {};
  // A node that appears later is out of reach where /dev is not the
  // machine's (the launcher's /dev of its own), and so is the device.
  return fstat(fd, &file) == 0 && port_identity::IdentityOf(file.st_rdev, identity) &&
         port_identity::NewNodesAppear();
}

int PresentPorts(PresentPort* ports, int most) { return port_identity::PresentPorts(ports, most); }

void Describe(const PresentPort& port, char* text, size_t size) {
  port_identity::Describe(port.name, port.node, text, size);
}

// Through its current node (the node COM1 in the launcher's namespace is
// no way back: the system unlinks it, or reuses its number), pinned and
// checked to be the device sysfs names, judged as the first open was.
PortHandle OpenPresent(const PresentPort& port, PortHandle* opened, char* why, size_t size) {
  comport_posix::OpenChecks checks;
  checks.device = static_cast<dev_t>(port.key);
  checks.why = why;
  checks.size = size;
  return comport_posix::OpenDevice(port.node, opened, checks);
}

int64_t MonotonicMs() { return posix::MonotonicMs(); }

}  // namespace comport_platform
