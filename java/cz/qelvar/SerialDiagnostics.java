package cz.qelvar;

import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.DirectoryStream;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.nio.file.attribute.PosixFileAttributes;
import java.nio.file.attribute.PosixFilePermissions;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.Map;
import java.util.concurrent.TimeUnit;

/**
 * Which port is which, and why a port will not open: what {@code java -jar
 * dorlesk.jar list --long} and {@code check PORT} print, for programs to show
 * their users. On Linux it reads what the system knows (sysfs,
 * {@code /dev/serial}, {@code /proc}, the group database); on Windows it can
 * only say whether a port opens and list the ports present.
 */
public final class SerialDiagnostics {
    private static final String[] UART_TYPES = {"unknown", "8250", "16450", "16550", "16550A",
        "Cirrus", "16650", "16650V2", "16750", "Startech", "16C950", "16654", "16850", "RSA"};

    private SerialDiagnostics() {}

    /** Where /sys, /dev/serial and /etc/group are read; a test points it at a tree of its own. */
    private static Path system(String path) {
        return Paths.get(System.getProperty("dorlesk.sysroot", "") + path);
    }

    private static boolean linux() {
        return System.getProperty("os.name", "").startsWith("Linux");
    }

    /**
     * The device a port name leads to on Linux, as the library resolves it: a path
     * as it stands, {@code COMn} in {@code $DORLESK_PORT_DIR} or the fixed table.
     *
     * @param portName a name as {@link Serial#commOpen} takes it
     * @return the device path, or null when the name can name no device
     */
    public static String devicePath(String portName) {
        if (portName == null) return null;
        if (portName.startsWith("/")) return portName;
        if (!portName.matches("(?i)COM[1-9][0-9]{0,7}")) return null;
        int n = Integer.parseInt(portName.substring(3));
        String dir = System.getenv("DORLESK_PORT_DIR");
        if (dir != null && !dir.isEmpty()) return dir + "/COM" + n;
        String[] stems = {"/dev/ttyS", "/dev/ttyUSB", "/dev/ttyACM", "/dev/ttyAMA"};
        return n <= 99 ? stems[(n - 1) / 32] + (n - 1) % 32 : null;
    }

    /** A link followed to its end, which need not exist. */
    private static Path target(Path path) {
        for (int i = 0; i < 16 && Files.isSymbolicLink(path); i++) {
            try {
                path = path.resolveSibling(Files.readSymbolicLink(path)).normalize();
            } catch (IOException e) {
                break;
            }
        }
        return path;
    }

    private static String read(Path file) {
        try {
            return Files.readString(file, StandardCharsets.UTF_8).strip();
        } catch (IOException e) {
            return null;
        }
    }

    /**
     * One line on a port: its name, its device, and what the system knows of it (a
     * USB adapter's maker, product, ids, serial number and stable names; a UART's
     * type, I/O port and IRQ; a board's {@code serial0}/{@code serial1} alias).
     *
     * @param portName a port name such as {@code COM33}
     * @return the line, without a line end
     */
    public static String describe(String portName) {
        if (!linux()) return portName;
        String path = devicePath(portName);
        if (path == null) return portName + "  names no device";
        Path device = target(Paths.get(path));
        String shown = device.toString().equals(path) ? path : path + " -> " + device;
        String tty = device.getFileName().toString();
        List<String> facts = new ArrayList<>();
        Path sysfs = system("/sys/class/tty/" + tty);
        Path usb = usbDevice(sysfs.resolve("device"));
        String type = read(sysfs.resolve("type"));
        if (usb != null) {
            String serial = read(usb.resolve("serial"));
            facts.add(String.join(" ", "USB", String.valueOf(read(usb.resolve("manufacturer"))),
                    String.valueOf(read(usb.resolve("product"))), "(" + read(usb.resolve("idVendor")) + ":"
                    + read(usb.resolve("idProduct")) + ")") + (serial != null ? ", serial " + serial : ""));
        } else if (type != null && type.matches("\\d+")) {
            int t = Integer.parseInt(type);
            String port = read(sysfs.resolve("port")), irq = read(sysfs.resolve("irq"));
            facts.add("UART " + (t == 32 ? "PL011" : t < UART_TYPES.length ? UART_TYPES[t] : "type " + t)
                    + (port != null && !port.matches("0x0*") ? " at I/O " + port.toLowerCase() : "")
                    + (irq != null ? ", IRQ " + irq : ""));
        } else if (device.startsWith("/dev/pts")) {
            facts.add("pseudo-terminal");
        }
        for (String dir : new String[] {"/dev/serial/by-id", "/dev/serial/by-path", "/dev"}) {
            try (DirectoryStream<Path> links = Files.newDirectoryStream(system(dir),
                    p -> dir.startsWith("/dev/serial") || p.getFileName().toString().matches("serial[0-9]"))) {
                for (Path link : links) {
                    if (Files.isSymbolicLink(link) && target(link).getFileName().toString().equals(tty)) {
                        facts.add(dir + "/" + link.getFileName());
                    }
                }
            } catch (IOException e) {
                // no such directory: no such names
            }
        }
        return String.format("%-6s %-14s %s", portName, shown,
                facts.isEmpty() ? "(the system tells nothing more)" : String.join(", ", facts));
    }

    /** The USB device above a tty's device directory, the one with the ids. */
    private static Path usbDevice(Path device) {
        try {
            for (Path p = device.toRealPath(); p != null; p = p.getParent()) {
                if (Files.exists(p.resolve("idVendor"))) return p;
            }
        } catch (IOException e) {
            // not a USB device, or no sysfs
        }
        return null;
    }

    /**
     * Tries to open a port as {@link Serial#commOpen} does and, when it cannot be
     * opened, says why and what to do, one reason per line: a device that does not
     * exist (and the serial devices that do), missing permission (the device's owner,
     * group and mode, and how to join the group), another program holding it (which
     * one, where this user can see it), an exclusive mark nobody holds, or the system's
     * own error. The open raises DTR and RTS, as any open of a port does.
     *
     * @param portName a port name as {@link Serial#commOpen} takes it
     * @return the diagnosis; its first line says whether the port opens
     */
    public static String explain(String portName) {
        List<String> lines = new ArrayList<>();
        diagnose(portName, lines);
        return String.join(System.lineSeparator(), lines);
    }

    /** The diagnosis into lines; true when the port opens. */
    static boolean diagnose(String name, List<String> lines) {
        String path = linux() ? devicePath(name) : name;
        if (path == null) {
            lines.add(name + " names no port: give COM1 to COM99 or a device path.");
            present(lines);
            return false;
        }
        if (linux() && !Files.exists(Paths.get(path))) {
            Path end = target(Paths.get(path));
            lines.add(name + " maps to " + path + (end.toString().equals(path) ? "" : ", a link to " + end)
                    + ", which does not exist.");
            present(lines);
            return false;
        }
        String label = path.equals(name) ? name : name + " (" + path + ")";
        int h = Serial.commOpen(name);
        if (h != -1) {
            Serial.commClose(h);
            lines.add(label + " opens.");
            return true;
        }
        lines.add(label + " cannot be opened:");
        if (!linux()) {
            lines.add("  it does not exist, another program holds it, or it is no serial port.");
            present(lines);
            return false;
        }
        Path device = Paths.get(path);
        String error = openError(device);
        if (error.contains("Permission denied") || !Files.isReadable(device) || !Files.isWritable(device)) {
            permission(device, lines);
        } else if (error.isEmpty() || error.contains("Device or resource busy")) {
            holders(device, error.isEmpty(), lines);
        } else if (error.contains("Inappropriate ioctl")) {
            lines.add("  " + path + " is no serial device (the system: " + error + ").");
        } else {
            lines.add("  the system says: " + error);
        }
        return false;
    }

    /** The serial devices that exist, with their COM names, as the scan at load sees them. */
    private static void present(List<String> lines) {
        List<String> found = new ArrayList<>();
        if (linux()) {
            for (int n = 1; n <= 99; n++) {
                String path = devicePath("COM" + n);
                String tty = target(Paths.get(path)).getFileName().toString();
                String type = read(system("/sys/class/tty/" + tty + "/type"));
                if (isCharDevice(Paths.get(path)) && !"0".equals(type)) found.add("COM" + n + " " + path);
            }
        } else {
            found.addAll(Arrays.asList(Serial.commEnumPorts()));
        }
        lines.add("  serial ports here: " + (found.isEmpty() ? "none" : String.join(", ", found)));
    }

    private static boolean isCharDevice(Path path) {
        try {
            return ((Integer) Files.getAttribute(path, "unix:mode") & 0170000) == 0020000;
        } catch (IOException | RuntimeException e) {
            return false;
        }
    }

    /** What the system answers a non-blocking open of the device (stty's own open), or "" when it opens. */
    private static String openError(Path device) {
        try {
            Process p = new ProcessBuilder("stty", "-F", device.toString()).redirectErrorStream(true).start();
            String out = new String(p.getInputStream().readAllBytes(), StandardCharsets.UTF_8).strip();
            if (!p.waitFor(5, TimeUnit.SECONDS)) p.destroyForcibly();
            return p.exitValue() == 0 ? "" : out.substring(out.lastIndexOf(": ") + 2);
        } catch (IOException | InterruptedException | IllegalThreadStateException e) {
            return "";
        }
    }

    private static void permission(Path device, List<String> lines) {
        try {
            device = device.toRealPath();
            PosixFileAttributes a = Files.readAttributes(device, PosixFileAttributes.class);
            String group = a.group().getName();
            int gid = (Integer) Files.getAttribute(device, "unix:gid");
            lines.add("  no permission: " + device + " belongs to " + a.owner().getName() + ", group " + group
                    + ", mode " + PosixFilePermissions.toString(a.permissions()) + ".");
            if (!a.permissions().containsAll(PosixFilePermissions.fromString("---rw----"))) {
                lines.add("  its group may not read and write it either: only its owner can open it"
                        + " (a udev rule can give it to a group, such as dialout).");
                return;
            }
            String user = System.getProperty("user.name");
            boolean now = processGroups().contains(String.valueOf(gid));
            boolean listed = false;
            for (String line : Files.readAllLines(system("/etc/group"))) {
                String[] f = line.split(":", -1);
                listed |= f.length == 4 && f[0].equals(group) && Arrays.asList(f[3].split(",")).contains(user);
            }
            if (now) {
                lines.add("  " + user + " is in group " + group + ", yet may not open it: an access"
                        + " list or a security module refuses it.");
            } else if (listed) {
                lines.add("  " + user + " was added to group " + group + " after this session began:"
                        + " log out and in again (or start a shell with: newgrp " + group + ").");
            } else {
                lines.add("  " + user + " is not in group " + group + ": sudo usermod -aG " + group
                        + " $USER, then log out and in again.");
            }
        } catch (IOException | RuntimeException e) {
            lines.add("  no permission to open " + device + " (" + e.getMessage() + ").");
        }
    }

    private static List<String> processGroups() throws IOException {
        for (String line : Files.readAllLines(Paths.get("/proc/self/status"))) {
            if (line.startsWith("Groups:")) return Arrays.asList(line.substring(7).trim().split("\\s+"));
        }
        return List.of();
    }

    /** Who holds the device: processes with it open, and the holder of its lock. */
    private static void holders(Path device, boolean opensPlainly, List<String> lines) {
        Path real;
        Map<String, Object> id;
        try {
            real = device.toRealPath();
            id = Files.readAttributes(real, "unix:dev,ino");
        } catch (IOException e) {
            lines.add("  the system says: " + e.getMessage());
            return;
        }
        List<String> seen = new ArrayList<>();
        try (DirectoryStream<Path> procs = Files.newDirectoryStream(Paths.get("/proc"), "[0-9]*")) {
            for (Path proc : procs) {
                if (proc.getFileName().toString().equals(String.valueOf(ProcessHandle.current().pid()))) continue;
                try (DirectoryStream<Path> fds = Files.newDirectoryStream(proc.resolve("fd"))) {
                    for (Path fd : fds) {
                        if (real.equals(target(fd))) {
                            seen.add(proc.getFileName().toString());
                            break;
                        }
                    }
                } catch (IOException e) {
                    // another user's process, or one that has ended
                }
            }
        } catch (IOException e) {
            // no /proc
        }
        long dev = (Long) id.get("dev");
        // As /proc/locks names a file: major:minor of its file system, in hex, and its inode.
        String lockId = String.format("%02x:%02x:%d", (dev >>> 8) & 0xfff | (dev >>> 32) & ~0xfffL,
                dev & 0xff | (dev >>> 12) & ~0xffL, (Long) id.get("ino"));
        List<String> locking = new ArrayList<>();
        try {
            for (String line : Files.readAllLines(Paths.get("/proc/locks"))) {
                String[] f = line.trim().split("\\s+");
                if (f.length > 5 && f[1].equals("FLOCK") && f[5].equals(lockId)) locking.add(f[4]);
            }
        } catch (IOException e) {
            // no lock table
        }
        for (String pid : seen) {
            lines.add("  " + process(pid) + " has it open" + (locking.contains(pid) ? " and holds its lock"
                    + (maps(pid).contains("libDorlesk") ? " (a Java program using Dorlesk)" : "") : "") + ".");
        }
        for (String pid : locking) {
            if (!seen.contains(pid)) lines.add("  " + process(pid) + " holds its lock; this user cannot see"
                    + " its open files (another user's process).");
        }
        if (seen.isEmpty() && locking.isEmpty()) {
            lines.add(opensPlainly
                    ? "  it was held a moment ago; try again."
                    : "  it is marked exclusive (TIOCEXCL), yet no process this user can see has it open:"
                    + " another user's process holds it, or a program that ended left the mark (on a"
                    + " pseudo-terminal it lasts while the terminal's master is open).");
        }
        for (String pid : seen) {
            String comm = String.valueOf(read(Paths.get("/proc", pid, "comm")));
            if (comm.matches("ModemManager|minicom|picocom|screen|cu|tio|gtkterm|cutecom|putty")) {
                lines.add("  " + comm + " is a terminal or modem program: close it"
                        + (comm.equals("ModemManager") ? ", or tell it to leave the device alone"
                        + " (udev: ENV{ID_MM_DEVICE_IGNORE}=\"1\")" : "") + ".");
            }
        }
    }

    private static String process(String pid) {
        String comm = read(Paths.get("/proc", pid, "comm"));
        String cmd = read(Paths.get("/proc", pid, "cmdline"));
        cmd = cmd == null ? "" : cmd.replace('\0', ' ').strip();
        if (cmd.length() > 80) cmd = cmd.substring(0, 77) + "...";
        return (comm != null ? comm : "process") + " (pid " + pid + (cmd.isEmpty() ? "" : ": " + cmd) + ")";
    }

    private static String maps(String pid) {
        String maps = read(Paths.get("/proc", pid, "maps"));
        return maps != null ? maps : "";
    }
}
