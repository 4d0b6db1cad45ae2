// Whether a device may be opened as the serial port, on Linux: is it a
// system console, is it a serial terminal, is it locked. The one place for
// these rules, for the program's own open and for the launcher. Devices are
// judged by number from /proc and sysfs; none is ever opened here (an open
// raises a port's DTR and RTS, and some devices act on an open alone).
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>

namespace port_checks {

enum class Console {
  kNone,
  kListed,   // /dev/tty, /dev/console, or one the kernel lists as a console
  kVirtual,  // a virtual console (tty1...)
  kUnknown,  // the kernel's list of consoles cannot be read
};

// Whether `device` (a device number) is a console, and `what` it is ("a
// console the kernel lists (ttyS0)"). The active console's names are turned
// into numbers, never compared as names: the launcher binds other devices
// at a console's name.
Console ConsoleOf(dev_t device, char* what, size_t size);

// The device number of tty class entry `name` (sysfs); false when it has
// none.
bool TtyClassNumber(const char* name, dev_t* device);
// The name of the tty class entry numbered `device` (ttyUSB0), "" when there
// is none; `hint` (a path's last part) is tried first.
void TtyName(dev_t device, const char* hint, char* name, size_t size);

bool IsPseudoTerminal(dev_t device);
bool IsVirtualConsole(dev_t device);  // tty1...tty63
// A pseudo-terminal, or a tty with a driver behind it and, where the driver
// says, a UART (a PC's port slot without one has type 0), or Bluetooth's
// rfcomm. Not: consoles, /dev/tty, ptmx, ttyprintk, ttynull, anything else.
bool IsSerialTerminal(dev_t device, const char* tty_name);

// The process that took a lock on `file` (/proc/locks lists each by the
// file's device and inode): -1 when its taker is unknown (an open file
// description lock), 0 when there is no lock. Locks taken by the processes
// in `skip` do not count. When the list cannot be read: 0 (the open's own
// lock still refuses a second taker).
pid_t LockTaker(const struct stat& file, const pid_t* skip, int skip_count);

// The numbers of the character devices process `pid_name` (its /proc entry)
// has open, found by following its descriptors, which opens nothing; how
// many, at most `most`. 0 when it cannot be looked at (another user's).
int DevicesOpenBy(const char* pid_name, dev_t* devices, int most);
// A process other than this one that has `device` open, as far as this
// user may see; 0 when none.
pid_t OpenerOf(dev_t device);

// A small text file (sysfs, /proc) into `text`, zero-terminated; false when
// it cannot be read.
bool ReadText(const char* path, char* text, size_t size);

}  // namespace port_checks
