package cz.qelvar;

/**
 * Told when serial devices appear and disappear, by {@link SerialPort#watchPorts}.
 * Calls come in order, one at a time, never overlapping. An exception thrown
 * here goes to the thread's uncaught-exception handler and the calls go on.
 */
public interface SerialPortsListener {
    /**
     * A port is there: one present when the watch began, or one plugged in since.
     *
     * @param port the port and who it is
     */
    void added(PortInfo port);

    /**
     * A port is gone: unplugged, or its entry removed.
     *
     * @param port the port as it was last seen, who it was included
     */
    void removed(PortInfo port);
}
