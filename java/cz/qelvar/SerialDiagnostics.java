package cz.qelvar;

import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.DirectoryIteratorException;
import java.nio.file.DirectoryStream;
import java.nio.file.Files;
import java.nio.file.InvalidPathException;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.nio.file.attribute.PosixFileAttributes;
import java.nio.file.attribute.PosixFilePermissions;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.Collections;
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
    private SerialDiagnostics() {}

    private static boolean linux() {
        return PortInfo.linux();
    }

    private static Path system(String path) {
        return PortInfo.system(path);
    }

    private static Path target(Path path) {
        return PortInfo.target(path);
    }

    private static String leaf(Path path) {
        return PortInfo.leaf(path);
    }

    private static String read(Path file) {
        return PortInfo.read(file);
    }

    /**
     * Text from other parties (process command lines, USB strings, link names)
     * made safe for a terminal: control characters, which could move the cursor,
     * forge lines or set the clipboard, and the bidirectional overrides are
     * shown escaped, as ls and ps do.
     */
    static String clean(String text) {
        StringBuilder out = new StringBuilder(text.length());
        text.codePoints().forEach(c -> {
            boolean bidi = c >= 0x202a && c <= 0x202e || c >= 0x2066 && c <= 0x2069;
            if (Character.isISOControl(c) || bidi || c == 0x2028 || c == 0x2029) {
                out.append(c <= 0xff ? String.format("\\x%02x", c) : String.format("\\u%04x", c));
            } else {
                out.appendCodePoint(c);
            }
        });
        return out.toString();
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
        // As the library reads COM numbers: no leading zero, at most nine digits.
        if (!portName.matches("(?i)COM[1-9][0-9]{0,8}")) return null;
        int n = Integer.parseInt(portName.substring(3));
        String dir = System.getenv("DORLESK_PORT_DIR");
        if (dir != null && !dir.isEmpty()) return dir + "/COM" + n;
        String[] stems = {"/dev/ttyS", "/dev/ttyUSB", "/dev/ttyACM", "/dev/ttyAMA"};
        return n <= 99 ? stems[(n - 1) / 32] + (n - 1) % 32 : null;
    }

    /** Why a name cannot be looked at: one the file-name encoding cannot spell, say. */
    private static String unusable(String name, RuntimeException e) {
        if (e instanceof InvalidPathException) {
            return clean(String.valueOf(name)) + " cannot be looked up: it holds a character that the"
                    + " file-name encoding (" + System.getProperty("sun.jnu.encoding") + ") cannot spell;"
                    + " run with a UTF-8 locale (LC_ALL=C.UTF-8).";
        }
        return clean(String.valueOf(name)) + " could not be looked into: " + clean(String.valueOf(e));
    }

    /**
     * One line on a port: its name, its device, and what the system knows of it (a
     * USB adapter's maker, product, ids, serial number and stable names; a UART's
     * type, I/O port and IRQ; a board's {@code serial0}/{@code serial1} alias).
     * Control characters in what other parties wrote are shown escaped.
     *
     * @param portName a port name such as {@code COM33}
     * @return the line, without a line end
     */
    public static String describe(String portName) {
        try {
            return clean(facts(portName));
        } catch (RuntimeException e) {
            return unusable(portName, e);
        }
    }

    private static String facts(String portName) {
        if (!linux()) return String.valueOf(portName);
        PortInfo info = PortInfo.of(portName);
        if (info == null) return portName + "  names no device";
        String path = devicePath(portName);
        if (info.kind() == PortInfo.Kind.NETWORK) {
            return String.format("%-6s %-14s %s", portName, info.device().equals(portName) ? "" : path, info.facts());
        }
        Path device = target(Paths.get(path));
        String shown = device.toString().equals(path) ? path : path + " -> " + device;
        return String.format("%-6s %-14s %s", portName, shown, info.facts());
    }

    /**
     * Says whether a port opens as {@link Serial#commOpen} opens it and, when it
     * cannot be opened, why and what to do, one reason per line: a device that does
     * not exist (and the serial devices that do), missing permission (the device's
     * owner, group and mode, and how to join the group), a program that has it open
     * (which one by its name and pid, this program included, where this user can see
     * it; never its command line, which may hold credentials), an exclusive
     * mark nobody holds, or the system's own error. A port that a program has open,
     * or that is the system console or this program's own terminal, is not opened at
     * all. A free port is opened once to try it, which raises DTR and RTS as any
     * open does, and its line settings are given back as they were found. Control
     * characters in what other parties wrote are shown escaped.
     *
     * @param portName a port name as {@link Serial#commOpen} takes it
     * @return the diagnosis; its first line says whether the port opens
     */
    public static String explain(String portName) {
        List<String> lines = new ArrayList<>();
        diagnose(portName, lines, false);
        return String.join(System.lineSeparator(), lines);
    }

    /** The diagnosis into lines, made safe for a terminal; true when the port opens. */
    static boolean diagnose(String name, List<String> lines, boolean commandLines) {
        int from = lines.size();
        boolean opens;
        try {
            opens = linux() ? diagnoseLinux(name, lines, commandLines) : diagnoseElsewhere(name, lines);
        } catch (RuntimeException e) {
            lines.add(unusable(name, e));
            opens = false;
        }
        for (int i = from; i < lines.size(); i++) lines.set(i, clean(lines.get(i)));
        return opens;
    }

    /** Opens and closes the port: "opens." and true, or "cannot be opened:" and false. */
    static boolean tryOpen(String name, String label, List<String> lines) {
        int h = Serial.commOpen(name);
        if (h != -1) Serial.commClose(h);
        lines.add(label + (h != -1 ? " opens." : " cannot be opened:"));
        return h != -1;
    }

    private static boolean diagnoseElsewhere(String name, List<String> lines) {
        if (tryOpen(name, name, lines)) return true;
        lines.add("  it does not exist, another program holds it, or it is no serial port.");
        present(lines);
        return false;
    }

    private static boolean diagnoseLinux(String name, List<String> lines, boolean commandLines) {
        String url = NetworkPorts.url(name);
        if (url != null) return NetworkPorts.diagnose(name, url, lines);
        String path = devicePath(name);
        if (path == null) {
            lines.add(name + " names no port: give COM1 to COM99, a device path or rfc2217://HOST:PORT.");
            present(lines);
            return false;
        }
        if (!Files.exists(Paths.get(path))) {
            Path end = target(Paths.get(path));
            lines.add(name + " maps to " + path + (end.toString().equals(path) ? "" : ", a link to " + end)
                    + ", which does not exist.");
            present(lines);
            return false;
        }
        String label = path.equals(name) ? name : name + " (" + path + ")";
        Path device = Paths.get(path);
        if (!isCharDevice(device) || !isTty(device)) {
            lines.add(label + " cannot be opened:");
            lines.add("  " + path + " is no serial device.");
            return false;
        }
        // Nothing is opened while anyone has the port: an open would raise its
        // DTR and RTS, and a changed line would break the holder's link. Whether
        // the library's open would succeed is told all the same: only a lock, or
        // an exclusive mark its holder set, refuses it.
        List<String> users = users(device, commandLines);
        if (!users.isEmpty()) {
            boolean locked = users.stream().anyMatch(line -> line.contains("holds its lock"));
            String busy = locked ? null : stty(device, "-g")[0];
            if (locked || busy != null && busy.contains("Device or resource busy")) {
                lines.add(label + " is in use, so it was not opened:");
                lines.addAll(users);
                if (!locked) lines.add("  its holder marked it exclusive (TIOCEXCL).");
                return false;
            }
            lines.add(label + " opens, but is in use, so it was not tried:");
            lines.addAll(users);
            if (users.stream().anyMatch(line -> line.endsWith(" has it open."))) {
                lines.add("  it holds no lock, so an open succeeds, and each byte that arrives goes to whichever"
                        + " program reads first.");
            }
            return true;
        }
        if (!Files.isReadable(device) || !Files.isWritable(device)) {
            lines.add(label + " cannot be opened:");
            permission(device, lines);
            return false;
        }
        String[] saved = stty(device, "-g");
        if (saved[0] != null) {
            lines.add(label + " cannot be opened:");
            String error = saved[0];
            if (error.contains("Permission denied")) {
                permission(device, lines);
            } else if (error.contains("Device or resource busy")) {
                lines.add("  it is marked exclusive (TIOCEXCL), yet no process this user can see has it"
                        + " open: another user's process holds it, or a program that ended left the"
                        + " mark (on a pseudo-terminal it lasts while the terminal's master is open).");
            } else if (error.contains("Inappropriate ioctl")) {
                lines.add("  " + path + " is no serial device (the system: " + error + ").");
            } else {
                lines.add("  the system says: " + error);
            }
            return false;
        }
        int h = Serial.commOpen(name);
        if (h == -1) {
            lines.add(label + " cannot be opened:");
            lines.addAll(users(device, commandLines));
            if (lines.get(lines.size() - 1).equals(label + " cannot be opened:")) {
                lines.add("  it was taken a moment ago, or the library could not take its lock; try again.");
            }
            return false;
        }
        Serial.commClose(h);
        String[] restored = stty(device, saved[1]);
        lines.add(label + " opens.");
        lines.add(restored[0] == null
                ? "  Trying it raised DTR and RTS, as any open does; its line settings are as they were."
                : "  Trying it raised DTR and RTS, as any open does; its line settings could not be"
                + " given back (" + restored[0] + "): they were " + saved[1] + " (stty -F " + path + " "
                + saved[1] + ").");
        return true;
    }

    /** The serial devices that exist, with their COM names, as the scan at load sees them. */
    private static void present(List<String> lines) {
        List<String> found = new ArrayList<>();
        if (linux()) {
            for (PortInfo port : PortInfo.present()) {
                found.add(port.comName() != null ? port.comName() + " " + devicePath(port.comName()) : port.device());
            }
        } else {
            found.addAll(Arrays.asList(Serial.commEnumPorts()));
        }
        lines.add("  serial ports here: " + (found.isEmpty() ? "none" : String.join(", ", found)));
    }

    static boolean isCharDevice(Path path) {
        try {
            return ((Integer) Files.getAttribute(path, "unix:mode") & 0170000) == 0020000;
        } catch (IOException | RuntimeException e) {
            return false;
        }
    }

    private static long rdev(Path path) throws IOException {
        return (Long) Files.getAttribute(path, "unix:rdev");
    }

    /** The parts of a device number as glibc packs them. */
    private static long major(long dev) {
        return (dev >>> 8) & 0xfff | (dev >>> 32) & ~0xfffL;
    }

    private static long minor(long dev) {
        return dev & 0xff | (dev >>> 12) & ~0xffL;
    }

    private static String majorMinor(long rdev) {
        return major(rdev) + ":" + minor(rdev);
    }

    /** Whether the kernel files the device as a terminal; true where sysfs does not say. */
    private static boolean isTty(Path device) {
        try {
            Path subsystem = Paths.get("/sys/dev/char/" + majorMinor(rdev(device)) + "/subsystem");
            return !Files.exists(subsystem) || leaf(subsystem.toRealPath()).equals("tty");
        } catch (IOException | RuntimeException e) {
            return true;
        }
    }

    /**
     * stty on the device: {error, null} when it fails, {null, output} when it
     * works. It opens the device without waiting for carrier, as the library does.
     */
    private static String[] stty(Path device, String settings) {
        try {
            Process p = new ProcessBuilder("stty", "-F", device.toString(), settings)
                    .redirectErrorStream(true).start();
            String out = new String(Bytes.readAll(p.getInputStream()), StandardCharsets.UTF_8).trim();
            if (!p.waitFor(5, TimeUnit.SECONDS)) {
                p.destroyForcibly();
                return new String[] {"stty did not answer within 5 s", null};
            }
            return p.exitValue() == 0 ? new String[] {null, out}
                    : new String[] {out.substring(out.lastIndexOf(": ") + 2), null};
        } catch (IOException | InterruptedException e) {
            return new String[] {"stty could not be run: " + e.getMessage(), null};
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
            String database = read(system("/etc/group"));
            for (String line : (database != null ? database : "").split("\n")) {
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
        return Collections.emptyList();
    }

    /**
     * Who uses the device, one line each: processes that have it open (found by
     * the device number, whatever node they opened), the holder of its lock, and
     * what it is to the system (the console, this program's own terminal). Empty
     * when no one this user can see uses it.
     */
    private static List<String> users(Path device, boolean commandLines) {
        List<String> lines = new ArrayList<>();
        long rdev;
        Path real;
        Map<String, Object> id;
        try {
            real = device.toRealPath();
            rdev = rdev(real);
            id = Files.readAttributes(real, "unix:dev,ino");
        } catch (IOException e) {
            lines.add("  the system says: " + e.getMessage());
            return lines;
        }
        String self = ownPid();
        String[] stat = String.valueOf(read(Paths.get("/proc/self/stat"))).replaceAll("^.*\\) ", "").split(" ");
        long terminal = stat.length > 4 && stat[4].matches("\\d{1,19}") ? Long.parseLong(stat[4]) : 0;
        // The terminal of whoever opens /dev/tty, and the console behind /dev/console.
        if (rdev == makedev(5, 0)) rdev = terminal;
        String tty = ttyName(rdev);
        String consoles = String.valueOf(read(Paths.get("/sys/class/tty/console/active")));
        if (rdev == makedev(5, 1) || !tty.isEmpty() && Arrays.asList(consoles.split(" ")).contains(tty)) {
            lines.add("  it is the system console (" + (tty.isEmpty() ? "/dev/console" : tty)
                    + "): the kernel writes its messages there, and a login may run on it.");
        }
        if (rdev == terminal && terminal != 0) {
            lines.add("  it is the terminal this program runs in.");
        }
        List<String> seen = new ArrayList<>();
        // A pseudo-terminal's number is its devpts instance's own: a container's
        // terminal with the same number lies on another file system.
        boolean pty = major(rdev) >= 136 && major(rdev) <= 143;
        Object instance = id.get("dev");
        try (DirectoryStream<Path> procs = Files.newDirectoryStream(Paths.get("/proc"), "[0-9]*")) {
            for (Path proc : procs) {
                try (DirectoryStream<Path> fds = Files.newDirectoryStream(proc.resolve("fd"))) {
                    for (Path fd : fds) {
                        if (isCharDevice(fd) && rdev(fd) == rdev
                                && (!pty || instance.equals(Files.getAttribute(fd, "unix:dev")))) {
                            seen.add(leaf(proc));
                            break;
                        }
                    }
                } catch (IOException | DirectoryIteratorException e) {
                    // another user's process, or one that has ended
                }
            }
        } catch (IOException | DirectoryIteratorException e) {
            // no /proc
        }
        long dev = (Long) id.get("dev");
        // As /proc/locks names a file: major:minor of its file system, in hex, and its inode.
        String lockId = String.format("%02x:%02x:%d", major(dev), minor(dev), (Long) id.get("ino"));
        List<String> locking = new ArrayList<>();
        String locks = read(Paths.get("/proc/locks"));
        for (String line : (locks != null ? locks : "").split("\n")) {
            String[] f = line.trim().split("\\s+");
            if (f.length > 5 && f[1].equals("FLOCK") && f[5].equals(lockId)) locking.add(f[4]);
        }
        for (String pid : seen) {
            String who = pid.equals(self) ? "this program (pid " + pid + ")" : process(pid, commandLines);
            lines.add("  " + who + " has it open" + (locking.contains(pid) ? " and holds its lock"
                    + (!pid.equals(self) && maps(pid).contains("libDorlesk") ? " (a Java program using Dorlesk)"
                    : "") : "") + ".");
        }
        for (String pid : locking) {
            if (seen.contains(pid)) continue;
            lines.add(pid.equals(self) ? "  this program (pid " + pid + ") holds its lock."
                    : "  " + process(pid, commandLines) + " holds its lock; this user cannot see its open files"
                    + " (another user's process).");
        }
        for (String pid : seen) {
            String comm = String.valueOf(read(Paths.get("/proc", pid, "comm")));
            if (comm.matches("ModemManager|minicom|picocom|screen|cu|tio|gtkterm|cutecom|putty")) {
                lines.add("  " + comm + " is a terminal or modem program: close it"
                        + (comm.equals("ModemManager") ? ", or tell it to leave the device alone"
                        + " (udev: ENV{ID_MM_DEVICE_IGNORE}=\"1\")" : "") + ".");
            }
        }
        return lines;
    }

    private static long makedev(long major, long minor) {
        return (major & 0xfff) << 8 | (major & ~0xfffL) << 32 | minor & 0xff | (minor & ~0xffL) << 12;
    }

    /** The kernel's name of a terminal (ttyS0, pts/3), or "" when sysfs does not know it. */
    private static String ttyName(long rdev) {
        String uevent = read(Paths.get("/sys/dev/char/" + majorMinor(rdev) + "/uevent"));
        for (String line : (uevent != null ? uevent : "").split("\n")) {
            if (line.startsWith("DEVNAME=")) return line.substring(8);
        }
        return "";
    }

    /** This process's pid, as /proc/self names it. */
    private static String ownPid() {
        try {
            return Paths.get("/proc/self").toRealPath().getFileName().toString();
        } catch (IOException e) {
            return "";
        }
    }

    /**
     * A process by its name and pid, and with its command line where asked: a
     * command line may hold credentials, and belongs in check's answer to the
     * person at the terminal, not in an exception a program logs.
     */
    private static String process(String pid, boolean commandLine) {
        String comm = read(Paths.get("/proc", pid, "comm"));
        String cmd = commandLine ? read(Paths.get("/proc", pid, "cmdline")) : null;
        cmd = cmd == null ? "" : cmd.replace('\0', ' ').trim();
        if (cmd.length() > 80) cmd = cmd.substring(0, 77) + "...";
        return (comm != null ? comm : "process") + " (pid " + pid + (cmd.isEmpty() ? "" : ": " + cmd) + ")";
    }

    private static String maps(String pid) {
        String maps = read(Paths.get("/proc", pid, "maps"));
        return maps != null ? maps : "";
    }
}
