// Who holds a device, from /proc (Linux's): the processes that have it open
// or as their controlling terminal, and those that started the launcher.
#pragma once

#include <sys/types.h>

#include <cstddef>

// What the processes do with some devices, found in one pass over /proc.
struct DeviceUse {
  dev_t device;         // in
  bool find_openers;    // in: look for processes that hold it open
  pid_t opener;         // out: one that holds it open, not skipped; 0: none
  bool skipped_opener;  // out: a skipped process holds it open
  pid_t controller;     // out: whose controlling terminal it is (the session
                        //      leader where there is one); 0: nobody's
};
struct ProcessScan {
  bool saw_modem_manager;  // a process named ModemManager runs
};
// Fills `uses`; processes in `skip` are not named as openers, and this one's
// own descriptors (the launcher's pin, which opens no driver) are no use.
// Only the processes this user may look at are seen.
ProcessScan ScanProcesses(DeviceUse* uses, int count, const pid_t* skip, int skip_count);

// A process's controlling terminal; 0 when it has none.
dev_t ControllingTerminal(pid_t pid);
// The processes that started this one, nearest first; how many.
int Ancestors(pid_t* pids, int most);
// A process's command name ("?" when it has ended); false when it has.
bool CommandOf(pid_t pid, char* name, size_t size);
