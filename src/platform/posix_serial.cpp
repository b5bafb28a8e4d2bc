// The Windows serial calls on Linux termios, behaving as a serial driver
// does: exclusive opens, per-handle settings that read back as written,
// reads bounded by COMMTIMEOUTS, and purges and closes that wake a blocked
// call in another thread. A handle is the file descriptor.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <stdlib.h>
#include <string.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include "posix_internal.h"

static thread_local DWORD lastError = ERROR_SUCCESS;

void setLastError(DWORD error) { lastError = error; }

DWORD GetLastError(void) { return lastError; }

// What a driver keeps for an open handle beyond what termios can hold.
struct OpenPort {
  int fd;
  int wakeFd;   // eventfd that breaks a blocked poll; -1 for a probe
  bool isProbe; // from a probe (access 0): no device was opened
  DCB dcb;
  COMMTIMEOUTS timeouts;
  DWORD eventMask, inQueue, outQueue;
  int readers, writers, others; // calls under way on this handle
  int abortingRx, abortingTx;   // purges under way that abort one side
  bool closing;
};

enum Use { useRead, useWrite, useOther };

// The handle table, indexed by descriptor. Entries live until CloseHandle,
// which waits for every call under way to leave before the number is freed.
static pthread_mutex_t tableLock = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t tableChanged = PTHREAD_COND_INITIALIZER;
static OpenPort **table = nullptr;
static int tableSize = 0;

static bool registerPort(OpenPort *port) {
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

static int &counterFor(OpenPort *port, Use use) {
  return use == useRead ? port->readers : use == useWrite ? port->writers : port->others;
}

static bool isAborted(OpenPort *port, Use use) {
  return port->closing || (use == useRead && port->abortingRx > 0) ||
         (use == useWrite && port->abortingTx > 0);
}

// Admits a call on an open serial handle; calls on a side being purged wait
// until the purge is done, so they are not aborted by it.
static OpenPort *enter(HANDLE h, Use use) {
  pthread_mutex_lock(&tableLock);
  OpenPort *port = lookUp(h);
  while (port != nullptr && !port->isProbe && isAborted(port, use)) {
    pthread_cond_wait(&tableChanged, &tableLock);
    port = lookUp(h);
  }
  if (port == nullptr || port->isProbe) {
    pthread_mutex_unlock(&tableLock);
    setLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  counterFor(port, use)++;
  pthread_mutex_unlock(&tableLock);
  return port;
}

static void leave(OpenPort *port, Use use) {
  pthread_mutex_lock(&tableLock);
  counterFor(port, use)--;
  pthread_cond_broadcast(&tableChanged);
  pthread_mutex_unlock(&tableLock);
}

static void wake(OpenPort *port) {
  uint64_t one = 1;
  ssize_t ignored = write(port->wakeFd, &one, sizeof one);
  (void)ignored;
}

// Caller holds tableLock; the last purge out leaves the wake descriptor quiet.
static void drainWake(OpenPort *port) {
  if (port->abortingRx > 0 || port->abortingTx > 0 || port->closing)
    return;
  uint64_t count;
  ssize_t ignored = read(port->wakeFd, &count, sizeof count);
  (void)ignored;
}

// Called once the wake descriptor was found readable: true when the call
// must give up; otherwise it waits out the purge of the other side.
static bool abortedWhileWaiting(OpenPort *port, Use use) {
  pthread_mutex_lock(&tableLock);
  bool aborted = isAborted(port, use);
  while (!aborted && (port->abortingRx > 0 || port->abortingTx > 0)) {
    pthread_cond_wait(&tableChanged, &tableLock);
    aborted = isAborted(port, use);
  }
  if (!aborted)
    drainWake(port);
  pthread_mutex_unlock(&tableLock);
  return aborted;
}

// ---- time ----

static int64_t nowNanos() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (int64_t)ts.tv_sec * 1000000000 + ts.tv_nsec;
}

static const int64_t never = INT64_MAX;

enum WaitResult { ready, timedOut, aborted, failed };

// Waits until fd answers one of events, the deadline (monotonic ns) passes,
// or the handle is woken; never in slices, never spinning.
static WaitResult waitFor(OpenPort *port, Use use, short events, int64_t deadline) {
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
    struct pollfd fds[2] = {{port->fd, events, 0}, {port->wakeFd, POLLIN, 0}};
    int n = ppoll(fds, 2, timeout, nullptr);
    if (n < 0 && errno == EINTR)
      continue;
    if (n < 0 || (fds[0].revents & POLLNVAL))
      return failed;
    if ((fds[1].revents & POLLIN) && abortedWhileWaiting(port, use))
      return aborted;
    if (fds[0].revents != 0)
      return ready;
  }
}

// ---- open and close ----

static const char *const devicePrefix = "\\\\.\\";

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

static OpenPort *newPort(int fd, bool isProbe) {
  OpenPort *port = (OpenPort *)calloc(1, sizeof(OpenPort));
  if (port == nullptr)
    return nullptr;
  port->fd = fd;
  port->isProbe = isProbe;
  port->wakeFd = -1;
  return port;
}

// Existence without opening the device: opening a tty raises DTR and RTS,
// which resets boards that listen to them.
static HANDLE probe(const char *path) {
  int fd = open(path, O_PATH | O_CLOEXEC);
  if (fd < 0)
    return failWith(errorFromErrno(errno), -1);
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode) || isPhantomUart(fd))
    return failWith(ERROR_FILE_NOT_FOUND, fd);
  if (access(path, R_OK | W_OK) != 0)
    return failWith(ERROR_ACCESS_DENIED, fd);
  OpenPort *port = newPort(fd, true);
  if (port == nullptr || !registerPort(port)) {
    free(port);
    return failWith(ERROR_NOT_ENOUGH_MEMORY, fd);
  }
  return (HANDLE)(intptr_t)fd;
}

static const struct {
  speed_t code;
  DWORD rate;
} standardRates[] = {
    {B50, 50},           {B75, 75},           {B110, 110},         {B134, 134},
    {B150, 150},         {B200, 200},         {B300, 300},         {B600, 600},
    {B1200, 1200},       {B1800, 1800},       {B2400, 2400},       {B4800, 4800},
    {B9600, 9600},       {B19200, 19200},     {B38400, 38400},     {B57600, 57600},
    {B115200, 115200},   {B230400, 230400},   {B460800, 460800},   {B500000, 500000},
    {B576000, 576000},   {B921600, 921600},   {B1000000, 1000000}, {B1152000, 1152000},
    {B1500000, 1500000}, {B2000000, 2000000}, {B2500000, 2500000}, {B3000000, 3000000},
    {B3500000, 3500000}, {B4000000, 4000000},
};

static bool speedCode(DWORD rate, speed_t *code) {
  for (const auto &row : standardRates)
    if (row.rate == rate) {
      *code = row.code;
      return true;
    }
  return false;
}

static DWORD rateOf(int fd, const struct termios &tio) {
  speed_t code = cfgetospeed(&tio);
  for (const auto &row : standardRates)
    if (row.code == code)
      return row.rate;
  unsigned rate = 0;
  return getCustomRate(fd, &rate) ? rate : 0;
}

// The record a fresh handle answers: what the line is set to now, and the
// modem lines on, as the open has just raised them.
static void describeLine(int fd, const struct termios &tio, DCB *dcb) {
  memset(dcb, 0, sizeof *dcb);
  dcb->DCBlength = sizeof *dcb;
  dcb->BaudRate = rateOf(fd, tio);
  dcb->fBinary = 1;
  dcb->fOutxCtsFlow = (tio.c_cflag & CRTSCTS) != 0;
  dcb->fDtrControl = DTR_CONTROL_ENABLE;
  dcb->fRtsControl = (tio.c_cflag & CRTSCTS) ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_ENABLE;
  dcb->fOutX = (tio.c_iflag & IXON) != 0;
  dcb->fInX = (tio.c_iflag & IXOFF) != 0;
  dcb->fTXContinueOnXoff = 1;
  dcb->XonLim = 2048;
  dcb->XoffLim = 512;
  switch (tio.c_cflag & CSIZE) {
  case CS5:
    dcb->ByteSize = 5;
    break;
  case CS6:
    dcb->ByteSize = 6;
    break;
  case CS7:
    dcb->ByteSize = 7;
    break;
  default:
    dcb->ByteSize = 8;
  }
  if (!(tio.c_cflag & PARENB))
    dcb->Parity = NOPARITY;
  else if (tio.c_cflag & CMSPAR)
    dcb->Parity = (tio.c_cflag & PARODD) ? MARKPARITY : SPACEPARITY;
  else
    dcb->Parity = (tio.c_cflag & PARODD) ? ODDPARITY : EVENPARITY;
  dcb->StopBits = (tio.c_cflag & CSTOPB) ? TWOSTOPBITS : ONESTOPBIT;
  dcb->XonChar = (char)tio.c_cc[VSTART];
  dcb->XoffChar = (char)tio.c_cc[VSTOP];
}

static HANDLE openDevice(const char *path, DWORD access) {
  int mode = (access & GENERIC_READ) && (access & GENERIC_WRITE) ? O_RDWR
             : (access & GENERIC_WRITE)                          ? O_WRONLY
                                                                 : O_RDONLY;
  int fd = open(path, mode | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0)
    return failWith(errorFromErrno(errno), -1);
  struct termios tio;
  if (tcgetattr(fd, &tio) != 0)
    return failWith(ERROR_FILE_NOT_FOUND, fd); // not a serial device
  // flock holds against every other open description, root and this very
  // process included; TIOCEXCL only keeps out other users' opens.
  if (flock(fd, LOCK_EX | LOCK_NB) != 0)
    return failWith(ERROR_ACCESS_DENIED, fd);
  ioctl(fd, TIOCEXCL);
  cfmakeraw(&tio);
  tio.c_cflag |= CLOCAL | CREAD;
  tio.c_cflag &= ~(tcflag_t)HUPCL; // closing must not drop DTR behind the user's back
  // With a non-blocking descriptor, VMIN 1 makes an empty read answer EAGAIN,
  // so that a read of 0 bytes can only mean the far end hung up.
  tio.c_cc[VMIN] = 1;
  tio.c_cc[VTIME] = 0;
  if (tcsetattr(fd, TCSANOW, &tio) != 0)
    return failWith(errorFromErrno(errno), fd);
  OpenPort *port = newPort(fd, false);
  if (port == nullptr)
    return failWith(ERROR_NOT_ENOUGH_MEMORY, fd);
  port->wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (port->wakeFd < 0 || !registerPort(port)) {
    if (port->wakeFd >= 0)
      close(port->wakeFd);
    free(port);
    return failWith(ERROR_NOT_ENOUGH_MEMORY, fd);
  }
  describeLine(fd, tio, &port->dcb);
  port->inQueue = port->outQueue = 4096;
  return (HANDLE)(intptr_t)fd;
}

HANDLE CreateFileA(LPCSTR fileName, DWORD access, DWORD, SECURITY_ATTRIBUTES *, DWORD creation,
                   DWORD, HANDLE) {
  char path[4096];
  if (fileName == nullptr || strncmp(fileName, devicePrefix, 4) != 0 || creation != OPEN_EXISTING ||
      !resolvePortPath(fileName, path, sizeof path))
    return failWith(ERROR_FILE_NOT_FOUND, -1);
  return access == 0 ? probe(path) : openDevice(path, access);
}

BOOL CloseHandle(HANDLE h) {
  pthread_mutex_lock(&tableLock);
  OpenPort *port = lookUp(h);
  if (port == nullptr) {
    pthread_mutex_unlock(&tableLock);
    setLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  port->closing = true;
  if (!port->isProbe)
    wake(port);
  // The descriptor stays open, so its number cannot be handed to a new open,
  // until every call still running on it has left.
  while (port->readers + port->writers + port->others > 0)
    pthread_cond_wait(&tableChanged, &tableLock);
  table[port->fd] = nullptr;
  pthread_cond_broadcast(&tableChanged);
  pthread_mutex_unlock(&tableLock);
  if (!port->isProbe) {
    ioctl(port->fd, TIOCNXCL);
    close(port->wakeFd);
  }
  close(port->fd);
  free(port);
  return TRUE;
}

// ---- settings ----

BOOL SetupComm(HANDLE h, DWORD inQueue, DWORD outQueue) {
  OpenPort *port = enter(h, useOther);
  if (port == nullptr)
    return FALSE;
  port->inQueue = inQueue;
  port->outQueue = outQueue;
  leave(port, useOther);
  return TRUE;
}

BOOL SetCommMask(HANDLE h, DWORD mask) {
  OpenPort *port = enter(h, useOther);
  if (port == nullptr)
    return FALSE;
  port->eventMask = mask;
  leave(port, useOther);
  return TRUE;
}

BOOL GetCommState(HANDLE h, DCB *dcb) {
  OpenPort *port = enter(h, useOther);
  if (port == nullptr)
    return FALSE;
  pthread_mutex_lock(&tableLock);
  *dcb = port->dcb;
  pthread_mutex_unlock(&tableLock);
  leave(port, useOther);
  return TRUE;
}

static bool validLine(const DCB *dcb) {
  return dcb->ByteSize >= 5 && dcb->ByteSize <= 8 && dcb->Parity <= SPACEPARITY &&
         (dcb->StopBits == ONESTOPBIT || dcb->StopBits == TWOSTOPBITS) && dcb->BaudRate != 0;
}

static void setModemLine(int fd, int line, bool on) {
  // A device without modem lines (a pseudo-terminal) answers ENOTTY or
  // EINVAL; that is no reason to refuse the settings.
  ioctl(fd, on ? TIOCMBIS : TIOCMBIC, &line);
}

static bool isPseudoTerminal(int fd) {
  struct stat st;
  // Pseudo-terminal slaves have majors 136 to 143.
  return fstat(fd, &st) == 0 && S_ISCHR(st.st_mode) && major(st.st_rdev) >= 136 &&
         major(st.st_rdev) <= 143;
}

// Applies the record to the device; only lines whose state changes from the
// previous record are switched.
static bool applyLine(int fd, const DCB *dcb, const DCB *previous) {
  struct termios before, tio;
  if (tcgetattr(fd, &before) != 0)
    return false;
  tio = before;
  static const tcflag_t sizes[] = {CS5, CS6, CS7, CS8};
  tio.c_cflag &= ~(tcflag_t)(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
  tio.c_cflag |= sizes[dcb->ByteSize - 5];
  switch (dcb->Parity) {
  case ODDPARITY:
    tio.c_cflag |= PARENB | PARODD;
    break;
  case EVENPARITY:
    tio.c_cflag |= PARENB;
    break;
  case MARKPARITY:
    tio.c_cflag |= PARENB | CMSPAR | PARODD;
    break;
  case SPACEPARITY:
    tio.c_cflag |= PARENB | CMSPAR;
    break;
  }
  if (dcb->StopBits == TWOSTOPBITS)
    tio.c_cflag |= CSTOPB;
  if (dcb->fOutxCtsFlow || dcb->fRtsControl == RTS_CONTROL_HANDSHAKE)
    tio.c_cflag |= CRTSCTS;
  // Bytes with parity errors are delivered as received, as Windows does with
  // error replacement off: INPCK would turn them into NULs.
  tio.c_iflag &= ~(tcflag_t)(IXON | IXOFF | INPCK | IGNPAR | PARMRK);
  if (dcb->fOutX)
    tio.c_iflag |= IXON;
  if (dcb->fInX)
    tio.c_iflag |= IXOFF;
  if (dcb->fOutX || dcb->fInX) {
    tio.c_cc[VSTART] = (cc_t)dcb->XonChar;
    tio.c_cc[VSTOP] = (cc_t)dcb->XoffChar;
  }
  speed_t code;
  bool standard = speedCode(dcb->BaudRate, &code);
  if (standard)
    cfsetspeed(&tio, code);
  // A pseudo-terminal carries whole bytes with no framing: the kernel keeps
  // the rest of the settings and the C library reports the frame it dropped as
  // EINVAL. The frame lives on in the handle's record, as a driver keeps it.
  if (tcsetattr(fd, TCSANOW, &tio) != 0 && !(errno == EINVAL && isPseudoTerminal(fd)))
    return false;
  if (!standard && !setCustomRate(fd, dcb->BaudRate)) {
    tcsetattr(fd, TCSANOW, &before);
    return false;
  }
  bool dtr = dcb->fDtrControl != DTR_CONTROL_DISABLE;
  bool rts = dcb->fRtsControl != RTS_CONTROL_DISABLE;
  if (dtr != (previous->fDtrControl != DTR_CONTROL_DISABLE))
    setModemLine(fd, TIOCM_DTR, dtr);
  if (rts != (previous->fRtsControl != RTS_CONTROL_DISABLE))
    setModemLine(fd, TIOCM_RTS, rts);
  return true;
}

BOOL SetCommState(HANDLE h, DCB *dcb) {
  OpenPort *port = enter(h, useOther);
  if (port == nullptr)
    return FALSE;
  BOOL ok = FALSE;
  pthread_mutex_lock(&tableLock);
  DCB previous = port->dcb;
  pthread_mutex_unlock(&tableLock);
  if (!validLine(dcb))
    setLastError(ERROR_INVALID_PARAMETER);
  else if (!applyLine(port->fd, dcb, &previous))
    setLastError(ERROR_GEN_FAILURE);
  else
    ok = TRUE;
  if (ok) {
    pthread_mutex_lock(&tableLock);
    port->dcb = *dcb;
    pthread_mutex_unlock(&tableLock);
  }
  leave(port, useOther);
  return ok;
}

BOOL SetCommTimeouts(HANDLE h, COMMTIMEOUTS *timeouts) {
  OpenPort *port = enter(h, useOther);
  if (port == nullptr)
    return FALSE;
  pthread_mutex_lock(&tableLock);
  port->timeouts = *timeouts;
  pthread_mutex_unlock(&tableLock);
  leave(port, useOther);
  return TRUE;
}

BOOL GetCommTimeouts(HANDLE h, COMMTIMEOUTS *timeouts) {
  OpenPort *port = enter(h, useOther);
  if (port == nullptr)
    return FALSE;
  pthread_mutex_lock(&tableLock);
  *timeouts = port->timeouts;
  pthread_mutex_unlock(&tableLock);
  leave(port, useOther);
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
  OpenPort *port = enter(h, useRead);
  if (port == nullptr)
    return FALSE;
  pthread_mutex_lock(&tableLock);
  COMMTIMEOUTS timeouts = port->timeouts;
  pthread_mutex_unlock(&tableLock);
  ReadRule rule = readRule(timeouts, toRead, nowNanos());
  char *bytes = (char *)buffer;
  DWORD got = 0;
  BOOL ok = TRUE;
  while (got < toRead) {
    ssize_t n = read(port->fd, bytes + got, toRead - got);
    if (n > 0) {
      got += (DWORD)n;
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
    if (rule.returnAtOnce || (rule.returnOnAnyByte && got > 0))
      break;
    int64_t deadline = rule.totalDeadline;
    if (got > 0 && rule.intervalNs > 0) {
      int64_t intervalDeadline = nowNanos() + rule.intervalNs;
      if (intervalDeadline < deadline)
        deadline = intervalDeadline;
    }
    WaitResult w = waitFor(port, useRead, POLLIN, deadline);
    if (w == timedOut)
      break;
    if (w == aborted || w == failed) {
      setLastError(w == aborted ? ERROR_OPERATION_ABORTED : ERROR_GEN_FAILURE);
      ok = FALSE;
      break;
    }
  }
  leave(port, useRead);
  if (read_ != nullptr)
    *read_ = got;
  return ok;
}

BOOL WriteFile(HANDLE h, const void *buffer, DWORD toWrite, DWORD *written, OVERLAPPED *) {
  if (written != nullptr)
    *written = 0;
  OpenPort *port = enter(h, useWrite);
  if (port == nullptr)
    return FALSE;
  pthread_mutex_lock(&tableLock);
  COMMTIMEOUTS t = port->timeouts;
  pthread_mutex_unlock(&tableLock);
  int64_t deadline = never;
  if (t.WriteTotalTimeoutMultiplier != 0 || t.WriteTotalTimeoutConstant != 0)
    deadline =
        nowNanos() +
        ((int64_t)t.WriteTotalTimeoutMultiplier * toWrite + t.WriteTotalTimeoutConstant) * 1000000;
  const char *bytes = (const char *)buffer;
  DWORD done = 0;
  BOOL ok = TRUE;
  while (done < toWrite) {
    ssize_t n = write(port->fd, bytes + done, toWrite - done);
    if (n > 0) {
      done += (DWORD)n;
      continue;
    }
    if (n < 0 && errno == EINTR)
      continue;
    if (n < 0 && errno == EAGAIN) {
      WaitResult w = waitFor(port, useWrite, POLLOUT, deadline);
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
  leave(port, useWrite);
  if (written != nullptr)
    *written = done;
  return ok;
}

BOOL PurgeComm(HANDLE h, DWORD flags) {
  OpenPort *port = enter(h, useOther);
  if (port == nullptr)
    return FALSE;
  bool rx = flags & PURGE_RXABORT, tx = flags & PURGE_TXABORT;
  if (rx || tx) {
    pthread_mutex_lock(&tableLock);
    port->abortingRx += rx;
    port->abortingTx += tx;
    wake(port);
    while ((rx && port->readers > 0) || (tx && port->writers > 0))
      pthread_cond_wait(&tableChanged, &tableLock);
    port->abortingRx -= rx;
    port->abortingTx -= tx;
    drainWake(port);
    pthread_cond_broadcast(&tableChanged);
    pthread_mutex_unlock(&tableLock);
  }
  if (flags & PURGE_TXCLEAR)
    tcflush(port->fd, TCOFLUSH);
  if (flags & PURGE_RXCLEAR)
    tcflush(port->fd, TCIFLUSH);
  leave(port, useOther);
  return TRUE;
}
