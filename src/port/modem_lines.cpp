// commRTS and commDTR switch the output lines through the port's settings
// record; commRI and commDCD are one routine that always answers true.
#include <string.h>

#include "../platform/platform.h"
#include "cz_qelvar_Serial.h"

// Which line a call switches; the rest of the record is written back as read.
enum Line { rtsLine, dtrLine };

static jint switchLine(jint handle, Line line, jboolean on) {
  HANDLE h = HANDLE_FROM_JINT(handle);
  DCB dcb;
  memset(&dcb, 0, sizeof dcb);
  dcb.DCBlength = sizeof dcb;
  if (!GetCommState(h, &dcb))
    return 0;
  if (line == rtsLine)
    dcb.fRtsControl = on == JNI_TRUE ? RTS_CONTROL_ENABLE : RTS_CONTROL_DISABLE;
  else
    dcb.fDtrControl = on == JNI_TRUE ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE;
  return SetCommState(h, &dcb);
}

JNIEXPORT jint JNICALL Java_cz_qelvar_Serial_commRTS(JNIEnv *, jclass, jint handle, jboolean on) {
  return switchLine(handle, rtsLine, on);
}

JNIEXPORT jint JNICALL Java_cz_qelvar_Serial_commDTR(JNIEnv *, jclass, jint handle, jboolean on) {
  return switchLine(handle, dtrLine, on);
}

JNIEXPORT jboolean JNICALL Java_cz_qelvar_Serial_commRI(JNIEnv *, jclass, jint) { return JNI_TRUE; }

// The same routine under its second name, at the same address. On x86
// Windows the alias must name the routine as the assembler sees it, with the
// stdcall decoration.
#if defined(_WIN32) && !defined(_WIN64)
#define RI_ROUTINE "Java_cz_qelvar_Serial_commRI@12"
#else
#define RI_ROUTINE "Java_cz_qelvar_Serial_commRI"
#endif
// GCC wants the alias as nothrow as its target; clang reads that as a
// declaration whose noexcept-ness differs from the header's.
#ifdef __clang__
#define ALIAS_OF_RI __attribute__((alias(RI_ROUTINE)))
#else
#define ALIAS_OF_RI __attribute__((nothrow, alias(RI_ROUTINE)))
#endif
extern "C" JNIEXPORT jboolean JNICALL Java_cz_qelvar_Serial_commDCD(JNIEnv *, jclass,
                                                                    jint) ALIAS_OF_RI;
