#include "sandbox.h"

#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "shown_text.h"

namespace {

bool WriteText(const char* path, const char* text) {
  int fd = open(path, O_WRONLY | O_CLOEXEC);
  if (fd < 0) return false;
  bool written = write(fd, text, std::strlen(text)) == static_cast<ssize_t>(std::strlen(text));
  return close(fd) == 0 && written;
}

// Root in the new user namespace is the caller outside, as `unshare -r`
// maps it: the one user and group there are.
bool MapCaller(uid_t uid, gid_t gid) {
  char map[48];
  std::snprintf(map, sizeof map, "0 %u 1", static_cast<unsigned>(uid));
  if (!WriteText("/proc/self/uid_map", map)) return false;
  std::snprintf(map, sizeof map, "0 %u 1", static_cast<unsigned>(gid));
  return WriteText("/proc/self/setgroups", "deny") && WriteText("/proc/self/gid_map", map);
}

// One entry of the machine's /dev (the directory `machine_dev`) carried
// into the namespace's own: links copied, everything else bound.
bool Carry(int machine_dev, const char* name) {
  struct stat entry {};
  if (fstatat(machine_dev, name, &entry, AT_SYMLINK_NOFOLLOW) != 0) return errno == ENOENT;
  char here[300], there[320];
  std::snprintf(here, sizeof here, "/dev/%s", name);
  if (S_ISLNK(entry.st_mode)) {
    char target[256];
    ssize_t length = readlinkat(machine_dev, name, target, sizeof target - 1);
    if (length < 0) return false;
    target[length] = '\0';
    return symlink(target, here) == 0;
  }
  if (S_ISDIR(entry.st_mode)) {
    if (mkdir(here, entry.st_mode & 07777) != 0) return false;
  } else {
    int placeholder = open(here, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (placeholder < 0) return false;
    close(placeholder);
  }
  // Recursive: the machine's mounts below (pts, shm) come along, and a
  // user namespace may not bind a mount without those below it.
  std::snprintf(there, sizeof there, "/proc/self/fd/%d/%s", machine_dev, name);
  return mount(there, here, nullptr, MS_BIND | MS_REC, nullptr) == 0;
}

// Where the machine has no COM1 node (a container, a board without 8250
// ports): the namespace gets a /dev of its own that carries every entry of
// the machine's, and COM1's node besides. The machine's /dev is not touched.
bool GiveCom1Node(char* why, size_t size) {
  int machine_dev = open("/dev", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (machine_dev < 0 || mount("none", "/dev", "tmpfs", MS_NOSUID | MS_NOEXEC, "mode=755") != 0) {
    std::snprintf(why, size, "there is no %s, and no /dev of the namespace's own (%s)", kCom1Path,
                  std::strerror(errno));
    if (machine_dev >= 0) close(machine_dev);
    return false;
  }
  int listed = dup(machine_dev);
  DIR* entries = listed >= 0 ? fdopendir(listed) : nullptr;
  bool carried = entries != nullptr;
  if (!carried) {
    std::snprintf(why, size, "there is no %s, and /dev cannot be listed (%s)", kCom1Path,
                  std::strerror(errno));
    if (listed >= 0) close(listed);
  }
  // COM1's own name is left out: a dangling link there is no node.
  const char* com1_name = std::strrchr(kCom1Path, '/') + 1;
  while (carried) {
    const dirent* entry = readdir(entries);
    if (entry == nullptr) break;
    if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0 ||
        std::strcmp(entry->d_name, com1_name) == 0) {
      continue;
    }
    if (!Carry(machine_dev, entry->d_name)) {
      std::snprintf(why, size,
                    "there is no %s, and /dev/%s cannot be carried into the namespace "
                    "(%s)",
                    kCom1Path, shown::Shown(entry->d_name).text, std::strerror(errno));
      carried = false;
    }
  }
  if (entries != nullptr) closedir(entries);
  close(machine_dev);
  if (!carried) return false;
  int node = open(kCom1Path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (node < 0) {
    std::snprintf(why, size, "cannot make %s (%s)", kCom1Path, std::strerror(errno));
    return false;
  }
  close(node);
  return true;
}

}  // namespace

bool EnterPrivateNamespace(char* why, size_t size) {
  const uid_t uid = geteuid();
  const gid_t gid = getegid();
  bool own_user_namespace = false;
  if (uid != 0 || unshare(CLONE_NEWNS) != 0) {
    if (unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0) {
      std::snprintf(why, size,
                    "cannot make a private mount namespace (%s): as a plain user this needs "
                    "unprivileged user namespaces (Debian: sudo sysctl "
                    "kernel.unprivileged_userns_clone=1); or run vlxterm-on as root",
                    std::strerror(errno));
      return false;
    }
    own_user_namespace = true;
    if (!MapCaller(uid, gid)) {
      std::snprintf(why, size, "cannot map the user into its namespace (%s)", std::strerror(errno));
      return false;
    }
  }
  // Before anything is bound: where / is shared (systemd's default), a bind
  // made as root would otherwise reach the machine's own /dev/ttyS0.
  if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
    std::snprintf(why, size, "cannot make the namespace's mounts private (%s)%s",
                  std::strerror(errno),
                  own_user_namespace ? "; this system restricts user namespaces (Ubuntu 23.10 "
                                       "and later do, through AppArmor): run vlxterm-on as root"
                                     : "");
    return false;
  }
  return true;
}

bool BindAsCom1(int pinned, const struct stat& judged, char* why, size_t size) {
  struct stat node {};
  if (stat(kCom1Path, &node) != 0) {
    if (errno != ENOENT) {
      std::snprintf(why, size, "%s: %s", kCom1Path, std::strerror(errno));
      return false;
    }
    if (!GiveCom1Node(why, size)) return false;
  }
  char source[32];
  std::snprintf(source, sizeof source, "/proc/self/fd/%d", pinned);
  if (mount(source, kCom1Path, nullptr, MS_BIND, nullptr) != 0) {
    std::snprintf(why, size, "cannot bind it over %s (%s)", kCom1Path, std::strerror(errno));
    return false;
  }
  // The program starts only on the very file that was judged: the same
  // inode of the same file system.
  if (stat(kCom1Path, &node) != 0 || node.st_dev != judged.st_dev || node.st_ino != judged.st_ino) {
    std::snprintf(why, size, "the bind did not take: %s is inode %llu on %u:%u, not %llu on %u:%u",
                  kCom1Path, static_cast<unsigned long long>(node.st_ino), major(node.st_dev),
                  minor(node.st_dev), static_cast<unsigned long long>(judged.st_ino),
                  major(judged.st_dev), minor(judged.st_dev));
    return false;
  }
  return true;
}
