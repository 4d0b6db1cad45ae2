// Soak: device traffic at a 115200-baud line's byte rate while lines are
// typed and sent. Every received byte must be shown exactly once and in
// order (digests compared), every typed line must go out, and memory and
// open descriptors must stay flat. Not in CI's run: scripts/soak runs it.
// VLX_SOAK_SECONDS sets the length (default 60).
#include <dirent.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <random>
#include <thread>

#include "terminal_session.h"

namespace {

using vlxtest::TerminalSession;

// FNV-1a over the bytes of one kind, with their count.
struct Digest {
  uint64_t hash = 1469598103934665603ULL;
  uint64_t count = 0;
  void Add(char c) {
    hash = (hash ^ static_cast<uint8_t>(c)) * 1099511628211ULL;
    ++count;
  }
};

long KiBOf(pid_t pid, const char* field) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind(field, 0) == 0) return std::stol(line.substr(std::strlen(field)));
  }
  return -1;
}

int OpenDescriptors(pid_t pid) {
  DIR* dir = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
  int count = 0;
  while (dirent* entry = readdir(dir)) count += entry->d_name[0] != '.';
  closedir(dir);
  return count;
}

TEST(Soak, EveryByteShownOnceAndInOrderWhileLinesAreSent) {
  VLX_REQUIRE_SANDBOX();
  const char* length = std::getenv("VLX_SOAK_SECONDS");
  const int seconds = length != nullptr ? std::atoi(length) : 60;
  TerminalSession session;
  ASSERT_TRUE(session.WaitStarted()) << session.Screen();
  const pid_t pid = session.pid();
  // Taken after the first line, once every path has run and touched its pages.
  long rss_start = -1;
  int fds_start = -1;

  // The device sends upper-case letters; typed lines are lower-case, so
  // the screen's upper-case letters are exactly the received bytes.
  Digest sent_digest, shown_digest;
  std::atomic<bool> sending{true}, reading{true};
  std::thread device([&] {
    std::mt19937 random(7);
    auto next = std::chrono::steady_clock::now();
    for (size_t ms = 1; sending; ++ms) {
      next += std::chrono::milliseconds(1);
      std::this_thread::sleep_until(next);
      std::string bytes;
      for (size_t due = ms * 11520 / 1000 - (ms - 1) * 11520 / 1000; due > 0; --due) {
        bytes.push_back(static_cast<char>('A' + random() % 26));
        sent_digest.Add(bytes.back());
      }
      vlxtest::WriteAll(session.device.master, bytes);
    }
  });
  std::mutex device_lock;
  std::string typed_received;  // what the device got of the typed lines
  std::thread screen([&] {
    std::string chunk;
    while (reading) {
      chunk.clear();
      vlxtest::ReadFor(session.console.master, 20, &chunk);
      for (char c : chunk) {
        if (c >= 'A' && c <= 'Z') shown_digest.Add(c);
      }
    }
  });

  std::mt19937 random(11);
  std::string typed_sent;
  auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  int lines = 0;
  while (std::chrono::steady_clock::now() < end) {
    std::string line;
    for (int i = 1 + static_cast<int>(random() % 6); i > 0; --i) {
      line.push_back(static_cast<char>('a' + random() % 26));
    }
    session.Type(line + "\r");
    std::string got = session.SentLine();
    typed_sent += line + "\r";
    typed_received += got;
    if (++lines == 1) {
      rss_start = KiBOf(pid, "VmRSS:");
      fds_start = OpenDescriptors(pid);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(500 + random() % 1000));
  }
  sending = false;
  device.join();
  EXPECT_TRUE(vlxtest::WaitUntil([&] { return shown_digest.count >= sent_digest.count; }, 20000));
  usleep(200 * 1000);
  reading = false;
  screen.join();

  EXPECT_EQ(typed_received, typed_sent);
  EXPECT_EQ(shown_digest.count, sent_digest.count);
  EXPECT_EQ(shown_digest.hash, sent_digest.hash);
  const long rss_end = KiBOf(pid, "VmRSS:");
  const int fds_end = OpenDescriptors(pid);
  EXPECT_EQ(fds_end, fds_start);
  EXPECT_LE(rss_end - rss_start, 16) << "RSS grew from " << rss_start << " KiB";
  std::printf(
      "soak: %d s, %llu bytes received and shown, %d lines typed and sent, "
      "RSS %ld -> %ld KiB, descriptors %d -> %d\n",
      seconds, static_cast<unsigned long long>(sent_digest.count), lines, rss_start, rss_end,
      fds_start, fds_end);
}

}  // namespace
