package cz.qelvar;

import java.io.Closeable;
import java.io.IOException;
import java.io.InputStream;
import java.io.OutputStream;
import java.time.Duration;
import java.util.Arrays;
import java.util.Collections;
import java.util.List;
import java.util.Objects;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.locks.ReentrantLock;

/**
 * An open serial port, on the methods of {@link Serial}: opened by name, closed
 * with try-with-resources, failures as {@link SerialPortException}, and streams.
 *
 * <pre>{@code
 * try (SerialPort port = SerialPort.open("COM3")) {       // or /dev/ttyUSB0, rfc2217://host:2000
 *     port.setLine(9600, "8N1");
 *     port.setReadTimeout(Duration.ofSeconds(2));
 *     port.getOutputStream().write("*IDN?\n".getBytes(StandardCharsets.US_ASCII));
 *     BufferedReader in = new BufferedReader(
 *             new InputStreamReader(port.getInputStream(), StandardCharsets.US_ASCII));
 *     System.out.println(in.readLine());
 * } catch (SerialPortTimeoutException e) {
 *     System.err.println("no answer: " + e.getMessage());
 * } catch (IOException e) {
 *     System.err.println(e.getMessage());                  // why it would not open, and what to do
 * }
 * }</pre>
 *
 * <p>Every method may be called from any thread. {@link #close} ends a read or
 * write blocked in another thread at once; any later use throws. Reads are served
 * one at a time, and so are writes, each moving one contiguous block; a read's
 * time-out counts from its call, its wait for the read ahead of it included. A
 * read waiting in one thread never holds up a write or a setting in another, and
 * calls on different ports, opens and closes included, never wait for each
 * other. {@link Thread#interrupt} leaves a blocked read or write alone: close the
 * port to end it.
 *
 * <p>On Windows a port runs one native call at a time: a read waiting there holds
 * the port's writes, settings and close until it returns. So there each native
 * wait lasts at most 10 ms, in a loop that keeps the caller's time-out, and a
 * write goes out in pieces of about 10 ms of the line's time (as set by
 * {@link #setLine}; 9600 baud until then). This costs about 100 wake-ups a
 * second while a read waits, and keeps every promise above, except that a write
 * the device does not take at all (a USB device that stopped reading) holds the
 * port until the device takes it: the native calls cannot time a write.
 */
public final class SerialPort implements Closeable {
    private static final long MAX_TIMEOUT = 0xFFFFFFFEL;
    // A synchronous handle on Windows runs one call at a time. The property
    // lets the tests run this path on a library that keeps the same rule.
    private static final boolean ONE_CALL_AT_A_TIME = System.getProperty("os.name", "").startsWith("Windows")
            || Boolean.getBoolean("cz.qelvar.SerialPort.oneCallAtATime");
    private static final long SLICE_MS = 10;

    private final String name;
    private final int handle;
    private final ReentrantLock reading = new ReentrantLock();
    private final ReentrantLock writing = new ReentrantLock();
    private final InputStream in = new PortInputStream();
    private final OutputStream out = new PortOutputStream();
    private volatile long timeoutMillis; // 0: none
    private volatile int bytesPerSlice = 9600 / 1000; // a slice of the line's time, on ONE_CALL_AT_A_TIME
    private long nativeTimeout = -1; // as last set on the port; guarded by reading
    private byte[] scratch = new byte[0]; // guarded by reading
    private boolean closed; // guarded by this
    private int users; // calls under way; guarded by this
    private volatile int others; // of them, calls other than reads; written under this
    private boolean listening; // guarded by this

    private SerialPort(String name, int handle) {
        this.name = name;
        this.handle = handle;
    }

    /**
     * The ports found when the library loaded, as {@link Serial#commEnumPorts}; a
     * port plugged in since is not among them ({@link #ports} looks afresh).
     *
     * @return their names, in ascending port number
     * @throws SerialPortException when the native library does not load; the message says why
     */
    public static List<String> list() throws SerialPortException {
        loadNatives();
        return Collections.unmodifiableList(Arrays.asList(Serial.commEnumPorts()));
    }

    /**
     * The serial ports present now, looked for afresh at each call, with who each
     * is: a USB adapter's ids, serial number and stable path, a UART's type. On
     * Linux these are the COM names whose device or network entry is there, then
     * every other serial device by its path (ttyUSB32 and up, ttymxc, ttyTHS,
     * ttySTM, rfcomm, ...). On Windows they are the names found when the library
     * loaded, as {@link #list}, with nothing more known of them.
     *
     * @return the ports, COM names first in ascending number
     * @throws SerialPortException on Windows, when the native library does not load
     */
    public static List<PortInfo> ports() throws SerialPortException {
        if (PortInfo.linux()) return Collections.unmodifiableList(PortInfo.present());
        List<PortInfo> ports = new java.util.ArrayList<>();
        for (String name : list()) ports.add(PortInfo.named(name));
        return Collections.unmodifiableList(ports);
    }

    /**
     * Tells the listener of every serial port present now, then of each one that
     * appears or goes, with who it is, until the returned watch is closed. On
     * Linux the system notices nodes made and removed in {@code /dev} (and in
     * {@code /dev/serial} and the port directory); the watch sleeps until one
     * comes, then lists the ports again (as {@link #ports}) and tells the
     * difference, within about 50 ms of the last change of a burst. A port whose
     * device goes while it is open is told removed here, and its open
     * {@code SerialPort} ends its reads and writes ("was removed"). Not available
     * on Windows, where the library finds ports only when it loads.
     *
     * @param listener what is told; its calls come in order, never overlapping
     * @param executor where the calls run, or null for the watch's own thread
     * @return the watch; closing it ends the calls
     * @throws IOException when the system's notice cannot be had
     * @throws UnsupportedOperationException on Windows
     */
    public static Closeable watchPorts(SerialPortsListener listener, java.util.concurrent.Executor executor)
            throws IOException {
        Objects.requireNonNull(listener, "listener");
        if (!PortInfo.linux()) {
            throw new UnsupportedOperationException("plug events are not available here: the library finds"
                    + " ports only when it loads; list them again with ports()");
        }
        return new PortWatch(listener, executor);
    }

    private static volatile boolean loaded;

    /** The native methods, or the loader's reason as an exception, every time. */
    private static void loadNatives() throws SerialPortException {
        if (loaded) return;
        try {
            Class.forName("cz.qelvar.Serial", true, SerialPort.class.getClassLoader());
            loaded = true;
        } catch (ClassNotFoundException | LinkageError e) {
            String why = NativeLoader.failure != null ? NativeLoader.failure : e.toString();
            throw new SerialPortException("the native library did not load: " + why);
        }
    }

    /**
     * Opens a port for exclusive use. Its reads wait without a time-out until
     * {@link #setReadTimeout} sets one.
     *
     * @param name a port name as {@link Serial#commOpen} takes it
     * @return the open port
     * @throws SerialPortException when it does not open; the message says why and what to do
     */
    public static SerialPort open(String name) throws SerialPortException {
        Objects.requireNonNull(name, "name");
        loadNatives();
        String url = NetworkPorts.url(name);
        int h;
        if (url != null) {
            // A network open says why within its own bound.
            List<String> why = new java.util.ArrayList<>();
            h = NetworkPorts.open(name, url, why);
            why.replaceAll(SerialDiagnostics::clean);
            if (h == -1) throw new SerialPortException(String.join(System.lineSeparator(), why));
        } else {
            h = Serial.commOpen(name);
            // A port that opens for the diagnosis was free a moment ago: try once more.
            if (h == -1) {
                String why = SerialDiagnostics.explain(name);
                h = Serial.commOpen(name);
                if (h == -1) throw new SerialPortException(why);
            }
        }
        // Writes untimed from the start, whatever time-outs the system held; each
        // read sets its own.
        Serial.commSetTimeout(h, 0);
        return new SerialPort(name, h);
    }

    /**
     * The name the port was opened by.
     *
     * @return the name
     */
    public String name() {
        return name;
    }

    /**
     * Sets the rate and frame, with no handshaking, and switches DTR and RTS on.
     *
     * @param baud 1200, 2400, 9600, 19200, 38400, 57600 or 115200
     * @param frame data bits 5 to 8, parity N, E or O, stop bits 1 or 2, such as {@code "8N1"}
     * @throws IllegalArgumentException for a rate or frame the library does not take
     * @throws SerialPortException when the port refuses them
     */
    public void setLine(int baud, String frame) throws SerialPortException {
        Objects.requireNonNull(frame, "frame");
        String refused = LineSettings.refusal(Integer.toString(baud), frame);
        if (refused != null) throw new IllegalArgumentException(refused);
        enter(false);
        try {
            if (Serial.commSetBaud(handle, Integer.toString(baud), frame) == 0) {
                throw new SerialPortException(name + " refused " + baud + " " + frame);
            }
            bytesPerSlice = Math.max(1, baud / 1000); // ten bits a byte, 10 ms
        } finally {
            leave(false);
        }
    }

    /**
     * Bounds each later read: {@link #read} returns what arrived when it runs
     * out, a stream read throws {@link SerialPortTimeoutException}. Zero waits
     * without end. A part of a millisecond counts as a whole one.
     *
     * @param timeout zero or positive, at most 2<sup>32</sup>-2 ms
     * @throws IllegalArgumentException for a negative or longer time-out
     * @throws SerialPortException when the port is closed
     */
    public void setReadTimeout(Duration timeout) throws SerialPortException {
        Objects.requireNonNull(timeout, "timeout");
        long ms;
        try {
            ms = timeout.toMillis() + (timeout.toNanos() % 1_000_000 != 0 ? 1 : 0);
        } catch (ArithmeticException e) {
            ms = Long.MAX_VALUE;
        }
        if (timeout.isNegative() || ms > MAX_TIMEOUT) {
            throw new IllegalArgumentException("a read time-out of 0 to " + MAX_TIMEOUT + " ms, not " + timeout);
        }
        checkOpen();
        timeoutMillis = ms;
    }

    /**
     * Switches RTS on or off.
     *
     * @param on true for on
     * @throws SerialPortException when the port refuses
     */
    public void setRTS(boolean on) throws SerialPortException {
        line("RTS", Serial::commRTS, on);
    }

    /**
     * Switches DTR on or off.
     *
     * @param on true for on
     * @throws SerialPortException when the port refuses
     */
    public void setDTR(boolean on) throws SerialPortException {
        line("DTR", Serial::commDTR, on);
    }

    private interface LineCall {
        int apply(int handle, boolean on);
    }

    private void line(String which, LineCall call, boolean on) throws SerialPortException {
        enter(false);
        try {
            if (call.apply(handle, on) == 0) {
                throw new SerialPortException(name + " refused to switch " + which + (on ? " on" : " off"));
            }
        } finally {
            leave(false);
        }
    }

    /**
     * Reads until {@code len} bytes have arrived or the time-out has run out, as
     * {@link Serial#commRead} does: unlike a stream read, it waits for the whole
     * count, and answers the time-out with what came, 0 for nothing.
     *
     * @param b where the bytes go
     * @param off where in {@code b} the first goes
     * @param len how many to read at most
     * @return the count read, fewer than {@code len} (0 when nothing came) when the time-out ran out
     * @throws SerialPortException when the port hung up, failed or was closed
     */
    public int read(byte[] b, int off, int len) throws SerialPortException {
        checkRange(off, len, b.length);
        if (len == 0) return 0;
        long started = System.nanoTime(), timeout = timeoutMillis;
        enter(true);
        try {
            if (!lockReading(timeout, started)) return 0;
            try {
                int n = readWaiting(b, off, len, timeout, started);
                if (n == -1) throw new SerialPortException(ended());
                return n;
            } finally {
                reading.unlock();
            }
        } finally {
            leave(true);
        }
    }

    /**
     * Waits for the read ahead to end, within the time-out counted from started
     * (0: none); whether the turn came. An interrupt does not end the wait.
     */
    private boolean lockReading(long timeout, long started) {
        if (timeout == 0) {
            reading.lock();
            return true;
        }
        boolean interrupted = false;
        try {
            for (;;) {
                try {
                    return reading.tryLock(timeout * 1_000_000L - (System.nanoTime() - started), TimeUnit.NANOSECONDS);
                } catch (InterruptedException e) {
                    interrupted = true;
                }
            }
        } finally {
            if (interrupted) Thread.currentThread().interrupt();
        }
    }

    /**
     * Writes all of {@code len} bytes, waiting until the system has taken them.
     *
     * @param b the bytes
     * @param off where in {@code b} the first is
     * @param len how many to send
     * @throws SerialPortException when the port failed or was closed before it took them all
     */
    public void write(byte[] b, int off, int len) throws SerialPortException {
        checkRange(off, len, b.length);
        enter(false);
        writing.lock();
        try {
            int piece = ONE_CALL_AT_A_TIME ? bytesPerSlice : len;
            byte[] block = null;
            int sent = 0;
            // The pieces stay one block: writes queue on the lock. A write that a
            // close cut short is not tried again (with a copy of its rest).
            while (sent < len && !isClosed()) {
                int n = Math.min(piece, len - sent);
                byte[] from = b; // the natives take bytes from index 0
                if (off + sent != 0) {
                    if (block == null || block.length < n) block = new byte[n];
                    System.arraycopy(b, off + sent, block, 0, n);
                    from = block;
                }
                int more = Serial.commWrite(handle, from, n);
                if (more <= 0) break;
                sent += more;
            }
            if (sent < len) {
                throw new SerialPortException(name + " took " + sent + " of " + len + " bytes: it "
                        + (isClosed() ? "was closed" : removed() ? "was removed (its device is gone: unplugged?)"
                        : "failed or hung up"));
            }
        } finally {
            writing.unlock();
            leave(false);
        }
    }

    /**
     * A stream whose read returns as soon as a byte has arrived, with what else
     * has arrived by then; throws {@link SerialPortTimeoutException} when the
     * time-out runs out with nothing; returns -1 once the port hung up; and throws
     * {@link SerialPortException} once the port was closed, a read waiting when the
     * close came included. Closing it closes the port. Its {@code available()}
     * answers 0: the native calls cannot count the bytes waiting in the port
     * without taking them.
     *
     * @return the port's input stream, the same on every call
     */
    public InputStream getInputStream() {
        return in;
    }

    /**
     * A stream whose writes are {@link #write}; closing it closes the port.
     *
     * @return the port's output stream, the same on every call
     */
    public OutputStream getOutputStream() {
        return out;
    }

    /**
     * Closes the port; calls blocked in other threads end at once, a read with
     * {@link SerialPortException} ("... was closed"). A second close does nothing.
     */
    @Override
    public void close() {
        synchronized (this) {
            if (closed) return;
            closed = true;
        }
        if (ONE_CALL_AT_A_TIME) {
            // A close would queue behind the call under way: let the calls leave
            // first, each within a slice, then close a port nobody uses, whose
            // number no call of this object can reach afterwards.
            awaitUsers();
            Serial.commClose(handle);
            return;
        }
        // On Linux a handle names one open only: a call that had passed its check
        // but not yet reached the port fails there at once, even if a later open
        // got the same descriptor number.
        Serial.commClose(handle);
        awaitUsers();
    }

    private synchronized void awaitUsers() {
        boolean interrupted = false;
        while (users > 0) {
            try {
                wait();
            } catch (InterruptedException e) {
                interrupted = true;
            }
        }
        if (interrupted) Thread.currentThread().interrupt();
    }

    @Override
    public String toString() {
        return "SerialPort[" + name + (isClosed() ? ", closed]" : "]");
    }

    private synchronized boolean isClosed() {
        return closed;
    }

    private synchronized void checkOpen() throws SerialPortException {
        if (closed) throw new SerialPortException(name + " is closed");
    }

    private synchronized void enter(boolean read) throws SerialPortException {
        checkOpen();
        users++;
        if (!read) others++;
    }

    private synchronized void leave(boolean read) {
        if (!read) others--;
        if (--users == 0) notifyAll();
    }

    /** As the JDK checks a range of an array: within it, or IndexOutOfBoundsException. */
    private static void checkRange(int off, int len, int length) {
        if ((off | len) < 0 || len > length - off) {
            throw new IndexOutOfBoundsException("offset " + off + ", count " + len + ", array length " + length);
        }
    }

    private SerialPortTimeoutException timedOut(long timeout) {
        return new SerialPortTimeoutException(name + ": nothing arrived within " + timeout + " ms");
    }

    private String ended() {
        return name + (isClosed() ? " was closed" : removed() ? " was removed (its device is gone: unplugged?)"
                : " hung up or failed");
    }

    /**
     * An empty native read that came back well before the time-out it was given
     * (or with none) was ended by a hang-up, a failure or a close.
     */
    private static boolean endedEarly(long started, long timeout) {
        return timeout == 0 || System.nanoTime() - started < timeout * 500_000L;
    }

    /**
     * Reads until {@code len} bytes have come or the time-out (0: none), counted
     * from {@code started}, has run out: the count, or -1 when the port hung up,
     * failed or was closed before any came. The caller holds {@code reading}.
     * One native wait, or on {@link #ONE_CALL_AT_A_TIME} waits of a slice each.
     */
    private int readWaiting(byte[] b, int off, int len, long timeout, long started) {
        int n = 0;
        do {
            long wait = 0;
            if (timeout != 0) {
                long left = timeout * 1_000_000L - (System.nanoTime() - started);
                if (left <= 0) break;
                wait = (left + 999_999) / 1_000_000;
            }
            if (ONE_CALL_AT_A_TIME) {
                // While a write or a setting wants the port, a read steps in for a
                // millisecond at a time, so that it neither holds their next call
                // for long nor lets the input queue fill.
                long slice = others > 0 ? 1 : SLICE_MS;
                if (wait == 0 || wait > slice) wait = slice;
            }
            long t = System.nanoTime();
            int got = readNative(b, off + n, len - n, wait);
            n += got;
            // A short slice is a poor witness of a hang-up where timers are coarse:
            // the next full one tells.
            boolean judged = !ONE_CALL_AT_A_TIME || wait >= SLICE_MS;
            if (got == 0 && judged && endedEarly(t, wait) || ONE_CALL_AT_A_TIME && isClosed()) return n > 0 ? n : -1;
        } while (ONE_CALL_AT_A_TIME && n < len);
        return n;
    }

    /**
     * What has arrived, or waits for one byte within the time-out (0: none): the
     * count, -1 when the port hung up or failed; throws when the port was closed.
     */
    private int readArrived(byte[] b, int off, int len, long timeout) throws IOException {
        long started = System.nanoTime();
        enter(true);
        try {
            if (!lockReading(timeout, started)) throw timedOut(timeout);
            try {
                // The natives wait for the whole count, so each wait is for what is
                // there or comes within the shortest time-out they have, or else for
                // one byte.
                int n = readNative(b, off, len, 1);
                if (n > 0) return n;
                n = readWaiting(b, off, 1, timeout, started);
                // A close is not the end of the stream: the device did not hang up.
                if (n == -1 && isClosed()) throw new SerialPortException(ended());
                if (n == -1) return -1;
                if (n == 0) throw timedOut(timeout);
                return len == 1 ? 1 : 1 + readNative(b, off + 1, len - 1, 1);
            } finally {
                reading.unlock();
            }
        } finally {
            leave(true);
        }
    }

    /**
     * Calls the listener with what the port receives, as it arrives, until the
     * port hangs up, its device is removed or it is closed; then tells it which,
     * once. The calls come in order and never overlap, on a thread of the
     * library's (a daemon named after the port), or on {@code executor} when one
     * is given. While the line is quiet nothing runs: the thread waits in the
     * port, as a read does. The listener takes what arrives: a program that also
     * reads the port gets only what the listener leaves. One listener per port.
     *
     * @param listener what is called
     * @param executor where the calls run, or null for the library's thread
     * @throws IllegalStateException when the port already has a listener
     * @throws SerialPortException when the port is closed
     */
    public void listen(SerialPortListener listener, java.util.concurrent.Executor executor)
            throws SerialPortException {
        listen(listener, executor, -1);
    }

    /**
     * As {@link #listen(SerialPortListener, java.util.concurrent.Executor)}, but
     * each call carries one whole message: the bytes up to and including the
     * next {@code delimiter} ({@code '\n'} for lines), however the bytes arrive.
     *
     * @param listener what is called
     * @param executor where the calls run, or null for the library's thread
     * @param delimiter the byte that ends a message
     * @throws IllegalStateException when the port already has a listener
     * @throws SerialPortException when the port is closed
     */
    public void listen(SerialPortListener listener, java.util.concurrent.Executor executor, byte delimiter)
            throws SerialPortException {
        listen(listener, executor, delimiter & 0xFF);
    }

    private void listen(SerialPortListener listener, java.util.concurrent.Executor executor, int delimiter)
            throws SerialPortException {
        Objects.requireNonNull(listener, "listener");
        synchronized (this) {
            checkOpen();
            if (listening) throw new IllegalStateException(name + " already has a listener");
            listening = true;
        }
        Delivery delivery = new Delivery(this, listener, executor);
        Thread t = new Thread(() -> deliver(delivery, delimiter), "dorlesk-listener " + name);
        t.setDaemon(true);
        t.start();
    }

    /** The listener's loop: reads what arrives, hands it on, and says how it ended. */
    private void deliver(Delivery delivery, int delimiter) {
        byte[] buffer = new byte[4096];
        java.io.ByteArrayOutputStream message = new java.io.ByteArrayOutputStream();
        SerialPortListener.End end;
        for (;;) {
            int n;
            try {
                n = readArrived(buffer, 0, buffer.length, 0);
            } catch (IOException e) {
                end = SerialPortListener.End.CLOSED;
                break;
            }
            if (n == -1) {
                end = isClosed() ? SerialPortListener.End.CLOSED : removed() ? SerialPortListener.End.REMOVED
                        : SerialPortListener.End.HUNG_UP;
                break;
            }
            if (delimiter < 0) {
                delivery.received(Arrays.copyOf(buffer, n));
                continue;
            }
            int from = 0;
            for (int i = 0; i < n; i++) {
                if ((buffer[i] & 0xFF) != delimiter) continue;
                message.write(buffer, from, i + 1 - from);
                delivery.received(message.toByteArray());
                message.reset();
                from = i + 1;
            }
            message.write(buffer, from, n - from);
        }
        if (message.size() > 0) delivery.received(message.toByteArray());
        delivery.ended(end);
    }

    /** One listener's calls, in order and one at a time. */
    private static final class Delivery {
        private final SerialPort port;
        private final SerialPortListener listener;
        private final InOrder calls;

        Delivery(SerialPort port, SerialPortListener listener, java.util.concurrent.Executor executor) {
            this.port = port;
            this.listener = listener;
            calls = new InOrder(executor);
        }

        void received(byte[] data) {
            calls.call(() -> listener.received(port, data));
        }

        void ended(SerialPortListener.End why) {
            calls.call(() -> listener.ended(port, why));
        }
    }

    /**
     * Whether the port's device is gone from the system (a USB adapter unplugged),
     * rather than hung up: on Linux its node is removed a moment after the
     * hang-up, so a USB device is given up to 100 ms to go.
     */
    private boolean removed() {
        if (!PortInfo.linux() || NetworkPorts.url(name) != null) return false;
        String path = SerialDiagnostics.devicePath(name);
        if (path == null) return false;
        java.nio.file.Path device = PortInfo.target(java.nio.file.Paths.get(path));
        if (device.startsWith("/dev/pts")) return false; // its node goes with its far end: a hang-up
        // A device that may be going gets 100 ms, however busy the machine.
        for (long start = System.nanoTime(); System.nanoTime() - start < 100_000_000L;) {
            if (!java.nio.file.Files.exists(device)) return true;
            if (!PortInfo.mayBeUnplugged(device)) return false;
            try {
                Thread.sleep(1);
            } catch (InterruptedException e) {
                Thread.currentThread().interrupt();
                return false;
            }
        }
        return false;
    }

    /** One native read into {@code b} at {@code off}; the caller holds {@code reading}. */
    private int readNative(byte[] b, int off, int len, long timeout) {
        if (nativeTimeout != timeout) {
            Serial.commSetTimeout(handle, timeout);
            nativeTimeout = timeout;
        }
        if (off == 0) return Serial.commRead(handle, b, len);
        if (scratch.length < len) scratch = new byte[len];
        int n = Serial.commRead(handle, scratch, len);
        System.arraycopy(scratch, 0, b, off, n);
        return n;
    }

    private final class PortInputStream extends InputStream {
        /**
         * Always 0: the native calls cannot count the bytes waiting in the port
         * without taking them. A read returns as soon as one byte has arrived, with
         * what else has come by then, so a program need not ask first.
         */
        @Override
        public int available() {
            return 0;
        }

        @Override
        public int read() throws IOException {
            byte[] one = new byte[1];
            return read(one, 0, 1) == -1 ? -1 : one[0] & 0xFF;
        }

        @Override
        public int read(byte[] b, int off, int len) throws IOException {
            checkRange(off, len, b.length);
            return len == 0 ? 0 : readArrived(b, off, len, timeoutMillis);
        }

        @Override
        public void close() {
            SerialPort.this.close();
        }
    }

    private final class PortOutputStream extends OutputStream {
        @Override
        public void write(int b) throws IOException {
            SerialPort.this.write(new byte[] {(byte) b}, 0, 1);
        }

        @Override
        public void write(byte[] b, int off, int len) throws IOException {
            SerialPort.this.write(b, off, len);
        }

        @Override
        public void close() {
            SerialPort.this.close();
        }
    }
}
