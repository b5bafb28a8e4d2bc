package cz.qelvar.test;

import static org.junit.jupiter.api.Assertions.*;

import com.sun.management.OperatingSystemMXBean;
import cz.qelvar.Serial;
import java.io.IOException;
import java.lang.management.ManagementFactory;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.Random;
import java.util.concurrent.CountDownLatch;
import java.util.concurrent.atomic.AtomicBoolean;
import java.util.concurrent.atomic.AtomicLong;
import java.util.concurrent.atomic.AtomicReference;
import java.util.zip.CRC32;
import org.junit.jupiter.api.Test;

/** Hostile calls, many threads, hang-ups and long runs: nothing lost, nothing leaked, no crash. */
class TortureTest {
    static double ms(long nanos) {
        return nanos / 1e6;
    }

    static long processCpuNanos() {
        return ((OperatingSystemMXBean) ManagementFactory.getOperatingSystemMXBean()).getProcessCpuTime();
    }

    static volatile String echoFailed;

    /** A far end that echoes everything back until stopped, counting what it echoed. */
    static Thread echo(Pty far, AtomicBoolean stop, AtomicLong echoed) {
        Thread t = new Thread(() -> {
            try {
                while (!stop.get()) {
                    byte[] got = far.receiveAny(65536, 50);
                    if (got.length > 0) far.send(got);
                    echoed.addAndGet(got.length);
                }
            } catch (RuntimeException | Error e) {
                echoFailed = e.toString(); // a far end that stopped echoing, and why
            }
        });
        t.setDaemon(true);
        t.start();
        return t;
    }

    @Test
    void everyBadCallAnswersItsDocumentedValue() throws Exception {
        Pty.freshPortDir();
        try (Pty far = new Pty()) {
            far.linkAs("COM4");
            int open = Serial.commOpen("COM4");
            assertNotEquals(-1, open);
            int closed = Serial.commOpen(far.slave);
            assertEquals(-1, closed); // held
            Serial.commClose(open);
            closed = open;
            byte[] buf = new byte[8];
            String[] names = {null, "", "x".repeat(95), "x".repeat(96), "x".repeat(4096),
                "COM\u00e9", "\u00e9\u6f22\ud83d\ude00", "COM4\u0000", "../../etc/passwd", "COM-1",
                "COM99999999999", "\\\\.\\COM4"};
            for (String name : names) {
                assertEquals(-1, Serial.commOpen(name), "open " + name);
            }
            // Numbers that were never a port: among them the JVM's own
            // descriptors, which must not be written, read or closed.
            int[] handles = {-1, 0, 1, 2, 3, 5, 10, 64, 1000, 123456, Integer.MAX_VALUE,
                Integer.MIN_VALUE, closed};
            for (int h : handles) {
                String at = "handle " + h;
                assertEquals(0, Serial.commRead(h, buf, 8), at);
                assertEquals(0, Serial.commWrite(h, buf, 8), at);
                assertEquals(0, Serial.commRead(h, buf, -1), at);
                assertEquals(0, Serial.commRead(h, null, 8), at);
                assertEquals(0, Serial.commWrite(h, null, 8), at);
                assertEquals(0, Serial.commWrite(h, buf, Integer.MIN_VALUE), at);
                assertEquals(h == -1 ? -1 : 0, Serial.commSetBaud(h, "9600", "8N1"), at);
                assertEquals(h == -1 ? -1 : 0, Serial.commSetBaud(h, null, null), at);
                assertEquals(h == 0 ? 0 : 1, Serial.commSetTimeout(h, Long.MIN_VALUE), at);
                assertEquals(0, Serial.commRTS(h, true), at);
                assertEquals(0, Serial.commDTR(h, false), at);
                assertTrue(Serial.commRI(h) && Serial.commDCD(h), at);
                assertEquals(0, Serial.commClose(h), at);
            }
            // The JVM still has its own descriptors.
            Path probe = Files.createTempFile("dorlesk", ".txt");
            Files.writeString(probe, "still here");
            assertEquals("still here", Files.readString(probe));
            Files.delete(probe);
            System.out.println("stdout still works");

            int h = Serial.commOpen("COM4");
            assertNotEquals(-1, h);
            assertEquals(0, Serial.commRead(h, buf, 0));
            assertEquals(0, Serial.commRead(h, new byte[0], 8));
            Serial.commSetTimeout(h, 100);
            far.send("abc".getBytes());
            assertEquals(3, Serial.commRead(h, buf, Integer.MAX_VALUE)); // past the array: bounded
            assertEquals(8, Serial.commWrite(h, buf, Integer.MAX_VALUE));
            assertEquals(8, far.receive(100, 1000).length);
            Serial.commClose(h);
        }
    }

    @Test
    void sixteenThreadsOnSixteenPortsLoseAndCrossNothing() throws Exception {
        final int ports = 16;
        final long runNanos = 20_000_000_000L;
        AtomicBoolean stop = new AtomicBoolean();
        AtomicLong moved = new AtomicLong();
        AtomicReference<String> failure = new AtomicReference<>();
        List<Pty> fars = new ArrayList<>();
        List<Thread> threads = new ArrayList<>();
        for (int p = 0; p < ports; p++) {
            Pty far = new Pty();
            fars.add(far);
            AtomicLong echoed = new AtomicLong();
            echo(far, stop, echoed);
            int id = p;
            Thread client = new Thread(() -> {
                int h = Serial.commOpen(far.slave);
                if (h == -1) {
                    failure.compareAndSet(null, "port " + id + " did not open");
                    return;
                }
                Serial.commSetBaud(h, "115200", "8N1");
                Serial.commSetTimeout(h, 2000);
                Random random = new Random(id);
                long end = System.nanoTime() + runNanos;
                long written = 0;
                while (System.nanoTime() < end && failure.get() == null) {
                    byte[] out = new byte[1 + random.nextInt(4096)];
                    random.nextBytes(out);
                    out[0] = (byte) id; // every chunk says whose it is
                    if (Serial.commWrite(h, out, out.length) != out.length) {
                        failure.compareAndSet(null, "port " + id + ": short write");
                        break;
                    }
                    written += out.length;
                    byte[] in = new byte[out.length];
                    int got = 0;
                    long lastRead = 0;
                    while (got < out.length) {
                        byte[] part = new byte[out.length - got];
                        long t = System.nanoTime();
                        int n = Serial.commRead(h, part, part.length);
                        lastRead = (System.nanoTime() - t) / 1_000_000;
                        if (n == 0) break;
                        System.arraycopy(part, 0, in, got, n);
                        got += n;
                    }
                    if (!Arrays.equals(out, in)) {
                        // Late or lost: what a further wait brings, and how far the far end got.
                        int rest = out.length - got;
                        int late = rest > 0 ? Serial.commRead(h, new byte[rest], rest) : 0;
                        failure.compareAndSet(null, "port " + id + ": " + got + " of " + out.length
                                + " bytes came back, or not in order (the last read took " + lastRead + " ms, and "
                                + late + " more came in a further 2 s; the far end echoed " + echoed.get() + " of the "
                                + written + " bytes written; an echoing far end failed: " + echoFailed + ")");
                        break;
                    }
                    moved.addAndGet(2L * out.length);
                }
                Serial.commClose(h);
            });
            threads.add(client);
        }
        threads.forEach(Thread::start);
        for (Thread t : threads) t.join(runNanos / 1_000_000 + 30_000);
        stop.set(true);
        fars.forEach(Pty::close);
        assertNull(failure.get());
        System.out.printf("16 threads, 16 ports, 20 s: %d bytes written and read back intact%n",
                moved.get());
        assertTrue(moved.get() > 0);
    }

    /**
     * Waits until some thread of this process sleeps in ppoll (syscall 271 on
     * x86-64), which among the JVM's threads only a blocked read does.
     */
    static boolean awaitThreadBlockedInPoll() throws Exception {
        long end = System.nanoTime() + 2_000_000_000L;
        while (System.nanoTime() < end) {
            try (var tasks = Files.list(Path.of("/proc/self/task"))) {
                for (Path task : (Iterable<Path>) tasks::iterator) {
                    try {
                        if (Files.readString(task.resolve("syscall")).startsWith("271 ")) return true;
                    } catch (IOException e) {
                        // the thread has ended
                    }
                }
            }
            Thread.sleep(1);
        }
        return false;
    }

    @Test
    void aCloseDuringABlockedReadEndsItPromptlyAThousandTimes() throws Exception {
        Pty.freshPortDir();
        try (Pty far = new Pty()) {
            far.linkAs("COM6");
            long worst = 0;
            for (int i = 0; i < 1000; i++) {
                int h = Serial.commOpen("COM6");
                assertNotEquals(-1, h, "open " + i);
                Serial.commSetTimeout(h, 0); // the read would wait for ever
                int[] result = {-7};
                long[] ended = {0};
                CountDownLatch started = new CountDownLatch(1);
                Thread reader = new Thread(() -> {
                    started.countDown();
                    result[0] = Serial.commRead(h, new byte[16], 16);
                    ended[0] = System.nanoTime();
                });
                reader.start();
                // A read that has not begun when the port closes would start
                // on a plain number that the reopen below may hand out again:
                // wait until it is blocked.
                started.await();
                assertTrue(awaitThreadBlockedInPoll(), "the read never blocked, round " + i);
                long start = System.nanoTime();
                Serial.commClose(h);
                // A new open and fresh bytes: they must reach the new handle only.
                int next = Serial.commOpen("COM6");
                assertNotEquals(-1, next, "reopen " + i);
                far.send(new byte[] {(byte) i, 1, 2, 3});
                reader.join(1000);
                assertFalse(reader.isAlive(), "reader " + i + " still blocked");
                assertEquals(0, result[0], "the old read took bytes, round " + i);
                worst = Math.max(worst, ended[0] - start);
                Serial.commSetTimeout(next, 1000);
                byte[] got = new byte[4];
                assertEquals(4, Serial.commRead(next, got, 4), "round " + i);
                assertEquals((byte) i, got[0]);
                Serial.commClose(next);
            }
            System.out.printf("1000 closes during a blocked read: slowest return %.1f ms%n", ms(worst));
            assertTrue(ms(worst) < 100, "slowest " + ms(worst) + " ms");
        }
    }

    @Test
    void aHangUpEndsReadsAndWritesAndLeavesTheProcessIdle() throws Exception {
        Pty far = new Pty();
        int h = Serial.commOpen(far.slave);
        assertNotEquals(-1, h);
        Serial.commSetTimeout(h, 0);
        long[] readEnded = {0}, writeEnded = {0};
        int[] counts = {-1, -1};
        Thread reader = new Thread(() -> {
            counts[0] = Serial.commRead(h, new byte[1 << 16], 1 << 16);
            readEnded[0] = System.nanoTime();
        });
        Thread writer = new Thread(() -> {
            byte[] big = new byte[16 << 20]; // far more than the terminal buffers
            counts[1] = Serial.commWrite(h, big, big.length);
            writeEnded[0] = System.nanoTime();
        });
        reader.start();
        writer.start();
        far.send("xy".getBytes());
        Thread.sleep(300);
        long start = System.nanoTime();
        far.close();
        reader.join(2000);
        writer.join(2000);
        assertFalse(reader.isAlive() || writer.isAlive(), "a call is still blocked after the hang-up");
        System.out.printf("after the hang-up: read returned %d in %.1f ms, write %d in %.1f ms%n",
                counts[0], ms(readEnded[0] - start), counts[1], ms(writeEnded[0] - start));
        assertTrue(ms(readEnded[0] - start) < 100 && ms(writeEnded[0] - start) < 100);
        assertTrue(counts[1] >= 0 && counts[1] < 16 << 20);
        // Calls on the dead line return at once, and nothing spins afterwards.
        long t = System.nanoTime();
        assertEquals(0, Serial.commRead(h, new byte[4], 4));
        assertTrue(ms(System.nanoTime() - t) < 50);
        long cpu = processCpuNanos();
        Thread.sleep(1000);
        double cpuMs = ms(processCpuNanos() - cpu);
        System.out.printf("process CPU in the second after the hang-up: %.1f ms%n", cpuMs);
        assertTrue(cpuMs < 50, "cpu " + cpuMs);
        Serial.commClose(h);
    }

    @Test
    void twoHundredFiftySixMebibytesEachWayArriveIntact() throws Exception {
        final long total = 256L << 20;
        try (Pty far = new Pty()) {
            int h = Serial.commOpen(far.slave);
            assertNotEquals(-1, h);
            Serial.commSetBaud(h, "115200", "8N1");
            Serial.commSetTimeout(h, 5000);
            CRC32 sentToFar = new CRC32(), gotAtFar = new CRC32();
            CRC32 sentToUs = new CRC32(), gotHere = new CRC32();
            AtomicReference<String> failure = new AtomicReference<>();
            long start = System.nanoTime();
            Thread writer = new Thread(() -> {
                Random r = new Random(1);
                byte[] chunk = new byte[65536];
                for (long done = 0; done < total; done += chunk.length) {
                    r.nextBytes(chunk);
                    sentToFar.update(chunk);
                    if (Serial.commWrite(h, chunk, chunk.length) != chunk.length) {
                        failure.compareAndSet(null, "short write at " + done);
                        return;
                    }
                }
            });
            Thread farReader = new Thread(() -> {
                for (long done = 0; done < total; ) {
                    byte[] got = far.receiveAny(65536, 5000);
                    if (got.length == 0) {
                        failure.compareAndSet(null, "the far end stalled at " + done);
                        return;
                    }
                    gotAtFar.update(got);
                    done += got.length;
                }
            });
            Thread farWriter = new Thread(() -> {
                Random r = new Random(2);
                byte[] chunk = new byte[65536];
                for (long done = 0; done < total; done += chunk.length) {
                    r.nextBytes(chunk);
                    sentToUs.update(chunk);
                    far.send(chunk);
                }
            });
            writer.start();
            farReader.start();
            farWriter.start();
            byte[] buf = new byte[65536];
            for (long done = 0; done < total && failure.get() == null; ) {
                int n = Serial.commRead(h, buf, (int) Math.min(buf.length, total - done));
                if (n == 0) {
                    failure.compareAndSet(null, "the read stalled at " + done);
                    break;
                }
                gotHere.update(buf, 0, n);
                done += n;
            }
            writer.join();
            farReader.join();
            farWriter.join();
            double seconds = (System.nanoTime() - start) / 1e9;
            Serial.commClose(h);
            assertNull(failure.get());
            assertEquals(sentToFar.getValue(), gotAtFar.getValue(), "written bytes");
            assertEquals(sentToUs.getValue(), gotHere.getValue(), "read bytes");
            System.out.printf("256 MiB each way through one port in %.1f s, CRC-32 equal%n", seconds);
        }
    }

    /**
     * What each open descriptor of the kinds the library opens (devices,
     * eventfds) refers to; the JVM's own jars, pipes and sockets come and go.
     */
    static List<String> openDescriptors() throws IOException {
        List<String> targets = new ArrayList<>();
        try (var fds = Files.list(Path.of("/proc/self/fd"))) {
            for (Path fd : (Iterable<Path>) fds::iterator) {
                try {
                    String target = Files.readSymbolicLink(fd).toString();
                    if (target.startsWith("/dev/") || target.startsWith("anon_inode:")) targets.add(target);
                } catch (IOException e) {
                    // the listing's own descriptor, gone by now
                }
            }
        }
        targets.sort(null);
        return targets;
    }

    static long residentKiB() throws IOException {
        for (String line : Files.readAllLines(Path.of("/proc/self/status"))) {
            if (line.startsWith("VmRSS:")) return Long.parseLong(line.replaceAll("\\D", ""));
        }
        return -1;
    }

    @Test
    void aHundredThousandOpensAndClosesLeakNothing() throws Exception {
        try (Pty far = new Pty()) {
            for (int i = 0; i < 2000; i++) Serial.commClose(Serial.commOpen(far.slave)); // warm up
            System.gc();
            List<String> fds = openDescriptors();
            long rss = residentKiB();
            long start = System.nanoTime();
            for (int i = 0; i < 100_000; i++) {
                int h = Serial.commOpen(far.slave);
                // Seen once in some thirty runs, not reproduced since: say what the port was then.
                if (h == -1) fail("open " + i + " failed: " + cz.qelvar.SerialDiagnostics.explain(far.slave));
                Serial.commClose(h);
            }
            double seconds = (System.nanoTime() - start) / 1e9;
            System.gc();
            List<String> fdsAfter = openDescriptors();
            long rssAfter = residentKiB();
            System.out.printf("100000 open/close cycles in %.1f s: descriptors %d -> %d,"
                    + " resident %d KiB -> %d KiB%n", seconds, fds.size(), fdsAfter.size(), rss, rssAfter);
            assertEquals(fds, fdsAfter);
            assertTrue(rssAfter - rss < 8 * 1024, "resident memory grew by " + (rssAfter - rss) + " KiB");
        }
    }
}
