package cz.qelvar.test;

import static org.junit.jupiter.api.Assertions.*;

import cz.qelvar.Serial;
import cz.qelvar.SerialDiagnostics;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.nio.file.attribute.PosixFileAttributeView;
import java.nio.file.attribute.PosixFilePermissions;
import java.util.ArrayList;
import java.util.List;
import java.util.concurrent.TimeUnit;
import org.junit.jupiter.api.Test;

/** Which port is which, and why a port will not open: list --long and check. */
class DiagnosticsTest {
    /** Holds a port open through Dorlesk until its input ends, for the check to find. */
    public static void main(String[] args) throws Exception {
        System.out.println(Serial.commOpen(args[0]));
        System.in.read();
    }

    static final boolean root = "root".equals(System.getProperty("user.name"));

    static Process start(List<String> prefix, String... command) throws Exception {
        List<String> all = new ArrayList<>(prefix);
        all.addAll(List.of(command));
        return new ProcessBuilder(all).redirectErrorStream(true).start();
    }

    /**
     * A JVM of its own on the test's class path, as another user where asked; that
     * user gets copies in a directory it can read, as the tree under test may lie
     * in one it cannot enter.
     */
    static String java(List<String> as, String... args) throws Exception {
        List<String> command = new ArrayList<>(as);
        String classPath = System.getProperty("dorlesk.test.classpath");
        String libraryPath = System.getProperty("java.library.path");
        if (!as.isEmpty()) {
            Path copies = Files.createTempDirectory("dorlesk-other");
            Files.setPosixFilePermissions(copies, PosixFilePermissions.fromString("rwxr-xr-x"));
            List<String> jars = new ArrayList<>();
            for (String jar : classPath.split(":")) {
                jars.add(Files.copy(Paths.get(jar), copies.resolve(Paths.get(jar).getFileName())).toString());
            }
            for (String dir : libraryPath.split(":")) {
                try (var libraries = Files.newDirectoryStream(Paths.get(dir), "lib*.so")) {
                    for (Path library : libraries) {
                        Files.copy(library, copies.resolve(library.getFileName()),
                                java.nio.file.StandardCopyOption.REPLACE_EXISTING);
                    }
                }
            }
            try (var all = Files.list(copies)) {
                for (Path copy : (Iterable<Path>) all::iterator) {
                    Files.setPosixFilePermissions(copy, PosixFilePermissions.fromString("rw-r--r--"));
                }
            }
            classPath = String.join(":", jars);
            libraryPath = copies.toString();
        }
        command.addAll(List.of("java", "-Djava.library.path=" + libraryPath, "-cp", classPath));
        command.addAll(List.of(args));
        Process p = new ProcessBuilder(command).redirectErrorStream(true).start();
        String out = new String(p.getInputStream().readAllBytes(), StandardCharsets.UTF_8);
        int status = p.waitFor();
        if (!as.isEmpty()) removeTree(Paths.get(libraryPath));
        return "exit " + status + "\n" + out;
    }

    static void removeTree(Path dir) throws Exception {
        try (var all = Files.walk(dir)) {
            for (Path p : (Iterable<Path>) all.sorted(java.util.Comparator.reverseOrder())::iterator) Files.delete(p);
        }
    }

    static void write(Path file, String text) throws Exception {
        Files.createDirectories(file.getParent());
        Files.writeString(file, text + "\n");
    }

    static String stty(String device, String... settings) throws Exception {
        List<String> command = new ArrayList<>(List.of("stty", "-F", device));
        command.addAll(List.of(settings));
        Process p = start(List.of(), command.toArray(new String[0]));
        String out = new String(p.getInputStream().readAllBytes(), StandardCharsets.UTF_8).strip();
        assertEquals(0, p.waitFor(), out);
        return out;
    }

    /** Text that reaches a terminal holds no control character but the line ends. */
    static void assertPrintable(String text) {
        assertTrue(text.chars().allMatch(c -> c == '\n' || c >= 0x20 && c != 0x7f && (c < 0x80 || c > 0x9f)),
                text);
    }

    @Test
    void listLongSaysWhatTheSystemKnowsOfEachPort() throws Exception {
        Path dir = Pty.freshPortDir(), fake = dir.resolve("root");
        String usb = "sys/devices/pci0000:00/0000:00:14.0/usb1/1-2/";
        // Any user who can plug in a device writes its strings: a newline and an
        // escape sequence in them must not forge a line or reach the terminal.
        String[] files = {usb + "idVendor=0403", usb + "idProduct=6001", usb + "manufacturer=FTDI",
            usb + "product=FT232R\u001b[2K\u007f\u202a\u202e\u2066\u2069\nCOM6", usb + "serial=A10KZP3X", "sys/class/tty/ttyS0/type=4",
            "sys/class/tty/ttyS0/port=0x3F8", "sys/class/tty/ttyS0/irq=4", "sys/class/tty/ttyAMA0/type=32",
            "sys/class/tty/ttyAMA0/irq=29", "sys/class/tty/ttyS5/type=99999999999"};
        for (String file : files) write(fake.resolve(file.split("=")[0]), file.split("=", 2)[1]);
        Files.createDirectories(fake.resolve(usb + "1-2:1.0/ttyUSB0"));
        Files.createDirectories(fake.resolve("sys/class/tty/ttyUSB0"));
        Files.createSymbolicLink(fake.resolve("sys/class/tty/ttyUSB0/device"), fake.resolve(usb + "1-2:1.0"));
        Files.createDirectories(fake.resolve("dev/serial/by-id"));
        Files.createSymbolicLink(fake.resolve("dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A10KZP3X-if00-port0"),
                Paths.get("../../ttyUSB0"));
        Files.createSymbolicLink(fake.resolve("dev/serial0"), Paths.get("ttyAMA0"));
        for (String link : new String[] {"COM33:ttyUSB0", "COM1:ttyS0", "COM97:ttyAMA0", "COM5:ttyS5"}) {
            Files.createSymbolicLink(dir.resolve(link.split(":")[0]), fake.resolve("dev/" + link.split(":")[1]));
        }
        Files.createSymbolicLink(dir.resolve("COM2"), Paths.get("/"));
        // Whatever the name, every method answers in words.
        for (String name : new String[] {"/", "//", "COM2", "COM5", "a\u0000b", "\ud800", "/tmp/\udfff", null}) {
            for (String answer : new String[] {SerialDiagnostics.describe(name), SerialDiagnostics.explain(name)}) {
                assertFalse(answer.isBlank(), name);
                assertPrintable(answer);
            }
        }
        assertTrue(SerialDiagnostics.describe("COM5").endsWith("UART type 99999999999")
                || SerialDiagnostics.describe("COM5").contains("nothing more"), SerialDiagnostics.describe("COM5"));
        assertTrue(SerialDiagnostics.explain("/dev/null").contains("/dev/null is no serial device."),
                SerialDiagnostics.explain("/dev/null"));
        assertTrue(SerialDiagnostics.explain("/tmp/\udfff").contains("cannot spell"),
                SerialDiagnostics.explain("/tmp/\udfff"));
        System.setProperty("dorlesk.sysroot", fake.toString());
        String usbLine = SerialDiagnostics.describe("COM33");
        assertTrue(usbLine.endsWith("ttyUSB0 USB FTDI FT232R\\x1b[2K\\x7f\\u202a\\u202e\\u2066\\u2069\\x0aCOM6 (0403:6001), serial A10KZP3X,"
                + " /dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A10KZP3X-if00-port0"), usbLine);
        assertTrue(SerialDiagnostics.describe("COM1").endsWith("ttyS0 UART 16550A at I/O 0x3f8, IRQ 4"),
                SerialDiagnostics.describe("COM1"));
        assertTrue(SerialDiagnostics.describe("COM97").endsWith("ttyAMA0 UART PL011, IRQ 29, /dev/serial0"),
                SerialDiagnostics.describe("COM97"));
        // The command line lists what the scan found, each with its line.
        try (Pty far = new Pty()) {
            far.linkAs("COM3");
            String out = java(List.of(), "cz.qelvar.SerialTool", "list", "--long");
            assertTrue(out.contains("\nCOM3   " + dir.resolve("COM3") + " -> " + far.slave + " pseudo-terminal"), out);
        }
    }

    /**
     * The ports as they are at each call, with who they are: COM names first
     * (a network entry too), then serial devices the mapping does not cover;
     * phantom UARTs and consoles never. A plug watch tells what comes and goes.
     */
    @Test
    void portsAreListedAsTheyAreNowAndWatched() throws Exception {
        Path dir = Pty.freshPortDir(), fake = dir.resolve("root");
        String usb = "sys/devices/pci0000:00/0000:00:14.0/usb1/1-2/";
        String[] files = {usb + "idVendor=0403", usb + "idProduct=6001", usb + "manufacturer=FTDI",
            usb + "product=FT232R USB UART", usb + "serial=A10KZP3X", "sys/class/tty/ttyS3/type=0",
            "sys/devices/platform/30860000.serial/x=", "sys/devices/platform/serial8250/x=", "dev/ttyUSB40=",
            "dev/ttymxc0=", "dev/ttyS3=", "dev/tty1=", "sys/class/tty/tty1/dev=4:1"};
        for (String file : files) write(fake.resolve(file.split("=")[0]), file.split("=", 2)[1]);
        Files.createDirectories(fake.resolve(usb + "1-2:1.0/ttyUSB40"));
        Files.createDirectories(fake.resolve("sys/bus/usb-serial/drivers/ftdi_sio"));
        Files.createSymbolicLink(fake.resolve(usb + "1-2:1.0/ttyUSB40/driver"),
                fake.resolve("sys/bus/usb-serial/drivers/ftdi_sio"));
        for (String link : new String[] {"ttyUSB40:" + usb + "1-2:1.0/ttyUSB40", "ttymxc0:sys/devices/platform/30860000.serial",
            "ttyS3:sys/devices/platform/serial8250"}) {
            Files.createDirectories(fake.resolve("sys/class/tty/" + link.split(":")[0]));
            Files.createSymbolicLink(fake.resolve("sys/class/tty/" + link.split(":")[0] + "/device"),
                    fake.resolve(link.split(":", 2)[1]));
        }
        Files.createDirectories(fake.resolve("dev/serial/by-id"));
        Files.createSymbolicLink(fake.resolve("dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A10KZP3X-if00-port0"),
                Paths.get("../../ttyUSB40"));
        Files.writeString(dir.resolve("COM9"), "rfc2217://plc.example:2217\n");
        System.setProperty("dorlesk.sysroot", fake.toString());
        try (Pty far = new Pty()) {
            far.linkAs("COM3");
            List<String> ports = new ArrayList<>();
            for (cz.qelvar.PortInfo p : cz.qelvar.SerialPort.ports()) ports.add(p.toString());
            assertEquals(List.of("COM3 (" + far.slave + "): pseudo-terminal",
                    "COM9 (rfc2217://plc.example:2217): network port rfc2217://plc.example:2217 (a terminal"
                            + " server; listing does not connect to it)",
                    "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A10KZP3X-if00-port0 (/dev/ttyUSB40): USB FTDI FT232R"
                            + " USB UART (0403:6001), serial A10KZP3X, /dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A10KZP3X-if00-port0",
                    "/dev/ttymxc0: (the system tells nothing more)"),
                    ports);
            cz.qelvar.PortInfo adapter = cz.qelvar.SerialPort.ports().get(2);
            assertEquals(List.of("USB_ADAPTER", "/dev/ttyUSB40", "0403", "6001", "A10KZP3X", "FTDI", "FT232R USB UART",
                    "ftdi_sio"), List.of(adapter.kind().toString(), adapter.device(), adapter.vendorId(),
                    adapter.productId(), adapter.serialNumber(), adapter.manufacturer(), adapter.product(),
                    adapter.driver()));
            assertNull(adapter.comName());
            assertEquals(cz.qelvar.PortInfo.Kind.OTHER, cz.qelvar.SerialPort.ports().get(3).kind());
            // list --long names what the load did not find.
            String out = java(List.of(), "-Ddorlesk.sysroot=" + fake, "cz.qelvar.SerialTool", "list", "--long");
            assertTrue(out.contains("\nnow    /dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A10KZP3X-if00-port0 (/dev/ttyUSB40):"
                    + " USB FTDI"), out);
            // A watch hears what is there, then what comes and goes, in order.
            java.util.concurrent.BlockingQueue<String> told = new java.util.concurrent.LinkedBlockingQueue<>();
            try (java.io.Closeable watch = cz.qelvar.SerialPort.watchPorts(new cz.qelvar.SerialPortsListener() {
                public void added(cz.qelvar.PortInfo p) {
                    told.add("+" + p.name());
                }

                public void removed(cz.qelvar.PortInfo p) {
                    told.add("-" + p.name() + " " + p.kind());
                }
            }, null)) {
                for (String expected : new String[] {"+COM3", "+COM9",
                    "+/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A10KZP3X-if00-port0", "+/dev/ttymxc0"}) {
                    assertEquals(expected, told.poll(5, TimeUnit.SECONDS));
                }
                try (Pty another = new Pty()) {
                    another.linkAs("COM4");
                    assertEquals("+COM4", told.poll(5, TimeUnit.SECONDS));
                    Files.delete(dir.resolve("COM3"));
                    assertEquals("-COM3 PSEUDO_TERMINAL", told.poll(5, TimeUnit.SECONDS));
                }
                assertNull(told.poll(300, TimeUnit.MILLISECONDS));
            }
        } finally {
            System.clearProperty("dorlesk.sysroot");
        }
    }

    @Test
    void checkSaysWhyAPortWillNotOpen() throws Exception {
        Path dir = Pty.freshPortDir();
        try (Pty far = new Pty()) {
            far.linkAs("COM3");
            Files.createSymbolicLink(dir.resolve("COM6"), Paths.get("/dev/ttyUSB9"));
            // A free port is tried and its line given back exactly as found.
            stty(far.slave, "icanon", "echo", "hupcl", "-clocal", "1200");
            String found = stty(far.slave, "-g");
            String out = java(List.of(), "cz.qelvar.SerialTool", "check", "COM3");
            assertTrue(out.startsWith("exit 0\nCOM3 (" + dir.resolve("COM3") + ") opens.")
                    && out.contains("raised DTR and RTS"), out);
            assertEquals(found, stty(far.slave, "-g"));
            // One that a program has open, without a lock, is left alone; what that
            // program wrote into its command line reaches the terminal escaped.
            Process user = start(List.of(), "sh", "-c", "exec perl -e '$0 = \"x\\e]52;c;QQ\\a\\nCOM3 opens.\";"
                    + " $| = 1; print \"up\\n\"; sleep 60' <\"$0\"", far.slave);
            assertEquals("up", new String(user.getInputStream().readNBytes(3)).strip());
            out = java(List.of(), "cz.qelvar.SerialTool", "check", "COM3");
            user.destroy();
            user.waitFor();
            // It holds no lock, so the library's open would succeed, and check says so.
            assertTrue(out.startsWith("exit 0\nCOM3 (" + dir.resolve("COM3") + ") opens, but is in use, so it was not"
                    + " tried:") && out.contains("(pid " + user.pid() + ": x\\x1b]52;c;QQ\\x07\\x0aCOM3 opens.) has it"
                    + " open.") && out.contains("it holds no lock, so an open succeeds"), out);
            assertPrintable(out);
            assertEquals(found, stty(far.slave, "-g"));
            // The terminal check runs in, by its own name and as /dev/tty, is left alone.
            for (String own : new String[] {"/dev/tty", "$(tty)"}) {
                Process p = start(List.of(), "script", "-qec", "java -Djava.library.path="
                        + System.getProperty("java.library.path") + " -cp " + System.getProperty("dorlesk.test.classpath")
                        + " cz.qelvar.SerialTool check " + own + "; echo \"exit $?\"", "/dev/null");
                p.getOutputStream().close();
                out = new String(p.getInputStream().readAllBytes(), StandardCharsets.UTF_8);
                p.waitFor();
                assertTrue(out.contains("opens, but is in use, so it was not tried:") && out.contains("it is the"
                        + " terminal this program runs in.") && out.contains("exit 0"), own + ": " + out);
            }
            // This very program holds it.
            int mine = Serial.commOpen("COM3");
            out = SerialDiagnostics.explain("COM3");
            Serial.commClose(mine);
            assertTrue(out.contains("this program (pid " + ProcessHandle.current().pid() + ") has it open and holds"
                    + " its lock.") && !out.contains("another user"), out);
            out = java(List.of(), "cz.qelvar.SerialTool", "check", "COM5");
            assertTrue(out.startsWith("exit 1\nCOM5 maps to " + dir.resolve("COM5") + ", which does not exist.")
                    && out.contains("serial ports here: COM3 " + dir.resolve("COM3")), out);
            assertTrue(SerialDiagnostics.explain("COM6").contains("a link to /dev/ttyUSB9, which does not exist"));

            // Held through a lock by a process found by its pid, and by a JVM using Dorlesk.
            Process flock = start(List.of(), "flock", far.slave, "sleep", "60");
            Thread.sleep(300);
            out = SerialDiagnostics.explain("COM3");
            flock.descendants().forEach(ProcessHandle::destroy); // the sleep holds the lock too
            flock.destroy();
            flock.waitFor();
            // explain, whose text a program may log, names it without its command line.
            assertTrue(out.contains("flock (pid " + flock.pid() + ") has it open and holds its lock."), out);
            Process holder = start(List.of(), "java", "-Djava.library.path=" + System.getProperty("java.library.path"),
                    "-cp", System.getProperty("dorlesk.test.classpath"), "cz.qelvar.test.DiagnosticsTest", "COM3");
            assertNotEquals("-1", new String(holder.getInputStream().readNBytes(2)).strip());
            out = SerialDiagnostics.explain("COM3");
            holder.getOutputStream().close();
            holder.waitFor();
            assertTrue(out.contains("java (pid " + holder.pid() + ") has it open and holds its lock (a Java program"
                    + " using Dorlesk)."), out);

            if (!root) {
                System.out.println("SKIP jvm.DiagnosticsTest: the checks as another user need root");
                return;
            }
            // Another user: no permission, in the group database but not in the session, and a
            // mark of exclusive use that no process holds.
            // the device as udev leaves a serial port
            Path slave = Paths.get(far.slave);
            Files.getFileAttributeView(slave, PosixFileAttributeView.class).setGroup(
                    slave.getFileSystem().getUserPrincipalLookupService().lookupPrincipalByGroupName("dialout"));
            Files.setPosixFilePermissions(slave, PosixFilePermissions.fromString("rw-rw----"));
            // Its port directory and group file where it can read them: the tree
            // under test may lie in a directory it cannot enter.
            Path readable = Files.createTempDirectory("dorlesk-nobody");
            Files.setPosixFilePermissions(readable, PosixFilePermissions.fromString("rwxr-xr-x"));
            Files.createDirectories(readable.resolve("ports"));
            Files.createSymbolicLink(readable.resolve("ports/COM3"), slave);
            List<String> nobody = List.of("setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "env",
                    "DORLESK_PORT_DIR=" + readable.resolve("ports"));
            out = java(nobody, "cz.qelvar.SerialTool", "check", "COM3");
            assertTrue(out.startsWith("exit 1") && out.contains("no permission: " + far.slave
                    + " belongs to root, group dialout, mode rw-rw----.") && out.contains("nobody is not in"
                    + " group dialout: sudo usermod -aG dialout $USER, then log out and in again."), out);
            // Read leniently, and every line counts: a byte that is no UTF-8 and
            // the lines after the group's own.
            Files.createDirectories(readable.resolve("root/etc"));
            Files.write(readable.resolve("root/etc/group"), "x\u00ff:x:9:\ndialout:x:20:someone,nobody\nusers:x:100:\n"
                    .getBytes(StandardCharsets.ISO_8859_1));
            out = java(nobody, "-Ddorlesk.sysroot=" + readable.resolve("root"), "cz.qelvar.SerialTool", "check", "COM3");
            assertTrue(out.contains("nobody was added to group dialout after this session began"), out);
            Files.setPosixFilePermissions(slave, PosixFilePermissions.fromString("rw-rw-rw-"));
            start(List.of(), "perl", "-e", "open(my $f, '+<', $ARGV[0]) or die; ioctl($f, 0x540C, 0) or die",
                    far.slave).waitFor(); // TIOCEXCL, and the program ends
            out = java(nobody, "cz.qelvar.SerialTool", "check", "COM3");
            assertTrue(out.contains("it is marked exclusive (TIOCEXCL), yet no process this user can see has"
                    + " it open"), out);
            removeTree(readable);
        }
    }
    /**
     * A container's /dev/pts numbers its terminals as the host's does: a
     * process that holds a terminal there with the number of the host's is not
     * named as that one's holder.
     */
    @Test
    void checkTellsTerminalsOfTwoDevptsInstancesApart() throws Exception {
        if (!root) {
            System.out.println("SKIP jvm.DiagnosticsTest: mounting a devpts instance needs root");
            return;
        }
        Path dir = Pty.freshPortDir();
        try (Pty far = new Pty()) {
            far.linkAs("COM3");
            Path instance = Files.createTempDirectory("dorlesk-devpts");
            Process mount = start(List.of(), "mount", "-t", "devpts", "-o", "newinstance,ptmxmode=0666", "devpts",
                    instance.toString());
            String mounted = new String(mount.getInputStream().readAllBytes(), StandardCharsets.UTF_8);
            if (mount.waitFor() != 0) {
                Files.delete(instance);
                System.out.println("SKIP jvm.DiagnosticsTest: cannot mount a devpts instance: " + mounted);
                return;
            }
            String index = far.slave.substring("/dev/pts/".length());
            // Terminals in the new instance up to the host's number; the last one held.
            Process twin = start(List.of(), "python3", "-c", "import fcntl, os, struct, sys, time\n"
                    + "d, k = sys.argv[1], int(sys.argv[2]); held = []\n"
                    + "while True:\n"
                    + "    m = os.open(d + '/ptmx', os.O_RDWR | os.O_NOCTTY); held.append(m)\n"
                    + "    n = struct.unpack('I', fcntl.ioctl(m, 0x80045430, bytes(4)))[0]\n"
                    + "    fcntl.ioctl(m, 0x40045431, bytes(4))\n"
                    + "    if n == k: break\n"
                    + "held.append(os.open(d + '/' + str(k), os.O_RDWR | os.O_NOCTTY))\n"
                    + "print('up', flush=True); time.sleep(60)\n", instance.toString(), index);
            try {
                String up = new String(twin.getInputStream().readNBytes(3), StandardCharsets.UTF_8).strip();
                assertEquals("up", up);
                String out = java(List.of(), "cz.qelvar.SerialTool", "check", "COM3");
                assertTrue(out.startsWith("exit 0\nCOM3 (" + dir.resolve("COM3") + ") opens.")
                        && !out.contains("(pid " + twin.pid()), out);
            } finally {
                twin.destroy();
                twin.waitFor();
                start(List.of(), "umount", "-l", instance.toString()).waitFor();
                Files.delete(instance);
            }
        }
    }
}
