// POSIX serial primitives: a tty device stands in for the Win32 COM port.
#include "comport_posix.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "comport_platform.h"
#include "port_checks.h"

namespace {

int64_t NowUs() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return int64_t{now.tv_sec} * 1000000 + now.tv_nsec / 1000;
}

speed_t SpeedFor(uint32_t baud) {
  switch (baud) {
    case 2400:
      return B2400;
    case 4800:
      return B4800;
    case 9600:
      return B9600;
    case 19200:
      return B19200;
    case 38400:
      return B38400;
    case 57600:
      return B57600;
    default:
      return B115200;  // the portable code admits nothing else
  }
}

// What waits to be read, owned here alone: the bytes of the last read, then
// the driver. One read takes all that waits and the loop's one-byte reads
// are served from it (still one byte per pass, with a fraction of the
// system calls). Once they are gone the count asks the driver again, so a
// count of 0 means nothing waits there either: a key is never served
// before bytes that reached the driver first.
struct ReceiveQueue {
  int fd = -1;
  uint8_t bytes[1024];
  size_t next = 0;
  size_t end = 0;
};
ReceiveQueue received;

// The port on which this program set TIOCEXCL, or -1.
int exclusive_here = -1;

// Bytes waiting, read from the driver when none are left here.
size_t WaitingBytes(int fd) {
  if (received.fd != fd) {
    received = ReceiveQueue{};
    received.fd = fd;
  }
  if (received.next == received.end) {
    received.next = received.end = 0;
    ssize_t got;
    do {
      got = read(fd, received.bytes, sizeof received.bytes);  // non-blocking
    } while (got < 0 && errno == EINTR);
    if (got > 0) received.end = static_cast<size_t>(got);
  }
  return received.end - received.next;
}

void SetModemLine(int fd, int line, bool high) {
  // TIOCMBIS/TIOCMBIC touch only the named line; TIOCMSET would clobber the
  // others. Not checked: a pty refuses modem control and that is fine.
  ioctl(fd, high ? TIOCMBIS : TIOCMBIC, &line);
}

// A console: opening it, changing its speed or toggling its lines can hang
// the machine, and on virtual machines COM1 is often the system console.
bool RefusedAsConsole(const char* path, dev_t device) {
  char what[128];
  port_checks::Console console = port_checks::ConsoleOf(device, what, sizeof what);
  if (console == port_checks::Console::kNone) return false;
  std::fprintf(stderr,
               "vlxterm: refusing %s (%u:%u): it %s the system console (%s); pick a serial "
               "device with vlxterm-on --list and start vlxterm with vlxterm-on DEVICE\n",
               path, major(device), minor(device),
               console == port_checks::Console::kUnknown ? "may be" : "is", what);
  return true;
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

int OpenDevice(const char* path) {
  // Judged before it is opened, through a descriptor that opens no driver,
  // and then that same file is opened: a link re-pointed meanwhile changes
  // nothing.
  int pinned = open(path, O_PATH | O_CLOEXEC);
  if (pinned < 0) return -1;
  struct stat device {};
  char reopen[32];
  std::snprintf(reopen, sizeof reopen, "/proc/self/fd/%d", pinned);
  int fd = -1;
  // A port in use is refused before it is opened, as a Windows COM port
  // refuses a second open before it touches the lines: the driver raises
  // DTR and RTS at every open, under the holder's feet (root passes
  // TIOCEXCL), and RTS would stay up while the holder idles.
  if (fstat(pinned, &device) == 0 &&
      !(S_ISCHR(device.st_mode) && RefusedAsConsole(path, device.st_rdev)) &&
      port_checks::LockTaker(device, nullptr, 0) == 0) {
    // Non-blocking so that a modem line (DCD) cannot hold up the open, and
    // so that a write never waits on a device that takes nothing.
    fd = open(reopen, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  }
  close(pinned);
  if (fd < 0) return -1;
  // Only a terminal gets terminal requests: to another driver the same
  // numbers may mean something else.
  termios settings{};
  if (tcgetattr(fd, &settings) != 0) {
    close(fd);
    return -1;
  }
  // The driver raised RTS with DTR: take it down first, so that a device
  // keyed by RTS sees no transmit window.
  SetModemLine(fd, TIOCM_RTS, false);
  // Exclusive like a Windows COM port: flock keeps out every other process
  // (root too); TIOCEXCL also refuses later opens by unprivileged ones. It
  // outlives our close while the device's far side stays open, so it is
  // cleared at close when it was ours to set.
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    close(fd);
    return -1;
  }
  int exclusive = 0;
  if (ioctl(fd, TIOCGEXCL, &exclusive) != 0 || exclusive == 0) {
    if (ioctl(fd, TIOCEXCL) == 0) exclusive_here = fd;
  }
  return fd;
}

}  // namespace comport_posix

namespace comport_platform {

PortHandle NoPort() { return -1; }

PortHandle OpenPort(const char* name) {
  char path[32];
  if (!comport_posix::DevicePath(name, path, sizeof path)) return NoPort();
  return comport_posix::OpenDevice(path);
}

bool Configure(PortHandle fd, uint32_t baud) {
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
  cfsetispeed(&tio, SpeedFor(baud));
  cfsetospeed(&tio, SpeedFor(baud));
  // The driver drops DTR and RTS at the last close, even after a kill -9.
  tio.c_cflag |= HUPCL;
  tcsetattr(fd, TCSANOW, &tio);
  SetModemLine(fd, TIOCM_DTR, true);
  SetModemLine(fd, TIOCM_RTS, false);
  return true;
}

// At least this many bytes wait (more may wait in the driver); 0 when
// none do or the port cannot be read.
uint32_t RxCount(PortHandle fd) { return static_cast<uint32_t>(WaitingBytes(fd)); }

int ReadByte(PortHandle fd, uint8_t* byte) {
  if (WaitingBytes(fd) == 0) return 0;
  *byte = received.bytes[received.next++];
  return 1;
}

unsigned WriteByte(PortHandle fd, uint8_t byte, unsigned within_ms) {
  const int64_t start = NowUs(), end = start + int64_t{within_ms} * 1000;
  for (;;) {
    ssize_t put = write(fd, &byte, 1);
    bool again = put < 0 && (errno == EINTR || errno == EAGAIN);
    int64_t now = NowUs();
    if (!again || now >= end) return static_cast<unsigned>((now < end ? now : end) - start) / 1000;
    pollfd room{fd, POLLOUT, 0};
    poll(&room, 1, static_cast<int>((end - now + 999) / 1000));
  }
}

uint32_t TxCount(PortHandle fd) {
  int queued = 0;
  if (ioctl(fd, TIOCOUTQ, &queued) != 0 || queued < 0) return 0;
  return static_cast<uint32_t>(queued);
}

void DiscardOutput(PortHandle fd) { tcflush(fd, TCOFLUSH); }

void SetRts(PortHandle fd, bool high) { SetModemLine(fd, TIOCM_RTS, high); }

void SetDtr(PortHandle fd, bool high) { SetModemLine(fd, TIOCM_DTR, high); }

void SleepMs(unsigned milliseconds) {
  timespec left{static_cast<time_t>(milliseconds / 1000),
                static_cast<long>(milliseconds % 1000) * 1000000L};
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

void Close(PortHandle fd) {
  if (received.fd == fd) received = ReceiveQueue{};
  if (fd == exclusive_here) {
    ioctl(fd, TIOCNXCL);
    exclusive_here = -1;
  }
  close(fd);
}

}  // namespace comport_platform
