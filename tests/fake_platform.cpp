#include "fake_platform.h"

#include <cstdint>
#include <cstdio>
#include <functional>

#include "comport_platform.h"
#include "console.h"

namespace fake {
Platform platform;
void Reset() { platform = Platform{}; }
}  // namespace fake

using fake::platform;

namespace comport_platform {
namespace {

// A descriptor on POSIX, a HANDLE on Windows: the C cast fits both.
PortHandle HandleOf(intptr_t value) { return (PortHandle)value; }

const PortHandle kOpened = HandleOf(7);

}  // namespace

PortHandle NoPort() { return HandleOf(-1); }

bool MapsBaud(uint32_t baud) {
  for (uint32_t rate : platform.rates) {
    if (rate == baud) return true;
  }
  return false;
}

PortHandle OpenPort(const char* name, PortHandle* opened) {
  platform.opened_name = name;
  platform.log.push_back(std::string("open ") + name);
  *opened = platform.open_succeeds ? kOpened : NoPort();
  return *opened;
}

bool Configure(PortHandle, uint32_t baud, char* why, size_t) {
  platform.log.push_back("configure " + std::to_string(baud));
  why[0] = '\0';
  return platform.configure_succeeds;
}

uint32_t RxCount(PortHandle) { return static_cast<uint32_t>(platform.received.size()); }
void AfterWait(PortHandle) {}

int ReadByte(PortHandle, uint8_t* byte) {
  if (platform.received.empty()) return 0;
  *byte = platform.received.front();
  platform.received.pop_front();
  return 1;
}

unsigned WriteByte(PortHandle, uint8_t byte, unsigned within_ms) {
  platform.log.push_back("write " + std::to_string(byte));
  platform.gone = platform.gone || platform.gone_at_write;
  platform.tx_queued = platform.tx_left_by_write;
  return platform.write_takes_ms < within_ms ? platform.write_takes_ms : within_ms;
}
uint32_t TxCount(PortHandle) { return platform.tx_queued; }
void DiscardOutput(PortHandle) {
  platform.log.push_back("discard");
  if (!platform.discard_keeps) platform.tx_queued = 0;
}
void SetRts(PortHandle, bool high) { platform.log.push_back(high ? "rts up" : "rts down"); }
void SetDtr(PortHandle, bool high) { platform.log.push_back(high ? "dtr up" : "dtr down"); }
void SleepMs(unsigned ms) { platform.log.push_back("sleep " + std::to_string(ms)); }
void Close(PortHandle) { platform.log.push_back("close"); }
bool Gone(PortHandle) { return platform.gone; }

namespace {
// One model of USB board, in one place on the bus: told apart by serial.
DeviceIdentity BoardWith(const std::string& serial) {
  DeviceIdentity identity{};
  identity.usb = true;
  std::snprintf(identity.path, sizeof identity.path, "/devices/usb1/1-1");
  std::snprintf(identity.serial, sizeof identity.serial, "%s", serial.c_str());
  return identity;
}
}  // namespace

bool Identify(PortHandle, DeviceIdentity* identity) {
  *identity = BoardWith(platform.serial);
  return platform.identified;
}
int PresentPorts(PresentPort* ports, int most) {
  int count = 0;
  for (const fake::Present& p : platform.present) {
    if (count == most) break;
    PresentPort& port = ports[count++];
    port = PresentPort{};
    port.identity = BoardWith(p.serial);
    std::snprintf(port.node, sizeof port.node, "%s", p.node.c_str());
    port.key = std::hash<std::string>{}(p.node + p.serial);
  }
  return count;
}
void Describe(const PresentPort& port, char* text, size_t size) {
  std::snprintf(text, size, "%s (%s)", port.node, port.identity.serial);
}
PortHandle OpenPresent(const PresentPort& port, PortHandle* opened, char* why, size_t size) {
  platform.log.push_back(std::string("open ") + port.node);
  for (const fake::Present& p : platform.present) {
    if (p.node == port.node && !p.opens) {
      std::snprintf(why, size, "busy");
      return *opened = NoPort();
    }
  }
  platform.gone = false;
  return *opened = kOpened;
}
int64_t MonotonicMs() { return platform.now_ms; }

}  // namespace comport_platform

namespace console {

int _kbhit() { return platform.keys.empty() ? 0 : 1; }

int _getch() {
  if (platform.keys.empty()) return -1;
  int key = platform.keys.front();
  platform.keys.pop_front();
  return key;
}

void AwaitKeyDecision() {}
void TakeKeyboard() {}
void InitOutput() {}
void PrintShiftJis(const char* text) { std::fputs(text, stdout); }

}  // namespace console
