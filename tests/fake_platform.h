// A scripted platform layer and console for the portable serial logic.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

namespace fake {

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
  std::vector<std::string> log;   // the calls made, in order
};

extern Platform platform;
void Reset();

}  // namespace fake
