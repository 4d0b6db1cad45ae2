// POSIX calls as this program makes them, for every floor: one clock, and a
// call retried when a signal interrupts it (every handler of ours returns,
// and the waits it interrupts are not ours to cut short).
#pragma once

#include <cerrno>
#include <cstdint>
#include <ctime>

namespace posix {

// Microseconds on the monotonic clock.
inline int64_t MonotonicUs() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return int64_t{now.tv_sec} * 1000000 + now.tv_nsec / 1000;
}

inline int64_t MonotonicMs() { return MonotonicUs() / 1000; }

// `call()` (a read, a write, a sleep that keeps its rest) until a signal
// no longer interrupts it.
template <typename Call>
auto Retried(Call call) {
  auto result = call();
  while (result < 0 && errno == EINTR) result = call();
  return result;
}

}  // namespace posix
