package cz.qelvar.test;

import java.io.ByteArrayOutputStream;
import java.io.IOException;
import java.io.OutputStream;
import java.net.InetAddress;
import java.net.ServerSocket;
import java.net.Socket;

/**
 * A network port on an RFC 2217 server of the test's own, which is the device
 * itself: it answers every COM port command as asked, keeps what it receives in
 * a buffer of a device's size (a client that outruns it waits), and hangs up by
 * closing the connection. One connection at a time, as a terminal server takes.
 */
public final class Rfc2217Device implements Wire {
    static final int BUFFER = 64 * 1024;

    private final ServerSocket server;
    private final ByteArrayOutputStream received = new ByteArrayOutputStream();
    private Socket client;

    public Rfc2217Device() throws IOException {
        server = new ServerSocket();
        server.setReceiveBufferSize(BUFFER); // a terminal server's, not the loopback's tens of megabytes
        server.bind(new java.net.InetSocketAddress(InetAddress.getLoopbackAddress(), 0), 4);
        Thread serving = new Thread(this::serve, "rfc2217-device");
        serving.setDaemon(true);
        serving.start();
    }

    private void serve() {
        while (true) {
            try (Socket s = server.accept()) {
                s.setTcpNoDelay(true); // answers go at once, as a terminal server's do
                synchronized (this) {
                    client = s;
                    received.reset();
                }
                OutputStream out = s.getOutputStream();
                synchronized (out) {
                    out.write(new byte[] {-1, -3, 0, -1, -5, 0, -1, -3, 44}); // DO and WILL BINARY, DO COM-PORT
                }
                NetChecks.readTelnet(s.getInputStream(), new NetChecks.Client() {
                    @Override
                    public void command(int code, byte[] value) throws IOException {
                        java.io.ByteArrayOutputStream answer = new java.io.ByteArrayOutputStream();
                        NetChecks.answer(answer, code, value);
                        synchronized (out) {
                            out.write(answer.toByteArray()); // in one piece
                        }
                    }

                    @Override
                    public void data(int b) {
                        take(b);
                    }
                });
            } catch (IOException | InterruptedException e) {
                if (server.isClosed()) return;
            }
        }
    }

    private synchronized void take(int b) {
        try {
            while (received.size() >= BUFFER) wait(); // a device's buffer: the client's writes wait
        } catch (InterruptedException e) {
            Thread.currentThread().interrupt();
        }
        received.write(b);
        notifyAll();
    }

    @Override
    public String port() {
        return "rfc2217://127.0.0.1:" + server.getLocalPort();
    }

    @Override
    public int rate() {
        return 115200;
    }

    @Override
    public void send(byte[] bytes) {
        Socket s;
        synchronized (this) {
            s = client;
        }
        ByteArrayOutputStream escaped = new ByteArrayOutputStream();
        for (byte b : bytes) {
            escaped.write(b);
            if (b == -1) escaped.write(b);
        }
        try {
            OutputStream out = s.getOutputStream();
            synchronized (out) {
                out.write(escaped.toByteArray());
            }
        } catch (IOException | NullPointerException e) {
            throw new IllegalStateException("no client to send to", e);
        }
    }

    @Override
    public byte[] receive(int max, int timeoutMs) {
        return take(max, timeoutMs, false);
    }

    @Override
    public byte[] receiveAny(int max, int timeoutMs) {
        return take(max, timeoutMs, true);
    }

    private synchronized byte[] take(int max, int timeoutMs, boolean anyAtAll) {
        long end = System.nanoTime() + timeoutMs * 1_000_000L;
        try {
            for (long left; received.size() < (anyAtAll ? 1 : max) && (left = end - System.nanoTime()) > 0;) {
                wait(Math.max(1, left / 1_000_000));
            }
        } catch (InterruptedException e) {
            Thread.currentThread().interrupt();
        }
        byte[] all = received.toByteArray();
        int n = Math.min(max, all.length);
        received.reset();
        received.write(all, n, all.length - n);
        notifyAll();
        return java.util.Arrays.copyOf(all, n);
    }

    @Override
    public String hangUp() {
        try {
            synchronized (this) {
                client.close();
            }
        } catch (IOException e) {
            throw new IllegalStateException(e);
        }
        return null;
    }

    @Override
    public void close() {
        try {
            server.close();
            hangUp();
        } catch (IOException | RuntimeException e) {
            // already gone
        }
    }
}
