import cz.qelvar.Serial;
import java.nio.charset.StandardCharsets;
import java.util.Arrays;

/**
 * A first session with the library.
 *   java DorleskDemo list            the ports found when the library loaded
 *   java DorleskDemo loopback COM1   open COM1, whose far end echoes, and talk to it
 */
public final class DorleskDemo {
    private static boolean failed;

    private static void step(String what, Object result, boolean ok) {
        System.out.printf("  %-42s -> %s%s%n", what, result, ok ? "" : "   FAILED");
        failed |= !ok;
    }

    public static void main(String[] args) {
        String mode = args.length > 0 ? args[0] : "list";
        if (mode.equals("list")) {
            String[] ports = Serial.commEnumPorts();
            System.out.println("Ports found when the library loaded: "
                    + (ports.length == 0 ? "none" : String.join(", ", ports)));
            return;
        }
        String port = args.length > 1 ? args[1] : "COM1";
        System.out.println("Loopback session on " + port + " (the far end echoes):");
        step("commEnumPorts()", Arrays.toString(Serial.commEnumPorts()), true);
        int h = Serial.commOpen(port);
        step("commOpen(\"" + port + "\")", h, h != -1);
        if (h == -1) System.exit(1);
        int r = Serial.commSetBaud(h, "115200", "8N1");
        step("commSetBaud(h, \"115200\", \"8N1\")", r, r != 0 && r != -1);
        r = Serial.commSetTimeout(h, 1000);
        step("commSetTimeout(h, 1000)", r, r == 1);

        byte[] line = "Hello from Dorlesk\n".getBytes(StandardCharsets.US_ASCII);
        r = Serial.commWrite(h, line, line.length);
        step("commWrite(h, \"Hello from Dorlesk\\n\")", r, r == line.length);
        byte[] back = new byte[64];
        int n = Serial.commRead(h, back, line.length);
        String echoed = new String(back, 0, n, StandardCharsets.US_ASCII);
        step("commRead(h, buf, " + line.length + ")", n + " bytes: \"" + echoed.strip() + "\"",
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
        System.exit(failed ? 1 : 0);
    }
}
