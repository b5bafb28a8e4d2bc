package cz.qelvar.test;

import static org.junit.jupiter.api.Assertions.*;

import cz.qelvar.SerialPort;
import cz.qelvar.SerialPortException;
import cz.qelvar.SerialPortTimeoutException;
import java.io.BufferedReader;
import java.io.InputStream;
import java.io.IOException;
import java.io.InputStreamReader;
import java.lang.management.ManagementFactory;
import java.lang.management.ThreadMXBean;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.nio.file.attribute.PosixFilePermissions;
import java.time.Duration;
import java.util.Arrays;
import java.util.List;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.atomic.AtomicBoolean;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.function.Executable;

/**
 * The Java API over the native methods, on pseudo-terminals; run again
 * (jvm.windows.*) on a library that takes one call at a time on a port, as
 * Windows runs a synchronous handle, with SerialPort on its path for that.
 */
class SerialPortTest {
    static final boolean ONE_CALL_AT_A_TIME = Boolean.getBoolean("cz.qelvar.SerialPort.oneCallAtATime");
    /** Upper time bounds stretch on a slow machine; lower ones never do. */
    static final double SCALE = Wire.timeScale();

    /** Opens the named port as the caller and prints what came of it. */
    public static void main(String[] args) {
        try (SerialPort port = SerialPort.open(args[0])) {
            System.out.println("opened " + port.name());
        } catch (SerialPortException e) {
            System.out.println(e.getMessage());
        }
    }

    static SerialPortException refusal(String name) {
        return assertThrows(SerialPortException.class, () -> SerialPort.open(name).close());
    }

    static long millisSince(long nanos) {
        return (System.nanoTime() - nanos) / 1_000_000;
    }

    /** Waits until the thread is inside the named native method of Serial. */
    static void awaitInside(Thread t, String method) throws InterruptedException {
        long start = System.nanoTime();
        for (;;) {
            StackTraceElement[] stack = t.getStackTrace();
            if (stack.length > 0 && stack[0].isNativeMethod() && stack[0].getMethodName().equals(method)) return;
            assertTrue(millisSince(start) < 10_000, t.getName() + " never reached " + method);
            Thread.sleep(1);
        }
    }

    static double median(double[] values) {
        double[] sorted = values.clone();
        Arrays.sort(sorted);
        return sorted[sorted.length / 2];
    }

    @Test
    void failuresAreExceptionsThatSayWhy() throws Exception {
        Pty.freshPortDir();
        try (Pty far = new Pty()) {
            far.linkAs("COM7");
            assertEquals(List.of("COM7"), SerialPort.list());
            assertTrue(refusal("COM8").getMessage().startsWith("COM8 maps to " + Pty.portDir().resolve("COM8")
                    + ", which does not exist."), refusal("COM8").getMessage());
            SerialPort port = SerialPort.open("COM7");
            String held = refusal(far.slave).getMessage();
            assertTrue(held.equals(far.slave + " is in use, so it was not opened:\n  this program (pid "
                    + ProcessHandle.current().pid() + ") has it open and holds its lock."), held);

            String rate = assertThrows(IllegalArgumentException.class, () -> port.setLine(300, "8N1")).getMessage();
            assertTrue(rate.startsWith("no rate 300 here: the library takes rates 1200 2400 9600"), rate);
            for (String frame : new String[] {"9N1", "8X1", "8N3", "8N", "8N1 "}) {
                String why = assertThrows(IllegalArgumentException.class, () -> port.setLine(9600, frame)).getMessage();
                assertTrue(why.startsWith("no frame " + frame + " here"), why);
            }
            // A terminal keeps 8 bits without parity whatever is asked; its rate and stop bits show.
            port.setLine(9600, "7e2");
            String settings = DiagnosticsTest.stty(far.slave, "-a");
            assertTrue(settings.startsWith("speed 9600 baud;") && settings.contains(" cstopb "), settings);
            port.setLine(115200, "8N1");
            settings = DiagnosticsTest.stty(far.slave, "-a");
            assertTrue(settings.startsWith("speed 115200 baud;") && settings.contains(" -cstopb "), settings);
            for (Duration bad : new Duration[] {Duration.ofMillis(-1), Duration.ofMillis(0xFFFFFFFFL), Duration.ofDays(1L << 40)}) {
                assertThrows(IllegalArgumentException.class, () -> port.setReadTimeout(bad));
            }
            port.setReadTimeout(Duration.ofMillis(0xFFFFFFFEL)); // the longest there is
            assertEquals("timeout", assertThrows(NullPointerException.class, () -> port.setReadTimeout(null)).getMessage());
            // Offsets and counts outside the array are refused before anything moves.
            byte[] four = new byte[4];
            for (int[] bad : new int[][] {{2, 4}, {-1, 1}, {0, -1}, {5, 0}}) {
                assertThrows(IndexOutOfBoundsException.class, () -> port.write(four, bad[0], bad[1]));
                assertThrows(IndexOutOfBoundsException.class, () -> port.getOutputStream().write(four, bad[0], bad[1]));
                assertThrows(IndexOutOfBoundsException.class, () -> port.read(four, bad[0], bad[1]));
                assertThrows(IndexOutOfBoundsException.class, () -> port.getInputStream().read(four, bad[0], bad[1]));
            }
            assertEquals("", new String(far.receiveAny(16, 100), StandardCharsets.US_ASCII));

            // Closed twice is closed; anything else after it says so.
            port.close();
            port.close();
            port.getInputStream().close();
            byte[] b = new byte[4];
            // A closed port is not a hung-up one: its stream throws, as the JDK's do.
            List<Executable> uses = List.of(() -> port.read(b, 0, 4), () -> port.write(b, 0, 4),
                    () -> port.setLine(9600, "8N1"), () -> port.setReadTimeout(Duration.ZERO), () -> port.setRTS(true),
                    () -> port.setDTR(false), () -> port.getOutputStream().write(1), () -> port.getInputStream().read(),
                    () -> port.getInputStream().read(b, 1, 2));
            for (Executable use : uses) {
                assertEquals("COM7 is closed", assertThrows(SerialPortException.class, use).getMessage());
            }
            assertEquals("SerialPort[COM7, closed]", port.toString());
            // It was given back. The old object reaches nothing of a port opened
            // since, whatever number that got: a second close leaves it open.
            try (SerialPort later = SerialPort.open("COM7")) {
                assertThrows(SerialPortException.class, () -> port.write(b, 0, 4));
                port.close();
                later.write("ok".getBytes(StandardCharsets.US_ASCII), 0, 2);
                assertEquals("ok", new String(far.receive(2, 2000), StandardCharsets.US_ASCII));
            }
            // Closing either stream closes the port.
            for (boolean input : new boolean[] {true, false}) {
                SerialPort again = SerialPort.open("COM7");
                (input ? (java.io.Closeable) again.getInputStream() : again.getOutputStream()).close();
                assertEquals("SerialPort[COM7, closed]", again.toString());
                SerialPort.open("COM7").close();
            }
        }
    }

    /** Bytes through the streams as they are: every value, one at a time or in blocks. */
    @Test
    void streamsCarryEveryByteValue() throws Exception {
        Pty.freshPortDir();
        try (Pty far = new Pty()) {
            streamsCarryEveryByteValue(far);
        }
    }

    static void streamsCarryEveryByteValue(Wire far) throws Exception {
        try (SerialPort port = open(far)) {
            port.setReadTimeout(Duration.ofSeconds(2));
            InputStream in = port.getInputStream();
            far.send(new byte[] {0, 0x7f, (byte) 0x80, (byte) 0xfe, (byte) 0xff, 'z'});
            for (int expected : new int[] {0, 0x7f, 0x80, 0xfe, 0xff}) assertEquals(expected, in.read());
            // A read of nothing returns at once and takes nothing.
            long t = System.nanoTime();
            assertEquals(0, in.read(new byte[4], 2, 0));
            assertTrue(millisSince(t) < 100 * SCALE, millisSince(t) + " ms");
            assertEquals('z', in.read());
            for (int v : new int[] {0x41, 0x80, 0xff, 0x1ff}) port.getOutputStream().write(v);
            assertArrayEquals(new byte[] {0x41, (byte) 0x80, (byte) 0xff, (byte) 0xff},
                    far.receive(4, 2000));
            // The shortest time-out still ends a stream read on a quiet line.
            port.setReadTimeout(Duration.ofMillis(1));
            t = System.nanoTime();
            assertThrows(SerialPortTimeoutException.class, () -> in.read());
            assertTrue(millisSince(t) < 1000 * SCALE, millisSince(t) + " ms");
        }
    }

    /**
     * A read's time-out counts from its call, its wait for the read ahead of it
     * included; and a time-out changed while a read waits does not make its
     * ending look like a hang-up.
     */
    @Test
    void timeOutsCountFromTheCall() throws Exception {
        Pty.freshPortDir();
        try (Pty far = new Pty()) {
            timeOutsCountFromTheCall(far);
        }
    }

    static void timeOutsCountFromTheCall(Wire far) throws Exception {
        try (SerialPort port = open(far)) {
            port.setReadTimeout(Duration.ofMillis(1000));
            long[] took = new long[2];
            Thread[] readers = new Thread[2];
            for (int i = 0; i < 2; i++) {
                int me = i;
                readers[i] = new Thread(() -> {
                    long t = System.nanoTime();
                    assertThrows(SerialPortTimeoutException.class, () -> port.getInputStream().read(new byte[4]));
                    took[me] = millisSince(t);
                });
                readers[i].start();
            }
            for (Thread r : readers) r.join();
            System.out.println("two readers of 1000 ms each ended after " + took[0] + " and " + took[1] + " ms");
            for (long ms : took) assertTrue(ms >= 990 && ms < 1000 + 500 * SCALE, Arrays.toString(took));
            // The same with the port's own read, which answers 0.
            long[] got = new long[2];
            for (int i = 0; i < 2; i++) {
                int me = i;
                readers[i] = new Thread(() -> {
                    long t = System.nanoTime();
                    try {
                        got[me] = port.read(new byte[4], 0, 4) == 0 ? millisSince(t) : -1;
                    } catch (SerialPortException e) {
                        got[me] = -2;
                    }
                });
                readers[i].start();
            }
            for (Thread r : readers) r.join();
            for (long ms : got) assertTrue(ms >= 990 && ms < 1000 + 500 * SCALE, Arrays.toString(got));
            // A 300 ms read while another thread sets a longer time-out: a time-out, not a hang-up.
            port.setReadTimeout(Duration.ofMillis(300));
            Thread reader = new Thread(() -> assertThrows(SerialPortTimeoutException.class,
                    () -> port.getInputStream().read(new byte[4])));
            reader.start();
            awaitInside(reader, "commRead");
            port.setReadTimeout(Duration.ofSeconds(10));
            reader.join();
            port.setReadTimeout(Duration.ofMillis(300));
            byte[] b = new byte[4];
            Thread native0 = new Thread(() -> {
                try {
                    assertEquals(0, port.read(b, 0, 4));
                } catch (SerialPortException e) {
                    fail(e);
                }
            });
            native0.start();
            awaitInside(native0, "commRead");
            port.setReadTimeout(Duration.ofSeconds(10));
            native0.join();
        }
    }

    /** Calls on one port never wait for an open or a close of another. */
    @Test
    void portsDoNotWaitForEachOther() throws Exception {
        Pty.freshPortDir();
        try (Pty far = new Pty()) {
            portsDoNotWaitForEachOther(far);
        }
    }

    static void portsDoNotWaitForEachOther(Wire far) throws Exception {
        // A server that takes the connection and never answers: the open waits its 5 s.
        try (java.net.ServerSocket silent = new java.net.ServerSocket(0, 1, java.net.InetAddress.getLoopbackAddress());
                SerialPort port = open(far)) {
            String[] refused = new String[1];
            long[] openTook = new long[1];
            Thread opener = new Thread(() -> {
                long t = System.nanoTime();
                refused[0] = assertThrows(SerialPortException.class,
                        () -> SerialPort.open("rfc2217://127.0.0.1:" + silent.getLocalPort())).getMessage();
                openTook[0] = millisSince(t);
            });
            opener.start();
            silent.setSoTimeout((int) (10_000 * SCALE)); // a failure, not a hang, where the open never connects
            java.net.Socket taken = silent.accept(); // the open is under way
            Thread reader = new Thread(() -> assertThrows(SerialPortException.class,
                    () -> port.read(new byte[4], 0, 4)));
            reader.start();
            awaitInside(reader, "commRead");
            long t = System.nanoTime();
            port.close();
            reader.join();
            long closing = millisSince(t);
            try (SerialPort other = open(far)) {
                other.write(new byte[] {'x'}, 0, 1);
            }
            long both = millisSince(t);
            System.out.println("beside an open that waits: close " + closing + " ms, open, write and close " + both + " ms");
            assertTrue(closing < 500 * SCALE && both < 1000 * SCALE, closing + " and " + both + " ms");
            assertTrue(opener.isAlive());
            // The open keeps its bound, and says why: one try, and a second to look.
            opener.join();
            taken.close();
            System.out.println("open of a silent server: " + openTook[0] + " ms: " + refused[0]);
            assertTrue(openTook[0] >= 4900 && openTook[0] < 5000 + 2500 * SCALE, openTook[0] + " ms");
            assertTrue(refused[0].contains("accepted the connection but said nothing"), refused[0]);
        }
    }

    /**
     * A port another program holds: the exception names that program and its
     * pid, and never its command line (it may hold credentials); check, which a
     * person reads, shows it.
     */
    @Test
    void aFailedOpenNamesTheHolderButNotItsCommandLine() throws Exception {
        Pty.freshPortDir();
        try (Pty far = new Pty()) {
            far.linkAs("COM7");
            Process holder = new ProcessBuilder("flock", far.slave, "sh", "-c", "sleep 60", "password=hunter2")
                    .redirectErrorStream(true).start();
            try {
                String why = "";
                for (long t = System.nanoTime(); millisSince(t) < 10_000; Thread.sleep(20)) {
                    try {
                        SerialPort.open("COM7").close();
                    } catch (SerialPortException e) {
                        why = e.getMessage();
                        break;
                    }
                }
                assertTrue(why.contains("flock (pid " + holder.pid() + ")") && !why.contains("hunter2"), why);
                String check = DiagnosticsTest.java(List.of(), "cz.qelvar.SerialTool", "check", "COM7");
                assertTrue(check.contains("password=hunter2"), check);
            } finally {
                holder.descendants().forEach(ProcessHandle::destroy);
                holder.destroy();
                holder.waitFor();
            }
            // A program that has it open without a lock does not stop an open, and
            // check, which leaves the port alone then, says the same.
            Process lockless = new ProcessBuilder("sh", "-c", "echo up; exec sleep 60 <" + far.slave).start();
            try {
                assertEquals("up", new String(lockless.getInputStream().readNBytes(3), StandardCharsets.US_ASCII).strip());
                String check = DiagnosticsTest.java(List.of(), "cz.qelvar.SerialTool", "check", "COM7");
                assertTrue(check.startsWith("exit 0\nCOM7 (" + Pty.portDir().resolve("COM7") + ") opens, but is in use"),
                        check);
                SerialPort.open("COM7").close();
            } finally {
                lockless.destroy();
                lockless.waitFor();
            }
        }
    }

    @Test
    void anotherUserWithoutPermissionLearnsWhy() throws Exception {
        if (!DiagnosticsTest.root) {
            System.out.println("SKIP jvm.SerialPortTest: the open as another user needs root");
            return;
        }
        try (Pty far = new Pty()) {
            Files.setPosixFilePermissions(Paths.get(far.slave), PosixFilePermissions.fromString("rw-------"));
            Path readable = Files.createTempDirectory("dorlesk-nobody");
            Files.setPosixFilePermissions(readable, PosixFilePermissions.fromString("rwxr-xr-x"));
            Files.createSymbolicLink(readable.resolve("COM3"), Paths.get(far.slave));
            String out = DiagnosticsTest.java(List.of("setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                    "env", "DORLESK_PORT_DIR=" + readable), "cz.qelvar.test.SerialPortTest", "COM3");
            DiagnosticsTest.removeTree(readable);
            assertTrue(out.startsWith("exit 0\nCOM3 (" + readable.resolve("COM3") + ") cannot be opened:\n"
                    + "  no permission: " + far.slave + " belongs to root, group root, mode rw-------."), out);
        }
    }

    @Test
    void closeEndsBlockedCallsInOtherThreads() throws Exception {
        Pty.freshPortDir();
        try (Pty far = new Pty()) {
            closeEndsBlockedCallsInOtherThreads(far);
        }
    }

    static void closeEndsBlockedCallsInOtherThreads(Wire far) throws Exception {
        String name = far.port();
        SerialPort port = open(far);
        try {
            // A read waits, and a large write fills a device that does not read. Where a
            // port takes one call at a time (Windows), the far end takes bytes as they
            // come instead, as a UART without handshake does: a write the device never
            // takes would hold such a port. The write is then under way, in pieces.
            // Elsewhere the device starts reading once the calls have ended: a
            // close delivers what was reported written, and a network port's close
            // waits for that.
            AtomicBoolean draining = new AtomicBoolean(true);
            // After the close it takes what is left, until the line is quiet: a
            // terminal server holds its client's session until its device took all.
            Thread drain = new Thread(() -> {
                while (far.receiveAny(1 << 16, draining.get() ? 10 : 300).length > 0 || draining.get()) {
                    continue;
                }
            });
            String noBlockedWrite = far.whyNoWriteWaits();
            boolean held = noBlockedWrite == null && far.holdTheSender();
            if (noBlockedWrite != null) System.out.println("SKIP a blocked write on " + name + ": " + noBlockedWrite);
            if (ONE_CALL_AT_A_TIME) drain.start();
            String[] outcome = new String[2];
            long[] ended = new long[2];
            // More than the device and the buffers on the way take: a network
            // port's socket buffers hold megabytes.
            int size = name.startsWith("rfc2217:") ? 8 << 20 : 1 << 20;
            Thread writer = new Thread(() -> {
                try {
                    port.write(new byte[size], 0, size);
                    outcome[0] = "wrote all";
                } catch (SerialPortException e) {
                    outcome[0] = e.getMessage();
                }
                ended[0] = System.nanoTime();
            });
            Thread reader = new Thread(() -> {
                try {
                    outcome[1] = Integer.toString(port.getInputStream().read(new byte[16], 0, 16));
                } catch (IOException e) {
                    outcome[1] = e.getMessage();
                }
                ended[1] = System.nanoTime();
            });
            if (noBlockedWrite == null) writer.start();
            reader.start();
            if (noBlockedWrite == null) awaitInside(writer, "commWrite");
            awaitInside(reader, "commRead");
            long closing = System.nanoTime();
            if (noBlockedWrite != null) ended[0] = closing;
            long[] closed = {0};
            Thread closer = new Thread(() -> {
                port.close();
                closed[0] = System.nanoTime();
            });
            closer.start();
            writer.join((long) (2000 * SCALE));
            reader.join((long) (2000 * SCALE));
            // Only then the device reads (a network port's close waits for that):
            // its work does not compete with the calls' ending for the CPU.
            if (held) far.releaseTheSender();
            if (!ONE_CALL_AT_A_TIME) drain.start();
            closer.join((long) (5000 * SCALE));
            assertFalse(closer.isAlive(), "the close did not return within 5 s");
            draining.set(false);
            drain.join();
            System.out.printf("close: the read ended %.1f ms after it, the write %.1f ms, close returned %.1f ms%n",
                    (ended[1] - closing) / 1e6, (ended[0] - closing) / 1e6, (closed[0] - closing) / 1e6);
            assertEquals(name + " was closed", outcome[1]);
            if (noBlockedWrite == null) assertTrue(outcome[0].matches(java.util.regex.Pattern.quote(name)
                    + " took [0-9]+ of " + size + " bytes: it was closed"), outcome[0]);
            assertTrue(ended[1] - closing < 100_000_000L * SCALE && ended[0] - closing < 100_000_000L * SCALE,
                    (ended[1] - closing) / 1e6 + " and " + (ended[0] - closing) / 1e6 + " ms");
        } finally {
            port.close();
        }
    }

    /** Two threads write a block each at once: each arrives whole, never cut into the other. */
    @Test
    void eachWriteArrivesAsOneBlock() throws Exception {
        Pty.freshPortDir();
        try (Pty far = new Pty()) {
            eachWriteArrivesAsOneBlock(far);
        }
    }

    static void eachWriteArrivesAsOneBlock(Wire far) throws Exception {
        try (SerialPort port = open(far)) {
            int size = 8192; // more than a terminal's or a UART's buffer: the writes wait for room
            for (int round = 0; round < 2; round++) {
                Thread[] writers = new Thread[2];
                for (int i = 0; i < 2; i++) {
                    byte[] block = new byte[size];
                    Arrays.fill(block, (byte) ('a' + i));
                    writers[i] = new Thread(() -> {
                        try {
                            port.write(block, 0, size);
                        } catch (SerialPortException e) {
                            throw new IllegalStateException(e);
                        }
                    });
                }
                for (Thread w : writers) w.start();
                String got = new String(far.receive(2 * size, (int) (10_000 * SCALE)), StandardCharsets.US_ASCII);
                for (Thread w : writers) w.join();
                String a = "a".repeat(size), b = "b".repeat(size);
                assertTrue(got.equals(a + b) || got.equals(b + a), got.length() + " bytes, the first 'b' at "
                        + got.indexOf('b') + ", the first 'a' at " + got.indexOf('a'));
            }
        }
    }

    /**
     * A listener gets every byte in order, messages whole however they arrive, on
     * its thread or an executor, one call at a time; its exceptions are reported
     * and delivery goes on; it is told once how the port ended; idle, it costs no CPU.
     */
    @Test
    void aListenerGetsWhatArrivesInOrderAndHearsTheEndOnce() throws Exception {
        Pty.freshPortDir();
        try (Pty far = new Pty()) {
            aListenerGetsWhatArrivesInOrderAndHearsTheEndOnce(far, true);
        }
    }

    /** The same; the far end hangs up at the end only when hangUp, else the port is closed. */
    static void aListenerGetsWhatArrivesInOrderAndHearsTheEndOnce(Wire far, boolean hangUp) throws Exception {
        java.util.concurrent.ExecutorService pool = java.util.concurrent.Executors.newFixedThreadPool(4);
        try {
            for (boolean onPool : new boolean[] {true, false}) {
                SerialPort port = open(far);
                java.util.concurrent.BlockingQueue<String> heard = new java.util.concurrent.LinkedBlockingQueue<>();
                java.util.concurrent.atomic.AtomicInteger inside = new java.util.concurrent.atomic.AtomicInteger();
                List<Throwable> reported = java.util.Collections.synchronizedList(new java.util.ArrayList<>());
                java.util.concurrent.Executor executor = onPool ? command -> pool.execute(() -> {
                    Thread.currentThread().setUncaughtExceptionHandler((t, e) -> reported.add(e));
                    command.run();
                }) : null;
                port.listen(new cz.qelvar.SerialPortListener() {
                    public void received(SerialPort p, byte[] data) {
                        enterOnce();
                        if (!onPool) Thread.currentThread().setUncaughtExceptionHandler((t, e) -> reported.add(e));
                        heard.add(new String(data, StandardCharsets.US_ASCII));
                        inside.decrementAndGet();
                        if (data[0] == '!') throw new IllegalStateException("the program's own fault");
                        if (data[0] == 'x') p.close(); // from inside a call
                    }

                    public void ended(SerialPort p, End why) {
                        enterOnce();
                        heard.add("END " + why);
                        inside.decrementAndGet();
                    }

                    void enterOnce() {
                        assertEquals(1, inside.incrementAndGet(), "two calls at once");
                        try {
                            Thread.sleep(1); // room for an overlap to show
                        } catch (InterruptedException e) {
                            throw new IllegalStateException(e);
                        }
                    }
                }, executor, (byte) '\n');
                assertThrows(IllegalStateException.class, () -> port.listen((p, d) -> {}, null));
                // Messages cut anywhere arrive whole and in order; one that throws does not stop them.
                String sent = "";
                for (int i = 0; i < 40; i++) {
                    String line = (i == 5 ? "!" : "") + "line " + i + " of forty\n";
                    sent += line;
                    far.send(line.substring(0, 3).getBytes(StandardCharsets.US_ASCII));
                    far.send(line.substring(3).getBytes(StandardCharsets.US_ASCII));
                }
                StringBuilder got = new StringBuilder();
                for (int i = 0; i < 40; i++) {
                    String line = heard.poll((long) (5000 * SCALE), TimeUnit.MILLISECONDS);
                    assertNotNull(line, "line " + i + " never came; so far: " + got);
                    assertTrue(line.endsWith("\n") && line.indexOf('\n') == line.length() - 1, line);
                    got.append(line);
                }
                assertEquals(sent, got.toString());
                for (long t = System.nanoTime(); reported.isEmpty() && millisSince(t) < 5000;) Thread.sleep(1);
                assertEquals(1, reported.size(), "the listener's exception reaches the uncaught-exception handler");
                // Idle, the listener's thread sleeps in the port.
                String threadName = "dorlesk-listener " + port.name();
                Thread listener = Thread.getAllStackTraces().keySet().stream()
                        .filter(t -> t.getName().equals(threadName)).findFirst().get();
                ThreadMXBean threads = ManagementFactory.getThreadMXBean();
                long before = threads.getThreadCpuTime(listener.getId());
                Thread.sleep(1000);
                long idle = threads.getThreadCpuTime(listener.getId()) - before;
                System.out.printf("a listener idle for 1 s used %.2f ms of CPU%n", idle / 1e6);
                assertTrue(idle < 10_000_000L * SCALE, idle / 1e6 + " ms");
                // The end is told once, last; a message it cut short comes before it
                // (sent in one piece with the line whose call closes the port).
                String how = "HUNG_UP";
                if (onPool) {
                    far.send("x\npartial".getBytes(StandardCharsets.US_ASCII));
                    assertEquals("x\n", heard.poll((long) (5000 * SCALE), TimeUnit.MILLISECONDS));
                    assertEquals("partial", heard.poll((long) (5000 * SCALE), TimeUnit.MILLISECONDS));
                    how = "CLOSED";
                } else if (!hangUp || far.hangUp() != null) {
                    port.close();
                    how = "CLOSED";
                }
                assertEquals("END " + how, heard.poll((long) (5000 * SCALE), TimeUnit.MILLISECONDS));
                port.close();
                assertNull(heard.poll(200, TimeUnit.MILLISECONDS), "told twice");
            }
        } finally {
            pool.shutdown();
        }
    }

    /** A write and the settings go out at once while a stream read waits in another thread. */
    @Test
    void callsBesideAWaitingReadGoAtOnce() throws Exception {
        Pty.freshPortDir();
        try (Pty far = new Pty()) {
            callsBesideAWaitingReadGoAtOnce(far);
        }
    }

    static void callsBesideAWaitingReadGoAtOnce(Wire far) throws Exception {
        try (SerialPort port = open(far)) {
            port.setReadTimeout(Duration.ofSeconds(3));
            List<String> names = List.of("write", "setLine", "setRTS", "setDTR");
            double[] took = new double[names.size() * 3];
            for (int round = 0; round < took.length; round++) {
                Thread reader = new Thread(() -> {
                    try {
                        port.getInputStream().read(new byte[16]);
                    } catch (IOException e) {
                        throw new IllegalStateException(e);
                    }
                });
                reader.start();
                awaitInside(reader, "commRead");
                long t = System.nanoTime();
                switch (names.get(round % names.size())) {
                    case "write":
                        port.write(new byte[] {'w'}, 0, 1);
                        assertEquals("w", new String(far.receive(1, 5000), StandardCharsets.US_ASCII));
                        break;
                    case "setLine":
                        port.setLine(far.rate(), "8N1");
                        break;
                    case "setRTS":
                        port.setRTS(round % 2 == 0);
                        break;
                    default:
                        port.setDTR(round % 2 == 0);
                }
                took[round] = (System.nanoTime() - t) / 1e6;
                far.send(new byte[] {'r'}); // the read takes it and ends
                reader.join(5000);
                assertFalse(reader.isAlive());
            }
            System.out.println("calls beside a waiting read (" + names + ", three rounds): " + Arrays.toString(took)
                    + " ms, median " + median(took));
            assertTrue(median(took) < 20 * SCALE, Arrays.toString(took));
            assertTrue(Arrays.stream(took).max().getAsDouble() < 1000 * SCALE, Arrays.toString(took));
        }
    }

    /** A read that waits sleeps: its thread spends next to no CPU. */
    @Test
    void aWaitingReadCostsNoCpu() throws Exception {
        Pty.freshPortDir();
        try (Pty far = new Pty()) {
            aWaitingReadCostsNoCpu(far);
        }
    }

    static void aWaitingReadCostsNoCpu(Wire far) throws Exception {
        try (SerialPort port = open(far)) {
            port.setReadTimeout(Duration.ofSeconds(2));
            ThreadMXBean threads = ManagementFactory.getThreadMXBean();
            long[] cpu = new long[1];
            Thread reader = new Thread(() -> {
                long before = threads.getCurrentThreadCpuTime();
                assertThrows(SerialPortTimeoutException.class, () -> port.getInputStream().read(new byte[16]));
                cpu[0] = threads.getCurrentThreadCpuTime() - before;
            });
            reader.start();
            reader.join();
            System.out.printf("a read waiting 2 s on a silent line used %.2f ms of CPU%n", cpu[0] / 1e6);
            assertTrue(cpu[0] > 0 && cpu[0] < 40_000_000L * SCALE, cpu[0] / 1e6 + " ms");
        }
    }

    /** term sends each key as it is typed, while its reader waits on the port. */
    @Test
    void termSendsEachKeyAtOnce() throws Exception {
        Pty.freshPortDir();
        try (Pty far = new Pty()) {
            far.linkAs("COM7");
            Process term = new ProcessBuilder("java", "-Djava.library.path=" + System.getProperty("java.library.path"),
                    "-Dcz.qelvar.SerialPort.oneCallAtATime=" + ONE_CALL_AT_A_TIME, "-cp",
                    System.getProperty("dorlesk.test.classpath"), "cz.qelvar.SerialTool", "term", "COM7")
                    .redirectOutput(ProcessBuilder.Redirect.DISCARD).start();
            BufferedReader said = new BufferedReader(new InputStreamReader(term.getErrorStream(), StandardCharsets.UTF_8));
            String hello = said.readLine();
            assertTrue(hello != null && hello.startsWith("Connected to COM7"), hello);
            double[] took = new double[10];
            for (int i = 0; i < took.length; i++) {
                Thread.sleep(30); // a typist's pace
                long t = System.nanoTime();
                term.getOutputStream().write('a' + i);
                term.getOutputStream().flush();
                assertEquals(String.valueOf((char) ('a' + i)), new String(far.receive(1, 5000), StandardCharsets.US_ASCII));
                took[i] = (System.nanoTime() - t) / 1e6;
            }
            term.getOutputStream().close();
            assertTrue(term.waitFor(10, TimeUnit.SECONDS));
            System.out.println("term: each key reached the port after " + Arrays.toString(took) + " ms, median "
                    + median(took));
            assertTrue(median(took) < 20, Arrays.toString(took));
        }
    }

    @Test
    void readsTimeOutHangUpAndTakeOffsets() throws Exception {
        Pty.freshPortDir();
        readsTimeOutHangUpAndTakeOffsets(new Pty());
    }

    static void readsTimeOutHangUpAndTakeOffsets(Wire far) throws Exception {
        String name = far.port();
        try (SerialPort port = SerialPort.open(name)) {
            InputStream in = port.getInputStream();
            port.setReadTimeout(Duration.ofMillis(200));
            long t = System.nanoTime();
            assertThrows(SerialPortTimeoutException.class, () -> in.read(new byte[8]));
            assertTrue(millisSince(t) >= 199 && millisSince(t) < 200 + 100 * SCALE, millisSince(t) + " ms");
            // The port's own read waits for the whole count, and keeps the time-out.
            byte[] b = "..........".getBytes(StandardCharsets.US_ASCII);
            far.send("abc".getBytes(StandardCharsets.US_ASCII));
            t = System.nanoTime();
            assertEquals(3, port.read(b, 4, 6));
            assertTrue(millisSince(t) >= 199 && millisSince(t) < 200 + 100 * SCALE, millisSince(t) + " ms");
            assertEquals("....abc...", new String(b, StandardCharsets.US_ASCII));
            // A stream read hands over what is there at once, into its offset.
            far.send("defgh".getBytes(StandardCharsets.US_ASCII));
            Thread.sleep((long) (50 * SCALE)); // five bytes take 0.4 ms at 115200 baud
            t = System.nanoTime();
            assertEquals(2, in.read(b, 1, 2));
            assertEquals(3, in.read(b, 3, 7));
            assertTrue(millisSince(t) < 100 * SCALE, millisSince(t) + " ms");
            assertEquals(".defghc...", new String(b, StandardCharsets.US_ASCII));
            port.write("xxxxyz".getBytes(StandardCharsets.US_ASCII), 4, 2);
            assertEquals("yz", new String(far.receive(2, 2000), StandardCharsets.US_ASCII));
            // One read takes pieces that arrive apart, whole and in order, within its time-out.
            port.setReadTimeout(Duration.ofMillis(1500));
            Thread device = new Thread(() -> {
                for (char c = 'A'; c < 'G'; c++) {
                    try {
                        Thread.sleep(15);
                    } catch (InterruptedException e) {
                        return;
                    }
                    char[] piece = new char[10];
                    Arrays.fill(piece, c);
                    far.send(new String(piece).getBytes(StandardCharsets.US_ASCII));
                }
            });
            device.start();
            byte[] whole = new byte[60];
            assertEquals(60, port.read(whole, 0, 60));
            device.join();
            assertEquals("AAAAAAAAAABBBBBBBBBBCCCCCCCCCCDDDDDDDDDDEEEEEEEEEEFFFFFFFFFF",
                    new String(whole, StandardCharsets.US_ASCII));
            port.setReadTimeout(Duration.ofMillis(200));
            // A part of a millisecond is a millisecond, not "no time-out".
            port.setReadTimeout(Duration.ofNanos(1));
            assertEquals(0, port.read(b, 0, 1));
            // The far end goes: a hang-up ends the stream, and the port's read says so.
            port.setReadTimeout(Duration.ofSeconds(5));
            String cannot = far.hangUp();
            if (cannot != null) {
                System.out.println("SKIP hang-up on " + name + ": " + cannot);
                return;
            }
            t = System.nanoTime();
            assertEquals(-1, in.read());
            assertEquals(name + " hung up or failed", assertThrows(SerialPortException.class,
                    () -> port.read(b, 0, 4)).getMessage());
            assertTrue(millisSince(t) < 1000 * SCALE, millisSince(t) + " ms");
        } finally {
            far.close();
        }
    }

    /** A line-oriented device: each line is handed over as it arrives, not at the time-out. */
    @Test
    void readLineHandsOverEachLineAsItArrives() throws Exception {
        Pty.freshPortDir();
        try (Pty far = new Pty()) {
            readLineHandsOverEachLineAsItArrives(far);
        }
    }

    static void readLineHandsOverEachLineAsItArrives(Wire far) throws Exception {
        try (SerialPort port = open(far)) {
            port.setReadTimeout(Duration.ofSeconds(2));
            BufferedReader lines = new BufferedReader(new InputStreamReader(port.getInputStream(), StandardCharsets.US_ASCII));
            int count = 60;
            long[] sent = new long[count];
            Thread device = new Thread(() -> {
                for (int i = 0; i < count; i++) {
                    try {
                        Thread.sleep(10);
                    } catch (InterruptedException e) {
                        return;
                    }
                    sent[i] = System.nanoTime();
                    far.send(("reading " + i + " 23.5 V\r\n").getBytes(StandardCharsets.US_ASCII));
                }
            });
            device.start();
            double[] late = new double[count];
            for (int i = 0; i < count; i++) {
                assertEquals("reading " + i + " 23.5 V", lines.readLine());
                late[i] = (System.nanoTime() - sent[i]) / 1e6;
            }
            device.join();
            Arrays.sort(late);
            System.out.printf("readLine latency: median %.2f ms, p90 %.2f ms, max %.2f ms%n",
                    late[count / 2], late[count * 9 / 10], late[count - 1]);
            // The figure to watch is the median (make bench gives it): here the
            // bounds only catch lines held to the time-out (2 s), which a loaded
            // machine never explains.
            assertTrue(late[count / 2] < 20 * SCALE, Arrays.toString(late));
            assertTrue(late[count * 9 / 10] < 200 * SCALE, Arrays.toString(late));
        }
    }

    static SerialPort open(Wire far) throws Exception {
        SerialPort port = SerialPort.open(far.port());
        port.setLine(far.rate(), "8N1");
        return port;
    }
}
