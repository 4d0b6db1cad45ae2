// The poll loop's rest when neither a received byte nor a key waits.
#pragma once

// Returns when a byte may have arrived at the port or a key at the
// console, or after a bounded time, without using the processor meanwhile.
void IdleWait();
