// Windows console internals the terminal's idle wait needs.
#pragma once

#include <windows.h>

namespace console {

// The console's input handle ("CONIN$"), or INVALID_HANDLE_VALUE when
// there is no console. Opened on first use.
HANDLE InputHandle();

}  // namespace console
