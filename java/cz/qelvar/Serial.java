package cz.qelvar;

/**
 * Serial (COM) ports: listing, exclusive opening, line settings, synchronous
 * reads and writes with a read time-out, and the RTS and DTR lines. New
 * programs may prefer {@link SerialPort}: the same calls as an object to close,
 * exceptions that say what went wrong, and streams.
 *
 * <p>The native library, module name {@code Dorlesk}, is loaded when this class
 * is first used: from {@code java.library.path} if it is there, otherwise the
 * copy this jar carries for the running system ({@code linux-x86_64},
 * {@code linux-aarch64}, {@code linux-armhf}, {@code windows-x86},
 * {@code windows-x86_64}), extracted once per user.
 *
 * <p><b>Handles.</b> A port is named by the handle {@link #commOpen} returned, a
 * plain number; -1 means no port. Nothing is closed behind your back: close
 * what you open. On Windows a handle used after its port was closed may reach
 * a port opened later under the same number; on Linux it reaches nothing.
 *
 * <p><b>Results.</b> No method throws an exception of its own or writes a
 * message: every outcome is the returned value described with each method.
 *
 * <p><b>Threads.</b> Every method may be called from any thread and blocks only
 * the calling thread. Calls on different ports do not affect each other. On
 * Linux a {@link #commClose} from another thread ends a read or write blocked on
 * that port; it then returns what it had transferred.
 *
 * <p><b>Threads on Windows.</b> Windows runs the calls on one port one at a
 * time, in the order they come, each until it returns. A {@link #commRead}
 * waiting for its count holds every other call on that port until it returns:
 * a {@link #commWrite}, {@link #commSetBaud}, {@link #commRTS},
 * {@link #commDTR}, {@link #commSetTimeout} and {@link #commClose} from another
 * thread wait for it (each returned 401 ms after a 400 ms read began, in our
 * model of the rule), and a second read starts its own time-out only when its
 * turn comes. A read without a time-out holds the port until its count has
 * arrived, so a close cannot end it. Give reads a time-out no longer than the other
 * threads can wait, or use {@link SerialPort}, which keeps each wait short.
 *
 * <p><b>Port names on Linux.</b> A name that starts with {@code /} is a device
 * path ({@code /dev/ttyUSB0}). {@code COMn} (in any case) is
 * {@code $DORLESK_PORT_DIR/COMn} when that environment variable is set, and
 * otherwise: COM1 to COM32 are {@code /dev/ttyS0} to {@code /dev/ttyS31}, COM33
 * to COM64 {@code /dev/ttyUSB0} to {@code 31}, COM65 to COM96
 * {@code /dev/ttyACM0} to {@code 31}, COM97 to COM99 {@code /dev/ttyAMA0} to
 * {@code 2}. Opening a device needs read and write access to it, usually
 * membership of the {@code dialout} group. {@code rfc2217://HOST:PORT} is a
 * port on a terminal server (see {@link #commOpen}); a {@code COMn} entry in
 * {@code $DORLESK_PORT_DIR} may be a regular file whose first line is such a URL.
 */
public final class Serial {
    static {
        NativeLoader.load();
    }

    private Serial() {}

    /**
     * Lists the ports COM1 to COM99 that were present when the library was loaded.
     * The list is made once, without opening any device; a port that appears
     * later is not listed, and one that goes away stays listed. A port that
     * another program holds open is listed.
     *
     * @return a new array on every call, in ascending port number; empty when there
     *     are none; null only when the VM could not create it (its exception is then pending)
     */
    public static native String[] commEnumPorts();

    /**
     * Opens a port for exclusive reading and writing, with 1024-byte queues. The
     * rate and frame (data bits, parity, stop bits), time-outs and modem lines stay
     * as the system holds them until changed with {@link #commSetBaud},
     * {@link #commSetTimeout}, {@link #commRTS} and {@link #commDTR}; opening
     * raises DTR and RTS, as any open of a serial device does.
     *
     * <p>On Linux the open also sets what a Windows port always is: bytes pass
     * unchanged (raw: no echo, line editing, translation of line ends or software
     * flow control), the line ignores the modem's carrier ({@code clocal}), and
     * closing does not drop DTR ({@code -hupcl}). It asks the driver for its
     * low-latency mode (a USB adapter then hands over received bytes within 1 ms
     * rather than after its latency timer, 16 ms on FTDI chips) and gives the
     * mode back as it was on {@link #commClose}; drivers without the mode are
     * left as they are. The environment variable {@code DORLESK_LOW_LATENCY=0}
     * leaves it alone.
     *
     * <p>On Linux, {@code rfc2217://HOST:PORT} (HOST a name, an IPv4 address or
     * {@code [IPv6]}) opens a port on a terminal server, such as ser2net, over TCP
     * with the Telnet COM Port Control Option (RFC 2217). Looking up the
     * name, connecting and negotiating take at most 5 seconds in all; the rate
     * and frame start as the server reports them. Every other method works on it as on a local port:
     * {@link #commSetBaud} fails when the server answers another value than
     * asked, and {@link #commRTS} and {@link #commDTR} return 1 when the server
     * does not answer within half a second (a device without modem lines).
     * {@link #commClose} hands over what was written before it disconnects.
     *
     * @param portName a port name such as {@code COM3} (on Linux, see the class
     *     description); on Windows at most 95 bytes in modified UTF-8, on Linux a
     *     path of at most 4095 bytes in UTF-8
     * @return the port's handle, or -1 when the port does not exist, is held by
     *     anyone (this program included), is not a serial device, or the name is null
     *     or too long; for a network port, also when the server cannot be reached,
     *     closes at once (its port is taken) or does not speak RFC 2217 in time;
     *     {@link SerialDiagnostics#explain} says which, and what to do
     */
    public static native int commOpen(String portName);

    /**
     * Discards what is waiting to be sent or read, wakes any call blocked on the
     * port, and releases it so that it can be opened again. DTR is not dropped.
     *
     * @param handle a handle from {@link #commOpen}; -1 is ignored
     * @return 0, always
     */
    public static native int commClose(int handle);

    /**
     * Sets the rate and frame format, and always the same flow control: no
     * hardware or software handshaking, DTR and RTS switched on (so this undoes an
     * earlier {@link #commRTS} or {@link #commDTR} off).
     *
     * @param handle a handle from {@link #commOpen}
     * @param baud one of {@code "1200"}, {@code "2400"}, {@code "9600"},
     *     {@code "19200"}, {@code "38400"}, {@code "57600"}, {@code "115200"}, exactly;
     *     any other text (or null) keeps the port's rate
     * @param format three bytes, as the text reaches the library in the VM's
     *     modified UTF-8: data bits ({@code 5} to {@code 8}), parity ({@code E} or
     *     {@code e} even, {@code O} or {@code o} odd, anything else none) and stop
     *     bits ({@code 2} two, anything else one), such as {@code "8N1"}. Characters
     *     beyond ASCII, and U+0000, take two or three bytes each, and the bytes
     *     are read by position, so 7 followed by U+0000 is taken as 7N1 and the euro
     *     sign alone as 178 data bits, which the system refuses (and the rate
     *     asked with it is then not applied either). A text of another length in
     *     bytes (or null) keeps the port's frame.
     * @return -1 for the handle -1; 0 when the port's settings cannot be read or the
     *     system refuses the new ones (such as 9 data bits); nonzero when applied
     */
    public static native int commSetBaud(int handle, String baud, String format);

    /**
     * Bounds every later {@link #commRead} on the port: a read returns as soon as
     * the count asked for has arrived, or when the time-out has run out since it
     * was called, with whatever arrived by then. Reads on one port are served one
     * at a time, each taking a contiguous run of the stream; a read that waits
     * for another to finish spends its own time-out meanwhile, and returns 0 if it
     * runs out before its turn. A time-out of 0 switches time-outs off: reads
     * then wait for their turn and for the full count. Writes are never timed. Until this
     * is first called, a port keeps the time-outs the system holds for it (on
     * Linux: none, so reads wait for the full count).
     *
     * @param handle a handle from {@link #commOpen}
     * @param timeoutMillis the time-out in milliseconds; only the low 32 bits are
     *     used, as an unsigned number
     * @return 0 for the handle 0 (nothing is done); 1 otherwise
     */
    public static native int commSetTimeout(int handle, long timeoutMillis);

    /**
     * Reads bytes into {@code buffer} from index 0, waiting as
     * {@link #commSetTimeout} says. Elements from the returned count on are left
     * as they were. Never reads more than the array holds: what is not read stays
     * queued in the port.
     *
     * @param handle a handle from {@link #commOpen}
     * @param buffer where the bytes go
     * @param length how many bytes to read at most
     * @return the number of bytes read: 0 when nothing arrived in time, the port
     *     failed or hung up, {@code length} is 0 or negative, or {@code buffer} is null
     */
    public static native int commRead(int handle, byte[] buffer, int length);

    /**
     * Writes bytes from the start of {@code data}, waiting until the system has
     * taken them all. The array is not changed.
     *
     * @param handle a handle from {@link #commOpen}
     * @param data the bytes to send
     * @param length how many bytes to send; more than the array holds sends the whole array
     * @return the number of bytes written: 0 when the port failed, {@code length} is
     *     negative, or {@code data} is null
     */
    public static native int commWrite(int handle, byte[] data, int length);

    /**
     * Switches the RTS line on or off (ending any RTS handshaking).
     *
     * @param handle a handle from {@link #commOpen}
     * @param on true for on
     * @return 0 when the port's settings cannot be read (such as for -1) or the
     *     change is refused; nonzero when applied
     */
    public static native int commRTS(int handle, boolean on);

    /**
     * Switches the DTR line on or off (ending any DTR handshaking).
     *
     * @param handle a handle from {@link #commOpen}
     * @param on true for on
     * @return 0 when the port's settings cannot be read (such as for -1) or the
     *     change is refused; nonzero when applied
     */
    public static native int commDTR(int handle, boolean on);

    /**
     * The ring indicator. The line is not read.
     *
     * @param handle any handle; it is not checked
     * @return true, always
     */
    public static native boolean commRI(int handle);

    /**
     * Carrier detect. The line is not read.
     *
     * @param handle any handle; it is not checked
     * @return true, always
     */
    public static native boolean commDCD(int handle);
}
