package cz.qelvar.test;

import static org.junit.jupiter.api.Assertions.*;

import cz.qelvar.SerialPort;
import cz.qelvar.SerialPortException;
import cz.qelvar.SerialPortTimeoutException;
import java.io.BufferedReader;
import java.io.InputStream;
import java.io.InputStreamReader;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.nio.file.attribute.PosixFilePermissions;
import java.time.Duration;
import java.util.Arrays;
import java.util.List;
import java.util.concurrent.ExecutorService;
import java.util.concurrent.Executors;
import java.util.concurrent.Future;
import java.util.concurrent.TimeUnit;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.function.Executable;

/** The Java API over the native methods, on pseudo-terminals. */
class SerialPortTest {
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

            // Closed twice is closed; anything else after it says so.
            port.close();
            port.close();
            port.getInputStream().close();
            assertEquals(-1, port.getInputStream().read());
            byte[] b = new byte[4];
            List<Executable> uses = List.of(() -> port.read(b, 0, 4), () -> port.write(b, 0, 4),
                    () -> port.setLine(9600, "8N1"), () -> port.setReadTimeout(Duration.ZERO), () -> port.setRTS(true),
                    () -> port.setDTR(false), () -> port.getOutputStream().write(1));
            for (Executable use : uses) {
                assertEquals("COM7 is closed", assertThrows(SerialPortException.class, use).getMessage());
            }
            assertEquals("SerialPort[COM7, closed]", port.toString());
            SerialPort.open("COM7").close(); // it was given back
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
            far.linkAs("COM7");
            SerialPort port = SerialPort.open("COM7");
            // A thread each: a read waits, and a large write fills the terminal nobody reads.
            ExecutorService threads = Executors.newCachedThreadPool();
            Future<String> write = threads.submit(() -> {
                try {
                    port.write(new byte[1 << 20], 0, 1 << 20);
                    return "wrote all";
                } catch (SerialPortException e) {
                    return e.getMessage();
                }
            });
            Future<Integer> read = threads.submit(() -> port.getInputStream().read(new byte[16], 0, 16));
            Thread.sleep(300);
            assertFalse(write.isDone() || read.isDone());
            long closing = System.nanoTime();
            port.close();
            assertEquals(-1, read.get(2, TimeUnit.SECONDS));
            assertTrue(write.get(2, TimeUnit.SECONDS).matches("COM7 took [0-9]+ of 1048576 bytes: it was closed"),
                    write.get());
            assertTrue(millisSince(closing) < 1000, millisSince(closing) + " ms");
        }
    }

    @Test
    void readsTimeOutHangUpAndTakeOffsets() throws Exception {
        Pty.freshPortDir();
        Pty far = new Pty();
        far.linkAs("COM7");
        try (SerialPort port = SerialPort.open("COM7")) {
            InputStream in = port.getInputStream();
            port.setReadTimeout(Duration.ofMillis(200));
            long t = System.nanoTime();
            assertThrows(SerialPortTimeoutException.class, () -> in.read(new byte[8]));
            assertTrue(millisSince(t) >= 190 && millisSince(t) < 2000, millisSince(t) + " ms");
            // The port's own read waits for the whole count, and keeps the time-out.
            byte[] b = "..........".getBytes(StandardCharsets.US_ASCII);
            far.send("abc".getBytes(StandardCharsets.US_ASCII));
            t = System.nanoTime();
            assertEquals(3, port.read(b, 4, 6));
            assertTrue(millisSince(t) >= 190, millisSince(t) + " ms");
            assertEquals("....abc...", new String(b, StandardCharsets.US_ASCII));
            // A stream read hands over what is there at once, into its offset.
            far.send("defgh".getBytes(StandardCharsets.US_ASCII));
            Thread.sleep(50);
            t = System.nanoTime();
            assertEquals(2, in.read(b, 1, 2));
            assertEquals(3, in.read(b, 3, 7));
            assertTrue(millisSince(t) < 100, millisSince(t) + " ms");
            assertEquals(".defghc...", new String(b, StandardCharsets.US_ASCII));
            port.write("xxxxyz".getBytes(StandardCharsets.US_ASCII), 4, 2);
            assertEquals("yz", new String(far.receive(2, 2000), StandardCharsets.US_ASCII));
            // A part of a millisecond is a millisecond, not "no time-out".
            port.setReadTimeout(Duration.ofNanos(1));
            assertEquals(0, port.read(b, 0, 1));
            // The far end goes: a hang-up ends the stream, and the port's read says so.
            port.setReadTimeout(Duration.ofSeconds(5));
            far.close();
            t = System.nanoTime();
            assertEquals(-1, in.read());
            assertEquals("COM7 hung up or failed", assertThrows(SerialPortException.class, () -> port.read(b, 0, 4))
                    .getMessage());
            assertTrue(millisSince(t) < 1000, millisSince(t) + " ms");
        }
    }

    /** A line-oriented device: each line is handed over as it arrives, not at the time-out. */
    @Test
    void readLineHandsOverEachLineAsItArrives() throws Exception {
        Pty.freshPortDir();
        try (Pty far = new Pty(); SerialPort port = open(far)) {
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
            // A loaded machine may delay a line now and then; nine in ten are prompt.
            assertTrue(late[count * 9 / 10] < 5, Arrays.toString(late));
            assertTrue(late[count - 1] < 100, Arrays.toString(late));
        }
    }

    static SerialPort open(Pty far) throws Exception {
        far.linkAs("COM7");
        return SerialPort.open("COM7");
    }
}
