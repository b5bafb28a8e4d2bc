package cz.qelvar.test;

import static org.junit.jupiter.api.Assertions.*;

import cz.qelvar.Serial;
import cz.qelvar.SerialDiagnostics;
import java.lang.management.ManagementFactory;
import java.lang.management.ThreadMXBean;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.util.Arrays;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.BeforeEach;
import org.junit.jupiter.api.Test;

/** Opening, settings, transfer and lines through the real JVM, over pseudo-terminals. */
class PortAccessTest {
    Pty far;
    int h = -1;

    @BeforeEach
    void open() throws Exception {
        Pty.freshPortDir();
        far = new Pty();
        far.linkAs("COM7");
        h = Serial.commOpen("COM7");
        assertNotEquals(-1, h);
    }

    @AfterEach
    void close() {
        if (h != -1) Serial.commClose(h);
        far.close();
    }

    static byte[] filled(int n, char c) {
        byte[] b = new byte[n];
        Arrays.fill(b, (byte) c);
        return b;
    }

    @Test
    void aPortIsHeldExclusivelyUntilClosed() {
        assertEquals(-1, Serial.commOpen("COM7"));
        assertEquals(-1, Serial.commOpen(far.slave)); // the same device by path
        assertEquals(0, Serial.commClose(h));
        h = Serial.commOpen("com7"); // COM matched without regard to case
        assertNotEquals(-1, h);
    }

    @Test
    void namesThatNameNoPortAreRefused() {
        assertEquals(-1, Serial.commOpen("COM8"));
        assertEquals(-1, Serial.commOpen(null));
        assertEquals(-1, Serial.commOpen(""));
        assertEquals(-1, Serial.commOpen("/dev/null"));
        assertEquals(-1, Serial.commOpen("x".repeat(96)));
        assertEquals(-1, Serial.commOpen("/dev/" + "\u00e9".repeat(2000)));
    }

    /** The command line maps COM names as the library does: one list for both. */
    @Test
    void comNamesMapAsTheLibraryMapsThem() throws Exception {
        String[] names = {"COM1", "com12", "COM123456789", "COM999999999", "COM1234567890", "COM0",
            "COM012", "COM4294967297", "COM 5", "COM5x", "COM", "LPT1"};
        try (Pty other = new Pty()) {
            // Every number a side could read is linked, so only the mapping decides.
            for (String name : names) {
                if (!name.matches("(?i)COM[0-9]{1,18}")) continue;
                Path link = Pty.portDir().resolve("COM" + Long.parseLong(name.substring(3)));
                if (!Files.exists(link, java.nio.file.LinkOption.NOFOLLOW_LINKS)) {
                    Files.createSymbolicLink(link, Paths.get(other.slave));
                }
            }
            for (String name : names) {
                int port = Serial.commOpen(name);
                Serial.commClose(port);
                assertEquals(SerialDiagnostics.devicePath(name) != null, port != -1, name);
            }
        }
    }

    @Test
    void longPathsAndNamesOutsideTheBasicPlaneOpen() throws Exception {
        try (Pty other = new Pty()) {
            Path dir = Files.createDirectories(Pty.portDir().resolve("by-id"));
            Path[] links = {
                dir.resolve("usb-Silicon_Labs_CP2102N_USB_to_UART_Bridge_Controller_"
                        + "0123456789abcdef0123456789abcdef-if00-port0"),
                dir.resolve("port-\ud83d\ude00")};
            for (Path link : links) {
                Files.createSymbolicLink(link, Paths.get(other.slave));
                int port = Serial.commOpen(link.toString());
                assertNotEquals(-1, port, link.toString());
                Serial.commClose(port);
            }
            assertTrue(links[0].toString().length() > 95);
            // Near the system's limit in the bytes it takes, longer in the VM's
            // modified UTF-8 (six bytes, not four, for each of these characters).
            Path deep = dir;
            while (deep.toString().getBytes(StandardCharsets.UTF_8).length < 3800) {
                deep = deep.resolve("\ud83d\ude00".repeat(60));
            }
            Files.createDirectories(deep);
            Path far = deep.resolve("port");
            Files.createSymbolicLink(far, Paths.get(other.slave));
            int bytes = far.toString().getBytes(StandardCharsets.UTF_8).length;
            assertTrue(bytes < 4096 && bytes * 3 / 2 > 4096, bytes + " bytes");
            int port = Serial.commOpen(far.toString());
            assertNotEquals(-1, port, bytes + " bytes of UTF-8");
            Serial.commClose(port);
            // An embedded NUL must not cut the name short into one that opens.
            assertEquals(-1, Serial.commOpen(links[1] + "\u0000x"));
        }
    }

    @Test
    void setBaudResults() {
        assertNotEquals(0, Serial.commSetBaud(h, "9600", "8N1"));
        assertNotEquals(0, Serial.commSetBaud(h, "115200", "7e2"));
        assertNotEquals(0, Serial.commSetBaud(h, "4800", "8N1")); // rate kept, rest applied
        assertNotEquals(0, Serial.commSetBaud(h, null, null));
        assertEquals(0, Serial.commSetBaud(h, "9600", "9N1")); // the driver refuses 9 bits
        // The format counts in the VM's modified UTF-8 bytes, not characters: the
        // euro sign alone is three bytes, 178 data bits; NUL takes two bytes.
        assertEquals(0, Serial.commSetBaud(h, "9600", "\u20ac"));
        assertEquals(0, Serial.commSetBaud(h, "9600", "9\u0000"));
        assertNotEquals(0, Serial.commSetBaud(h, "9600", "7\u0000"));
        assertEquals(-1, Serial.commSetBaud(-1, "9600", "8N1"));
        int closed = h;
        Serial.commClose(h);
        h = -1;
        assertEquals(0, Serial.commSetBaud(closed, "9600", "8N1"));
    }

    @Test
    void bytesWrittenArriveAndTheArrayIsUnchanged() {
        byte[] data = "0123456789abcdef".getBytes();
        byte[] copy = data.clone();
        assertEquals(16, Serial.commWrite(h, data, 16));
        assertArrayEquals(copy, far.receive(16, 1000));
        assertArrayEquals(copy, data);
        assertEquals(0, Serial.commWrite(h, data, 0));
        assertEquals(0, Serial.commWrite(h, data, -1));
        assertEquals(0, Serial.commWrite(h, null, 4));
        assertEquals(0, Serial.commWrite(-1, data, 16));
        // Never past the array: the count says what went.
        assertEquals(16, Serial.commWrite(h, data, 1 << 20));
        assertArrayEquals(copy, far.receive(64, 300));
    }

    @Test
    void aSilentLineTimesOutOnTimeAndIdle() {
        assertEquals(1, Serial.commSetTimeout(h, 500));
        byte[] buf = filled(10, 'z');
        ThreadMXBean mx = ManagementFactory.getThreadMXBean();
        long cpu = mx.getCurrentThreadCpuTime();
        long start = System.nanoTime();
        assertEquals(0, Serial.commRead(h, buf, 10));
        double ms = (System.nanoTime() - start) / 1e6;
        double cpuMs = (mx.getCurrentThreadCpuTime() - cpu) / 1e6;
        assertTrue(ms >= 500 && ms < 550, "elapsed " + ms);
        assertTrue(cpuMs < 5, "cpu " + cpuMs);
        assertArrayEquals(filled(10, 'z'), buf);
    }

    @Test
    void aReadReturnsWhatArrivedAndLeavesTheRestOfTheArray() {
        Serial.commSetTimeout(h, 500);
        far.send("abcd".getBytes());
        byte[] buf = filled(10, 'z');
        long start = System.nanoTime();
        assertEquals(4, Serial.commRead(h, buf, 10));
        assertTrue((System.nanoTime() - start) / 1e6 >= 500);
        assertArrayEquals("abcdzzzzzz".getBytes(), buf);
    }

    @Test
    void aReadLongerThanTheArrayTakesOnlyWhatFitsAndLosesNothing() {
        Serial.commSetTimeout(h, 300);
        far.send("0123456789".getBytes());
        byte[] small = new byte[4];
        assertEquals(4, Serial.commRead(h, small, 10));
        assertArrayEquals("0123".getBytes(), small);
        byte[] rest = new byte[6];
        assertEquals(6, Serial.commRead(h, rest, 6));
        assertArrayEquals("456789".getBytes(), rest);
        assertEquals(0, Serial.commRead(h, rest, 0));
        assertEquals(0, Serial.commRead(h, rest, -3));
        assertEquals(0, Serial.commRead(h, null, 3));
    }

    @Test
    void aTimeOutOfZeroWaitsForTheFullCount() throws Exception {
        Serial.commSetTimeout(h, 0);
        Thread sender = new Thread(() -> {
            far.send("ab".getBytes());
            try {
                Thread.sleep(300);
            } catch (InterruptedException e) {
                return;
            }
            far.send("cd".getBytes());
        });
        sender.start();
        byte[] buf = new byte[4];
        long start = System.nanoTime();
        assertEquals(4, Serial.commRead(h, buf, 4));
        assertTrue((System.nanoTime() - start) / 1e6 >= 290);
        sender.join();
        assertArrayEquals("abcd".getBytes(), buf);
    }

    @Test
    void timeOutRefusalsFollowTheHandle() {
        assertEquals(0, Serial.commSetTimeout(0, 500));
        assertEquals(1, Serial.commSetTimeout(-1, 500));
        assertEquals(1, Serial.commSetTimeout(h, 0x1_0000_0014L)); // low 32 bits: 20 ms
        long start = System.nanoTime();
        assertEquals(0, Serial.commRead(h, new byte[4], 4));
        double ms = (System.nanoTime() - start) / 1e6;
        assertTrue(ms >= 20 && ms < 60, "elapsed " + ms);
    }

    @Test
    void linesSwitchAndQueriesAlwaysAnswerTrue() {
        assertNotEquals(0, Serial.commRTS(h, false));
        assertNotEquals(0, Serial.commRTS(h, true));
        assertNotEquals(0, Serial.commDTR(h, false));
        assertNotEquals(0, Serial.commDTR(h, true));
        assertEquals(0, Serial.commRTS(-1, true));
        assertEquals(0, Serial.commDTR(-1, true));
        assertTrue(Serial.commRI(h));
        assertTrue(Serial.commDCD(h));
        assertTrue(Serial.commRI(-1));
        assertTrue(Serial.commDCD(-1));
        int closed = h;
        Serial.commClose(h);
        h = -1;
        assertTrue(Serial.commRI(closed));
        assertTrue(Serial.commDCD(closed));
        assertEquals(0, Serial.commClose(-1));
        assertEquals(0, Serial.commClose(closed));
    }

    @Test
    void aHangUpEndsAReadPromptly() {
        Serial.commSetTimeout(h, 0);
        far.send("hi".getBytes());
        new Thread(() -> {
            try {
                Thread.sleep(100);
            } catch (InterruptedException e) {
                return;
            }
            far.close();
        }).start();
        byte[] buf = new byte[10];
        long start = System.nanoTime();
        assertEquals(2, Serial.commRead(h, buf, 10));
        assertTrue((System.nanoTime() - start) / 1e6 < 300);
    }

    @Test
    void aCloseFromAnotherThreadEndsABlockedRead() throws Exception {
        Serial.commSetTimeout(h, 0);
        int[] result = {-7};
        Thread reader = new Thread(() -> result[0] = Serial.commRead(h, new byte[8], 8));
        reader.start();
        Thread.sleep(100);
        long start = System.nanoTime();
        Serial.commClose(h);
        h = -1;
        reader.join(1000);
        double ms = (System.nanoTime() - start) / 1e6;
        assertFalse(reader.isAlive());
        assertEquals(0, result[0]);
        assertTrue(ms < 100, "took " + ms);
    }
}
