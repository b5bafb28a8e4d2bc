package cz.qelvar;

import java.io.BufferedReader;
import java.io.IOException;
import java.io.InputStream;
import java.io.InputStreamReader;
import java.nio.charset.StandardCharsets;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;

/**
 * The command line of {@code dorlesk.jar}: {@code java -jar dorlesk.jar --help}.
 * Exit codes: 0 success, 1 a step failed, 2 bad usage. Public only for the
 * jar's manifest to start it: not part of the API.
 *
 * @hidden
 */
public final class SerialTool {
    private static final String HELP = String.join("\n",
            "Usage: java -jar dorlesk.jar [COMMAND]",
            "",
            "Commands:",
            "  list [--long]    list the serial ports found when the library loaded (the default);",
            "                   --long adds each port's device and what the system knows of it,",
            "                   and the serial ports present now that the load did not find",
            "  check PORT       try to open PORT and, when it cannot be opened, say why and what",
            "                   to do (exit 0 when it opens, 1 when it does not)",
            "  loopback [PORT]  open PORT, set 115200 8N1 and a 1000 ms time-out, write a line,",
            "                   read it back, switch RTS and DTR off and on, close; PORT must echo",
            "                   (a loopback plug). Without PORT, on Linux, the far end is a",
            "                   pseudo-terminal that echoes.",
            "  term [OPTIONS] PORT [BAUD [FRAME]]",
            "                   a terminal on PORT: what arrives is shown, what is typed is sent",
            "                   as typed; Ctrl-] leaves. BAUD and FRAME (such as 9600 8N1) set the",
            "                   line first. Ctrl-T then d or r switches DTR or RTS, Ctrl-T then",
            "                   Ctrl-] or Ctrl-T sends that key itself. Options:",
            "                     --enter cr|lf|crlf  what Enter sends (cr, as a modem expects)",
            "                     --echo        show what is typed, as the device will not",
            "                     --wait MS     with input from a pipe: after its end, wait until",
            "                                   the line has been quiet MS ms (500) before leaving",
            "                     --hex         show what arrives as hex bytes",
            "  --version        the version, and where the native library was loaded from",
            "  --help           this text",
            "",
            "Port names on Linux:",
            "  /dev/ttyUSB0 ... a name starting with / is a device path, used as it stands",
            "  COMn             $DORLESK_PORT_DIR/COMn when DORLESK_PORT_DIR is set (a link to",
            "                   a device); otherwise COM1-32 /dev/ttyS0-31, COM33-64",
            "                   /dev/ttyUSB0-31, COM65-96 /dev/ttyACM0-31, COM97-99 /dev/ttyAMA0-2",
            "  rfc2217://HOST:PORT  a port on a terminal server (such as ser2net) reached over",
            "                   TCP; a COMn entry in $DORLESK_PORT_DIR may be a file holding such a URL",
            "  Opening a port needs read and write access to its device: on Debian, membership",
            "  of the dialout group (sudo adduser $USER dialout, then log in again).",
            "",
            "Exit codes: 0 success, 1 a step failed, 2 bad usage.");

    private static boolean failed;

    private SerialTool() {}

    /**
     * Runs one command; see {@code --help}.
     *
     * @param args the command and its argument
     */
    public static void main(String[] args) {
        String command = args.length > 0 ? args[0] : "list";
        boolean help = command.equals("--help") || command.equals("-h") || command.equals("help");
        boolean known = help || command.equals("list") || command.equals("loopback")
                || command.equals("check") || command.equals("term") || command.equals("--version");
        List<String> rest = new ArrayList<>(Arrays.asList(args).subList(Math.min(1, args.length), args.length));
        SerialTerminal.Options options = new SerialTerminal.Options();
        boolean arguments = !command.equals("term") || options.take(rest);
        arguments &= command.equals("loopback") ? args.length <= 2
                : command.equals("check") ? args.length == 2
                : command.equals("term") ? rest.size() >= 1 && rest.size() <= 3
                : command.equals("list") ? args.length <= 1 || args.length == 2 && args[1].equals("--long")
                : args.length <= 1;
        if (!known || !arguments) {
            String usage = !known ? "list [--long] | check PORT | loopback [PORT] | term [OPTIONS] PORT [BAUD"
                    + " [FRAME]] | --version | --help" : command.equals("term") ? "term [--enter cr|lf|crlf]"
                    + " [--echo] [--wait MS] [--hex] PORT [BAUD [FRAME]]" : command.equals("check") ? "check PORT"
                    : command.equals("loopback") ? "loopback [PORT]" : command.equals("list") ? "list [--long]"
                    : command;
            System.err.println("dorlesk: bad usage: " + SerialDiagnostics.clean(String.join(" ", args))
                    + "; usage: java -jar dorlesk.jar " + usage + " (--help tells more)");
            System.exit(2);
        }
        if (help) {
            System.out.println(HELP);
            return;
        }
        try {
            if (command.equals("--version")) {
                Serial.commRI(-1); // loads the library
                System.out.println("Dorlesk " + NativeLoader.version());
                System.out.println("native library: " + NativeLoader.origin);
                System.out.println("platforms carried: " + String.join(", ", NativeLoader.CARRIED));
            } else if (command.equals("list")) {
                String[] ports = Serial.commEnumPorts();
                System.out.println("Ports found when the library loaded: "
                        + (ports.length == 0 ? "none" : String.join(", ", ports)));
                if (args.length == 2) {
                    for (String port : ports) System.out.println(SerialDiagnostics.describe(port));
                    // What came, or was never a COM name, since the library loaded.
                    List<String> loaded = Arrays.asList(ports);
                    for (PortInfo now : PortInfo.linux() ? PortInfo.present() : new ArrayList<PortInfo>()) {
                        if (now.comName() == null || !loaded.contains(now.comName())) {
                            System.out.println("now    " + now);
                        }
                    }
                }
            } else if (command.equals("term")) {
                System.exit(SerialTerminal.run(rest.get(0), rest.size() > 1 ? rest.get(1) : null,
                        rest.size() > 2 ? rest.get(2) : null, options));
            } else if (command.equals("check")) {
                List<String> lines = new ArrayList<>();
                boolean opens = SerialDiagnostics.diagnose(args[1], lines, true);
                lines.forEach(System.out::println);
                System.exit(opens ? 0 : 1);
            } else {
                System.exit(args.length == 2 ? session(args[1]) : echoSession());
            }
        } catch (UnsatisfiedLinkError | ExceptionInInitializerError | NoClassDefFoundError e) {
            Throwable cause = e.getCause() != null ? e.getCause() : e;
            System.err.println("dorlesk: the native library could not be loaded: " + cause.getMessage());
            System.err.println("Ways out: install the library (" + System.mapLibraryName(NativeLoader.MODULE)
                    + ") in a directory on java.library.path (-Djava.library.path=DIR; the Debian"
                    + " package puts it in /usr/lib/jni), or let the jar extract it elsewhere with"
                    + " -Ddorlesk.native.dir=DIR or XDG_CACHE_HOME=DIR (a directory of your own, on a"
                    + " file system that allows executing files).");
            System.exit(1);
        }
    }

    /** A loopback session against a pseudo-terminal that echoes, on Linux. */
    private static int echoSession() {
        String platform = NativeLoader.platform(System.getProperty("os.name", ""),
                System.getProperty("os.arch", ""));
        if (!"linux-x86_64".equals(platform)) {
            System.err.println("dorlesk: loopback without a port needs Linux x86-64; name a port"
                    + " with a loopback plug instead");
            return 2;
        }
        Process echo;
        Path tool = null;
        try {
            tool = echoTool();
            echo = new ProcessBuilder(tool.toString()).redirectError(ProcessBuilder.Redirect.INHERIT).start();
        } catch (IOException e) {
            System.err.println(tool != null && NativeLoader.noexec(tool.getParent())
                    ? NativeLoader.noexecAdvice(tool.getParent(), "the echoing far end", "", e.getMessage())
                    : "dorlesk: could not start the echoing far end: " + e.getMessage());
            return 1;
        }
        try {
            String slave = new BufferedReader(new InputStreamReader(echo.getInputStream(),
                    StandardCharsets.US_ASCII)).readLine();
            if (slave == null) {
                System.err.println("dorlesk: the echoing far end did not start");
                return 1;
            }
            System.out.println("The far end is a pseudo-terminal that echoes: " + slave);
            return session(slave);
        } catch (IOException e) {
            System.err.println("dorlesk: " + e.getMessage());
            return 1;
        } finally {
            try {
                echo.getOutputStream().close(); // the far end ends with its input
                echo.waitFor();
            } catch (IOException | InterruptedException e) {
                echo.destroy();
            }
        }
    }

    private static Path echoTool() throws IOException {
        String name = "dorlesk-pty-echo";
        try (InputStream in = SerialTool.class.getResourceAsStream(
                "/cz/qelvar/native/linux-x86_64/" + name)) {
            if (in == null) throw new IOException("this jar does not carry " + name);
            Path target = NativeLoader.privateDirectory(NativeLoader.cacheRoot(),
                    NativeLoader.version() + "-tools").resolve(name);
            NativeLoader.extract(Bytes.readAll(in), target, true);
            return target;
        } catch (java.nio.file.InvalidPathException e) {
            throw new IOException(e.getMessage());
        }
    }

    private static void step(String what, Object result, boolean ok) {
        System.out.printf("  %-42s -> %s%s%n", what, result, ok ? "" : "   FAILED");
        failed |= !ok;
    }

    /** The loopback session on a port whose far end echoes; 0 when every step succeeded. */
    static int session(String port) {
        System.out.println("Loopback session on " + port + ":");
        step("commEnumPorts()", Arrays.toString(Serial.commEnumPorts()), true);
        int h = Serial.commOpen(port);
        step("commOpen(\"" + port + "\")", h, h != -1);
        if (h == -1) return 1;
        int r = Serial.commSetBaud(h, "115200", "8N1");
        step("commSetBaud(h, \"115200\", \"8N1\")", r, r != 0 && r != -1);
        r = Serial.commSetTimeout(h, 1000);
        step("commSetTimeout(h, 1000)", r, r == 1);
        byte[] line = "Hello from Dorlesk\n".getBytes(StandardCharsets.US_ASCII);
        r = Serial.commWrite(h, line, line.length);
        step("commWrite(h, \"Hello from Dorlesk\\n\")", r, r == line.length);
        byte[] back = new byte[64];
        int n = Serial.commRead(h, back, line.length);
        step("commRead(h, buf, " + line.length + ")",
                n + " bytes: \"" + new String(back, 0, n, StandardCharsets.US_ASCII).trim() + "\"",
                n == line.length && Arrays.equals(line, Arrays.copyOf(back, n)));
        r = Serial.commRTS(h, false);
        step("commRTS(h, false)", r, r != 0);
        r = Serial.commDTR(h, false);
        step("commDTR(h, false)", r, r != 0);
        r = Serial.commRTS(h, true);
        step("commRTS(h, true)", r, r != 0);
        r = Serial.commDTR(h, true);
        step("commDTR(h, true)", r, r != 0);
        step("commDCD(h)", Serial.commDCD(h), true);
        r = Serial.commClose(h);
        step("commClose(h)", r, r == 0);
        System.out.println(failed ? "Some steps failed." : "All steps succeeded.");
        return failed ? 1 : 0;
    }
}
