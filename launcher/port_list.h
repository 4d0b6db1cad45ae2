// vlxterm-on --list: the machine's serial ports, from sysfs and /proc.
#pragma once

// Prints one line per serial port the kernel has: the device, its driver,
// for a USB adapter its ids and strings, its /dev/serial/by-id name, and in
// brackets what the launcher would say of it. Ports by name, USB adapters
// last, the one plugged in most recently at the end. Opens no device.
void ListPorts();
