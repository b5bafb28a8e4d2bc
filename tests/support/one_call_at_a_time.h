// Windows' rule for a handle opened without FILE_FLAG_OVERLAPPED: its I/O
// manager runs the calls on it one at a time, in the order they arrive, each
// holding the handle until it returns. A ReadFile waiting for its time-out
// holds every WriteFile, PurgeComm, setting and CloseHandle behind it. Wine
// and the stand-in run such calls side by side, so the tests that run the
// Windows code paths put this rule in front of the stand-in.
//
// The stand-in's own definitions of the serial calls are compiled under the
// names below (driverReadFile, ...); this file defines the calls by their
// Windows names, each waiting for its turn on its handle before it reaches
// the driver.
#ifndef DORLESK_ONE_CALL_AT_A_TIME_H
#define DORLESK_ONE_CALL_AT_A_TIME_H

#include "platform.h"

// Calls on h that hold it or wait for it now: the tests' hook for "the read
// is inside the driver" (1) or "the write queues behind it" (2).
int callsOnHandle(HANDLE h);

// Waits until callsOnHandle(h) reaches count, at most timeoutMs; whether it did.
bool awaitCallsOnHandle(HANDLE h, int count, int timeoutMs);

#endif
