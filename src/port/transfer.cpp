// commSetTimeout, commRead and commWrite: synchronous transfers bounded by a
// total read time-out.
#include <stdlib.h>

#include "../platform/platform.h"
#include "cz_qelvar_Serial.h"

JNIEXPORT jint JNICALL Java_cz_qelvar_Serial_commSetTimeout(JNIEnv *, jclass, jint handle,
                                                            jlong timeoutMillis) {
  if (handle == 0)
    return 0;
  COMMTIMEOUTS timeouts;
  timeouts.ReadIntervalTimeout = 0;
  timeouts.ReadTotalTimeoutMultiplier = 0;
  // Only the low 32 bits count, as an unsigned number of milliseconds.
  timeouts.ReadTotalTimeoutConstant = (DWORD)(timeoutMillis & 0xffffffff);
  timeouts.WriteTotalTimeoutMultiplier = 0;
  timeouts.WriteTotalTimeoutConstant = 0;
  SetCommTimeouts(HANDLE_FROM_JINT(handle), &timeouts);
  return 1;
}

// Never move more than the array holds: a read would otherwise take bytes off
// the port only to lose them in an array-bounds exception, and a write would
// send whatever lies past the array.
static jint fitToArray(JNIEnv *env, jbyteArray array, jint length) {
  jsize size = env->GetArrayLength(array);
  return length < size ? length : size;
}

JNIEXPORT jint JNICALL Java_cz_qelvar_Serial_commRead(JNIEnv *env, jclass, jint handle,
                                                      jbyteArray buffer, jint length) {
  if (buffer == nullptr || length <= 0)
    return 0;
  jint wanted = fitToArray(env, buffer, length);
  if (wanted <= 0)
    return 0;
  jbyte *block = (jbyte *)malloc((size_t)wanted);
  if (block == nullptr)
    return 0;
  DWORD got = 0;
  // A failed read and an empty one look alike: both report 0 bytes.
  ReadFile(HANDLE_FROM_JINT(handle), block, (DWORD)wanted, &got, nullptr);
  if (got > (DWORD)wanted)
    got = (DWORD)wanted;
  env->SetByteArrayRegion(buffer, 0, (jsize)got, block);
  free(block);
  return (jint)got;
}

JNIEXPORT jint JNICALL Java_cz_qelvar_Serial_commWrite(JNIEnv *env, jclass, jint handle,
                                                       jbyteArray data, jint length) {
  if (data == nullptr || length < 0)
    return 0;
  jint count = fitToArray(env, data, length);
  jbyte *bytes = env->GetByteArrayElements(data, nullptr);
  if (bytes == nullptr)
    return 0;
  DWORD written = 0;
  WriteFile(HANDLE_FROM_JINT(handle), bytes, (DWORD)count, &written, nullptr);
  env->ReleaseByteArrayElements(data, bytes, JNI_ABORT);
  if (written > (DWORD)count)
    written = (DWORD)count;
  return (jint)written;
}
