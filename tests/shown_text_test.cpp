// Text from elsewhere, as it reaches the terminal.
#include "shown_text.h"

#include <gtest/gtest.h>

namespace {

TEST(ShownText, ControlsAndInvalidUtf8AreEscapedAndTheRestPasses) {
  struct Case {
    const char* what;
    const char* raw;
    const char* shown;
  };
  const Case cases[] = {
      {"plain", "ttyUSB0 FT232R", "ttyUSB0 FT232R"},
      {"UTF-8 text", "Gerät ポート", "Gerät ポート"},
      {"a title sequence", "\x1b]0;pwned\a", "\\e]0;pwned\\a"},
      {"line ends and tabs", "A1\rB2\n\t", "A1\\rB2\\n\\t"},
      {"other C0 and DEL", "\x01\x1f\x7f", "\\x01\\x1f\\x7f"},
      {"a backslash", "a\\b", "a\\\\b"},
      {"C1 as a byte", "\x9b[2J", "\\x9b[2J"},
      {"C1 as UTF-8", "\xc2\x9b[2J", "\\xc2\\x9b[2J"},
      {"overlong and surrogate forms", "\xc0\xaf\xed\xa0\x80", "\\xc0\\xaf\\xed\\xa0\\x80"},
      {"beyond U+10FFFF", "\xf4\x90\x80\x80", "\\xf4\\x90\\x80\\x80"},
      {"cut before its end", "\xe3\x83", "\\xe3\\x83"},
  };
  for (const Case& c : cases) EXPECT_STREQ(shown::Shown(c.raw).text, c.shown) << c.what;
  // Too long: cut at a whole escape, marked.
  EXPECT_STREQ(shown::Shown<12>("\x1b\x1b\x1b\x1b\x1b").text, "\\e\\e\\e\\e...");
}

}  // namespace
