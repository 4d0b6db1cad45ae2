// Fuzzes the showing of text from elsewhere: whatever the bytes, what
// reaches the terminal fits its buffer and is valid UTF-8 with no control
// in it (C0, DEL, C1), decoded here on its own terms.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "shown_text.h"

namespace {

void Fail(const char* check, int line) {
  std::fprintf(stderr, "check failed, line %d: %s\n", line, check);
  std::abort();
}
#define Check(ok) ((ok) ? (void)0 : Fail(#ok, __LINE__))

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  char raw[512];
  size = size < sizeof raw ? size : sizeof raw - 1;
  std::memcpy(raw, data, size);
  raw[size] = '\0';
  char out[64];
  shown::Show(raw, out, sizeof out);
  const auto* at = reinterpret_cast<const uint8_t*>(out);
  const size_t length = std::strlen(out);
  Check(length < sizeof out);
  for (size_t i = 0; i < length;) {
    const uint8_t lead = at[i];
    const size_t bytes = lead < 0x80 ? 1 : lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
    Check(lead < 0x80 || lead >= 0xC0);
    Check(i + bytes <= length);
    uint32_t code = bytes == 1 ? lead : lead & (0xFF >> (bytes + 1));
    for (size_t k = 1; k < bytes; ++k) {
      Check((at[i + k] & 0xC0) == 0x80);
      code = code << 6 | (at[i + k] & 0x3F);
    }
    const uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
    Check(code >= least[bytes] && code <= 0x10FFFF && (code < 0xD800 || code > 0xDFFF));
    Check(code >= 0x20 && (code < 0x7F || code > 0x9F));
    i += bytes;
  }
  return 0;
}
