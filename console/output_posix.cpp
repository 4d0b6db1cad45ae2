// Standard output on POSIX: buffering as a console program expects it, and
// the Shift_JIS message shown in the user's own character set.
#include "output_posix.h"

#include <iconv.h>
#include <langinfo.h>
#include <unistd.h>

#include <clocale>
#include <cstdio>
#include <cstring>

#include "console.h"

namespace console {

void InitOutput() {
  static char buffer[4096];
  // On a terminal every call shows at once, so writes that no flush follows
  // (the Backspace rubout, the newline after Enter) appear in time.
  if (isatty(STDOUT_FILENO)) {
    std::setvbuf(stdout, nullptr, _IONBF, 0);
  } else {
    std::setvbuf(stdout, buffer, _IOFBF, sizeof buffer);
  }
}

bool ConvertShiftJis(const char* text, const char* codeset, char* out, size_t size,
                     size_t* length) {
  iconv_t cd = iconv_open(codeset, "CP932");
  // iconv_open reports failure as (iconv_t)-1.
  if (cd == reinterpret_cast<iconv_t>(-1)) return false;  // NOLINT(performance-no-int-to-ptr)
  char* in = const_cast<char*>(text);
  size_t in_left = std::strlen(text);
  char* next = out;
  size_t out_left = size;
  bool ok = iconv(cd, &in, &in_left, &next, &out_left) != static_cast<size_t>(-1) &&
            iconv(cd, nullptr, nullptr, &next, &out_left) != static_cast<size_t>(-1);
  iconv_close(cd);
  *length = size - out_left;
  return ok;
}

void PrintShiftJis(const char* text) {
  std::setlocale(LC_CTYPE, "");
  char converted[256];
  size_t length = 0;
  if (ConvertShiftJis(text, nl_langinfo(CODESET), converted, sizeof converted, &length)) {
    std::fwrite(converted, 1, length, stdout);
  } else {
    // No character set can show it: the bytes as they are beat nothing.
    std::fputs(text, stdout);
  }
}

}  // namespace console
