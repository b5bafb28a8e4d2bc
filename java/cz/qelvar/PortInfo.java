package cz.qelvar;

import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.DirectoryIteratorException;
import java.nio.file.DirectoryStream;
import java.nio.file.Files;
import java.nio.file.InvalidPathException;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.util.ArrayList;
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Map;
import java.util.Objects;

/**
 * A serial port and who it is, as the system tells it: what
 * {@link SerialPort#ports} lists and {@code list --long} shows. Strings that
 * other parties wrote (a USB adapter's maker, product and serial number) are
 * as the device gave them; {@link #toString} shows them with control
 * characters escaped. A field the system does not tell is null.
 */
public final class PortInfo {
    /** What kind of device a port is. */
    public enum Kind {
        /** A UART on the board or a card (8250 family, PL011, ...); {@link #type} names it. */
        UART,
        /** A USB serial adapter (ttyUSB: FTDI, CP210x, PL2303, CH341, ...). */
        USB_ADAPTER,
        /** A USB board or modem that is its own serial device (ttyACM, CDC ACM). */
        USB_ACM,
        /** A port on a terminal server, named by an RFC 2217 URL. */
        NETWORK,
        /** A pseudo-terminal (a program, not a device, at the far end). */
        PSEUDO_TERMINAL,
        /** Another serial device: Bluetooth RFCOMM, a board's own UART driver the system does not type. */
        OTHER
    }

    private static final String[] UART_TYPES = {"unknown", "8250", "16450", "16550", "16550A",
        "Cirrus", "16650", "16650V2", "16750", "Startech", "16C950", "16654", "16850", "RSA"};

    private final String comName, device, stablePath, type, vendorId, productId, serialNumber,
            manufacturer, product, driver;
    private final Kind kind;

    private PortInfo(String comName, String device, String stablePath, Kind kind, String type, String vendorId,
            String productId, String serialNumber, String manufacturer, String product, String driver) {
        this.comName = comName;
        this.device = device;
        this.stablePath = stablePath;
        this.kind = kind;
        this.type = type;
        this.vendorId = vendorId;
        this.productId = productId;
        this.serialNumber = serialNumber;
        this.manufacturer = manufacturer;
        this.product = product;
        this.driver = driver;
    }

    /** @return the COM name the port mapping gives it (COM33), or null where the mapping has none */
    public String comName() {
        return comName;
    }

    /** @return the device (/dev/ttyUSB0, a COM name's link followed), or the URL of a network port */
    public String device() {
        return device;
    }

    /**
     * @return a name that stays the device's when it is plugged in again or another is
     *     added: its {@code /dev/serial/by-id} link, else its {@code by-path} link; null
     *     where there is none (a UART, a system without udev)
     */
    public String stablePath() {
        return stablePath;
    }

    /** @return the name to open it by: the COM name, else the stable path, else the device */
    public String name() {
        return comName != null ? comName : stablePath != null ? stablePath : device;
    }

    /** @return what kind of device it is */
    public Kind kind() {
        return kind;
    }

    /** @return a UART's type (16550A, PL011), or null */
    public String type() {
        return type;
    }

    /** @return a USB device's vendor id, four hex digits (0403), or null */
    public String vendorId() {
        return vendorId;
    }

    /** @return a USB device's product id, four hex digits (6001), or null */
    public String productId() {
        return productId;
    }

    /** @return a USB device's serial number, or null: it tells one adapter from another of its make */
    public String serialNumber() {
        return serialNumber;
    }

    /** @return a USB device's manufacturer string, or null */
    public String manufacturer() {
        return manufacturer;
    }

    /** @return a USB device's product string, or null */
    public String product() {
        return product;
    }

    /** @return the driver that serves it (ftdi_sio, cdc_acm, serial), or null */
    public String driver() {
        return driver;
    }

    /** The same port with the same identity: every field equal. */
    @Override
    public boolean equals(Object o) {
        if (!(o instanceof PortInfo)) return false;
        PortInfo p = (PortInfo) o;
        return kind == p.kind && Objects.equals(comName, p.comName) && Objects.equals(device, p.device)
                && Objects.equals(stablePath, p.stablePath) && Objects.equals(type, p.type)
                && Objects.equals(vendorId, p.vendorId) && Objects.equals(productId, p.productId)
                && Objects.equals(serialNumber, p.serialNumber) && Objects.equals(manufacturer, p.manufacturer)
                && Objects.equals(product, p.product) && Objects.equals(driver, p.driver);
    }

    /** Whether both name one device: the same kind, ids and serial number on the same node. */
    boolean sameDevice(PortInfo p) {
        return kind == p.kind && device.equals(p.device) && Objects.equals(vendorId, p.vendorId)
                && Objects.equals(productId, p.productId) && Objects.equals(serialNumber, p.serialNumber);
    }

    @Override
    public int hashCode() {
        return Objects.hash(comName, device, stablePath, kind, type, vendorId, productId, serialNumber);
    }

    /** What {@code list --long} says of it, without the name and device columns. */
    String facts() {
        List<String> facts = new ArrayList<>();
        switch (kind) {
            case USB_ADAPTER:
            case USB_ACM:
                facts.add("USB " + manufacturer + " " + product + " (" + vendorId + ":" + productId + ")"
                        + (serialNumber != null ? ", serial " + serialNumber : ""));
                break;
            case UART:
                facts.add("UART " + type + (ioPort != null ? " at I/O " + ioPort : "") + (irq != null ? ", IRQ " + irq : ""));
                break;
            case PSEUDO_TERMINAL:
                facts.add("pseudo-terminal");
                break;
            case NETWORK:
                facts.add("network port " + device + " (a terminal server; listing does not connect to it)");
                break;
            default:
        }
        facts.addAll(links);
        return facts.isEmpty() ? "(the system tells nothing more)" : String.join(", ", facts);
    }

    @Override
    public String toString() {
        return SerialDiagnostics.clean(name() + (device.equals(name()) ? "" : " (" + device + ")") + ": " + facts());
    }

    // What list --long shows besides the fields: a UART's I/O port and IRQ, and
    // every stable name that leads to the device (by-id, by-path, serial0).
    private String ioPort, irq;
    private List<String> links = new ArrayList<>();

    // ---- gathering ----

    /** Where /sys and /dev/serial are read; a test points it at a tree of its own. */
    static Path system(String path) {
        return Paths.get(System.getProperty("dorlesk.sysroot", "") + path);
    }

    static boolean linux() {
        return System.getProperty("os.name", "").startsWith("Linux");
    }

    /** A link followed to its end, which need not exist. */
    static Path target(Path path) {
        for (int i = 0; i < 16 && Files.isSymbolicLink(path); i++) {
            try {
                path = path.resolveSibling(Files.readSymbolicLink(path)).normalize();
            } catch (IOException e) {
                break;
            }
        }
        return path;
    }

    static String leaf(Path path) {
        return path.getFileName() == null ? "" : path.getFileName().toString();
    }

    static String read(Path file) {
        try {
            // Leniently: a byte that is not UTF-8 becomes a replacement character.
            return new String(Files.readAllBytes(file), StandardCharsets.UTF_8).trim();
        } catch (IOException e) {
            return null;
        }
    }

    /**
     * What the system tells of the port a name leads to (Linux), or null when the
     * name names no device at all.
     */
    static PortInfo of(String portName) {
        if (portName == null) return null;
        String url = NetworkPorts.url(portName);
        String com = portName.matches("(?i)COM[1-9][0-9]{0,8}") ? portName.toUpperCase() : null;
        if (url != null) {
            return new PortInfo(com, url, null, Kind.NETWORK, null, null, null, null, null, null, null);
        }
        String path = SerialDiagnostics.devicePath(portName);
        if (path == null) return null;
        Path device = target(Paths.get(path));
        return fromDevice(com, device.toString(), device);
    }

    /** A port known by its name alone (Windows, where the names come from the load). */
    static PortInfo named(String name) {
        return new PortInfo(name, "\\\\.\\" + name, null, Kind.OTHER, null, null, null, null, null, null, null);
    }

    private static PortInfo fromDevice(String com, String path, Path device) {
        String tty = leaf(device);
        Path sysfs = system("/sys/class/tty/" + tty);
        Path usb = tty.isEmpty() ? null : usbDevice(sysfs.resolve("device"));
        String type = tty.isEmpty() ? null : read(sysfs.resolve("type"));
        String driver = tty.isEmpty() ? null : leafOfLink(sysfs.resolve("device/driver"));
        PortInfo info;
        if (usb != null) {
            info = new PortInfo(com, path, null, tty.startsWith("ttyACM") || "cdc_acm".equals(driver) ? Kind.USB_ACM
                    : Kind.USB_ADAPTER, null, read(usb.resolve("idVendor")), read(usb.resolve("idProduct")),
                    read(usb.resolve("serial")), read(usb.resolve("manufacturer")), read(usb.resolve("product")), driver);
        } else if (type != null && type.matches("\\d{1,9}") && !type.equals("0")) {
            int t = Integer.parseInt(type);
            info = new PortInfo(com, path, null, Kind.UART, t == 32 ? "PL011" : t < UART_TYPES.length ? UART_TYPES[t]
                    : "type " + t, null, null, null, null, null, driver);
            String port = read(sysfs.resolve("port"));
            info.ioPort = port != null && !port.matches("0x0*") ? port.toLowerCase() : null;
            info.irq = read(sysfs.resolve("irq"));
        } else {
            info = new PortInfo(com, path, null, device.startsWith("/dev/pts") ? Kind.PSEUDO_TERMINAL : Kind.OTHER,
                    null, null, null, null, null, null, driver);
        }
        String stable = null;
        for (String dir : new String[] {"/dev/serial/by-id", "/dev/serial/by-path", "/dev"}) {
            try (DirectoryStream<Path> links = Files.newDirectoryStream(system(dir),
                    p -> dir.startsWith("/dev/serial") || leaf(p).matches("serial[0-9]"))) {
                List<String> found = new ArrayList<>();
                for (Path link : links) {
                    if (!tty.isEmpty() && Files.isSymbolicLink(link) && leaf(target(link)).equals(tty)) {
                        found.add(dir + "/" + link.getFileName());
                    }
                }
                found.sort(null);
                info.links.addAll(found);
                if (stable == null && !found.isEmpty() && dir.startsWith("/dev/serial")) stable = found.get(0);
            } catch (IOException | DirectoryIteratorException e) {
                // no such directory: no such names
            }
        }
        if (stable == null) return info;
        PortInfo withStable = new PortInfo(com, path, stable, info.kind, info.type, info.vendorId, info.productId,
                info.serialNumber, info.manufacturer, info.product, info.driver);
        withStable.ioPort = info.ioPort;
        withStable.irq = info.irq;
        withStable.links = info.links;
        return withStable;
    }

    private static String leafOfLink(Path link) {
        try {
            return Files.isSymbolicLink(link) ? leaf(Files.readSymbolicLink(link)) : null;
        } catch (IOException e) {
            return null;
        }
    }

    /**
     * Whether a device node may be on its way out: a USB device, or one whose
     * sysfs entry or its link to the device has gone (they go before the node).
     */
    static boolean mayBeUnplugged(Path device) {
        Path sysfs = system("/sys/class/tty/" + leaf(device));
        return !Files.exists(sysfs.resolve("device")) || usbDevice(sysfs.resolve("device")) != null;
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
     * The serial ports present now (Linux): every COM name whose device or
     * network entry is there, then every other serial device the system has
     * (ttyUSB32 and up, ttymxc, ttyTHS, ttySTM, rfcomm, ...), by its path.
     */
    static List<PortInfo> present() {
        Map<String, PortInfo> byDevice = new LinkedHashMap<>();
        String dir = System.getenv("DORLESK_PORT_DIR");
        int last = dir != null && !dir.isEmpty() ? 255 : 99;
        for (int n = 1; n <= last; n++) {
            try {
                String name = "COM" + n;
                String path = SerialDiagnostics.devicePath(name);
                if (path == null) continue;
                Path file = Paths.get(path);
                boolean network = NetworkPorts.url(name) != null;
                if (!network && !SerialDiagnostics.isCharDevice(file)) continue;
                PortInfo info = of(name);
                if (info == null || network == false && "0".equals(read(system("/sys/class/tty/"
                        + leaf(target(file)) + "/type")))) {
                    continue; // a UART the driver reserved a node for, with nothing behind it
                }
                byDevice.putIfAbsent(info.device, info);
            } catch (InvalidPathException e) {
                // a port directory the file-name encoding cannot spell holds none
            }
        }
        try (DirectoryStream<Path> ttys = Files.newDirectoryStream(system("/sys/class/tty"))) {
            List<String> names = new ArrayList<>();
            for (Path tty : ttys) names.add(leaf(tty));
            names.sort((a, b) -> {
                String sa = a.replaceAll("[0-9]+$", ""), sb = b.replaceAll("[0-9]+$", "");
                return !sa.equals(sb) ? sa.compareTo(sb)
                        : Long.compare(Long.parseLong("0" + a.substring(sa.length())),
                                Long.parseLong("0" + b.substring(sb.length())));
            });
            for (String tty : names) {
                Path sysfs = system("/sys/class/tty/" + tty);
                String device = "/dev/" + tty;
                boolean serial = Files.exists(sysfs.resolve("device")) || tty.matches("rfcomm[0-9]+");
                if (!serial || byDevice.containsKey(device) || !Files.exists(system(device))) continue;
                if ("0".equals(read(sysfs.resolve("type")))) continue;
                byDevice.put(device, fromDevice(null, device, Paths.get(device)));
            }
        } catch (IOException | DirectoryIteratorException e) {
            // no sysfs: the COM names are all there is
        }
        return new ArrayList<>(byDevice.values());
    }
}
