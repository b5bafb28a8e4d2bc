// A loader for 32-bit PE DLLs inside a 32-bit Linux program: it maps the
// sections away from the preferred base, applies the base relocations, binds
// imports through a resolver, and runs the TLS callbacks and the entry point
// through the call gate. It knows PE, not the DLL it loads.
#ifndef DORLESK_PE_LOADER_H
#define DORLESK_PE_LOADER_H

#include <stdint.h>

#include <string>

struct PeModule {
  uint8_t *base = nullptr;
  uint32_t size = 0;
  uint32_t preferredBase = 0;
  uint32_t entry = 0;        // address, or 0 for none
  uint32_t tlsCallbacks = 0; // address of the callback array, or 0
  uint32_t exports = 0;      // address of the export directory, or 0
};

// The address an import is bound to, or null when the host does not supply
// it; the loader then binds a stub that stops the run, naming the import.
typedef void *(*ImportResolver)(const char *dll, const char *name);

// Loads the file, or returns false with the reason in error.
bool peLoad(const char *path, ImportResolver resolve, PeModule *module, std::string *error);

// Runs the TLS callbacks and the entry point with reason (1 attach, 0 detach);
// the entry point's answer.
bool peNotify(const PeModule &module, uint32_t reason);

void peUnload(PeModule *module);

// The address exported under name, or null.
void *peExport(const PeModule &module, const char *name);

// What the stub of an unbound import does when called; by default it prints
// "unbound import DLL!NAME called" and exits 3. Tests may replace it.
extern void (*peUnboundImportCalled)(const char *dllAndName);

#endif
