// The conversion behind console::PrintShiftJis on POSIX, for its tests.
#pragma once

#include <cstddef>

namespace console {

// Converts a Shift_JIS text into the character set `codeset` (as iconv
// names it). False when that is impossible; out is then unspecified.
bool ConvertShiftJis(const char* text, const char* codeset, char* out, size_t size, size_t* length);

}  // namespace console
