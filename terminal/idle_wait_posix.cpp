#include <poll.h>

#include <ctime>

#include "comport.h"
#include "console_posix.h"
#include "idle_wait.h"

namespace {

// An upper bound, so that nothing can leave the loop asleep for long.
constexpr int kLongestWaitMs = 5000;
// A port that hangs up reports so at once and forever: leave it out of the
// wait for this long each time instead of spinning on it.
constexpr int kHungPortRestMs = 250;

timespec port_rest_until{};

bool Before(const timespec& a, const timespec& b) {
  return a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec < b.tv_nsec);
}

int MsBetween(const timespec& from, const timespec& to) {
  return static_cast<int>((to.tv_sec - from.tv_sec) * 1000 + (to.tv_nsec - from.tv_nsec) / 1000000);
}

}  // namespace

void IdleWait() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  int timeout = kLongestWaitMs;
  bool port_resting = Before(now, port_rest_until);
  if (port_resting) {
    int rest = MsBetween(now, port_rest_until) + 1;
    if (rest < timeout) timeout = rest;
  }
  int decide_in = console::KeyDecideInMs();
  if (decide_in >= 0 && decide_in < timeout) timeout = decide_in;

  pollfd fds[2] = {{port_resting ? -1 : ComportHandle(), POLLIN, 0},
                   {console::KeyPollFd(), POLLIN, 0}};
  if (poll(fds, 2, timeout) <= 0) return;
  if (fds[1].fd >= 0 && fds[1].revents == 0) console::KeysSeenQuiet();
  if (fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) {
    port_rest_until = now;
    port_rest_until.tv_nsec += kHungPortRestMs * 1000000L;
    if (port_rest_until.tv_nsec >= 1000000000L) {
      port_rest_until.tv_sec += 1;
      port_rest_until.tv_nsec -= 1000000000L;
    }
  }
}
