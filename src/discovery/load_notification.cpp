// The platform's load notification: DllMain on Windows, a constructor and
// destructor pair elsewhere. Both hand the event to the port scan.
#include "../platform/platform.h"
#include "dorlesk/port_list.h"

#ifdef _WIN32

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) { return loadNotification(reason); }

#else

__attribute__((constructor)) static void onLoad() { loadNotification(DLL_PROCESS_ATTACH); }

__attribute__((destructor)) static void onUnload() { loadNotification(DLL_PROCESS_DETACH); }

#endif
