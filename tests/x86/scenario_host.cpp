// The x86 host of the shared scenarios: the DLL is loaded by our PE loader
// under qemu-i386, its KERNEL32 bound to the POSIX stand-in, and each native
// method is called through the call gate.
#include <pthread.h>
#include <stdlib.h>
#include <time.h>

#include <string>

#include "cz_qelvar_Serial.h"
#include "dorlesk_x86.h"
#include "one_call_at_a_time.h"
#include "platform.h"
#include "scenarios.h"

extern std::string failure;

// One module and a count of loads, as the Windows loader keeps them.
static PeModule module;
static int loads = 0;

bool loadDorlesk(const char *path, Dorlesk &d) {
  if (loads == 0 && !loadDll(path, &module, &failure))
    return false;
  loads++;
  currentDorlesk = &module;
  d.module = module.base;
  d.enumPorts = Java_cz_qelvar_Serial_commEnumPorts;
  d.open = Java_cz_qelvar_Serial_commOpen;
  d.close = Java_cz_qelvar_Serial_commClose;
  d.setBaud = Java_cz_qelvar_Serial_commSetBaud;
  d.setTimeout = Java_cz_qelvar_Serial_commSetTimeout;
  d.read = Java_cz_qelvar_Serial_commRead;
  d.write = Java_cz_qelvar_Serial_commWrite;
  d.rts = Java_cz_qelvar_Serial_commRTS;
  d.dtr = Java_cz_qelvar_Serial_commDTR;
  d.ri = Java_cz_qelvar_Serial_commRI;
  d.dcd = Java_cz_qelvar_Serial_commDCD;
  d.riRoutine = dllExport(module, "commRI", 12);
  d.dcdRoutine = dllExport(module, "commDCD", 12);
  return true;
}

void unloadDorlesk(Dorlesk &) {
  if (loads > 0 && --loads == 0) {
    unloadDll(&module);
    currentDorlesk = nullptr;
  }
}

bool dorleskLoaded() { return loads > 0; }

double nowMs() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1000.0 + ts.tv_nsec / 1e6;
}

struct ThreadStart {
  void (*fn)(void *);
  void *arg;
};

static void *runThread(void *p) {
  ThreadStart start = *(ThreadStart *)p;
  free(p);
  giveThreadATeb();
  start.fn(start.arg);
  return nullptr;
}

void *startThread(void (*fn)(void *), void *arg) {
  ThreadStart *start = (ThreadStart *)malloc(sizeof *start);
  *start = {fn, arg};
  pthread_t t;
  if (pthread_create(&t, nullptr, runThread, start) != 0)
    abort();
  return (void *)t;
}

void joinThread(void *thread) { pthread_join((pthread_t)thread, nullptr); }

// KERNEL32 is the stand-in behind Windows' rule here.
int awaitCallsOn(jint handle, int count, int timeoutMs) {
  return awaitCallsOnHandle(HANDLE_FROM_JINT(handle), count, timeoutMs) ? 1 : 0;
}

int main(int argc, char **argv) { return scenarioMain(argc, argv); }
