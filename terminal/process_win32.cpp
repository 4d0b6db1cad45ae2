#include "process.h"

// The runtime opens what a console program needs, and Ctrl+C keeps the
// console's own handling: there is nothing to prepare.
void PrepareProcess() {}
