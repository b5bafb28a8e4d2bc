// How a Windows device name leads to a Linux device, and the probe that tells
// whether one exists without opening it.
#include <ctype.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include "posix_internal.h"

// COM1-COM99 without DORLESK_PORT_DIR: 32 numbers for each family of device.
struct DeviceFamily {
  unsigned first, last;
  const char *stem;
};
static const DeviceFamily deviceFamilies[] = {
    {1, 32, "/dev/ttyS"},
    {33, 64, "/dev/ttyUSB"},
    {65, 96, "/dev/ttyACM"},
    {97, 99, "/dev/ttyAMA"},
};

// The number of a "COMn" name, matched without regard to case as Windows
// does, or 0 when the name is anything else (leading zeros included).
static unsigned comNumber(const char *name) {
  if (strncasecmp(name, "COM", 3) != 0 || name[3] < '1' || name[3] > '9')
    return 0;
  unsigned n = 0;
  for (const char *c = name + 3; *c != '\0'; c++) {
    if (!isdigit((unsigned char)*c) || n > 99999999)
      return 0;
    n = n * 10 + (unsigned)(*c - '0');
  }
  return n;
}

static bool fits(int written, size_t size) { return written > 0 && (size_t)written < size; }

bool resolvePortPath(const char *fileName, char *path, size_t size) {
  static const char devicePrefix[] = "\\\\.\\";
  if (strncmp(fileName, devicePrefix, 4) != 0)
    return false;
  const char *name = fileName + 4;
  if (name[0] == '/')
    return fits(snprintf(path, size, "%s", name), size);
  unsigned n = comNumber(name);
  if (n == 0)
    return false;
  // A set directory is the only place looked at, so a test's scan sees
  // exactly the links it made and none of the machine's ports.
  const char *dir = getenv("DORLESK_PORT_DIR");
  if (dir != nullptr && dir[0] != '\0')
    return fits(snprintf(path, size, "%s/COM%u", dir, n), size);
  for (const DeviceFamily &family : deviceFamilies)
    if (n >= family.first && n <= family.last)
      return fits(snprintf(path, size, "%s%u", family.stem, n - family.first), size);
  return false;
}

bool isPhantomUart(int fd) {
  struct stat st;
  if (fstat(fd, &st) != 0)
    return false;
  // Only serial-core ports carry a "type"; 0 is an unknown UART, a ttyS node
  // the kernel made although no hardware answers behind it.
  char typePath[64];
  snprintf(typePath, sizeof typePath, "/sys/dev/char/%u:%u/type", major(st.st_rdev),
           minor(st.st_rdev));
  int typeFd = open(typePath, O_RDONLY | O_CLOEXEC);
  if (typeFd < 0)
    return false;
  char text[16] = {0};
  ssize_t n = read(typeFd, text, sizeof text - 1);
  close(typeFd);
  return n > 0 && atoi(text) == 0;
}
