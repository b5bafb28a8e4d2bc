package cz.qelvar;

import java.io.IOException;
import java.io.InputStream;
import java.io.OutputStream;
import java.time.Duration;
import java.util.Arrays;
import java.util.List;
import java.util.Objects;
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
 * one at a time, and so are writes, each moving one contiguous block.
 */
public final class SerialPort implements AutoCloseable {
    private static final long MAX_TIMEOUT = 0xFFFFFFFEL;

    private final String name;
    private final int handle;
    private final ReentrantLock reading = new ReentrantLock();
    private final ReentrantLock writing = new ReentrantLock();
    private final InputStream in = new PortInputStream();
    private final OutputStream out = new PortOutputStream();
    private volatile long timeoutMillis; // 0: none
    private long nativeTimeout = -1; // as last set on the port; guarded by reading
    private byte[] scratch = new byte[0]; // guarded by reading
    private boolean closed; // guarded by this
    private int users; // calls under way; guarded by this

    private SerialPort(String name, int handle) {
        this.name = name;
        this.handle = handle;
    }

    /**
     * The ports found when the library loaded, as {@link Serial#commEnumPorts}.
     *
     * @return their names, in ascending port number
     */
    public static List<String> list() {
        return List.of(Serial.commEnumPorts());
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
        int h = openNative(name);
        // A port that opens for the diagnosis was free a moment ago: try once more.
        if (h == -1) {
            String why = SerialDiagnostics.explain(name);
            h = openNative(name);
            if (h == -1) throw new SerialPortException(why);
        }
        // Writes untimed from the start, whatever time-outs the system held; each
        // read sets its own.
        Serial.commSetTimeout(h, 0);
        return new SerialPort(name, h);
    }

    // Opens and closes take turns with the ends of closes, so that a number a
    // close gave back is not reused while a call of the old port may still reach it.
    private static synchronized int openNative(String name) {
        return Serial.commOpen(name);
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
        enter();
        try {
            if (Serial.commSetBaud(handle, Integer.toString(baud), frame) == 0) {
                throw new SerialPortException(name + " refused " + baud + " " + frame);
            }
        } finally {
            leave();
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
        enter();
        try {
            if (call.apply(handle, on) == 0) {
                throw new SerialPortException(name + " refused to switch " + which + (on ? " on" : " off"));
            }
        } finally {
            leave();
        }
    }

    /**
     * Reads until {@code len} bytes have arrived or the time-out has run out.
     *
     * @param b where the bytes go
     * @param off where in {@code b} the first goes
     * @param len how many to read at most
     * @return the count read, fewer than {@code len} (0 when nothing came) when the time-out ran out
     * @throws SerialPortException when the port hung up, failed or was closed
     */
    public int read(byte[] b, int off, int len) throws SerialPortException {
        Objects.checkFromIndexSize(off, len, b.length);
        if (len == 0) return 0;
        enter();
        reading.lock();
        try {
            long started = System.nanoTime();
            int n = readNative(b, off, len, timeoutMillis);
            if (n == 0 && endedEarly(started)) throw new SerialPortException(ended());
            return n;
        } finally {
            reading.unlock();
            leave();
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
        Objects.checkFromIndexSize(off, len, b.length);
        enter();
        writing.lock();
        try {
            byte[] block = off == 0 ? b : Arrays.copyOfRange(b, off, off + len);
            int sent = Serial.commWrite(handle, block, len);
            while (sent > 0 && sent < len) {
                int more = Serial.commWrite(handle, Arrays.copyOfRange(block, sent, len), len - sent);
                if (more <= 0) break;
                sent += more;
            }
            if (sent < len) {
                throw new SerialPortException(name + " took " + sent + " of " + len + " bytes: it "
                        + (isClosed() ? "was closed" : "failed or hung up"));
            }
        } finally {
            writing.unlock();
            leave();
        }
    }

    /**
     * A stream whose read returns as soon as a byte has arrived, with what else
     * has arrived by then; throws {@link SerialPortTimeoutException} when the
     * time-out runs out with nothing; and returns -1 once the port hung up or was
     * closed. Closing it closes the port.
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
     * Closes the port; calls blocked in other threads end at once. A second close
     * does nothing.
     */
    @Override
    public void close() {
        synchronized (this) {
            if (closed) return;
            closed = true;
        }
        synchronized (SerialPort.class) {
            Serial.commClose(handle);
            // A call that had passed its check but not yet reached the port
            // fails there at once, since no open can take the number meanwhile.
            synchronized (this) {
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
        }
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

    private synchronized void enter() throws SerialPortException {
        checkOpen();
        users++;
    }

    private synchronized void leave() {
        if (--users == 0) notifyAll();
    }

    private String ended() {
        return name + (isClosed() ? " was closed" : " hung up or failed");
    }

    /**
     * An empty read that came back well before its time-out (or with none) was
     * ended by a hang-up, a failure or a close, not by the time-out.
     */
    private boolean endedEarly(long started) {
        long timeout = timeoutMillis;
        return timeout == 0 || System.nanoTime() - started < timeout * 500_000L;
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
        @Override
        public int read() throws IOException {
            byte[] one = new byte[1];
            return read(one, 0, 1) == -1 ? -1 : one[0] & 0xFF;
        }

        @Override
        public int read(byte[] b, int off, int len) throws IOException {
            Objects.checkFromIndexSize(off, len, b.length);
            if (len == 0) return 0;
            try {
                enter();
            } catch (SerialPortException e) {
                return -1;
            }
            reading.lock();
            try {
                // The natives wait for the whole count, so each wait is for what
                // is there or comes within the shortest time-out they have, or
                // else for one byte.
                long started = System.nanoTime();
                int n = readNative(b, off, len, 1);
                if (n > 0) return n;
                long timeout = timeoutMillis;
                long left = timeout == 0 ? 0 : Math.max(1, timeout - (System.nanoTime() - started) / 1_000_000);
                if (readNative(b, off, 1, left) == 0) {
                    if (endedEarly(started)) return -1;
                    throw new SerialPortTimeoutException(name + ": nothing arrived within " + timeout + " ms");
                }
                return len == 1 ? 1 : 1 + readNative(b, off + 1, len - 1, 1);
            } finally {
                reading.unlock();
                leave();
            }
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
