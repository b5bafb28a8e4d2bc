#include "dorlesk_x86.h"

#include <asm/ldt.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "../../src/platform/platform.h"
#include "call_gate.h"
#include "cz_qelvar_Serial.h"

#define STDCALL __attribute__((stdcall))

// ---- the thread information block mingw's code reads through %fs ----

// Each thread that calls into the DLL gets its own block, in an LDT entry of
// its own, as each Windows thread has its own TEB.
void giveThreadATeb() {
  static int entries = 0;
  static thread_local bool done = false;
  if (done)
    return;
  uint32_t *teb = (uint32_t *)calloc(1024 + 256 + 64, sizeof(uint32_t));
  uint32_t *peb = teb + 1024, *tlsSlots = peb + 256;
  uint32_t here = (uint32_t)(uintptr_t)&here;
  teb[0] = 0xffffffff; // no exception registration
  teb[1] = here + 0x1000;
  teb[2] = here - 0x100000;
  teb[6] = (uint32_t)(uintptr_t)teb; // Self, at 0x18
  teb[11] = (uint32_t)(uintptr_t)tlsSlots;
  teb[12] = (uint32_t)(uintptr_t)peb;
  int entry = __atomic_fetch_add(&entries, 1, __ATOMIC_RELAXED);
  struct user_desc d;
  memset(&d, 0, sizeof d);
  d.entry_number = entry;
  d.base_addr = (unsigned)(uintptr_t)teb;
  d.limit = 1024 * sizeof(uint32_t) - 1;
  d.seg_32bit = 1;
  d.useable = 1;
  if (syscall(SYS_modify_ldt, 1, &d, sizeof d) != 0) {
    perror("modify_ldt");
    exit(4);
  }
  unsigned short selector = (unsigned short)((entry << 3) | 4 | 3); // the LDT entry, ring 3
  asm volatile("movw %0, %%fs" ::"r"(selector));
  done = true;
}

// ---- KERNEL32: the serial calls go to the platform linked in ----

#define FORWARD(type, name, params, args)                                                          \
  static type STDCALL k32##name params { return name args; }
FORWARD(HANDLE, CreateFileA,
        (LPCSTR n, DWORD a, DWORD s, SECURITY_ATTRIBUTES *sa, DWORD c, DWORD f, HANDLE t),
        (n, a, s, sa, c, f, t))
FORWARD(DWORD, GetLastError, (), ())
FORWARD(BOOL, CloseHandle, (HANDLE h), (h))
FORWARD(BOOL, SetupComm, (HANDLE h, DWORD i, DWORD o), (h, i, o))
FORWARD(BOOL, SetCommMask, (HANDLE h, DWORD m), (h, m))
FORWARD(BOOL, GetCommState, (HANDLE h, DCB *d), (h, d))
FORWARD(BOOL, SetCommState, (HANDLE h, DCB *d), (h, d))
FORWARD(BOOL, SetCommTimeouts, (HANDLE h, COMMTIMEOUTS *t), (h, t))
FORWARD(BOOL, ReadFile, (HANDLE h, LPVOID b, DWORD n, DWORD *r, OVERLAPPED *o), (h, b, n, r, o))
FORWARD(BOOL, WriteFile, (HANDLE h, const void *b, DWORD n, DWORD *w, OVERLAPPED *o),
        (h, b, n, w, o))
FORWARD(BOOL, PurgeComm, (HANDLE h, DWORD f), (h, f))

// The C runtime takes these around its start-up and exit work, which runs on
// one thread here; the native methods take none.
static void STDCALL k32CriticalSection(void *) {}
static void *STDCALL k32NoModule(const void *) { return nullptr; }
static void *STDCALL k32NoProc(void *, const char *) { return nullptr; }
static BOOL STDCALL k32FreeLibrary(void *) { return TRUE; }
static void STDCALL k32Sleep(DWORD ms) { usleep(ms * 1000); }
static void *STDCALL k32TlsGetValue(DWORD) { return nullptr; }
static BOOL STDCALL k32VirtualProtect(void *, DWORD, DWORD, DWORD *old) {
  *old = 0x40; // the image is mapped read, write and execute
  return TRUE;
}
static DWORD STDCALL k32VirtualQuery(const void *address, uint32_t *info, DWORD size) {
  if (size < 28)
    return 0;
  uint32_t page = (uint32_t)(uintptr_t)address & ~0xfffu;
  uint32_t mbi[7] = {page, page, 0x40, 0x1000, 0x1000, 0x40, 0x1000000};
  memcpy(info, mbi, sizeof mbi);
  return sizeof mbi;
}

// ---- msvcrt: plain cdecl C functions, forwarded to this C library ----

static int mbCurMax = 1;
static char iob[3][32]; // msvcrt's stdin, stdout, stderr; all writes go to stderr

static void amsgExit(int code) {
  fprintf(stderr, "the DLL's runtime gave up with message %d\n", code);
  exit(4);
}
static void initTerm(void (**begin)(void), void (**end)(void)) {
  for (; begin < end; begin++)
    if (*begin != nullptr)
      (*begin)();
}
static void runtimeLock(int) {}
static int putToStderr(int c, void *) { return fputc(c, stderr); }
static size_t writeToStderr(const void *p, size_t size, size_t n, void *) {
  return fwrite(p, size, n, stderr);
}
static int printToStderr(void *, const char *format, va_list args) {
  return vfprintf(stderr, format, args);
}

// The unit layer's failing malloc, where it is linked: the DLL's allocations,
// and only those, go through it.
extern "C" void *__wrap_malloc(size_t size) __attribute__((weak));
static void *dllMalloc(size_t size) { return __wrap_malloc ? __wrap_malloc(size) : malloc(size); }

struct Binding {
  const char *dll, *name;
  void *address;
};

static const Binding bindings[] = {
    {"KERNEL32.dll", "CreateFileA", (void *)k32CreateFileA},
    {"KERNEL32.dll", "GetLastError", (void *)k32GetLastError},
    {"KERNEL32.dll", "CloseHandle", (void *)k32CloseHandle},
    {"KERNEL32.dll", "SetupComm", (void *)k32SetupComm},
    {"KERNEL32.dll", "SetCommMask", (void *)k32SetCommMask},
    {"KERNEL32.dll", "GetCommState", (void *)k32GetCommState},
    {"KERNEL32.dll", "SetCommState", (void *)k32SetCommState},
    {"KERNEL32.dll", "SetCommTimeouts", (void *)k32SetCommTimeouts},
    {"KERNEL32.dll", "ReadFile", (void *)k32ReadFile},
    {"KERNEL32.dll", "WriteFile", (void *)k32WriteFile},
    {"KERNEL32.dll", "PurgeComm", (void *)k32PurgeComm},
    {"KERNEL32.dll", "InitializeCriticalSection", (void *)k32CriticalSection},
    {"KERNEL32.dll", "EnterCriticalSection", (void *)k32CriticalSection},
    {"KERNEL32.dll", "LeaveCriticalSection", (void *)k32CriticalSection},
    {"KERNEL32.dll", "DeleteCriticalSection", (void *)k32CriticalSection},
    {"KERNEL32.dll", "GetModuleHandleA", (void *)k32NoModule},
    {"KERNEL32.dll", "GetModuleHandleW", (void *)k32NoModule},
    {"KERNEL32.dll", "LoadLibraryA", (void *)k32NoModule},
    {"KERNEL32.dll", "GetProcAddress", (void *)k32NoProc},
    {"KERNEL32.dll", "FreeLibrary", (void *)k32FreeLibrary},
    {"KERNEL32.dll", "Sleep", (void *)k32Sleep},
    {"KERNEL32.dll", "TlsGetValue", (void *)k32TlsGetValue},
    {"KERNEL32.dll", "VirtualProtect", (void *)k32VirtualProtect},
    {"KERNEL32.dll", "VirtualQuery", (void *)k32VirtualQuery},
    {"msvcrt.dll", "__mb_cur_max", &mbCurMax},
    {"msvcrt.dll", "_iob", iob},
    {"msvcrt.dll", "_amsg_exit", (void *)amsgExit},
    {"msvcrt.dll", "_errno", (void *)__errno_location},
    {"msvcrt.dll", "_initterm", (void *)initTerm},
    {"msvcrt.dll", "_lock", (void *)runtimeLock},
    {"msvcrt.dll", "_unlock", (void *)runtimeLock},
    {"msvcrt.dll", "abort", (void *)abort},
    {"msvcrt.dll", "atoi", (void *)atoi},
    {"msvcrt.dll", "calloc", (void *)calloc},
    {"msvcrt.dll", "malloc", (void *)dllMalloc},
    {"msvcrt.dll", "realloc", (void *)realloc},
    {"msvcrt.dll", "free", (void *)free},
    {"msvcrt.dll", "memcpy", (void *)memcpy},
    {"msvcrt.dll", "memset", (void *)memset},
    {"msvcrt.dll", "strchr", (void *)(const char *(*)(const char *, int))strchr},
    {"msvcrt.dll", "strcmp", (void *)strcmp},
    {"msvcrt.dll", "strncmp", (void *)strncmp},
    {"msvcrt.dll", "strlen", (void *)strlen},
    {"msvcrt.dll", "strerror", (void *)strerror},
    {"msvcrt.dll", "fputc", (void *)putToStderr},
    {"msvcrt.dll", "fwrite", (void *)writeToStderr},
    {"msvcrt.dll", "vfprintf", (void *)printToStderr},
};

void *resolveImport(const char *dll, const char *name) {
  for (const Binding &b : bindings)
    if (strcasecmp(b.dll, dll) == 0 && strcmp(b.name, name) == 0)
      return b.address;
  return nullptr;
}

bool loadDll(const char *path, PeModule *module, std::string *error) {
  giveThreadATeb();
  if (!peLoad(path, resolveImport, module, error))
    return false;
  if (!peNotify(*module, DLL_PROCESS_ATTACH)) {
    *error = "the DLL refused to attach";
    peUnload(module);
    return false;
  }
  return true;
}

void unloadDll(PeModule *module) {
  peNotify(*module, DLL_PROCESS_DETACH);
  peUnload(module);
}

// Allocates nothing: a test may have arranged for the next malloc to fail.
void *dllExport(const PeModule &module, const char *method, int argBytes) {
  char name[64];
  snprintf(name, sizeof name, "_Java_cz_qelvar_Serial_%s@%d", method, argBytes);
  return peExport(module, name);
}

PeModule *currentDorlesk = nullptr;

PeModule &defaultDll() {
  static PeModule kept;
  if (kept.base == nullptr) {
    const char *path = getenv("DORLESK_X86_DLL");
    std::string error;
    if (path == nullptr || !loadDll(path, &kept, &error)) {
      fprintf(stderr, "cannot load the x86 DLL (DORLESK_X86_DLL=%s): %s\n", path ? path : "",
              error.c_str());
      exit(4);
    }
  }
  return kept;
}

static PeModule &current() { return currentDorlesk != nullptr ? *currentDorlesk : defaultDll(); }

// ---- the native methods, each a gate into the DLL's export ----

// Arguments as a 32-bit Windows caller lays them out; a jboolean travels in
// a whole stack word whose upper bytes the callee must ignore.
struct Words {
  uint32_t w[8];
  int n = 0;
};
static void put(Words &a, const void *p) { a.w[a.n++] = (uint32_t)(uintptr_t)p; }
static void put(Words &a, jint v) { a.w[a.n++] = (uint32_t)v; }
static void put(Words &a, jboolean v) { a.w[a.n++] = 0xA5A5A500u | v; }
static void put(Words &a, jlong v) {
  a.w[a.n++] = (uint32_t)((uint64_t)v & 0xffffffffu);
  a.w[a.n++] = (uint32_t)((uint64_t)v >> 32);
}

template <typename... A> static uint64_t callNative(const char *method, int n, A... args) {
  Words words;
  (put(words, args), ...);
  void *fn = dllExport(current(), method, n);
  if (fn == nullptr) {
    fprintf(stderr, "the DLL has no export for %s@%d\n", method, n);
    exit(4);
  }
  return gateCall(fn, words.w, words.n, n, method);
}

jobjectArray JNICALL Java_cz_qelvar_Serial_commEnumPorts(JNIEnv *env, jclass c) {
  return (jobjectArray)(uintptr_t)(uint32_t)callNative("commEnumPorts", 8, env, c);
}
jint JNICALL Java_cz_qelvar_Serial_commOpen(JNIEnv *env, jclass c, jstring name) {
  return (jint)callNative("commOpen", 12, env, c, name);
}
jint JNICALL Java_cz_qelvar_Serial_commClose(JNIEnv *env, jclass c, jint h) {
  return (jint)callNative("commClose", 12, env, c, h);
}
jint JNICALL Java_cz_qelvar_Serial_commSetBaud(JNIEnv *env, jclass c, jint h, jstring baud,
                                               jstring format) {
  return (jint)callNative("commSetBaud", 20, env, c, h, baud, format);
}
jint JNICALL Java_cz_qelvar_Serial_commSetTimeout(JNIEnv *env, jclass c, jint h, jlong ms) {
  return (jint)callNative("commSetTimeout", 20, env, c, h, ms);
}
jint JNICALL Java_cz_qelvar_Serial_commRead(JNIEnv *env, jclass c, jint h, jbyteArray b, jint n) {
  return (jint)callNative("commRead", 20, env, c, h, b, n);
}
jint JNICALL Java_cz_qelvar_Serial_commWrite(JNIEnv *env, jclass c, jint h, jbyteArray b, jint n) {
  return (jint)callNative("commWrite", 20, env, c, h, b, n);
}
jint JNICALL Java_cz_qelvar_Serial_commRTS(JNIEnv *env, jclass c, jint h, jboolean on) {
  return (jint)callNative("commRTS", 16, env, c, h, on);
}
jint JNICALL Java_cz_qelvar_Serial_commDTR(JNIEnv *env, jclass c, jint h, jboolean on) {
  return (jint)callNative("commDTR", 16, env, c, h, on);
}
// Only AL carries a jboolean; the rest of EAX is whatever the callee left.
jboolean JNICALL Java_cz_qelvar_Serial_commRI(JNIEnv *env, jclass c, jint h) {
  return (jboolean)(callNative("commRI", 12, env, c, h) & 0xff);
}
jboolean JNICALL Java_cz_qelvar_Serial_commDCD(JNIEnv *env, jclass c, jint h) {
  return (jboolean)(callNative("commDCD", 12, env, c, h) & 0xff);
}
