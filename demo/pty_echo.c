/* The far end of the demo's loopback: a pseudo-terminal whose slave is
   linked at the path given, echoing every byte back until its standard
   input closes.  Usage: pty_echo LINK */
#include <errno.h>
#include <poll.h>
#include <pty.h>
#include <stdio.h>
#include <unistd.h>

int main(int argc, char **argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: %s LINK\n", argv[0]);
    return 2;
  }
  int master, slave;
  char name[128];
  if (openpty(&master, &slave, name, NULL, NULL) != 0) {
    perror("openpty");
    return 1;
  }
  /* Holding the slave open keeps the master from seeing a hang-up between
     the sessions that open and close the port. */
  unlink(argv[1]);
  if (symlink(name, argv[1]) != 0) {
    perror("symlink");
    return 1;
  }
  printf("%s -> %s\n", argv[1], name);
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
  unlink(argv[1]);
  close(slave);
  return 0;
}
