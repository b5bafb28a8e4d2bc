package cz.qelvar;

import java.io.Closeable;
import java.io.IOException;
import java.nio.file.ClosedWatchServiceException;
import java.nio.file.FileSystems;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.nio.file.StandardWatchEventKinds;
import java.nio.file.WatchService;
import java.util.LinkedHashMap;
import java.util.Map;
import java.util.concurrent.Executor;
import java.util.concurrent.TimeUnit;

/**
 * Plug events on Linux: the system's notice of nodes made and removed in /dev
 * (and in /dev/serial and the port directory), each burst of them answered
 * by a fresh list compared with the last one. It sleeps in the notice until
 * something changes: nothing polls.
 */
final class PortWatch implements Closeable {
    /** A burst of changes (a node, then its links) is taken whole once it is this quiet. */
    private static final long SETTLE_MS = 50;

    private final WatchService watch;
    private final SerialPortsListener listener;
    private final InOrder calls;
    private final Map<String, PortInfo> known = new LinkedHashMap<>();

    PortWatch(SerialPortsListener listener, Executor executor) throws IOException {
        this.listener = listener;
        calls = new InOrder(executor);
        watch = FileSystems.getDefault().newWatchService();
        try {
            register();
        } catch (IOException e) {
            watch.close();
            throw e;
        }
        Thread t = new Thread(this::run, "dorlesk-port-watch");
        t.setDaemon(true);
        t.start();
    }

    /** Watches every directory where a port's node or name appears; again when one has come. */
    private void register() throws IOException {
        String dir = System.getenv("DORLESK_PORT_DIR");
        for (String d : new String[] {"/dev", "/dev/serial", "/dev/serial/by-id", "/dev/serial/by-path",
            dir != null && !dir.isEmpty() ? dir : null}) {
            if (d == null) continue;
            Path p = d.startsWith("/dev") ? PortInfo.system(d) : Paths.get(d);
            if (Files.isDirectory(p)) {
                p.register(watch, StandardWatchEventKinds.ENTRY_CREATE, StandardWatchEventKinds.ENTRY_DELETE,
                        StandardWatchEventKinds.ENTRY_MODIFY);
            } else if (d.equals("/dev")) {
                throw new IOException(p + " cannot be watched: it is not a directory");
            }
        }
    }

    private void run() {
        try {
            compare(); // what is there to begin with
            for (;;) {
                // Take the whole burst, then look.
                java.nio.file.WatchKey key = watch.take();
                do {
                    key.pollEvents();
                    key.reset();
                } while ((key = watch.poll(SETTLE_MS, TimeUnit.MILLISECONDS)) != null);
                register();
                compare();
            }
        } catch (ClosedWatchServiceException | InterruptedException e) {
            // closed
        } catch (IOException e) {
            // /dev cannot be watched any more: nothing more will be told
        }
    }

    /** Tells what went and what came since the last look. */
    private void compare() {
        Map<String, PortInfo> now = new LinkedHashMap<>();
        for (PortInfo p : PortInfo.present()) now.put(p.device(), p);
        // A node that now leads to another device (one adapter out, another in,
        // within one burst) is one removal and one addition; a name that came
        // late (udev's link) changes nothing.
        for (Map.Entry<String, PortInfo> was : known.entrySet()) {
            PortInfo gone = was.getValue(), p = now.get(was.getKey());
            if (p == null || !p.sameDevice(gone)) calls.call(() -> listener.removed(gone));
        }
        for (Map.Entry<String, PortInfo> is : now.entrySet()) {
            PortInfo came = is.getValue(), p = known.get(is.getKey());
            if (p == null || !p.sameDevice(came)) calls.call(() -> listener.added(came));
        }
        known.clear();
        known.putAll(now);
    }

    @Override
    public void close() throws IOException {
        watch.close();
    }
}
