#pragma once

// SIGINT and SIGTERM end a run cleanly instead of killing it mid-file: the
// sets in hand are finished (their files written whole), no further set is
// started, records that would claim a finished run are not written, and
// the program reports it and exits with 128 + the signal's number, as a
// shell does for a process the signal killed.

/// Makes SIGINT and SIGTERM ask the run to stop instead of ending the
/// process at once.
void catchInterrupts();

/// The signal that asked the run to stop, 0 while none has. Safe to call
/// from any thread.
int interruptSignal();
