// The run's time stamp and its processor-time figures.
#pragma once

// HH:MM:SS of the last refresh, shown in every stamped message. It is refreshed only at the
// start and end of the run and of each file, so that every line of one step shows one time.
extern char szTime[9];

// Refreshes szTime from the local clock.
void RefreshTime();

// Processor time of the whole process so far, in seconds.
double ProcessSeconds();
