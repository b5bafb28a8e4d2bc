// The fixed table of baud-rate texts that commSetBaud accepts.
#ifndef DORLESK_BAUD_H
#define DORLESK_BAUD_H

#include <stdint.h>

struct BaudEntry {
  int32_t rate;
  const char *text; // null in the terminating row
};

extern const BaudEntry baudTable[];

// The first row whose text equals text byte for byte, or null.
const BaudEntry *findBaud(const char *text);

#endif
