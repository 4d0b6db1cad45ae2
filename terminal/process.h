// What the program needs of its process before it starts.
#pragma once

// Standard input, output and error that are not open are opened on the null
// device, so that nothing opened later (the port) takes their place. On
// POSIX, a signal that ends the program still ends it, as that signal, but
// with the port released as ComportClose() releases it and the user's
// terminal restored; a signal ignored at start stays ignored.
void PrepareProcess();
