/* Lets Debian's RXTX 2.2 run on a 64-bit JVM, for the benchmark only.
   Its monitor thread keeps a pointer to the port's event record in a Java
   long field, but stores it with SetIntField and reads it back through
   get_java_var's GetIntField, so the pointer loses its upper half and the
   first read dereferences garbage. Preloaded, this keeps each record by the
   port's descriptor (the record's first member) when the monitor thread
   registers it, and answers the field from there. Every other use of the
   library is untouched. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <jni.h>
#include <link.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

enum { maxFd = 4096 };
static void *records[maxFd];

static int findRxtx(struct dl_phdr_info *info, size_t size, void *path) {
  (void)size;
  if (strstr(info->dlpi_name, "librxtxSerial") == NULL)
    return 0;
  *(const char **)path = info->dlpi_name;
  return 1;
}

/* The library's own function: the JVM opened it privately, out of reach of
   RTLD_NEXT. */
static void *next(const char *name) {
  const char *path = NULL;
  dl_iterate_phdr(findRxtx, &path);
  void *library = path != NULL ? dlopen(path, RTLD_LAZY | RTLD_NOLOAD) : NULL;
  void *f = library != NULL ? dlsym(library, name) : NULL;
  if (f == NULL) {
    fprintf(stderr, "rxtx_shim: no %s to wrap\n", name);
    abort();
  }
  return f;
}

int init_threads(void *record) {
  static int (*real)(void *);
  if (real == NULL)
    real = (int (*)(void *))next("init_threads");
  int fd = *(const int *)record;
  struct stat st;
  if (fd < 0 || fd >= maxFd || fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode)) {
    fprintf(stderr, "rxtx_shim: this RXTX build's record does not start with its descriptor\n");
    abort();
  }
  records[fd] = record;
  return real(record);
}

size_t get_java_var(JNIEnv *env, jobject obj, char *id, char *type) {
  static size_t (*real)(JNIEnv *, jobject, char *, char *);
  if (real == NULL)
    real = (size_t(*)(JNIEnv *, jobject, char *, char *))next("get_java_var");
  if (strcmp(id, "eis") != 0)
    return real(env, obj, id, type);
  size_t fd = real(env, obj, "fd", "I");
  return fd < maxFd ? (size_t)records[fd] : 0;
}
