// The x86 Dorlesk.dll inside a 32-bit Linux program. Its KERNEL32 serial
// imports are bound to whichever platform the program links: the unit
// layer's recording fake or the POSIX stand-in. The native methods declared
// in cz_qelvar_Serial.h are defined here as gates into the loaded DLL, so
// code written against those names drives the x86 code unchanged.
#ifndef DORLESK_X86_H
#define DORLESK_X86_H

#include <string>

#include "pe_loader.h"

// What this program binds the DLL's imports to: KERNEL32's serial calls to
// the platform linked in, the C runtime's start-up needs, the C library.
void *resolveImport(const char *dll, const char *name);

// Gives the calling thread its own thread information block; every thread
// that calls into the DLL needs one.
void giveThreadATeb();

// Loads a fresh copy of the DLL and runs its attach notification.
bool loadDll(const char *path, PeModule *module, std::string *error);

// Runs the detach notification and unmaps the copy.
void unloadDll(PeModule *module);

// The export of method under its decorated stdcall name, or null.
void *dllExport(const PeModule &module, const char *method, int argBytes);

// The copy the native methods call; when none is set, they call the default.
extern PeModule *currentDorlesk;

// The copy of the DLL named by DORLESK_X86_DLL, loaded on first use and kept.
PeModule &defaultDll();

#endif
