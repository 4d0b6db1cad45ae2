// A preload library for the tests: records the modem-line ioctls, the
// writes to descriptors that had them, and the sleeps of the program it is
// loaded into, each with a monotonic time stamp, to the file named by
// VLX_TRACE_FILE. A pty cannot show its modem lines; this can. On request
// it also plays a slow or stubborn driver: VLX_TRACE_OPEN_DELAY_MS holds up
// the serial device's open, VLX_TRACE_KEEP_SPEED makes the line settings
// leave the speed as it was (and say nothing, as some drivers do).
#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

int log_fd = -2;
bool modem_fd[1024];

long long NowUs() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now.tv_sec * 1000000LL + now.tv_nsec / 1000;
}

template <typename F>
F Next(const char* name) {
  return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

void Log(const char* format, ...) {
  if (log_fd == -2) {
    const char* path = std::getenv("VLX_TRACE_FILE");
    log_fd = path ? open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644) : -1;
  }
  if (log_fd < 0) return;
  char line[128];
  int stamp = std::snprintf(line, sizeof line, "%lld ", NowUs());
  va_list args;
  va_start(args, format);
  int text = std::vsnprintf(line + stamp, sizeof line - stamp - 1, format, args);  // NOLINT
  va_end(args);
  int length = stamp + std::min(text, static_cast<int>(sizeof line) - stamp - 2);
  line[length++] = '\n';
  static auto real_write = Next<ssize_t (*)(int, const void*, size_t)>("write");
  real_write(log_fd, line, static_cast<size_t>(length));
}

}  // namespace

extern "C" int ioctl(int fd, unsigned long request, ...) {
  va_list args;
  va_start(args, request);
  void* argument = va_arg(args, void*);
  va_end(args);
  if (request == TIOCMBIS || request == TIOCMBIC || request == TIOCMSET) {
    if (fd >= 0 && fd < 1024) modem_fd[fd] = true;
    const char* what = request == TIOCMBIS ? "set" : request == TIOCMBIC ? "clear" : "assign";
    int bits = *static_cast<int*>(argument);
    Log("%s %d%s%s", what, fd, (bits & TIOCM_DTR) ? " DTR" : "", (bits & TIOCM_RTS) ? " RTS" : "");
  }
  static auto real_ioctl = Next<int (*)(int, unsigned long, void*)>("ioctl");
  int result = real_ioctl(fd, request, argument);
  // On request, a signal at the worst moment of the set-up: right after the
  // exclusive-use request.
  static const char* raise_signal = std::getenv("VLX_TRACE_RAISE_AFTER_EXCL");
  if (request == TIOCEXCL && raise_signal != nullptr) raise(std::atoi(raise_signal));
  return result;
}

// Opens of serial devices (the sandbox's /dev/ttyS0), also through a
// pinned descriptor (/proc/self/fd/N): whether and when the program touches
// the port at all. A pin (O_PATH) opens no driver.
static int Opened(const char* path, int flags, int fd) {
  if (fd < 0 || (flags & O_PATH) != 0) return fd;
  char target[64];
  if (std::strncmp(path, "/proc/self/fd/", 14) == 0) {
    ssize_t length = readlink(path, target, sizeof target - 1);
    target[length > 0 ? length : 0] = '\0';
    path = target;
  }
  if (std::strncmp(path, "/dev/ttyS", 9) == 0) Log("opened %d %s", fd, path);
  return fd;
}

static void DelaySerialOpen(const char* path) {
  static const char* delay_ms = std::getenv("VLX_TRACE_OPEN_DELAY_MS");
  if (delay_ms != nullptr && std::strncmp(path, "/dev/ttyS", 9) == 0) {
    usleep(static_cast<useconds_t>(std::atoi(delay_ms)) * 1000);
  }
}

extern "C" int open(const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  // The mode is there only with O_CREAT or O_TMPFILE. NOLINTNEXTLINE(clang-analyzer-valist.*)
  mode_t mode = (flags & (O_CREAT | O_TMPFILE)) != 0 ? va_arg(args, mode_t) : 0;
  va_end(args);
  DelaySerialOpen(path);
  static auto real_open = Next<int (*)(const char*, int, mode_t)>("open");
  return Opened(path, flags, real_open(path, flags, mode));
}

extern "C" int open64(const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  // The mode is there only with O_CREAT or O_TMPFILE. NOLINTNEXTLINE(clang-analyzer-valist.*)
  mode_t mode = (flags & (O_CREAT | O_TMPFILE)) != 0 ? va_arg(args, mode_t) : 0;
  va_end(args);
  DelaySerialOpen(path);
  static auto real_open = Next<int (*)(const char*, int, mode_t)>("open64");
  return Opened(path, flags, real_open(path, flags, mode));
}

extern "C" int tcsetattr(int fd, int action, const termios* settings) {
  static auto real_tcsetattr = Next<int (*)(int, int, const termios*)>("tcsetattr");
  termios kept = *settings;
  termios now{};
  if (std::getenv("VLX_TRACE_KEEP_SPEED") != nullptr && tcgetattr(fd, &now) == 0) {
    cfsetispeed(&kept, cfgetispeed(&now));
    cfsetospeed(&kept, cfgetospeed(&now));
  }
  return real_tcsetattr(fd, action, &kept);
}

extern "C" ssize_t write(int fd, const void* data, size_t size) {
  static auto real_write = Next<ssize_t (*)(int, const void*, size_t)>("write");
  ssize_t put = real_write(fd, data, size);
  if (fd >= 0 && fd < 1024 && modem_fd[fd]) {
    Log("wrote %d %zd %02x", fd, put, size > 0 ? *static_cast<const unsigned char*>(data) : 0);
  }
  return put;
}

extern "C" int nanosleep(const timespec* request, timespec* remain) {
  static auto real_nanosleep = Next<int (*)(const timespec*, timespec*)>("nanosleep");
  Log("sleep %ld", request->tv_sec * 1000 + request->tv_nsec / 1000000);
  int result = real_nanosleep(request, remain);
  Log("woke %d", result);
  return result;
}
