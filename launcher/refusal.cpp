#include "refusal.h"

#include <linux/magic.h>
#include <sys/statfs.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "port_checks.h"
#include "shown_text.h"

namespace {

using shown::Shown;

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
  Refuse(c, "console, refused", "refusing %s (%u:%u): it is %s", Shown(c->path).text,
         major(c->file.st_rdev), minor(c->file.st_rdev), what);
}

// The name of user or group `id` in /etc/passwd or /etc/group ("name:x:id:
// ...", the second field possibly empty), else the number: devices belong
// to local users and groups.
void NameOf(const char* table, unsigned id, char* name, size_t size) {
  std::snprintf(name, size, "%u", id);
  std::FILE* lines = std::fopen(table, "re");
  if (lines == nullptr) return;
  char line[512];
  while (std::fgets(line, sizeof line, lines) != nullptr) {
    char* second = std::strchr(line, ':');
    char* third = second != nullptr ? std::strchr(second + 1, ':') : nullptr;
    if (third == nullptr) continue;
    char* end = nullptr;
    unsigned long entry_id = std::strtoul(third + 1, &end, 10);
    if (end == third + 1 || *end != ':' || entry_id != id) continue;
    size_t length = std::min(static_cast<size_t>(second - line), size - 1);
    std::memcpy(name, line, length);
    name[length] = '\0';
    break;
  }
  std::fclose(lines);
}

void RefuseAccess(Candidate* c) {
  char owner_name[64], group_name[64];
  NameOf("/etc/passwd", c->file.st_uid, owner_name, sizeof owner_name);
  NameOf("/etc/group", c->file.st_gid, group_name, sizeof group_name);
  const auto owner = Shown<sizeof owner_name>(owner_name);
  const auto group = Shown<sizeof group_name>(group_name);
  unsigned mode = c->file.st_mode & 07777;
  char mark[sizeof c->mark], advice[512] = "";
  std::snprintf(mark, sizeof mark, "no access (group %s)", group.text);
  // Where the device's group may read and write it, joining it helps.
  if ((mode & 060) == 060) {
    std::snprintf(advice, sizeof advice,
                  "; to use it, join its group: sudo usermod -aG %s \"$USER\", then log in again",
                  group.text);
  }
  Refuse(c, mark, "%s: permission denied (owner %s, group %s, mode 0%o)%s", Shown(c->path).text,
         owner.text, group.text, mode, advice);
}

void RefuseInUse(Candidate* c, pid_t holder) {
  char command[64], mark[sizeof c->mark];
  CommandOf(holder, command, sizeof command);
  std::snprintf(mark, sizeof mark, "in use by %s (pid %d)", Shown<sizeof command>(command).text,
                static_cast<int>(holder));
  Refuse(c, mark, "%s is %s: close it first", Shown(c->path).text, mark);
}

// Nodes that are there but that no open reaches: one on a file system
// mounted nodev (a bind over COM1 inherits it), and a copy of a pty's node
// made with mknod (a pty opens only through its own devpts inode).
bool RefusedAsUnopenable(Candidate* c, const char* access_path) {
  struct statvfs mount {};
  struct statfs system {};
  if (port_checks::IsPseudoTerminal(c->file.st_rdev) && statfs(access_path, &system) == 0 &&
      system.f_type != DEVPTS_SUPER_MAGIC) {
    Refuse(c, "copy of a pseudo-terminal, refused",
           "%s is a copy of a pseudo-terminal's node (%u:%u), which opens only as itself: name "
           "the pseudo-terminal (/dev/pts/N)",
           Shown(c->path).text, major(c->file.st_rdev), minor(c->file.st_rdev));
    return true;
  }
  if (statvfs(access_path, &mount) == 0 && (mount.f_flag & ST_NODEV) != 0) {
    Refuse(c, "on a nodev mount, refused",
           "%s is on a file system mounted nodev, where no device opens: name it in /dev",
           Shown(c->path).text);
    return true;
  }
  return false;
}

}  // namespace

void KnowCaller(Caller* caller) {
  *caller = Caller{};
  caller->ancestor_count = Ancestors(caller->ancestors, 64);
  // The controlling terminal, and any on standard input, output or error.
  for (int fd = 0; fd <= 2; ++fd) {
    struct stat file {};
    if (isatty(fd) && fstat(fd, &file) == 0)
      caller->terminals[caller->terminal_count++] = file.st_rdev;
  }
  dev_t controlling = ControllingTerminal(getpid());
  if (controlling != 0) caller->terminals[caller->terminal_count++] = controlling;
}

void Judge(Candidate* c, const char* access_path, const Caller& caller) {
  c->refused = false;
  c->mark[0] = c->message[0] = '\0';
  c->lock_taker = 0;
  c->use = DeviceUse{};
  if (!S_ISCHR(c->file.st_mode)) {
    Refuse(c, "not a character device", "%s is not a character device", Shown(c->path).text);
    return;
  }
  const dev_t device = c->file.st_rdev;
  if (c->file.st_nlink == 0) {
    Refuse(c, "gone", "%s is gone (unplugged?): plug it in again and start vlxterm-on again",
           Shown(c->path).text);
    return;
  }
  char what[256];
  port_checks::Console console = port_checks::ConsoleOf(device, what, sizeof what);
  if (console == port_checks::Console::kListed) return RefuseAsConsole(c, what);
  if (console == port_checks::Console::kUnknown) {
    Refuse(c, "perhaps a console, refused", "refusing %s (%u:%u): it may be a console (%s)",
           Shown(c->path).text, major(device), minor(device), what);
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
    Refuse(c, "not a serial terminal, refused", "%s is not a serial terminal", Shown(c->path).text);
    return;
  }
  if (RefusedAsUnopenable(c, access_path)) return;
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
  const DeviceUse& use = c->use;
  char command[64];
  if (c->lock_taker > 0 && CommandOf(c->lock_taker, command, sizeof command)) {
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
             Shown(c->path).text, taker);
      return;
    }
    // Held by those who started the launcher: theirs to hold, and the
    // program's own refusal says so.
  }
  if (use.controller != 0) {
    char mark[sizeof c->mark];
    CommandOf(use.controller, command, sizeof command);
    std::snprintf(mark, sizeof mark, "terminal of %s (pid %d)", Shown<sizeof command>(command).text,
                  static_cast<int>(use.controller));
    Refuse(c, mark, "%s is the %s", Shown(c->path).text, mark);
    return;
  }
  if (use.opener != 0) RefuseInUse(c, use.opener);
}
