#include <dirent.h>
#include <limits.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "port_checks.h"
#include "port_identity.h"
#include "shown_text.h"

namespace port_identity {
namespace {

using comport_platform::DeviceIdentity;

// A sysfs attribute of `dir`, without the line end sysfs ends it with (any
// other is the device's own); "" when there is none.
void Attribute(const char* dir, const char* name, char* text, size_t size) {
  char path[PATH_MAX + 64];
  std::snprintf(path, sizeof path, "%s/%s", dir, name);
  if (!port_checks::ReadText(path, text, size)) text[0] = '\0';
  size_t length = std::strlen(text);
  if (length > 0 && text[length - 1] == '\n') text[length - 1] = '\0';
}

bool Has(const char* dir, const char* name) {
  char path[PATH_MAX + 64];
  std::snprintf(path, sizeof path, "%s/%s", dir, name);
  return access(path, F_OK) == 0;
}

// Appends `text` (from sysfs, /dev or the device itself) shown escaped.
void Append(char* line, size_t size, const char* format, const char* text) {
  size_t used = std::strlen(line);
  if (used < size) std::snprintf(line + used, size - used, format, shown::Shown(text).text);
}

// The device behind tty class entry `name` (its `device` link followed),
// and up the tree from there the USB device it is part of ("" when none);
// false when there is no device behind it.
bool DeviceOf(const char* name, char* device, char* usb) {
  char path[PATH_MAX];
  std::snprintf(path, sizeof path, "/sys/class/tty/%s/device", name);
  usb[0] = '\0';
  if (realpath(path, device) == nullptr) return false;
  std::snprintf(path, sizeof path, "%s", device);
  while (path[0] != '\0' && std::strcmp(path, "/sys") != 0) {
    if (Has(path, "idVendor")) {
      std::snprintf(usb, PATH_MAX, "%s", path);
      break;
    }
    *std::strrchr(path, '/') = '\0';
  }
  return true;
}

// The first of `dir` and those above it, up to `top`, that has `name`.
void AttributeUpTo(const char* dir, const char* top, const char* name, char* text, size_t size) {
  char path[PATH_MAX];
  std::snprintf(path, sizeof path, "%s", dir);
  text[0] = '\0';
  while (std::strlen(path) >= std::strlen(top)) {
    if (Has(path, name)) return Attribute(path, name, text, size);
    char* slash = std::strrchr(path, '/');
    if (slash == nullptr) return;
    *slash = '\0';
  }
}

}  // namespace

bool Describe(const char* tty_name, const char* node, char* line, size_t size) {
  char device[PATH_MAX] = "", usb[PATH_MAX] = "", driver[64] = "?";
  DeviceOf(tty_name, device, usb);
  // The driver: the first one up the tree that is not the generic layer.
  char path[PATH_MAX];
  std::snprintf(path, sizeof path, "%s", device);
  while (path[0] != '\0' && std::strcmp(path, "/sys") != 0 && driver[0] == '?') {
    char link[PATH_MAX + 16], target[256];
    std::snprintf(link, sizeof link, "%s/driver", path);
    ssize_t length = readlink(link, target, sizeof target - 1);
    if (length > 0) {
      target[length] = '\0';
      const char* last = std::strrchr(target, '/');
      if (std::strstr(target, "/serial-base/") == nullptr) {
        std::snprintf(driver, sizeof driver, "%.63s", last != nullptr ? last + 1 : target);
      }
    }
    *std::strrchr(path, '/') = '\0';
  }
  line[0] = '\0';
  Append(line, size, "%s", node);
  Append(line, size, "  %s", driver);
  if (usb[0] != '\0') {
    char vendor[16], product[16], text[256];
    Attribute(usb, "idVendor", vendor, sizeof vendor);
    Attribute(usb, "idProduct", product, sizeof product);
    std::snprintf(text, sizeof text, "%s:%s", vendor, product);
    Append(line, size, "  %s", text);
    for (const char* field : {"manufacturer", "product", "serial"}) {
      if (!Has(usb, field)) continue;
      Attribute(usb, field, text, sizeof text);
      Append(line, size, "  \"%s\"", text);
    }
  }
  const char* folder = "/dev/serial/by-id";
  DIR* links = opendir(folder);
  while (const dirent* entry = links != nullptr ? readdir(links) : nullptr) {
    char link[PATH_MAX], target[PATH_MAX];
    std::snprintf(link, sizeof link, "%s/%s", folder, entry->d_name);
    if (entry->d_name[0] != '.' && realpath(link, target) != nullptr &&
        std::strcmp(target, node) == 0) {
      Append(line, size, "  %s", link);
    }
  }
  if (links != nullptr) closedir(links);
  return usb[0] != '\0';
}

bool IdentityOf(dev_t device, DeviceIdentity* identity) {
  *identity = DeviceIdentity{};
  // The tty's own entry, found by number: /sys/dev/char/M:m.
  char entry[64], real[PATH_MAX];
  std::snprintf(entry, sizeof entry, "/sys/dev/char/%u:%u", major(device), minor(device));
  if (realpath(entry, real) == nullptr) return false;
  const char* name = std::strrchr(real, '/') + 1;
  char at[PATH_MAX], usb[PATH_MAX];
  if (!DeviceOf(name, at, usb)) return false;
  identity->usb = usb[0] != '\0';
  if (!identity->usb) {
    std::snprintf(identity->path, sizeof identity->path, "%.255s", at + std::strlen("/sys"));
    return true;
  }
  // The USB device's place, not its bus and device numbers (the device
  // number changes at every plug-in): its port chain under its controller.
  std::snprintf(identity->path, sizeof identity->path, "%.255s", usb + std::strlen("/sys"));
  Attribute(usb, "idVendor", identity->vendor, sizeof identity->vendor);
  Attribute(usb, "idProduct", identity->product, sizeof identity->product);
  Attribute(usb, "serial", identity->serial, sizeof identity->serial);
  AttributeUpTo(at, usb, "bInterfaceNumber", identity->function, sizeof identity->function);
  AttributeUpTo(at, usb, "port_number", identity->port_number, sizeof identity->port_number);
  return true;
}

int PresentPorts(comport_platform::PresentPort* ports, int most) {
  int count = 0;
  DIR* ttys = opendir("/sys/class/tty");
  while (const dirent* entry = ttys != nullptr && count < most ? readdir(ttys) : nullptr) {
    char path[PATH_MAX];
    dev_t number = 0;
    std::snprintf(path, sizeof path, "/sys/class/tty/%s/device", entry->d_name);
    if (entry->d_name[0] == '.' || access(path, F_OK) != 0 ||
        !port_checks::TtyClassNumber(entry->d_name, &number) ||
        !port_checks::IsSerialTerminal(number, entry->d_name)) {
      continue;
    }
    comport_platform::PresentPort& port = ports[count];
    char uevent[512];
    std::snprintf(path, sizeof path, "/sys/class/tty/%s/uevent", entry->d_name);
    const char* devname = port_checks::ReadText(path, uevent, sizeof uevent)
                              ? std::strstr(uevent, "DEVNAME=")
                              : nullptr;
    if (devname == nullptr) continue;
    devname += std::strlen("DEVNAME=");
    std::snprintf(port.node, sizeof port.node, "/dev/%.*s",
                  static_cast<int>(std::strcspn(devname, "\n")), devname);
    std::snprintf(port.name, sizeof port.name, "%.63s", entry->d_name);
    port.key = number;
    if (!IdentityOf(number, &port.identity)) port.identity = DeviceIdentity{};
    ++count;
  }
  if (ttys != nullptr) closedir(ttys);
  return count;
}

bool NewNodesAppear() {
  // "36 25 0:5 / /dev rw,nosuid - devtmpfs udev rw,...": the mount point
  // fifth, the file system's type after " - "; the last /dev mount counts.
  std::FILE* mounts = std::fopen("/proc/self/mountinfo", "re");
  if (mounts == nullptr) return false;
  bool devtmpfs = false;
  char line[1024];
  while (std::fgets(line, sizeof line, mounts) != nullptr) {
    char point[256] = "";
    const char* type = std::strstr(line, " - ");
    if (std::sscanf(line, "%*s %*s %*s %*s %255s", point) == 1 && std::strcmp(point, "/dev") == 0 &&
        type != nullptr) {
      devtmpfs = std::strncmp(type + 3, "devtmpfs ", 9) == 0;
    }
  }
  std::fclose(mounts);
  return devtmpfs;
}

}  // namespace port_identity
