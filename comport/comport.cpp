// Portable serial logic: range checks, naming, opening, keyed sending and
// line reads, over the primitives of comport_platform.h.
#include "comport.h"

#include <cstdio>
#include <cstdlib>

#include "comport_platform.h"
#include "console.h"

namespace ComportSetting {
uint32_t port = 0;
uint32_t baud = 0;
}  // namespace ComportSetting

namespace {

namespace platform = comport_platform;

PortHandle port_handle = platform::NoPort();

constexpr int kEsc = 27;
constexpr unsigned kRtsHoldMs = 30;

// "COM%iポートが存在しないか、既に使用中です\n" in Shift_JIS (code page 932).
constexpr char kPortMissingFormat[] =
    "COM%i"
    "\x83\x7c\x81\x5b\x83\x67\x82\xaa\x91\xb6\x8d\xdd\x82\xb5\x82\xc8\x82\xa2"
    "\x82\xa9\x81\x41\x8a\xf9\x82\xc9\x8e\x67\x97\x70\x92\x86\x82\xc5\x82\xb7"
    "\n";

[[noreturn]] void ReportPortMissing(uint32_t port) {
  char message[sizeof kPortMissingFormat + 8];
  std::snprintf(message, sizeof message, kPortMissingFormat, static_cast<int>(port));
  console::PrintShiftJis(message);
  std::exit(1);
}

}  // namespace

bool ComportIsFailure(PortHandle handle) { return handle == platform::NoPort(); }

PortHandle ComportOpen(uint32_t port, uint32_t baud) {
  if (port > 255) return platform::NoPort();
  char name[12];
  std::snprintf(name, sizeof name, "COM%i", static_cast<int>(port));
  if (!platform::MapsBaud(baud)) return platform::NoPort();

  // Known to the exit path from the moment it is open: a signal during the
  // set-up still gives back what the open took.
  PortHandle handle = platform::OpenPort(name, &port_handle);
  if (ComportIsFailure(handle)) ReportPortMissing(port);
  // Settings that cannot be read must not be written back half-defined:
  // such a device is as unusable as a missing one.
  if (!platform::Configure(handle, baud)) {
    ComportClose();
    ReportPortMissing(port);
  }
  return handle;
}

void ComportOpenSetting() {
  port_handle = ComportOpen(ComportSetting::port, ComportSetting::baud);
  if (ComportIsFailure(port_handle)) {
    std::printf("Comport Open FAIL!\n");
    std::exit(1);
  }
}

// Releases the port however the program ends (Esc, or a signal's exit):
// nothing still queued goes out late, the lines go down whatever the driver
// does at the last close, then the port is given back. A repeat finds no
// port (a signal during the first one ends the program in its handler).
void ComportClose() {
  if (ComportIsFailure(port_handle)) return;
  platform::DiscardOutput(port_handle);
  platform::SetRts(port_handle, false);
  platform::SetDtr(port_handle, false);
  platform::Close(port_handle);
  port_handle = platform::NoPort();
}

PortHandle ComportHandle() { return port_handle; }

void ComportAfterWait(PortSaw) { platform::AfterWait(port_handle); }

uint32_t ComportRxCount() { return platform::RxCount(port_handle); }

uint8_t ComportGetc() {
  uint8_t byte = 0;
  if (platform::ReadByte(port_handle, &byte) >= 1) return byte;
  return 0xFF;
}

bool ComportGets(uint8_t* buffer, size_t capacity) {
  if (capacity == 0) return false;
  console::AwaitKeyDecision();  // every key test here reads the terminal
  size_t position = 0;
  for (;;) {
    if (position + 1 == capacity) {
      buffer[position] = 0;
      return false;
    }
    if (ComportRxCount() != 0) {
      uint8_t byte = ComportGetc();
      if (byte == '\r' || byte == '\n') {
        buffer[position] = 0;
        return true;
      }
      buffer[position++] = byte;
    } else if (console::_kbhit()) {
      if (console::_getch() == kEsc) {
        buffer[position] = 0;
        return false;
      }
    }
  }
}

// The hold counts from the write's return; a driver slow to take the byte
// uses up the hold, so a stalled device keeps RTS up one hold and no more.
// What the driver still holds at the end would leave outside the pulse, so
// it is discarded; a driver that cannot give it up (no flush of its own)
// is offered nothing more until it holds nothing: the device takes nothing.
void ComportPutc(uint8_t byte) {
  if (platform::TxCount(port_handle) != 0) return;
  platform::SetRts(port_handle, true);
  unsigned waited_ms = platform::WriteByte(port_handle, byte, kRtsHoldMs);
  platform::SleepMs(kRtsHoldMs - waited_ms);
  if (platform::TxCount(port_handle) != 0) platform::DiscardOutput(port_handle);
  platform::SetRts(port_handle, false);
}

void ComportPuts(const uint8_t* text) {
  for (const uint8_t* next = text; *next != 0; ++next) {
    ComportPutc(*next);
    // An Esc typed during this byte's hold must stop the text here, not
    // one or two bytes later when its short wait would have run out.
    console::AwaitKeyDecision();
    if (console::_kbhit() && console::_getch() == kEsc) return;
  }
}
