// The signals that ask a run to stop. The handler only notes the signal; the writers look at it
// between blocks of rows, drop the report in hand and return, and the run ends with
// 128 + the signal.
#pragma once

#include <csignal>

// The signal (SIGTERM, SIGINT or SIGHUP) that asked the run to stop, 0 while none did.
extern volatile sig_atomic_t iInterrupt;

// Notes SIGTERM, SIGINT and SIGHUP in iInterrupt, except those the run was started with
// ignored (nohup's hangup, a background job's interrupt): the run was asked not to stop for them.
void CatchInterrupts();
