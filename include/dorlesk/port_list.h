// The list of COM ports found at load, and the load notification that fills it.
#ifndef DORLESK_PORT_LIST_H
#define DORLESK_PORT_LIST_H

#include <stdint.h>

struct PortNode {
  PortNode *next;
  char *name; // null when the copy could not be allocated
};

extern int32_t attachCount;
extern PortNode *portHead;
extern PortNode *portTail;
extern int32_t portCount;

// What the platform's load notification hands on; reason is one of the
// DLL_PROCESS_* / DLL_THREAD_* codes. Always reports success.
int loadNotification(unsigned long reason);

void scanPorts();
// Appends a copy of name; returns whether a node was appended.
bool addPort(const char *name);

#endif
