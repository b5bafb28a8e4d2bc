/* The ceiling of a port behind a terminal server: a plain client of the
   server's Telnet stream, with no serial library in between. It asks for
   BINARY both ways and refuses every other option, doubles 0xFF on the way
   out and drops commands on the way in.
     net_client echo rfc2217://HOST:PORT BYTES | rtt rfc2217://HOST:PORT COUNT
   Prints "metric value" lines, as raw_client does. */
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

enum { IAC = 255, DONT = 254, DO = 253, WONT = 252, WILL = 251, SB = 250, SE = 240, BINARY = 0 };

static int sock;
static int state; /* 0 data, IAC after IAC, WILL..DONT awaiting the option, SB inside one */

static double nowUs(void) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1e6 + ts.tv_nsec / 1e3;
}

static void sendAll(const unsigned char *p, size_t n) {
  while (n > 0) {
    ssize_t w = write(sock, p, n);
    if (w <= 0) {
      perror("write");
      exit(1);
    }
    p += w;
    n -= (size_t)w;
  }
}

static void answer(int verb, int option) {
  unsigned char reply[3] = {IAC, 0, (unsigned char)option};
  if (verb == DO)
    reply[1] = option == BINARY ? WILL : WONT;
  else if (verb == WILL)
    reply[1] = option == BINARY ? DO : DONT;
  else
    return; /* a refusal needs no answer */
  sendAll(reply, 3);
}

/* Data bytes from the stream into buf, commands answered or dropped; waits
   at most timeoutMs for the first. Returns the count, 0 on time-out. */
static size_t receive(unsigned char *buf, size_t max, int timeoutMs) {
  unsigned char raw[16384];
  size_t got = 0;
  while (got == 0) {
    struct pollfd p = {sock, POLLIN, 0};
    if (poll(&p, 1, timeoutMs) <= 0)
      return 0;
    size_t want = max < sizeof raw ? max : sizeof raw;
    ssize_t r = read(sock, raw, want);
    if (r <= 0) {
      fprintf(stderr, "the server closed the connection\n");
      exit(1);
    }
    for (ssize_t i = 0; i < r; i++) {
      int c = raw[i];
      if (state == 0) {
        if (c == IAC)
          state = IAC;
        else
          buf[got++] = (unsigned char)c;
      } else if (state == IAC) {
        state = c == IAC ? 0 : c >= WILL && c <= DONT ? c : c == SB ? SB : 0;
        if (c == IAC)
          buf[got++] = IAC;
      } else if (state == SB) {
        state = c == IAC ? SE : SB; /* SE here marks "IAC seen inside SB" */
      } else if (state == SE) {
        state = c == SE ? 0 : SB;
      } else {
        answer(state, c);
        state = 0;
      }
    }
  }
  return got;
}

/* Data out, 0xFF doubled. */
static void sendData(const unsigned char *p, size_t n) {
  unsigned char out[2 * 4096];
  size_t k = 0;
  for (size_t i = 0; i < n; i++) {
    out[k++] = p[i];
    if (p[i] == IAC)
      out[k++] = IAC;
    if (k >= sizeof out - 1) {
      sendAll(out, k);
      k = 0;
    }
  }
  sendAll(out, k);
}

static unsigned char pattern(long i) { return (unsigned char)(i * 131 + (i >> 12)); }

static int byDouble(const void *a, const void *b) {
  double x = *(const double *)a, y = *(const double *)b;
  return x < y ? -1 : x > y;
}

int main(int argc, char **argv) {
  char host[256];
  int port;
  if (argc != 4 || sscanf(argv[2], "rfc2217://%255[^:]:%d", host, &port) != 2) {
    fprintf(stderr, "usage: net_client echo|rtt rfc2217://HOST:PORT N\n");
    return 2;
  }
  long n = atol(argv[3]);
  struct sockaddr_in addr = {.sin_family = AF_INET, .sin_port = htons((unsigned short)port)};
  sock = socket(AF_INET, SOCK_STREAM, 0);
  int one = 1;
  setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  if (inet_pton(AF_INET, host, &addr.sin_addr) != 1 ||
      connect(sock, (struct sockaddr *)&addr, sizeof addr) != 0) {
    perror(argv[2]);
    return 1;
  }
  const unsigned char binary[] = {IAC, WILL, BINARY, IAC, DO, BINARY};
  sendAll(binary, sizeof binary);
  unsigned char in[16384];
  if (strcmp(argv[1], "echo") == 0) {
    unsigned char out[4096];
    long sent = 0, received = 0;
    double start = nowUs();
    while (received < n) {
      while (sent < n && sent - received + 4096 <= 16384) {
        size_t len = n - sent < 4096 ? (size_t)(n - sent) : 4096;
        for (size_t i = 0; i < len; i++)
          out[i] = pattern(sent + (long)i);
        sendData(out, len);
        sent += (long)len;
      }
      size_t got = receive(in, sizeof in, 5000);
      if (got == 0) {
        fprintf(stderr, "nothing came back after %ld bytes\n", received);
        return 1;
      }
      for (size_t i = 0; i < got; i++) {
        if (in[i] != pattern(received + (long)i)) {
          fprintf(stderr, "byte %ld differs\n", received + (long)i);
          return 1;
        }
      }
      received += (long)got;
    }
    printf("echo_MBps %.1f\n", n / (nowUs() - start));
  } else if (strcmp(argv[1], "rtt") == 0) {
    double *us = malloc(sizeof(double) * (size_t)(n > 0 ? n : 1));
    unsigned char b = 0;
    for (long i = -1000; i < n; i++, b++) {
      double t = nowUs();
      sendData(&b, 1);
      if (receive(in, 1, 5000) != 1 || in[0] != b) {
        fprintf(stderr, "lost byte %ld\n", i);
        return 1;
      }
      if (i >= 0)
        us[i] = nowUs() - t;
    }
    qsort(us, (size_t)n, sizeof *us, byDouble);
    printf("rtt_median_us %.1f\nrtt_p99_us %.1f\n", us[n / 2], us[n * 99 / 100]);
  } else {
    return 2;
  }
  return 0;
}
