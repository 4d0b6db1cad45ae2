// The few primitives each platform provides to the portable serial logic.
#pragma once

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
// when the driver did not take the new ones, which it says on standard
// error: the port would run at another speed or framing.
bool Configure(PortHandle handle, uint32_t baud);

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

}  // namespace comport_platform
