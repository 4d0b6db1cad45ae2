// A scripted platform layer and console for the portable serial logic.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

namespace fake {

// A port there now: a USB board with this serial, at this node.
struct Present {
  std::string serial, node;
  bool opens = true;  // else the open is refused ("busy")
};

struct Platform {
  std::vector<uint32_t> rates = {2400, 4800, 9600, 19200, 38400, 57600, 115200};
  bool open_succeeds = true;
  bool configure_succeeds = true;
  std::string opened_name;
  std::deque<uint8_t> received;   // what the device has sent
  std::deque<int> keys;           // what the operator types
  unsigned write_takes_ms = 0;    // how long the driver takes to take a byte
  uint32_t tx_left_by_write = 0;  // bytes the driver still holds after a write
  uint32_t tx_queued = 0;         // bytes the driver holds now
  bool discard_keeps = false;     // a driver with no flush of its own
  bool gone_at_write = false;     // the device leaves as a byte is written
  bool gone = false;              // a call has found the device gone
  bool identified = true;         // the open port can be found again
  std::string serial = "A1";      // the open port's, a USB board's
  std::vector<Present> present;   // the ports there now
  int64_t now_ms = 0;             // the clock
  std::vector<std::string> log;   // the calls made, in order
};

extern Platform platform;
void Reset();

}  // namespace fake
