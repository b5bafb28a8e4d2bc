// commSetBaud: rate and frame format from two short texts, always with the
// same flow-control policy: no handshaking, DTR and RTS held on.
#include <string.h>

#include "../platform/platform.h"
#include "cz_qelvar_Serial.h"
#include "dorlesk/baud.h"

const BaudEntry baudTable[] = {
    {1200, "1200"},   {2400, "2400"},   {9600, "9600"},     {19200, "19200"},
    {38400, "38400"}, {57600, "57600"}, {115200, "115200"}, {0, nullptr},
};

const BaudEntry *findBaud(const char *text) {
  for (const BaudEntry *row = baudTable; row->text != nullptr; row++)
    if (strcmp(row->text, text) == 0)
      return row;
  return nullptr;
}

// A null string, or one the VM cannot hand out, reads as no text at all.
static const char *textOf(JNIEnv *env, jstring s) {
  return s == nullptr ? nullptr : env->GetStringUTFChars(s, nullptr);
}

static void releaseText(JNIEnv *env, jstring s, const char *text) {
  if (text != nullptr)
    env->ReleaseStringUTFChars(s, text);
}

static void applyFormat(DCB *dcb, const char *format) {
  if (format == nullptr || strlen(format) != 3)
    return;
  // No range check: the platform judges the data bits when they are applied.
  dcb->ByteSize = (BYTE)(format[0] - '0');
  switch (format[1]) {
  case 'E':
  case 'e':
    dcb->Parity = EVENPARITY;
    break;
  case 'O':
  case 'o':
    dcb->Parity = ODDPARITY;
    break;
  default:
    dcb->Parity = NOPARITY;
  }
  dcb->StopBits = format[2] == '2' ? TWOSTOPBITS : ONESTOPBIT;
}

static void applyFlowPolicy(DCB *dcb) {
  dcb->fBinary = 1;
  dcb->fParity = 1;
  dcb->fOutxCtsFlow = 0;
  dcb->fOutxDsrFlow = 0;
  dcb->fDtrControl = DTR_CONTROL_ENABLE;
  dcb->fOutX = 0;
  dcb->fInX = 0;
  dcb->fErrorChar = 0;
  dcb->fNull = 0;
  dcb->fRtsControl = RTS_CONTROL_ENABLE;
  dcb->fAbortOnError = 0;
  dcb->ErrorChar = (char)0xFF;
}

JNIEXPORT jint JNICALL Java_cz_qelvar_Serial_commSetBaud(JNIEnv *env, jclass, jint handle,
                                                         jstring baudText, jstring formatText) {
  if (handle == -1)
    return -1;
  HANDLE h = HANDLE_FROM_JINT(handle);
  DCB dcb;
  memset(&dcb, 0, sizeof dcb);
  dcb.DCBlength = sizeof dcb;
  if (!GetCommState(h, &dcb))
    return 0;
  const char *format = textOf(env, formatText);
  const char *baud = textOf(env, baudText);
  applyFormat(&dcb, format);
  const BaudEntry *row = baud == nullptr ? nullptr : findBaud(baud);
  if (row != nullptr)
    dcb.BaudRate = (DWORD)row->rate;
  applyFlowPolicy(&dcb);
  releaseText(env, formatText, format);
  releaseText(env, baudText, baud);
  return SetCommState(h, &dcb);
}
