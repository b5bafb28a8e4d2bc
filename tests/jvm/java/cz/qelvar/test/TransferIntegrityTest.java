package cz.qelvar.test;

import static org.junit.jupiter.api.Assertions.*;

import cz.qelvar.Serial;
import java.io.ByteArrayOutputStream;
import java.nio.ByteBuffer;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.BitSet;
import java.util.List;
import java.util.concurrent.atomic.AtomicReference;
import org.junit.jupiter.api.Test;

/** A byte reported written arrives, and one call moves one contiguous block. */
class TransferIntegrityTest {
    /** Everything the far end receives until total bytes have come, or none for a second. */
    static Thread collect(Pty far, int total, int delayMs, ByteArrayOutputStream into) {
        Thread t = new Thread(() -> {
            try {
                Thread.sleep(delayMs);
            } catch (InterruptedException e) {
                return;
            }
            while (into.size() < total) {
                byte[] got = far.receiveAny(65536, 1000);
                if (got.length == 0) break;
                into.write(got, 0, got.length);
            }
        });
        t.start();
        return t;
    }

    static void runAll(List<Thread> threads, AtomicReference<Throwable> failure) throws Exception {
        for (Thread t : threads) {
            t.setUncaughtExceptionHandler((th, e) -> failure.compareAndSet(null, e));
            t.start();
        }
        for (Thread t : threads) t.join();
        if (failure.get() != null) throw new AssertionError(failure.get());
    }

    @Test
    void bytesReportedWrittenSurviveAnImmediateClose() throws Exception {
        for (int size : new int[] {10, 100, 1000, 5000}) {
            try (Pty far = new Pty()) {
                int h = Serial.commOpen(far.slave);
                assertNotEquals(-1, h);
                byte[] data = new byte[size];
                for (int i = 0; i < size; i++) data[i] = (byte) (i * 31 + 7);
                ByteArrayOutputStream got = new ByteArrayOutputStream();
                Thread reader = collect(far, size, 300, got); // the far end reads late
                assertEquals(size, Serial.commWrite(h, data, size));
                assertEquals(0, Serial.commClose(h));
                reader.join();
                assertArrayEquals(data, got.toByteArray(), size + " bytes written, then closed");
            }
        }
    }

    @Test
    void twoThreadsWritingOneHandleNeverSplitABlock() throws Exception {
        final int block = 65536, blocksEach = 12;
        try (Pty far = new Pty()) {
            int h = Serial.commOpen(far.slave);
            assertNotEquals(-1, h);
            int total = 2 * blocksEach * block;
            ByteArrayOutputStream got = new ByteArrayOutputStream();
            Thread reader = collect(far, total, 0, got);
            AtomicReference<Throwable> failure = new AtomicReference<>();
            List<Thread> writers = new ArrayList<>();
            for (int w = 0; w < 2; w++) {
                int first = 1 + 100 * w;
                writers.add(new Thread(() -> {
                    for (int b = 0; b < blocksEach; b++) {
                        byte[] data = new byte[block];
                        Arrays.fill(data, (byte) (first + b)); // a block says whose it is
                        assertEquals(block, Serial.commWrite(h, data, block));
                    }
                }));
            }
            runAll(writers, failure);
            reader.join();
            Serial.commClose(h);
            byte[] stream = got.toByteArray();
            assertEquals(total, stream.length);
            for (int at = 0; at < total; at += block) {
                for (int i = at; i < at + block; i++) {
                    if (stream[i] != stream[at]) fail("the block at " + at + " was split at " + i);
                }
            }
        }
    }

    @Test
    void twoThreadsReadingOneHandleEachTakeAContiguousRun() throws Exception {
        final int chunk = 4096, chunksEach = 64, counters = 2 * chunksEach * chunk / 4;
        try (Pty far = new Pty()) {
            int h = Serial.commOpen(far.slave);
            assertNotEquals(-1, h);
            assertEquals(1, Serial.commSetTimeout(h, 5000));
            BitSet seen = new BitSet();
            AtomicReference<Throwable> failure = new AtomicReference<>();
            List<Thread> threads = new ArrayList<>();
            for (int r = 0; r < 2; r++) {
                threads.add(new Thread(() -> {
                    byte[] buf = new byte[chunk];
                    // A broken run is noted and the reading goes on, so that the
                    // far end can send everything and the test ends.
                    for (int c = 0; c < chunksEach; c++) {
                        int n = Serial.commRead(h, buf, chunk);
                        ByteBuffer in = ByteBuffer.wrap(buf);
                        int start = in.getInt(0);
                        String broken = n != chunk ? "a read ended with " + n + " bytes"
                                : start % (chunk / 4) != 0 ? "a read began inside another's run"
                                : null;
                        for (int i = 0; broken == null && i < chunk / 4; i++) {
                            if (in.getInt(4 * i) != start + i) broken = "a read's run has a gap";
                        }
                        if (broken != null) {
                            failure.compareAndSet(null, new AssertionError(broken));
                        } else {
                            synchronized (seen) {
                                seen.set(start / (chunk / 4));
                            }
                        }
                    }
                }));
            }
            threads.add(new Thread(() -> {
                ByteBuffer out = ByteBuffer.allocate(4 * counters);
                for (int i = 0; i < counters; i++) out.putInt(i);
                far.send(out.array());
            }));
            runAll(threads, failure);
            Serial.commClose(h);
            assertEquals(2 * chunksEach, seen.cardinality());
        }
    }

    @Test
    void aQueuedReadsTimeOutCountsFromItsCall() throws Exception {
        try (Pty far = new Pty()) {
            int h = Serial.commOpen(far.slave);
            assertNotEquals(-1, h);
            assertEquals(1, Serial.commSetTimeout(h, 500));
            long[] took = new long[6];
            List<Thread> readers = new ArrayList<>();
            for (int i = 0; i < took.length; i++) {
                int me = i;
                readers.add(new Thread(() -> {
                    long start = System.nanoTime();
                    assertEquals(0, Serial.commRead(h, new byte[10], 10));
                    took[me] = (System.nanoTime() - start) / 1000000;
                }));
            }
            runAll(readers, new AtomicReference<>());
            for (long ms : took) assertTrue(ms >= 495 && ms < 700, "six reads of 500 ms took " + Arrays.toString(took));
            // Behind a read that waits for ever, a timed one still ends on time.
            assertEquals(1, Serial.commSetTimeout(h, 0));
            Thread forever = new Thread(() -> Serial.commRead(h, new byte[4], 4));
            forever.start();
            Thread.sleep(100);
            assertEquals(1, Serial.commSetTimeout(h, 200));
            long start = System.nanoTime();
            assertEquals(0, Serial.commRead(h, new byte[4], 4));
            long ms = (System.nanoTime() - start) / 1000000;
            Serial.commClose(h);
            forever.join();
            assertTrue(ms >= 195 && ms < 400, "a 200 ms read behind an endless one took " + ms + " ms");
        }
    }
}
