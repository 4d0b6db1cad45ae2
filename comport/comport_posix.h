// POSIX pieces of the serial module that tests reach directly.
#pragma once

#include <cstddef>

namespace comport_posix {

// Maps "COMn" to "/dev/ttyS<n-1>". False when the name names no device
// (COM0, a malformed name, or a path that would not fit).
bool DevicePath(const char* name, char* path, size_t size);

// Opens a serial device path exclusively; -1 when missing, busy, a console
// or not a terminal. Non-blocking: reads and writes never wait. `opened`,
// where given, holds the descriptor from the moment the device is open (-1
// again when it is refused after all).
int OpenDevice(const char* path, int* opened = nullptr);

}  // namespace comport_posix
