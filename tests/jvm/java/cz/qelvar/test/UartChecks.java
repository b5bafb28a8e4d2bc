package cz.qelvar.test;

import cz.qelvar.Serial;
import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.util.Arrays;
import java.util.HashSet;
import java.util.List;
import java.util.Set;

/**
 * Grouped checks on a real serial driver, run by the uart layer's VM as root:
 * {@code UartChecks NEAR FAR NEAR_DEVICE [LINE]}, where NEAR and FAR are COM
 * names of two ports wired to each other and LINE is NEAR's line in
 * /proc/tty/driver/serial (8250 ports only). Exits 1 when a check failed.
 */
public final class UartChecks {
    static int failures;

    static void expect(boolean ok, String what) {
        System.out.println((ok ? "ok   " : "FAIL ") + what);
        if (!ok) failures++;
    }

    static String run(String... command) throws IOException, InterruptedException {
        Process p = new ProcessBuilder(command).redirectErrorStream(true).start();
        String out = new String(p.getInputStream().readAllBytes(), StandardCharsets.UTF_8).strip();
        p.waitFor();
        return out;
    }

    /** A plain open by another user, who may open the device (its mode is 0666 here). */
    static String openAsAnotherUser(String device) throws Exception {
        return run("setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "sh", "-c",
                "exec 3<>\"$0\" && echo opened", device);
    }

    static int open(String name) {
        int h = Serial.commOpen(name);
        if (h == -1) throw new IllegalStateException("commOpen(" + name + ") failed");
        return h;
    }

    public static void main(String[] args) throws Exception {
        if (args[0].equals("--hold")) hold(args[1], args[2]);
        String near = args[0], far = args[1], device = args[2];
        System.out.println("Checks on " + near + " (" + device + ") wired to " + far);
        exclusive(near, device);
        lineKeptAtOpen(near, device);
        latencyWhileHeld(near, device);
        latencyGivenBackAtExit(near, device);
        framesAndRates(near, device);
        transfers(near, far);
        serialPort(near, far);
        if (args.length > 3) modemLinesAfterClose(near, device, args[3]);
        if (args.length > 3) checkLeavesAHeldPortAlone(near, device, args[3]);
        System.out.println(failures == 0 ? "all checks passed" : failures + " checks failed");
        System.exit(failures == 0 ? 0 : 1);
    }

    static void exclusive(String near, String device) throws Exception {
        int h = open(near);
        expect(Serial.commOpen(near) == -1, "a second commOpen(" + near + ") is refused");
        expect(Serial.commOpen(device) == -1, "a second commOpen(" + device + ") is refused");
        String other = openAsAnotherUser(device);
        expect(other.contains("Device or resource busy"), "another user's plain open while held: " + other);
        Serial.commClose(h);
        other = openAsAnotherUser(device);
        expect(other.equals("opened"), "another user's plain open after commClose: " + other);
    }

    static boolean holds(String device, String settings) throws Exception {
        Set<String> words = new HashSet<>(Arrays.asList(run("stty", "-F", device, "-a").split("[\\s;]+")));
        return words.containsAll(Arrays.asList(settings.split(" ")));
    }

    /** The open makes the line raw and keeps its rate and frame until commSetBaud. */
    static void lineKeptAtOpen(String near, String device) throws Exception {
        run("stty", "-F", device, "9600", "cs7", "parenb", "-parodd", "icanon", "echo");
        int h = open(near);
        expect(holds(device, "9600 cs7 parenb -parodd -icanon -echo"),
                "commOpen keeps 9600 7E1 and makes the line raw: " + run("stty", "-F", device));
        int r = Serial.commSetBaud(h, "9600", null);
        expect(r != 0 && holds(device, "9600 cs7 parenb -parodd"),
                "commSetBaud(h, \"9600\", null) keeps the frame found: " + run("stty", "-F", device));
        Serial.commClose(h);
    }

    /** A USB adapter runs its latency timer at 1 ms while held, and gets its own back. */
    static void latencyWhileHeld(String near, String device) throws Exception {
        Path timer = latencyTimer(device);
        if (!Files.exists(timer)) return;
        Files.writeString(timer, "4");
        int h = open(near);
        String held = Files.readString(timer).strip();
        Serial.commSetBaud(h, "115200", "8N1");
        String set = Files.readString(timer).strip();
        Serial.commClose(h);
        String after = Files.readString(timer).strip();
        expect(held.equals("1") && set.equals("1") && after.equals("4"),
                "latency timer 4 ms by hand: " + held + " while held, " + set + " after commSetBaud, "
                        + after + " after commClose");
    }

    /** A program that opens the port and ends without commClose: by System.exit or a signal. */
    static void hold(String near, String end) throws Exception {
        open(near);
        System.out.println("held");
        if (end.equals("exit")) {
            System.in.read(); // once the mode has been seen while held
            System.exit(0);
        }
        Thread.sleep(60_000);
        System.exit(3);
    }

    /** A USB adapter's latency timer (absent for a UART). */
    static Path latencyTimer(String device) {
        return Paths.get("/sys/bus/usb-serial/devices", Paths.get(device).getFileName().toString(), "latency_timer");
    }

    /** The driver's low-latency mode, as the kernel shows it: the adapter's timer, a UART's flag. */
    static String latency(String device) throws IOException {
        Path timer = latencyTimer(device);
        if (Files.exists(timer)) return "timer " + Files.readString(timer).strip();
        Path flags = Paths.get("/sys/class/tty", Paths.get(device).getFileName().toString(), "flags");
        return (Long.decode(Files.readString(flags).strip()) & 0x2000) != 0 ? "low latency" : "normal";
    }

    /** Every end a program survives long enough to act on gives the mode back. */
    static void latencyGivenBackAtExit(String near, String device) throws Exception {
        Path timer = latencyTimer(device);
        if (Files.exists(timer)) Files.writeString(timer, "4");
        String before = latency(device);
        for (String end : new String[] {"exit", "TERM", "INT"}) {
            Process p = new ProcessBuilder(Paths.get(System.getProperty("java.home"), "bin", "java").toString(),
                    "-Djava.library.path=" + System.getProperty("java.library.path"), "-cp",
                    System.getProperty("java.class.path"), UartChecks.class.getName(), "--hold", near, end)
                    .redirectErrorStream(true).start();
            String said = new String(p.getInputStream().readNBytes(5), StandardCharsets.UTF_8);
            String held = latency(device);
            if (end.equals("exit")) p.getOutputStream().close();
            else run("kill", "-" + end, Long.toString(p.pid()));
            boolean ended = p.waitFor(30, java.util.concurrent.TimeUnit.SECONDS);
            if (!ended) p.destroyForcibly();
            String after = latency(device);
            expect(said.equals("held\n") && ended && !held.equals(before) && after.equals(before),
                    "an end by " + end + " without commClose: " + before + " before, " + held + " while held, "
                            + after + " after" + (ended ? "" : " (did not end)"));
        }
    }

    /** Each rate of the table and several frames, as the driver reports them (TCGETS). */
    static void framesAndRates(String near, String device) throws Exception {
        String[][] frames = {{"8N1", "cs8 -parenb -cstopb"}, {"7E2", "cs7 parenb -parodd cstopb"},
            {"8O1", "cs8 parenb parodd -cstopb"}, {"7O1", "cs7 parenb parodd -cstopb"},
            {"8E2", "cs8 parenb -parodd cstopb"}};
        int h = open(near);
        List<String> wrong = new java.util.ArrayList<>();
        for (String rate : new String[] {"1200", "2400", "9600", "19200", "38400", "57600", "115200"}) {
            for (String[] frame : frames) {
                int r = Serial.commSetBaud(h, rate, frame[0]);
                String held = run("stty", "-F", device, "-a");
                Set<String> words = new HashSet<>(Arrays.asList(held.split("[\\s;]+")));
                boolean ok = r != 0 && held.contains("speed " + rate + " baud")
                        && words.containsAll(Arrays.asList(frame[1].split(" ")));
                if (!ok) wrong.add(rate + " " + frame[0] + " (commSetBaud " + r + "): " + held.split("\n")[0]);
            }
        }
        Serial.commClose(h);
        expect(wrong.isEmpty(), "7 rates x " + frames.length + " frames reach the driver" + (wrong.isEmpty() ? "" : ": " + wrong));
    }

    static byte[] pattern(int size, int seed) {
        byte[] data = new byte[size];
        for (int i = 0; i < size; i++) data[i] = (byte) (i * 31 + seed + i / 251);
        return data;
    }

    static byte[] readFully(int h, int size) {
        byte[] got = new byte[size];
        int n = Serial.commRead(h, got, size);
        return Arrays.copyOf(got, n);
    }

    /** SerialPort on the driver: a line through the streams, a time-out, a close from another thread. */
    static void serialPort(String near, String far) throws Exception {
        try (cz.qelvar.SerialPort a = cz.qelvar.SerialPort.open(near); cz.qelvar.SerialPort b = cz.qelvar.SerialPort.open(far)) {
            a.setLine(115200, "8N1");
            b.setLine(115200, "8N1");
            a.setReadTimeout(java.time.Duration.ofMillis(300));
            var lines = new java.io.BufferedReader(new java.io.InputStreamReader(a.getInputStream(),
                    java.nio.charset.StandardCharsets.US_ASCII));
            // Ended by \n alone: readLine may return at a \r before the \n has
            // come, and the time-out below would read it.
            b.getOutputStream().write("OK 1\n".getBytes(java.nio.charset.StandardCharsets.US_ASCII));
            String line = lines.readLine();
            expect("OK 1".equals(line), "a line through SerialPort's streams: " + line);
            long started = System.nanoTime();
            String timedOut;
            try {
                timedOut = "read " + a.getInputStream().read();
            } catch (cz.qelvar.SerialPortTimeoutException e) {
                timedOut = "timed out";
            }
            long ms = (System.nanoTime() - started) / 1_000_000;
            expect(timedOut.equals("timed out") && ms >= 290, "a silent line times out the stream: " + timedOut
                    + " after " + ms + " ms");
            a.setReadTimeout(java.time.Duration.ZERO);
            var read = java.util.concurrent.Executors.newSingleThreadExecutor().submit(() -> {
                try {
                    return "read " + a.getInputStream().read();
                } catch (java.io.IOException e) {
                    return e.getMessage();
                }
            });
            Thread.sleep(300);
            a.close();
            String end = read.get(10, java.util.concurrent.TimeUnit.SECONDS);
            expect(end.endsWith(" was closed"), "a close ends a stream read blocked in another thread: " + end);
        }
    }

    static void transfers(String near, String far) {
        int a = open(near), b = open(far);
        for (String rate : new String[] {"9600", "57600", "115200"}) {
            Serial.commSetBaud(a, rate, "8N1");
            Serial.commSetBaud(b, rate, "8N1");
            Serial.commSetTimeout(a, 3000);
            Serial.commSetTimeout(b, 3000);
            byte[] out = pattern(3000, rate.length()), back = pattern(3000, 99);
            long overruns = overruns();
            boolean there = Serial.commWrite(a, out, out.length) == out.length
                    && Arrays.equals(out, readFully(b, out.length));
            boolean home = Serial.commWrite(b, back, back.length) == back.length
                    && Arrays.equals(back, readFully(a, back.length));
            // A guest starved by a busy host lets the emulated FIFO overrun:
            // bytes the driver counted as overruns are the machine's loss.
            overruns = overruns() - overruns;
            if (!(there && home) && overruns > 0) {
                System.out.println("SKIP uart.transfers at " + rate + " baud: the driver counted " + overruns
                        + " overruns (the emulated UART's FIFO, while the guest was starved)");
                continue;
            }
            expect(there && home, "3000 bytes each way at " + rate + " baud arrive intact");
        }
        byte[] last = pattern(4000, 7);
        expect(Serial.commWrite(a, last, last.length) == last.length, "4000 bytes written");
        Serial.commClose(a);
        expect(Arrays.equals(last, readFully(b, last.length)), "4000 bytes written just before commClose all arrive");
        Serial.commClose(b);
    }

    /** Overruns the 8250 driver counted on all its lines (oe: in /proc/tty/driver/serial). */
    static long overruns() {
        long sum = 0;
        try {
            for (String l : Files.readAllLines(Paths.get("/proc/tty/driver/serial"))) {
                java.util.regex.Matcher m = java.util.regex.Pattern.compile(" oe:(\\d+)").matcher(l);
                if (m.find()) sum += Long.parseLong(m.group(1));
            }
        } catch (IOException e) {
            return 0;
        }
        return sum;
    }

    /** The driver's own view of the port's modem-control outputs. */
    static String lineState(String line) throws IOException {
        for (String l : Files.readAllLines(Paths.get("/proc/tty/driver/serial"))) {
            if (l.startsWith(line + ":")) return l;
        }
        return "no line " + line;
    }

    /**
     * check on a port this program holds at 7E1 with RTS and DTR off: it says so
     * and opens nothing (any open would raise both, and a set would break 7E1).
     */
    static void checkLeavesAHeldPortAlone(String near, String device, String line) throws Exception {
        int h = open(near);
        Serial.commSetBaud(h, "9600", "7E1");
        Serial.commRTS(h, false);
        Serial.commDTR(h, false);
        String out = run("java", "-Djava.library.path=" + System.getProperty("java.library.path"), "-cp",
                System.getProperty("java.class.path"), "cz.qelvar.SerialTool", "check", near);
        String state = lineState(line);
        Serial.commClose(h);
        expect(out.contains("is in use, so it was not opened") && !state.contains("RTS") && !state.contains("DTR")
                && holds(device, "cs7 parenb -parodd"),
                "check on a held port opens nothing: " + out.replace('\n', ' ') + "; " + state);
    }

    static void modemLinesAfterClose(String near, String device, String line) throws Exception {
        // The control: a close with HUPCL set drops both, so the checks below can fail.
        run("stty", "-F", device, "hupcl");
        String state = lineState(line);
        expect(!state.contains("RTS") && !state.contains("DTR"), "control: a close with HUPCL drops RTS and DTR: " + state);
        int h = open(near);
        Serial.commSetBaud(h, "9600", "8N1");
        Serial.commClose(h);
        state = lineState(line);
        expect(state.contains("RTS") && state.contains("DTR"), "RTS and DTR stay up after commClose: " + state);
        h = open(near);
        boolean switched = Serial.commRTS(h, false) != 0 && Serial.commDTR(h, false) != 0;
        state = lineState(line);
        expect(switched && !state.contains("RTS") && !state.contains("DTR"), "commRTS and commDTR(false) clear them: " + state);
        Serial.commClose(h);
    }
}
