import cz.qelvar.Serial;
import java.io.InputStream;
import java.io.OutputStream;
import java.lang.management.ManagementFactory;
import java.util.Arrays;

/**
 * The benchmark's measurements through a Java serial library.
 *   java BenchClient dorlesk|streams|jssc|rxtx echo|rtt|timeout|cycle PATH [N]
 *   java BenchClient dorlesk scan
 *   java BenchClient streams|listener idle DIR PORTS
 * Prints "metric value" lines, as raw_client does.
 */
public final class BenchClient {
    /** One library's way to use a port. */
    interface Line {
        void open(String path, int timeoutMs) throws Exception;

        void write(byte[] data, int n) throws Exception;

        /** Up to n bytes, waiting at most the time-out given to open. */
        int read(byte[] buf, int n) throws Exception;

        /**
         * What has arrived, up to n bytes, as a user of the library would ask for it;
         * a library without a way to ask what is there waits for all n.
         */
        default int readSome(byte[] buf, int n) throws Exception {
            return read(buf, n);
        }

        void close() throws Exception;
    }

    static final class Dorlesk implements Line {
        int h = -1;

        public void open(String path, int timeoutMs) {
            h = Serial.commOpen(path);
            if (h == -1) throw new IllegalStateException("commOpen " + path);
            Serial.commSetBaud(h, "115200", "8N1");
            Serial.commSetTimeout(h, timeoutMs);
        }

        public void write(byte[] data, int n) {
            if (Serial.commWrite(h, data, n) != n) throw new IllegalStateException("short write");
        }

        public int read(byte[] buf, int n) {
            return Serial.commRead(h, buf, n);
        }

        /**
         * A read waits for its whole count, so a user streaming blocks asks for a part
         * of what is in flight (8 KiB) and keeps the rest in flight.
         */
        public int readSome(byte[] buf, int n) {
            return Serial.commRead(h, buf, Math.min(n, 8192));
        }

        public void close() {
            Serial.commClose(h);
        }
    }

    /** Dorlesk's Java API: SerialPort and its streams, as a new program uses them. */
    static final class Streams implements Line {
        cz.qelvar.SerialPort port;
        InputStream in;
        OutputStream out;

        public void open(String path, int timeoutMs) throws Exception {
            port = cz.qelvar.SerialPort.open(path);
            port.setLine(115200, "8N1");
            port.setReadTimeout(java.time.Duration.ofMillis(timeoutMs));
            in = port.getInputStream();
            out = port.getOutputStream();
        }

        public void write(byte[] data, int n) throws Exception {
            out.write(data, 0, n);
        }

        public int readSome(byte[] buf, int n) throws Exception {
            return Math.max(in.read(buf, 0, n), 0);
        }

        public int read(byte[] buf, int n) throws Exception {
            int got = 0;
            try {
                for (int r; got < n && (r = in.read(buf, got, n - got)) > 0;) got += r;
            } catch (cz.qelvar.SerialPortTimeoutException e) {
                // what arrived in time
            }
            return got;
        }

        public void close() {
            port.close();
        }
    }

    /** SerialPort with a listener: what arrives is handed over by the library's thread. */
    static final class Listened implements Line {
        cz.qelvar.SerialPort port;
        OutputStream out;
        int timeoutMs;
        final java.util.concurrent.BlockingQueue<byte[]> arrived = new java.util.concurrent.LinkedBlockingQueue<>();
        byte[] pending = new byte[0];
        int used;

        public void open(String path, int timeoutMs) throws Exception {
            port = cz.qelvar.SerialPort.open(path);
            port.setLine(115200, "8N1");
            this.timeoutMs = timeoutMs;
            out = port.getOutputStream();
            port.listen((p, data) -> arrived.add(data), null);
        }

        public void write(byte[] data, int n) throws Exception {
            out.write(data, 0, n);
        }

        public int readSome(byte[] buf, int n) throws Exception {
            if (used == pending.length) {
                byte[] next = arrived.poll(timeoutMs, java.util.concurrent.TimeUnit.MILLISECONDS);
                if (next == null) return 0;
                pending = next;
                used = 0;
            }
            int k = Math.min(n, pending.length - used);
            System.arraycopy(pending, used, buf, 0, k);
            used += k;
            return k;
        }

        public int read(byte[] buf, int n) throws Exception {
            int got = 0;
            byte[] part = new byte[n];
            for (int r; got < n && (r = readSome(part, n - got)) > 0; got += r) System.arraycopy(part, 0, buf, got, r);
            return got;
        }

        public void close() {
            port.close();
        }
    }

    static final class Jssc implements Line {
        jssc.SerialPort port;
        int timeoutMs;

        public void open(String path, int timeoutMs) throws Exception {
            port = new jssc.SerialPort(path);
            port.openPort();
            port.setParams(115200, 8, 1, 0);
            this.timeoutMs = timeoutMs;
        }

        public void write(byte[] data, int n) throws Exception {
            port.writeBytes(n == data.length ? data : Arrays.copyOf(data, n));
        }

        public int read(byte[] buf, int n) throws Exception {
            try {
                byte[] got = port.readBytes(n, timeoutMs);
                System.arraycopy(got, 0, buf, 0, got.length);
                return got.length;
            } catch (jssc.SerialPortTimeoutException e) {
                return 0;
            }
        }

        /**
         * jSSC's readBytes(n) waits until FIONREAD reaches n, which the tty caps at
         * 4095: a user asks for what is there, or for one byte when nothing is.
         */
        public int readSome(byte[] buf, int n) throws Exception {
            return read(buf, Math.max(1, Math.min(n, port.getInputBufferBytesCount())));
        }

        public void close() throws Exception {
            port.closePort();
        }
    }

    static final class Rxtx implements Line {
        gnu.io.SerialPort port;
        InputStream in;
        OutputStream out;
        int timeoutMs;

        public void open(String path, int timeoutMs) throws Exception {
            gnu.io.CommPortIdentifier id = gnu.io.CommPortIdentifier.getPortIdentifier(path);
            port = (gnu.io.SerialPort) id.open("bench", 2000);
            port.setSerialPortParams(115200, gnu.io.SerialPort.DATABITS_8,
                    gnu.io.SerialPort.STOPBITS_1, gnu.io.SerialPort.PARITY_NONE);
            port.enableReceiveTimeout(timeoutMs);
            in = port.getInputStream();
            out = port.getOutputStream();
            this.timeoutMs = timeoutMs;
        }

        public void write(byte[] data, int n) throws Exception {
            out.write(data, 0, n);
        }

        /** InputStream.read answers what has arrived, waiting up to the receive time-out. */
        public int readSome(byte[] buf, int n) throws Exception {
            byte[] part = new byte[n];
            int r = in.read(part, 0, n);
            if (r > 0) System.arraycopy(part, 0, buf, 0, r);
            return Math.max(r, 0);
        }

        public int read(byte[] buf, int n) throws Exception {
            long end = System.nanoTime() + timeoutMs * 1_000_000L;
            int got = 0;
            // Reads into offset 0 of a fresh array: RXTX 2.2 reads at an
            // offset past the end of its own native buffer and crashes.
            while (got < n && System.nanoTime() < end) {
                byte[] part = new byte[n - got];
                int r = in.read(part, 0, part.length);
                if (r > 0) {
                    System.arraycopy(part, 0, buf, got, r);
                    got += r;
                }
            }
            return got;
        }

        public void close() {
            port.close();
        }
    }

    /**
     * Echoes the stream's bytes [first, first + n): up to 16 KiB in flight in 4 KiB
     * writes, what comes back compared with what was sent.
     */
    static void echo(Line port, long first, long n) throws Exception {
        final int block = 4096, window = 16384;
        byte[] out = new byte[block], in = new byte[window], expected = new byte[block];
        long sent = first, received = first, end = first + n, checked = -1;
        while (received < end) {
            for (; sent < end && sent - received + block <= window; sent += block) {
                fillBlock(out, sent / block);
                port.write(out, block);
            }
            int got = port.readSome(in, (int) (sent - received));
            if (got == 0) throw new IllegalStateException("nothing came back after " + received);
            for (int i = 0; i < got;) { // compared a block's stretch at a time
                long at = received + i;
                int from = (int) (at % block), len = Math.min(block - from, got - i);
                if (at / block != checked) fillBlock(expected, checked = at / block);
                if (Arrays.mismatch(in, i, i + len, expected, from, from + len) >= 0) {
                    throw new IllegalStateException("bytes " + at + " to " + (at + len) + " differ");
                }
                i += len;
            }
            received += got;
        }
    }

    /**
     * Every port DIR/COM1 to COM<ports> echoing at once, a thread each, as raw_client's
     * scale: aggregate MB/s and the process's CPU seconds per MB moved.
     */
    static void scale(String library, String dir, int ports, long bytes) throws Exception {
        long each = bytes / ports / 4096 * 4096;
        Line[] lines = new Line[ports];
        for (int i = 0; i < ports; i++) {
            lines[i] = line(library);
            lines[i].open(dir + "/COM" + (i + 1), 5000);
            echo(lines[i], 0, Math.min(each, 256 << 10)); // the JIT's turn
        }
        Thread[] threads = new Thread[ports];
        Exception[] failures = new Exception[ports];
        long cpu = cpuNanos(), start = System.nanoTime();
        for (int i = 0; i < ports; i++) {
            int lane = i;
            threads[i] = new Thread(() -> {
                try {
                    echo(lines[lane], 1 << 20, each);
                } catch (Exception e) {
                    failures[lane] = e;
                }
            });
            threads[i].start();
        }
        for (Thread t : threads) t.join();
        double us = (System.nanoTime() - start) / 1e3, mb = each * (double) ports / 1e6;
        for (Exception e : failures) if (e != null) throw e;
        System.out.printf("scale%d_MBps %.1f%nscale%d_cpu_s_per_MB %.4f%n", ports, each * (double) ports / us,
                ports, (cpuNanos() - cpu) / 1e9 / mb);
        for (Line l : lines) l.close();
    }

    /**
     * Ports that wait: one thread a port in a stream read on a silent line for
     * ten seconds; the process's CPU per second and per port, less what the idle
     * JVM spends meanwhile without them.
     */
    static void idle(String library, String dir, int ports) throws Exception {
        Thread.sleep(2000); // the JVM's start-up work settles
        long cpu = cpuNanos();
        Thread.sleep(5000);
        double baseline = (cpuNanos() - cpu) / 5e6; // ms per s
        cz.qelvar.SerialPort[] open = new cz.qelvar.SerialPort[ports];
        Thread[] threads = new Thread[ports];
        for (int i = 0; i < ports; i++) {
            open[i] = cz.qelvar.SerialPort.open(dir + "/COM" + (i + 1));
            if (library.equals("listener")) {
                open[i].listen((p, data) -> {}, null); // its own thread waits in the port
                threads[i] = new Thread(() -> {});
                threads[i].start();
                continue;
            }
            InputStream in = open[i].getInputStream();
            threads[i] = new Thread(() -> {
                try {
                    in.read(new byte[64]);
                } catch (java.io.IOException e) {
                    // closed at the end: the wait is over
                }
            });
            threads[i].start();
        }
        Thread.sleep(1000);
        cpu = cpuNanos();
        long start = System.nanoTime();
        Thread.sleep(10_000);
        double perSecond = (cpuNanos() - cpu) / 1e6 / ((System.nanoTime() - start) / 1e9);
        for (cz.qelvar.SerialPort p : open) p.close();
        for (Thread t : threads) t.join();
        System.out.printf("idle%d_cpu_ms_per_s_per_port %.3f%n", ports, Math.max(0, perSecond - baseline) / ports);
    }

    /** Block k of the echo stream, as raw_client makes it. */
    static void fillBlock(byte[] block, long k) {
        long x = 88172645463325252L ^ ((k + 1) * 0x9E3779B97F4A7C15L);
        for (int i = 0; i < block.length; i += 8) {
            x ^= x << 13;
            x ^= x >>> 7;
            x ^= x << 17;
            LONGS.set(block, i, x); // 8 bytes at a time, as raw_client's memcpy
        }
    }

    static final java.lang.invoke.VarHandle LONGS = java.lang.invoke.MethodHandles
            .byteArrayViewVarHandle(long[].class, java.nio.ByteOrder.LITTLE_ENDIAN);

    static long cpuNanos() {
        return ((com.sun.management.OperatingSystemMXBean) ManagementFactory.getOperatingSystemMXBean())
                .getProcessCpuTime();
    }

    static Line line(String library) {
        switch (library) {
            case "dorlesk": return new Dorlesk();
            case "streams": return new Streams();
            case "listener": return new Listened();
            case "jssc": return new Jssc();
            case "rxtx": return new Rxtx();
            default: throw new IllegalArgumentException(library);
        }
    }

    public static void main(String[] args) throws Exception {
        String library = args[0], what = args[1];
        if (what.equals("scan")) {
            long t = System.nanoTime();
            System.loadLibrary("Dorlesk"); // the scan runs in the load notification
            double ms = (System.nanoTime() - t) / 1e6;
            System.out.printf("scan_ms %.3f%nscan_ports %d%n", ms, Serial.commEnumPorts().length);
            return;
        }
        String path = args[2];
        long n = args.length > 3 ? Long.parseLong(args[3]) : 0;
        if (what.equals("scale")) {
            scale(library, path, (int) n, Long.parseLong(args[4]));
            return;
        }
        if (what.equals("idle")) {
            idle(library, path, (int) n);
            return;
        }
        Line port = line(library);
        switch (what) {
            case "echo": {
                port.open(path, 5000);
                long warmUp = n >= (4L << 20) ? (1L << 20) : 0; // the JIT's turn, as raw_client's
                echo(port, 0, warmUp);
                long start = System.nanoTime();
                echo(port, warmUp, n);
                System.out.printf("echo_MBps %.1f%n", n / ((System.nanoTime() - start) / 1e3));
                port.close();
                break;
            }
            case "rtt": {
                port.open(path, 5000);
                double[] us = new double[(int) n];
                byte[] b = new byte[1], back = new byte[1];
                for (int i = -1000; i < n; i++) {
                    long t = System.nanoTime();
                    port.write(b, 1);
                    if (port.read(back, 1) != 1 || back[0] != b[0]) throw new IllegalStateException("lost byte");
                    if (i >= 0) us[i] = (System.nanoTime() - t) / 1e3;
                    b[0]++;
                }
                Arrays.sort(us);
                System.out.printf("rtt_median_us %.1f%nrtt_p99_us %.1f%n", us[us.length / 2],
                        us[us.length * 99 / 100]);
                port.close();
                break;
            }
            case "timeout": {
                port.open(path, 500);
                int reads = n > 0 && n <= 10 ? (int) n : 10;
                byte[] buf = new byte[10];
                // A first wait warms up (binding the native method, the JIT), as in every client.
                if (port.read(buf, 10) != 0) throw new IllegalStateException("bytes on a silent line");
                double[] ms = new double[reads];
                double waited = 0;
                long cpu = cpuNanos();
                java.lang.management.ThreadMXBean threads = ManagementFactory.getThreadMXBean();
                long threadCpu = threads.getCurrentThreadCpuTime();
                for (int i = 0; i < reads; i++) {
                    long t = System.nanoTime();
                    if (port.read(buf, 10) != 0) throw new IllegalStateException("bytes on a silent line");
                    ms[i] = (System.nanoTime() - t) / 1e6;
                    waited += ms[i] / 1e3;
                }
                double cpuMsPerS = (cpuNanos() - cpu) / 1e6 / waited;
                double threadMsPerS = (threads.getCurrentThreadCpuTime() - threadCpu) / 1e6 / waited;
                Arrays.sort(ms);
                System.out.printf("timeout_ms %.1f%ntimeout_cpu_ms_per_s %.2f%ntimeout_thread_cpu_ms_per_s %.3f%n",
                        ms[reads / 2], cpuMsPerS, threadMsPerS);
                port.close();
                break;
            }
            case "cycle": {
                double[] us = new double[(int) n];
                for (int i = 0; i < n; i++) {
                    long t = System.nanoTime();
                    port.open(path, 1000);
                    port.close();
                    us[i] = (System.nanoTime() - t) / 1e3;
                }
                Arrays.sort(us);
                System.out.printf("cycle_us %.1f%n", us[us.length / 2]);
                break;
            }
            default:
                throw new IllegalArgumentException(what);
        }
    }
}
