/* The far end of a loopback session: a pseudo-terminal that echoes every
   byte back until its standard input closes. It prints the slave's path,
   and links it at LINK when one is given.  Usage: dorlesk-pty-echo [LINK] */
#include <errno.h>
#include <poll.h>
#include <pty.h>
#include <stdio.h>
#include <termios.h>
#include <unistd.h>

int main(int argc, char **argv) {
  if (argc > 2) {
    fprintf(stderr, "usage: %s [LINK]\n", argv[0]);
    return 2;
  }
  int master, slave;
  char name[128];
  if (openpty(&master, &slave, name, NULL, NULL) != 0) {
    perror("openpty");
    return 1;
  }
  /* No line discipline, as on a serial line. Holding the slave open keeps
     the master from seeing a hang-up between sessions. */
  struct termios tio;
  if (tcgetattr(slave, &tio) == 0) {
    cfmakeraw(&tio);
    tcsetattr(slave, TCSANOW, &tio);
  }
  if (argc == 2) {
    unlink(argv[1]);
    if (symlink(name, argv[1]) != 0) {
      perror("symlink");
      return 1;
    }
  }
  printf("%s\n", name);
  fflush(stdout);
  for (;;) {
    struct pollfd fds[2] = {{master, POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
    if (poll(fds, 2, -1) < 0 && errno != EINTR)
      break;
    if (fds[1].revents)
      break; /* whoever started us is done */
    if (fds[0].revents & POLLIN) {
      char buf[4096];
      ssize_t n = read(master, buf, sizeof buf);
      if (n > 0 && write(master, buf, (size_t)n) != n)
        break;
    }
  }
  if (argc == 2)
    unlink(argv[1]);
  close(slave);
  return 0;
}
