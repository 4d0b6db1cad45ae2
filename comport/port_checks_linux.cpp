// The port checks from /proc and sysfs (Linux's): consoles and serial
// terminals by device number, and the locks on devices.
#include <dirent.h>
#include <fcntl.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "port_checks.h"
#include "posix_calls.h"
#include "shown_text.h"

namespace port_checks {

bool ReadText(const char* path, char* text, size_t size) {
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  size_t length = 0;
  while (length + 1 < size) {
    ssize_t got = posix::Retried([&] { return read(fd, text + length, size - 1 - length); });
    if (got <= 0) break;
    length += static_cast<size_t>(got);
  }
  close(fd);
  text[length] = '\0';
  return true;
}

namespace {

// "4:64" as sysfs and /proc/consoles write a device number.
bool ParseNumber(const char* text, dev_t* device) {
  unsigned major_number = 0, minor_number = 0;
  int used = 0;
  if (std::sscanf(text, "%u:%u%n", &major_number, &minor_number, &used) != 2) return false;
  *device = makedev(major_number, minor_number);
  return true;
}

bool Named(const char* name, const char* prefix) {
  return std::strncmp(name, prefix, std::strlen(prefix)) == 0;
}

}  // namespace

Console ConsoleOf(dev_t device, char* what, size_t size) {
  if (device == makedev(5, 0)) {
    std::snprintf(what, size, "/dev/tty, the caller's own terminal");
    return Console::kListed;
  }
  if (device == makedev(5, 1)) {
    std::snprintf(what, size, "/dev/console");
    return Console::kListed;
  }
  // "ttyS0                -W- (EC  p a)    4:64": the name first, the
  // number last.
  char consoles[4096];
  if (!ReadText("/proc/consoles", consoles, sizeof consoles)) {
    std::snprintf(what, size, "/proc/consoles cannot be read");
    return Console::kUnknown;
  }
  char* rest = nullptr;
  for (char* line = strtok_r(consoles, "\n", &rest); line != nullptr;
       line = strtok_r(nullptr, "\n", &rest)) {
    const char* last = std::strrchr(line, ' ');
    dev_t listed = 0;
    if (last != nullptr && ParseNumber(last + 1, &listed) && listed == device) {
      line[std::strcspn(line, " ")] = '\0';
      std::snprintf(what, size, "a console the kernel lists (%s)", shown::Shown(line).text);
      return Console::kListed;
    }
  }
  char active[512];
  if (ReadText("/sys/class/tty/console/active", active, sizeof active)) {
    for (char* name = strtok_r(active, " \n", &rest); name != nullptr;
         name = strtok_r(nullptr, " \n", &rest)) {
      dev_t number = 0;
      if (TtyClassNumber(name, &number) && number == device) {
        std::snprintf(what, size, "the active console (%s)", shown::Shown(name).text);
        return Console::kListed;
      }
    }
  }
  if (IsVirtualConsole(device)) {
    std::snprintf(what, size, "a virtual console");
    return Console::kVirtual;
  }
  return Console::kNone;
}

void TtyName(dev_t device, const char* hint, char* name, size_t size) {
  dev_t number = 0;
  if (hint != nullptr && hint[0] != '\0' && TtyClassNumber(hint, &number) && number == device) {
    std::snprintf(name, size, "%s", hint);
    return;
  }
  name[0] = '\0';
  DIR* ttys = opendir("/sys/class/tty");
  if (ttys == nullptr) return;
  while (dirent* entry = readdir(ttys)) {
    if (entry->d_name[0] != '.' && TtyClassNumber(entry->d_name, &number) && number == device) {
      std::snprintf(name, size, "%s", entry->d_name);
      break;
    }
  }
  closedir(ttys);
}

bool TtyClassNumber(const char* name, dev_t* device) {
  char path[300], text[32];
  std::snprintf(path, sizeof path, "/sys/class/tty/%s/dev", name);
  return ReadText(path, text, sizeof text) && ParseNumber(text, device);
}

bool IsVirtualConsole(dev_t device) { return major(device) == 4 && minor(device) < 64; }

bool IsPseudoTerminal(dev_t device) { return major(device) >= 136 && major(device) <= 143; }

bool IsSerialTerminal(dev_t device, const char* tty_name) {
  if (IsPseudoTerminal(device)) return true;  // sysfs does not list pty slaves
  const char* name = tty_name;
  if (name[0] == '\0' || std::strcmp(name, "tty") == 0 || std::strcmp(name, "console") == 0 ||
      std::strcmp(name, "ptmx") == 0 || std::strcmp(name, "ttyprintk") == 0 ||
      std::strcmp(name, "ttynull") == 0 ||
      (Named(name, "tty") && name[3] >= '0' && name[3] <= '9')) {
    return false;
  }
  if (Named(name, "rfcomm") || major(device) == 216) return true;  // Bluetooth: no device
  if (IsVirtualConsole(device)) return false;
  char path[300], type[16];
  std::snprintf(path, sizeof path, "/sys/class/tty/%s/device", name);
  if (access(path, F_OK) != 0) return false;
  std::snprintf(path, sizeof path, "/sys/class/tty/%s/type", name);
  return !ReadText(path, type, sizeof type) || std::atoi(type) != 0;
}

int DevicesOpenBy(const char* pid_name, dev_t* devices, int most) {
  char path[300];
  std::snprintf(path, sizeof path, "/proc/%s/fd", pid_name);
  DIR* fds = opendir(path);
  if (fds == nullptr) return 0;
  int count = 0;
  while (const dirent* entry = count < most ? readdir(fds) : nullptr) {
    struct stat file {};
    if (entry->d_name[0] != '.' && fstatat(dirfd(fds), entry->d_name, &file, 0) == 0 &&
        S_ISCHR(file.st_mode)) {
      devices[count++] = file.st_rdev;
    }
  }
  closedir(fds);
  return count;
}

pid_t OpenerOf(dev_t device) {
  DIR* proc = opendir("/proc");
  if (proc == nullptr) return 0;
  const pid_t self = getpid();
  pid_t opener = 0;
  while (const dirent* entry = opener == 0 ? readdir(proc) : nullptr) {
    const pid_t pid = static_cast<pid_t>(std::atoi(entry->d_name));
    dev_t open[256];
    const int count = pid > 0 && pid != self ? DevicesOpenBy(entry->d_name, open, 256) : 0;
    if (std::find(open, open + count, device) != open + count) opener = pid;
  }
  closedir(proc);
  return opener;
}

pid_t LockTaker(const struct stat& file, const pid_t* skip, int skip_count) {
  std::FILE* locks = std::fopen("/proc/locks", "re");
  if (locks == nullptr) return 0;
  pid_t taker = 0;
  char line[256];
  while (taker == 0 && std::fgets(line, sizeof line, locks) != nullptr) {
    // "1: FLOCK  ADVISORY  WRITE 2345 00:1a:3 0 EOF": the taker's pid, then
    // the file as major:minor (hex) of its file system and inode. A line
    // with "->" is a process waiting for the lock, no taker.
    if (std::strstr(line, "->") != nullptr) continue;
    char* rest = nullptr;
    long pid = 0;
    for (char* field = strtok_r(line, " \n", &rest); field != nullptr;
         field = strtok_r(nullptr, " \n", &rest)) {
      unsigned file_major = 0, file_minor = 0;
      unsigned long long inode = 0;
      int used = 0;
      if (std::sscanf(field, "%x:%x:%llu%n", &file_major, &file_minor, &inode, &used) == 3 &&
          field[used] == '\0') {
        bool ours = file_major == major(file.st_dev) && file_minor == minor(file.st_dev) &&
                    inode == file.st_ino;
        if (ours &&
            std::find(skip, skip + skip_count, static_cast<pid_t>(pid)) == skip + skip_count) {
          taker = pid > 0 ? static_cast<pid_t>(pid) : -1;
        }
        break;
      }
      pid = std::strtol(field, nullptr, 10);
    }
  }
  std::fclose(locks);
  return taker;
}

}  // namespace port_checks
