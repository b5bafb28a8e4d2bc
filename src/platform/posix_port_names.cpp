// How a Windows device name leads to a Linux device, and the probe that tells
// whether one exists without opening it.
#include <ctype.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
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

// The VM hands names over in modified UTF-8: a character outside the Basic
// Multilingual Plane comes as two encoded surrogates, which no file name on
// the disk spells, and NUL as C0 80, which must not shorten the name.
static bool standardUtf8(const char *in, char *out, size_t size) {
  size_t o = 0;
  for (const unsigned char *p = (const unsigned char *)in; *p != 0;) {
    if (p[0] == 0xC0 && p[1] == 0x80)
      return false;
    if (p[0] == 0xED && (p[1] & 0xF0) == 0xA0 && (p[2] & 0xC0) == 0x80 && p[3] == 0xED &&
        (p[4] & 0xF0) == 0xB0 && (p[5] & 0xC0) == 0x80) {
      unsigned high = ((p[1] & 0x0Fu) << 6) | (p[2] & 0x3Fu);
      unsigned low = ((p[4] & 0x0Fu) << 6) | (p[5] & 0x3Fu);
      unsigned c = 0x10000 + (high << 10) + low;
      if (o + 4 >= size)
        return false;
      out[o++] = (char)(0xF0 | (c >> 18));
      out[o++] = (char)(0x80 | ((c >> 12) & 0x3F));
      out[o++] = (char)(0x80 | ((c >> 6) & 0x3F));
      out[o++] = (char)(0x80 | (c & 0x3F));
      p += 6;
      continue;
    }
    if (o + 1 >= size)
      return false;
    out[o++] = (char)*p++;
  }
  out[o] = '\0';
  return true;
}

bool resolvePortPath(const char *fileName, char *path, size_t size) {
  static const char devicePrefix[] = "\\\\.\\";
  char name[PATH_MAX];
  if (strncmp(fileName, devicePrefix, 4) != 0 || !standardUtf8(fileName + 4, name, sizeof name))
    return false;
  if (name[0] == '/' || isNetworkName(name))
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

static const char scheme[] = "rfc2217://";

bool isNetworkName(const char *name) { return strncasecmp(name, scheme, sizeof scheme - 1) == 0; }

bool networkUrl(const char *path, char *url, size_t size) {
  if (isNetworkName(path))
    return (size_t)snprintf(url, size, "%s", path) < size;
  // A COM entry that is a regular file holding a URL on its first line; a
  // device is never opened here, since that would raise its modem lines.
  struct stat st;
  if (stat(path, &st) != 0 || !S_ISREG(st.st_mode) || size < 2)
    return false;
  int fd = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0)
    return false;
  ssize_t n = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) ? read(fd, url, size - 1) : -1;
  close(fd);
  if (n <= 0)
    return false;
  url[n] = '\0';
  url[strcspn(url, "\r\n")] = '\0';
  return isNetworkName(url);
}

const char *sysfsRoot = "/sys";
const char *deviceNames = "/dev/char";

bool isPhantomUart(int fd) {
  struct stat st;
  if (fstat(fd, &st) != 0)
    return false;
  // Only serial-core ports carry a "type"; 0 is an unknown UART, a ttyS node
  // the kernel made although no hardware answers behind it.
  char typePath[PATH_MAX];
  snprintf(typePath, sizeof typePath, "%s/dev/char/%u:%u/type", sysfsRoot, major(st.st_rdev),
           minor(st.st_rdev));
  int typeFd = open(typePath, O_RDONLY | O_CLOEXEC);
  if (typeFd < 0)
    return false;
  char text[16] = {0};
  ssize_t n = read(typeFd, text, sizeof text - 1);
  close(typeFd);
  return n > 0 && atoi(text) == 0;
}
