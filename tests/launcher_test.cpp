// The sandbox launcher as a user meets it: usage, refusals and messages,
// the list of ports, and the program it runs by default. No refusal opens
// the device: each comes before the namespace is built.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "pty_support.h"

namespace {

using vlxtest::ChildResult;
using vlxtest::Ended;
using vlxtest::TempDir;

enum class Stream { kOut, kErr };

// Runs the launcher (under `prefix`, when given) and captures one of its
// streams; the other goes to /dev/null.
ChildResult RunLauncher(const std::vector<std::string>& args, Stream stream,
                        const std::vector<std::string>& prefix = {},
                        const std::string& launcher = vlxtest::LauncherPath()) {
  std::vector<std::string> argv = prefix;
  argv.push_back(launcher);
  argv.insert(argv.end(), args.begin(), args.end());
  return vlxtest::RunChild([&] {
    int null = open("/dev/null", O_WRONLY);
    if (stream == Stream::kErr) {
      dup2(STDOUT_FILENO, STDERR_FILENO);
      dup2(null, STDOUT_FILENO);
    } else {
      dup2(null, STDERR_FILENO);
    }
    vlxtest::Exec(argv);
  });
}

void WriteFile(const std::string& path, const std::string& text) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream(path) << text;
}

TEST(Launcher, UsageRefusalsAndTheirMessages) {
  TempDir dir;
  const std::string console_link = dir.path + "/by-id-console";
  ASSERT_EQ(symlink("/dev/console", console_link.c_str()), 0);
  // A pty whose far side has closed: its node is gone, and only a process
  // that still has it open can name it.
  vlxtest::Pty unplugged;
  close(unplugged.master);
  unplugged.master = -1;
  const std::string gone =
      "/proc/" + std::to_string(getpid()) + "/fd/" + std::to_string(unplugged.slave);
  struct Case {
    const char* what;
    std::vector<std::string> args;
    Stream stream;
    Ended ended;
    std::string says;
  };
  const Case cases[] = {
      {"no arguments", {}, Stream::kErr, {2, 0}, "usage: vlxterm-on DEVICE"},
      {"--help", {"--help"}, Stream::kOut, {0, 0}, "usage: vlxterm-on DEVICE"},
      {"-h", {"-h"}, Stream::kOut, {0, 0}, "Exit status"},
      {"a path that does not exist",
       {"/dev/ttyUSB-none"},
       Stream::kErr,
       {125, 0},
       "/dev/ttyUSB-none: no such device"},
      {"a directory", {dir.path}, Stream::kErr, {125, 0}, "is not a character device"},
      {"/dev/console", {"/dev/console"}, Stream::kErr, {125, 0}, "refusing /dev/console (5:1)"},
      {"/dev/tty", {"/dev/tty"}, Stream::kErr, {125, 0}, "refusing /dev/tty (5:0)"},
      {"a link to the console", {console_link}, Stream::kErr, {125, 0}, "it is /dev/console"},
      // Devices whose open alone may have effects never reach the program.
      {"/dev/null", {"/dev/null"}, Stream::kErr, {125, 0}, "/dev/null is not a serial terminal"},
      {"/dev/zero", {"/dev/zero"}, Stream::kErr, {125, 0}, "/dev/zero is not a serial terminal"},
      {"/dev/random", {"/dev/random"}, Stream::kErr, {125, 0}, "is not a serial terminal"},
      {"a virtual console", {"/dev/tty1"}, Stream::kErr, {125, 0}, "is not a serial terminal"},
      {"/dev/ptmx", {"/dev/ptmx"}, Stream::kErr, {125, 0}, "/dev/ptmx is not a serial terminal"},
      {"a device that is gone", {gone}, Stream::kErr, {125, 0}, gone + " is gone (unplugged?)"},
      {"-- ends the options",
       {"--", "/dev/ttyUSB-none"},
       Stream::kErr,
       {125, 0},
       "vlxterm-on: /dev/ttyUSB-none: no such device"},
      {"an unknown option", {"-x", "/dev/null"}, Stream::kErr, {2, 0}, "usage: vlxterm-on"},
      {"a misspelt option", {"--lis"}, Stream::kErr, {2, 0}, "usage: vlxterm-on"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<std::string> args = c.args;
    if (!args.empty() && args[0][0] == '/') args.push_back("/bin/true");
    ChildResult r = RunLauncher(args, c.stream);
    EXPECT_EQ(r.ended, c.ended) << r.out;
    EXPECT_NE(r.out.find(c.says), std::string::npos) << r.out;
  }
}

// A machine of our own making, seen by the launcher alone: its tty class
// in sysfs, its console list, its udev database and its /dev, whose nodes
// are the harmless memory devices standing in for serial ports. A holder is
// found by device number, so /dev/null, which many processes hold, stands
// in only for a port refused before its holders are looked for.
class FakeMachine {
 public:
  FakeMachine() {
    const std::string& d = dir_.path;
    std::filesystem::create_directories(d + "/hostdev");
    // name, stands in, number, what sysfs says behind it
    const std::string ttyS = std::string("tty") + "S";
    Port(ttyS + "1", "full", "1:7", "4", "pnp0/00:05", "serial");
    Port(ttyS + "2", "kmsg", "1:11", "0", "platform/serial8250", "serial8250");
    Port("ttyAMA0", "null", "1:3", "", "amba/9000000.pl011", "uart-pl011");
    Port("ttyUSB0", "urandom", "1:9", "", "usb1/1-1/1-1:1.0/ttyUSB0", "ftdi_sio");
    Usb("usb1/1-1", "0403", "6001", "FTDI", "FT232R USB UART", "A50285BI");
    Port("ttyACM0", "zero", "1:5", "", "usb1/1-2/1-2:1.0", "cdc_acm");
    // Strings come from the device: escapes in them must not reach the terminal.
    Usb("usb1/1-2", "2e8a", "000a", "Raspberry Pi", "Pico\x1b]0;pwned\a", "A1\rB2");
    WriteFile(d + "/tty/rfcomm0/dev", "1:8\n");          // Bluetooth: no device behind it
    nodes_ << "rfcomm0 random\n" << ttyS << "0 null\n";  // the bind target of the launcher
    WriteFile(d + "/tty/tty1/dev", "4:1\n");
    WriteFile(d + "/consoles", "ttyAMA0              -W- (EC p a)    1:3\n");
    WriteFile(d + "/run/udev/data/c1:5", "E:ID_MM_CANDIDATE=1\n");
    WriteFile(d + "/nodes", nodes_.str());
    std::filesystem::copy_file("/bin/sleep", d + "/ModemManager");
    std::system(("chmod -R a+rX '" + d + "'").c_str());
  }

  // The launcher's prefix: a namespace holding this machine. `before`
  // runs there first (a holder of a port, say).
  std::vector<std::string> Namespace(const std::string& before = "") const {
    std::vector<std::string> prefix = {"/usr/bin/unshare"};
    if (geteuid() != 0) prefix.push_back("--map-root-user");
    prefix.insert(prefix.end(), {"--mount", "--propagation", "private", "/bin/bash", "-c",
                                 R"(set -e; fake=$0
      mount --rbind /dev "$fake/hostdev"
      mount -t tmpfs -o mode=755 none /dev
      for node in null tty console ptmx; do
        touch "/dev/$node"; mount --bind "$fake/hostdev/$node" "/dev/$node"
      done
      while read -r name host; do
        touch "/dev/$name"; mount --bind "$fake/hostdev/$host" "/dev/$name"
      done < "$fake/nodes"
      mkdir /dev/pts; mount --bind "$fake/hostdev/pts" /dev/pts
      mount --bind "$fake/tty" /sys/class/tty
      mount --bind "$fake/consoles" /proc/consoles
      mount -t tmpfs none /run; cp -r "$fake/run/." /run/
      )" + before + "\nexec \"$@\"",
                                 dir_.path});
    return prefix;
  }
  std::string ModemManager() const { return dir_.path + "/ModemManager"; }
  void AddConsole(const std::string& line) const {
    std::ofstream(dir_.path + "/consoles", std::ios::app) << line << "\n";
  }

 private:
  void Port(const std::string& name, const std::string& host, const std::string& number,
            const std::string& type, const std::string& device, const std::string& driver) {
    const std::string& d = dir_.path;
    WriteFile(d + "/tty/" + name + "/dev", number + "\n");
    if (!type.empty()) WriteFile(d + "/tty/" + name + "/type", type + "\n");
    std::filesystem::create_directories(d + "/devices/" + device);
    std::filesystem::create_directories(d + "/drivers/" + driver);
    std::filesystem::create_directory_symlink(d + "/devices/" + device,
                                              d + "/tty/" + name + "/device");
    std::filesystem::create_directory_symlink(d + "/drivers/" + driver,
                                              d + "/devices/" + device + "/driver");
    nodes_ << name << " " << host << "\n";
  }
  void Usb(const std::string& device, const std::string& vendor, const std::string& product,
           const std::string& manufacturer, const std::string& name, const std::string& serial) {
    const std::string at = dir_.path + "/devices/" + device + "/";
    WriteFile(at + "idVendor", vendor + "\n");
    WriteFile(at + "idProduct", product + "\n");
    WriteFile(at + "manufacturer", manufacturer + "\n");
    WriteFile(at + "product", name + "\n");
    WriteFile(at + "serial", serial + "\n");
  }

  TempDir dir_;
  std::ostringstream nodes_;
};

TEST(Launcher, OnlySerialTerminalsAndNoConsoleOrPortInUse) {
  VLX_REQUIRE_SANDBOX();
  FakeMachine machine;
  vlxtest::Pty listed, locked, locked_by_ended, locked_ofd, session_terminal, plain, named,
      in_flight;
  struct stat st {};
  ASSERT_EQ(stat(listed.path.c_str(), &st), 0);
  // A pty that the kernel lists as a console; ptys another process has
  // locked, five ways (one by a program that named itself with escapes,
  // one with no process holding it: this test must not either); the
  // terminal of another session.
  machine.AddConsole("hvc0                 -W- (EC  p a)    " + std::to_string(major(st.st_rdev)) +
                     ":" + std::to_string(minor(st.st_rdev)));
  TempDir dir;
  const std::string escapes = dir.path + "/\x1b]0;pwned\a";
  ASSERT_EQ(symlink("/bin/sleep", escapes.c_str()), 0);
  close(in_flight.slave);
  in_flight.slave = -1;
  const std::vector<pid_t> holders = {
      vlxtest::SpawnLockHolder(locked.path),
      vlxtest::SpawnLockHolder(locked_by_ended.path, vlxtest::LockKind::kTakerEnded),
      vlxtest::SpawnLockHolder(locked_ofd.path, vlxtest::LockKind::kOpenFileDescription),
      vlxtest::SpawnOnConsole(session_terminal, {"/bin/sleep", "30"}),
      vlxtest::SpawnLockHolder(named.path, vlxtest::LockKind::kFlock, escapes),
      vlxtest::SpawnLockHolder(in_flight.path, vlxtest::LockKind::kInFlight)};
  const std::string leader = "/proc/" + std::to_string(holders[3]) + "/comm";
  ASSERT_TRUE(vlxtest::WaitUntil([&] { return vlxtest::FileText(leader) == "sleep\n"; }, 5000));
  pid_t modem_manager = fork();
  if (modem_manager == 0) {
    execl(machine.ModemManager().c_str(), "ModemManager", "30", static_cast<char*>(nullptr));
    _exit(127);
  }
  ASSERT_EQ(stat(plain.path.c_str(), &st), 0);
  char plain_number[32];
  std::snprintf(plain_number, sizeof plain_number, "%x:%x\n", major(st.st_rdev), minor(st.st_rdev));
  const std::string through_nodev = dir.path + "/nodev";
  const std::string pts_entry = plain.path.substr(plain.path.rfind('/'));
  auto in_use_by_sleep = [&](size_t holder) {
    return "is in use by sleep (pid " + std::to_string(holders[holder]) + ")";
  };
  const std::string dev = std::string("/dev/") + "tty";
  struct Case {
    const char* what;
    std::string device;
    std::string before;  // in the namespace, before the launcher
    Ended ended;
    std::string says;
    std::vector<std::string> program = {"/bin/true"};
    // On this machine: the fake one is a user namespace for a plain user,
    // from which other processes' descriptors cannot be followed.
    bool on_fake_machine = true;
  };
  // ... and a machine without /dev/ttyS0, or with a dangling link there,
  // gets one in the namespace alone, beside the machine's other nodes.
  const std::vector<std::string> shows_com1 = {
      "/bin/sh", "-c", "stat -c %t:%T /dev/ttyS0 >&2; [ -c /dev/ttyUSB0 ] && [ -d /dev/pts ]"};
  std::vector<Case> cases = {
      {"a UART that is the console",
       dev + "AMA0",
       "",
       {125, 0},
       "it is a console the kernel lists (ttyAMA0)"},
      {"a pty the kernel lists as a console",
       listed.path,
       "",
       {125, 0},
       "a console the kernel lists (hvc0)"},
      {"a PC serial port with a UART", dev + "S1", "", {0, 0}, ""},
      {"a serial port slot without a UART",
       dev + "S2",
       "",
       {125, 0},
       "S2 is not a serial terminal"},
      {"a Bluetooth rfcomm port", "/dev/rfcomm0", "", {0, 0}, ""},
      {"an adapter another program has open",
       dev + "USB0",
       "sleep 3 3<>/dev/ttyUSB0 &",
       {125, 0},
       "/dev/ttyUSB0 is in use by sleep (pid "},
      {"a pty another program has locked", locked.path, "", {125, 0}, in_use_by_sleep(0)},
      {"a pty locked by a process that has ended, held by its child",
       locked_by_ended.path,
       "",
       {125, 0},
       in_use_by_sleep(1),
       {"/bin/true"},
       false},
      {"a pty with an open file description lock",
       locked_ofd.path,
       "",
       {125, 0},
       in_use_by_sleep(2),
       {"/bin/true"},
       false},
      {"the terminal of another session",
       session_terminal.path,
       "",
       {125, 0},
       session_terminal.path + " is the terminal of sleep (pid " + std::to_string(holders[3]) +
           ")"},
      {"a machine without /dev/ttyS0",
       plain.path,
       "umount /dev/ttyS0; rm /dev/ttyS0",
       {0, 0},
       plain_number,
       shows_com1},
      {"a machine with a dangling /dev/ttyS0 link",
       plain.path,
       "umount /dev/ttyS0; rm /dev/ttyS0; ln -s /nowhere /dev/ttyS0",
       {0, 0},
       plain_number,
       shows_com1},
      {"a holder that named itself with escapes",
       named.path,
       "",
       {125, 0},
       named.path + " is in use by \\e]0;pwned\\a (pid " + std::to_string(holders[4]) +
           "): close it first\n"},
      {"a lock whose one descriptor no process holds",
       in_flight.path,
       "",
       {125, 0},
       in_flight.path + " is locked by a program that cannot be named (its taker, pid ",
       {"/bin/true"},
       false},
      {"a pty reached through a nodev mount",
       through_nodev + pts_entry,
       "mkdir -p " + through_nodev + "; mount --bind -o nodev /dev/pts " + through_nodev,
       {125, 0},
       " is on a file system mounted nodev"},
      {"an adapter ModemManager may probe",
       dev + "ACM0",
       "",
       {0, 0},
       "ModemManager probes new adapters"},
  };
  if (geteuid() == 0) {  // mknod needs root
    const std::string copy = dir.path + "/copy";
    ASSERT_EQ(mknod(copy.c_str(), S_IFCHR | 0600, st.st_rdev), 0);
    cases.push_back({"a copy of a pty's node", copy, "", {125, 0}, "is a copy of a pseudo"});
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<std::string> args = {c.device};
    args.insert(args.end(), c.program.begin(), c.program.end());
    ChildResult r =
        RunLauncher(args, Stream::kErr,
                    c.on_fake_machine ? machine.Namespace(c.before) : std::vector<std::string>{});
    EXPECT_EQ(r.ended, c.ended) << r.out;
    EXPECT_NE(r.out.find(c.says), std::string::npos) << r.out;
  }

  // The list: ports by name, USB adapters last, with what the launcher
  // would say of each; no pty, no virtual console, no empty slot.
  ChildResult list = RunLauncher({"--list"}, Stream::kOut, machine.Namespace());
  EXPECT_EQ(list.ended, (Ended{0, 0}));
  EXPECT_EQ(list.out, dev + "AMA0  uart-pl011  [console, refused]\n" + dev + "S1  serial\n" + dev +
                          "ACM0  cdc_acm  2e8a:000a  \"Raspberry Pi\"  \"Pico\\e]0;pwned\\a\"  "
                          "\"A1\\rB2\"\n" +
                          dev +
                          "USB0  ftdi_sio  0403:6001  \"FTDI\"  \"FT232R USB UART\"  "
                          "\"A50285BI\"\n")
      << list.out;
  for (pid_t pid : holders) {
    kill(pid, SIGKILL);
    vlxtest::WaitChild(pid, 5000);
  }
  kill(modem_manager, SIGKILL);
  vlxtest::WaitChild(modem_manager, 5000);

  // The terminal the launcher runs in, named by its own path.
  vlxtest::Pty console;
  pid_t pid =
      vlxtest::SpawnOnConsole(console, {vlxtest::LauncherPath(), console.path, "/bin/true"});
  std::string said;
  EXPECT_TRUE(vlxtest::ReadUntil(console.master, "started from", 5000, &said)) << said;
  EXPECT_EQ(vlxtest::WaitChild(pid, 5000), (Ended{125, 0}));
}

TEST(Launcher, SaysWhenTheDeviceMayNotBeOpenedAndWhichGroupHelps) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to run the launcher as another user";
  TempDir dir;  // a copy that the user can read, wherever the checkout is
  const std::string launcher = dir.path + "/vlxterm-on";
  std::filesystem::copy_file(vlxtest::LauncherPath(), launcher);
  vlxtest::Pty device;
  // As a pty usually is (root's, group tty, mode 0620); one whose group may
  // use it; one whose group's entry has an empty password field, as groupadd
  // leaves some (in a group table of the test's own).
  const group* tty = getgrnam("tty");
  ASSERT_NE(tty, nullptr);
  const gid_t tty_gid = tty->gr_gid;
  const group* dialout = getgrnam("dialout");  // (the same static record)
  struct Case {
    gid_t group;
    mode_t mode;
    std::string table;  // "": the system's
    std::string says;
  };
  std::vector<Case> cases = {
      {tty_gid, 0620, "", ": permission denied (owner root, group tty, mode 0620)\n"},
      {4242, 0660, "labserial::4242:\n",
       "group labserial, mode 0660); to use it, join its group: sudo usermod -aG labserial "
       "\"$USER\", then log in again"}};
  if (dialout != nullptr) {
    cases.push_back({dialout->gr_gid, 0660, "",
                     "group dialout, mode 0660); to use it, join its group: sudo usermod -aG "
                     "dialout \"$USER\", then log in again"});
  }
  const std::string groups = dir.path + "/group";
  ChildResult r;
  for (const Case& c : cases) {
    chown(device.path.c_str(), 0, c.group);
    chmod(device.path.c_str(), c.mode);
    std::vector<std::string> prefix;
    if (!c.table.empty()) {
      std::ofstream(groups) << c.table;
      prefix = {"/usr/bin/unshare",
                "--mount",
                "--propagation",
                "private",
                "/bin/sh",
                "-c",
                "mount --bind \"$0\" /etc/group && exec \"$@\"",
                groups};
    }
    prefix.insert(prefix.end(),
                  {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "--"});
    r = RunLauncher({device.path, "/bin/true"}, Stream::kErr, prefix, launcher);
    EXPECT_EQ(r.ended, (Ended{125, 0})) << r.out;
    EXPECT_NE(r.out.find(c.says), std::string::npos) << r.out;
  }

  // Installed set-user-ID, it would lend its rights to any program.
  struct statvfs mount {};
  if (statvfs(launcher.c_str(), &mount) == 0 && (mount.f_flag & ST_NOSUID) != 0) {
    std::printf("not run set-user-ID: /tmp is mounted nosuid here\n");
    return;
  }
  chown(launcher.c_str(), 65534, 65534);
  chmod(launcher.c_str(), 04755);
  r = RunLauncher({device.path, "/bin/true"}, Stream::kErr, {}, launcher);
  EXPECT_EQ(r.ended, (Ended{125, 0})) << r.out;
  EXPECT_NE(r.out.find("refusing to run set-user-ID or set-group-ID"), std::string::npos) << r.out;
}

TEST(Launcher, RunsTheVlxtermBesideItOnTheDeviceItJudgedAndNothingElse) {
  VLX_REQUIRE_SANDBOX();
  TempDir dir;
  const std::string launcher = dir.path + "/vlxterm-on";
  const std::string beside = dir.path + "/vlxterm";
  std::filesystem::copy_file(vlxtest::LauncherPath(), launcher);
  std::ofstream(beside)
      << "#!/bin/sh\necho \"the one beside, on $(stat -c %t:%T /dev/ttyS0)\" >&2\n";
  chmod(beside.c_str(), 0755);
  vlxtest::Pty device;
  struct stat st {};
  ASSERT_EQ(stat(device.path.c_str(), &st), 0);
  char number[32];
  std::snprintf(number, sizeof number, "%x:%x", major(st.st_rdev), minor(st.st_rdev));
  const std::string on_device = std::string("the one beside, on ") + number + "\n";

  // Started where / is shared, as systemd leaves it (this machine's mounts
  // are private: the test makes the danger itself), the bind must not
  // reach the /dev/ttyS0 outside.
  std::vector<std::string> shared = {"/usr/bin/unshare"};
  if (geteuid() != 0) shared.push_back("--map-root-user");
  shared.insert(shared.end(), {"--mount", "--propagation", "unchanged", "/bin/sh", "-c",
                               "mount --make-rshared / || exit 3\n"
                               "before=$(stat -c %t:%T /dev/ttyS0 2>&1)\n"
                               "\"$0\" \"$1\"; status=$?\n"
                               "after=$(stat -c %t:%T /dev/ttyS0 2>&1)\n"
                               "[ \"$before\" = \"$after\" ] || echo \"outside: $after\" >&2\n"
                               "exit $status"});
  ChildResult r = RunLauncher({device.path}, Stream::kErr, shared, launcher);
  EXPECT_EQ(r.ended, (Ended{0, 0})) << r.out;
  EXPECT_EQ(r.out, on_device);

  // A link re-pointed between the pty and /dev/null all the while: the
  // program runs on the pty, or the launcher refuses; never on /dev/null.
  const std::string link = dir.path + "/link", next = link + ".next";
  pid_t flipper = fork();
  if (flipper == 0) {
    for (unsigned i = 0;; ++i) {
      symlink(i % 2 != 0 ? "/dev/null" : device.path.c_str(), next.c_str());
      rename(next.c_str(), link.c_str());
    }
  }
  for (int run = 0; run < 20; ++run) {
    r = RunLauncher({link}, Stream::kErr, {}, launcher);
    if (r.ended == Ended{0, 0}) {
      EXPECT_EQ(r.out, on_device);
    } else {
      EXPECT_EQ(r.ended, (Ended{125, 0})) << r.out;
      EXPECT_TRUE(r.out.find("is not a serial terminal") != std::string::npos ||
                  r.out.find("changed while it was checked") != std::string::npos ||
                  r.out.find("no such device") != std::string::npos)
          << r.out;
    }
  }
  kill(flipper, SIGKILL);
  vlxtest::WaitChild(flipper, 5000);
}

}  // namespace
