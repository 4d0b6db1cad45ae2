// The few primitives each platform provides to the portable serial logic.
#pragma once

#include <cstdint>

#include "comport.h"

namespace comport_platform {

// The failure value of ComportOpen: -1 as a descriptor or as a HANDLE.
PortHandle NoPort();

// Opens the device named "COMn" exclusively for reading and writing,
// or returns NoPort() when it is missing, busy or cannot be opened.
PortHandle OpenPort(const char* name);

// Applies 8N1 raw at the given rate, DTR high, RTS low. False when the
// current settings could not be read: nothing has been written then.
bool Configure(PortHandle handle, uint32_t baud);

uint32_t RxCount(PortHandle handle);              // 0 when the query fails
int ReadByte(PortHandle handle, uint8_t* byte);   // bytes read, 0 or 1
void WriteByte(PortHandle handle, uint8_t byte);  // waits until written
void SetRts(PortHandle handle, bool high);
void SleepMs(unsigned milliseconds);  // the full time, even if interrupted
void Close(PortHandle handle);

}  // namespace comport_platform
