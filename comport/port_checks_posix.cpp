// The port checks from /proc and sysfs: consoles and serial terminals by
// device number, locks and the processes that hold devices.
#include <dirent.h>
#include <fcntl.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "port_checks.h"
#include "posix_calls.h"

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

bool Skipped(pid_t pid, const pid_t* skip, int skip_count) {
  for (int i = 0; i < skip_count; ++i) {
    if (skip[i] == pid) return true;
  }
  return false;
}

// The fields of /proc/PID/stat that matter here.
struct ProcessStat {
  char command[64];
  pid_t parent, session;
  dev_t terminal;  // 0: none
};

bool ReadStat(const char* pid_name, ProcessStat* stat) {
  char path[300], text[1024];
  std::snprintf(path, sizeof path, "/proc/%s/stat", pid_name);
  if (!ReadText(path, text, sizeof text)) return false;
  // "PID (COMMAND) STATE PPID PGRP SESSION TTY_NR ...": the command may hold
  // blanks and parentheses, so it ends at the last ')'.
  const char* open = std::strchr(text, '(');
  const char* close = std::strrchr(text, ')');
  if (open == nullptr || close == nullptr || close < open) return false;
  std::snprintf(stat->command, sizeof stat->command, "%.*s", static_cast<int>(close - open - 1),
                open + 1);
  int parent = 0, group = 0, session = 0;
  unsigned tty_nr = 0;
  if (std::sscanf(close + 1, " %*c %d %d %d %u", &parent, &group, &session, &tty_nr) != 4) {
    return false;
  }
  stat->parent = parent;
  stat->session = session;
  // The kernel's packing of a device number into tty_nr.
  stat->terminal =
      tty_nr == 0 ? 0
                  : makedev((tty_nr >> 8) & 0xfff, (tty_nr & 0xff) | ((tty_nr >> 12) & 0xfff00));
  return true;
}

// Records which of `uses` (wanting openers) the process holds open.
void FindOpens(const char* pid_name, bool skipped, DeviceUse* uses, int count) {
  char path[300];
  std::snprintf(path, sizeof path, "/proc/%s/fd", pid_name);
  DIR* fds = opendir(path);  // another user's: not ours to see
  if (fds == nullptr) return;
  while (dirent* entry = readdir(fds)) {
    if (entry->d_name[0] == '.') continue;
    struct stat file {};
    // Follows the descriptor to its file; opens nothing.
    if (fstatat(dirfd(fds), entry->d_name, &file, 0) != 0 || !S_ISCHR(file.st_mode)) continue;
    for (int i = 0; i < count; ++i) {
      if (!uses[i].find_openers || uses[i].device != file.st_rdev) continue;
      if (skipped) {
        uses[i].skipped_opener = true;
      } else if (uses[i].opener == 0) {
        uses[i].opener = static_cast<pid_t>(std::atoi(pid_name));
      }
    }
  }
  closedir(fds);
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
      std::snprintf(what, size, "a console the kernel lists (%.*s)",
                    static_cast<int>(std::strcspn(line, " ")), line);
      return Console::kListed;
    }
  }
  char active[512];
  if (ReadText("/sys/class/tty/console/active", active, sizeof active)) {
    for (char* name = strtok_r(active, " \n", &rest); name != nullptr;
         name = strtok_r(nullptr, " \n", &rest)) {
      dev_t number = 0;
      if (TtyClassNumber(name, &number) && number == device) {
        std::snprintf(what, size, "the active console (%s)", name);
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
        if (ours && !Skipped(static_cast<pid_t>(pid), skip, skip_count)) {
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

ProcessScan ScanProcesses(DeviceUse* uses, int count, const pid_t* skip, int skip_count) {
  ProcessScan scan{};
  bool find_openers = false;
  for (int i = 0; i < count; ++i) {
    uses[i].opener = 0;
    uses[i].skipped_opener = false;
    uses[i].controller = 0;
    find_openers = find_openers || uses[i].find_openers;
  }
  DIR* proc = opendir("/proc");
  if (proc == nullptr) return scan;
  while (dirent* entry = readdir(proc)) {
    if (entry->d_name[0] < '1' || entry->d_name[0] > '9') continue;
    ProcessStat stat{};
    if (!ReadStat(entry->d_name, &stat)) continue;  // ended meanwhile
    pid_t pid = static_cast<pid_t>(std::atoi(entry->d_name));
    if (std::strcmp(stat.command, "ModemManager") == 0) scan.saw_modem_manager = true;
    for (int i = 0; i < count; ++i) {
      if (stat.terminal == 0 || stat.terminal != uses[i].device) continue;
      // The session's leader (a shell) names it best.
      if (uses[i].controller == 0 || stat.session == pid) uses[i].controller = pid;
    }
    if (find_openers) FindOpens(entry->d_name, Skipped(pid, skip, skip_count), uses, count);
  }
  closedir(proc);
  return scan;
}

dev_t ControllingTerminal(pid_t pid) {
  char name[24];
  std::snprintf(name, sizeof name, "%d", static_cast<int>(pid));
  ProcessStat stat{};
  return ReadStat(name, &stat) ? stat.terminal : 0;
}

int Ancestors(pid_t* pids, int most) {
  int count = 0;
  char name[24];
  for (pid_t pid = getpid(); pid > 1 && count < most && !Skipped(pid, pids, count);) {
    pids[count++] = pid;
    ProcessStat stat{};
    std::snprintf(name, sizeof name, "%d", static_cast<int>(pid));
    if (!ReadStat(name, &stat)) break;
    pid = stat.parent;
  }
  return count;
}

bool CommandOf(pid_t pid, char* name, size_t size) {
  char path[64];
  std::snprintf(path, sizeof path, "/proc/%d/comm", static_cast<int>(pid));
  if (!ReadText(path, name, size) || name[0] == '\0') {
    std::snprintf(name, size, "?");
    return false;
  }
  name[std::strcspn(name, "\n")] = '\0';
  return true;
}

}  // namespace port_checks
