// A recording stand-in for the serial services, linked into the unit tests in
// place of the real platform. Each call is logged with its arguments; the
// answers come from the fields below.
#ifndef DORLESK_FAKE_PLATFORM_H
#define DORLESK_FAKE_PLATFORM_H

#include <map>
#include <string>
#include <vector>

#include "../../src/platform/platform.h"

struct FakePlatform {
  std::vector<std::string> calls;

  // Probes and opens: a device path answers the error mapped to it, or a
  // handle when mapped to ERROR_SUCCESS; an unmapped path does not exist.
  std::map<std::string, DWORD> devices;
  HANDLE openHandle = (HANDLE)(intptr_t)0x1234;
  DWORD lastError = ERROR_SUCCESS;

  BOOL setupCommResult = TRUE;
  BOOL getCommStateResult = TRUE;
  BOOL setCommStateResult = TRUE;
  DCB state{};               // what GetCommState answers; SetCommState stores
  DCB applied{};             // the record last given to SetCommState
  COMMTIMEOUTS timeouts{};   // the set last given to SetCommTimeouts
  std::string incoming;      // what ReadFile hands out
  DWORD readReportExtra = 0; // a misbehaving driver: count reported beyond the copy
  std::string written;       // what WriteFile received
};

extern FakePlatform fake;
void resetFake();

// The probe arguments, written as the log writes them.
std::string probeCall(int n);

#endif
