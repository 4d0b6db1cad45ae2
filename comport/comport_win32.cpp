// Win32 serial primitives: the COM port itself.
#include <windows.h>
// After windows.h, which it needs.
#include <timeapi.h>

#include <cstdio>

#include "comport_platform.h"

namespace {

// The rates the port may be set to (the settings record takes the rate
// itself).
constexpr DWORD kRates[] = {CBR_2400,  CBR_4800,  CBR_9600,  CBR_19200,
                            CBR_38400, CBR_57600, CBR_115200};

// The write time-out last set on the port, in ms; 0: the driver's own.
DWORD write_timeout_ms = 0;

// The port's name, for finding it again, and whether a serial call on it
// has failed since it was last found there.
char port_name[12] = "";
bool call_failed = false;

// Notes a serial call's failure; returns its result.
BOOL Noted(BOOL result) {
  if (!result) call_failed = true;
  return result;
}

// Whether the system still has a device by the port's name, asked of the
// DOS device names, which opens nothing.
bool NameStands() {
  char target[512];
  return QueryDosDeviceA(port_name, target, sizeof target) != 0;
}

}  // namespace

namespace comport_platform {

PortHandle NoPort() { return INVALID_HANDLE_VALUE; }

bool MapsBaud(uint32_t baud) {
  for (DWORD rate : kRates) {
    if (rate == baud) return true;
  }
  return false;
}

PortHandle OpenPort(const char* name, PortHandle* opened) {
  // COM10 and above open only through the device namespace; COM1-COM9 do
  // too. "\\.\COM255" still fits twelve characters.
  char path[12];
  std::snprintf(path, sizeof path, "\\\\.\\%s", name);
  // Share mode 0: exclusive. Flags 0: synchronous.
  *opened = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  std::snprintf(port_name, sizeof port_name, "%s", name);
  call_failed = false;
  return *opened;
}

bool Configure(PortHandle handle, uint32_t baud, char* why, size_t size) {
  why[0] = '\0';
  SetupComm(handle, 1024, 1024);
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  if (!GetCommState(handle, &dcb)) return false;
  dcb.BaudRate = baud;
  dcb.ByteSize = 8;
  dcb.Parity = NOPARITY;
  dcb.StopBits = ONESTOPBIT;
  dcb.fParity = FALSE;
  dcb.fOutxCtsFlow = FALSE;
  dcb.fOutxDsrFlow = FALSE;
  dcb.fDtrControl = DTR_CONTROL_ENABLE;
  dcb.fDsrSensitivity = FALSE;
  dcb.fTXContinueOnXoff = FALSE;
  dcb.fOutX = FALSE;
  dcb.fInX = FALSE;
  dcb.fErrorChar = FALSE;
  dcb.fNull = FALSE;
  dcb.fRtsControl = RTS_CONTROL_DISABLE;
  dcb.fAbortOnError = FALSE;
  // A driver may refuse or leave out part of the settings: read them back.
  DCB taken{};
  taken.DCBlength = sizeof taken;
  if (!SetCommState(handle, &dcb) || !GetCommState(handle, &taken)) {
    std::snprintf(why, size, "the port's driver refused %lu 8N1 (error %lu)",
                  static_cast<unsigned long>(baud), static_cast<unsigned long>(GetLastError()));
    return false;
  }
  const bool flow = taken.fOutxCtsFlow || taken.fOutxDsrFlow || taken.fOutX || taken.fInX ||
                    taken.fRtsControl == RTS_CONTROL_HANDSHAKE ||
                    taken.fDtrControl == DTR_CONTROL_HANDSHAKE;
  if (taken.BaudRate != baud || taken.ByteSize != 8 || taken.Parity != NOPARITY ||
      taken.StopBits != ONESTOPBIT || flow) {
    std::snprintf(why, size,
                  "the port's driver did not take %lu 8N1: it runs at %lu, %u data bits, "
                  "parity %u, stop bits %u, flow control %s",
                  static_cast<unsigned long>(baud), static_cast<unsigned long>(taken.BaudRate),
                  taken.ByteSize, taken.Parity, taken.StopBits, flow ? "on" : "off");
    return false;
  }
  // Nothing waits on serial events; the mask is set and left.
  SetCommMask(handle, EV_TXEMPTY);
  return true;
}

uint32_t RxCount(PortHandle handle) {
  DWORD errors = 0;
  COMSTAT status{};
  if (!Noted(ClearCommError(handle, &errors, &status))) return 0;
  return status.cbInQue;
}

// The count is the driver's own: nothing follows from a wait.
void AfterWait(PortHandle) {}

int ReadByte(PortHandle handle, uint8_t* byte) {
  DWORD got = 0;
  ReadFile(handle, byte, 1, &got, nullptr);
  return got >= 1 ? 1 : 0;
}

unsigned WriteByte(PortHandle handle, uint8_t byte, unsigned within_ms) {
  // A synchronous write waits as long as the port's write time-out allows:
  // bound it by the hold (the read fields stay as the driver had them).
  if (write_timeout_ms != within_ms) {
    COMMTIMEOUTS timeouts{};
    if (GetCommTimeouts(handle, &timeouts)) {
      timeouts.WriteTotalTimeoutMultiplier = 0;
      timeouts.WriteTotalTimeoutConstant = within_ms;
      if (SetCommTimeouts(handle, &timeouts)) write_timeout_ms = within_ms;
    }
  }
  LARGE_INTEGER frequency, start, end;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&start);
  DWORD put = 0;
  // A write that times out succeeds with nothing written.
  Noted(WriteFile(handle, &byte, 1, &put, nullptr));
  QueryPerformanceCounter(&end);
  LONGLONG waited_ms = (end.QuadPart - start.QuadPart) * 1000 / frequency.QuadPart;
  return waited_ms < within_ms ? static_cast<unsigned>(waited_ms) : within_ms;
}

uint32_t TxCount(PortHandle handle) {
  DWORD errors = 0;
  COMSTAT status{};
  if (!ClearCommError(handle, &errors, &status)) return 0;
  return status.cbOutQue;
}

void DiscardOutput(PortHandle handle) { PurgeComm(handle, PURGE_TXABORT | PURGE_TXCLEAR); }

void SetRts(PortHandle handle, bool high) {
  Noted(EscapeCommFunction(handle, high ? SETRTS : CLRRTS));
}

void SetDtr(PortHandle handle, bool high) { EscapeCommFunction(handle, high ? SETDTR : CLRDTR); }

// The hold is a Sleep, which ends on a tick of the system timer: 15.625 ms
// by default (and since Windows 10 2004 no finer for another program's
// asking), so 30 ms would end anywhere up to 45 ms. The finest timer, 1 ms,
// only while a hold lasts: at idle the program wakes on the default tick.
void SleepMs(unsigned milliseconds) {
  timeBeginPeriod(1);
  Sleep(milliseconds);
  timeEndPeriod(1);
}

void Close(PortHandle handle) { CloseHandle(handle); }

// A failed call alone is no removal (some drivers answer one with
// ERROR_ACCESS_DENIED while plugged in, and a close would drop DTR and
// reset the board): the name must be gone from the system too.
bool Gone(PortHandle) {
  if (!call_failed) return false;
  call_failed = false;
  return !NameStands();
}

// Windows keeps a COM name with its device, so the port is the name. Under
// Wine, COM1 is a node of the Linux system it runs on (through the
// launcher, the node the device had): never opened again there.
bool Identify(PortHandle, DeviceIdentity* identity) {
  *identity = DeviceIdentity{};
  std::snprintf(identity->path, sizeof identity->path, "%s", port_name);
  HMODULE ntdll = GetModuleHandleA("ntdll.dll");
  return ntdll == nullptr || GetProcAddress(ntdll, "wine_get_version") == nullptr;
}

int PresentPorts(PresentPort* ports, int most) {
  if (most < 1 || !NameStands()) return 0;
  ports[0] = PresentPort{};
  std::snprintf(ports[0].identity.path, sizeof ports[0].identity.path, "%s", port_name);
  std::snprintf(ports[0].node, sizeof ports[0].node, "\\\\.\\%s", port_name);
  std::snprintf(ports[0].name, sizeof ports[0].name, "%s", port_name);
  ports[0].key = 1;
  return 1;
}

void Describe(const PresentPort& port, char* text, size_t size) {
  std::snprintf(text, size, "%s", port.name);
}

PortHandle OpenPresent(const PresentPort& port, PortHandle* opened, char* why, size_t size) {
  PortHandle handle = OpenPort(port.name, opened);
  if (handle == INVALID_HANDLE_VALUE) {
    std::snprintf(why, size, "error %lu", static_cast<unsigned long>(GetLastError()));
  }
  return handle;
}

int64_t MonotonicMs() { return static_cast<int64_t>(GetTickCount64()); }

}  // namespace comport_platform
