/* The far ends of the Windows layer's ports: pseudo-terminals linked as
   DIR/NAME, each echoing or silent, served until the command given exits.
     far_end DIR NAME:echo|silent ... [-l LATE_DIR] -- COMMAND ARGS...
   An echo port also takes one request: the bytes "\033LINK NAME\n" make a
   new silent port LATE_DIR/NAME and answer "\033OK\n", so that a test can
   make a port appear while the program under test is loaded. */
#define _GNU_SOURCE
#include <errno.h>
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

#define MAX_PORTS 8

struct port {
  int master, slave;
  int echo;
  char link[512];
};

static struct port ports[MAX_PORTS];
static int portCount;
static const char *dir, *lateDir;

static int addPort(const char *where, const char *name, int echo) {
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
  p->echo = echo;
  portCount++;
  return 0;
}

static void serve(struct port *p) {
  char buf[4096];
  ssize_t n = read(p->master, buf, sizeof buf);
  if (n <= 0 || !p->echo)
    return;
  char name[16];
  if (buf[0] == '\033' && sscanf(buf, "\033LINK %15s", name) == 1) {
    const char *answer =
        lateDir != NULL && addPort(lateDir, name, 0) == 0 ? "\033OK\n" : "\033NO\n";
    n = (ssize_t)strlen(answer);
    memcpy(buf, answer, (size_t)n);
  }
  if (write(p->master, buf, (size_t)n) != n)
    perror("far_end: echo");
}

int main(int argc, char **argv) {
  if (argc < 4) {
    fprintf(stderr, "usage: far_end DIR NAME:echo|silent ... [-l LATE_DIR] -- COMMAND ARGS...\n");
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
    if (addPort(dir, argv[i], strcmp(colon + 1, "echo") == 0) != 0) {
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
    for (int k = 0; k < count; k++)
      fds[k] = (struct pollfd){ports[k].master, POLLIN, 0};
    fds[count] = (struct pollfd){childFd, POLLIN, 0};
    if (poll(fds, (nfds_t)count + 1, -1) < 0 && errno != EINTR)
      break;
    if (fds[count].revents)
      break;
    for (int k = 0; k < count; k++)
      if (fds[k].revents & POLLIN)
        serve(&ports[k]);
  }
  int status = 1;
  waitpid(child, &status, 0);
  for (int k = 0; k < portCount; k++)
    unlink(ports[k].link);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}
