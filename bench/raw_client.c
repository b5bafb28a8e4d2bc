/* The machine's limit: the benchmark's measurements made with nothing but
   open, termios, poll, read and write on the port.
     raw_client echo PATH BYTES | rtt PATH COUNT | timeout PATH [READS] | cycle PATH COUNT
   Prints "metric value" lines. */
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

static double nowUs(clockid_t clock) {
  struct timespec ts;
  clock_gettime(clock, &ts);
  return ts.tv_sec * 1e6 + ts.tv_nsec / 1e3;
}

static int openPort(const char *path) {
  int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    perror(path);
    exit(1);
  }
  struct termios tio;
  tcgetattr(fd, &tio);
  cfmakeraw(&tio);
  tio.c_cflag |= CLOCAL | CREAD;
  cfsetspeed(&tio, B115200);
  tcsetattr(fd, TCSANOW, &tio);
  return fd;
}

/* Reads exactly n bytes unless timeoutMs passes first; returns the count. */
static size_t readFor(int fd, unsigned char *buf, size_t n, int timeoutMs) {
  size_t got = 0;
  double end = nowUs(CLOCK_MONOTONIC) + timeoutMs * 1e3;
  while (got < n) {
    ssize_t r = read(fd, buf + got, n - got);
    if (r > 0) {
      got += (size_t)r;
      continue;
    }
    double left = end - nowUs(CLOCK_MONOTONIC);
    struct pollfd p = {fd, POLLIN, 0};
    if (left <= 0 || poll(&p, 1, (int)(left / 1e3) + 1) <= 0)
      break;
  }
  return got;
}

static void writeAll(int fd, const unsigned char *buf, size_t n) {
  size_t done = 0;
  while (done < n) {
    ssize_t w = write(fd, buf + done, n - done);
    if (w > 0) {
      done += (size_t)w;
      continue;
    }
    struct pollfd p = {fd, POLLOUT, 0};
    poll(&p, 1, -1);
  }
}

static int compareDoubles(const void *a, const void *b) {
  double x = *(const double *)a, y = *(const double *)b;
  return (x > y) - (x < y);
}

int main(int argc, char **argv) {
  if (argc < 3) {
    fprintf(stderr, "usage: raw_client echo|rtt|timeout|cycle PATH [N]\n");
    return 2;
  }
  const char *what = argv[1], *path = argv[2];
  long n = argc > 3 ? atol(argv[3]) : 0;
  if (strcmp(what, "echo") == 0) {
    int fd = openPort(path);
    unsigned char out[4096], in[4096];
    unsigned long long x = 88172645463325252ull; /* xorshift64: cheap, 8 bytes a step */
    double start = nowUs(CLOCK_MONOTONIC);
    for (long done = 0; done < n; done += (long)sizeof out) {
      for (size_t i = 0; i < sizeof out; i += 8) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        memcpy(out + i, &x, 8);
      }
      writeAll(fd, out, sizeof out);
      if (readFor(fd, in, sizeof in, 5000) != sizeof in || memcmp(in, out, sizeof in) != 0) {
        fprintf(stderr, "echo: mismatch at %ld\n", done);
        return 1;
      }
    }
    printf("echo_MBps %.1f\n", n / (nowUs(CLOCK_MONOTONIC) - start));
  } else if (strcmp(what, "rtt") == 0) {
    int fd = openPort(path);
    double *us = malloc(sizeof(double) * (size_t)n);
    unsigned char b = 0, back;
    for (long i = -1000; i < n; i++) { /* the first thousand warm up */
      double t = nowUs(CLOCK_MONOTONIC);
      writeAll(fd, &b, 1);
      if (readFor(fd, &back, 1, 5000) != 1 || back != b) {
        fprintf(stderr, "rtt: lost byte\n");
        return 1;
      }
      if (i >= 0)
        us[i] = nowUs(CLOCK_MONOTONIC) - t;
      b++;
    }
    qsort(us, (size_t)n, sizeof *us, compareDoubles);
    printf("rtt_median_us %.1f\nrtt_p99_us %.1f\n", us[n / 2], us[n * 99 / 100]);
  } else if (strcmp(what, "timeout") == 0) {
    int fd = openPort(path);
    int reads = n > 0 && n <= 10 ? (int)n : 10;
    double ms[10], cpu = nowUs(CLOCK_PROCESS_CPUTIME_ID), waited = 0;
    double threadCpu = nowUs(CLOCK_THREAD_CPUTIME_ID);
    unsigned char buf[10];
    for (int i = 0; i < reads; i++) {
      double t = nowUs(CLOCK_MONOTONIC);
      if (readFor(fd, buf, sizeof buf, 500) != 0)
        return 1;
      ms[i] = (nowUs(CLOCK_MONOTONIC) - t) / 1e3;
      waited += ms[i] / 1e3;
    }
    qsort(ms, (size_t)reads, sizeof *ms, compareDoubles);
    printf("timeout_ms %.1f\ntimeout_cpu_ms_per_s %.2f\ntimeout_thread_cpu_ms_per_s %.3f\n",
           ms[reads / 2], (nowUs(CLOCK_PROCESS_CPUTIME_ID) - cpu) / 1e3 / waited,
           (nowUs(CLOCK_THREAD_CPUTIME_ID) - threadCpu) / 1e3 / waited);
  } else if (strcmp(what, "cycle") == 0) {
    double *us = malloc(sizeof(double) * (size_t)n);
    for (long i = 0; i < n; i++) {
      double t = nowUs(CLOCK_MONOTONIC);
      close(openPort(path));
      us[i] = nowUs(CLOCK_MONOTONIC) - t;
    }
    qsort(us, (size_t)n, sizeof *us, compareDoubles);
    printf("cycle_us %.1f\n", us[n / 2]);
  } else {
    return 2;
  }
  return 0;
}
