package cz.qelvar;

/**
 * Called with what a port receives, and once when it ends, by
 * {@link SerialPort#listen}. Calls for one port come in order, one at a time,
 * never overlapping, on the library's thread for the port or on the
 * {@code Executor} given. An exception thrown here goes to the thread's
 * uncaught-exception handler and delivery goes on.
 */
public interface SerialPortListener {
    /** Why a port's delivery ended. */
    enum End {
        /** The far end hung up, or the port failed (a network port's server went away, say). */
        HUNG_UP,
        /** The device was removed: a USB adapter unplugged. */
        REMOVED,
        /** The program closed the port. */
        CLOSED
    }

    /**
     * Bytes as they arrived: what came by the time the listener read, or one
     * whole message ending in the delimiter given to {@link SerialPort#listen}.
     *
     * @param port the port
     * @param data the bytes, the listener's to keep
     */
    void received(SerialPort port, byte[] data);

    /**
     * The port's delivery ended, and nothing more comes. Called once, last. A
     * message cut short by the end comes before it, without its delimiter.
     *
     * @param port the port
     * @param why why it ended
     */
    default void ended(SerialPort port, End why) {}
}
