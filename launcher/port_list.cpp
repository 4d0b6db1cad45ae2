#include "port_list.h"

#include <dirent.h>
#include <limits.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "holders_linux.h"
#include "port_checks.h"
#include "port_identity.h"
#include "refusal.h"

namespace {

constexpr int kMostPorts = 128;

struct Port {
  char path[300];
  char info[1536];  // the line without its mark
  bool usb;
  long long appeared;  // the device node's ctime: USB adapters in plug-in order
  bool has_node;
  Candidate candidate;
};
Port ports[kMostPorts];
int port_count = 0;

// Whether tty class entry `name` is a port to list: a serial terminal with
// a device behind it (rfcomm has none: it is taken, not listed).
bool Listed(const char* name) {
  char path[PATH_MAX];
  dev_t number = 0;
  if (name[0] == '.') return false;
  std::snprintf(path, sizeof path, "/sys/class/tty/%s/device", name);
  return access(path, F_OK) == 0 && port_checks::TtyClassNumber(name, &number) &&
         port_checks::IsSerialTerminal(number, name);
}

// The order of the list: ports by name, numbers in order (ttyS2 before
// ttyS10); then USB adapters in the order their nodes appeared.
bool Before(const Port* a, const Port* b) {
  if (a->usb != b->usb) return !a->usb;
  if (a->usb && a->appeared != b->appeared) return a->appeared < b->appeared;
  size_t a_stem = std::strcspn(a->path, "0123456789");
  size_t b_stem = std::strcspn(b->path, "0123456789");
  int stems = std::strncmp(a->path, b->path, std::max(a_stem, b_stem));
  if (stems != 0) return stems < 0;
  long a_number = std::atol(a->path + a_stem), b_number = std::atol(b->path + b_stem);
  if (a_number != b_number) return a_number < b_number;
  return std::strcmp(a->path, b->path) < 0;
}

}  // namespace

void ListPorts() {
  Caller caller;
  KnowCaller(&caller);
  DIR* ttys = opendir("/sys/class/tty");
  while (const dirent* entry = ttys != nullptr ? readdir(ttys) : nullptr) {
    if (port_count == kMostPorts || !Listed(entry->d_name)) continue;
    Port& port = ports[port_count++];
    port = Port{};
    std::snprintf(port.path, sizeof port.path, "/dev/%.290s", entry->d_name);
    std::replace(port.path + 5, port.path + std::strlen(port.path), '!', '/');
    port.usb = port_identity::Describe(entry->d_name, port.path, port.info, sizeof port.info);
    Candidate& candidate = port.candidate;
    candidate.path = port.path;
    port.has_node = stat(port.path, &candidate.file) == 0;
    port.appeared = static_cast<long long>(candidate.file.st_ctime);
    if (port.has_node) Judge(&candidate, port.path, caller);
  }
  if (ttys != nullptr) closedir(ttys);

  // Who holds the ports still in question: one pass over /proc for all.
  DeviceUse uses[kMostPorts];
  int use_count = 0;
  for (int i = 0; i < port_count; ++i) {
    if (ports[i].has_node && !ports[i].candidate.refused)
      uses[use_count++] = ports[i].candidate.use;
  }
  if (use_count > 0) {
    ScanProcesses(uses, use_count, caller.ancestors, caller.ancestor_count);
  }
  use_count = 0;
  for (int i = 0; i < port_count; ++i) {
    Candidate& candidate = ports[i].candidate;
    if (!ports[i].has_node || candidate.refused) continue;
    candidate.use = uses[use_count++];
    JudgeHolders(&candidate);
  }

  const int count = port_count;
  if (count <= 0) {
    std::puts("no serial devices");
    return;
  }
  Port* order[kMostPorts] = {};
  for (int i = 0; i < count; ++i) order[i] = &ports[i];
  std::sort(order, order + count, Before);
  for (int i = 0; i < count; ++i) {
    const Port& port = *order[i];
    if (!port.has_node) {
      std::printf("%s  [no device node]\n", port.info);
    } else if (port.candidate.refused) {
      std::printf("%s  [%s]\n", port.info, port.candidate.mark);
    } else {
      std::printf("%s\n", port.info);
    }
  }
}
