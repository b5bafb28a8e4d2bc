package cz.qelvar;

import java.io.File;
import java.io.IOException;
import java.io.PrintStream;
import java.nio.charset.StandardCharsets;

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
        int h = Serial.commOpen(port);
        if (h == -1) {
            System.err.println("dorlesk: " + SerialDiagnostics.clean(port) + " cannot be opened;"
                    + " java -jar dorlesk.jar check PORT says why.");
            return 1;
        }
        if (baud != null && Serial.commSetBaud(h, baud, frame) == 0) {
            System.err.println("dorlesk: the port refused " + baud + " " + SerialDiagnostics.clean(frame)
                    + "; the library takes " + LineSettings.TAKES + ".");
            Serial.commClose(h);
            return 1;
        }
        Serial.commSetTimeout(h, 200);
        // Keys go out as they are typed, unechoed: the device echoes if it wants to.
        boolean keys = System.console() != null && (savedTerminal = stty("-g")) != null
                && stty("-icanon -echo -isig -ixon -icrnl min 1 time 0") != null;
        System.err.println("Connected to " + SerialDiagnostics.clean(port)
                + (baud != null ? " at " + baud + " " + frame : "")
                + "; Ctrl-] leaves" + (keys ? "." : ", as does the end of the input."));
        if (keys) Runtime.getRuntime().addShutdownHook(new Thread(SerialTerminal::restore));
        Thread reader = new Thread(() -> receive(h, hex), "dorlesk-term");
        reader.start();
        int status = 0;
        try {
            byte[] typed = new byte[1024];
            int n;
            while (!leaving && (n = System.in.read(typed)) > 0) {
                int end = 0;
                while (end < n && (typed[end] & 0xFF) != LEAVE) end++;
                if (end > 0 && Serial.commWrite(h, typed, end) != end) {
                    System.err.println("\r\ndorlesk: the port took not all that was typed; leaving.");
                    status = 1;
                    break;
                }
                if (end < n) break;
            }
        } catch (IOException e) {
            status = 1;
        }
        leaving = true;
        try {
            reader.join(); // its read returns within its time-out
        } catch (InterruptedException e) {
            Thread.currentThread().interrupt();
        }
        Serial.commClose(h);
        restore();
        return status;
    }

    private static void receive(int h, boolean hex) {
        byte[] buffer = new byte[4096];
        PrintStream out = System.out;
        int column = 0;
        while (!leaving) {
            long started = System.nanoTime();
            int n = Serial.commRead(h, buffer, buffer.length);
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
            // Nothing, and long before the time-out: the port hung up.
            if (n == 0 && !leaving && System.nanoTime() - started < 50_000_000L) {
                System.err.println("\r\ndorlesk: the port hung up; leaving.");
                restore();
                System.exit(1);
            }
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
                    .redirectInput(new File("/dev/tty")).redirectError(ProcessBuilder.Redirect.DISCARD).start();
            String out = new String(p.getInputStream().readAllBytes(), StandardCharsets.US_ASCII).strip();
            return p.waitFor() == 0 ? out : null;
        } catch (IOException e) {
            return null;
        } catch (InterruptedException e) {
            Thread.currentThread().interrupt();
            return null;
        }
    }
}
