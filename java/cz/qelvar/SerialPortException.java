package cz.qelvar;

import java.io.IOException;

/**
 * A port could not be opened, refused a setting, failed, hung up or was used
 * after {@link SerialPort#close}. The message says which, and for a port that
 * does not open, why and what to do, as {@link SerialDiagnostics#explain} does.
 */
public class SerialPortException extends IOException {
    private static final long serialVersionUID = 1L;

    /**
     * @param message what went wrong, for the user
     */
    public SerialPortException(String message) {
        super(message);
    }
}
