// POSIX pieces of the serial module that tests reach directly.
#pragma once

#include <sys/types.h>
#include <termios.h>

#include <cstddef>

namespace comport_posix {

// Maps "COMn" to "/dev/ttyS<n-1>". False when the name names no device
// (COM0, a malformed name, or a path that would not fit).
bool DevicePath(const char* name, char* path, size_t size);

// What an open checks beyond what every open checks (not a console, not
// locked, a terminal, exclusive use), and where it says why it refused.
struct OpenChecks {
  dev_t device = 0;     // the node must be this device, which no other
                        // process may have open (0: any device, unscanned)
  char* why = nullptr;  // the refusal, here (else a console's on stderr)
  size_t size = 0;
};

// Opens a serial device path exclusively; -1 when missing, busy, a console
// or not a terminal. Non-blocking: reads and writes never wait. `opened`,
// where given, holds the descriptor from the moment the device is open (-1
// again when it is refused after all).
int OpenDevice(const char* path, int* opened = nullptr, const OpenChecks& checks = {});

// What of the settings `asked` the driver did not take, as read back into
// `got`, for a message ("the input speed, 8 data bits"): the speeds, 8 data
// bits, no parity, one stop bit, no flow control, raw input and output.
// Empty when it took them all.
void Untaken(const termios& asked, const termios& got, char* what, size_t size);

}  // namespace comport_posix
