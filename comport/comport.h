// The serial module: the one port the terminal talks through.
#pragma once

#include <cstddef>
#include <cstdint>

#ifdef _WIN32
using PortHandle = void*;  // HANDLE
#else
using PortHandle = int;  // file descriptor
#endif

// The port setting, written by the terminal before ComportOpenSetting().
namespace ComportSetting {
extern uint32_t port;  // the n of COMn
extern uint32_t baud;  // bits per second
}  // namespace ComportSetting

// Handle of an open, configured port, or the failure value when the port
// number or baud rate is not supported. Ends the program (status 1) when
// the port is missing, busy or unusable.
PortHandle ComportOpen(uint32_t port, uint32_t baud);
bool ComportIsFailure(PortHandle handle);

// Opens the port named by ComportSetting; ends the program on failure.
void ComportOpenSetting();
void ComportClose();

// The handle of the open port, for waiting on it; the failure value while
// the port is gone.
PortHandle ComportHandle();

// A port can leave (a USB board's reset, a loose cable). The serial module
// then closes it at once, so that the system frees its number, and looks
// for the same device to come back, under whatever name, as long as it
// can (a device the system gives no identity, such as a pseudo-terminal,
// is gone for good); it never opens another device. Meanwhile nothing is
// received, and what is sent goes nowhere.

// What a wait of the terminal's saw on the port's handle.
enum class PortSaw {
  kNothing,  // or the port was not waited on (Windows), or the wait timed out
  kData,
  kHangUp,
};
// Called after every wait of the terminal's, whatever ended it, with what
// the wait saw of the port: the serial module's own facts follow from it
// (a hang-up closes the port; a port that is gone is looked for when its
// time has come).
void ComportAfterWait(PortSaw saw);
// Milliseconds until the serial module wants to look for its port again,
// or -1 when it does not: a bound for the terminal's idle wait.
int ComportNextLookInMs();
// What the serial module has to say of its port (gone, back, another
// device came, a line not sent), a line at a time without its line end, for
// the terminal to show at idle; nullptr when there is nothing more.
const char* ComportNote();

uint32_t ComportRxCount();
// One received byte, or 0xFF when nothing was read.
uint8_t ComportGetc();
// Reads one line (ended by CR or LF, which is not stored) into buffer,
// always zero-terminated within capacity. Returns true for a whole line,
// false when Esc was pressed or the buffer filled first.
bool ComportGets(uint8_t* buffer, size_t capacity);

// Sends one byte inside its own RTS pulse with a 30 ms hold.
void ComportPutc(uint8_t byte);
// Sends a zero-terminated text byte by byte; Esc stops it early.
void ComportPuts(const uint8_t* text);
