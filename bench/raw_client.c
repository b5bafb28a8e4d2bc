/* The machine's limit: the benchmark's measurements made with nothing but
   open, termios, poll, read and write on the port.
     raw_client echo|lockstep PATH BYTES | rtt PATH COUNT | timeout PATH [READS] | cycle PATH COUNT
     raw_client scale DIR PORTS BYTES
   Prints "metric value" lines. scale echoes BYTES in all over DIR/COM1 to
   COM<PORTS> at once, a thread a port. echo keeps up to 16 KiB in flight and reads
   whatever has come back; lockstep sends the same way but then reads the
   exact outstanding count under a total time-out, which is all that a
   Dorlesk-style API can ask for, so the two separate what the API costs
   from what a library costs. */
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
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

/* Whatever has arrived, up to n bytes, waiting at most timeoutMs for any. */
static size_t readSome(int fd, unsigned char *buf, size_t n, int timeoutMs) {
  struct pollfd p = {fd, POLLIN, 0};
  for (;;) {
    ssize_t r = read(fd, buf, n);
    if (r > 0)
      return (size_t)r;
    if (poll(&p, 1, timeoutMs) <= 0)
      return 0;
  }
}

enum { BLOCK = 4096, WINDOW = 16384 };

/* Block k of the echo stream: xorshift64 seeded by k, every byte value. */
static void fillBlock(unsigned char *block, long k) {
  unsigned long long x = 88172645463325252ull ^ (unsigned long long)(k + 1) * 0x9E3779B97F4A7C15ull;
  for (size_t i = 0; i < BLOCK; i += 8) {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    memcpy(block + i, &x, 8);
  }
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

/* Echoes the stream's bytes [first, first + n): up to WINDOW in flight,
   every byte compared. 0 when all came back intact. */
static int echo(int fd, int lockstep, long first, long n) {
  unsigned char out[BLOCK], expected[BLOCK], in[WINDOW];
  long sent = first, received = first, end = first + n, checkedBlock = -1;
  while (received < end) {
    for (; sent < end && sent - received + BLOCK <= WINDOW; sent += BLOCK) {
      fillBlock(out, sent / BLOCK);
      writeAll(fd, out, BLOCK);
    }
    size_t want = (size_t)(sent - received);
    size_t got = lockstep ? readFor(fd, in, want, 5000) : readSome(fd, in, want, 5000);
    for (size_t i = 0; i < got;) { /* compared a block's stretch at a time */
      long at = received + (long)i;
      size_t len = BLOCK - (size_t)(at % BLOCK) < got - i ? BLOCK - (size_t)(at % BLOCK) : got - i;
      if (at / BLOCK != checkedBlock)
        fillBlock(expected, checkedBlock = at / BLOCK);
      if (memcmp(in + i, expected + at % BLOCK, len) != 0) {
        fprintf(stderr, "echo: bytes %ld to %ld differ\n", at, at + (long)len);
        return 1;
      }
      i += len;
    }
    if (got == 0) {
      fprintf(stderr, "echo: nothing came back after %ld bytes\n", received);
      return 1;
    }
    received += (long)got;
  }
  return 0;
}

struct Lane {
  char path[4096];
  long bytes;
  int failed;
};

static void *echoLane(void *arg) {
  struct Lane *lane = arg;
  lane->failed = echo(openPort(lane->path), 0, 0, lane->bytes);
  return NULL;
}

static double cpuSeconds(void) {
  struct rusage u;
  getrusage(RUSAGE_SELF, &u);
  return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

/* Every port echoing at once, one thread each: aggregate MB/s and the
   process's CPU seconds per MB moved. */
static int scale(const char *dir, int ports, long bytes) {
  struct Lane *lanes = calloc((size_t)ports, sizeof *lanes);
  pthread_t *threads = calloc((size_t)ports, sizeof *threads);
  double cpu = cpuSeconds(), start = nowUs(CLOCK_MONOTONIC);
  for (int i = 0; i < ports; i++) {
    snprintf(lanes[i].path, sizeof lanes[i].path, "%s/COM%d", dir, i + 1);
    lanes[i].bytes = bytes / ports / BLOCK * BLOCK;
    pthread_create(&threads[i], NULL, echoLane, &lanes[i]);
  }
  int failed = 0;
  long moved = 0;
  for (int i = 0; i < ports; i++) {
    pthread_join(threads[i], NULL);
    failed |= lanes[i].failed;
    moved += lanes[i].bytes;
  }
  double us = nowUs(CLOCK_MONOTONIC) - start;
  printf("scale%d_MBps %.1f\nscale%d_cpu_s_per_MB %.4f\n", ports, moved / us, ports,
         (cpuSeconds() - cpu) / (moved / 1e6));
  free(lanes);
  free(threads);
  return failed;
}

static int compareDoubles(const void *a, const void *b) {
  double x = *(const double *)a, y = *(const double *)b;
  return (x > y) - (x < y);
}

int main(int argc, char **argv) {
  if (argc < 3) {
    fprintf(stderr, "usage: raw_client echo|lockstep|rtt|timeout|cycle PATH [N]\n");
    return 2;
  }
  const char *what = argv[1], *path = argv[2];
  long n = argc > 3 ? atol(argv[3]) : 0;
  if (strcmp(what, "scale") == 0 && argc > 4)
    return scale(path, (int)n, atol(argv[4]));
  if (strcmp(what, "echo") == 0 || strcmp(what, "lockstep") == 0) {
    int fd = openPort(path), lockstep = what[0] == 'l';
    long warmUp = n >= (4L << 20) ? (1L << 20) : 0; /* as the JVM clients warm up */
    if (echo(fd, lockstep, 0, warmUp) != 0)
      return 1;
    double start = nowUs(CLOCK_MONOTONIC);
    if (echo(fd, lockstep, warmUp, n) != 0)
      return 1;
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
    unsigned char buf[10];
    if (readFor(fd, buf, sizeof buf, 500) != 0) /* a first wait warms up, as in every client */
      return 1;
    double ms[10], cpu = nowUs(CLOCK_PROCESS_CPUTIME_ID), waited = 0;
    double threadCpu = nowUs(CLOCK_THREAD_CPUTIME_ID);
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
