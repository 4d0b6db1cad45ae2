// The POSIX serial layer on real pseudo-terminals.
#include "comport_posix.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/time.h>
#include <unistd.h>

#include <chrono>
#include <cstring>

#include "comport_platform.h"
#include "pty_support.h"

namespace {

namespace platform = comport_platform;

TEST(ComportPosix, NamesMapToDevices) {
  struct Case {
    const char* name;
    const char* path;  // nullptr: no device
  };
  const Case cases[] = {
      {"COM1", "/dev/ttyS0"}, {"COM2", "/dev/ttyS1"}, {"COM255", "/dev/ttyS254"},
      {"COM0", nullptr},      {"COM", nullptr},       {"COM1x", nullptr},
      {"COM-1", nullptr},     {"LPT1", nullptr},      {"com1", nullptr},
  };
  for (const Case& c : cases) {
    char path[32] = "";
    bool named = comport_posix::DevicePath(c.name, path, sizeof path);
    EXPECT_EQ(named, c.path != nullptr) << c.name;
    if (c.path != nullptr) {
      EXPECT_STREQ(path, c.path) << c.name;
    }
  }
  char small[10];  // "/dev/ttyS254" does not fit
  EXPECT_FALSE(comport_posix::DevicePath("COM255", small, sizeof small));
}

bool Configured(int fd, uint32_t baud) {
  char why[256];
  return platform::Configure(fd, baud, why, sizeof why);
}

// A pty left the way other software might leave a port: 7E2, flow control,
// translation, canonical input with echo.
termios Messy() {
  termios tio = vlxtest::ShellSettings();
  tio.c_cflag = (tio.c_cflag & ~CSIZE) | CS7 | PARENB | CSTOPB | CRTSCTS;
  tio.c_iflag |= IXON | IXOFF | INLCR | IGNCR | INPCK | ISTRIP;
  tio.c_oflag |= OPOST | ONLCR;
  tio.c_cc[VMIN] = 5;
  tio.c_cc[VTIME] = 3;
  return tio;
}

TEST(ComportPosix, ConfigureSetsRaw8N1AtEachRate) {
  const std::pair<uint32_t, speed_t> rates[] = {{2400, B2400},    {4800, B4800},   {9600, B9600},
                                                {19200, B19200},  {38400, B38400}, {57600, B57600},
                                                {115200, B115200}};
  for (auto [baud, speed] : rates) {
    SCOPED_TRACE(baud);
    EXPECT_TRUE(platform::MapsBaud(baud));
    vlxtest::Pty pty;
    pty.Apply(Messy());
    int fd = comport_posix::OpenDevice(pty.path.c_str());
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(Configured(fd, baud));
    termios tio = pty.Settings();
    EXPECT_EQ(cfgetispeed(&tio), speed);
    EXPECT_EQ(cfgetospeed(&tio), speed);
    EXPECT_EQ(tio.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS | CLOCAL | CREAD),
              tcflag_t{CS8 | CLOCAL | CREAD});
    EXPECT_EQ(
        tio.c_iflag & (IXON | IXOFF | IXANY | ICRNL | INLCR | IGNCR | INPCK | ISTRIP | PARMRK), 0u);
    EXPECT_EQ(tio.c_oflag & OPOST, 0u);
    EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ECHONL | ISIG | IEXTEN), 0u);
    EXPECT_EQ(tio.c_cc[VMIN], 0);
    EXPECT_EQ(tio.c_cc[VTIME], 0);
    EXPECT_NE(tio.c_cflag & HUPCL, 0u) << "lines left up after a kill -9";
    // Neither reads nor writes may wait on the device.
    EXPECT_NE(fcntl(fd, F_GETFL) & O_NONBLOCK, 0);
    platform::Close(fd);
  }
  for (uint32_t unmapped : {0u, 300u, 1200u, 2401u, 230400u}) {
    EXPECT_FALSE(platform::MapsBaud(unmapped)) << unmapped;
  }
}

TEST(ComportPosix, SettingsTheDriverDidNotTakeAreNamed) {
  const termios asked = vlxtest::RawSettings(B2400);
  struct Case {
    const char* what;
    void (*driver)(termios*);  // what the driver made of them
    const char* untaken;
  };
  const Case cases[] = {
      {"all taken", [](termios*) {}, ""},
      {"speed kept", [](termios* t) { cfsetspeed(t, B9600); }, "the input speed, the output speed"},
      {"7 data bits", [](termios* t) { t->c_cflag = (t->c_cflag & ~CSIZE) | CS7; }, "8 data bits"},
      {"parity and two stop bits", [](termios* t) { t->c_cflag |= PARENB | CSTOPB; },
       "no parity, one stop bit"},
      {"flow control", [](termios* t) { t->c_iflag |= IXON; }, "no flow control"},
      {"line editing", [](termios* t) { t->c_lflag |= ICANON; }, "raw input and output"},
  };
  for (const Case& c : cases) {
    termios got = asked;
    c.driver(&got);
    char untaken[160];
    comport_posix::Untaken(asked, got, untaken, sizeof untaken);
    EXPECT_STREQ(untaken, c.untaken) << c.what;
  }
}

// Opens and sets up the pty's slave as the program does its port.
int OpenPort(const vlxtest::Pty& pty) {
  int fd = comport_posix::OpenDevice(pty.path.c_str());
  if (fd >= 0 && !Configured(fd, 2400)) {
    platform::Close(fd);
    return -1;
  }
  return fd;
}

TEST(ComportPosix, DataBothWaysAndTheReceiveCount) {
  vlxtest::Pty pty;
  int fd = OpenPort(pty);
  ASSERT_GE(fd, 0);

  uint8_t byte = 0x55;
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(platform::RxCount(fd), 0u);
  EXPECT_EQ(platform::ReadByte(fd, &byte), 0);  // nothing waits: at once
  // A read that waits for the device waits for ever.
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));

  const std::string sent("\x00\x0D\x0A\x11\x13\xFF", 6);
  vlxtest::WriteAll(pty.master, sent);
  std::string got;
  ASSERT_TRUE(vlxtest::WaitUntil(
      [&] {
        while (platform::RxCount(fd) != 0 && platform::ReadByte(fd, &byte) == 1) {
          got.push_back(static_cast<char>(byte));
        }
        return got.size() >= sent.size();
      },
      2000));
  EXPECT_EQ(got, sent);  // unchanged: no translation, no flow control
  EXPECT_EQ(platform::RxCount(fd), 0u);
  EXPECT_EQ(platform::ReadByte(fd, &byte), 0);

  for (char c : sent) EXPECT_EQ(platform::WriteByte(fd, static_cast<uint8_t>(c), 30), 0u);
  std::string echoed;
  EXPECT_TRUE(vlxtest::ReadUntil(pty.master, sent, 2000, &echoed));
  EXPECT_EQ(echoed, sent);
  // A device that takes nothing holds the write up for its time, no more,
  // and the byte is not sent, not even later.
  tcflow(pty.slave, TCOOFF);
  start = std::chrono::steady_clock::now();
  EXPECT_EQ(platform::WriteByte(fd, 'x', 30), 30u);
  // A write that waits for the device waits for ever.
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
  tcflow(pty.slave, TCOON);
  echoed.clear();
  vlxtest::ReadFor(pty.master, 50, &echoed);
  EXPECT_EQ(echoed, "");
  platform::SetRts(fd, true);  // a pty refuses modem lines; that must not hurt
  platform::SetRts(fd, false);
  platform::Close(fd);
}

TEST(ComportPosix, BytesThatComeAfterTheQueueDrainedAreCountedAtTheNextAsk) {
  vlxtest::Pty pty;
  int fd = OpenPort(pty);
  ASSERT_GE(fd, 0);
  uint8_t byte = 0;
  std::string got;
  for (const char* chunk : {"abc", "de", "f"}) {
    vlxtest::WriteAll(pty.master, chunk);
    usleep(20 * 1000);  // all of it in the driver
    // Never 0 while bytes wait in the driver, also right after a drained
    // queue: the loop would serve a key before them.
    int zero_counts = 0;
    while (got.size() < std::strlen("abcdef") && zero_counts < 2) {
      if (platform::RxCount(fd) == 0) {
        ++zero_counts;
      } else {
        ASSERT_EQ(platform::ReadByte(fd, &byte), 1);
        got.push_back(static_cast<char>(byte));
        if (got.back() == chunk[std::strlen(chunk) - 1]) break;
      }
    }
    EXPECT_EQ(zero_counts, 0) << chunk;
  }
  EXPECT_EQ(got, "abcdef");
  platform::Close(fd);
}

TEST(ComportPosix, OpenIsExclusiveLeavesTheDeviceAsFoundAndRefusesWhatIsNoPort) {
  EXPECT_EQ(comport_posix::OpenDevice("/nonexistent/tty"), -1);
  PortHandle opened = platform::NoPort();
  EXPECT_EQ(platform::OpenPort("COM0", &opened), platform::NoPort());
  EXPECT_EQ(comport_posix::OpenDevice("/dev/null"), -1);  // not a terminal
  EXPECT_EQ(platform::RxCount(-1), 0u);                   // a failed query counts nothing
  if (vlxtest::Pty().Exclusive() < 0) {
    GTEST_SKIP() << "this system cannot tell a terminal's exclusive use (QEMU's user-mode "
                    "emulator has no TIOCGEXCL)";
  }
  for (bool exclusive_before : {false, true}) {
    // Only root opens a device that another holds exclusive.
    if (exclusive_before && geteuid() != 0) continue;
    SCOPED_TRACE(exclusive_before ? "exclusive before" : "not exclusive before");
    vlxtest::Pty pty;
    if (exclusive_before) ioctl(pty.slave, TIOCEXCL);
    int first = comport_posix::OpenDevice(pty.path.c_str());
    ASSERT_GE(first, 0);
    EXPECT_EQ(pty.Exclusive(), 1);
    EXPECT_EQ(comport_posix::OpenDevice(pty.path.c_str()), -1);
    platform::Close(first);
    EXPECT_EQ(pty.Exclusive(), exclusive_before ? 1 : 0) << "not left as found";
    if (exclusive_before) ioctl(pty.slave, TIOCNXCL);
    int again = comport_posix::OpenDevice(pty.path.c_str());
    EXPECT_GE(again, 0);
    platform::Close(again);
  }
}

TEST(ComportPosix, HoldLastsItsFullTimeEvenWhenASignalInterruptsIt) {
  struct sigaction action {};
  action.sa_handler = [](int) {};  // no SA_RESTART: the sleep is interrupted
  sigaction(SIGALRM, &action, nullptr);
  itimerval every_5ms{{0, 5000}, {0, 5000}};
  setitimer(ITIMER_REAL, &every_5ms, nullptr);
  auto start = std::chrono::steady_clock::now();
  platform::SleepMs(30);
  auto slept = std::chrono::steady_clock::now() - start;
  itimerval off{};
  setitimer(ITIMER_REAL, &off, nullptr);
  signal(SIGALRM, SIG_DFL);
  EXPECT_GE(slept, std::chrono::milliseconds(30));
}

}  // namespace
