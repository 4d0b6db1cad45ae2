// Win32 serial primitives: the COM port itself.
#include <windows.h>

#include <cstdio>

#include "comport_platform.h"

namespace comport_platform {

PortHandle NoPort() { return INVALID_HANDLE_VALUE; }

PortHandle OpenPort(const char* name) {
  // COM10 and above open only through the device namespace; COM1-COM9 do
  // too. "\\.\COM255" still fits twelve characters.
  char path[12];
  std::snprintf(path, sizeof path, "\\\\.\\%s", name);
  // Share mode 0: exclusive. Flags 0: synchronous.
  return CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
}

bool Configure(PortHandle handle, uint32_t baud) {
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
  SetCommState(handle, &dcb);
  // Nothing waits on serial events; the mask is set and left.
  SetCommMask(handle, EV_TXEMPTY);
  return true;
}

uint32_t RxCount(PortHandle handle) {
  DWORD errors = 0;
  COMSTAT status{};
  if (!ClearCommError(handle, &errors, &status)) return 0;
  return status.cbInQue;
}

int ReadByte(PortHandle handle, uint8_t* byte) {
  DWORD got = 0;
  ReadFile(handle, byte, 1, &got, nullptr);
  return got >= 1 ? 1 : 0;
}

void WriteByte(PortHandle handle, uint8_t byte) {
  DWORD put = 0;
  WriteFile(handle, &byte, 1, &put, nullptr);
}

void SetRts(PortHandle handle, bool high) { EscapeCommFunction(handle, high ? SETRTS : CLRRTS); }

void SleepMs(unsigned milliseconds) { Sleep(milliseconds); }

void Close(PortHandle handle) { CloseHandle(handle); }

}  // namespace comport_platform
