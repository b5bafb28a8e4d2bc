package cz.qelvar.test;

import java.io.IOException;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;

/**
 * A pseudo-terminal whose far end (the master) the test holds, linked as COM7;
 * or, from {@link #device}, a serial device wired to the port under test.
 */
public final class Pty implements Wire {
    static {
        System.loadLibrary("ptyfixture");
    }

    private static native int openMaster();
    private static native String slaveName(int master);
    private static native int write(int fd, byte[] data);
    private static native byte[] read(int fd, int max, int timeoutMs, boolean anyAtAll);
    private static native void close(int fd);
    private static native int openDevice(String path, int rate);

    private int master;
    public final String slave;
    private final String port;

    public Pty() {
        master = openMaster();
        if (master < 0) throw new IllegalStateException("no pseudo-terminal");
        slave = slaveName(master);
        port = null;
        nearDevice = null;
        noWaitingWrite = null;
    }

    private final String nearDevice, noWaitingWrite;

    private Pty(int fd, String port, String nearDevice, String noWaitingWrite) {
        master = fd;
        slave = null;
        this.port = port;
        this.nearDevice = nearDevice;
        this.noWaitingWrite = noWaitingWrite;
    }

    /**
     * The device at path, raw at 115200, wired to the port named port (a null
     * modem, say), whose device is nearDevice; noWaitingWrite says why no write
     * can be made to wait on it, or is null.
     */
    public static Pty device(String path, String port, String nearDevice, String noWaitingWrite) {
        int fd = openDevice(path, 115200);
        if (fd < 0) throw new IllegalStateException("cannot open " + path);
        return new Pty(fd, port, nearDevice, noWaitingWrite);
    }

    @Override
    public String port() throws IOException {
        if (port != null) return port;
        linkAs("COM7");
        return "COM7";
    }

    /** For a device: its port's software flow control on (the test's doing, as root), then XOFF. */
    @Override
    public boolean holdTheSender() throws Exception {
        if (port == null) return false;
        Process stty = new ProcessBuilder("stty", "-F", nearDevice, "ixon")
                .inheritIO().start();
        if (stty.waitFor() != 0) throw new IllegalStateException("stty ixon failed");
        send(new byte[] {0x13});
        return true;
    }

    @Override
    public void releaseTheSender() {
        send(new byte[] {0x11});
    }

    @Override
    public String whyNoWriteWaits() {
        return noWaitingWrite;
    }

    @Override
    public int rate() {
        return 115200;
    }

    @Override
    public String hangUp() {
        if (port != null) return "a UART without carrier detect (CLOCAL) does not see its far end go";
        close();
        return null;
    }

    public void send(byte[] bytes) {
        if (write(master, bytes) != bytes.length) throw new IllegalStateException("short write");
    }

    /** Up to max bytes, waiting at most timeoutMs for all of them. */
    public byte[] receive(int max, int timeoutMs) {
        return read(master, max, timeoutMs, false);
    }

    /** What has arrived, up to max bytes, waiting at most timeoutMs for the first. */
    public byte[] receiveAny(int max, int timeoutMs) {
        return read(master, max, timeoutMs, true);
    }

    /** Links this terminal as name (COM3, say) in the port directory. */
    public void linkAs(String name) throws IOException {
        Path link = portDir().resolve(name);
        Files.deleteIfExists(link);
        Files.createSymbolicLink(link, Paths.get(slave));
    }

    /** The far end goes away: the near end sees a hang-up. */
    @Override
    public void close() {
        if (master >= 0) close(master);
        master = -1;
    }

    /** DORLESK_PORT_DIR, emptied of what an earlier run left. */
    public static Path freshPortDir() throws IOException {
        Path dir = portDir();
        Files.createDirectories(dir);
        try (var entries = Files.walk(dir)) {
            for (Path p : (Iterable<Path>) entries.sorted(java.util.Comparator.reverseOrder())::iterator) {
                if (!p.equals(dir)) Files.delete(p);
            }
        }
        return dir;
    }

    public static Path portDir() {
        String dir = System.getenv("DORLESK_PORT_DIR");
        if (dir == null) throw new IllegalStateException("DORLESK_PORT_DIR is not set");
        return Paths.get(dir);
    }
}
