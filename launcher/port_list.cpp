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
#include "refusal.h"
#include "shown_text.h"

namespace {

constexpr int kMostPorts = 128;
constexpr int kMostLinks = 64;

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

// /dev/serial/by-id: each link and the node it names.
struct Link {
  char name[300];
  char target[300];
};
Link links[kMostLinks];
int link_count = 0;

// Appends `text`, which came from sysfs, /dev or the device itself, shown
// escaped, in `format`.
void Append(char* line, size_t size, const char* format, const char* text) {
  size_t used = std::strlen(line);
  if (used < size) std::snprintf(line + used, size - used, format, shown::Shown(text).text);
}

void ReadLinks() {
  const char* folder = "/dev/serial/by-id";
  DIR* entries = opendir(folder);
  if (entries == nullptr) return;
  while (const dirent* entry = readdir(entries)) {
    if (entry->d_name[0] == '.' || link_count == kMostLinks) continue;
    Link& link = links[link_count];
    char resolved[PATH_MAX];
    std::snprintf(link.name, sizeof link.name, "%s/%s", folder, entry->d_name);
    if (realpath(link.name, resolved) == nullptr) continue;
    std::snprintf(link.target, sizeof link.target, "%.299s", resolved);
    ++link_count;
  }
  closedir(entries);
}

// The line of tty class entry `name` without its mark: the device, its
// driver (the first one up the device tree that is not the kernel's
// generic serial layer) and, for USB, the device's ids and strings.
void Describe(const char* name, Port* port) {
  char dir[PATH_MAX], driver[64] = "?", usb[PATH_MAX] = "";
  char path[PATH_MAX + 32], text[256];
  std::snprintf(path, sizeof path, "/sys/class/tty/%s/device", name);
  if (realpath(path, dir) == nullptr) dir[0] = '\0';
  // Up the device tree once, for both the driver and the USB device.
  while (dir[0] != '\0' && std::strcmp(dir, "/sys") != 0) {
    if (driver[0] == '?') {
      std::snprintf(path, sizeof path, "%s/driver", dir);
      ssize_t length = readlink(path, text, sizeof text - 1);
      if (length > 0) {
        text[length] = '\0';
        if (std::strstr(text, "/serial-base/") == nullptr) {
          const char* last = std::strrchr(text, '/');
          std::snprintf(driver, sizeof driver, "%.63s", last != nullptr ? last + 1 : text);
        }
      }
    }
    std::snprintf(path, sizeof path, "%s/idVendor", dir);
    if (access(path, R_OK) == 0) {
      std::snprintf(usb, sizeof usb, "%s", dir);
      break;
    }
    *std::strrchr(dir, '/') = '\0';
  }
  char info[sizeof port->info] = "";
  Append(info, sizeof info, "%s", port->path);
  Append(info, sizeof info, "  %s", driver);
  port->usb = usb[0] != '\0';
  if (port->usb) {
    char vendor[16] = "", product[16] = "";
    std::snprintf(path, sizeof path, "%s/idVendor", usb);
    port_checks::ReadText(path, vendor, sizeof vendor);
    std::snprintf(path, sizeof path, "%s/idProduct", usb);
    port_checks::ReadText(path, product, sizeof product);
    vendor[std::strcspn(vendor, "\n")] = product[std::strcspn(product, "\n")] = '\0';
    std::snprintf(text, sizeof text, "%s:%s", vendor, product);
    Append(info, sizeof info, "  %s", text);
    for (const char* field : {"manufacturer", "product", "serial"}) {
      std::snprintf(path, sizeof path, "%s/%s", usb, field);
      if (!port_checks::ReadText(path, text, sizeof text)) continue;
      // sysfs ends the string with a line end; any other is the device's.
      size_t length = std::strlen(text);
      if (length > 0 && text[length - 1] == '\n') text[length - 1] = '\0';
      Append(info, sizeof info, "  \"%s\"", text);
    }
  }
  for (int i = 0; i < link_count; ++i) {
    if (std::strcmp(links[i].target, port->path) == 0) {
      Append(info, sizeof info, "  %s", links[i].name);
    }
  }
  std::memcpy(port->info, info, sizeof info);
}

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
  ReadLinks();
  Caller caller;
  KnowCaller(&caller);
  DIR* ttys = opendir("/sys/class/tty");
  while (const dirent* entry = ttys != nullptr ? readdir(ttys) : nullptr) {
    if (port_count == kMostPorts || !Listed(entry->d_name)) continue;
    Port& port = ports[port_count++];
    port = Port{};
    std::snprintf(port.path, sizeof port.path, "/dev/%.290s", entry->d_name);
    std::replace(port.path + 5, port.path + std::strlen(port.path), '!', '/');
    Describe(entry->d_name, &port);
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
