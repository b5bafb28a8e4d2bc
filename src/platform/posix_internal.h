// Pieces of the POSIX stand-in shared between its files.
#ifndef DORLESK_POSIX_INTERNAL_H
#define DORLESK_POSIX_INTERNAL_H

#include <pthread.h>
#include <stddef.h>
#include <sys/types.h>
#include <termios.h>

#include "platform.h"

void setLastError(DWORD error);

// ---- port names (posix_port_names.cpp) ----

// Turns "\\.\NAME" into a device path: a path as it stands, COMn through
// DORLESK_PORT_DIR or the fixed table. NAME arrives as the VM's modified
// UTF-8 and leaves as standard UTF-8; a name with an encoded NUL names no
// device. False when NAME can name no device or the path does not fit.
bool resolvePortPath(const char *fileName, char *path, size_t size);

// Whether a name is a network port's URL (rfc2217://HOST:PORT).
bool isNetworkName(const char *name);
// The URL that path is or (a regular file) holds on its first line; false
// for anything else, which is never opened to find out.
bool networkUrl(const char *path, char *url, size_t size);

// Whether the character device open on fd is a serial-core port without a
// UART behind it (an unconfigured ttyS), which counts as absent.
bool isPhantomUart(int fd);

// Where isPhantomUart reads the kernel's device attributes; tests point it
// at a tree of their own.
extern const char *sysfsRoot;
// Where udev names each device by its number, MAJOR:MINOR; tests point it elsewhere.
extern const char *deviceNames;

// ---- the handle table and its turns (posix_handles.cpp) ----

enum Use { useRead, useWrite, useOther };

// One direction of a port, or its settings. As a serial driver queues its
// requests, one call at a time is served on each.
struct Side {
  bool busy;       // a transfer is being served
  int sleeping;    // transfers asleep in poll, whom a purge or close must wake
  unsigned purges; // aborting purges so far: a call that saw fewer is aborted
  int purging;     // aborting purges under way
  // Broadcast when the turn is given back, a purge begins or ends, or the
  // port starts closing: only calls on this side wait for it.
  pthread_cond_t changed;
};

// What a driver keeps for an open handle beyond what the device holds.
struct OpenPort {
  int fd;
  unsigned generation; // the descriptor number's opens, this one included (1 to 1023)
  struct NetPort *net; // a network port's protocol state; null for a device
  int wakeFd;          // eventfd made when a call first has to sleep; -1 before
  int lockFd;          // the device's canonical node, held for its lock; -1 if none
  dev_t device;        // the device opened; 0 for a probe or a network port
  dev_t instance;      // a pseudo-terminal's devpts instance, which numbers its own; else 0
  bool isProbe;        // from a probe (access 0): no device was opened
  bool isPty;          // a pseudo-terminal: whole bytes, no framing, no modem lines
  bool exclusive;      // TIOCEXCL was set at open
  bool lowLatency;     // the driver's low-latency mode was switched on at open
  bool readWaited;     // the last read found nothing waiting
  DCB dcb;
  COMMTIMEOUTS timeouts;
  struct termios line; // what the device was last set to
  DWORD eventMask, inQueue, outQueue;
  Side rx, tx, settings; // settings calls are never purged
  int calls;             // calls under way on this handle, queued ones included
  bool closing;
  pthread_cond_t idle; // the last call left a closing port
};

// A call on a handle; purges is the count it must not see change.
struct Call {
  OpenPort *port;
  Use use;
  unsigned purges;
  COMMTIMEOUTS timeouts; // as they were when the call was made
};

// A zeroed entry for fd with its conditions made; freePort undoes it (and
// takes null).
OpenPort *newPort(int fd, bool isProbe);
void freePort(OpenPort *port);
// ERROR_SUCCESS, or why the port cannot be entered: this process has its
// device open already, its descriptor number is past what a handle holds, or
// there is no memory.
DWORD registerPort(OpenPort *port);
// The handle of a registered port.
HANDLE handleOf(const OpenPort *port);
// Calls visit on every port in the table, under the table's lock.
void eachPort(void (*visit)(OpenPort *));

int64_t nowNanos();
// A condition waited on with deadlines of nowNanos's clock.
void initMonotonic(pthread_cond_t *cond);
static const int64_t never = INT64_MAX;

enum WaitResult { ready, timedOut, aborted, failed };

// Counts a call on an open port and takes the time-outs in force. False,
// with the last error set, for a handle that is not an open port.
bool admit(HANDLE h, Use use, Call *call);
// Waits until the admitted call's side is free and takes it. Anything but
// ready means the call has left: the deadline (monotonic ns) passed in the
// queue, or a purge or close aborted it (last error set).
WaitResult takeTurn(Call *call, int64_t deadline);
// Both, with no deadline.
bool enter(HANDLE h, Use use, Call *call);
void leave(const Call &call);
// For an admitted call that took no turn.
void withdraw(const Call &call);

// Sets the time-outs that later transfers are served with.
void storeTimeouts(OpenPort *port, const COMMTIMEOUTS *timeouts);

// Sleeps until fd answers one of events, the deadline (monotonic ns)
// passes, or a purge or close aborts the call; in slices only when no wake
// descriptor can be made.
WaitResult waitFor(const Call &call, short events, int64_t deadline);

// Whether a purge or close has aborted the call since it was admitted: a
// transfer that never has to wait checks between its pieces.
bool wasAborted(const Call &call);

// Aborts the transfers of one side: wakes the one being served, fails the
// queued ones, and returns once the side is idle.
void abortSide(OpenPort *port, Use use);

// For a call that needs the read side while it waits for done(port, arg):
// ready with *taken when the side was free and is now this call's (give it
// back), ready without when done came true, timedOut by the deadline.
WaitResult shareReadSide(OpenPort *port, bool (*done)(OpenPort *, unsigned), unsigned arg,
                         int64_t deadline, bool *taken);
void giveBackReadSide(OpenPort *port);
// The table's lock guards what a reader records for another call;
// answersArrived, with it held, wakes a call in shareReadSide.
void lockTable();
void unlockTable();
void answersArrived(OpenPort *port);

// Marks the handle closing, aborts everything on it, waits until every call
// has left, and takes it out of the table. False for no such handle.
OpenPort *retire(HANDLE h);

// ---- the line (posix_line.cpp) ----

// The record a fresh handle answers: what the line is set to now, and the
// modem lines on, as the open has just raised them.
void describeLine(int fd, const struct termios &tio, DCB *dcb);

// The termios that carries a valid DCB's rate and frame on top of line.
// False when the rate needs termios2 (see setCustomRate).
bool termiosForDcb(const DCB *dcb, struct termios *line);

bool validLine(const DCB *dcb);

// Applies dcb to the port's device, skipping what is already so; false with
// the device as it was when the device refuses.
bool applyLine(OpenPort *port, const DCB *dcb);

// Rates that have no Bnnn constant go through termios2; these touch only the
// speed fields.
bool setCustomRate(int fd, unsigned rate);
bool getCustomRate(int fd, unsigned *rate);

// ---- the Telnet stream of a network port (posix_telnet.cpp) ----

enum TelnetCode : unsigned char {
  telnetSE = 240,
  telnetSB = 250,
  telnetWILL = 251,
  telnetWONT = 252,
  telnetDO = 253,
  telnetDONT = 254,
  telnetIAC = 255,
};
static const unsigned char telnetBinary = 0, telnetComPort = 44;

// A command from the server: a negotiation (verb WILL, WONT, DO or DONT and
// the option) or a subnegotiation (verb SB, the option and its bytes).
struct TelnetCommand {
  unsigned char verb, option;
  unsigned char body[32]; // a longer subnegotiation is dropped whole
  size_t bodyLength;
};

// Where the decoding of a server's stream stands between two pieces of it;
// zeroed to begin.
struct TelnetDecoder {
  int state;
  bool overlong;
  TelnetCommand command;
};

// Decodes n bytes of the server's stream into data (n bytes of room always
// suffice), returning the count, and hands each whole command to onCommand.
size_t telnetDecode(TelnetDecoder *decoder, const unsigned char *in, size_t n, unsigned char *data,
                    void (*onCommand)(void *context, const TelnetCommand &command), void *context);

// Data for the server with every IAC doubled; out needs room for 2n bytes.
size_t telnetEscape(const unsigned char *in, size_t n, unsigned char *out);

// IAC SB COM-PORT-OPTION code value IAC SE, the value escaped; out needs
// room for 6 + 2 * length bytes.
size_t comPortCommand(unsigned char code, const unsigned char *value, size_t length,
                      unsigned char *out);

// ---- network ports (posix_network.cpp) ----

// Connects, negotiates and learns the line, all within a few seconds.
HANDLE openNetwork(const char *url);
// Like read(2) and write(2) on the port's data, IAC unescaped and escaped.
ssize_t readNetwork(OpenPort *port, void *buffer, size_t room);
ssize_t writeNetwork(OpenPort *port, const void *buffer, size_t n);
// Data a settings call received for the next read.
bool hasPending(const OpenPort *port);
// Sends the line in dcb (or the modem line it switches) and checks the
// server's answers.
bool applyNetworkLine(const Call &call, const DCB *dcb);
void purgeNetworkInput(const Call &call);
// Hands over what was written, then frees the protocol state.
void closeNetwork(OpenPort *port);

#endif
