#include "one_call_at_a_time.h"

#include <pthread.h>
#include <time.h>

// The driver's calls, as the stand-in's sources are compiled for this build.
HANDLE driverCreateFileA(LPCSTR, DWORD, DWORD, SECURITY_ATTRIBUTES *, DWORD, DWORD, HANDLE);
DWORD driverGetLastError(void);
BOOL driverCloseHandle(HANDLE);
BOOL driverSetupComm(HANDLE, DWORD, DWORD);
BOOL driverSetCommMask(HANDLE, DWORD);
BOOL driverGetCommState(HANDLE, DCB *);
BOOL driverSetCommState(HANDLE, DCB *);
BOOL driverSetCommTimeouts(HANDLE, COMMTIMEOUTS *);
BOOL driverGetCommTimeouts(HANDLE, COMMTIMEOUTS *);
BOOL driverReadFile(HANDLE, LPVOID, DWORD, DWORD *, OVERLAPPED *);
BOOL driverWriteFile(HANDLE, const void *, DWORD, DWORD *, OVERLAPPED *);
BOOL driverPurgeComm(HANDLE, DWORD);

namespace {

// A ticket queue per handle in use: a call takes the next ticket and runs
// when the queue serves it. One lock and one condition for all of them.
struct Queue {
  HANDLE handle;
  unsigned next, serving;
};
Queue queues[256];
pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t changed = PTHREAD_COND_INITIALIZER; // a call joined or left a queue

// The queue of h, taken for it when no call uses it; the caller holds lock.
Queue *queueOf(HANDLE h, bool take) {
  Queue *free = nullptr;
  for (Queue &q : queues) {
    if (q.next != q.serving && q.handle == h)
      return &q;
    if (free == nullptr && q.next == q.serving)
      free = &q;
  }
  if (take && free != nullptr)
    free->handle = h;
  return take ? free : nullptr;
}

// Holds h from construction to destruction, after the calls ahead of it.
struct Turn {
  Queue *queue;
  unsigned ticket;
  explicit Turn(HANDLE h) {
    pthread_mutex_lock(&lock);
    queue = queueOf(h, true);
    ticket = queue->next++;
    pthread_cond_broadcast(&changed);
    while (queue->serving != ticket)
      pthread_cond_wait(&changed, &lock);
    pthread_mutex_unlock(&lock);
  }
  ~Turn() {
    pthread_mutex_lock(&lock);
    queue->serving++;
    pthread_cond_broadcast(&changed);
    pthread_mutex_unlock(&lock);
  }
  Turn(const Turn &) = delete;
  Turn &operator=(const Turn &) = delete;
};

} // namespace

int callsOnHandle(HANDLE h) {
  pthread_mutex_lock(&lock);
  Queue *q = queueOf(h, false);
  int n = q != nullptr ? (int)(q->next - q->serving) : 0;
  pthread_mutex_unlock(&lock);
  return n;
}

bool awaitCallsOnHandle(HANDLE h, int count, int timeoutMs) {
  struct timespec end;
  clock_gettime(CLOCK_REALTIME, &end);
  long long ns = end.tv_nsec + timeoutMs * 1000000LL;
  end.tv_sec += ns / 1000000000LL;
  end.tv_nsec = ns % 1000000000LL;
  pthread_mutex_lock(&lock);
  int n;
  for (;;) {
    Queue *q = queueOf(h, false);
    n = q != nullptr ? (int)(q->next - q->serving) : 0;
    if (n == count || pthread_cond_timedwait(&changed, &lock, &end) != 0)
      break;
  }
  pthread_mutex_unlock(&lock);
  return n == count;
}

// Opening makes a handle; no call can hold it yet.
HANDLE CreateFileA(LPCSTR n, DWORD a, DWORD s, SECURITY_ATTRIBUTES *sa, DWORD c, DWORD f,
                   HANDLE t) {
  return driverCreateFileA(n, a, s, sa, c, f, t);
}
DWORD GetLastError(void) { return driverGetLastError(); }

#define ONE_AT_A_TIME(name, params, args)                                                          \
  BOOL name params {                                                                               \
    Turn turn(h);                                                                                  \
    return driver##name args;                                                                      \
  }
ONE_AT_A_TIME(CloseHandle, (HANDLE h), (h))
ONE_AT_A_TIME(SetupComm, (HANDLE h, DWORD i, DWORD o), (h, i, o))
ONE_AT_A_TIME(SetCommMask, (HANDLE h, DWORD m), (h, m))
ONE_AT_A_TIME(GetCommState, (HANDLE h, DCB *d), (h, d))
ONE_AT_A_TIME(SetCommState, (HANDLE h, DCB *d), (h, d))
ONE_AT_A_TIME(SetCommTimeouts, (HANDLE h, COMMTIMEOUTS *t), (h, t))
ONE_AT_A_TIME(GetCommTimeouts, (HANDLE h, COMMTIMEOUTS *t), (h, t))
ONE_AT_A_TIME(ReadFile, (HANDLE h, LPVOID b, DWORD n, DWORD *r, OVERLAPPED *o), (h, b, n, r, o))
ONE_AT_A_TIME(WriteFile, (HANDLE h, const void *b, DWORD n, DWORD *w, OVERLAPPED *o),
              (h, b, n, w, o))
ONE_AT_A_TIME(PurgeComm, (HANDLE h, DWORD f), (h, f))
