package cz.qelvar;

import java.io.InterruptedIOException;

/**
 * A read of a {@link SerialPort#getInputStream port's stream} ran out of its
 * time-out before a byte arrived, as {@link java.net.SocketTimeoutException} does
 * for a socket. The port stays open and usable.
 */
public class SerialPortTimeoutException extends InterruptedIOException {
    private static final long serialVersionUID = 1L;

    /**
     * @param message what timed out, and after how long
     */
    public SerialPortTimeoutException(String message) {
        super(message);
    }
}
