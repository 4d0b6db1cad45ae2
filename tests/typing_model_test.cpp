// Model-checked typing: random key scripts typed into the real vlxterm in
// the sandbox, compared byte for byte with an independent model of line
// entry: what the device receives and in which order, what the screen
// shows, and the exit status. VLX_TYPING_SCRIPTS sets how many scripts
// each shard runs (default 50; four shards).
#include <gtest/gtest.h>

#include <cstdlib>
#include <random>

#include "terminal_session.h"

namespace {

using vlxtest::Ended;
using vlxtest::kStartupLines;
using vlxtest::TerminalSession;

// A key press: the bytes the terminal sends, the codes the program reads.
struct Key {
  std::string bytes;
  std::vector<uint8_t> codes;
};

const Key kEnter{"\r", {13}};
const Key kEsc{"\x1B", {27}};
const Key kBackspace{"\x7F", {8}};  // the console's erase character

// Keys with two codes, with lead 0x00 and 0xE0.
const Key kTwoCodeKeys[] = {
    {"\x1BOP", {0x00, 0x3B}},     // F1
    {"\x1B[A", {0xE0, 0x48}},     // Up
    {"\x1B[3~", {0xE0, 0x53}},    // Delete
    {"\x1B[1;3S", {0x00, 0x6B}},  // Alt+F4
    {"\x1B[24~", {0xE0, 0x86}},   // F12
};
// Control codes that reach the program as they are (no signal, no flow
// control while the terminal is in either of its modes); Ctrl+H is 8.
const uint8_t kControls[] = {0x01, 0x02, 0x05, 0x08, 0x09, 0x0A, 0x0C, 0x18};
const char kPrintable[] = "abcxyz019 .-~";

struct Line {
  std::vector<Key> keys;   // ends with Enter, or with Esc to end the program
  int esc_after_sent = 0;  // > 0: Esc typed once that many bytes went out
  std::string chatter;     // the device sends this while the line is typed
};

// What line entry should do with one line: the echo, and the text sent
// before the CR (empty when the line ends the program).
struct Expected {
  std::string screen;
  std::string text;
  bool exits = false;
};

Expected Model(const Line& line) {
  Expected e;
  std::string stored;
  for (const Key& key : line.keys) {
    for (uint8_t code : key.codes) {
      if (code == 27) {
        e.exits = true;
        return e;
      }
      if (code == 8) {
        if (!stored.empty()) {
          stored.pop_back();
          e.screen += "\b \b";
        }
        continue;
      }
      if (code != 13 && stored.size() == 79) {
        e.screen += '\a';
        continue;
      }
      e.screen += static_cast<char>(code);
      if (code == 13) {
        e.screen += '\n';
        e.text = stored.substr(0, stored.find('\0'));
        return e;
      }
      stored += static_cast<char>(code);
    }
  }
  return e;
}

std::vector<Line> Generate(std::mt19937& random) {
  auto pick = [&](int n) { return static_cast<int>(random() % static_cast<unsigned>(n)); };
  std::vector<Line> lines(1 + pick(4));
  for (Line& line : lines) {
    int length = pick(10) == 0 ? 80 + pick(20) : pick(7);  // now and then past the 79-byte bound
    for (int i = 0; i < length; ++i) {
      int kind = pick(20);
      if (kind < 12) {
        uint8_t c = static_cast<uint8_t>(kPrintable[pick(sizeof kPrintable - 1)]);
        line.keys.push_back({std::string(1, static_cast<char>(c)), {c}});
      } else if (kind < 15) {
        line.keys.push_back(kBackspace);
      } else if (kind < 17) {
        uint8_t c = kControls[pick(sizeof kControls)];
        line.keys.push_back({std::string(1, static_cast<char>(c)), {c}});
      } else {
        line.keys.push_back(kTwoCodeKeys[pick(5)]);
      }
    }
    if (length >= 80) {  // sending 80 bytes takes 2.4 s: rub most of it out
      for (int i = 0; i < length - pick(4); ++i) line.keys.push_back(kBackspace);
    }
    line.keys.push_back(kEnter);
    if (pick(4) == 0) {
      // Sent once the first key's echo shows that line entry runs, so that
      // key must echo.
      line.keys.insert(line.keys.begin(), {"k", {'k'}});
      for (int i = 1 + pick(12); i > 0; --i) line.chatter += static_cast<char>('A' + pick(26));
      if (pick(2) == 0) line.chatter += '\r';
    }
    size_t text = Model(line).text.size();
    if (text >= 1 && pick(3) == 0) line.esc_after_sent = 1 + pick(static_cast<int>(text));
  }
  // The end: Esc, alone or after a few keys of a last line.
  Line last;
  for (int i = pick(3); i > 0; --i) last.keys.push_back({"q", {'q'}});
  last.keys.push_back(kEsc);
  lines.push_back(last);
  return lines;
}

std::string Describe(const std::vector<Line>& lines) {
  std::string text;
  for (const Line& line : lines) {
    for (const Key& key : line.keys) text += key.bytes;
    if (line.esc_after_sent > 0) text += " [Esc after " + std::to_string(line.esc_after_sent) + "]";
    if (!line.chatter.empty()) text += " [device: " + line.chatter + "]";
    text += " | ";
  }
  return testing::PrintToString(text);
}

// Runs one script; failures name it so that it can be replayed by seed.
void RunScript(uint32_t seed) {
  std::mt19937 random(seed);
  std::vector<Line> lines = Generate(random);
  SCOPED_TRACE("seed " + std::to_string(seed) + ": " + Describe(lines));
  TerminalSession session;
  ASSERT_TRUE(session.WaitStarted()) << session.Screen();

  std::string screen(kStartupLines);
  for (const Line& line : lines) {
    Expected e = Model(line);
    std::string typed;
    for (const Key& key : line.keys) typed += key.bytes;
    if (!line.chatter.empty()) {
      // Once the program is in line entry, what the device sends waits.
      session.Type(typed.substr(0, line.keys[0].bytes.size()));
      ASSERT_TRUE(session.WaitForScreen(screen + Model({{line.keys[0]}, 0, ""}).screen, 5000));
      session.DeviceSends(line.chatter);
      typed.erase(0, line.keys[0].bytes.size());
    }
    session.Type(typed);
    if (e.exits) {
      EXPECT_EQ(session.WaitExit(), (Ended{0, 0}));
      EXPECT_EQ(vlxtest::ReadArrivals(session.device.master, '\r', 100).size(), 0u);
      screen += e.screen;
      break;
    }
    std::string sent;
    std::vector<vlxtest::Arrival> arrivals;
    auto take = [&](uint8_t last, size_t most) {
      auto more = vlxtest::ReadArrivals(session.device.master, last, 10000, most);
      sent += vlxtest::BytesOf(more);
      arrivals.insert(arrivals.end(), more.begin(), more.end());
    };
    if (line.esc_after_sent > 0) {
      take('\r', static_cast<size_t>(line.esc_after_sent));
      int64_t typed_us = vlxtest::MonotonicUs();
      session.Type("\x1B");
      take('\r', SIZE_MAX);
      // The text stops after the byte during whose hold Esc was typed.
      ASSERT_FALSE(sent.empty());
      ASSERT_EQ(sent.back(), '\r');
      std::string text = sent.substr(0, sent.size() - 1);
      EXPECT_EQ(e.text.rfind(text, 0), 0u) << "not a prefix: " << testing::PrintToString(text);
      vlxtest::EscCut cut = vlxtest::CutByEscAt(arrivals, typed_us);
      EXPECT_GE(text.size(), cut.least);
      EXPECT_LE(text.size(), cut.most);
    } else {
      take('\r', SIZE_MAX);
      EXPECT_EQ(sent, e.text + "\r");
    }
    screen += e.screen;
    for (char c : line.chatter) {
      if (c == '\r')
        screen += '\n';
      else
        screen += c;
    }
    ASSERT_TRUE(session.WaitForScreen(screen, 5000))
        << testing::PrintToString(session.Screen().substr(kStartupLines.size())) << "\nwanted "
        << testing::PrintToString(screen.substr(kStartupLines.size()));
  }
  session.ReadScreenFor(20);
  EXPECT_EQ(session.Screen(), screen);
}

class TypingModel : public testing::TestWithParam<int> {};

TEST_P(TypingModel, RealProgramMatchesTheModel) {
  VLX_REQUIRE_SANDBOX();
  const char* count = std::getenv("VLX_TYPING_SCRIPTS");
  int scripts = count != nullptr ? std::atoi(count) : 50;
  const char* base = std::getenv("VLX_TYPING_SEED");
  uint32_t first = base != nullptr ? static_cast<uint32_t>(std::strtoul(base, nullptr, 10)) : 1;
  for (int i = 0; i < scripts && !HasFatalFailure(); ++i) {
    RunScript(first + static_cast<uint32_t>(GetParam() * 1000000 + i));
  }
}

INSTANTIATE_TEST_SUITE_P(Shards, TypingModel, testing::Range(0, 4));

}  // namespace
