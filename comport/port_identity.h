// What a serial port is, from sysfs (Linux's): its description in the
// launcher's words, and its identity, by which the program finds a device
// again after it has left (a board's reset, a replug) under whatever number
// it comes back. Nothing is opened here but sysfs files.
#pragma once

#include <sys/types.h>

#include <cstddef>

#include "comport_platform.h"

namespace port_identity {

// The line of tty class entry `tty_name` (node `node`) as --list shows it,
// every part shown escaped: the node, its driver (the first up the device
// tree that is not the kernel's generic serial layer), for a USB adapter
// its ids and its manufacturer, product and serial strings, and its
// /dev/serial/by-id names. True when it is a USB device.
bool Describe(const char* tty_name, const char* node, char* line, size_t size);

// The identity of the tty numbered `device`; false when it has none (no
// sysfs entry or no device behind it: a pty, rfcomm).
bool IdentityOf(dev_t device, comport_platform::DeviceIdentity* identity);

// The serial terminals with a device behind them that are there now; how
// many, at most `most`.
int PresentPorts(comport_platform::PresentPort* ports, int most);

// Whether nodes that appear later show in this program's /dev: the
// machine's own devtmpfs is mounted there (not the /dev of its own that the
// launcher gives a namespace on a machine without COM1's node).
bool NewNodesAppear();

}  // namespace port_identity
