package cz.qelvar;

/**
 * Native serial-port access. A handle is the number {@link #commOpen} returned,
 * or -1 for no port.
 */
public final class Serial {
    static {
        System.loadLibrary("Dorlesk");
    }

    private Serial() {}

    /** Names of the COM ports present when the library was loaded, in ascending order. */
    public static native String[] commEnumPorts();

    /** Opens a port exclusively; returns its handle, or -1. */
    public static native int commOpen(String portName);

    /** Discards pending work and releases the port; always 0. */
    public static native int commClose(int handle);

    /**
     * Sets rate (such as "9600") and frame format (such as "8N1") and the fixed
     * flow-control policy; -1 for handle -1, 0 on failure, nonzero when applied.
     */
    public static native int commSetBaud(int handle, String baud, String format);

    /** Bounds every later read; 0 waits for the full count. Only the low 32 bits are used. */
    public static native int commSetTimeout(int handle, long timeoutMillis);

    /** Reads up to length bytes into buffer from index 0; returns the count read. */
    public static native int commRead(int handle, byte[] buffer, int length);

    /** Writes length bytes from the start of data; returns the count written. */
    public static native int commWrite(int handle, byte[] data, int length);

    /** Switches RTS; nonzero when applied. */
    public static native int commRTS(int handle, boolean on);

    /** Switches DTR; nonzero when applied. */
    public static native int commDTR(int handle, boolean on);

    /** Ring indicator; always true. */
    public static native boolean commRI(int handle);

    /** Carrier detect; always true. */
    public static native boolean commDCD(int handle);
}
