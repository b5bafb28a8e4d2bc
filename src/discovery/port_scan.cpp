// Probe COM1 to COM99 once per load and keep the names that exist.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "../platform/platform.h"
#include "dorlesk/port_list.h"

int32_t attachCount = 0;
PortNode *portHead = nullptr;
PortNode *portTail = nullptr;
int32_t portCount = 0;

int loadNotification(unsigned long reason) {
  if (reason == DLL_PROCESS_ATTACH) {
    if (attachCount == 0)
      scanPorts();
    attachCount++;
  } else if (reason == DLL_PROCESS_DETACH) {
    // The list outlives every unload: nodes are never freed.
    attachCount--;
  }
  return TRUE;
}

bool addPort(const char *name) {
  PortNode *node = (PortNode *)malloc(sizeof(PortNode));
  // A node we cannot allocate is neither linked nor counted, so the count
  // never exceeds the nodes that commEnumPorts walks.
  if (node == nullptr)
    return false;
  node->next = nullptr;
  size_t size = strlen(name) + 1;
  node->name = (char *)malloc(size);
  if (node->name != nullptr)
    memcpy(node->name, name, size);
  if (portHead == nullptr)
    portHead = node;
  else
    portTail->next = node;
  portTail = node;
  return true;
}

void scanPorts() {
  portCount = 0;
  for (int n = 1; n <= 99; n++) {
    char path[12];
    snprintf(path, sizeof path, "\\\\.\\COM%d", n);
    HANDLE h = CreateFileA(path, 0, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    // Only "no such device" means absent: a port held by someone else
    // answers access denied and is listed all the same.
    if (h == INVALID_HANDLE_VALUE && GetLastError() == ERROR_FILE_NOT_FOUND)
      continue;
    if (h != INVALID_HANDLE_VALUE)
      CloseHandle(h);
    char name[6];
    snprintf(name, sizeof name, "COM%d", n);
    if (addPort(name))
      portCount++;
  }
}
