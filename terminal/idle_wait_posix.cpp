#include <poll.h>

#include <cstdint>

#include "comport.h"
#include "console_posix.h"
#include "idle_wait.h"
#include "posix_calls.h"

namespace {

// An upper bound, so that nothing can leave the loop asleep for long.
constexpr int64_t kLongestWaitMs = 5000;
// A port that hangs up reports so at once and forever: leave it out of the
// wait for this long each time instead of spinning on it.
constexpr int64_t kHungPortRestMs = 250;

int64_t port_rest_until_ms = 0;

}  // namespace

void IdleWait() {
  int64_t now = posix::MonotonicMs();
  int64_t timeout = kLongestWaitMs;
  bool port_resting = now < port_rest_until_ms;
  if (port_resting && port_rest_until_ms - now < timeout) timeout = port_rest_until_ms - now;
  int decide_in = console::KeyDecideInMs();
  if (decide_in >= 0 && decide_in < timeout) timeout = decide_in;

  pollfd fds[2] = {{port_resting ? -1 : ComportHandle(), POLLIN, 0},
                   {console::KeyPollFd(), POLLIN, 0}};
  poll(fds, 2, static_cast<int>(timeout));  // a time-out or a signal: nothing seen
  const bool hung_up = (fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
  if (hung_up) port_rest_until_ms = now + kHungPortRestMs;
  ComportAfterWait(hung_up                          ? PortSaw::kHangUp
                   : (fds[0].revents & POLLIN) != 0 ? PortSaw::kData
                                                    : PortSaw::kNothing);
  console::AfterWait(fds[1].revents);
}
