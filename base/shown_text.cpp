#include "shown_text.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace shown {
namespace {

// The letter escapes of the C0 controls that have one.
struct Letter {
  uint8_t byte;
  char letter;
};
constexpr Letter kLetters[] = {{0x07, 'a'}, {0x08, 'b'}, {0x09, 't'}, {0x0A, 'n'}, {0x0B, 'v'},
                               {0x0C, 'f'}, {0x0D, 'r'}, {0x1B, 'e'}, {'\\', '\\'}};

// The length of the valid UTF-8 sequence of a printable character at `at`
// (1 for printable ASCII), or 0: a control, or not valid UTF-8 (a stray or
// missing continuation byte, an overlong form, a surrogate, beyond
// U+10FFFF). A C1 control (U+0080-U+009F) is valid UTF-8 but a control.
size_t PrintableLength(const uint8_t* at) {
  const uint8_t lead = at[0];
  if (lead < 0x80) return lead >= 0x20 && lead != 0x7F && lead != '\\' ? 1 : 0;
  size_t length = 0;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
  } else {
    return 0;
  }
  for (size_t i = 1; i < length; ++i) {
    if ((at[i] & 0xC0) != 0x80) return 0;  // also the terminating zero
  }
  const uint8_t second = length > 1 ? at[1] : 0;
  if ((lead == 0xC2 && second <= 0x9F) || (lead == 0xE0 && second < 0xA0) ||
      (lead == 0xED && second > 0x9F) || (lead == 0xF0 && second < 0x90) ||
      (lead == 0xF4 && second > 0x8F)) {
    return 0;
  }
  return length;
}

}  // namespace

void Show(const char* raw, char* out, size_t size) {
  size_t used = 0;
  for (const auto* at = reinterpret_cast<const uint8_t*>(raw); *at != 0;) {
    char piece[8];
    size_t taken = PrintableLength(at);
    size_t length = taken;
    if (taken > 0) {
      std::memcpy(piece, at, taken);
    } else {
      taken = 1;
      length = static_cast<size_t>(std::snprintf(piece, sizeof piece, "\\x%02x", *at));
      for (const Letter& l : kLetters) {
        if (l.byte == *at) {
          piece[1] = l.letter;
          length = 2;
        }
      }
    }
    if (used + length > size - 4) {  // room for "..." and the zero
      std::memcpy(out + used, "...", 3);
      used += 3;
      break;
    }
    std::memcpy(out + used, piece, length);
    used += length;
    at += taken;
  }
  out[used] = '\0';
}

}  // namespace shown
