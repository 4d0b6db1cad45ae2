#include "holders_linux.h"

#include <dirent.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "port_checks.h"

namespace {

bool Skipped(pid_t pid, const pid_t* skip, int skip_count) {
  return std::find(skip, skip + skip_count, pid) != skip + skip_count;
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
  if (!port_checks::ReadText(path, text, sizeof text)) return false;
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
  dev_t open[256];
  const int open_count = port_checks::DevicesOpenBy(pid_name, open, 256);
  for (int i = 0; i < count; ++i) {
    if (!uses[i].find_openers ||
        std::find(open, open + open_count, uses[i].device) == open + open_count) {
      continue;
    }
    if (skipped) {
      uses[i].skipped_opener = true;
    } else if (uses[i].opener == 0) {
      uses[i].opener = static_cast<pid_t>(std::atoi(pid_name));
    }
  }
}

}  // namespace

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
    // Our own pin is no opener: counted as one, every lock whose taker
    // cannot be seen passed as held by those who started us.
    if (find_openers && pid != getpid()) {
      FindOpens(entry->d_name, Skipped(pid, skip, skip_count), uses, count);
    }
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
  for (pid_t pid = getppid(); pid > 1 && count < most && !Skipped(pid, pids, count);) {
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
  if (!port_checks::ReadText(path, name, size) || name[0] == '\0') {
    std::snprintf(name, size, "?");
    return false;
  }
  name[std::strcspn(name, "\n")] = '\0';
  return true;
}
