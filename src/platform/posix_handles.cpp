// The stand-in's handle table, the turns that serve one transfer at a time
// in each direction, and the waking of calls asleep in poll by a purge or a
// close. A handle is the file descriptor with the count of its number's opens
// above it, so that a handle kept past its close never reaches a later port
// given the same descriptor number; its entry lives until CloseHandle, which
// waits for every call under way, queued ones included, to leave before the
// number can be reused.
#include <errno.h>
#include <poll.h>
#include <pthread.h>
#include <stdlib.h>
#include <string.h>
#include <sys/eventfd.h>
#include <time.h>
#include <unistd.h>

#include "posix_internal.h"

static pthread_mutex_t tableLock = PTHREAD_MUTEX_INITIALIZER;
static OpenPort **table = nullptr;
static unsigned *opens = nullptr; // per descriptor number: its opens so far, 1 to 1023 over
static int tableSize = 0;

// The descriptor in a handle's low bits, the open's count in the rest; the
// sign bit stays clear, so a handle is never -1 or 0.
static const int fdBits = 21;
static const intptr_t fdMask = ((intptr_t)1 << fdBits) - 1;

HANDLE handleOf(const OpenPort *port) {
  return (HANDLE)((intptr_t)port->fd | (intptr_t)port->generation << fdBits);
}

OpenPort *newPort(int fd, bool isProbe) {
  OpenPort *port = (OpenPort *)calloc(1, sizeof(OpenPort));
  if (port == nullptr)
    return nullptr;
  port->fd = fd;
  port->isProbe = isProbe;
  port->wakeFd = -1;
  port->lockFd = -1;
  // Turns are waited for against the same clock as the read deadlines.
  Side *sides[] = {&port->rx, &port->tx, &port->settings};
  for (Side *side : sides)
    initMonotonic(&side->changed);
  initMonotonic(&port->idle);
  return port;
}

void initMonotonic(pthread_cond_t *cond) {
  pthread_condattr_t monotonic;
  pthread_condattr_init(&monotonic);
  pthread_condattr_setclock(&monotonic, CLOCK_MONOTONIC);
  pthread_cond_init(cond, &monotonic);
  pthread_condattr_destroy(&monotonic);
}

void freePort(OpenPort *port) {
  if (port == nullptr)
    return;
  Side *sides[] = {&port->rx, &port->tx, &port->settings};
  for (Side *side : sides)
    pthread_cond_destroy(&side->changed);
  pthread_cond_destroy(&port->idle);
  free(port);
}

DWORD registerPort(OpenPort *port) {
  pthread_mutex_lock(&tableLock);
  // A second node of the same device (mknod, as a container's or chroot's
  // /dev has) has its own inode, which flock cannot see: the device number
  // tells, and the check and the entry are one step under the lock.
  for (int i = 0; port->device != 0 && i < tableSize; i++) {
    if (table[i] != nullptr && table[i]->device == port->device &&
        table[i]->instance == port->instance) {
      pthread_mutex_unlock(&tableLock);
      return ERROR_ACCESS_DENIED;
    }
  }
  if (port->fd > fdMask) {
    pthread_mutex_unlock(&tableLock);
    return ERROR_TOO_MANY_OPEN_FILES;
  }
  if (port->fd >= tableSize) {
    int size = tableSize == 0 ? 64 : tableSize;
    while (size <= port->fd)
      size *= 2;
    OpenPort **grown = (OpenPort **)realloc(table, sizeof(OpenPort *) * (size_t)size);
    if (grown != nullptr)
      table = grown;
    unsigned *counts = (unsigned *)realloc(opens, sizeof(unsigned) * (size_t)size);
    if (counts != nullptr)
      opens = counts;
    if (grown == nullptr || counts == nullptr) {
      pthread_mutex_unlock(&tableLock);
      return ERROR_NOT_ENOUGH_MEMORY;
    }
    memset(table + tableSize, 0, sizeof(OpenPort *) * (size_t)(size - tableSize));
    memset(opens + tableSize, 0, sizeof(unsigned) * (size_t)(size - tableSize));
    tableSize = size;
  }
  opens[port->fd] = opens[port->fd] % 1023 + 1;
  port->generation = opens[port->fd];
  table[port->fd] = port;
  pthread_mutex_unlock(&tableLock);
  return ERROR_SUCCESS;
}

void eachPort(void (*visit)(OpenPort *)) {
  pthread_mutex_lock(&tableLock);
  for (int i = 0; i < tableSize; i++)
    if (table[i] != nullptr)
      visit(table[i]);
  pthread_mutex_unlock(&tableLock);
}

// Caller holds tableLock.
static OpenPort *lookUp(HANDLE h) {
  intptr_t value = (intptr_t)h, fd = value & fdMask;
  if (value < 0 || fd >= tableSize || table[fd] == nullptr || table[fd]->closing ||
      (intptr_t)table[fd]->generation != value >> fdBits)
    return nullptr;
  return table[fd];
}

static Side *sideOf(OpenPort *port, Use use) {
  return use == useRead ? &port->rx : use == useWrite ? &port->tx : &port->settings;
}

// Caller holds tableLock.
static bool isAborted(const Call &call) {
  return call.port->closing || sideOf(call.port, call.use)->purges != call.purges;
}

// Caller holds tableLock. The entry stays valid while calls counts this one.
static void uncount(OpenPort *port) {
  if (--port->calls == 0 && port->closing)
    pthread_cond_broadcast(&port->idle);
}

static struct timespec monotonicTime(int64_t nanos) {
  struct timespec ts;
  ts.tv_sec = (time_t)(nanos / 1000000000);
  ts.tv_nsec = (long)(nanos % 1000000000);
  return ts;
}

bool admit(HANDLE h, Use use, Call *call) {
  pthread_mutex_lock(&tableLock);
  OpenPort *port = lookUp(h);
  if (port == nullptr || port->isProbe) {
    pthread_mutex_unlock(&tableLock);
    setLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  port->calls++;
  Side *side = sideOf(port, use);
  // A call that arrives while its side is being purged waits the purge out
  // rather than being aborted by it.
  while (!port->closing && side->purging > 0)
    pthread_cond_wait(&side->changed, &tableLock);
  *call = {port, use, side->purges, port->timeouts};
  pthread_mutex_unlock(&tableLock);
  return true;
}

WaitResult takeTurn(Call *call, int64_t deadline) {
  pthread_mutex_lock(&tableLock);
  Side *side = sideOf(call->port, call->use);
  WaitResult result = ready;
  while (side->busy && result == ready) {
    if (isAborted(*call)) {
      result = aborted;
    } else if (deadline == never) {
      pthread_cond_wait(&side->changed, &tableLock);
    } else {
      struct timespec until = monotonicTime(deadline);
      if (pthread_cond_timedwait(&side->changed, &tableLock, &until) == ETIMEDOUT && side->busy)
        result = timedOut;
    }
  }
  if (result == ready && isAborted(*call))
    result = aborted;
  if (result == ready)
    side->busy = true;
  else
    uncount(call->port);
  pthread_mutex_unlock(&tableLock);
  if (result == aborted)
    setLastError(ERROR_OPERATION_ABORTED);
  return result;
}

bool enter(HANDLE h, Use use, Call *call) {
  return admit(h, use, call) && takeTurn(call, never) == ready;
}

void leave(const Call &call) {
  pthread_mutex_lock(&tableLock);
  Side *side = sideOf(call.port, call.use);
  side->busy = false;
  pthread_cond_broadcast(&side->changed);
  uncount(call.port);
  pthread_mutex_unlock(&tableLock);
}

void withdraw(const Call &call) {
  pthread_mutex_lock(&tableLock);
  uncount(call.port);
  pthread_mutex_unlock(&tableLock);
}

void storeTimeouts(OpenPort *port, const COMMTIMEOUTS *timeouts) {
  pthread_mutex_lock(&tableLock);
  port->timeouts = *timeouts;
  pthread_mutex_unlock(&tableLock);
}

// Caller holds tableLock.
static void wakeSleepers(OpenPort *port) {
  if (port->wakeFd < 0 || port->rx.sleeping + port->tx.sleeping + port->settings.sleeping == 0)
    return;
  uint64_t one = 1;
  ssize_t ignored = write(port->wakeFd, &one, sizeof one);
  (void)ignored;
}

// Caller holds tableLock; the last purge out leaves the wake descriptor quiet.
static void quietWake(OpenPort *port) {
  if (port->wakeFd < 0 || port->rx.purging > 0 || port->tx.purging > 0 || port->closing)
    return;
  uint64_t count;
  ssize_t ignored = read(port->wakeFd, &count, sizeof count);
  (void)ignored;
}

int64_t nowNanos() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (int64_t)ts.tv_sec * 1000000000 + ts.tv_nsec;
}

// Without a wake descriptor (none could be made: the process is out of
// them) a sleeper looks for a purge or close this often.
static const int64_t sliceNs = 5000000;

WaitResult waitFor(const Call &call, short events, int64_t deadline) {
  OpenPort *port = call.port;
  Side *side = sideOf(port, call.use);
  for (;;) {
    int64_t left = deadline == never ? never : deadline - nowNanos();
    if (left <= 0)
      return timedOut;
    pthread_mutex_lock(&tableLock);
    if (isAborted(call)) {
      pthread_mutex_unlock(&tableLock);
      return aborted;
    }
    if (port->wakeFd < 0)
      port->wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    bool sliced = port->wakeFd < 0;
    if (sliced && left > sliceNs)
      left = sliceNs;
    side->sleeping++;
    pthread_mutex_unlock(&tableLock);
    struct timespec ts = monotonicTime(left);
    struct pollfd fds[2] = {{port->fd, events, 0}, {port->wakeFd, POLLIN, 0}};
    int n = ppoll(fds, sliced ? 1 : 2, left == never ? nullptr : &ts, nullptr);
    int error = errno;
    pthread_mutex_lock(&tableLock);
    side->sleeping--;
    bool gone = isAborted(call);
    // Woken for the other side: wait its purge out, then sleep again.
    while (!gone && !sliced && (fds[1].revents & POLLIN)) {
      Side *purged = port->rx.purging > 0 ? &port->rx : port->tx.purging > 0 ? &port->tx : nullptr;
      if (purged == nullptr)
        break;
      pthread_cond_wait(&purged->changed, &tableLock);
      gone = isAborted(call);
    }
    pthread_mutex_unlock(&tableLock);
    if (gone)
      return aborted;
    if (n < 0 && error == EINTR)
      continue;
    if (n < 0 || (fds[0].revents & POLLNVAL))
      return failed;
    if (fds[0].revents != 0)
      return ready;
  }
}

bool wasAborted(const Call &call) {
  pthread_mutex_lock(&tableLock);
  bool gone = isAborted(call);
  pthread_mutex_unlock(&tableLock);
  return gone;
}

void abortSide(OpenPort *port, Use use) {
  Side *side = sideOf(port, use);
  pthread_mutex_lock(&tableLock);
  side->purging++;
  side->purges++;
  wakeSleepers(port);
  pthread_cond_broadcast(&side->changed);
  while (side->busy)
    pthread_cond_wait(&side->changed, &tableLock);
  side->purging--;
  quietWake(port);
  pthread_cond_broadcast(&side->changed);
  pthread_mutex_unlock(&tableLock);
}

void lockTable() { pthread_mutex_lock(&tableLock); }

void unlockTable() { pthread_mutex_unlock(&tableLock); }

void answersArrived(OpenPort *port) { pthread_cond_broadcast(&port->rx.changed); }

WaitResult shareReadSide(OpenPort *port, bool (*done)(OpenPort *, unsigned), unsigned arg,
                         int64_t deadline, bool *taken) {
  pthread_mutex_lock(&tableLock);
  WaitResult result = timedOut;
  *taken = false;
  for (;;) {
    if (port->closing) {
      result = aborted;
      break;
    }
    bool finished = done(port, arg);
    // Not while the read side is being purged: the purge waits for the side
    // to be free, and would wait for this call.
    if (finished || (!port->rx.busy && port->rx.purging == 0)) {
      *taken = !finished;
      if (*taken)
        port->rx.busy = true;
      result = ready;
      break;
    }
    struct timespec until = monotonicTime(deadline);
    if (pthread_cond_timedwait(&port->rx.changed, &tableLock, &until) == ETIMEDOUT)
      break;
  }
  pthread_mutex_unlock(&tableLock);
  return result;
}

void giveBackReadSide(OpenPort *port) {
  pthread_mutex_lock(&tableLock);
  port->rx.busy = false;
  pthread_cond_broadcast(&port->rx.changed);
  pthread_mutex_unlock(&tableLock);
}

OpenPort *retire(HANDLE h) {
  pthread_mutex_lock(&tableLock);
  OpenPort *port = lookUp(h);
  if (port == nullptr) {
    pthread_mutex_unlock(&tableLock);
    return nullptr;
  }
  port->closing = true;
  wakeSleepers(port);
  Side *sides[] = {&port->rx, &port->tx, &port->settings};
  for (Side *side : sides)
    pthread_cond_broadcast(&side->changed);
  // The descriptor stays open, so its number cannot be handed to a new open,
  // until every call on it has left.
  while (port->calls > 0)
    pthread_cond_wait(&port->idle, &tableLock);
  table[port->fd] = nullptr;
  pthread_mutex_unlock(&tableLock);
  return port;
}
