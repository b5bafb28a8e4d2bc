package cz.qelvar;

import java.io.File;
import java.io.IOException;
import java.io.InputStream;
import java.io.PrintStream;
import java.nio.charset.StandardCharsets;
import java.time.Duration;

/**
 * {@code term PORT [BAUD] [FRAME]}: what arrives goes to standard output, what is
 * typed goes out at once; Ctrl-] leaves, as does the end of the input.
 */
final class SerialTerminal {
    static final int LEAVE = 0x1D; // Ctrl-], as in telnet

    private static volatile boolean leaving;
    private static String savedTerminal;

    private SerialTerminal() {}

    static int run(String port, String baud, String givenFrame, boolean hex) {
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
            return session(open, port, baud != null ? " at " + baud + " " + frame : "", hex);
        } catch (SerialPortException e) {
            System.err.println("\r\ndorlesk: " + e.getMessage() + "; leaving.");
            return 1;
        } finally {
            restore();
        }
    }

    private static int session(SerialPort port, String name, String line, boolean hex) throws SerialPortException {
        // Keys go out as they are typed, unechoed: the device echoes if it wants to.
        boolean keys = System.console() != null && (savedTerminal = stty("-g")) != null
                && stty("-icanon -echo -isig -ixon -icrnl min 1 time 0") != null;
        System.err.println("Connected to " + SerialDiagnostics.clean(name) + line
                + "; Ctrl-] leaves" + (keys ? "." : ", as does the end of the input."));
        if (keys) Runtime.getRuntime().addShutdownHook(new Thread(SerialTerminal::restore));
        Thread reader = new Thread(() -> receive(port, hex), "dorlesk-term");
        reader.start();
        try {
            byte[] typed = new byte[1024];
            int n;
            while (!leaving && (n = keys(typed)) > 0) {
                int end = 0;
                while (end < n && (typed[end] & 0xFF) != LEAVE) end++;
                port.write(typed, 0, end);
                if (end < n) break;
            }
        } finally {
            leaving = true;
            try {
                reader.join(); // its read returns within its time-out
            } catch (InterruptedException e) {
                Thread.currentThread().interrupt();
            }
        }
        return 0;
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
            if (hex) {
                StringBuilder line = new StringBuilder();
                for (int i = 0; i < n; i++) {
                    line.append(String.format("%02x", buffer[i] & 0xFF)).append(++column % 16 == 0 ? "\n" : " ");
                }
                out.print(line);
            } else {
                out.write(buffer, 0, n);
            }
            out.flush();
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
