// POSIX serial primitives: a tty device stands in for the Win32 COM port.
#include "comport_posix.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "comport_platform.h"

namespace {

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

// The driver's receive queue, partly kept here: one read takes all that
// waits, and the one-byte reads are served from it. The terminal still
// takes one byte per pass, with a fraction of the system calls. Once this
// part has drained, every count asks the driver again: a count of 0 must
// mean that nothing waits there either, or a key would be served first.
struct ReceiveQueue {
  int fd = -1;
  uint8_t bytes[1024];
  size_t next = 0;
  size_t end = 0;
};
ReceiveQueue received;

// Bytes waiting here, after a read of the driver's when none were left.
size_t Refill(int fd) {
  if (received.fd != fd) {
    received = ReceiveQueue{};
    received.fd = fd;
  }
  if (received.next == received.end) {
    received.next = received.end = 0;
    ssize_t got;
    do {
      got = read(fd, received.bytes, sizeof received.bytes);  // VMIN=0: never waits
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
  // Non-blocking so that a modem line (DCD) cannot hold up the open.
  int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return -1;
  // Exclusive like a Windows COM port: flock keeps out every other process
  // (root too); TIOCEXCL also refuses later opens by unprivileged ones.
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    close(fd);
    return -1;
  }
  ioctl(fd, TIOCEXCL);
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
  tcsetattr(fd, TCSANOW, &tio);
  SetModemLine(fd, TIOCM_DTR, true);
  SetModemLine(fd, TIOCM_RTS, false);
  // Writes wait until the byte is taken, as a synchronous WriteFile does;
  // reads still return at once because VMIN and VTIME are 0.
  int flags = fcntl(fd, F_GETFL);
  if (flags != -1) fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  return true;
}

// At least this many bytes wait (more may wait in the driver); 0 when
// none do or the port cannot be read.
uint32_t RxCount(PortHandle fd) { return static_cast<uint32_t>(Refill(fd)); }

int ReadByte(PortHandle fd, uint8_t* byte) {
  if (Refill(fd) == 0) return 0;
  *byte = received.bytes[received.next++];
  return 1;
}

void WriteByte(PortHandle fd, uint8_t byte) {
  ssize_t put;
  do {
    put = write(fd, &byte, 1);
  } while (put < 0 && errno == EINTR);
}

void SetRts(PortHandle fd, bool high) { SetModemLine(fd, TIOCM_RTS, high); }

void SleepMs(unsigned milliseconds) {
  timespec left{static_cast<time_t>(milliseconds / 1000),
                static_cast<long>(milliseconds % 1000) * 1000000L};
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

void Close(PortHandle fd) {
  if (received.fd == fd) received = ReceiveQueue{};
  close(fd);
}

}  // namespace comport_platform
