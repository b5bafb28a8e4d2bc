/* The far ends of serial ports for the benchmarks and the Windows layer:
   pseudo-terminals linked as DIR/NAME, served until the command given exits.
     far_end DIR NAME:MODE ... [-l LATE_DIR] -- COMMAND ARGS...
   MODE is echo (every byte comes back), sink (bytes are read and counted;
   the counts are printed at the end) or silent (nothing is read or sent).
   NAME may be COM1-COM99 (or any range a-b) to make a port for each number.
   An echo port also takes one request: the bytes "\033LINK NAME\n" make a
   new silent port LATE_DIR/NAME and answer "\033OK\n", so that a test can
   make a port appear while the program under test is loaded. */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#define MAX_PORTS 128

enum mode { echo, sink, silent };

/* An echo port's bytes on their way back. The master is non-blocking and
   the echo waits here, so the far end never blocks in write() while the
   client is blocked writing to it: a client that keeps 16 KiB in flight
   and a pseudo-terminal's small buffers would otherwise deadlock. */
#define PENDING (1 << 20)

struct port {
  int master, slave;
  enum mode mode;
  unsigned long long received;
  char link[512];
  unsigned char *pending;
  size_t head, length;
};

static struct port ports[MAX_PORTS];
static int portCount;
static const char *dir, *lateDir;

static int addPort(const char *where, const char *name, enum mode mode) {
  struct port *p = &ports[portCount];
  char slaveName[128];
  if (portCount == MAX_PORTS || openpty(&p->master, &p->slave, slaveName, NULL, NULL) != 0)
    return -1;
  /* The slave stays open here too, so the master never sees a hang-up
     between the test's opens and closes. */
  /* No line discipline: a serial line delivers bytes as they come. */
  struct termios tio;
  if (tcgetattr(p->slave, &tio) == 0) {
    cfmakeraw(&tio);
    tcsetattr(p->slave, TCSANOW, &tio);
  }
  snprintf(p->link, sizeof p->link, "%s/%s", where, name);
  unlink(p->link);
  if (symlink(slaveName, p->link) != 0)
    return -1;
  p->mode = mode;
  fcntl(p->master, F_SETFL, O_NONBLOCK);
  if (mode == echo && (p->pending = malloc(PENDING)) == NULL)
    return -1;
  p->head = p->length = 0;
  p->received = 0;
  portCount++;
  return 0;
}

static void queue(struct port *p, const char *bytes, size_t n) {
  for (size_t i = 0; i < n; i++)
    p->pending[(p->head + p->length++) % PENDING] = (unsigned char)bytes[i];
}

/* Sends what waits, as far as the terminal takes it. */
static void flush(struct port *p) {
  while (p->length > 0) {
    size_t run = PENDING - p->head < p->length ? PENDING - p->head : p->length;
    ssize_t w = write(p->master, p->pending + p->head, run);
    if (w <= 0)
      return;
    p->head = (p->head + (size_t)w) % PENDING;
    p->length -= (size_t)w;
  }
}

static void serve(struct port *p) {
  char buf[4096];
  ssize_t n =
      read(p->master, buf,
           p->mode == echo && PENDING - p->length < sizeof buf ? PENDING - p->length : sizeof buf);
  if (n <= 0)
    return;
  p->received += (unsigned long long)n;
  if (p->mode != echo)
    return;
  char name[16];
  if (buf[0] == '\033' && sscanf(buf, "\033LINK %15s", name) == 1) {
    const char *answer =
        lateDir != NULL && addPort(lateDir, name, silent) == 0 ? "\033OK\n" : "\033NO\n";
    n = (ssize_t)strlen(answer);
    memcpy(buf, answer, (size_t)n);
  }
  queue(p, buf, (size_t)n);
  flush(p);
}

int main(int argc, char **argv) {
  if (argc < 4) {
    fprintf(stderr,
            "usage: far_end DIR NAME:echo|sink|silent ... [-l LATE_DIR] -- COMMAND ARGS...\n");
    return 2;
  }
  dir = argv[1];
  int i = 2;
  for (; i < argc && strcmp(argv[i], "--") != 0; i++) {
    if (strcmp(argv[i], "-l") == 0 && i + 1 < argc) {
      lateDir = argv[++i];
      continue;
    }
    char *colon = strchr(argv[i], ':');
    if (colon == NULL)
      return 2;
    *colon = '\0';
    enum mode mode = strcmp(colon + 1, "echo") == 0   ? echo
                     : strcmp(colon + 1, "sink") == 0 ? sink
                                                      : silent;
    int first, last;
    char stem[16];
    /* COM1-COM99 makes one port a number. */
    if (sscanf(argv[i], "%15[A-Za-z]%d-%*[A-Za-z]%d", stem, &first, &last) == 3) {
      for (int n = first; n <= last; n++) {
        char name[32];
        snprintf(name, sizeof name, "%s%d", stem, n);
        if (addPort(dir, name, mode) != 0) {
          perror("far_end: port");
          return 1;
        }
      }
    } else if (addPort(dir, argv[i], mode) != 0) {
      perror("far_end: port");
      return 1;
    }
  }
  if (i + 1 >= argc)
    return 2;
  pid_t child = fork();
  if (child == 0) {
    execvp(argv[i + 1], argv + i + 1);
    perror("far_end: exec");
    _exit(127);
  }
  int childFd = (int)syscall(SYS_pidfd_open, child, 0);
  for (;;) {
    struct pollfd fds[MAX_PORTS + 1];
    int count = portCount; /* a request may add a port while serving */
    for (int k = 0; k < count; k++) {
      struct port *p = &ports[k];
      short events = p->mode == silent ? 0 : POLLIN;
      if (p->mode == echo && p->length == PENDING)
        events = 0; /* full: read again once some is sent */
      if (p->length > 0)
        events |= POLLOUT;
      fds[k] = (struct pollfd){p->master, events, 0};
    }
    fds[count] = (struct pollfd){childFd, POLLIN, 0};
    if (poll(fds, (nfds_t)count + 1, -1) < 0 && errno != EINTR)
      break;
    if (fds[count].revents)
      break;
    for (int k = 0; k < count; k++) {
      if (fds[k].revents & POLLIN)
        serve(&ports[k]);
      if (fds[k].revents & POLLOUT)
        flush(&ports[k]);
    }
  }
  int status = 1;
  waitpid(child, &status, 0);
  for (int k = 0; k < portCount; k++) {
    if (ports[k].mode == sink)
      fprintf(stderr, "far_end: %s received %llu bytes\n", ports[k].link, ports[k].received);
    unlink(ports[k].link);
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}
