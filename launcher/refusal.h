// Why the launcher refuses a device: the one judgement of a launch and of
// --list, in the launcher's words, over the port checks.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include "holders_linux.h"

// Who runs the launcher: the terminals it was started from, and the
// processes that started it (what they hold is theirs to hold: a wrapper
// such as flock(1), the test that runs it).
struct Caller {
  dev_t terminals[4];
  int terminal_count;
  pid_t ancestors[64];
  int ancestor_count;
};
void KnowCaller(Caller* caller);

// A device as judged: first by what it is (Judge), then, after one scan of
// the processes for all devices at once (ScanProcesses on each `use`), by
// who holds it (JudgeHolders). `refused` with a short mark for the list and
// the launcher's message, every name in them shown escaped.
struct Candidate {
  const char* path;  // as the user named it
  struct stat file;
  pid_t lock_taker;
  DeviceUse use;
  bool refused;
  char mark[160];
  char message[1024];
};
// `access_path` is where the device is reached with the caller's own rights
// (the path, or the pinned descriptor's /proc/self/fd entry).
void Judge(Candidate* candidate, const char* access_path, const Caller& caller);
void JudgeHolders(Candidate* candidate);
