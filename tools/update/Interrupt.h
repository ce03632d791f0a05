// Ctrl+C and requests to end (SIGINT, SIGTERM, SIGHUP; on Windows the console's Ctrl+C, Ctrl+Break
// and close events), turned into a count that the program's main thread polls, so that it can end
// its update in order instead of dying in the middle of a send.
#pragma once

// Installs the handlers and unblocks their signals; call once, early in main. Until then the
// system's defaults apply. With `secondEndsAtOnce` a second request ends the program at once, as
// the system would have ended it at the first (for a program that may take a while to end in
// order); otherwise every request is only counted.
void InstallInterruptHandlers(bool secondEndsAtOnce);
// How many requests to end have arrived so far (any thread).
int InterruptCount();
