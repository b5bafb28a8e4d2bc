package cz.qelvar;

import java.io.ByteArrayOutputStream;
import java.io.IOException;
import java.io.InputStream;
import java.net.ConnectException;
import java.net.InetAddress;
import java.net.InetSocketAddress;
import java.net.Socket;
import java.net.SocketTimeoutException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.util.List;
import java.util.concurrent.ExecutionException;
import java.util.concurrent.FutureTask;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.TimeoutException;
import java.util.regex.Matcher;
import java.util.regex.Pattern;

/** Ports on terminal servers (RFC 2217): their names, and why one will not open. */
final class NetworkPorts {
    /** How long the library gives a server to connect and negotiate, and check to answer. */
    static final int SECONDS = 5;

    private static final Pattern URL =
            Pattern.compile("(?i)rfc2217://(?:\\[([^\\]/]+)\\]|([^:/\\[\\]]+)):([0-9]{1,5})");
    private static final int IAC = 0xFF, SB = 0xFA, SE = 0xF0, WILL = 0xFB, DO = 0xFD, COM_PORT = 44;

    private NetworkPorts() {}

    /**
     * The URL a port name is, or that its entry (a regular file, never a device)
     * holds on its first line, as the library reads it; null for anything else.
     */
    static String url(String portName) {
        if (portName == null) return null;
        if (portName.regionMatches(true, 0, "rfc2217://", 0, 10)) return portName;
        String path = SerialDiagnostics.devicePath(portName);
        if (path == null) return null;
        Path file = Paths.get(path);
        if (!Files.isRegularFile(file)) return null;
        try (InputStream in = Files.newInputStream(file)) {
            String first = new String(Bytes.read(in, 4096), StandardCharsets.UTF_8).split("[\r\n]", 2)[0];
            return first.regionMatches(true, 0, "rfc2217://", 0, 10) ? first : null;
        } catch (IOException e) {
            return null;
        }
    }

    /** Why the network port NAME, which is URL, opens or not; true when it opens. */
    static boolean diagnose(String name, String url, List<String> lines) {
        return diagnose(name, url, lines, null);
    }

    /**
     * Opens the network port for {@link SerialPort#open}: its handle, or -1 with
     * the reason in lines. The open itself is the first try, and what is found
     * after it shares its bound, with a second at least: never the three tries
     * of 5 s that an open, a diagnosis and a second open would make.
     */
    static int open(String name, String url, List<String> lines) {
        int[] kept = {-1};
        diagnose(name, url, lines, kept);
        return kept[0];
    }

    /** As diagnose, keeping the port open in kept[0] when kept is given and it opens. */
    private static boolean diagnose(String name, String url, List<String> lines, int[] kept) {
        String label = name.equals(url) ? url : name + " (" + url + ")";
        Matcher m = URL.matcher(url);
        int port = m.matches() ? Integer.parseInt(m.group(3)) : 0;
        String host = m.matches() ? (m.group(1) != null ? m.group(1) : m.group(2)) : null;
        // The resolver has no deadline of its own: the lookup runs beside the
        // open, in a thread that may outlive the answer.
        FutureTask<InetAddress> lookup = new FutureTask<>(() -> InetAddress.getAllByName(host)[0]);
        long lookupEnds = System.nanoTime() + SECONDS * 1_000_000_000L;
        if (host != null) {
            Thread resolver = new Thread(lookup, "dorlesk-lookup");
            resolver.setDaemon(true);
            resolver.start();
        }
        long opening = System.nanoTime();
        if (kept != null) {
            kept[0] = Serial.commOpen(name);
            if (kept[0] != -1) return true;
            lines.add(label + " cannot be opened:");
        } else if (SerialDiagnostics.tryOpen(name, label, lines)) {
            return true;
        }
        // After an open that used its whole bound, the server has had its
        // seconds: what follows has one more to show which step failed.
        int bound = kept == null ? SECONDS * 1000
                : (int) Math.max(1000, SECONDS * 1000 + 1000 - (System.nanoTime() - opening) / 1_000_000);
        lookupEnds = Math.min(lookupEnds, System.nanoTime() + bound * 1_000_000L);
        if (port < 1 || port > 65535) {
            lines.add("  the URL is not rfc2217://HOST:PORT (HOST a name, an IPv4 address or [IPv6];"
                    + " PORT 1 to 65535).");
            return false;
        }
        String where = host + ":" + port;
        InetAddress address;
        try {
            address = lookup.get(Math.max(0, lookupEnds - System.nanoTime()), TimeUnit.NANOSECONDS);
        } catch (TimeoutException e) {
            lines.add("  the name " + host + " was not resolved within " + SECONDS + " s: the name lookup is"
                    + " what takes the time (the name servers in /etc/resolv.conf do not answer); give the"
                    + " address instead, or mend the resolver.");
            return false;
        } catch (ExecutionException | InterruptedException e) {
            lines.add("  the name " + host + " is not resolved: check its spelling, or give the address.");
            return false;
        }
        long probeEnds = System.nanoTime() + bound * 1_000_000L;
        try (Socket socket = new Socket()) {
            socket.connect(new InetSocketAddress(address, port), bound);
            lines.add(afterConnect(socket, where, probeEnds));
        } catch (ConnectException e) {
            lines.add("  " + where + " refused the connection: no server listens on that port (is ser2net"
                    + " running, with this port in its configuration?).");
        } catch (SocketTimeoutException e) {
            lines.add("  no answer from " + where + " within " + SECONDS + " s: the machine is down or"
                    + " unreachable, or a firewall drops the connection.");
        } catch (IOException e) {
            lines.add("  the connection to " + where + " failed: " + e.getMessage());
        }
        return false;
    }

    /** What the server says in its first seconds, against what the library needs. */
    private static String afterConnect(Socket socket, String where, long deadline) throws IOException {
        InputStream in = socket.getInputStream();
        ByteArrayOutputStream text = new ByteArrayOutputStream();
        boolean offered = false, closed = false, any = false;
        int state = 0, verb = 0; // 0 data, 1 after IAC, 2 after a verb, 3 in a subnegotiation, 4 IAC there
        while (!closed && text.size() < 4096) {
            long left = (deadline - System.nanoTime()) / 1_000_000;
            if (left <= 0) break;
            socket.setSoTimeout((int) left);
            int b;
            try {
                b = in.read();
            } catch (SocketTimeoutException e) {
                break;
            }
            if (b < 0) {
                closed = true;
                break;
            }
            any = true;
            switch (state) {
                case 0:
                    if (b == IAC) state = 1;
                    else text.write(b);
                    break;
                case 1:
                    verb = b;
                    state = b >= WILL ? 2 : b == SB ? 3 : 0;
                    if (b == IAC) text.write(b);
                    break;
                case 2:
                    // The server's offer of the option: a close soon after means "busy".
                    if (b == COM_PORT && (verb == DO || verb == WILL) && !offered) {
                        offered = true;
                        deadline = Math.min(deadline, System.nanoTime() + 1_000_000_000L);
                    }
                    state = 0;
                    break;
                case 3:
                    state = b == IAC ? 4 : 3;
                    break;
                default:
                    state = b == SE ? 0 : 3;
            }
        }
        String said = new String(text.toByteArray(), StandardCharsets.UTF_8).trim();
        String quote = said.isEmpty() ? "" : " (it said: \"" + said + "\")";
        if (closed && any) {
            return "  the server at " + where + " closed the connection at once" + quote + ": its port is"
                    + " in use by another client, or it takes no more connections.";
        }
        if (closed) return "  the server at " + where + " closed the connection at once, saying nothing.";
        if (!any) {
            return "  the server at " + where + " accepted the connection but said nothing within " + SECONDS
                    + " s: it is no RFC 2217 server (in ser2net the accepter must be telnet(rfc2217),tcp,...).";
        }
        if (!offered) {
            return "  negotiation refused: the server at " + where + " does not offer the COM port option"
                    + " (RFC 2217)" + quote + "; in ser2net the accepter must be telnet(rfc2217),tcp,...";
        }
        return "  the server at " + where + " offers the COM port option, but did not complete the"
                + " negotiation or answer the line settings within " + SECONDS + " s; try again.";
    }
}
