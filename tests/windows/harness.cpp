// The Windows host of the shared scenarios: the DLL is loaded with
// LoadLibraryA and its exports found by name, as a JVM does, under wine64.
// The machine's own serial ports, as Wine maps them, are listed too:
// MACHINE_PORTS names them ("COM1,COM2" or "").
#include <windows.h>

#include <string>

#include "scenarios.h"

extern std::string failure;

static FARPROC exportNamed(HMODULE module, const char *method, int argBytes) {
#ifdef _WIN64
  (void)argBytes;
  std::string name = std::string("Java_cz_qelvar_Serial_") + method;
#else
  std::string name =
      "_Java_cz_qelvar_Serial_" + std::string(method) + "@" + std::to_string(argBytes);
#endif
  return GetProcAddress(module, name.c_str());
}

// void (*)(void) is the one pointer type GCC lets any function pointer pass through.
template <typename F> static void bind(F &f, FARPROC p) {
  f = reinterpret_cast<F>(reinterpret_cast<void (*)(void)>(p));
}

bool loadDorlesk(const char *path, Dorlesk &d) {
  HMODULE module = LoadLibraryA(path);
  d.module = module;
  if (module == nullptr) {
    failure =
        "LoadLibraryA(" + std::string(path) + ") failed, error " + std::to_string(GetLastError());
    return false;
  }
  FARPROC f[11] = {
      exportNamed(module, "commEnumPorts", 8),   exportNamed(module, "commOpen", 12),
      exportNamed(module, "commClose", 12),      exportNamed(module, "commSetBaud", 20),
      exportNamed(module, "commSetTimeout", 20), exportNamed(module, "commRead", 20),
      exportNamed(module, "commWrite", 20),      exportNamed(module, "commRTS", 16),
      exportNamed(module, "commDTR", 16),        exportNamed(module, "commRI", 12),
      exportNamed(module, "commDCD", 12)};
  for (FARPROC p : f)
    if (p == nullptr) {
      failure = "an export is missing";
      return false;
    }
  bind(d.enumPorts, f[0]);
  bind(d.open, f[1]);
  bind(d.close, f[2]);
  bind(d.setBaud, f[3]);
  bind(d.setTimeout, f[4]);
  bind(d.read, f[5]);
  bind(d.write, f[6]);
  bind(d.rts, f[7]);
  bind(d.dtr, f[8]);
  bind(d.ri, f[9]);
  bind(d.dcd, f[10]);
  d.riRoutine = (const void *)f[9];
  d.dcdRoutine = (const void *)f[10];
  return true;
}

void unloadDorlesk(Dorlesk &d) { FreeLibrary((HMODULE)d.module); }

bool dorleskLoaded() { return GetModuleHandleA("Dorlesk.dll") != nullptr; }

double nowMs() {
  LARGE_INTEGER now, frequency;
  QueryPerformanceCounter(&now);
  QueryPerformanceFrequency(&frequency);
  return 1000.0 * (double)now.QuadPart / (double)frequency.QuadPart;
}

struct ThreadStart {
  void (*fn)(void *);
  void *arg;
};

static DWORD WINAPI runThread(LPVOID p) {
  ThreadStart start = *(ThreadStart *)p;
  delete (ThreadStart *)p;
  start.fn(start.arg);
  return 0;
}

void *startThread(void (*fn)(void *), void *arg) {
  HANDLE t = CreateThread(nullptr, 0, runThread, new ThreadStart{fn, arg}, 0, nullptr);
  if (t == nullptr)
    abort();
  return t;
}

void joinThread(void *thread) {
  WaitForSingleObject((HANDLE)thread, INFINITE);
  CloseHandle((HANDLE)thread);
}

// Wine runs calls on one handle side by side and shows no queue: a pause
// gives the other thread time to reach its call, and the answer says that
// nothing could be told.
int awaitCallsOn(jint, int, int) {
  Sleep(100);
  return -1;
}

int main(int argc, char **argv) { return scenarioMain(argc, argv); }
