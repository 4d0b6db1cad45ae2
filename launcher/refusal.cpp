#include "refusal.h"

#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {

// The mark for the list, then the message; the candidate is refused.
void Refuse(Candidate* c, const char* mark, const char* format, ...) {
  c->refused = true;
  std::snprintf(c->mark, sizeof c->mark, "%s", mark);
  va_list args;
  va_start(args, format);
  std::vsnprintf(c->message, sizeof c->message, format, args);  // NOLINT
  va_end(args);
}

void RefuseAsConsole(Candidate* c, const char* what) {
  Refuse(c, "console, refused", "refusing %s (%u:%u): it is %s", c->path, major(c->file.st_rdev),
         minor(c->file.st_rdev), what);
}

// The name of user or group `id` in /etc/passwd or /etc/group ("name:x:id:
// ..."), else the number: devices belong to local users and groups.
void NameOf(const char* table, unsigned id, char* name, size_t size) {
  std::snprintf(name, size, "%u", id);
  std::FILE* lines = std::fopen(table, "re");
  if (lines == nullptr) return;
  char line[512], entry_name[64];
  unsigned entry_id = 0;
  while (std::fgets(line, sizeof line, lines) != nullptr) {
    if (std::sscanf(line, "%63[^:]:%*[^:]:%u:", entry_name, &entry_id) == 2 && entry_id == id) {
      std::snprintf(name, size, "%s", entry_name);
      break;
    }
  }
  std::fclose(lines);
}

void RefuseAccess(Candidate* c) {
  char owner_name[64], group_name[64];
  NameOf("/etc/passwd", c->file.st_uid, owner_name, sizeof owner_name);
  NameOf("/etc/group", c->file.st_gid, group_name, sizeof group_name);
  unsigned mode = c->file.st_mode & 07777;
  char mark[96], advice[160] = "";
  std::snprintf(mark, sizeof mark, "no access (group %s)", group_name);
  // Where the device's group may read and write it, joining it helps.
  if ((mode & 060) == 060) {
    std::snprintf(advice, sizeof advice,
                  "; to use it, join its group: sudo usermod -aG %s \"$USER\", then log in again",
                  group_name);
  }
  Refuse(c, mark, "%s: permission denied (owner %s, group %s, mode 0%o)%s", c->path, owner_name,
         group_name, mode, advice);
}

void RefuseInUse(Candidate* c, pid_t holder) {
  char command[64], mark[96];
  port_checks::CommandOf(holder, command, sizeof command);
  std::snprintf(mark, sizeof mark, "in use by %s (pid %d)", command, static_cast<int>(holder));
  Refuse(c, mark, "%s is %s: close it first", c->path, mark);
}

}  // namespace

void KnowCaller(Caller* caller) {
  *caller = Caller{};
  caller->ancestor_count = port_checks::Ancestors(caller->ancestors, 64);
  // The controlling terminal, and any on standard input, output or error.
  for (int fd = 0; fd <= 2; ++fd) {
    struct stat file {};
    if (isatty(fd) && fstat(fd, &file) == 0)
      caller->terminals[caller->terminal_count++] = file.st_rdev;
  }
  dev_t controlling = port_checks::ControllingTerminal(getpid());
  if (controlling != 0) caller->terminals[caller->terminal_count++] = controlling;
}

void Judge(Candidate* c, const char* access_path, const Caller& caller) {
  c->refused = false;
  c->mark[0] = c->message[0] = '\0';
  c->lock_taker = 0;
  c->use = port_checks::DeviceUse{};
  if (!S_ISCHR(c->file.st_mode)) {
    Refuse(c, "not a character device", "%s is not a character device", c->path);
    return;
  }
  const dev_t device = c->file.st_rdev;
  if (c->file.st_nlink == 0) {
    Refuse(c, "gone", "%s is gone (unplugged?): plug it in again and start vlxterm-on again",
           c->path);
    return;
  }
  char what[128];
  port_checks::Console console = port_checks::ConsoleOf(device, what, sizeof what);
  if (console == port_checks::Console::kListed) return RefuseAsConsole(c, what);
  if (console == port_checks::Console::kUnknown) {
    Refuse(c, "perhaps a console, refused", "refusing %s (%u:%u): it may be a console (%s)",
           c->path, major(device), minor(device), what);
    return;
  }
  for (int i = 0; i < caller.terminal_count; ++i) {
    if (caller.terminals[i] == device) {
      return RefuseAsConsole(c, "the terminal vlxterm-on was started from");
    }
  }
  char name[256];
  const char* last = std::strrchr(c->path, '/');
  port_checks::TtyName(device, last != nullptr ? last + 1 : c->path, name, sizeof name);
  if (!port_checks::IsSerialTerminal(device, name)) {
    Refuse(c, "not a serial terminal, refused", "%s is not a serial terminal", c->path);
    return;
  }
  if (access(access_path, R_OK | W_OK) != 0) return RefuseAccess(c);
  c->lock_taker = port_checks::LockTaker(c->file, caller.ancestors, caller.ancestor_count);
  c->use.device = device;
  // A pty's far side (a simulated device, a test) holds it open as a
  // matter of course; a lock whose taker cannot be named is named by who
  // still holds the device open.
  c->use.find_openers = !port_checks::IsPseudoTerminal(device) || c->lock_taker != 0;
}

void JudgeHolders(Candidate* c) {
  if (c->refused) return;
  const port_checks::DeviceUse& use = c->use;
  char command[64];
  if (c->lock_taker > 0 && port_checks::CommandOf(c->lock_taker, command, sizeof command)) {
    return RefuseInUse(c, c->lock_taker);
  }
  if (c->lock_taker != 0) {
    if (use.opener != 0) return RefuseInUse(c, use.opener);
    if (!use.skipped_opener) {
      char taker[48] = "its taker is not recorded";
      if (c->lock_taker > 0) {
        std::snprintf(taker, sizeof taker, "its taker, pid %d, has ended",
                      static_cast<int>(c->lock_taker));
      }
      Refuse(c, "locked", "%s is locked by a program that cannot be named (%s): close it first",
             c->path, taker);
      return;
    }
    // Held by those who started the launcher: theirs to hold, and the
    // program's own refusal says so.
  }
  if (use.controller != 0) {
    char mark[96];
    port_checks::CommandOf(use.controller, command, sizeof command);
    std::snprintf(mark, sizeof mark, "terminal of %s (pid %d)", command,
                  static_cast<int>(use.controller));
    Refuse(c, mark, "%s is the %s", c->path, mark);
    return;
  }
  if (use.opener != 0) RefuseInUse(c, use.opener);
}
