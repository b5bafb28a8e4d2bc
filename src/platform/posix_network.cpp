// A serial port on a terminal server, reached over TCP with the Telnet COM
// Port Control Option. The handle is the socket: reads and writes follow the
// same turns, time-outs, purges and hang-up rules as on a local port, and the
// line settings travel as commands that wait for the server's answer. What
// the server sends is untrusted: no sequence of bytes may crash the caller,
// grow memory beyond the port's fixed buffer, or hold a call past its bound.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <linux/sockios.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "posix_internal.h"

// Connecting and negotiating together; a settings command's answer; the
// wait for the server to take what was written before a close.
static const int64_t openNs = 5000000000, answerNs = 3000000000, closeNs = 2000000000;
// A server whose device has no modem lines (a pseudo-terminal) may leave
// DTR and RTS unanswered: after this long the call succeeds, as a local
// port without modem lines does.
static const int64_t modemAnswerNs = 500000000;
// The most characters a server's device may hold unsent: a UART's or USB
// adapter's queue (4 KiB), or a pseudo-terminal's (20 KiB).
static const int64_t deviceQueue = 24576;
// A close waits for the line at most this long, as a UART's closing_wait
// bounds its close; and a rate the server reports, untrusted, is timed as
// no slower than this.
static const int64_t closingWaitNs = 30000000000;
static const DWORD slowestTimedRate = 300;

// The COM Port Control commands used here; the server answers code + 100.
enum ComPortCode : unsigned char {
  setBaudRate = 1,
  setDataSize,
  setParity,
  setStopSize,
  setControl
};
static const unsigned char purgeData = 12, answerOffset = 100;
static const int codeCount = setControl + 1;

struct NetPort {
  TelnetDecoder decoder;
  // Negotiation as the server has agreed to it.
  bool serverDoesBinary, serverTakesBinary, serverTakesComPort, refused;
  // The last answer to each settings command; guarded by the table's lock,
  // since the reader that receives it need not be the call that waits.
  bool answered[codeCount];
  unsigned char answer[codeCount][4];
  // Data received while a settings call waited for its answer, for the next
  // read; fixed in size, so a server that floods is read no further.
  unsigned char pending[16384];
  size_t pendingStart, pendingEnd;
  // One sender at a time, so that a command never splits a doubled IAC; a
  // write cut after the first IAC of a pair owes the second.
  pthread_mutex_t sendLock;
  bool owedIac;
  // While the open negotiates: the options declined so far (once each, for
  // WILL and for DO), and the refusals still to send.
  bool negotiating;
  unsigned char declined[2][32];
  unsigned char replies[48];
  size_t replyLength;
  // When the line would be done sending all that was written, at the time
  // one character takes at the rate last agreed, and since when it has been
  // busy without a pause (guarded by sendLock): what a close waits for
  // before the server may close the device.
  int64_t lineFree, charNs, busySince;
  bool wrote;
};

// One character at the line's rate: start bit, data, parity, stop bits.
static int64_t characterTime(const DCB &dcb) {
  int64_t bits =
      1 + dcb.ByteSize + (dcb.Parity != NOPARITY) + (dcb.StopBits == TWOSTOPBITS ? 2 : 1);
  return bits * 1000000000 /
         (dcb.BaudRate == 0                 ? 9600
          : dcb.BaudRate > slowestTimedRate ? dcb.BaudRate
                                            : slowestTimedRate);
}

// HOST:PORT after the scheme; HOST may be [IPv6].
static bool splitUrl(const char *url, char *host, size_t hostSize, char *service) {
  const char *rest = url + strlen("rfc2217://"), *colon;
  size_t hostLength;
  if (*rest == '[') {
    const char *close = strchr(rest, ']');
    if (close == nullptr || close[1] != ':')
      return false;
    rest++;
    hostLength = (size_t)(close - rest);
    colon = close + 1;
  } else {
    colon = strrchr(rest, ':');
    if (colon == nullptr || memchr(rest, ':', (size_t)(colon - rest)) != nullptr)
      return false;
    hostLength = (size_t)(colon - rest);
  }
  const char *digits = colon + 1;
  size_t count = strspn(digits, "0123456789");
  if (hostLength == 0 || hostLength >= hostSize || count == 0 || count > 5 ||
      digits[count] != '\0' || atoi(digits) < 1 || atoi(digits) > 65535)
    return false;
  memcpy(host, rest, hostLength);
  host[hostLength] = '\0';
  memcpy(service, digits, count + 1);
  return true;
}

// A name lookup that the open can stop waiting for: the resolver has no
// deadline of its own (its time-outs times its name servers can make 30 s),
// so it runs in a thread of its own, and whichever of the two ends last
// frees what they share.
struct Lookup {
  pthread_mutex_t lock;
  pthread_cond_t done;
  bool finished;
  int holders, status;
  char host[256], service[6];
  struct addrinfo *list;
};

static void letGo(Lookup *l) {
  pthread_mutex_lock(&l->lock);
  bool last = --l->holders == 0;
  pthread_mutex_unlock(&l->lock);
  if (!last)
    return;
  if (l->list != nullptr)
    freeaddrinfo(l->list);
  pthread_cond_destroy(&l->done);
  pthread_mutex_destroy(&l->lock);
  free(l);
}

static void *resolve(void *arg) {
  Lookup *l = (Lookup *)arg;
  struct addrinfo hints = {}, *list = nullptr;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV;
  int status = getaddrinfo(l->host, l->service, &hints, &list);
  pthread_mutex_lock(&l->lock);
  l->status = status;
  l->list = status == 0 ? list : nullptr;
  l->finished = true;
  pthread_cond_signal(&l->done);
  pthread_mutex_unlock(&l->lock);
  letGo(l);
  return nullptr;
}

// An address needs no resolver; a name is looked up by the deadline, or the
// open fails with ERROR_SEM_TIMEOUT. The caller frees *list.
static DWORD lookUpHost(const char *host, const char *service, int64_t deadline,
                        struct addrinfo **list) {
  struct addrinfo hints = {};
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV | AI_NUMERICHOST;
  if (getaddrinfo(host, service, &hints, list) == 0)
    return ERROR_SUCCESS;
  Lookup *l = (Lookup *)calloc(1, sizeof(Lookup));
  if (l == nullptr)
    return ERROR_NOT_ENOUGH_MEMORY;
  pthread_mutex_init(&l->lock, nullptr);
  initMonotonic(&l->done);
  snprintf(l->host, sizeof l->host, "%s", host);
  snprintf(l->service, sizeof l->service, "%s", service);
  l->holders = 2;
  pthread_attr_t detached;
  pthread_attr_init(&detached);
  pthread_attr_setdetachstate(&detached, PTHREAD_CREATE_DETACHED);
  pthread_t thread;
  bool started = pthread_create(&thread, &detached, resolve, l) == 0;
  pthread_attr_destroy(&detached);
  if (!started) {
    l->holders = 1;
    letGo(l);
    return ERROR_NOT_ENOUGH_MEMORY;
  }
  struct timespec until = {(time_t)(deadline / 1000000000), (long)(deadline % 1000000000)};
  pthread_mutex_lock(&l->lock);
  while (!l->finished && pthread_cond_timedwait(&l->done, &l->lock, &until) != ETIMEDOUT) {
  }
  DWORD error = !l->finished     ? ERROR_SEM_TIMEOUT
                : l->status == 0 ? ERROR_SUCCESS
                                 : ERROR_FILE_NOT_FOUND;
  if (l->finished) {
    *list = l->list;
    l->list = nullptr;
  }
  pthread_mutex_unlock(&l->lock);
  letGo(l);
  return error;
}

static DWORD connectTo(const char *url, int64_t deadline, int *result) {
  char host[256], service[6];
  if (!splitUrl(url, host, sizeof host, service))
    return ERROR_FILE_NOT_FOUND;
  struct addrinfo *list = nullptr;
  DWORD error = lookUpHost(host, service, deadline, &list);
  if (error != ERROR_SUCCESS)
    return error;
  error = ERROR_FILE_NOT_FOUND;
  for (struct addrinfo *a = list; a != nullptr && *result < 0; a = a->ai_next) {
    int fd = socket(a->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
      continue;
    int connected = connect(fd, a->ai_addr, a->ai_addrlen);
    if (connected != 0 && errno == EINPROGRESS) {
      struct pollfd p = {fd, POLLOUT, 0};
      int64_t left = deadline - nowNanos();
      int soError = ETIMEDOUT;
      socklen_t length = sizeof soError;
      if (left > 0 && poll(&p, 1, (int)(left / 1000000) + 1) == 1)
        getsockopt(fd, SOL_SOCKET, SO_ERROR, &soError, &length);
      connected = soError == 0 ? 0 : -1;
      errno = soError;
    }
    if (connected == 0) {
      int one = 1; // a request and its answer go out at once
      setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      // A network that goes silent is a hang-up within some 11 s: probes
      // after 5 s of quiet, and unacknowledged data given up after 10 s.
      int idle = 5, interval = 2, probes = 3, unacknowledgedMs = 10000;
      setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &one, sizeof one);
      setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
      setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
      setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &probes, sizeof probes);
      setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &unacknowledgedMs, sizeof unacknowledgedMs);
      *result = fd;
    } else {
      error = errno == ETIMEDOUT ? ERROR_SEM_TIMEOUT : ERROR_FILE_NOT_FOUND;
      close(fd);
    }
  }
  freeaddrinfo(list);
  return *result >= 0 ? ERROR_SUCCESS : error;
}

// ---- what the server says ----

// DONT for an offer (WILL) of another option, WONT for a request (DO).
static void decline(NetPort *net, bool request, unsigned char option) {
  unsigned char bit = (unsigned char)(1u << (option & 7));
  if ((net->declined[request][option >> 3] & bit) || net->replyLength + 3 > sizeof net->replies)
    return;
  net->declined[request][option >> 3] |= bit;
  unsigned char *reply = net->replies + net->replyLength;
  reply[0] = telnetIAC;
  reply[1] = request ? telnetWONT : telnetDONT;
  reply[2] = option;
  net->replyLength += 3;
}

static void onCommand(void *context, const TelnetCommand &c) {
  OpenPort *port = (OpenPort *)context;
  NetPort *net = port->net;
  if (c.verb == telnetSB) {
    unsigned code = c.bodyLength > 0 ? c.body[0] : 0;
    if (c.option != telnetComPort || code <= answerOffset || code - answerOffset >= codeCount)
      return; // notifications and anything unknown change nothing here
    code -= answerOffset;
    size_t length = c.bodyLength - 1 < 4 ? c.bodyLength - 1 : 4;
    lockTable();
    memset(net->answer[code], 0, 4);
    memcpy(net->answer[code], c.body + 1, length);
    net->answered[code] = true;
    answersArrived(port);
    unlockTable();
    return;
  }
  bool agrees = c.verb == telnetWILL || c.verb == telnetDO;
  if (c.option == telnetBinary && c.verb == telnetWILL)
    net->serverDoesBinary = true;
  else if (c.option == telnetBinary && c.verb == telnetDO)
    net->serverTakesBinary = true;
  else if (c.option == telnetComPort && c.verb == telnetDO)
    net->serverTakesComPort = true;
  else if (!agrees && (c.option == telnetBinary || c.option == telnetComPort))
    net->refused = true;
  else if (agrees && net->negotiating)
    decline(net, c.verb == telnetDO, c.option);
  // After the open, other offers are left unanswered: nothing is sent from a
  // read, where it could cut into a write.
}

// Receives what the socket holds and decodes it into data; commands go to
// onCommand. Like read(2): the data count, 0 at the end of the stream, -1
// with errno: EAGAIN when nothing is there, EINTR when only commands were,
// which the caller may be waiting for.
static ssize_t receive(OpenPort *port, unsigned char *data, size_t room) {
  ssize_t n = recv(port->fd, data, room, MSG_DONTWAIT);
  if (n <= 0)
    return n;
  // Decoding never writes ahead of what it reads, so it works in place.
  size_t got = telnetDecode(&port->net->decoder, data, (size_t)n, data, onCommand, port);
  if (got == 0)
    errno = EINTR;
  return got > 0 ? (ssize_t)got : -1;
}

ssize_t readNetwork(OpenPort *port, void *buffer, size_t room) {
  NetPort *net = port->net;
  size_t queued = net->pendingEnd - net->pendingStart;
  if (queued > 0) {
    size_t n = queued < room ? queued : room;
    memcpy(buffer, net->pending + net->pendingStart, n);
    net->pendingStart += n;
    return (ssize_t)n;
  }
  ssize_t n = receive(port, (unsigned char *)buffer, room);
  // Only commands: the read waits on under its own deadline, also when a
  // server sends nothing else.
  if (n < 0 && errno == EINTR)
    errno = EAGAIN;
  else if (n < 0 && errno != EAGAIN)
    errno = EIO; // the server or the network went away: a hang-up
  return n;
}

bool hasPending(const OpenPort *port) {
  return port->net != nullptr && port->net->pendingEnd > port->net->pendingStart;
}

// ---- what is sent to it ----

// Sends all of bytes by the deadline, or fails. A call waits for room so
// that a close (and, for a transfer, a purge) ends the wait; without one
// (opening and closing, which no other call shares) it polls plainly.
static bool sendAll(int fd, const unsigned char *bytes, size_t n, int64_t deadline,
                    const Call *call = nullptr) {
  while (n > 0) {
    ssize_t sent = send(fd, bytes, n, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent > 0) {
      bytes += sent;
      n -= (size_t)sent;
      continue;
    }
    if (sent < 0 && errno == EINTR)
      continue;
    int64_t left = deadline - nowNanos();
    if (sent == 0 || errno != EAGAIN || left <= 0)
      return false;
    struct pollfd p = {fd, POLLOUT, 0};
    bool room = call != nullptr ? waitFor(*call, POLLOUT, deadline) == ready
                                : poll(&p, 1, (int)(left / 1000000) + 1) >= 0;
    if (!room)
      return false;
  }
  return true;
}

static bool sendCommands(const Call &call, const unsigned char *bytes, size_t n, int64_t deadline) {
  OpenPort *port = call.port;
  NetPort *net = port->net;
  struct timespec until = {(time_t)(deadline / 1000000000), (long)(deadline % 1000000000)};
  if (pthread_mutex_clocklock(&net->sendLock, CLOCK_MONOTONIC, &until) != 0)
    return false;
  static const unsigned char iac = telnetIAC;
  bool ok = !net->owedIac || sendAll(port->fd, &iac, 1, deadline, &call);
  if (ok) {
    net->owedIac = false;
    ok = sendAll(port->fd, bytes, n, deadline, &call);
  }
  pthread_mutex_unlock(&net->sendLock);
  return ok;
}

ssize_t writeNetwork(OpenPort *port, const void *buffer, size_t n) {
  NetPort *net = port->net;
  const unsigned char *in = (const unsigned char *)buffer;
  static const unsigned char iac = telnetIAC;
  unsigned char escaped[8192];
  size_t take = n < sizeof escaped / 2 ? n : sizeof escaped / 2;
  size_t length = telnetEscape(in, take, escaped);
  pthread_mutex_lock(&net->sendLock);
  ssize_t sent = -1;
  if (!net->owedIac || send(port->fd, &iac, 1, MSG_NOSIGNAL | MSG_DONTWAIT) == 1) {
    net->owedIac = false;
    sent = send(port->fd, escaped, length, MSG_NOSIGNAL | MSG_DONTWAIT);
  }
  int error = errno;
  int64_t now = nowNanos();
  // The data bytes the sent part carries; a byte whose doubling was cut in
  // two is taken, and its second IAC owed to whatever is sent next.
  size_t raw = 0;
  for (size_t e = 0; sent > 0 && e < (size_t)sent; raw++) {
    e += in[raw] == telnetIAC ? 2 : 1;
    net->owedIac = e > (size_t)sent;
  }
  if (raw > 0) {
    if (net->lineFree <= now)
      net->busySince = now;
    net->lineFree = (net->lineFree > now ? net->lineFree : now) + (int64_t)raw * net->charNs;
    net->wrote = true;
  }
  pthread_mutex_unlock(&net->sendLock);
  if (sent > 0)
    return (ssize_t)raw;
  errno = error == EPIPE || error == ECONNRESET ? EIO : error;
  return -1;
}

// ---- opening ----

static void freeNet(NetPort *net) {
  if (net == nullptr)
    return;
  pthread_mutex_destroy(&net->sendLock);
  free(net);
}

// Reads and decodes until the server has agreed to everything asked and
// answered each code in wanted, by the deadline. Used while no call can
// share the handle. Data that arrives early is kept for the first read.
static DWORD negotiate(OpenPort *port, unsigned wanted, int64_t deadline) {
  NetPort *net = port->net;
  for (;;) {
    if (net->replyLength > 0 && !sendAll(port->fd, net->replies, net->replyLength, deadline))
      return ERROR_ACCESS_DENIED;
    net->replyLength = 0;
    if (net->refused)
      return ERROR_NOT_SUPPORTED;
    if (nowNanos() >= deadline)
      return ERROR_SEM_TIMEOUT; // also for a server that never stops talking
    bool done = net->serverDoesBinary && net->serverTakesBinary && net->serverTakesComPort;
    for (int code = 1; code < codeCount; code++)
      done = done && (!(wanted & (1u << code)) || net->answered[code]);
    if (done)
      return ERROR_SUCCESS;
    size_t room = sizeof net->pending - net->pendingEnd;
    ssize_t n = room == 0 ? -1 : receive(port, net->pending + net->pendingEnd, room);
    if (n > 0) {
      net->pendingEnd += (size_t)n;
      continue;
    }
    if (n < 0 && errno == EINTR)
      continue;
    if (n == 0 || errno != EAGAIN)
      return ERROR_ACCESS_DENIED; // closed at once: ser2net's answer for a port in use
    int64_t left = deadline - nowNanos();
    struct pollfd p = {port->fd, POLLIN, 0};
    if (room == 0 || left <= 0 || poll(&p, 1, (int)(left / 1000000) + 1) < 0)
      return ERROR_SEM_TIMEOUT;
  }
}

static void dcbFromAnswers(const NetPort *net, DCB *dcb) {
  static const BYTE parities[] = {NOPARITY,   NOPARITY,   ODDPARITY,
                                  EVENPARITY, MARKPARITY, SPACEPARITY};
  const unsigned char *rate = net->answer[setBaudRate];
  dcb->BaudRate = (DWORD)rate[0] << 24 | (DWORD)rate[1] << 16 | (DWORD)rate[2] << 8 | rate[3];
  BYTE size = net->answer[setDataSize][0];
  dcb->ByteSize = size >= 5 && size <= 8 ? size : 8;
  BYTE parity = net->answer[setParity][0];
  dcb->Parity = parity < sizeof parities ? parities[parity] : NOPARITY;
  dcb->StopBits = net->answer[setStopSize][0] == 2 ? TWOSTOPBITS : ONESTOPBIT;
}

HANDLE openNetwork(const char *url) {
  int64_t deadline = nowNanos() + openNs;
  int fd = -1;
  DWORD error = connectTo(url, deadline, &fd);
  OpenPort *port = nullptr;
  NetPort *net = nullptr;
  if (error == ERROR_SUCCESS) {
    port = newPort(fd, false);
    net = (NetPort *)calloc(1, sizeof(NetPort));
    if (port == nullptr || net == nullptr) {
      error = ERROR_NOT_ENOUGH_MEMORY;
    } else {
      port->net = net;
      pthread_mutex_init(&net->sendLock, nullptr);
      // Binary both ways and the COM port option; then the line as the
      // server holds it (a value of 0 asks without setting).
      unsigned char hello[64] = {telnetIAC,    telnetWILL, telnetBinary, telnetIAC,    telnetDO,
                                 telnetBinary, telnetIAC,  telnetWILL,   telnetComPort};
      size_t length = 9;
      static const unsigned char zero[4] = {0, 0, 0, 0};
      length += comPortCommand(setBaudRate, zero, 4, hello + length);
      for (unsigned char code = setDataSize; code <= setStopSize; code++)
        length += comPortCommand(code, zero, 1, hello + length);
      unsigned wanted = 1u << setBaudRate | 1u << setDataSize | 1u << setParity | 1u << setStopSize;
      net->negotiating = true;
      error = sendAll(fd, hello, length, deadline) ? negotiate(port, wanted, deadline)
                                                   : ERROR_ACCESS_DENIED;
      net->negotiating = false;
    }
  }
  if (error == ERROR_SUCCESS)
    error = registerPort(port);
  if (error != ERROR_SUCCESS) {
    if (port != nullptr)
      port->net = nullptr;
    freeNet(net);
    freePort(port);
    if (fd >= 0)
      close(fd);
    setLastError(error);
    return INVALID_HANDLE_VALUE;
  }
  DCB &dcb = port->dcb;
  memset(&dcb, 0, sizeof dcb);
  dcb.DCBlength = sizeof dcb;
  dcb.fBinary = 1;
  dcb.fDtrControl = DTR_CONTROL_ENABLE;
  dcb.fRtsControl = RTS_CONTROL_ENABLE;
  dcb.fTXContinueOnXoff = 1;
  dcbFromAnswers(net, &dcb);
  net->charNs = characterTime(dcb);
  port->inQueue = port->outQueue = 4096;
  return handleOf(port);
}

// ---- settings ----

static bool allAnswered(OpenPort *port, unsigned wanted) {
  for (int code = 1; code < codeCount; code++)
    if ((wanted & (1u << code)) && !port->net->answered[code])
      return false;
  return true;
}

// Waits for the answers to the codes in wanted. A read under way receives
// them; otherwise this call takes the read side and receives them itself,
// keeping any data for the next read.
static bool awaitAnswers(const Call &settings, unsigned wanted, int64_t deadline) {
  OpenPort *port = settings.port;
  NetPort *net = port->net;
  bool pumping = false;
  if (shareReadSide(port, allAnswered, wanted, deadline, &pumping) != ready)
    return false;
  if (!pumping)
    return true;
  Call reader = settings;
  reader.use = useRead;
  reader.purges = port->rx.purges;
  bool done = false;
  while (!done) {
    if (net->pendingStart > 0) {
      net->pendingEnd -= net->pendingStart;
      memmove(net->pending, net->pending + net->pendingStart, net->pendingEnd);
      net->pendingStart = 0;
    }
    size_t room = sizeof net->pending - net->pendingEnd;
    ssize_t n = room == 0 ? -1 : receive(port, net->pending + net->pendingEnd, room);
    int error = errno;
    if (n > 0)
      net->pendingEnd += (size_t)n;
    lockTable();
    done = allAnswered(port, wanted);
    unlockTable();
    if (!done && nowNanos() >= deadline)
      break; // a server that never stops talking
    if (done || n > 0 || (n < 0 && error == EINTR))
      continue;
    // Full of data nobody reads, hung up, or broken: no answer will come.
    if (room == 0 || n == 0 || error != EAGAIN || waitFor(reader, POLLIN, deadline) != ready)
      break;
  }
  giveBackReadSide(port);
  return done;
}

static bool sameAnswer(const NetPort *net, int code, const unsigned char *value, size_t length) {
  return memcmp(net->answer[code], value, length) == 0;
}

bool applyNetworkLine(const Call &call, const DCB *dcb) {
  OpenPort *port = call.port;
  NetPort *net = port->net;
  const DCB &previous = port->dcb;
  bool dtr = dcb->fDtrControl != DTR_CONTROL_DISABLE;
  bool rts = dcb->fRtsControl != RTS_CONTROL_DISABLE;
  bool dtrChanged = dtr != (previous.fDtrControl != DTR_CONTROL_DISABLE);
  bool rtsChanged = rts != (previous.fRtsControl != RTS_CONTROL_DISABLE);
  // A call that switches a modem line sends only that; any other sends the
  // whole line, so the device is set even where it differs from what the
  // server last said.
  bool line = !(dtrChanged || rtsChanged) || dcb->BaudRate != previous.BaudRate ||
              dcb->ByteSize != previous.ByteSize || dcb->Parity != previous.Parity ||
              dcb->StopBits != previous.StopBits;
  static const unsigned char parityCodes[] = {1, 2, 3, 4, 5}; // none odd even mark space
  unsigned char rate[4] = {(unsigned char)(dcb->BaudRate >> 24),
                           (unsigned char)(dcb->BaudRate >> 16),
                           (unsigned char)(dcb->BaudRate >> 8), (unsigned char)dcb->BaudRate};
  unsigned char size = dcb->ByteSize, parity = parityCodes[dcb->Parity];
  unsigned char stop = dcb->StopBits == TWOSTOPBITS ? 2 : 1;
  unsigned char flow = dcb->fOutxCtsFlow ? 3 : dcb->fOutX ? 2 : 1;
  unsigned char modem[2] = {(unsigned char)(dtr ? 8 : 9), (unsigned char)(rts ? 11 : 12)};
  unsigned char commands[128];
  size_t length = 0;
  unsigned wanted = 0;
  if (line) {
    length += comPortCommand(setBaudRate, rate, 4, commands + length);
    length += comPortCommand(setDataSize, &size, 1, commands + length);
    length += comPortCommand(setParity, &parity, 1, commands + length);
    length += comPortCommand(setStopSize, &stop, 1, commands + length);
    length += comPortCommand(setControl, &flow, 1, commands + length);
    wanted = 1u << setBaudRate | 1u << setDataSize | 1u << setParity | 1u << setStopSize |
             1u << setControl;
  }
  int64_t deadline = nowNanos() + answerNs;
  lockTable();
  for (int code = 1; code < codeCount; code++)
    net->answered[code] = false;
  unlockTable();
  if (length > 0 &&
      (!sendCommands(call, commands, length, deadline) || !awaitAnswers(call, wanted, deadline)))
    return false;
  // The server's answer is what there is to compare: a value other than the
  // one asked for was refused, as a local driver refuses it.
  lockTable();
  bool refused =
      line && (!sameAnswer(net, setBaudRate, rate, 4) || !sameAnswer(net, setDataSize, &size, 1) ||
               !sameAnswer(net, setParity, &parity, 1) || !sameAnswer(net, setStopSize, &stop, 1) ||
               !sameAnswer(net, setControl, &flow, 1));
  unlockTable();
  if (refused)
    return false;
  for (int i = 0; i < 2; i++) {
    if (!(i == 0 ? dtrChanged : rtsChanged))
      continue;
    lockTable();
    net->answered[setControl] = false;
    unlockTable();
    length = comPortCommand(setControl, &modem[i], 1, commands);
    int64_t modemDeadline = nowNanos() + modemAnswerNs;
    if (!sendCommands(call, commands, length, modemDeadline))
      return false;
    // No answer: a device without modem lines, as with a local one.
    bool answered = awaitAnswers(call, 1u << setControl, modemDeadline);
    lockTable();
    refused = answered && !sameAnswer(net, setControl, &modem[i], 1);
    unlockTable();
    if (refused)
      return false;
  }
  if (line) {
    pthread_mutex_lock(&net->sendLock);
    net->charNs = characterTime(*dcb);
    pthread_mutex_unlock(&net->sendLock);
  }
  return true;
}

static bool nothingAwaited(OpenPort *, unsigned) { return false; }

void purgeNetworkInput(const Call &call) {
  OpenPort *port = call.port;
  unsigned char input = 1, command[8];
  sendCommands(call, command, comPortCommand(purgeData, &input, 1, command), nowNanos() + answerNs);
  // What this end holds goes too, unless a read is taking it right now.
  bool pumping = false;
  if (shareReadSide(port, nothingAwaited, 0, nowNanos(), &pumping) != ready || !pumping)
    return;
  port->net->pendingStart = port->net->pendingEnd = 0;
  // What has arrived so far, and no more: a server may never stop sending.
  unsigned char discard[4096];
  ssize_t n = 1;
  for (int i = 0; i < 64 && (n > 0 || (n < 0 && errno == EINTR)); i++)
    n = receive(port, discard, sizeof discard);
  giveBackReadSide(port);
}

// Bytes reported written may still be in the socket, in the server or in
// its device's queue. A terminal server that sees the end of the stream
// hands on what it holds and then closes its device, discarding what the
// device has not yet sent; a close that left the server's data unread would
// reset the connection and lose more. So: ask the server a question, whose
// answer comes once it has read all that was written before it; let the
// line send what its device may still hold, at the port's rate, as a local
// UART's close waits for its queue; then end the sending side and read until
// the server closes. Each wait is bounded by what the backlog needs.
// A program that ends without closing a network port (System.exit, the end
// of main, Ctrl-C) still delivers what it was told was written: a server
// drops its backlog for the device when the connection ends, so each port
// is closed here as CloseHandle closes it, within the same bound. Runs at
// exit and when the library is unloaded; nothing runs after SIGKILL.
__attribute__((destructor)) static void deliverAtExit() {
  static HANDLE open[256];
  static int count;
  count = 0;
  eachPort([](OpenPort *port) {
    if (port->net != nullptr && !port->closing && count < 256)
      open[count++] = handleOf(port);
  });
  for (int i = 0; i < count; i++)
    CloseHandle(open[i]);
}

// A server reads on only as its device takes bytes, so the answer to a
// question sent after the data comes once the device holds no more than its
// queue. An answer later than the line at its rate would have sent it all
// tells a device slower than the rate: the time it took for what it has
// taken gives its pace, and a full queue at that pace how long it may still
// need. Nothing is known of a backlog no larger than a queue.
static int64_t slowDeviceDone(const NetPort *net, int64_t lineFree, int64_t drained,
                              int64_t answered) {
  int64_t backlog = (lineFree - net->busySince) / net->charNs;
  if (backlog <= deviceQueue || answered <= drained)
    return answered;
  return answered + deviceQueue * (answered - net->busySince) / (backlog - deviceQueue);
}

void closeNetwork(OpenPort *port) {
  NetPort *net = port->net;
  int64_t now = nowNanos(), capped = now + closingWaitNs - closeNs;
  int64_t lineFree = net->lineFree > now ? net->lineFree : now;
  // Room for a device a little slower than its rate, within the cap.
  int64_t drained = lineFree + (lineFree - now) / 20 + 50000000;
  if (drained > capped)
    drained = capped;
  // A device slower than its rate answers late: with more than its queue to
  // send, the answer is awaited as long as a device at half the rate needs.
  int64_t halfRate = lineFree + (lineFree - now);
  if (halfRate > capped)
    halfRate = capped;
  bool behind = lineFree - now > deviceQueue * net->charNs;
  int64_t answerDeadline = (behind && halfRate > drained ? halfRate : drained) + closeNs;
  unsigned char ask[16];
  size_t length = 0;
  if (net->owedIac)
    ask[length++] = telnetIAC;
  static const unsigned char zero[4] = {0, 0, 0, 0};
  if (net->wrote)
    length += comPortCommand(setBaudRate, zero, 4, ask + length);
  net->answered[setBaudRate] = false;
  bool asked = sendAll(port->fd, ask, length, now + closeNs) && net->wrote;
  // Until the server has answered (or will not): then when to stop sending.
  int64_t target = asked ? never : now, deadline = asked ? answerDeadline : now + closeNs;
  unsigned char discard[4096];
  int queued = INT_MAX;
  int64_t progress = now;
  for (bool sending = true;;) {
    now = nowNanos();
    // A server that takes nothing of what is still queued here for a while
    // is taking nothing more.
    int left = 0;
    if (target == never && ioctl(port->fd, SIOCOUTQ, &left) == 0 && left < queued) {
      queued = left;
      progress = now;
    }
    bool stalled = queued > 0 && now - progress > closeNs;
    if (target == never && (net->answered[setBaudRate] || now >= answerDeadline || stalled)) {
      // A device queue holds some kilobytes: a server that took more than
      // that ahead of the line has a device faster than its rate.
      bool ahead = lineFree - now > deviceQueue * net->charNs;
      target = !net->answered[setBaudRate] || ahead ? now : drained;
      int64_t slow = net->answered[setBaudRate] ? slowDeviceDone(net, lineFree, drained, now) : now;
      if (slow > target)
        target = slow < capped ? slow : capped;
      deadline = target + closeNs;
    }
    if (sending && now >= target) {
      shutdown(port->fd, SHUT_WR);
      sending = false;
    }
    if (now >= deadline)
      break;
    ssize_t n = receive(port, discard, sizeof discard);
    if (n > 0 || (n < 0 && errno == EINTR))
      continue; // what the server sends meanwhile is nobody's now
    if (n == 0 || errno != EAGAIN)
      break; // the server closed, or went away
    int64_t until = target != never ? (sending ? target : deadline)
                    : queued > 0 && progress + closeNs < answerDeadline ? progress + closeNs
                                                                        : answerDeadline;
    struct pollfd p = {port->fd, POLLIN, 0};
    if (poll(&p, 1, (int)((until - now) / 1000000) + 1) < 0)
      break;
  }
  freeNet(net);
  port->net = nullptr;
}
