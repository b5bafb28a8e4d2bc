// Pieces of the POSIX stand-in shared between its files.
#ifndef DORLESK_POSIX_INTERNAL_H
#define DORLESK_POSIX_INTERNAL_H

#include <stddef.h>

#include "platform.h"

void setLastError(DWORD error);

// Turns "\\.\NAME" into a device path: a path as it stands, COMn through
// DORLESK_PORT_DIR or the fixed table. False when NAME can name no device.
bool resolvePortPath(const char *fileName, char *path, size_t size);

// Whether the character device open on fd is a serial-core port without a
// UART behind it (an unconfigured ttyS), which counts as absent.
bool isPhantomUart(int fd);

// Rates that have no Bnnn constant go through termios2; these touch only the
// speed fields.
bool setCustomRate(int fd, unsigned rate);
bool getCustomRate(int fd, unsigned *rate);

#endif
