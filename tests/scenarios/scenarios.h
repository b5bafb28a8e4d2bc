// The scenarios that drive a Dorlesk DLL as a JVM would, over ports on
// pseudo-terminals: COM3 echoes, COM10 stays silent. They are written once
// and run by two hosts: the x64 DLL under wine64 (LoadLibraryA and the real
// KERNEL32 of Wine) and the x86 DLL under qemu-i386 (our own PE loader, with
// KERNEL32 bound to the POSIX stand-in). A host supplies the calls below.
#ifndef DORLESK_SCENARIOS_H
#define DORLESK_SCENARIOS_H

#include <jni.h>

using EnumFn = jobjectArray(JNICALL *)(JNIEnv *, jclass);
using OpenFn = jint(JNICALL *)(JNIEnv *, jclass, jstring);
using HandleFn = jint(JNICALL *)(JNIEnv *, jclass, jint);
using SetBaudFn = jint(JNICALL *)(JNIEnv *, jclass, jint, jstring, jstring);
using SetTimeoutFn = jint(JNICALL *)(JNIEnv *, jclass, jint, jlong);
using TransferFn = jint(JNICALL *)(JNIEnv *, jclass, jint, jbyteArray, jint);
using LineFn = jint(JNICALL *)(JNIEnv *, jclass, jint, jboolean);
using QueryFn = jboolean(JNICALL *)(JNIEnv *, jclass, jint);

struct Dorlesk {
  void *module = nullptr;
  EnumFn enumPorts;
  OpenFn open;
  HandleFn close;
  SetBaudFn setBaud;
  SetTimeoutFn setTimeout;
  TransferFn read, write;
  LineFn rts, dtr;
  QueryFn ri, dcd;
  const void *riRoutine, *dcdRoutine; // the addresses the two exports name
};

// As LoadLibraryA and GetProcAddress: a second load shares the module and
// does not notify it again. False with failure set when it cannot.
bool loadDorlesk(const char *path, Dorlesk &d);
// As FreeLibrary.
void unloadDorlesk(Dorlesk &d);
// Whether the module is still loaded.
bool dorleskLoaded();
double nowMs();

// Runs fn(arg) in a thread of its own that may call the DLL, as a JVM
// thread would; joinThread waits for it to end.
void *startThread(void (*fn)(void *), void *arg);
void joinThread(void *thread);

// Waits until count calls hold or wait for the port handle under Windows'
// one-call-at-a-time rule: 1 when they do, 0 when they did not within
// timeoutMs, -1 where the host runs calls side by side and cannot tell.
int awaitCallsOn(jint handle, int count, int timeoutMs);

// harness DLL SCENARIO MACHINE_PORTS: exit 0 passed, 1 failed, 77 skipped.
int scenarioMain(int argc, char **argv);

#endif
