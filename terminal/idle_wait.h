// The poll loop's rest when neither a received byte nor a key waits.
#pragma once

// Returns when a byte may have arrived at the port or a key at the
// console, or after a bounded time, without using the processor meanwhile.
void IdleWait();

// Returns when a key code can be read without waiting (or none can come):
// meanwhile the port is watched, never read, so that its hang-up closes it
// at once while a line is typed.
void AwaitKeyWatchingPort();
