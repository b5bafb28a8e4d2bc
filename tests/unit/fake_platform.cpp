#include "fake_platform.h"

#include <stdio.h>
#include <string.h>

FakePlatform fake;

void resetFake() { fake = FakePlatform(); }

static std::string hex(uintptr_t v) {
  char text[32];
  snprintf(text, sizeof text, "0x%lx", (unsigned long)v);
  return text;
}

static std::string handle(HANDLE h) {
  return h == INVALID_HANDLE_VALUE ? "INVALID" : hex((uintptr_t)h);
}

static std::string ptr(const void *p) { return p == nullptr ? "null" : "ptr"; }

static void log(const std::string &call) { fake.calls.push_back(call); }

std::string probeCall(int n) {
  return "CreateFileA(\\\\.\\COM" + std::to_string(n) + ",0x0,0,null,3,0x80,null)";
}

HANDLE CreateFileA(LPCSTR name, DWORD access, DWORD share, SECURITY_ATTRIBUTES *security,
                   DWORD creation, DWORD flags, HANDLE templ) {
  log(std::string("CreateFileA(") + name + "," + hex(access) + "," + std::to_string(share) + "," +
      ptr(security) + "," + std::to_string(creation) + "," + hex(flags) + "," + ptr(templ) + ")");
  auto found = fake.devices.find(name);
  DWORD error = found == fake.devices.end() ? ERROR_FILE_NOT_FOUND : found->second;
  if (error != ERROR_SUCCESS) {
    fake.lastError = error;
    return INVALID_HANDLE_VALUE;
  }
  return fake.openHandle;
}

DWORD GetLastError(void) {
  log("GetLastError()");
  return fake.lastError;
}

BOOL CloseHandle(HANDLE h) {
  log("CloseHandle(" + handle(h) + ")");
  return h != INVALID_HANDLE_VALUE;
}

BOOL SetupComm(HANDLE h, DWORD in, DWORD out) {
  log("SetupComm(" + handle(h) + "," + std::to_string(in) + "," + std::to_string(out) + ")");
  return fake.setupCommResult;
}

BOOL SetCommMask(HANDLE h, DWORD mask) {
  log("SetCommMask(" + handle(h) + "," + hex(mask) + ")");
  return TRUE;
}

BOOL GetCommState(HANDLE h, DCB *dcb) {
  log("GetCommState(" + handle(h) + ")");
  if (!fake.getCommStateResult)
    return FALSE;
  *dcb = fake.state;
  return TRUE;
}

BOOL SetCommState(HANDLE h, DCB *dcb) {
  log("SetCommState(" + handle(h) + ")");
  fake.applied = *dcb;
  if (fake.setCommStateResult)
    fake.state = *dcb;
  return fake.setCommStateResult;
}

BOOL SetCommTimeouts(HANDLE h, COMMTIMEOUTS *t) {
  log("SetCommTimeouts(" + handle(h) + "," + std::to_string(t->ReadIntervalTimeout) + "," +
      std::to_string(t->ReadTotalTimeoutMultiplier) + "," +
      std::to_string(t->ReadTotalTimeoutConstant) + "," +
      std::to_string(t->WriteTotalTimeoutMultiplier) + "," +
      std::to_string(t->WriteTotalTimeoutConstant) + ")");
  fake.timeouts = *t;
  return h != INVALID_HANDLE_VALUE;
}

BOOL GetCommTimeouts(HANDLE h, COMMTIMEOUTS *t) {
  log("GetCommTimeouts(" + handle(h) + ")");
  *t = fake.timeouts;
  return TRUE;
}

BOOL ReadFile(HANDLE h, LPVOID buffer, DWORD toRead, DWORD *read, OVERLAPPED *overlapped) {
  log("ReadFile(" + handle(h) + "," + ptr(buffer) + "," + std::to_string(toRead) + "," + ptr(read) +
      "," + ptr(overlapped) + ")");
  if (h == INVALID_HANDLE_VALUE) {
    *read = 0;
    return FALSE;
  }
  DWORD n = (DWORD)fake.incoming.size() < toRead ? (DWORD)fake.incoming.size() : toRead;
  memcpy(buffer, fake.incoming.data(), n);
  fake.incoming.erase(0, n);
  *read = n + fake.readReportExtra;
  return TRUE;
}

BOOL WriteFile(HANDLE h, const void *buffer, DWORD toWrite, DWORD *written,
               OVERLAPPED *overlapped) {
  log("WriteFile(" + handle(h) + "," + ptr(buffer) + "," + std::to_string(toWrite) + "," +
      ptr(written) + "," + ptr(overlapped) + ")");
  if (h == INVALID_HANDLE_VALUE) {
    *written = 0;
    return FALSE;
  }
  fake.written.append((const char *)buffer, toWrite);
  *written = toWrite;
  return TRUE;
}

BOOL PurgeComm(HANDLE h, DWORD flags) {
  log("PurgeComm(" + handle(h) + "," + std::to_string(flags) + ")");
  return TRUE;
}
