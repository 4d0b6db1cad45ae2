// The sandbox launcher as a user meets it: usage, refusals and messages,
// and the program it runs by default. No refusal opens the device: each
// comes before the namespace is built.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>

#include "pty_support.h"

namespace {

using vlxtest::ChildResult;
using vlxtest::Ended;

enum class Stream { kOut, kErr };

// Runs the launcher (under `prefix`, when given) and captures one of its
// streams; the other goes to /dev/null.
ChildResult RunLauncher(const std::vector<std::string>& args, Stream stream,
                        const std::vector<std::string>& prefix = {}) {
  std::vector<std::string> argv = prefix;
  argv.insert(argv.end(), {"/bin/bash", vlxtest::LauncherPath()});
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

struct TempDir {
  TempDir() {
    char pattern[] = "/tmp/vlx-launcher-XXXXXX";
    path = mkdtemp(pattern);
  }
  ~TempDir() { std::system(("rm -rf '" + path + "'").c_str()); }
  std::string path;
};

TEST(Launcher, UsageRefusalsAndTheirMessages) {
  TempDir dir;
  const std::string console_link = dir.path + "/by-id-console";
  ASSERT_EQ(symlink("/dev/console", console_link.c_str()), 0);
  struct Case {
    const char* what;
    std::vector<std::string> args;
    Stream stream;
    Ended ended;
    const char* says;
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

TEST(Launcher, RefusesTheConsolesTheKernelListsAndItsOwnTerminal) {
  VLX_REQUIRE_SANDBOX();
  vlxtest::Pty listed;
  struct stat st {};
  ASSERT_EQ(stat(listed.path.c_str(), &st), 0);
  // A console list that names this pty, seen by the launcher alone.
  TempDir dir;
  const std::string fake = dir.path + "/consoles";
  std::ofstream(fake) << "hvc0                 -W- (EC  p a)    " << major(st.st_rdev) << ":"
                      << minor(st.st_rdev) << "\n";
  std::vector<std::string> own_namespace = {"/usr/bin/unshare"};
  if (geteuid() != 0) own_namespace.push_back("--map-root-user");
  own_namespace.insert(own_namespace.end(),
                       {"--mount", "--propagation", "private", "/bin/bash", "-c",
                        "mount --bind \"$0\" /proc/consoles && exec \"$@\"", fake});
  ChildResult r = RunLauncher({listed.path, "/bin/true"}, Stream::kErr, own_namespace);
  EXPECT_EQ(r.ended, (Ended{125, 0})) << r.out;
  EXPECT_NE(r.out.find("a console the kernel lists (hvc0)"), std::string::npos) << r.out;

  // The terminal the launcher runs in, named by its own path.
  vlxtest::Pty console;
  pid_t pid = vlxtest::SpawnOnConsole(
      console, {"/bin/bash", vlxtest::LauncherPath(), console.path, "/bin/true"});
  std::string said;
  EXPECT_TRUE(vlxtest::ReadUntil(console.master, "started from", 5000, &said)) << said;
  EXPECT_EQ(vlxtest::WaitChild(pid, 5000), (Ended{125, 0}));
}

TEST(Launcher, SaysWhenTheDeviceMayNotBeOpened) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to run the launcher as another user";
  vlxtest::Pty device;  // root's, group tty, not readable by others
  ChildResult r =
      RunLauncher({device.path, "/bin/true"}, Stream::kErr,
                  {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "--"});
  EXPECT_EQ(r.ended, (Ended{125, 0})) << r.out;
  EXPECT_NE(r.out.find("permission denied; serial devices usually belong to group dialout"),
            std::string::npos)
      << r.out;
}

TEST(Launcher, WithoutAProgramRunsTheVlxtermBesideIt) {
  VLX_REQUIRE_SANDBOX();
  TempDir dir;
  const std::string launcher = dir.path + "/vlxterm-on";
  const std::string beside = dir.path + "/vlxterm";
  ASSERT_EQ(std::system(("cp '" + vlxtest::LauncherPath() + "' '" + launcher + "'").c_str()), 0);
  std::ofstream(beside) << "#!/bin/sh\necho \"the one beside, on $(stat -c %t:%T /dev/ttyS0)\"\n";
  chmod(beside.c_str(), 0755);
  vlxtest::Pty device;
  struct stat st {};
  ASSERT_EQ(stat(device.path.c_str(), &st), 0);
  ChildResult r = vlxtest::RunChild([&] { vlxtest::Exec({"/bin/bash", launcher, device.path}); });
  EXPECT_EQ(r.ended, (Ended{0, 0})) << r.out;
  char number[32];
  std::snprintf(number, sizeof number, "%x:%x", major(st.st_rdev), minor(st.st_rdev));
  EXPECT_EQ(r.out, std::string("the one beside, on ") + number + "\n");
}

}  // namespace
