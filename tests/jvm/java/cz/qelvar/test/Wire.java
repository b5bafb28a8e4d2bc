package cz.qelvar.test;

/**
 * A port under test and the device at its far end, as SerialPort's guarantee
 * suite sees them: a pseudo-terminal, a UART or adapter wired to another, or a
 * network port in front of a server.
 */
public interface Wire extends AutoCloseable {
    /** The name SerialPort.open takes for the near end. */
    String port() throws java.io.IOException;

    /** The rate both ends run at: a setting may be made again, never changed. */
    int rate();

    /** The device sends these bytes. */
    void send(byte[] bytes);

    /** Up to max bytes the device received, waiting at most timeoutMs for all of them. */
    byte[] receive(int max, int timeoutMs);

    /** What the device received, up to max bytes, waiting at most timeoutMs for the first. */
    byte[] receiveAny(int max, int timeoutMs);

    /** The device goes away; null once it has, or why this kind of port cannot show it. */
    String hangUp();

    /**
     * The device stops the port's sender, as with XOFF, so that a long write
     * waits in the driver where the hardware would otherwise take bytes as
     * fast as they come (qemu's UARTs do not pace them). False where the far
     * end need not: it stops taking bytes when it does not read.
     */
    default boolean holdTheSender() throws Exception {
        return false;
    }

    /** The device lets the sender go on (XON), after {@link #holdTheSender}. */
    default void releaseTheSender() {}

    /** Why no write can be made to wait on this port, or null. */
    default String whyNoWriteWaits() {
        return null;
    }

    @Override
    void close();

    /** DORLESK_TIME_SCALE: how much slower than usual this machine runs the test (a VM under TCG, say). */
    static double timeScale() {
        String scale = System.getenv("DORLESK_TIME_SCALE");
        return scale == null ? 1 : Math.max(1, Double.parseDouble(scale));
    }
}
