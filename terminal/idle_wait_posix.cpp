#include <poll.h>

#include <algorithm>

#include "comport.h"
#include "console.h"
#include "console_posix.h"
#include "idle_wait.h"

namespace {

// An upper bound, so that nothing can leave the loop asleep for long.
constexpr int kLongestWaitMs = 5000;

// What a wait saw of the port: a hang-up (which the serial module acts
// on at once), or bytes.
PortSaw Saw(short revents) {
  if ((revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) return PortSaw::kHangUp;
  return (revents & POLLIN) != 0 ? PortSaw::kData : PortSaw::kNothing;
}

// The shortest of the bounds that are set (-1: none).
int Shortest(int timeout, int bound) { return bound >= 0 ? std::min(timeout, bound) : timeout; }

}  // namespace

void IdleWait() {
  int timeout = Shortest(kLongestWaitMs, console::KeyDecideInMs());
  timeout = Shortest(timeout, ComportNextLookInMs());
  pollfd fds[2] = {{ComportHandle(), POLLIN, 0}, {console::KeyPollFd(), POLLIN, 0}};
  poll(fds, 2, timeout);  // a time-out or a signal: nothing seen
  ComportAfterWait(Saw(fds[0].revents));
  console::AfterWait(fds[1].revents);
}

void AwaitKeyWatchingPort() {
  short port_saw = 0;
  while (!console::_kbhit() && console::WaitForKey(ComportHandle(), &port_saw)) {
    ComportAfterWait(Saw(port_saw));
  }
}
