// Terminal key input to Windows key codes.
#include "key_sequence.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

// Decodes all of input as if it had arrived at once and nothing followed;
// a dropped sequence shows as "-".
std::vector<std::string> DecodeAll(const std::string& input, uint8_t erase = 0x7F) {
  std::vector<std::string> keys;
  const auto* bytes = reinterpret_cast<const uint8_t*>(input.data());
  size_t at = 0;
  while (at < input.size()) {
    console::KeyCodes key{};
    EXPECT_TRUE(console::DecodeKey(bytes + at, input.size() - at, true, erase, &key));
    EXPECT_GE(key.consumed, 1u);
    at += key.consumed;
    char text[8] = "-";
    if (key.count == 1) std::snprintf(text, sizeof text, "%02X", key.codes[0]);
    if (key.count == 2) std::snprintf(text, sizeof text, "%02X %02X", key.codes[0], key.codes[1]);
    keys.push_back(text);
  }
  return keys;
}

using Keys = std::vector<std::string>;

TEST(KeySequence, TranslatesToWindowsCodes) {
  struct Case {
    const char* what;
    std::string input;
    Keys keys;
  };
  const Case cases[] = {
      {"plain bytes", "a\t\x01\r", {"61", "09", "01", "0D"}},
      {"NUL and high bytes pass", std::string("\0\xC3\xA9", 3), {"00", "C3", "A9"}},
      {"erase character is Backspace", "\x7F\x08", {"08", "08"}},
      {"lone Esc", "\x1B", {"1B"}},
      {"cursor keys, normal and application",
       "\x1B[A\x1BOB\x1B[C\x1BOD",
       {"E0 48", "E0 50", "E0 4D", "E0 4B"}},
      {"Home and End, all forms",
       "\x1B[H\x1BOF\x1B[1~\x1B[4~\x1B[7~\x1B[8~",
       {"E0 47", "E0 4F", "E0 47", "E0 4F", "E0 47", "E0 4F"}},
      {"editing keys", "\x1B[2~\x1B[3~\x1B[5~\x1B[6~", {"E0 52", "E0 53", "E0 49", "E0 51"}},
      {"F1-F4 xterm and old forms",
       "\x1BOP\x1BOS\x1B[11~\x1B[14~",
       {"00 3B", "00 3E", "00 3B", "00 3E"}},
      {"F5-F12",
       "\x1B[15~\x1B[17~\x1B[21~\x1B[23~\x1B[24~",
       {"00 3F", "00 40", "00 44", "E0 85", "E0 86"}},
      {"Linux console F1-F5", "\x1B[[A\x1B[[E", {"00 3B", "00 3F"}},
      {"xterm Shift, Ctrl, Alt",
       "\x1B[1;2P\x1B[1;5A\x1B[1;3D\x1B[15;5~",
       {"00 54", "E0 8D", "00 9B", "00 62"}},
      {"Alt wins over Ctrl, Ctrl over Shift",
       "\x1B[1;7A\x1B[1;6A\x1B[1;4A",
       {"00 98", "E0 8D", "00 98"}},
      {"Shift on the cursor block looks unshifted", "\x1B[1;2A\x1B[2;2~", {"E0 48", "E0 52"}},
      {"old modifier-first forms", "\x1BO2P\x1B[5A", {"00 54", "E0 8D"}},
      {"Ctrl+PgUp and F12 share a code", "\x1B[5;5~\x1B[24~", {"E0 86", "E0 86"}},
      {"rxvt modifier finals",
       "\x1B[3^\x1B[3$\x1B[3@\x1B[a\x1BOa",
       {"E0 93", "E0 53", "E0 93", "E0 48", "E0 8D"}},
      {"Linux shifted F-keys", "\x1B[25~\x1B[34~", {"00 54", "00 5B"}},
      {"Shift+Tab", "\x1B[Z\x1B\t", {"00 0F", "00 0F"}},
      {"Alt prefix before a sequence", "\x1B\x1B[A\x1B\x1BOP", {"00 98", "00 68"}},
      {"Alt with a character gives the character", "\x1Bx\x1B\x7F\x1B\r", {"78", "08", "0D"}},
      {"Alt+[ and Alt+O alone", "\x1B[", {"5B"}},
      {"keypad in application mode", "\x1BOM\x1BOp\x1BOy\x1BOk", {"0D", "30", "39", "2B"}},
      {"unknown sequences are dropped whole",
       "\x1B[99~\x1B[?1;2c\x1B[1;2;3A\x1BOz\x1B[200~x",
       {"-", "-", "-", "-", "-", "78"}},
      {"a broken sequence drops what came before", "\x1B[1\x01", {"-", "01"}},
      {"intermediate bytes make it no key", "\x1B[#c\x1B[1 A", {"-", "-"}},
      {"modifiers beyond xterm's are no key", "\x1B[1;17A\x1B[1;99999999A", {"-", "-"}},
      {"sequences longer than 64 bytes are no key",
       "\x1B[" + std::string(62, '0') + "1A" + "\x1B[" + std::string(60, '0') + "1A",
       {"-", "E0 48"}},
      {"Esc Esc is Esc, then the next key", "\x1B\x1Bx", {"1B", "78"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(DecodeAll(c.input), c.keys);
  }
}

TEST(KeySequence, WaitsForMoreOnlyWhileASequenceMayGoOn) {
  const char* prefixes[] = {"\x1B",     "\x1B[",  "\x1BO",    "\x1B[1",   "\x1B[1;",
                            "\x1B[1;5", "\x1B[[", "\x1B\x1B", "\x1B\x1B["};
  for (const char* prefix : prefixes) {
    SCOPED_TRACE(testing::PrintToString(std::string(prefix)));
    console::KeyCodes key{};
    const auto* bytes = reinterpret_cast<const uint8_t*>(prefix);
    EXPECT_FALSE(console::DecodeKey(bytes, std::strlen(prefix), false, 0x7F, &key));
    // Once nothing more can come, it is decided, and never as Esc unless
    // it was Esc alone (or Esc before another Esc).
    ASSERT_TRUE(console::DecodeKey(bytes, std::strlen(prefix), true, 0x7F, &key));
    bool esc = key.count == 1 && key.codes[0] == 0x1B;
    EXPECT_EQ(esc, prefix[1] == '\0' || std::string(prefix) == "\x1B\x1B");
  }
  console::KeyCodes key{};
  EXPECT_TRUE(console::DecodeKey(reinterpret_cast<const uint8_t*>("a"), 1, false, 0x7F, &key));
}

// The keys as the key read serves them: bytes added in pieces, codes taken.
std::vector<int> Serve(const std::vector<std::string>& pieces) {
  console::KeyInput keys;
  std::vector<int> codes;
  for (const std::string& piece : pieces) {
    console::KeyInputAdd(&keys, reinterpret_cast<const uint8_t*>(piece.data()), piece.size());
    while (console::KeyInputReady(&keys, false, 0x7F))
      codes.push_back(console::KeyInputTake(&keys));
  }
  while (console::KeyInputReady(&keys, true, 0x7F)) codes.push_back(console::KeyInputTake(&keys));
  return codes;
}

TEST(KeySequence, PiecesAndTheBufferSizeDoNotChangeTheKeys) {
  const std::string long_unknown = "\x1B[" + std::string(100, '1') + "~";
  EXPECT_EQ(Serve({"\x1B", "[", "1;5", "A"}), (std::vector<int>{0xE0, 0x8D}));
  EXPECT_EQ(Serve({long_unknown.substr(0, 64), long_unknown.substr(64), "x"}),
            (std::vector<int>{'x'}));
  EXPECT_EQ(Serve({"\x1BO" + std::string(70, '2'), "P", "y"}), (std::vector<int>{'y'}));
  EXPECT_EQ(Serve({"\x1B[" + std::string(70, ' '), "~z"}), (std::vector<int>{'z'}));
  // A broken tail is dropped up to the byte that breaks it, which is a key.
  EXPECT_EQ(Serve({"\x1B[" + std::string(70, '3'), "\x01"}), (std::vector<int>{1}));
}

TEST(KeySequence, EraseCharacterFollowsTheTerminal) {
  EXPECT_EQ(DecodeAll("\x08\x7F", 0x08), (Keys{"08", "7F"}));
  EXPECT_EQ(DecodeAll("\x7F", 0), (Keys{"7F"}));
}

}  // namespace
