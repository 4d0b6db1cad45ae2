// Portable serial logic: range checks, naming, opening, keyed sending and
// line reads, over the primitives of comport_platform.h.
#include "comport.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "comport_platform.h"
#include "console.h"
#include "shown_text.h"

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

// What the serial module has to say, for the terminal to show at idle, in
// the order of the events; and whether bytes were offered while the port
// was gone since the last word of it.
struct Notes {
  char lines[4][1024];
  int count = 0;
  int next = 0;
  bool unsent = false;
};
Notes notes;

void Note(const char* format, ...) {
  if (notes.count == 4) return;  // unread: the terminal is busy with a line
  va_list args;
  va_start(args, format);
  std::vsnprintf(notes.lines[notes.count++], sizeof notes.lines[0], format, args);  // NOLINT
  va_end(args);
}

// A port that has left is looked for every quarter of a second, by what
// the system says of the devices it has, never by opening one (an open
// raises DTR, which resets many boards).
constexpr int64_t kLookEveryMs = 250;
constexpr int kMostPorts = 32;

struct Leaving {
  bool may_come_back = false;           // recorded at each open, with:
  platform::DeviceIdentity identity{};  // what the port's device is
  bool waiting = false;                 // it is gone and looked for
  int64_t next_look_ms = 0;
  uint64_t others[kMostPorts];  // the ports the last look saw that are not it
  int other_count = 0;
  char not_yet[256] = "";  // why it could not be opened, said once
};
Leaving leaving;
platform::PresentPort present[kMostPorts];

// The same device: for USB, the same function of the same model, and the
// same serial, or neither with one and the same place on the bus; else the
// same place in the device tree.
bool SameDevice(const platform::DeviceIdentity& a, const platform::DeviceIdentity& b) {
  if (a.path[0] == '\0' || b.path[0] == '\0' || a.usb != b.usb) return false;
  if (!a.usb) return std::strcmp(a.path, b.path) == 0;
  const bool same_function =
      std::strcmp(a.vendor, b.vendor) == 0 && std::strcmp(a.product, b.product) == 0 &&
      std::strcmp(a.function, b.function) == 0 && std::strcmp(a.port_number, b.port_number) == 0;
  const bool same_unit = a.serial[0] != '\0'
                             ? std::strcmp(a.serial, b.serial) == 0
                             : b.serial[0] == '\0' && std::strcmp(a.path, b.path) == 0;
  return same_function && same_unit;
}

unsigned PortNumber() { return static_cast<unsigned>(ComportSetting::port); }

// One appearance of a port: its number and what it is (a number freed by
// one device is the next one's).
uint64_t Appearance(const platform::PresentPort& port) {
  uint64_t hash = 14695981039346656037ULL ^ port.key;  // FNV-1a
  for (const char* text : {port.identity.path, port.identity.serial, "/"}) {
    for (const char* c = text; *c != '\0'; ++c)
      hash = (hash ^ static_cast<uint8_t>(*c)) * 1099511628211ULL;
  }
  return hash;
}

// The port has left: closed at once, so that the system can free its
// number for it, said, and looked for where it can come back.
void Lose() {
  ComportClose();
  if (!leaving.may_come_back) {
    Note("vlxterm: COM%u is gone (unplugged?) and cannot come back to vlxterm: Esc ends it",
         PortNumber());
    return;
  }
  Note(
      "vlxterm: COM%u is gone (unplugged?): vlxterm waits for the same device to come back; "
      "Esc ends it",
      PortNumber());
  leaving.waiting = true;
  leaving.next_look_ms = platform::MonotonicMs() + kLookEveryMs;
  // What is there now is no news later.
  leaving.other_count = platform::PresentPorts(present, kMostPorts);
  for (int i = 0; i < leaving.other_count; ++i) leaving.others[i] = Appearance(present[i]);
}

// Opens the port's device again where it came back, with the set-up of the
// first open; says once why it cannot be opened yet.
bool OpenAgain(const platform::PresentPort& port) {
  char why[256] = "";
  PortHandle handle = platform::OpenPresent(port, &port_handle, why, sizeof why);
  if (!ComportIsFailure(handle) &&
      !platform::Configure(handle, ComportSetting::baud, why, sizeof why)) {
    ComportClose();
    handle = platform::NoPort();
    if (why[0] == '\0') std::snprintf(why, sizeof why, "its settings cannot be read");
  }
  const auto node = shown::Shown<80>(port.node);
  if (ComportIsFailure(handle)) {
    // (Nothing to say of a node not there yet, or of a tty the system is
    // still taking down.)
    if (why[0] != '\0' && std::strcmp(why, leaving.not_yet) != 0) {
      std::snprintf(leaving.not_yet, sizeof leaving.not_yet, "%s", why);
      Note("vlxterm: COM%u is back as %s but cannot be opened yet (%s): vlxterm tries again",
           PortNumber(), node.text, why);
    }
    return false;
  }
  leaving.waiting = false;
  leaving.not_yet[0] = '\0';
  leaving.may_come_back = platform::Identify(handle, &leaving.identity);
  Note("vlxterm: COM%u is back (%s)", PortNumber(), node.text);
  return true;
}

// One look at the ports there now: the port's device is opened; any other
// that was not there at the last look is named, once, and never opened.
void Look() {
  leaving.next_look_ms = platform::MonotonicMs() + kLookEveryMs;
  const int count = platform::PresentPorts(present, kMostPorts);
  uint64_t others[kMostPorts];
  int other_count = 0;
  for (int i = 0; i < count; ++i) {
    if (SameDevice(leaving.identity, present[i].identity)) {
      if (OpenAgain(present[i])) return;
      continue;
    }
    others[other_count++] = Appearance(present[i]);
    const uint64_t* known = leaving.others;
    const uint64_t* seen = known + leaving.other_count;
    if (std::find(known, seen, others[other_count - 1]) != seen) continue;
    char described[640];
    platform::Describe(present[i], described, sizeof described);
    Note(
        "vlxterm: %s came, but it is not COM%u's device: vlxterm goes on waiting (to use it, "
        "press Esc and start vlxterm-on on it)",
        described, PortNumber());
  }
  std::copy(others, others + other_count, leaving.others);
  leaving.other_count = other_count;
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
  // such a device is as unusable as a missing one, and so is one whose
  // driver did not take them.
  char why[256];
  if (!platform::Configure(handle, baud, why, sizeof why)) {
    if (why[0] != '\0') std::fprintf(stderr, "vlxterm: %s\n", why);
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
  leaving = Leaving{};
  leaving.may_come_back = platform::Identify(port_handle, &leaving.identity);
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

void ComportAfterWait(PortSaw saw) {
  if (!ComportIsFailure(port_handle)) {
    platform::AfterWait(port_handle);
    if (saw == PortSaw::kHangUp) Lose();
  }
  if (leaving.waiting && platform::MonotonicMs() >= leaving.next_look_ms) Look();
}

int ComportNextLookInMs() {
  if (!leaving.waiting) return -1;
  const int64_t left = leaving.next_look_ms - platform::MonotonicMs();
  return left > 0 ? static_cast<int>(left) : 0;
}

const char* ComportNote() {
  if (notes.next < notes.count) return notes.lines[notes.next++];
  notes.next = notes.count = 0;
  if (!notes.unsent) return nullptr;
  notes.unsent = false;
  Note("vlxterm: COM%u is gone: what was typed was not sent", PortNumber());
  return notes.lines[notes.next++];
}

uint32_t ComportRxCount() {
  if (ComportIsFailure(port_handle)) return 0;
  const uint32_t count = platform::RxCount(port_handle);
  if (count == 0 && platform::Gone(port_handle)) Lose();
  return count;
}

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
// A byte offered while the port is gone goes nowhere, now or later (there is
// no queue), and is said; a call that finds the device gone ends the text
// at once: no more holds, no CR.
void ComportPutc(uint8_t byte) {
  if (ComportIsFailure(port_handle)) {
    notes.unsent = true;
    return;
  }
  if (platform::TxCount(port_handle) != 0) return;
  platform::SetRts(port_handle, true);
  unsigned waited_ms = platform::WriteByte(port_handle, byte, kRtsHoldMs);
  if (platform::Gone(port_handle)) {
    Lose();  // which takes RTS down with the port
    notes.unsent = true;
    return;
  }
  platform::SleepMs(kRtsHoldMs - waited_ms);
  if (platform::TxCount(port_handle) != 0) platform::DiscardOutput(port_handle);
  platform::SetRts(port_handle, false);
}

void ComportPuts(const uint8_t* text) {
  for (const uint8_t* next = text; *next != 0; ++next) {
    ComportPutc(*next);
    if (ComportIsFailure(port_handle)) return;  // gone: said once, at idle
    // An Esc typed during this byte's hold must stop the text here, not
    // one or two bytes later when its short wait would have run out.
    console::AwaitKeyDecision();
    if (console::_kbhit() && console::_getch() == kEsc) return;
  }
}
