package cz.qelvar.test;

import cz.qelvar.PortInfo;
import cz.qelvar.Serial;
import cz.qelvar.SerialPort;
import cz.qelvar.SerialPortException;
import cz.qelvar.SerialPortListener;
import cz.qelvar.SerialPortsListener;
import java.io.Closeable;
import java.io.FileOutputStream;
import java.nio.charset.StandardCharsets;
import java.nio.file.FileSystems;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.nio.file.StandardWatchEventKinds;
import java.nio.file.WatchService;
import java.util.Arrays;
import java.util.concurrent.BlockingQueue;
import java.util.concurrent.LinkedBlockingQueue;
import java.util.concurrent.TimeUnit;

/**
 * The uart layer's VM unplugs its FTDI adapter and plugs it back while the
 * library uses it: {@code UnplugChecks FAR_DEVICE}, run as root in the VM,
 * where the host's qemu removes and adds the adapter when the console says
 * "uart-vm: unplug" or "uart-vm: plug". Prints ok or FAIL for each check and
 * what it saw; exits 1 when a check failed.
 */
public final class UnplugChecks {
    static final double SCALE = Wire.timeScale();
    static final BlockingQueue<String> told = new LinkedBlockingQueue<>();
    static final BlockingQueue<Long> nodesGone = new LinkedBlockingQueue<>();

    public static void main(String[] args) throws Exception {
        String far = args[0];
        // When a ttyUSB node goes, as the system tells it: the moment of the unplug.
        WatchService dev = FileSystems.getDefault().newWatchService();
        Paths.get("/dev").register(dev, StandardWatchEventKinds.ENTRY_DELETE);
        Thread nodes = new Thread(() -> {
            try {
                for (;;) {
                    var key = dev.take();
                    long at = System.nanoTime();
                    for (var e : key.pollEvents()) {
                        if (e.context().toString().startsWith("ttyUSB")) nodesGone.add(at);
                    }
                    key.reset();
                }
            } catch (Exception e) {
                // closed
            }
        });
        nodes.setDaemon(true);
        nodes.start();
        try (Closeable watch = SerialPort.watchPorts(new SerialPortsListener() {
            public void added(PortInfo p) {
                told.add("+" + p.device() + " " + identity(p));
            }

            public void removed(PortInfo p) {
                told.add("-" + p.device() + " " + identity(p));
            }
        }, null)) {
            String adapter = null;
            for (String e; adapter == null && (e = told.poll(5, TimeUnit.SECONDS)) != null;) {
                if (e.startsWith("+/dev/ttyUSB")) adapter = e;
            }
            UartChecks.expect(adapter != null, "the watch tells the adapter that is there: " + adapter);
            if (adapter == null) System.exit(1);
            String identity = adapter.substring(adapter.indexOf(' ') + 1);
            System.out.println("adapter: " + adapter);
            nativeClass(identity);
            String device = plugBack(identity);
            serialPort(device, far, identity);
            listener(identity);
        }
        System.out.println(UartChecks.failures == 0 ? "all checks passed" : UartChecks.failures + " checks failed");
        System.exit(UartChecks.failures == 0 ? 0 : 1);
    }

    static String identity(PortInfo p) {
        return p.kind() + " " + p.vendorId() + ":" + p.productId() + " serial " + p.serialNumber() + " by "
                + p.driver();
    }

    /** Asks the host's qemu to remove or add the adapter, through the console. */
    static void request(String what) throws Exception {
        try (FileOutputStream console = new FileOutputStream("/dev/console")) {
            console.write(("uart-vm: " + what + "\n").getBytes(StandardCharsets.US_ASCII));
        }
    }

    /** Unplugs the adapter: when its node went, once the watch has told its removal. */
    static long unplug(String identity) throws Exception {
        nodesGone.clear();
        request("unplug");
        String e = awaitTold("-", identity);
        UartChecks.expect(e != null, "the watch tells the removal, with who it was: " + e);
        Long gone = nodesGone.poll(5, TimeUnit.SECONDS);
        return gone == null ? System.nanoTime() : gone;
    }

    /** The next event of this kind for the adapter, or null after a while. */
    static String awaitTold(String sign, String identity) throws Exception {
        for (String e; (e = told.poll((long) (20_000 * SCALE), TimeUnit.MILLISECONDS)) != null;) {
            System.out.println("watch: " + e);
            if (e.startsWith(sign) && e.endsWith(identity)) return e;
        }
        return null;
    }

    static String ms(long nanos) {
        return String.format("%.1f ms", nanos / 1e6);
    }

    /** The native class on a device that goes: its calls answer 0 at once, and commClose works. */
    static void nativeClass(String identity) throws Exception {
        int h = Serial.commOpen("COM33");
        Serial.commSetBaud(h, "115200", "8N1");
        Serial.commSetTimeout(h, 0);
        long[] ended = {0};
        int[] got = {-1};
        Thread reader = new Thread(() -> {
            got[0] = Serial.commRead(h, new byte[16], 16);
            ended[0] = System.nanoTime();
        });
        reader.start();
        SerialPortTest.awaitInside(reader, "commRead");
        long gone = unplug(identity);
        reader.join((long) (5000 * SCALE));
        long t = System.nanoTime();
        int wrote = Serial.commWrite(h, new byte[] {1, 2, 3}, 3);
        int set = Serial.commSetBaud(h, "9600", "8N1");
        long calls = System.nanoTime() - t;
        t = System.nanoTime();
        Serial.commClose(h);
        long closing = System.nanoTime() - t;
        System.out.println("native: the blocked read ended " + ms(ended[0] - gone) + " from the node's removal;"
                + " write and setting " + ms(calls) + "; close " + ms(closing));
        UartChecks.expect(got[0] == 0 && Math.abs(ended[0] - gone) < 100_000_000L * SCALE,
                "a blocked commRead answers 0 as the adapter goes");
        UartChecks.expect(wrote == 0 && set == 0 && calls < 100_000_000L * SCALE, "commWrite and commSetBaud"
                + " answer 0 at once on a gone adapter");
        UartChecks.expect(closing < 1_000_000_000L * SCALE, "commClose of a gone adapter returns");
    }

    /**
     * Plugs it back, twice: once while a handle of the old one is still open (it
     * comes back under the next name), once after; the list shows it with the
     * same identity each time. Its device name then.
     */
    static String plugBack(String identity) throws Exception {
        request("plug");
        String e = awaitTold("+", identity);
        UartChecks.expect(e != null, "plugged back, the watch tells it with the same identity: " + e);
        int held = Serial.commOpen("COM33");
        UartChecks.expect(held != -1, "it opens again by its COM name");
        unplug(identity);
        request("plug");
        e = awaitTold("+", identity);
        String name = e == null ? "" : e.substring(1, e.indexOf(' '));
        System.out.println("plugged back while the old handle is open, it is " + name);
        UartChecks.expect(name.equals("/dev/ttyUSB1"), "with the old handle open it comes back as the next"
                + " ttyUSB (COM34): " + name);
        boolean listed = false;
        for (PortInfo p : SerialPort.ports()) listed |= p.device().equals(name) && identity(p).equals(identity);
        UartChecks.expect(listed, "a fresh list shows it there, with the same identity");
        Serial.commClose(held);
        return name;
    }

    /** SerialPort on the adapter: a blocked read and a write under way end as it goes, saying why. */
    static void serialPort(String device, String far, String identity) throws Exception {
        try (Pty other = Pty.device(far, device, device, null); SerialPort port = SerialPort.open(device)) {
            port.setLine(115200, "8N1");
            port.setReadTimeout(java.time.Duration.ofSeconds(5));
            port.write("ping".getBytes(StandardCharsets.US_ASCII), 0, 4);
            String there = new String(other.receive(4, (int) (5000 * SCALE)), StandardCharsets.US_ASCII);
            other.send("pong".getBytes(StandardCharsets.US_ASCII));
            byte[] back = new byte[4];
            int n = port.read(back, 0, 4);
            UartChecks.expect(there.equals("ping") && n == 4 && new String(back, StandardCharsets.US_ASCII)
                    .equals("pong"), "plugged back, bytes flow both ways: " + there + ", " + n);
            port.setReadTimeout(java.time.Duration.ZERO);
            String[] outcome = new String[2];
            long[] ended = new long[2];
            Thread reader = new Thread(() -> {
                try {
                    outcome[0] = "read " + port.read(new byte[16], 0, 16);
                } catch (SerialPortException e) {
                    outcome[0] = e.getMessage();
                }
                ended[0] = System.nanoTime();
            });
            // qemu's adapter takes bytes as fast as they come, ignores XOFF and
            // stops the whole VM when its far end falls behind: so the writes
            // here are small and paced (16 bytes a millisecond, taken by the far
            // end as they come), and the one under way meets the unplug.
            java.util.concurrent.atomic.AtomicBoolean writing = new java.util.concurrent.atomic.AtomicBoolean(true);
            Thread drain = new Thread(() -> {
                while (writing.get()) other.receiveAny(4096, 10);
            });
            Thread writer = new Thread(() -> {
                try {
                    for (;;) {
                        port.write(new byte[16], 0, 16);
                        Thread.sleep(1);
                    }
                } catch (SerialPortException e) {
                    outcome[1] = e.getMessage();
                } catch (InterruptedException e) {
                    outcome[1] = "interrupted";
                }
                ended[1] = System.nanoTime();
            });
            drain.start();
            reader.start();
            writer.start();
            SerialPortTest.awaitInside(reader, "commRead");
            long gone = unplug(identity);
            reader.join((long) (5000 * SCALE));
            writer.join((long) (5000 * SCALE));
            writing.set(false);
            drain.join();
            System.out.println("SerialPort: the read ended " + ms(ended[0] - gone) + " and the write "
                    + ms(ended[1] - gone) + " from the node's removal: " + Arrays.toString(outcome));
            UartChecks.expect(Math.abs(ended[0] - gone) < 100_000_000L * SCALE
                    && Math.abs(ended[1] - gone) < 100_000_000L * SCALE, "both end within 100 ms");
            UartChecks.expect(outcome[0].equals(device + " was removed (its device is gone: unplugged?)")
                    && outcome[1].matches(".* bytes: it was removed .*"), "and say the device was removed");
            // The port stays open on the gone device a second: no thread of the
            // program's or the library's may spin (the JVM's own compiler and
            // collector threads, which TCG slows, are not Java threads).
            long cpu = javaThreadsCpu();
            Thread.sleep(1000);
            cpu = javaThreadsCpu() - cpu;
            System.out.println("the Java threads' CPU in the second after: " + ms(cpu));
            UartChecks.expect(cpu < 50_000_000L * SCALE, "nothing spins on the gone device");
        }
        request("plug");
        UartChecks.expect(awaitTold("+", identity) != null, "plugged back once more");
    }

    /** A listener hears the removal once, as a removal. */
    static void listener(String identity) throws Exception {
        String device = null;
        for (PortInfo p : SerialPort.ports()) if (identity(p).equals(identity)) device = p.device();
        BlockingQueue<String> heard = new LinkedBlockingQueue<>();
        try (SerialPort port = SerialPort.open(device)) {
            port.listen(new SerialPortListener() {
                public void received(SerialPort p, byte[] data) {}

                public void ended(SerialPort p, End why) {
                    heard.add(why.toString());
                }
            }, null);
            unplug(identity);
            String first = heard.poll((long) (5000 * SCALE), TimeUnit.MILLISECONDS);
            String second = heard.poll(500, TimeUnit.MILLISECONDS);
            UartChecks.expect("REMOVED".equals(first) && second == null, "a listener hears the removal once: "
                    + first + ", then " + second);
        }
        request("plug");
        UartChecks.expect(awaitTold("+", identity) != null, "and it comes back");
    }

    /** The CPU time of every live Java thread, summed. */
    static long javaThreadsCpu() {
        java.lang.management.ThreadMXBean threads = java.lang.management.ManagementFactory.getThreadMXBean();
        long sum = 0;
        for (long id : threads.getAllThreadIds()) sum += Math.max(0, threads.getThreadCpuTime(id));
        return sum;
    }
}
