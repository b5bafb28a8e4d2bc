/* Pseudo-terminals for the JVM tests: Java cannot make one on its own. The
   test holds the master; the library opens the slave. */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <jni.h>
#include <poll.h>
#include <pty.h>
#include <stdlib.h>
#include <string.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

JNIEXPORT jint JNICALL Java_cz_qelvar_test_Pty_openMaster(JNIEnv *env, jclass cls) {
  (void)env;
  (void)cls;
  int master, slave;
  if (openpty(&master, &slave, NULL, NULL, NULL) != 0)
    return -1;
  close(slave);
  return master;
}

JNIEXPORT jstring JNICALL Java_cz_qelvar_test_Pty_slaveName(JNIEnv *env, jclass cls, jint master) {
  (void)cls;
  const char *name = ptsname(master);
  return name == NULL ? NULL : (*env)->NewStringUTF(env, name);
}

JNIEXPORT jint JNICALL Java_cz_qelvar_test_Pty_write(JNIEnv *env, jclass cls, jint fd,
                                                     jbyteArray data) {
  (void)cls;
  jsize length = (*env)->GetArrayLength(env, data);
  jbyte *bytes = (*env)->GetByteArrayElements(env, data, NULL);
  jsize done = 0;
  while (done < length) {
    ssize_t n = write(fd, bytes + done, (size_t)(length - done));
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      break;
    done += (jsize)n;
  }
  (*env)->ReleaseByteArrayElements(env, data, bytes, JNI_ABORT);
  return done;
}

static long long nowMs(void) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (long long)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

/* Up to max bytes, waiting at most timeoutMs for all of them, or (when
   anyAtAll) only for the first. */
JNIEXPORT jbyteArray JNICALL Java_cz_qelvar_test_Pty_read(JNIEnv *env, jclass cls, jint fd,
                                                          jint max, jint timeoutMs,
                                                          jboolean anyAtAll) {
  (void)cls;
  char *buf = malloc(max > 0 ? (size_t)max : 1);
  jsize got = 0;
  long long end = nowMs() + timeoutMs;
  while (got < max) {
    long long left = got > 0 && anyAtAll ? 0 : end - nowMs();
    struct pollfd p = {fd, POLLIN, 0};
    if (left < 0 || poll(&p, 1, (int)left) <= 0)
      break;
    ssize_t n = read(fd, buf + got, (size_t)(max - got));
    if (n <= 0)
      break;
    got += (jsize)n;
  }
  jbyteArray out = (*env)->NewByteArray(env, got);
  if (out != NULL)
    (*env)->SetByteArrayRegion(env, out, 0, got, (const jbyte *)buf);
  free(buf);
  return out;
}

JNIEXPORT void JNICALL Java_cz_qelvar_test_Pty_close(JNIEnv *env, jclass cls, jint fd) {
  (void)env;
  (void)cls;
  close(fd);
}

/* A serial device as the far end of a port under test: raw, with the port's
   rate, its modem lines ignored. */
JNIEXPORT jint JNICALL Java_cz_qelvar_test_Pty_openDevice(JNIEnv *env, jclass cls, jstring path,
                                                          jint rate) {
  (void)cls;
  const char *name = (*env)->GetStringUTFChars(env, path, NULL);
  if (name == NULL)
    return -1;
  int fd = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  (*env)->ReleaseStringUTFChars(env, path, name);
  struct termios t;
  if (fd < 0 || tcgetattr(fd, &t) != 0) {
    if (fd >= 0)
      close(fd);
    return -1;
  }
  cfmakeraw(&t);
  t.c_cflag |= CLOCAL | CREAD;
  t.c_cflag &= ~CRTSCTS;
  speed_t speed = rate == 115200 ? B115200 : B9600;
  cfsetispeed(&t, speed);
  cfsetospeed(&t, speed);
  if (tcsetattr(fd, TCSANOW, &t) != 0 || tcflush(fd, TCIOFLUSH) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}
