// termios2 lives in the kernel's headers, which clash with the C library's
// <termios.h>: this file alone includes them, and so cannot include
// posix_internal.h, which declares these two functions.
#include <asm/termbits.h>
#include <sys/ioctl.h>

bool setCustomRate(int fd, unsigned rate);
bool getCustomRate(int fd, unsigned *rate);

bool setCustomRate(int fd, unsigned rate) {
  struct termios2 tio;
  if (ioctl(fd, TCGETS2, &tio) != 0)
    return false;
  tio.c_cflag &= ~(tcflag_t)CBAUD;
  tio.c_cflag |= BOTHER;
  tio.c_cflag &= ~(tcflag_t)(CBAUD << IBSHIFT); // input speed follows output
  tio.c_ospeed = rate;
  tio.c_ispeed = rate;
  return ioctl(fd, TCSETS2, &tio) == 0;
}

bool getCustomRate(int fd, unsigned *rate) {
  struct termios2 tio;
  if (ioctl(fd, TCGETS2, &tio) != 0)
    return false;
  *rate = tio.c_ospeed;
  return true;
}
