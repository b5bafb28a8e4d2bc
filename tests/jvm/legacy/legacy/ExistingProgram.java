package legacy;

import cz.qelvar.Serial;
import cz.qelvar.test.Pty;
import java.util.Arrays;

/**
 * Drives the library through a program's own {@code cz.qelvar.Serial} over a
 * pseudo-terminal linked as COM5: {@code ExistingProgram [SLOWDOWN]}, where an
 * emulated JVM stretches the upper time bounds. Exits 1 when a check failed.
 */
public final class ExistingProgram {
    static int failures;

    static void expect(boolean ok, String what) {
        System.out.println((ok ? "ok   " : "FAIL ") + what);
        if (!ok) failures++;
    }

    public static void main(String[] args) throws Exception {
        int slowdown = args.length > 0 ? Integer.parseInt(args[0]) : 1;
        Pty.freshPortDir();
        try (Pty far = new Pty()) {
            far.linkAs("COM5");
            Serial s = new Serial(); // loads the library, which finds COM5
            expect(Arrays.asList(s.commEnumPorts()).contains("COM5"), "commEnumPorts lists COM5");
            int h = s.commOpen("COM5");
            expect(h != -1, "commOpen(\"COM5\")");
            expect(s.commSetBaud(h, "9600", "8N1") != 0, "commSetBaud 9600 8N1");
            expect(s.commSetTimeout(0, 300, 0) == 0 && s.commSetTimeout(h, 300, 77) == 1,
                    "commSetTimeout refuses handle 0 and takes the port's");
            // Should the time-out be read from the wrong place, bytes end the read instead.
            Thread rescue = new Thread(() -> {
                try {
                    Thread.sleep(8000L * slowdown);
                    far.send(new byte[10]);
                } catch (InterruptedException e) {
                    // the read came back
                }
            });
            rescue.setDaemon(true);
            rescue.start();
            long started = System.nanoTime();
            int n = s.commRead(h, new byte[10], 10);
            long ms = (System.nanoTime() - started) / 1_000_000;
            rescue.interrupt();
            expect(n == 0 && ms >= 290 && ms < 2000L * slowdown,
                    "a 300 ms time-out (int, int) bounds a read on a silent line: " + n + " bytes in " + ms + " ms");
            far.send("hello".getBytes());
            byte[] got = new byte[10];
            n = s.commRead(h, got, 10);
            expect(n == 5 && new String(got, 0, 5).equals("hello"), "what arrived is read: " + n + " bytes");
            byte[] out = "sixteen bytes!!!".getBytes();
            expect(s.commWrite(h, out, 16) == 16 && Arrays.equals(far.receive(16, 3000), out),
                    "16 bytes written arrive");
            expect(s.commRTS(h, false) != 0 && s.commDTR(h, true) != 0 && s.commRI(h) && s.commDCD(-1),
                    "lines switched, queries true");
            expect(s.commClose(h) == 0 && s.commOpen("COM5") != -1, "closed, and opened again");
        }
        System.out.println(failures == 0 ? "all checks passed" : failures + " checks failed");
        System.exit(failures == 0 ? 0 : 1);
    }
}
