// The Windows serial calls on Linux termios, behaving as a serial driver
// does: exclusive opens, per-handle settings that read back as written,
// reads bounded by COMMTIMEOUTS, one transfer at a time in each direction,
// and purges and closes that end a blocked call in another thread.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <linux/serial.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include "posix_internal.h"

static thread_local DWORD lastError = ERROR_SUCCESS;

void setLastError(DWORD error) { lastError = error; }

DWORD GetLastError(void) { return lastError; }

// ---- open and close ----

static DWORD errorFromErrno(int error) {
  switch (error) {
  case ENOENT:
  case ENOTDIR:
  case ENXIO:
  case ENODEV:
  case ELOOP:
  case ENAMETOOLONG:
    return ERROR_FILE_NOT_FOUND;
  case EACCES:
  case EPERM:
  case EBUSY:
  case EWOULDBLOCK:
    return ERROR_ACCESS_DENIED;
  case ENOMEM:
    return ERROR_NOT_ENOUGH_MEMORY;
  default:
    return ERROR_GEN_FAILURE;
  }
}

static HANDLE failWith(DWORD error, int fd) {
  if (fd >= 0)
    close(fd);
  setLastError(error);
  return INVALID_HANDLE_VALUE;
}

// Existence without opening the device: opening a tty raises DTR and RTS,
// which resets boards that listen to them. A network port is probed without
// connecting: its entry is all there is.
static HANDLE probe(const char *path) {
  bool url = isNetworkName(path);
  int fd = open(url ? "/dev/null" : path, O_PATH | O_CLOEXEC);
  if (fd < 0)
    return failWith(errorFromErrno(errno), -1);
  struct stat st;
  char held[PATH_MAX];
  bool statted = !url && fstat(fd, &st) == 0;
  bool network = url || (statted && S_ISREG(st.st_mode) && networkUrl(path, held, sizeof held));
  if (!network && (!statted || !S_ISCHR(st.st_mode) || isPhantomUart(fd)))
    return failWith(ERROR_FILE_NOT_FOUND, fd);
  if (!network && access(path, R_OK | W_OK) != 0)
    return failWith(ERROR_ACCESS_DENIED, fd);
  OpenPort *port = newPort(fd, true);
  DWORD error = port == nullptr ? ERROR_NOT_ENOUGH_MEMORY : registerPort(port);
  if (error != ERROR_SUCCESS) {
    freePort(port);
    return failWith(error, fd);
  }
  return handleOf(port);
}

// Pseudo-terminal slaves have majors 136 to 143.
static bool isPseudoTerminal(const struct stat &st) {
  return major(st.st_rdev) >= 136 && major(st.st_rdev) <= 143;
}

// Nothing but pseudo-terminals can live in /dev/pts, so a port named by its
// number there needs no fstat to say what it is: a system call is a good
// part of what an open costs.
static bool isPtsName(const char *path) {
  if (strncmp(path, "/dev/pts/", 9) != 0 || path[9] == '\0')
    return false;
  for (const char *c = path + 9; *c != '\0'; c++)
    if (*c < '0' || *c > '9')
      return false;
  return true;
}

// /dev/pts/N is always the slave with that index: majors 136 to 143 hold
// 256 minors each.
static dev_t ptsDevice(const char *path) {
  unsigned n = (unsigned)strtoul(path + 9, nullptr, 10);
  return makedev(136 + n / 256, n % 256);
}

// The devpts instance a pseudo-terminal belongs to: a container's /dev/pts
// numbers its terminals from 0 as the host's does, so two of them can share
// a device number. /dev/pts/N lies on the file system of /dev/pts.
static dev_t ptsInstance(bool ptsName, const struct stat &st) {
  struct stat dir;
  if (!ptsName)
    return st.st_dev;
  return stat("/dev/pts", &dir) == 0 ? dir.st_dev : 0;
}

// Another process that opens the same device through a node of its own has
// a lock of its own. Where udev names each device (/dev/char/MAJOR:MINOR
// leads to its canonical node), that node is locked too, when it is not the
// one opened. -1 with nothing to hold, -2 when another holds it.
static int lockCanonicalNode(const struct stat &st) {
  char name[PATH_MAX];
  struct stat canonical;
  snprintf(name, sizeof name, "%s/%u:%u", deviceNames, major(st.st_rdev), minor(st.st_rdev));
  if (stat(name, &canonical) != 0 || canonical.st_rdev != st.st_rdev ||
      (canonical.st_dev == st.st_dev && canonical.st_ino == st.st_ino))
    return -1;
  int lock = open(name, O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (lock < 0)
    return errno == EBUSY ? -2 : -1;
  if (flock(lock, LOCK_EX | LOCK_NB) != 0) {
    close(lock);
    return -2;
  }
  return lock;
}

// A USB adapter holds what it received until its latency timer runs out
// (16 ms on FTDI chips), which caps a request and its answer at some 60 a
// second; the driver's low-latency mode runs the timer at 1 ms. Drivers
// that have no such mode refuse the request, which changes nothing.
// DORLESK_LOW_LATENCY=0 leaves the port as the system holds it. True when
// the flag was set here, so that close gives the port back as it was.
static bool lowerLatency(int fd) {
  const char *wanted = getenv("DORLESK_LOW_LATENCY");
  struct serial_struct serial;
  if ((wanted != nullptr && strcmp(wanted, "0") == 0) || ioctl(fd, TIOCGSERIAL, &serial) != 0 ||
      (serial.flags & ASYNC_LOW_LATENCY))
    return false;
  serial.flags |= ASYNC_LOW_LATENCY;
  return ioctl(fd, TIOCSSERIAL, &serial) == 0;
}

static void restoreLatency(int fd) {
  struct serial_struct serial;
  if (ioctl(fd, TIOCGSERIAL, &serial) == 0 && (serial.flags & ASYNC_LOW_LATENCY)) {
    serial.flags &= ~ASYNC_LOW_LATENCY;
    ioctl(fd, TIOCSSERIAL, &serial);
  }
}

// A program that ends without closing its ports (System.exit, or Ctrl-C and
// SIGTERM, which the JVM turns into an exit) still gives back the
// low-latency mode it took: a later open finds the flag set and cannot tell
// that it was ours. Runs at exit and when the library is unloaded.
__attribute__((destructor)) static void restoreLatencyAtExit() {
  eachPort([](OpenPort *port) {
    if (port->lowLatency)
      restoreLatency(port->fd);
  });
}

static HANDLE openDevice(const char *path, DWORD access) {
  int mode = (access & GENERIC_READ) && (access & GENERIC_WRITE) ? O_RDWR
             : (access & GENERIC_WRITE)                          ? O_WRONLY
                                                                 : O_RDONLY;
  int fd = open(path, mode | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  struct stat st;
  char url[PATH_MAX];
  bool ptsName = isPtsName(path);
  bool statted = fd >= 0 && !ptsName && fstat(fd, &st) == 0;
  // An entry that is a file holding a network port's URL, which this user
  // may also be unable to write; looked at only then, so that opening a
  // device costs nothing more.
  if ((fd < 0 && errno == EACCES) || (statted && S_ISREG(st.st_mode))) {
    int error = errno;
    if (networkUrl(path, url, sizeof url)) {
      if (fd >= 0)
        close(fd);
      return openNetwork(url);
    }
    errno = error;
  }
  if (fd < 0)
    return failWith(errorFromErrno(errno), -1);
  struct termios tio;
  if (!(statted || ptsName) || tcgetattr(fd, &tio) != 0)
    return failWith(ERROR_FILE_NOT_FOUND, fd); // not a serial device
  // flock holds against every other open description, root and this very
  // process included, and goes with the last descriptor even when the
  // process is killed. TIOCEXCL also keeps out other users' opens that do
  // not ask for the lock; on a pseudo-terminal it would outlive a killed
  // holder until the master closes, so there the lock alone decides.
  if (flock(fd, LOCK_EX | LOCK_NB) != 0)
    return failWith(ERROR_ACCESS_DENIED, fd);
  bool isPty = ptsName || isPseudoTerminal(st);
  int lockFd = isPty ? -1 : lockCanonicalNode(st); // refused before anything changes
  if (lockFd == -2)
    return failWith(ERROR_ACCESS_DENIED, fd);
  bool exclusive = !isPty && ioctl(fd, TIOCEXCL) == 0;
  struct termios before = tio;
  // Bytes pass unchanged, as through a Windows port, which has no line
  // discipline; the rate and frame stay as the system holds them until the
  // program sets its own.
  const tcflag_t frame = CSIZE | PARENB | PARODD | CMSPAR | CSTOPB;
  cfmakeraw(&tio);
  tio.c_cflag = (tio.c_cflag & ~frame) | (before.c_cflag & frame) | CLOCAL | CREAD;
  tio.c_cflag &= ~(tcflag_t)HUPCL; // closing must not drop DTR behind the user's back
  // With a non-blocking descriptor, VMIN 1 makes an empty read answer EAGAIN,
  // so that a read of 0 bytes can only mean the far end hung up.
  tio.c_cc[VMIN] = 1;
  tio.c_cc[VTIME] = 0;
  // A port left raw by its last user needs no set.
  if (memcmp(&tio, &before, sizeof tio) != 0 && ioctl(fd, TCSETS, &tio) != 0) {
    int error = errno;
    if (lockFd >= 0)
      close(lockFd);
    return failWith(errorFromErrno(error), fd);
  }
  OpenPort *port = newPort(fd, false);
  DWORD error = port == nullptr ? ERROR_NOT_ENOUGH_MEMORY : ERROR_SUCCESS;
  if (port != nullptr) {
    port->device = ptsName ? ptsDevice(path) : st.st_rdev;
    port->instance = isPty ? ptsInstance(ptsName, st) : 0;
    port->lockFd = lockFd;
    error = registerPort(port);
  }
  if (error != ERROR_SUCCESS) {
    freePort(port);
    if (lockFd >= 0)
      close(lockFd);
    return failWith(error, fd);
  }
  port->isPty = isPty;
  port->exclusive = exclusive;
  port->lowLatency = !isPty && lowerLatency(fd);
  port->line = tio;
  describeLine(fd, tio, &port->dcb);
  port->inQueue = port->outQueue = 4096;
  return handleOf(port);
}

HANDLE CreateFileA(LPCSTR fileName, DWORD access, DWORD, SECURITY_ATTRIBUTES *, DWORD creation,
                   DWORD, HANDLE) {
  char path[PATH_MAX];
  if (fileName == nullptr || creation != OPEN_EXISTING ||
      !resolvePortPath(fileName, path, sizeof path))
    return failWith(ERROR_FILE_NOT_FOUND, -1);
  if (access == 0)
    return probe(path);
  return isNetworkName(path) ? openNetwork(path) : openDevice(path, access);
}

BOOL CloseHandle(HANDLE h) {
  OpenPort *port = retire(h);
  if (port == nullptr) {
    setLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (port->exclusive)
    ioctl(port->fd, TIOCNXCL);
  if (port->lowLatency)
    restoreLatency(port->fd);
  if (port->wakeFd >= 0)
    close(port->wakeFd);
  if (port->lockFd >= 0)
    close(port->lockFd);
  if (port->net != nullptr)
    closeNetwork(port);
  // On a UART the kernel sends what is still queued before the close
  // returns (up to the port's closing_wait): bytes reported written arrive.
  close(port->fd);
  freePort(port);
  return TRUE;
}

// ---- settings: one call at a time per handle ----

BOOL SetupComm(HANDLE h, DWORD inQueue, DWORD outQueue) {
  Call call;
  if (!enter(h, useOther, &call))
    return FALSE;
  call.port->inQueue = inQueue;
  call.port->outQueue = outQueue;
  leave(call);
  return TRUE;
}

BOOL SetCommMask(HANDLE h, DWORD mask) {
  Call call;
  if (!enter(h, useOther, &call))
    return FALSE;
  call.port->eventMask = mask;
  leave(call);
  return TRUE;
}

BOOL GetCommState(HANDLE h, DCB *dcb) {
  Call call;
  if (!enter(h, useOther, &call))
    return FALSE;
  *dcb = call.port->dcb;
  leave(call);
  return TRUE;
}

BOOL SetCommState(HANDLE h, DCB *dcb) {
  Call call;
  if (!enter(h, useOther, &call))
    return FALSE;
  BOOL ok = FALSE;
  if (!validLine(dcb))
    setLastError(ERROR_INVALID_PARAMETER);
  else if (!(call.port->net != nullptr ? applyNetworkLine(call, dcb) : applyLine(call.port, dcb)))
    setLastError(ERROR_GEN_FAILURE);
  else
    ok = TRUE;
  if (ok)
    call.port->dcb = *dcb;
  leave(call);
  return ok;
}

BOOL SetCommTimeouts(HANDLE h, COMMTIMEOUTS *timeouts) {
  Call call;
  if (!enter(h, useOther, &call))
    return FALSE;
  storeTimeouts(call.port, timeouts);
  leave(call);
  return TRUE;
}

BOOL GetCommTimeouts(HANDLE h, COMMTIMEOUTS *timeouts) {
  Call call;
  if (!enter(h, useOther, &call))
    return FALSE;
  *timeouts = call.timeouts;
  leave(call);
  return TRUE;
}

// ---- transfer ----

// When a read is over, as Windows decides it from COMMTIMEOUTS.
struct ReadRule {
  bool returnAtOnce;     // take what is queued and return
  bool returnOnAnyByte;  // return as soon as one byte is there
  int64_t totalDeadline; // ns, or never
  int64_t intervalNs;    // longest gap between bytes, 0 for none
};

static ReadRule readRule(const COMMTIMEOUTS &t, DWORD count, int64_t start) {
  ReadRule rule = {false, false, never, 0};
  bool intervalMax = t.ReadIntervalTimeout == MAXDWORD;
  if (intervalMax && t.ReadTotalTimeoutMultiplier == 0 && t.ReadTotalTimeoutConstant == 0) {
    rule.returnAtOnce = true;
    return rule;
  }
  rule.returnOnAnyByte = intervalMax;
  uint64_t multiplier =
      t.ReadTotalTimeoutMultiplier == MAXDWORD && intervalMax ? 0 : t.ReadTotalTimeoutMultiplier;
  uint64_t totalMs = multiplier * count + t.ReadTotalTimeoutConstant;
  if (multiplier != 0 || t.ReadTotalTimeoutConstant != 0)
    rule.totalDeadline = start + (int64_t)totalMs * 1000000;
  if (!intervalMax)
    rule.intervalNs = (int64_t)t.ReadIntervalTimeout * 1000000;
  return rule;
}

BOOL ReadFile(HANDLE h, LPVOID buffer, DWORD toRead, DWORD *read_, OVERLAPPED *) {
  if (read_ != nullptr)
    *read_ = 0;
  // The time-out counts from the call, also while it waits for a read ahead
  // of it to finish: one whose time runs out in the queue has read nothing.
  int64_t start = nowNanos();
  Call call;
  if (!admit(h, useRead, &call))
    return FALSE;
  ReadRule rule = readRule(call.timeouts, toRead, start);
  WaitResult turn = takeTurn(&call, rule.returnAtOnce ? never : rule.totalDeadline);
  if (turn != ready)
    return turn == timedOut;
  char *bytes = (char *)buffer;
  DWORD got = 0;
  BOOL ok = TRUE;
  // A read that found nothing waiting last time (a request and its answer)
  // most likely finds nothing now: it goes to sleep without trying first.
  OpenPort *port = call.port;
  bool tryFirst = !port->readWaited || rule.returnAtOnce || hasPending(port);
  port->readWaited = false;
  while (got < toRead) {
    if (tryFirst) {
      ssize_t n = port->net != nullptr ? readNetwork(port, bytes + got, toRead - got)
                                       : read(port->fd, bytes + got, toRead - got);
      if (n > 0) {
        got += (DWORD)n;
        // A short read took all there was: wait for more rather than ask again.
        tryFirst = false;
        continue;
      }
      if (n < 0 && errno == EINTR)
        continue;
      if (n == 0 || errno == EIO)
        break; // the far end hung up: return what arrived
      if (errno != EAGAIN) {
        setLastError(ERROR_GEN_FAILURE);
        ok = FALSE;
        break;
      }
    }
    if (rule.returnAtOnce || (rule.returnOnAnyByte && got > 0))
      break;
    tryFirst = true;
    int64_t deadline = rule.totalDeadline;
    if (got > 0 && rule.intervalNs > 0) {
      int64_t intervalDeadline = nowNanos() + rule.intervalNs;
      if (intervalDeadline < deadline)
        deadline = intervalDeadline;
    }
    int64_t asleep = nowNanos();
    WaitResult w = waitFor(call, POLLIN, deadline);
    // Slept for the first byte, rather than finding it there at once.
    if (got == 0 && nowNanos() - asleep > 10000)
      port->readWaited = true;
    if (w == timedOut)
      break;
    if (w == aborted || w == failed) {
      setLastError(w == aborted ? ERROR_OPERATION_ABORTED : ERROR_GEN_FAILURE);
      ok = FALSE;
      break;
    }
  }
  leave(call);
  if (read_ != nullptr)
    *read_ = got;
  return ok;
}

BOOL WriteFile(HANDLE h, const void *buffer, DWORD toWrite, DWORD *written, OVERLAPPED *) {
  if (written != nullptr)
    *written = 0;
  Call call;
  if (!enter(h, useWrite, &call))
    return FALSE;
  const COMMTIMEOUTS &t = call.timeouts;
  int64_t deadline = never;
  if (t.WriteTotalTimeoutMultiplier != 0 || t.WriteTotalTimeoutConstant != 0)
    deadline =
        nowNanos() +
        ((int64_t)t.WriteTotalTimeoutMultiplier * toWrite + t.WriteTotalTimeoutConstant) * 1000000;
  const char *bytes = (const char *)buffer;
  DWORD done = 0;
  BOOL ok = TRUE;
  while (done < toWrite) {
    OpenPort *port = call.port;
    ssize_t n = port->net != nullptr ? writeNetwork(port, bytes + done, toWrite - done)
                                     : write(port->fd, bytes + done, toWrite - done);
    if (n > 0) {
      done += (DWORD)n;
      // A write that always finds room (a fast far end) ends on a close or
      // purge too, at its next piece rather than when it would next wait.
      if (done < toWrite && wasAborted(call)) {
        setLastError(ERROR_OPERATION_ABORTED);
        ok = FALSE;
        break;
      }
      continue;
    }
    if (n < 0 && errno == EINTR)
      continue;
    if (n < 0 && errno == EAGAIN) {
      WaitResult w = waitFor(call, POLLOUT, deadline);
      if (w == ready)
        continue;
      if (w == timedOut)
        break;
      setLastError(w == aborted ? ERROR_OPERATION_ABORTED : ERROR_GEN_FAILURE);
    } else {
      setLastError(ERROR_GEN_FAILURE);
    }
    ok = FALSE;
    break;
  }
  leave(call);
  if (written != nullptr)
    *written = done;
  return ok;
}

BOOL PurgeComm(HANDLE h, DWORD flags) {
  // No turn behind a setting: one waiting for a server's answer would hold
  // the purge, and with it the close that follows, for seconds.
  Call call;
  if (!admit(h, useOther, &call))
    return FALSE;
  if (flags & PURGE_TXABORT)
    abortSide(call.port, useWrite);
  if (flags & PURGE_RXABORT)
    abortSide(call.port, useRead);
  // Clearing the output discards nothing here: every byte the kernel still
  // holds was reported written by a WriteFile, as a Windows driver reports a
  // write only once it has sent it, and on a pseudo-terminal TCOFLUSH would
  // also throw away what the master has not yet read.
  if ((flags & PURGE_RXCLEAR) && call.port->net != nullptr)
    purgeNetworkInput(call);
  else if (flags & PURGE_RXCLEAR)
    tcflush(call.port->fd, TCIFLUSH);
  withdraw(call);
  return TRUE;
}
