// The serial services as the port code sees them: the Windows communication
// API by its own names. On Windows this is KERNEL32 itself; elsewhere the same
// names are declared here and implemented by the POSIX stand-in (or, in the
// unit tests, by a recording fake linked in its place).
#ifndef DORLESK_PLATFORM_H
#define DORLESK_PLATFORM_H

#ifdef _WIN32

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

// The longest port name commOpen puts behind "\\.\": what fits its device-path
// buffer on Windows.
#define MAX_PORT_NAME 95

#else

#include <limits.h>
#include <stdint.h>

// Here a port name may be any path: /dev/serial/by-id/ names run past the
// Windows limit. The system's limit, PATH_MAX - 1 bytes, holds for the path
// the stand-in makes from the VM's modified UTF-8, where a character outside
// the Basic Multilingual Plane takes six bytes instead of four; the stand-in
// checks it after that conversion.
#define MAX_PORT_NAME ((PATH_MAX - 1) * 3 / 2)

typedef int BOOL;
typedef uint8_t BYTE;
typedef uint16_t WORD;
typedef uint32_t DWORD;
typedef void *HANDLE;
typedef void *HINSTANCE;
typedef void *LPVOID;
typedef const char *LPCSTR;

#define TRUE 1
#define FALSE 0
#define WINAPI
#define MAXDWORD 0xffffffffu
#define INVALID_HANDLE_VALUE ((HANDLE)(intptr_t)-1)

#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define OPEN_EXISTING 3
#define FILE_ATTRIBUTE_NORMAL 0x80

#define ERROR_SUCCESS 0
#define ERROR_INVALID_FUNCTION 1
#define ERROR_FILE_NOT_FOUND 2
#define ERROR_TOO_MANY_OPEN_FILES 4
#define ERROR_ACCESS_DENIED 5
#define ERROR_INVALID_HANDLE 6
#define ERROR_NOT_ENOUGH_MEMORY 8
#define ERROR_GEN_FAILURE 31
#define ERROR_NOT_SUPPORTED 50
#define ERROR_INVALID_PARAMETER 87
#define ERROR_SEM_TIMEOUT 121
#define ERROR_OPERATION_ABORTED 995

#define DLL_PROCESS_DETACH 0
#define DLL_PROCESS_ATTACH 1
#define DLL_THREAD_ATTACH 2
#define DLL_THREAD_DETACH 3

#define EV_RXCHAR 0x0001
#define EV_RXFLAG 0x0002
#define EV_TXEMPTY 0x0004
#define EV_ERR 0x0080

#define PURGE_TXABORT 0x0001
#define PURGE_RXABORT 0x0002
#define PURGE_TXCLEAR 0x0004
#define PURGE_RXCLEAR 0x0008

#define NOPARITY 0
#define ODDPARITY 1
#define EVENPARITY 2
#define MARKPARITY 3
#define SPACEPARITY 4

#define ONESTOPBIT 0
#define ONE5STOPBITS 1
#define TWOSTOPBITS 2

#define DTR_CONTROL_DISABLE 0
#define DTR_CONTROL_ENABLE 1
#define DTR_CONTROL_HANDSHAKE 2

#define RTS_CONTROL_DISABLE 0
#define RTS_CONTROL_ENABLE 1
#define RTS_CONTROL_HANDSHAKE 2
#define RTS_CONTROL_TOGGLE 3

// Same members, widths and order as the Windows record.
typedef struct _DCB {
  DWORD DCBlength;
  DWORD BaudRate;
  DWORD fBinary : 1;
  DWORD fParity : 1;
  DWORD fOutxCtsFlow : 1;
  DWORD fOutxDsrFlow : 1;
  DWORD fDtrControl : 2;
  DWORD fDsrSensitivity : 1;
  DWORD fTXContinueOnXoff : 1;
  DWORD fOutX : 1;
  DWORD fInX : 1;
  DWORD fErrorChar : 1;
  DWORD fNull : 1;
  DWORD fRtsControl : 2;
  DWORD fAbortOnError : 1;
  DWORD fDummy2 : 17;
  WORD wReserved;
  WORD XonLim;
  WORD XoffLim;
  BYTE ByteSize;
  BYTE Parity;
  BYTE StopBits;
  char XonChar;
  char XoffChar;
  char ErrorChar;
  char EofChar;
  char EvtChar;
  WORD wReserved1;
} DCB;

typedef struct _COMMTIMEOUTS {
  DWORD ReadIntervalTimeout;
  DWORD ReadTotalTimeoutMultiplier;
  DWORD ReadTotalTimeoutConstant;
  DWORD WriteTotalTimeoutMultiplier;
  DWORD WriteTotalTimeoutConstant;
} COMMTIMEOUTS;

typedef struct _OVERLAPPED OVERLAPPED;
typedef struct _SECURITY_ATTRIBUTES SECURITY_ATTRIBUTES;

HANDLE CreateFileA(LPCSTR fileName, DWORD access, DWORD shareMode, SECURITY_ATTRIBUTES *security,
                   DWORD creation, DWORD flags, HANDLE templateFile);
DWORD GetLastError(void);
BOOL CloseHandle(HANDLE h);
BOOL SetupComm(HANDLE h, DWORD inQueue, DWORD outQueue);
BOOL SetCommMask(HANDLE h, DWORD mask);
BOOL GetCommState(HANDLE h, DCB *dcb);
BOOL SetCommState(HANDLE h, DCB *dcb);
BOOL SetCommTimeouts(HANDLE h, COMMTIMEOUTS *timeouts);
BOOL GetCommTimeouts(HANDLE h, COMMTIMEOUTS *timeouts);
BOOL ReadFile(HANDLE h, LPVOID buffer, DWORD toRead, DWORD *read, OVERLAPPED *overlapped);
BOOL WriteFile(HANDLE h, const void *buffer, DWORD toWrite, DWORD *written, OVERLAPPED *overlapped);
BOOL PurgeComm(HANDLE h, DWORD flags);

#endif

// A port handle crosses the JNI boundary as a jint; the platform's handle
// values fit in 32 bits on every target, and -1 widens to INVALID_HANDLE_VALUE.
#define HANDLE_FROM_JINT(h) ((HANDLE)(intptr_t)(h))
#define JINT_FROM_HANDLE(h) ((jint)(intptr_t)(h))

#endif
