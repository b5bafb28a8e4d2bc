/* The machine-dependent JNI definitions for Windows targets, which the JDK
   packaged for Linux does not carry. The x86 test host, a 32-bit Linux
   program that calls into the x86 DLL and is called back by it, uses them
   too: its JNI functions must be stdcall as the VM's are on Windows x86. */
#ifndef _JAVASOFT_JNI_MD_H_
#define _JAVASOFT_JNI_MD_H_

#ifdef _WIN32
/* The x86 DLL takes its export table from a module-definition file, since
   the VM there looks names up with a leading underscore that dllexport does
   not give; dllexport would add a second, undecorated-prefix twin. */
#ifdef DORLESK_EXPORTS_FROM_DEF
#define JNIEXPORT
#else
#define JNIEXPORT __declspec(dllexport)
#endif
#define JNIIMPORT __declspec(dllimport)
#define JNICALL __stdcall
#else
#define JNIEXPORT
#define JNIIMPORT
#define JNICALL __attribute__((stdcall))
#endif

typedef int jint;
typedef long long jlong;
typedef signed char jbyte;

#endif
