#include "fake_platform.h"

#include <cstdint>
#include <cstdio>

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

bool Configure(PortHandle, uint32_t baud) {
  platform.log.push_back("configure " + std::to_string(baud));
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
