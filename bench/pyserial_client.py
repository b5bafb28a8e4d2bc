"""pyserial's RFC 2217 client, measured as BenchClient measures the Java libraries.
    python3 bench/pyserial_client.py echo|rtt URL N
Prints "metric value" lines."""
import statistics
import sys
import time

import serial

what, url, n = sys.argv[1], sys.argv[2], int(sys.argv[3])
# A pseudo-terminal's server leaves DTR and RTS unanswered; pyserial's open
# fails on that unless told to ignore it.
port = serial.serial_for_url(url + "?ign_set_control&timeout=5", baudrate=115200, timeout=5)


# The stream's blocks repeat every 256, so comparing costs the client little.
BLOCKS = [bytes((k * 31 + i) & 0xFF for i in range(4096)) for k in range(256)]


def block(k):
    return BLOCKS[k & 0xFF]


def echo(first, count):
    sent = received = first
    end = first + count
    while received < end:
        while sent < end and sent - received + 4096 <= 16384:
            port.write(block(sent // 4096))
            sent += 4096
        got = port.read(min(sent - received, 8192))
        if not got:
            sys.exit("nothing came back after %d" % received)
        at = received
        while at < received + len(got):
            k, off = divmod(at, 4096)
            take = min(4096 - off, received + len(got) - at)
            if got[at - received:at - received + take] != block(k)[off:off + take]:
                sys.exit("bytes %d to %d differ" % (at, at + take))
            at += take
        received += len(got)


if what == "echo":
    warm = 1 << 20 if n >= 4 << 20 else 0
    echo(0, warm)
    start = time.perf_counter()
    echo(warm, n)
    print("echo_MBps %.1f" % (n / ((time.perf_counter() - start) * 1e6)))
else:
    us = []
    for i in range(-200, n):
        b = bytes([i & 0xFF])
        t = time.perf_counter()
        port.write(b)
        if port.read(1) != b:
            sys.exit("lost byte")
        if i >= 0:
            us.append((time.perf_counter() - t) * 1e6)
    us.sort()
    print("rtt_median_us %.1f\nrtt_p99_us %.1f" % (statistics.median(us), us[len(us) * 99 // 100]))
port.close()
