package cz.qelvar;

import java.io.File;
import java.io.IOException;
import java.io.InputStream;
import java.io.PrintStream;
import java.nio.charset.StandardCharsets;
import java.time.Duration;

/**
 * {@code term [OPTIONS] PORT [BAUD] [FRAME]}: what arrives goes to standard
 * output, what is typed goes out at once; Ctrl-] leaves, as does the end of the
 * input (after the line has been quiet a while); Ctrl-T then a key switches a
 * line or sends the key itself.
 */
final class SerialTerminal {
    static final int LEAVE = 0x1D; // Ctrl-], as in telnet
    static final int MENU = 0x14; // Ctrl-T, as in miniterm

    /** What the command line asked of the terminal. */
    static final class Options {
        boolean hex, echo;
        byte[] enter; // what Enter sends, or null: as typed
        long waitMs = 500;

        /** Takes the options off the front of args; false for one it does not know. */
        boolean take(java.util.List<String> args) {
            while (!args.isEmpty() && args.get(0).startsWith("--")) {
                String o = args.remove(0);
                if (o.equals("--hex")) {
                    hex = true;
                } else if (o.equals("--echo")) {
                    echo = true;
                } else if (o.equals("--enter") && !args.isEmpty() && args.get(0).matches("cr|lf|crlf")) {
                    String e = args.remove(0);
                    enter = e.equals("cr") ? new byte[] {'\r'} : e.equals("lf") ? new byte[] {'\n'}
                            : new byte[] {'\r', '\n'};
                } else if (o.equals("--wait") && !args.isEmpty() && args.get(0).matches("[0-9]{1,7}")) {
                    waitMs = Long.parseLong(args.remove(0));
                } else {
                    return false;
                }
            }
            return true;
        }
    }

    private static volatile boolean leaving;
    private static String savedTerminal;
    private static final Object quiet = new Object();
    private static long lastArrival; // System.nanoTime of the last bytes shown; guarded by quiet
    private static boolean midLine; // what was shown last did not end a line; guarded by System.out

    private SerialTerminal() {}

    static int run(String port, String baud, String givenFrame, Options options) {
        String frame = givenFrame != null ? givenFrame : "8N1";
        // A terminal that states a rate it is not using sends its user hunting for a wiring fault.
        String refused = baud != null ? LineSettings.refusal(baud, frame) : null;
        if (refused != null) {
            System.err.println("dorlesk: " + SerialDiagnostics.clean(refused) + ".");
            return 1;
        }
        SerialPort serial;
        try {
            serial = SerialPort.open(port);
        } catch (SerialPortException e) {
            System.err.println("dorlesk: " + e.getMessage());
            return 1;
        }
        try (SerialPort open = serial) {
            if (baud != null) open.setLine(Integer.parseInt(baud), frame);
            open.setReadTimeout(Duration.ofMillis(200));
            return session(open, port, baud != null ? " at " + baud + " " + frame : "", options);
        } catch (SerialPortException e) {
            System.err.println("\r\ndorlesk: " + e.getMessage() + "; leaving.");
            return 1;
        } finally {
            restore();
        }
    }

    private static int session(SerialPort port, String name, String line, Options options)
            throws SerialPortException {
        // Keys go out as they are typed, unechoed: the device echoes if it wants to.
        boolean keys = System.console() != null && (savedTerminal = stty("-g")) != null
                && stty("-icanon -echo -isig -ixon -icrnl min 1 time 0") != null;
        System.err.println("Connected to " + SerialDiagnostics.clean(name) + line
                + "; Ctrl-] leaves" + (keys ? "" : ", as does the end of the input") + "; Ctrl-T d, r: DTR, RTS.");
        if (keys) Runtime.getRuntime().addShutdownHook(new Thread(SerialTerminal::restore));
        Thread reader = new Thread(() -> receive(port, options.hex), "dorlesk-term");
        reader.start();
        try {
            byte[] typed = new byte[1024];
            java.io.ByteArrayOutputStream out = new java.io.ByteArrayOutputStream();
            boolean menu = false, lastCr = false, dtr = true, rts = true;
            int n;
            keys:
            while (!leaving && (n = keys(typed)) > 0) {
                out.reset();
                for (int i = 0; i < n; i++) {
                    int b = typed[i] & 0xFF;
                    if (menu) {
                        menu = false;
                        if (b == 'd' || b == 'D') {
                            port.setDTR(dtr = !dtr);
                            say("DTR " + (dtr ? "on" : "off"));
                        } else if (b == 'r' || b == 'R') {
                            port.setRTS(rts = !rts);
                            say("RTS " + (rts ? "on" : "off"));
                        } else if (b == LEAVE || b == MENU) {
                            out.write(b);
                        } else {
                            say("Ctrl-T then d (DTR), r (RTS), Ctrl-] or Ctrl-T (the key itself)");
                        }
                    } else if (b == MENU) {
                        menu = true;
                    } else if (b == LEAVE) {
                        send(port, out, options);
                        break keys;
                    } else if (options.enter != null && (b == '\r' || b == '\n')) {
                        if (!(b == '\n' && lastCr)) out.write(options.enter, 0, options.enter.length);
                    } else {
                        out.write(b);
                    }
                    lastCr = b == '\r';
                }
                send(port, out, options);
            }
            // Input from a pipe: the device's answer comes after it ends.
            if (!keys && !leaving) awaitQuiet(options.waitMs);
        } finally {
            leaving = true;
            try {
                reader.join(); // its read returns within its time-out
            } catch (InterruptedException e) {
                Thread.currentThread().interrupt();
            }
            synchronized (System.out) {
                if (midLine) System.out.print(keys ? "\r\n" : "\n"); // the last line ends
                System.out.flush();
            }
        }
        return 0;
    }

    private static void send(SerialPort port, java.io.ByteArrayOutputStream out, Options options)
            throws SerialPortException {
        if (out.size() == 0) return;
        byte[] bytes = out.toByteArray();
        port.write(bytes, 0, bytes.length);
        if (options.echo) show(bytes, bytes.length);
    }

    /** A word from the terminal itself, on a line of its own. */
    private static void say(String what) {
        synchronized (System.out) {
            System.err.print((midLine ? "\r\n" : "") + "[" + what + "]\r\n");
            midLine = false;
        }
    }

    /** Waits until nothing has arrived for ms, counted from now at the earliest. */
    private static void awaitQuiet(long ms) {
        synchronized (quiet) {
            lastArrival = Math.max(lastArrival, System.nanoTime());
            try {
                for (long left; (left = ms - (System.nanoTime() - lastArrival) / 1_000_000) > 0 && !leaving;) {
                    quiet.wait(left);
                }
            } catch (InterruptedException e) {
                Thread.currentThread().interrupt();
            }
        }
    }

    /** What was typed; the end of the input, or a failure to read it, leaves. */
    private static int keys(byte[] typed) {
        try {
            return System.in.read(typed);
        } catch (IOException e) {
            return -1;
        }
    }

    private static void receive(SerialPort port, boolean hex) {
        byte[] buffer = new byte[4096];
        PrintStream out = System.out;
        InputStream in = port.getInputStream();
        int column = 0;
        while (!leaving) {
            int n;
            try {
                n = in.read(buffer);
            } catch (SerialPortTimeoutException e) {
                continue;
            } catch (IOException e) {
                n = -1;
            }
            if (n == -1) {
                if (leaving) return;
                System.err.println("\r\ndorlesk: the port hung up; leaving.");
                restore();
                System.exit(1);
            }
            synchronized (quiet) {
                lastArrival = System.nanoTime();
            }
            if (hex) {
                StringBuilder line = new StringBuilder();
                for (int i = 0; i < n; i++) {
                    line.append(String.format("%02x", buffer[i] & 0xFF)).append(++column % 16 == 0 ? "\n" : " ");
                }
                synchronized (out) {
                    out.print(line);
                    midLine = column % 16 != 0;
                    out.flush();
                }
            } else {
                show(buffer, n);
            }
        }
    }

    private static boolean shownCr;

    /**
     * Shows bytes as a terminal should: a carriage return the device sends
     * alone (an echoed Enter) also starts a new line, so lines do not
     * overwrite each other.
     */
    private static void show(byte[] bytes, int n) {
        synchronized (System.out) {
            java.io.ByteArrayOutputStream shown = new java.io.ByteArrayOutputStream(n + 16);
            for (int i = 0; i < n; i++) {
                byte b = bytes[i];
                if (b == '\n' && shownCr) {
                    shownCr = false;
                    continue; // its line was started at the CR
                }
                shownCr = b == '\r';
                if (b == '\r' || b == '\n') shown.write('\r');
                if (b == '\r' || b == '\n') b = '\n';
                shown.write(b);
                midLine = b != '\n';
            }
            System.out.write(shown.toByteArray(), 0, shown.size());
            System.out.flush();
        }
    }

    private static synchronized void restore() {
        if (savedTerminal != null) stty(savedTerminal);
        savedTerminal = null;
    }

    /** stty on this program's terminal; its output, or null when it failed. */
    private static String stty(String settings) {
        try {
            Process p = new ProcessBuilder(("stty " + settings).split(" "))
                    .redirectInput(new File("/dev/tty")).redirectError(ProcessBuilder.Redirect.to(new File("/dev/null"))).start();
            String out = new String(Bytes.readAll(p.getInputStream()), StandardCharsets.US_ASCII).trim();
            return p.waitFor() == 0 ? out : null;
        } catch (IOException e) {
            return null;
        } catch (InterruptedException e) {
            Thread.currentThread().interrupt();
            return null;
        }
    }
}
