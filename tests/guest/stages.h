// The stages a guest session marks in the kernel's trace ("vlx <word>"),
// named once for the session driver that marks them and the host test that
// looks them up. A word is a session ("com1", "usb", "usb2", or whoever
// tries a busy port) and what it is at.
#pragma once

#include <string>

namespace stage {

inline constexpr char kStart[] = "start";          // before the first open
inline constexpr char kIdle[] = "idle";            // the device's bytes shown, nothing typed
inline constexpr char kTyping[] = "typing";        // a line is typed and goes out
inline constexpr char kSent[] = "sent";            // the device's answer to it shown
inline constexpr char kStalled[] = "stalled";      // the device reads nothing; a line is typed
inline constexpr char kUnplugged[] = "unplugged";  // the adapter is gone
inline constexpr char kEsc[] = "esc";              // Esc typed, to end it
inline constexpr char kClosed[] = "closed";        // it has ended
inline constexpr char kBusy[] = "busy";            // a second vlxterm tries the port
inline constexpr char kBusyEnd[] = "busy-end";     // ... and has ended
inline constexpr char kBack[] = "back";            // the board is plugged back in
inline constexpr char kOther[] = "other";          // another board is plugged in
inline constexpr char kMoved[] = "moved";          // the board, on another controller

inline std::string Word(const std::string& session, const char* at) { return session + "-" + at; }

}  // namespace stage
