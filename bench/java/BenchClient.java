import cz.qelvar.Serial;
import java.io.InputStream;
import java.io.OutputStream;
import java.lang.management.ManagementFactory;
import java.util.Arrays;
import java.util.Random;

/**
 * The benchmark's measurements through a Java serial library.
 *   java BenchClient dorlesk|jssc|rxtx echo|rtt|timeout|cycle PATH [N]
 *   java BenchClient dorlesk scan
 * Prints "metric value" lines, as raw_client does.
 */
public final class BenchClient {
    /** One library's way to use a port. */
    interface Line {
        void open(String path, int timeoutMs) throws Exception;

        void write(byte[] data, int n) throws Exception;

        /** Up to n bytes, waiting at most the time-out given to open. */
        int read(byte[] buf, int n) throws Exception;

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

        public void close() {
            Serial.commClose(h);
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

    static long cpuNanos() {
        return ((com.sun.management.OperatingSystemMXBean) ManagementFactory.getOperatingSystemMXBean())
                .getProcessCpuTime();
    }

    static Line line(String library) {
        switch (library) {
            case "dorlesk": return new Dorlesk();
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
        Line port = line(library);
        switch (what) {
            case "echo": {
                port.open(path, 5000);
                byte[] out = new byte[4096], in = new byte[4096], part = new byte[4096];
                Random r = new Random(1);
                long start = System.nanoTime();
                for (long done = 0; done < n; done += out.length) {
                    r.nextBytes(out);
                    port.write(out, out.length);
                    int got = 0;
                    while (got < in.length) {
                        int k = port.read(part, in.length - got);
                        if (k == 0) break;
                        System.arraycopy(part, 0, in, got, k);
                        got += k;
                    }
                    int at = Arrays.mismatch(in, out);
                    if (at >= 0) {
                        throw new IllegalStateException(String.format("byte %d of %d differs: sent"
                                + " %02x, got %02x (%d bytes came back)", done + at, n, out[at], in[at], got));
                    }
                }
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
                double[] ms = new double[reads];
                double waited = 0;
                long cpu = cpuNanos();
                java.lang.management.ThreadMXBean threads = ManagementFactory.getThreadMXBean();
                long threadCpu = threads.getCurrentThreadCpuTime();
                byte[] buf = new byte[10];
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
