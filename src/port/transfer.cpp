// commSetTimeout, commRead and commWrite: synchronous transfers bounded by a
// total read time-out.
#include <stdlib.h>

#include "../platform/platform.h"

#if defined(__arm__)
// On 32-bit ARM a long argument skips the register an int would take and
// travels on the stack, so the two forms of the time-out that a Java class may
// declare, (int handle, long timeout) and (int handle, int timeout, int), put
// the time-out in different places. This one definition reads both places and
// asks the VM, once, which form the calling class declares.
#define Java_cz_qelvar_Serial_commSetTimeout declaredCommSetTimeout
#include "cz_qelvar_Serial.h"
#undef Java_cz_qelvar_Serial_commSetTimeout

enum TimeoutForm { formUnknown, formLong, formInts };
static int timeoutForm = formUnknown;

static bool declares(JNIEnv *env, jclass cls, const char *signature) {
  jmethodID method = env->GetStaticMethodID(cls, "commSetTimeout", signature);
  if (method == nullptr) {
    env->ExceptionClear();
    method = env->GetMethodID(cls, "commSetTimeout", signature);
  }
  if (method == nullptr)
    env->ExceptionClear();
  return method != nullptr;
}

static int formOf(JNIEnv *env, jobject receiver) {
  int form = __atomic_load_n(&timeoutForm, __ATOMIC_RELAXED);
  if (form != formUnknown || receiver == nullptr)
    return form == formInts ? formInts : formLong; // no VM to ask: a caller of our own
  // A static native is handed its class, an instance native its object.
  jclass classClass = env->FindClass("java/lang/Class");
  bool isClass = classClass != nullptr && env->IsInstanceOf(receiver, classClass);
  jclass cls = isClass ? (jclass)receiver : env->GetObjectClass(receiver);
  form = declares(env, cls, "(III)I") ? formInts : formLong;
  if (!isClass)
    env->DeleteLocalRef(cls);
  if (classClass != nullptr)
    env->DeleteLocalRef(classClass);
  __atomic_store_n(&timeoutForm, form, __ATOMIC_RELAXED);
  return form;
}

extern "C" JNIEXPORT jint JNICALL Java_cz_qelvar_Serial_commSetTimeout(JNIEnv *env,
                                                                       jobject receiver,
                                                                       jint handle, jint inRegister,
                                                                       jint onStack) {
  if (handle == 0)
    return 0;
  // The low half of a long lies first on the stack; an int time-out is in
  // the register, with the unused int on the stack after it.
  DWORD timeoutMillis = (DWORD)(formOf(env, receiver) == formInts ? inRegister : onStack);
#else
#include "cz_qelvar_Serial.h"

JNIEXPORT jint JNICALL Java_cz_qelvar_Serial_commSetTimeout(JNIEnv *, jclass, jint handle,
                                                            jlong timeout) {
  if (handle == 0)
    return 0;
  // Only the low 32 bits count, as an unsigned number of milliseconds; an
  // int time-out followed by an unused int arrives in the same place.
  DWORD timeoutMillis = (DWORD)(timeout & 0xffffffff);
#endif
  COMMTIMEOUTS timeouts;
  timeouts.ReadIntervalTimeout = 0;
  timeouts.ReadTotalTimeoutMultiplier = 0;
  timeouts.ReadTotalTimeoutConstant = timeoutMillis;
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
