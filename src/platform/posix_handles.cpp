// The stand-in's handle table, the turns that serve one transfer at a time
// in each direction, and the waking of calls asleep in poll by a purge or a
// close. A handle is the file descriptor; its entry lives until CloseHandle,
// which waits for every call under way, queued ones included, to leave
// before the number can be reused.
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
static pthread_cond_t tableChanged = PTHREAD_COND_INITIALIZER;
static OpenPort **table = nullptr;
static int tableSize = 0;

bool registerPort(OpenPort *port) {
  pthread_mutex_lock(&tableLock);
  if (port->fd >= tableSize) {
    int size = tableSize == 0 ? 64 : tableSize;
    while (size <= port->fd)
      size *= 2;
    OpenPort **grown = (OpenPort **)realloc(table, sizeof(OpenPort *) * (size_t)size);
    if (grown == nullptr) {
      pthread_mutex_unlock(&tableLock);
      return false;
    }
    memset(grown + tableSize, 0, sizeof(OpenPort *) * (size_t)(size - tableSize));
    table = grown;
    tableSize = size;
  }
  table[port->fd] = port;
  pthread_mutex_unlock(&tableLock);
  return true;
}

// Caller holds tableLock.
static OpenPort *lookUp(HANDLE h) {
  intptr_t fd = (intptr_t)h;
  if (fd < 0 || fd >= tableSize || table[fd] == nullptr || table[fd]->closing)
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

bool enter(HANDLE h, Use use, Call *call) {
  pthread_mutex_lock(&tableLock);
  OpenPort *port = lookUp(h);
  // A call that arrives while its side is being purged waits the purge out
  // rather than being aborted by it.
  while (port != nullptr && !port->isProbe && sideOf(port, use)->purging > 0) {
    pthread_cond_wait(&tableChanged, &tableLock);
    port = lookUp(h);
  }
  if (port == nullptr || port->isProbe) {
    pthread_mutex_unlock(&tableLock);
    setLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  Side *side = sideOf(port, use);
  *call = {port, use, side->purges, {}};
  port->calls++;
  while (side->busy && !isAborted(*call))
    pthread_cond_wait(&tableChanged, &tableLock);
  if (isAborted(*call)) {
    port->calls--;
    pthread_cond_broadcast(&tableChanged);
    pthread_mutex_unlock(&tableLock);
    setLastError(ERROR_OPERATION_ABORTED);
    return false;
  }
  side->busy = true;
  call->timeouts = port->timeouts; // those in force when the call is served
  pthread_mutex_unlock(&tableLock);
  return true;
}

void leave(const Call &call) {
  pthread_mutex_lock(&tableLock);
  sideOf(call.port, call.use)->busy = false;
  call.port->calls--;
  pthread_cond_broadcast(&tableChanged);
  pthread_mutex_unlock(&tableLock);
}

void storeTimeouts(OpenPort *port, const COMMTIMEOUTS *timeouts) {
  pthread_mutex_lock(&tableLock);
  port->timeouts = *timeouts;
  pthread_mutex_unlock(&tableLock);
}

// Caller holds tableLock.
static void wakeSleepers(OpenPort *port) {
  if (port->rx.sleeping + port->tx.sleeping == 0)
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

WaitResult waitFor(const Call &call, short events, int64_t deadline) {
  OpenPort *port = call.port;
  Side *side = sideOf(port, call.use);
  for (;;) {
    struct timespec ts, *timeout = nullptr;
    if (deadline != never) {
      int64_t left = deadline - nowNanos();
      if (left <= 0)
        return timedOut;
      ts.tv_sec = (time_t)(left / 1000000000);
      ts.tv_nsec = (long)(left % 1000000000);
      timeout = &ts;
    }
    pthread_mutex_lock(&tableLock);
    if (isAborted(call)) {
      pthread_mutex_unlock(&tableLock);
      return aborted;
    }
    if (port->wakeFd < 0)
      port->wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (port->wakeFd < 0) {
      pthread_mutex_unlock(&tableLock);
      return failed;
    }
    side->sleeping++;
    pthread_mutex_unlock(&tableLock);
    struct pollfd fds[2] = {{port->fd, events, 0}, {port->wakeFd, POLLIN, 0}};
    int n = ppoll(fds, 2, timeout, nullptr);
    int error = errno;
    pthread_mutex_lock(&tableLock);
    side->sleeping--;
    bool gone = isAborted(call);
    // Woken for the other side: wait its purge out, then sleep again.
    while (!gone && (fds[1].revents & POLLIN) && (port->rx.purging > 0 || port->tx.purging > 0)) {
      pthread_cond_wait(&tableChanged, &tableLock);
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

void abortSide(OpenPort *port, Use use) {
  Side *side = sideOf(port, use);
  pthread_mutex_lock(&tableLock);
  side->purging++;
  side->purges++;
  wakeSleepers(port);
  pthread_cond_broadcast(&tableChanged);
  while (side->busy)
    pthread_cond_wait(&tableChanged, &tableLock);
  side->purging--;
  quietWake(port);
  pthread_cond_broadcast(&tableChanged);
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
  pthread_cond_broadcast(&tableChanged);
  // The descriptor stays open, so its number cannot be handed to a new open,
  // until every call on it has left.
  while (port->calls > 0)
    pthread_cond_wait(&tableChanged, &tableLock);
  table[port->fd] = nullptr;
  pthread_mutex_unlock(&tableLock);
  return port;
}
