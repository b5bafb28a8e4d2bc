// commOpen and commClose: take a port exclusively, and give it back.
#include <stdio.h>
#include <string.h>

#include "../platform/platform.h"
#include "cz_qelvar_Serial.h"

// "\\.\" plus the name plus the NUL.
static const size_t devicePathSize = MAX_PORT_NAME + 5;

JNIEXPORT jint JNICALL Java_cz_qelvar_Serial_commOpen(JNIEnv *env, jclass, jstring portName) {
  if (portName == nullptr)
    return -1;
  const char *name = env->GetStringUTFChars(portName, nullptr);
  if (name == nullptr)
    return -1;
  // A name that does not fit is refused, never cut: a shortened name can
  // name another device.
  if (strlen(name) > MAX_PORT_NAME) {
    env->ReleaseStringUTFChars(portName, name);
    return -1;
  }
  char path[devicePathSize];
  snprintf(path, sizeof path, "\\\\.\\%s", name);
  HANDLE h = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    env->ReleaseStringUTFChars(portName, name);
    return -1;
  }
  if (!SetupComm(h, 1024, 1024)) {
    CloseHandle(h);
    env->ReleaseStringUTFChars(portName, name);
    return -1;
  }
  SetCommMask(h, EV_RXCHAR | EV_RXFLAG | EV_TXEMPTY | EV_ERR);
  env->ReleaseStringUTFChars(portName, name);
  return JINT_FROM_HANDLE(h);
}

JNIEXPORT jint JNICALL Java_cz_qelvar_Serial_commClose(JNIEnv *, jclass, jint handle) {
  if (handle == -1)
    return 0;
  HANDLE h = HANDLE_FROM_JINT(handle);
  PurgeComm(h, PURGE_TXABORT | PURGE_TXCLEAR);
  PurgeComm(h, PURGE_RXABORT | PURGE_RXCLEAR);
  CloseHandle(h);
  return 0;
}
