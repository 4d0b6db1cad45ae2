// Typing and sending lines, end to end: the real vlxterm in the sandbox,
// keys typed on its console pty, bytes time-stamped at the device pty.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>

#include "terminal_session.h"

namespace {

using vlxtest::BytesOf;
using vlxtest::Ended;
using vlxtest::kHoldUs;
using vlxtest::kReaderSlackUs;
using vlxtest::kStartupLines;
using vlxtest::TerminalSession;

std::string AfterStartup(const TerminalSession& session) {
  return session.Screen().substr(std::min(session.Screen().size(), kStartupLines.size()));
}

TEST(LineEntry, TypedLinesReachTheDeviceAsCorrected) {
  VLX_REQUIRE_SANDBOX();
  struct Case {
    const char* what;
    std::string typed;
    std::string sent;    // at the device, up to and with the CR
    std::string screen;  // after the start-up lines
    // Once the line's first byte is out: what the device answers and what
    // is typed (a key read by the Esc check); as the CR goes out, the first
    // key of the next line, which waits for the loop.
    std::string answered{}, typed_while_sent{}, next_key{};
  };
  const Case cases[] = {
      {"Backspace corrects",
       "abc\x7F"
       "d\r",
       "abd\r", "abc\b \bd\r\n"},
      {"Enter alone sends CR", "\r", "\r", "\r\n"},
      {"Tab and code 1 are stored, echoed, sent", "\t\x01x\r", "\t\x01x\r", "\t\x01x\r\n"},
      {"F1 ends the sent text at its 0 lead code", "ab\x1BOPc\r", "ab\r",
       std::string("ab\0;c\r\n", 7)},
      {"Backspace at the start does nothing",
       "\x7F\x7F"
       "a\r",
       "a\r", "a\r\n"},
      {"an answer during the send comes before the next key", "ab\r", "ab\r", "ab\r\nok\nx", "ok\r",
       "", "x"},
      {"a key's second code left by the Esc check starts the next line at once", "a\r", "a\r",
       "a\r\n;", "", "\x1BOP"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TerminalSession session;
    ASSERT_TRUE(session.WaitStarted()) << session.Screen();
    session.Type(c.typed);
    std::string sent = BytesOf(vlxtest::ReadArrivals(session.device.master, '\r', 5000, 1));
    session.DeviceSends(c.answered);
    session.Type(c.typed_while_sent);
    if (sent != "\r") sent += session.SentLine();
    session.Type(c.next_key);
    EXPECT_EQ(sent, c.sent);
    session.ReadScreenFor(50);
    EXPECT_EQ(AfterStartup(session), c.screen);
    session.Type("\x1B");
    EXPECT_EQ(session.WaitExit(), (Ended{0, 0}));
  }
}

TEST(LineEntry, EscWhileTypingEndsWithStatusZeroAndSendsNothing) {
  VLX_REQUIRE_SANDBOX();
  for (std::string typed : {"\x1B", "abc\x1B"}) {
    TerminalSession session;
    ASSERT_TRUE(session.WaitStarted()) << session.Screen();
    session.Type(typed);
    EXPECT_EQ(session.WaitExit(), (Ended{0, 0}));
    EXPECT_EQ(session.SentLine(100), "");
    EXPECT_EQ(AfterStartup(session), typed.substr(0, typed.size() - 1));
  }
}

TEST(LineEntry, EachByteTakesItsOwnThirtyMilliseconds) {
  VLX_REQUIRE_SANDBOX();
  TerminalSession session;
  ASSERT_TRUE(session.WaitStarted()) << session.Screen();
  session.Type("hello\r");
  auto arrivals = vlxtest::ReadArrivals(session.device.master, '\r', 5000);
  ASSERT_EQ(BytesOf(arrivals), "hello\r");
  EXPECT_EQ(vlxtest::ShortGaps(arrivals, kHoldUs - kReaderSlackUs), "");
  EXPECT_GE(arrivals.back().us - arrivals.front().us, 5 * kHoldUs - kReaderSlackUs);
}

TEST(LineEntry, EscWhileSendingStopsAfterThatByteButNotTheProgram) {
  VLX_REQUIRE_SANDBOX();
  struct Case {
    std::string text;
    size_t byte;   // Esc typed during this byte's hold
    int delay_ms;  // this long into the hold
  };
  // The third byte of ten, at points of its hold up to 22 ms in (later, a
  // reader woken late cannot tell which test saw the Esc); then the last
  // bytes of a text, where the Esc must not outlive the line and end the
  // program at the next line entry.
  std::vector<Case> cases;
  for (int delay_ms : {0, 2, 5, 7, 10, 12, 15, 17, 20, 22})
    cases.push_back({"0123456789", 3, delay_ms});
  cases.insert(cases.end(), {{"ab", 2, 10}, {"ab", 1, 20}, {"a", 1, 0}});
  TerminalSession session;
  ASSERT_TRUE(session.WaitStarted()) << session.Screen();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text + ", Esc " + std::to_string(c.delay_ms) + " ms into byte " +
                 std::to_string(c.byte));
    session.Type(c.text + "\r");
    auto arrivals = vlxtest::ReadArrivals(session.device.master, '\r', 5000, c.byte);
    ASSERT_EQ(arrivals.size(), c.byte);
    int64_t wait_us = arrivals.back().us + int64_t{c.delay_ms} * 1000 - vlxtest::MonotonicUs();
    if (wait_us > 0) usleep(static_cast<useconds_t>(wait_us));
    int64_t typed_us = vlxtest::MonotonicUs();
    session.Type("\x1B");
    auto rest = vlxtest::ReadArrivals(session.device.master, '\r', 5000);
    arrivals.insert(arrivals.end(), rest.begin(), rest.end());
    std::string sent = BytesOf(arrivals);
    ASSERT_FALSE(sent.empty());
    EXPECT_EQ(sent.back(), '\r') << "the CR goes out always";
    std::string text = sent.substr(0, sent.size() - 1);
    vlxtest::EscCut cut = vlxtest::CutByEscAt(arrivals, typed_us);
    EXPECT_GE(text.size(), cut.least) << text;
    EXPECT_LE(text.size(), cut.most) << text;
    EXPECT_EQ(text, c.text.substr(0, text.size()));
    EXPECT_FALSE(session.WaitExit(100).has_value()) << "Esc while sending ended the program";
  }
  session.Type("\x1B");
  EXPECT_EQ(session.WaitExit(), (Ended{0, 0}));
}

TEST(LineEntry, DeviceBytesWaitUntilTheLineHasGoneOut) {
  VLX_REQUIRE_SANDBOX();
  TerminalSession session;
  ASSERT_TRUE(session.WaitStarted()) << session.Screen();
  session.Type("ab");
  ASSERT_TRUE(session.WaitForScreen(std::string(kStartupLines) + "ab"));
  std::string reply;
  for (int i = 0; i < 200; ++i) reply += "line " + std::to_string(i) + "\r";
  session.DeviceSends(reply);
  session.ReadScreenFor(300);
  EXPECT_EQ(AfterStartup(session), "ab");  // nothing shown while typing
  session.Type("\r");
  EXPECT_EQ(session.SentLine(), "ab\r");
  std::string shown = reply;
  for (char& c : shown) c = c == '\r' ? '\n' : c;
  EXPECT_TRUE(session.WaitForScreen(std::string(kStartupLines) + "ab\r\n" + shown))
      << testing::PrintToString(AfterStartup(session));
}

TEST(LineEntry, AFullLineTakesNoMoreButStillCorrectsAndSends) {
  VLX_REQUIRE_SANDBOX();
  TerminalSession session;
  ASSERT_TRUE(session.WaitStarted()) << session.Screen();
  const std::string full(79, 'x');
  session.Type(full +
               "yz\x7F"
               "w\r");
  auto arrivals = vlxtest::ReadArrivals(session.device.master, '\r', 10000);
  EXPECT_EQ(BytesOf(arrivals), full.substr(1) + "w\r");
  session.ReadScreenFor(50);
  EXPECT_EQ(AfterStartup(session), full + "\a\a\b \bw\r\n");
}

TEST(LineEntry, EveryByteGoesOutInsideItsOwnRtsPulse) {
  VLX_REQUIRE_SANDBOX();
  vlxtest::TempFile trace("vlx-trace");
  {
    TerminalSession session(vlxtest::Traced(trace.path));
    ASSERT_TRUE(session.WaitStarted()) << session.Screen();
    session.Type("hi\r");
    ASSERT_EQ(session.SentLine(), "hi\r");
    session.Type("\x1B");
    ASSERT_EQ(session.WaitExit(), (Ended{0, 0}));
  }
  std::vector<vlxtest::TraceEvent> events = vlxtest::ReadTrace(trace.path);
  ASSERT_GE(events.size(), 4u);
  // At open: RTS down at once (the driver raised it with DTR), then DTR up
  // and RTS down with the settings, each touching only its own line.
  int port = -1;
  ASSERT_EQ(std::sscanf(events[0].text.c_str(), "opened %d /dev/ttyS0", &port), 1)
      << events[0].text;
  const std::string fd = std::to_string(port);
  EXPECT_EQ(events[1].text, "clear " + fd + " RTS");
  // Guards RTS lowered only with the settings or at the first byte (100s
  // of ms later) and never lowered: one hold is far from both.
  EXPECT_LT(events[1].us - events[0].us, kHoldUs) << "RTS left up after the open";
  std::printf("RTS up after the open for %.3f ms\n", (events[1].us - events[0].us) / 1000.0);
  EXPECT_EQ(events[2].text, "set " + fd + " DTR");
  EXPECT_EQ(events[3].text, "clear " + fd + " RTS");

  const std::string expected_pulse[] = {"set " + fd + " RTS", "wrote " + fd + " 1 ", "sleep 30",
                                        "woke 0", "clear " + fd + " RTS"};
  size_t at = 4;
  for (const char* byte : {"68", "69", "0d"}) {
    SCOPED_TRACE(byte);
    ASSERT_LE(at + 5, events.size());
    for (size_t step = 0; step < 5; ++step) {
      std::string want = expected_pulse[step] + (step == 1 ? byte : "");
      EXPECT_EQ(events[at + step].text, want);
    }
    EXPECT_GE(events[at + 4].us - events[at + 1].us, kHoldUs) << "RTS dropped too soon";
    at += 5;
  }
  // Esc: the close takes both lines down itself, DTR last, whatever the
  // driver does at the last close.
  const std::vector<std::string> closing = {"clear " + fd + " RTS", "clear " + fd + " DTR"};
  ASSERT_EQ(events.size(), at + closing.size()) << "unexpected modem-line calls after the line";
  for (size_t i = 0; i < closing.size(); ++i) EXPECT_EQ(events[at + i].text, closing[i]);
  for (size_t i = 0; i < at; ++i) {
    if (events[i].text.rfind("clear", 0) == 0) {
      EXPECT_EQ(events[i].text.find("DTR"), std::string::npos) << events[i].text;
    }
    EXPECT_EQ(events[i].text.rfind("assign", 0), std::string::npos) << events[i].text;
  }
}

}  // namespace
