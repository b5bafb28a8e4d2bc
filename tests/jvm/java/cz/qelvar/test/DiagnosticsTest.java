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

    /** A JVM of its own on the test's class path, as another user where asked. */
    static String java(List<String> as, String... args) throws Exception {
        List<String> command = new ArrayList<>(as);
        command.addAll(List.of("java", "-Djava.library.path=" + System.getProperty("java.library.path"),
                "-cp", System.getProperty("dorlesk.test.classpath")));
        command.addAll(List.of(args));
        Process p = new ProcessBuilder(command).redirectErrorStream(true).start();
        String out = new String(p.getInputStream().readAllBytes(), StandardCharsets.UTF_8);
        return "exit " + p.waitFor() + "\n" + out;
    }

    static void write(Path file, String text) throws Exception {
        Files.createDirectories(file.getParent());
        Files.writeString(file, text + "\n");
    }

    @Test
    void listLongSaysWhatTheSystemKnowsOfEachPort() throws Exception {
        Path dir = Pty.freshPortDir(), fake = dir.resolve("root");
        String usb = "sys/devices/pci0000:00/0000:00:14.0/usb1/1-2/";
        String[] files = {usb + "idVendor=0403", usb + "idProduct=6001", usb + "manufacturer=FTDI",
            usb + "product=FT232R USB UART", usb + "serial=A10KZP3X", "sys/class/tty/ttyS0/type=4",
            "sys/class/tty/ttyS0/port=0x3F8", "sys/class/tty/ttyS0/irq=4", "sys/class/tty/ttyAMA0/type=32",
            "sys/class/tty/ttyAMA0/irq=29"};
        for (String file : files) write(fake.resolve(file.split("=")[0]), file.split("=")[1]);
        Files.createDirectories(fake.resolve(usb + "1-2:1.0/ttyUSB0"));
        Files.createDirectories(fake.resolve("sys/class/tty/ttyUSB0"));
        Files.createSymbolicLink(fake.resolve("sys/class/tty/ttyUSB0/device"), fake.resolve(usb + "1-2:1.0"));
        Files.createDirectories(fake.resolve("dev/serial/by-id"));
        Files.createSymbolicLink(fake.resolve("dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A10KZP3X-if00-port0"),
                Paths.get("../../ttyUSB0"));
        Files.createSymbolicLink(fake.resolve("dev/serial0"), Paths.get("ttyAMA0"));
        for (String link : new String[] {"COM33:ttyUSB0", "COM1:ttyS0", "COM97:ttyAMA0"}) {
            Files.createSymbolicLink(dir.resolve(link.split(":")[0]), fake.resolve("dev/" + link.split(":")[1]));
        }
        System.setProperty("dorlesk.sysroot", fake.toString());
        String usbLine = SerialDiagnostics.describe("COM33");
        assertTrue(usbLine.endsWith("ttyUSB0 USB FTDI FT232R USB UART (0403:6001), serial A10KZP3X,"
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

    @Test
    void checkSaysWhyAPortWillNotOpen() throws Exception {
        Path dir = Pty.freshPortDir();
        try (Pty far = new Pty()) {
            far.linkAs("COM3");
            Files.createSymbolicLink(dir.resolve("COM6"), Paths.get("/dev/ttyUSB9"));
            String out = java(List.of(), "cz.qelvar.SerialTool", "check", "COM3");
            assertTrue(out.startsWith("exit 0\nCOM3 (" + dir.resolve("COM3") + ") opens."), out);
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
            assertTrue(out.contains("flock (pid " + flock.pid() + ": flock " + far.slave + " sleep 60) has it open"
                    + " and holds its lock."), out);
            Process holder = start(List.of(), "java", "-Djava.library.path=" + System.getProperty("java.library.path"),
                    "-cp", System.getProperty("dorlesk.test.classpath"), "cz.qelvar.test.DiagnosticsTest", "COM3");
            assertNotEquals("-1", new String(holder.getInputStream().readNBytes(2)).strip());
            out = SerialDiagnostics.explain("COM3");
            holder.getOutputStream().close();
            holder.waitFor();
            assertTrue(out.contains("(pid " + holder.pid() + ": java ") && out.contains(
                    "has it open and holds its lock (a Java program using Dorlesk)."), out);

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
            List<String> nobody = List.of("setpriv", "--reuid=65534", "--regid=65534", "--clear-groups");
            out = java(nobody, "cz.qelvar.SerialTool", "check", "COM3");
            assertTrue(out.startsWith("exit 1") && out.contains("no permission: " + far.slave
                    + " belongs to root, group dialout, mode rw-rw----.") && out.contains("nobody is not in"
                    + " group dialout: sudo usermod -aG dialout $USER, then log out and in again."), out);
            write(dir.resolve("root/etc/group"), "dialout:x:20:someone,nobody");
            out = java(nobody, "-Ddorlesk.sysroot=" + dir.resolve("root"), "cz.qelvar.SerialTool", "check", "COM3");
            assertTrue(out.contains("nobody was added to group dialout after this session began"), out);
            Files.setPosixFilePermissions(slave, PosixFilePermissions.fromString("rw-rw-rw-"));
            start(List.of(), "perl", "-e", "open(my $f, '+<', $ARGV[0]) or die; ioctl($f, 0x540C, 0) or die",
                    far.slave).waitFor(); // TIOCEXCL, and the program ends
            out = java(nobody, "cz.qelvar.SerialTool", "check", "COM3");
            assertTrue(out.contains("it is marked exclusive (TIOCEXCL), yet no process this user can see has"
                    + " it open"), out);
        }
    }
}
