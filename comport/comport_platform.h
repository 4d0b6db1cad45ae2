// The few primitives each platform provides to the portable serial logic.
#pragma once

#include <cstddef>
#include <cstdint>

#include "comport.h"

namespace comport_platform {

// The failure value of ComportOpen: -1 as a descriptor or as a HANDLE.
PortHandle NoPort();

// Whether the port can be set to `baud`: one of the supported rates, which
// the platform's table maps to its own settings.
bool MapsBaud(uint32_t baud);

// Opens the device named "COMn" exclusively for reading and writing,
// or returns NoPort() when it is missing, busy or cannot be opened.
// `opened` holds the handle from the moment the device is open (NoPort()
// again if it is refused after all), so that an exit meanwhile, by a
// signal, releases what the open took.
PortHandle OpenPort(const char* name, PortHandle* opened);

// Applies 8N1 raw at the given rate, DTR high, RTS low. False when the
// current settings could not be read (nothing has been written then), or
// when the driver did not take the new ones, which `why` then says (else
// it is ""): the port would run at another speed or framing.
bool Configure(PortHandle handle, uint32_t baud, char* why, size_t size);

// How many received bytes wait (at least; 0 when none do or the port
// cannot be read): on Windows the driver's count, on POSIX what a read of
// the driver brought.
uint32_t RxCount(PortHandle handle);
// A wait of the terminal's has looked at the port (and returned).
void AfterWait(PortHandle handle);
int ReadByte(PortHandle handle, uint8_t* byte);  // bytes read, 0 or 1
// Offers the byte to the driver for at most within_ms and returns how many
// whole milliseconds that took: a driver that takes nothing (a stalled
// device) never holds the caller longer. A byte not taken is not sent.
unsigned WriteByte(PortHandle handle, uint8_t byte, unsigned within_ms);
uint32_t TxCount(PortHandle handle);  // bytes the driver still holds to send
void DiscardOutput(PortHandle handle);
void SetRts(PortHandle handle, bool high);
void SetDtr(PortHandle handle, bool high);
void SleepMs(unsigned milliseconds);  // the full time, even if interrupted
// Gives the port back as it was found (its settings, no exclusivity of
// ours left on it) and closes it without waiting for output the driver
// still holds: that is dropped. Safe from a signal handler.
void Close(PortHandle handle);

// Whether a call on the port has failed because its device is gone (on
// POSIX: EIO, ENODEV or ENXIO; on Windows: the serial calls fail and COM1 is
// no longer among the system's device names).
bool Gone(PortHandle handle);

// What a serial device is, as the system knows it, to find it again after
// it has left, under whatever number it comes back.
struct DeviceIdentity {
  bool usb;
  char path[256];  // the USB device's place (its port chain under its
                   // controller), or a device's that is not USB
  char vendor[8], product[8];
  char serial[128];     // "" when the device reports none
  char function[8];     // the USB interface's number: which function of the device
  char port_number[8];  // the port's number on a USB adapter of several; ""
};
// The identity of the port just opened. False when it cannot be found
// again here: the system gives it no identity (a pseudo-terminal), or this
// program cannot reach a node that appears later.
bool Identify(PortHandle handle, DeviceIdentity* identity);

// A serial port present now, found without opening anything.
struct PresentPort {
  DeviceIdentity identity;  // path "" when it has none
  char node[64];            // the node it opens by now: /dev/ttyACM0, \\.\COM1
  uint64_t key;             // which device it is now (its number)
  char name[64];            // the system's name for it
};
// The serial ports present now; how many (at most `most`).
int PresentPorts(PresentPort* ports, int most);
// A present port in the words of the launcher's list, shown escaped.
void Describe(const PresentPort& port, char* text, size_t size);
// Opens a present port as OpenPort opens COM1, judged by the same rules
// (not a console, not in use); NoPort() with what stood in the way in
// `why`. `opened` as for OpenPort.
PortHandle OpenPresent(const PresentPort& port, PortHandle* opened, char* why, size_t size);
// Milliseconds on a clock that only goes forward.
int64_t MonotonicMs();

}  // namespace comport_platform
