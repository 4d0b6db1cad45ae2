// The launcher's private mount namespace, where a device stands in for COM1.
#pragma once

#include <sys/stat.h>

#include <cstddef>

// The device node the program opens as COM1.
inline constexpr char kCom1Path[] = "/dev/ttyS0";

// Moves this process into a mount namespace of its own (with a user
// namespace where it is not root) whose mounts propagate nowhere. False,
// with what to do in `why`, when the machine does not allow it.
bool EnterPrivateNamespace(char* why, size_t size);

// Binds the file that descriptor `pinned` (O_PATH, opened in the namespace)
// holds over COM1's node, first giving the namespace that node where the
// machine has none, and checks that the node is now `judged`'s file. False,
// with the reason in `why`.
bool BindAsCom1(int pinned, const struct stat& judged, char* why, size_t size);
