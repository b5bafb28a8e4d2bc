/* The machine-dependent JNI definitions for Windows targets, which the JDK
   packaged for Linux does not carry. */
#ifndef _JAVASOFT_JNI_MD_H_
#define _JAVASOFT_JNI_MD_H_

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

typedef int jint;
typedef long long jlong;
typedef signed char jbyte;

#endif
