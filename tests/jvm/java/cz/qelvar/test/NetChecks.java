package cz.qelvar.test;

import cz.qelvar.Serial;
import cz.qelvar.SerialDiagnostics;
import java.io.IOException;
import java.io.InputStream;
import java.net.DatagramSocket;
import java.net.InetAddress;
import java.net.InetSocketAddress;
import java.net.ServerSocket;
import java.net.Socket;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;

/**
 * Grouped checks of network ports against Debian's ser2net on 127.0.0.1, with a
 * pseudo-terminal behind it whose master this program holds: {@code NetChecks
 * DORLESK_JAR}. Each run has its own config, port and directory, and stops the
 * server it started. Exits 1 when a check failed.
 */
public final class NetChecks {
    static Process server;
    static Path dir;

    public static void main(String[] args) throws Exception {
        if (args[0].equals("write-and-exit")) {
            // A program that writes and ends without closing its port.
            int h = Serial.commOpen(args[1]);
            Serial.commSetBaud(h, "115200", "8N1");
            byte[] data = UartChecks.pattern(100_000, 11);
            System.out.println("wrote " + Serial.commWrite(h, data, data.length));
            System.exit(0);
        }
        dir = Files.createTempDirectory("dorlesk-net");
        try (Pty device = new Pty()) {
            String url = startServer(device.slave);
            transfers(url, device);
            for (String mode : new String[] {"quiet", "talking", "echoing", "quiet, exit without close", "slow"}) {
                closeAtTheLineRate(url, device, mode);
            }
            lineAndModemLines(url, device);
            serialPort(url, device);
            refusals(url);
            answersChecked();
            serialPortOnTheWire();
            commandFlood();
            terminal(args[0], url, device);
            terminalOptions(args[0], url, device);
            hangUp(url);
        } finally {
            server.destroyForcibly().waitFor();
            new ProcessBuilder("rm", "-rf", dir.toString()).start().waitFor();
        }
        System.out.println(UartChecks.failures == 0 ? "all checks passed" : UartChecks.failures + " checks failed");
        System.exit(UartChecks.failures == 0 ? 0 : 1);
    }

    static void expect(boolean ok, String what) {
        UartChecks.expect(ok, what);
    }

    /** ser2net on a free port of 127.0.0.1, in the foreground; its URL once it takes connections. */
    static String startServer(String device) throws Exception {
        for (int attempt = 0; attempt < 5; attempt++) {
            int port;
            try (ServerSocket probe = new ServerSocket(0, 1, InetAddress.getLoopbackAddress())) {
                port = probe.getLocalPort();
            }
            Path config = dir.resolve("ser2net.yaml");
            Files.writeString(config, "connection: &net\n"
                    + "  accepter: telnet(rfc2217),tcp,127.0.0.1," + port + "\n"
                    + "  connector: serialdev," + device + ",9600n81,local\n"
                    + "  options:\n    max-connections: 1\n");
            server = new ProcessBuilder("ser2net", "-n", "-c", config.toString(), "-P", dir + "/pid")
                    .redirectErrorStream(true).redirectOutput(dir.resolve("log").toFile()).start();
            for (int i = 0; i < 100 && server.isAlive(); i++) {
                try (Socket s = new Socket(InetAddress.getLoopbackAddress(), port)) {
                    Thread.sleep(100); // let it tear the probe's session down
                    return "rfc2217://127.0.0.1:" + port;
                } catch (IOException e) {
                    Thread.sleep(50);
                }
            }
            server.destroyForcibly().waitFor();
        }
        throw new IllegalStateException("ser2net did not start: " + Files.readString(dir.resolve("log")));
    }

    /** SerialPort on a network port: a line through its stream, a taken port's reason, a close from another thread. */
    static void serialPort(String url, Pty device) throws Exception {
        cz.qelvar.SerialPort port = cz.qelvar.SerialPort.open(url);
        port.setReadTimeout(java.time.Duration.ofSeconds(2));
        var lines = new java.io.BufferedReader(new java.io.InputStreamReader(port.getInputStream(),
                StandardCharsets.US_ASCII));
        long started = System.nanoTime();
        // Ended by \n alone: readLine may return at a \r before the \n has
        // come, and the later reads of the raw stream would find it.
        device.send("OK 1\n".getBytes(StandardCharsets.US_ASCII));
        String line = lines.readLine();
        long ms = (System.nanoTime() - started) / 1_000_000;
        expect("OK 1".equals(line) && ms < 500, "a line through SerialPort's stream, " + ms + " ms: " + line);
        port.getOutputStream().write("AT\r".getBytes(StandardCharsets.US_ASCII));
        expect(new String(device.receive(3, 2000), StandardCharsets.US_ASCII).equals("AT\r"),
                "SerialPort's stream writes reach the device");
        String taken;
        try {
            cz.qelvar.SerialPort.open(url).close();
            taken = "opened twice";
        } catch (cz.qelvar.SerialPortException e) {
            taken = e.getMessage();
        }
        expect(taken.contains("closed the connection at once"), "a second SerialPort.open says why: " + taken);
        var read = java.util.concurrent.Executors.newSingleThreadExecutor().submit(() -> {
            try {
                return "read " + port.getInputStream().read();
            } catch (java.io.IOException e) {
                return e.getMessage();
            }
        });
        Thread.sleep(300);
        started = System.nanoTime();
        port.close();
        String end = read.get(3, java.util.concurrent.TimeUnit.SECONDS);
        ms = (System.nanoTime() - started) / 1_000_000;
        expect(end.equals(url + " was closed") && ms < 2500, "a close ends a stream read blocked in another thread: "
                + end + " in " + ms + " ms");
    }

    /** 64 KiB each way, with runs of 0xFF (Telnet's IAC), intact; a close delivers what was written. */
    static void transfers(String url, Pty device) {
        byte[] data = UartChecks.pattern(65536, 7);
        for (int i = 0; i < data.length; i += 997) Arrays.fill(data, i, Math.min(i + 5, data.length), (byte) 0xFF);
        int h = Serial.commOpen(url);
        expect(h != -1, "commOpen(\"" + url + "\")");
        Serial.commSetTimeout(h, 5000);
        expect(Serial.commWrite(h, data, data.length) == data.length, "64 KiB written");
        // The device takes bytes as they come while the port closes.
        var receiving = java.util.concurrent.CompletableFuture.supplyAsync(() -> device.receive(data.length, 20000));
        Serial.commClose(h); // straight after the write: nothing reported written may be lost
        byte[] got = receiving.join();
        expect(Arrays.equals(got, data), "64 KiB with IAC runs reach the device intact through a close ("
                + got.length + " bytes)");
        h = Serial.commOpen(url);
        expect(h != -1, "reopened at once after the close");
        Serial.commSetTimeout(h, 5000);
        device.send(data);
        byte[] back = UartChecks.readFully(h, data.length);
        expect(Arrays.equals(back, data), "64 KiB with IAC runs come back intact (" + back.length + " bytes)");
        Serial.commClose(h);
    }

    /**
     * A device that takes bytes at the line's own pace (115200 baud: 11,520 a second),
     * quiet, sending status lines, or echoing: 100,000 bytes written and closed at once
     * all reach it, though the write reports them written long before they are sent.
     * And a slow one, taking 8,000 a second: ser2net flushes its device once it
     * has handed it all, and a pseudo-terminal tells no queue to wait for.
     */
    static void closeAtTheLineRate(String url, Pty device, String mode) throws Exception {
        device.receiveAny(1 << 20, 50); // what an earlier check left
        boolean exits = mode.endsWith("exit without close");
        int h = exits ? 0 : Serial.commOpen(url);
        expect(h != -1 && (exits || Serial.commSetBaud(h, "115200", "8N1") != 0), mode + " device: open at 115200");
        byte[] data = UartChecks.pattern(100_000, 11);
        long rate = mode.equals("slow") ? 8_000 : 11_520;
        long[] taken = {0};
        Thread line = new Thread(() -> {
            long start = System.nanoTime();
            while (taken[0] < data.length) {
                long owed = (System.nanoTime() - start) * rate / 1_000_000_000L - taken[0];
                byte[] got = device.receiveAny((int) Math.max(1, Math.min(owed, 1152)), 10);
                taken[0] += got.length;
                if (mode.equals("echoing") && got.length > 0) device.send(got);
                if (mode.equals("talking") && taken[0] / 2304 != (taken[0] - got.length) / 2304) {
                    device.send("status: all well\r\n".getBytes(StandardCharsets.US_ASCII));
                }
                if (got.length == 0 && System.nanoTime() - start > 40_000_000_000L) break;
                try {
                    Thread.sleep(10);
                } catch (InterruptedException e) {
                    return;
                }
            }
        });
        line.start();
        long started = System.nanoTime();
        int written;
        long writeMs, closeMs;
        if (exits) {
            Process p = new ProcessBuilder("java", "-Djava.library.path=" + System.getProperty("java.library.path"),
                    "-cp", System.getProperty("java.class.path"), NetChecks.class.getName(), "write-and-exit", url)
                    .redirectErrorStream(true).start();
            String said = new String(p.getInputStream().readAllBytes(), StandardCharsets.UTF_8).strip();
            p.waitFor();
            written = said.equals("wrote " + data.length) ? data.length : -1;
            writeMs = 0;
            closeMs = (System.nanoTime() - started) / 1_000_000;
        } else {
            written = Serial.commWrite(h, data, data.length);
            writeMs = (System.nanoTime() - started) / 1_000_000;
            Serial.commClose(h);
            closeMs = (System.nanoTime() - started) / 1_000_000 - writeMs;
        }
        line.join(30_000);
        long closeBound = rate < 11_520 ? 25_000 : 15_000;
        expect(written == data.length && taken[0] == data.length && closeMs < closeBound, mode + " device: 100,000"
                + " bytes reported written in " + writeMs + " ms reach it through a close of " + closeMs
                + " ms (" + taken[0] + " bytes)");
    }

    static String stty(String device) throws Exception {
        return UartChecks.run("stty", "-F", device, "-a");
    }

    /** The rate and stop bits reach the device; modem lines on a device that has none never hang. */
    static void lineAndModemLines(String url, Pty device) throws Exception {
        int h = Serial.commOpen(url);
        expect(Serial.commSetBaud(h, "19200", "8N2") != 0, "commSetBaud 19200 8N2 answered as asked");
        String line = stty(device.slave);
        expect(line.matches("(?s)speed 19200 .*(?<!-)cstopb.*"), "the device is at 19200 with two stop"
                + " bits: " + line.replaceAll("(?s);.*?(-?cstopb).*", " $1"));
        expect(Serial.commSetBaud(h, "2400", "8N1") != 0 && stty(device.slave).contains("speed 2400")
                && stty(device.slave).contains("-cstopb"), "commSetBaud 2400 8N1 reaches the device");
        long started = System.nanoTime();
        int rts = Serial.commRTS(h, false), dtr = Serial.commDTR(h, false);
        long ms = (System.nanoTime() - started) / 1_000_000;
        expect(rts == 1 && dtr == 1 && ms < 3000, "commRTS and commDTR off, unanswered by a pty's server, answer 1"
                + " in " + ms + " ms");
        Serial.commSetTimeout(h, 300);
        var threads = java.lang.management.ManagementFactory.getThreadMXBean();
        long cpu = threads.getCurrentThreadCpuTime();
        started = System.nanoTime();
        int n = Serial.commRead(h, new byte[10], 10);
        ms = (System.nanoTime() - started) / 1_000_000;
        long cpuMs = (threads.getCurrentThreadCpuTime() - cpu) / 1_000_000;
        expect(n == 0 && ms >= 290 && ms < 1500 && cpuMs < 30, "a read on a silent line returns after its 300 ms"
                + " time-out (" + ms + " ms), having used " + cpuMs + " ms of CPU");
        Serial.commClose(h);
    }

    /** What a user sees when a network port will not open. */
    static void refusals(String url) throws Exception {
        int h = Serial.commOpen(url);
        long started = System.nanoTime();
        int second = Serial.commOpen(url);
        long ms = (System.nanoTime() - started) / 1_000_000;
        expect(second == -1 && ms < 2000, "a second open of a taken port is refused in " + ms + " ms");
        String why = SerialDiagnostics.explain(url);
        System.out.println(why);
        expect(why.contains("closed the connection at once") && why.contains("Port already in use"),
                "check says the server closed at once, and what it said");
        Serial.commClose(h);
        // A COM entry holding the URL: listed without connecting, opened as the URL.
        Path entry = dir.resolve("COM7");
        Files.writeString(entry, url + "\n");
        String listed = tool("list", "--long");
        System.out.println(listed);
        expect(listed.contains("COM7") && listed.contains("network port " + url), "list --long shows COM7 as"
                + " a network port");
        expect(SerialDiagnostics.describe(url).contains("network port " + url), "describe says what a URL is: "
                + SerialDiagnostics.describe(url));
        String checked = tool("check", "COM7");
        expect(checked.equals("COM7 (" + url + ") opens."), "check COM7 opens it through the URL: " + checked);
        Files.setPosixFilePermissions(entry, java.nio.file.attribute.PosixFilePermissions.fromString("r--r--r--"));
        checked = tool("check", "COM7");
        expect(checked.equals("COM7 (" + url + ") opens."), "a COM entry holding the URL opens when the user may"
                + " read it but not write it: " + checked);
        String shouted = url.replace("rfc2217://", "RFC2217://");
        checked = tool("check", shouted);
        expect(checked.equals(shouted + " opens.") && SerialDiagnostics.describe(shouted).contains("network port"),
                "the scheme in capitals is the same port to check and describe: " + checked);
        try (ServerSocket silent = new ServerSocket(0, 1, InetAddress.getLoopbackAddress())) {
            String quiet = "rfc2217://127.0.0.1:" + silent.getLocalPort();
            started = System.nanoTime();
            h = Serial.commOpen(quiet);
            ms = (System.nanoTime() - started) / 1_000_000;
            expect(h == -1 && ms >= 4500 && ms < 8000, "a server that accepts and says nothing fails the open"
                    + " in " + ms + " ms");
        }
        int closed;
        try (ServerSocket gone = new ServerSocket(0, 1, InetAddress.getLoopbackAddress())) {
            closed = gone.getLocalPort();
        }
        String refused = "rfc2217://127.0.0.1:" + closed;
        started = System.nanoTime();
        h = Serial.commOpen(refused);
        ms = (System.nanoTime() - started) / 1_000_000;
        why = SerialDiagnostics.explain(refused);
        System.out.println(why);
        expect(h == -1 && ms < 1000 && why.contains("refused the connection"), "a refused connection fails the"
                + " open in " + ms + " ms, and check says so");
        // A server that closes without a byte is not called busy; one that offers
        // the option and then stalls is reported a second after its offer.
        try (ServerSocket mute = new ServerSocket(0, 4, InetAddress.getLoopbackAddress())) {
            serve(mute, new byte[0], true);
            why = SerialDiagnostics.explain("rfc2217://127.0.0.1:" + mute.getLocalPort());
            expect(why.contains("closed the connection at once, saying nothing.") && !why.contains("in use"),
                    "check on a server that closes without a byte: " + why);
        }
        try (ServerSocket stalls = new ServerSocket(0, 4, InetAddress.getLoopbackAddress())) {
            serve(stalls, new byte[] {(byte) 255, (byte) 251, 44}, false); // IAC WILL COM-PORT-OPTION
            started = System.nanoTime();
            why = SerialDiagnostics.explain("rfc2217://127.0.0.1:" + stalls.getLocalPort());
            ms = (System.nanoTime() - started) / 1_000_000;
            expect(why.contains("offers the COM port option, but did not complete") && ms < 8500,
                    "check on a server that stalls after its offer, " + ms + " ms (the open's 5 s and 1 s more): "
                    + why);
        }
        why = SerialDiagnostics.explain("rfc2217://no-such-host.invalid:2217");
        expect(why.contains("is not resolved"), "check says a name is not resolved");
        silentResolver();
    }

    /** Greets each connection with these bytes, then closes it or holds it until the server closes. */
    static void serve(ServerSocket server, byte[] greeting, boolean close) {
        Thread serving = new Thread(() -> {
            java.util.List<Socket> held = new java.util.ArrayList<>();
            try {
                while (true) {
                    Socket s = server.accept();
                    s.getOutputStream().write(greeting);
                    if (close) s.close();
                    else held.add(s);
                }
            } catch (IOException e) {
                // the server was closed
            }
        });
        serving.setDaemon(true);
        serving.start();
    }

    /**
     * A name server that never answers (10 s a try, two tries): the open's 5 s
     * cover the lookup, and check says that the lookup is what takes the time.
     */
    static void silentResolver() throws Exception {
        if (!UartChecks.run("id", "-u").equals("0") || !UartChecks.run("unshare", "-m", "true").isEmpty()) {
            System.out.println("SKIP net.checks silent resolver: needs root and a mount namespace");
            return;
        }
        Path conf = dir.resolve("resolv.conf");
        Files.writeString(conf, "nameserver 127.0.0.2\noptions timeout:10 attempts:2\n");
        try (DatagramSocket silent = new DatagramSocket(new InetSocketAddress("127.0.0.2", 53))) {
            long started = System.nanoTime();
            String out = UartChecks.run("unshare", "-m", "sh", "-c",
                    "mount --bind \"$0\" /etc/resolv.conf && exec \"$@\"", conf.toString(), "java",
                    "-Djava.library.path=" + System.getProperty("java.library.path"), "-cp",
                    System.getProperty("java.class.path"), "cz.qelvar.SerialTool", "check",
                    "rfc2217://plc.example.invalid:2217");
            long ms = (System.nanoTime() - started) / 1_000_000;
            System.out.println(out);
            expect(ms < 11000 && out.contains("cannot be opened") && out.contains("the name lookup is what takes"),
                    "a resolver that never answers: check ends after " + ms + " ms, naming the lookup");
        }
    }

    /** SerialTool in a JVM whose port directory is this run's. */
    static String tool(String... args) throws Exception {
        String[] command = {"env", "DORLESK_PORT_DIR=" + dir, "java",
            "-Djava.library.path=" + System.getProperty("java.library.path"), "-cp",
            System.getProperty("java.class.path"), "cz.qelvar.SerialTool"};
        String[] all = Arrays.copyOf(command, command.length + args.length);
        System.arraycopy(args, 0, all, command.length, args.length);
        return UartChecks.run(all);
    }

    /**
     * A server of our own: it mixes an overlong subnegotiation, stray commands and a
     * doubled IAC into its data, answers every rate as 1200 with a data byte ahead
     * of the answer, and counts the data it receives after a slow start, so that
     * the client's sends are cut, also between the two IACs of a 0xFF.
     */
    static void answersChecked() throws Exception {
        long[] received = {0, -1}; // data bytes, the last one
        StringBuilder negotiated = new StringBuilder(); // the client's WILL, WONT, DO and DONT
        try (ServerSocket fake = new ServerSocket(0, 1, InetAddress.getLoopbackAddress())) {
            Thread t = new Thread(() -> {
                try (Socket s = fake.accept()) {
                    var out = s.getOutputStream();
                    byte[] junk = new byte[300];
                    Arrays.fill(junk, (byte) 'x');
                    // Offers of ECHO (twice) and a request for TTYPE, to be declined once each.
                    out.write(new byte[] {-1, -3, 0, -1, -5, 0, -1, -3, 44, -1, -5, 1, -1, -5, 1, -1, -3, 24});
                    out.write(new byte[] {-1, -6, 44, 101});
                    out.write(junk); // an overlong subnegotiation: dropped whole
                    out.write(new byte[] {-1, -16, 'a', -1, -1, 'b', -1, -15, 'c'});
                    readTelnet(s.getInputStream(), new Client() {
                        @Override
                        public void data(int b) {
                            count(received, b);
                        }

                        @Override
                        public void command(int code, byte[] value) throws IOException, InterruptedException {
                            if (code == 1) out.write('Q');
                            answer(out, code, code == 1 ? new byte[] {0, 0, 4, (byte) 0xB0} : value);
                            if (code == 5) Thread.sleep(500); // the client's sends fill the socket
                        }

                        @Override
                        public void negotiation(int verb, int option) {
                            synchronized (negotiated) {
                                negotiated.append(verb).append(' ').append(option).append(';');
                            }
                        }
                    });
                } catch (IOException | InterruptedException e) {
                    // the client went
                }
            });
            t.start();
            int h = Serial.commOpen("rfc2217://127.0.0.1:" + fake.getLocalPort());
            expect(h != -1, "our server's odd stream opens");
            String asked = "";
            for (int i = 0; i < 40 && !asked.endsWith("252 24;"); i++) {
                Thread.sleep(50); // the server reads what the open sent
                synchronized (negotiated) {
                    asked = negotiated.toString();
                }
            }
            expect(asked.equals("251 0;253 0;251 44;254 1;252 24;"), "the client asks for BINARY both ways and"
                    + " the option, and declines ECHO and TTYPE once each: " + asked);
            Serial.commSetTimeout(h, 2000);
            byte[] data = new byte[3];
            int n = Serial.commRead(h, data, 3);
            expect(n == 3 && Arrays.equals(data, new byte[] {'a', (byte) 0xFF, 'b'}), "of its stream only"
                    + " 'a', 0xFF, 'b' are data: " + Arrays.toString(Arrays.copyOf(data, n)));
            Serial.commSetTimeout(h, 100);
            Serial.commRead(h, data, 3); // 'c'
            Serial.commRead(h, data, 3); // nothing: the next read goes to sleep at once
            expect(Serial.commSetBaud(h, "9600", "8N1") == 0, "commSetBaud 9600 fails when the server answers"
                    + " 1200");
            Serial.commSetTimeout(h, 3000);
            long started = System.nanoTime();
            n = Serial.commRead(h, data, 1);
            long ms = (System.nanoTime() - started) / 1_000_000;
            expect(n == 1 && data[0] == 'Q' && ms < 1000, "the byte that came with the answer is read next, in "
                    + ms + " ms");
            byte[] iacs = new byte[8 << 20];
            Arrays.fill(iacs, (byte) 0xFF);
            iacs[iacs.length - 1] = 'Z';
            expect(Serial.commWrite(h, iacs, iacs.length) == iacs.length, "8 MiB of 0xFF written");
            Serial.commClose(h);
            t.join(20000);
            expect(received[0] == iacs.length && received[1] == 'Z', "the server decodes exactly 8 MiB ending in"
                    + " 'Z' (" + received[0] + " bytes, the last " + received[1] + ")");
        }
    }

    /**
     * SerialPort's settings on the wire, through a server of our own that notes
     * each COM port command it is sent and answers it as asked, but every rate
     * as 1200: each line switch sends its own line's command, and a rate the
     * server does not take is an exception, not a success.
     */
    static void serialPortOnTheWire() throws Exception {
        List<String> heard = java.util.Collections.synchronizedList(new ArrayList<>());
        try (ServerSocket fake = new ServerSocket(0, 1, InetAddress.getLoopbackAddress())) {
            Thread t = new Thread(() -> {
                try (Socket s = fake.accept()) {
                    var out = s.getOutputStream();
                    out.write(new byte[] {-1, -3, 0, -1, -5, 0, -1, -3, 44}); // DO and WILL BINARY, DO COM-PORT
                    readTelnet(s.getInputStream(), (code, v) -> {
                        heard.add(code + ":" + (v.length == 1 ? Integer.toString(v[0]) : v.length == 4
                                ? Integer.toString(java.nio.ByteBuffer.wrap(v).getInt()) : Arrays.toString(v)));
                        answer(out, code, code == 1 ? new byte[] {0, 0, 4, (byte) 0xB0} : v);
                    });
                } catch (IOException | InterruptedException e) {
                    // the client went
                }
            });
            t.start();
            // By a name, which the lookup must resolve (from /etc/hosts: no DNS needed).
            try (cz.qelvar.SerialPort port = cz.qelvar.SerialPort.open("rfc2217://localhost:" + fake.getLocalPort())) {
                heard.clear();
                port.setRTS(false);
                port.setDTR(false);
                port.setRTS(true);
                port.setDTR(true);
                List<String> lines = new ArrayList<>(heard);
                expect(lines.equals(List.of("5:12", "5:9", "5:11", "5:8")), "setRTS and setDTR each switch their own"
                        + " line on the wire (RTS off 12, DTR off 9, RTS on 11, DTR on 8): " + lines);
                String refused;
                try {
                    port.setLine(9600, "8N1");
                    refused = "applied";
                } catch (cz.qelvar.SerialPortException e) {
                    refused = e.getMessage();
                }
                expect(refused.endsWith("refused 9600 8N1"), "setLine throws when the server keeps another rate: "
                        + refused);
            }
            t.join(5000);
        }
    }

    /** A server that answers the open, then sends nothing but commands, without end. */
    static void commandFlood() throws Exception {
        try (ServerSocket fake = new ServerSocket(0, 1, InetAddress.getLoopbackAddress())) {
            Thread t = new Thread(() -> {
                try (Socket s = fake.accept()) {
                    var out = s.getOutputStream();
                    out.write(new byte[] {-1, -3, 0, -1, -5, 0, -1, -3, 44});
                    for (int code = 101; code <= 104; code++) out.write(new byte[] {-1, -6, 44, (byte) code, 8, -1, -16});
                    byte[] nops = new byte[65536];
                    for (int i = 0; i < nops.length; i += 2) nops[i] = -1; // IAC NUL: a command that means nothing
                    while (true) out.write(nops);
                } catch (IOException e) {
                    // the client went
                }
            });
            t.start();
            int h = Serial.commOpen("rfc2217://127.0.0.1:" + fake.getLocalPort());
            Serial.commSetTimeout(h, 300);
            long started = System.nanoTime();
            int n = Serial.commRead(h, new byte[10], 10);
            long readMs = (System.nanoTime() - started) / 1_000_000;
            started = System.nanoTime();
            int set = Serial.commSetBaud(h, "9600", "8N1");
            long setMs = (System.nanoTime() - started) / 1_000_000;
            long[] linesMs = new long[4];
            for (int i = 0; i < 4; i++) {
                started = System.nanoTime();
                if (i < 2) Serial.commRTS(h, i == 0);
                else Serial.commDTR(h, i == 2);
                linesMs[i] = (System.nanoTime() - started) / 1_000_000;
            }
            started = System.nanoTime();
            Serial.commClose(h);
            long closeMs = (System.nanoTime() - started) / 1_000_000;
            expect(h != -1 && n == 0 && readMs < 1500 && set == 0 && setMs < 4500 && closeMs < 6000, "a flood of"
                    + " commands holds a 300 ms read " + readMs + " ms, an unanswered commSetBaud " + setMs
                    + " ms and commClose " + closeMs + " ms");
            expect(Arrays.stream(linesMs).max().getAsLong() < 4500, "and each unanswered commRTS and commDTR "
                    + Arrays.toString(linesMs) + " ms");
            t.join(5000);
        }
    }

    static void count(long[] received, int b) {
        received[0]++;
        received[1] = b;
    }

    /** What a server of our own hears of its client's Telnet stream. */
    interface Client {
        /** A COM port command (RFC 2217), its code and value. */
        void command(int code, byte[] value) throws IOException, InterruptedException;

        default void data(int b) {
        }

        default void negotiation(int verb, int option) {
        }
    }

    /** Reads a client's Telnet stream to its end, telling the listener what it carries. */
    static void readTelnet(InputStream stream, Client client) throws IOException, InterruptedException {
        var in = new java.io.BufferedInputStream(stream);
        var value = new java.io.ByteArrayOutputStream();
        int b, state = 0, code = 0, verb = 0;
        while ((b = in.read()) >= 0) {
            switch (state) {
                case 0 -> {
                    if (b == 255) state = 1;
                    else client.data(b);
                }
                case 1 -> {
                    verb = b;
                    if (b == 255) client.data(b);
                    state = b == 250 ? 2 : b > 250 && b != 255 ? 6 : 0;
                }
                case 2 -> state = 3; // the option
                case 3 -> {
                    code = b;
                    value.reset();
                    state = 4;
                }
                case 4 -> {
                    if (b == 255) state = 5;
                    else value.write(b);
                }
                case 5 -> {
                    state = b == 240 ? 0 : 4;
                    if (b == 240) client.command(code, value.toByteArray());
                    else value.write(b);
                }
                default -> {
                    client.negotiation(verb, b);
                    state = 0;
                }
            }
        }
    }

    /** The server's answer to a COM port command: code + 100 and the value. */
    static void answer(java.io.OutputStream out, int code, byte[] value) throws IOException {
        out.write(new byte[] {-1, -6, 44, (byte) (code + 100)});
        out.write(value);
        out.write(new byte[] {-1, -16});
    }

    /** term as a person drives it: type, see the device's answer, leave with Ctrl-]. */
    static void terminal(String jar, String url, Pty device) throws Exception {
        String socket = "dorlesk-net-" + ProcessHandle.current().pid();
        Path after = dir.resolve("stty-after-term");
        String command = "sh -c 'java -Djava.library.path=" + System.getProperty("java.library.path") + " -jar "
                + jar + " term " + url + " 9600; stty -a > " + after + "'";
        UartChecks.run("tmux", "-L", socket, "new-session", "-d", "-x", "120", "-y", "10", command);
        try {
            awaitPane(socket, "Ctrl-] leaves", "");
            UartChecks.run("tmux", "-L", socket, "send-keys", "-l", "AT");
            UartChecks.run("tmux", "-L", socket, "send-keys", "Enter");
            String typed = new String(device.receive(3, 3000), StandardCharsets.US_ASCII);
            expect(typed.equals("AT\r"), "term sends keys as typed, Enter as the CR a device expects: "
                    + typed.replace("\r", "\\r").replace("\n", "\\n"));
            device.send("OK from the device".getBytes(StandardCharsets.US_ASCII));
            String pane = awaitPane(socket, "OK from the device", "");
            expect(pane.contains("OK from the device") && !pane.contains("AT"), "term shows what arrives, and"
                    + " does not echo keys itself");
            // Ctrl-C is a key for the device, not a signal to term.
            UartChecks.run("tmux", "-L", socket, "send-keys", "C-c");
            byte[] interrupt = device.receive(1, 3000);
            expect(interrupt.length == 1 && interrupt[0] == 3, "Ctrl-C reaches the device as 0x03: "
                    + Arrays.toString(interrupt));
            UartChecks.run("tmux", "-L", socket, "send-keys", "C-]");
            boolean left = false;
            for (int i = 0; i < 50 && !left; i++) {
                Thread.sleep(100);
                left = !UartChecks.run("tmux", "-L", socket, "has-session").isEmpty();
            }
            byte[] afterLeaving = device.receiveAny(16, 300);
            expect(afterLeaving.length == 0, "the Ctrl-] that leaves does not reach the device: "
                    + Arrays.toString(afterLeaving));
            String restored = Files.exists(after) ? Files.readString(after) : "";
            expect(left && restored.matches("(?s).*[ ;]icanon .*") && restored.matches("(?s).*[ ;]echo .*"),
                    "Ctrl-] leaves term, and the terminal is as it was (canonical, echoing)");
        } finally {
            UartChecks.run("tmux", "-L", socket, "kill-server");
        }
    }

    /**
     * term's choices: what Enter sends, local echo, lines the device ends with a
     * bare CR each on a line of their own, Ctrl-T keys (DTR, RTS, a literal
     * Ctrl-]), a wait for the answer after piped input, and a one-line usage error.
     */
    static void terminalOptions(String jar, String url, Pty device) throws Exception {
        String socket = "dorlesk-net-options-" + ProcessHandle.current().pid();
        String java = "java -Djava.library.path=" + System.getProperty("java.library.path") + " -jar " + jar;
        UartChecks.run("tmux", "-L", socket, "new-session", "-d", "-x", "120", "-y", "12",
                java + " term --enter crlf --echo " + url + " 9600; sleep 30");
        try {
            String pane = awaitPane(socket, "Ctrl-] leaves", "");
            UartChecks.run("tmux", "-L", socket, "send-keys", "-l", "AT");
            UartChecks.run("tmux", "-L", socket, "send-keys", "Enter");
            String typed = new String(device.receive(4, 3000), StandardCharsets.US_ASCII);
            expect(typed.equals("AT\r\n"), "term --enter crlf sends Enter as CR LF: "
                    + typed.replace("\r", "\\r").replace("\n", "\\n"));
            device.send("OK\rNEXT\r".getBytes(StandardCharsets.US_ASCII));
            pane = awaitPane(socket, "NEXT", "");
            expect(pane.matches("(?s).*\nAT\s*\nOK\s*\nNEXT.*"), "--echo shows what is typed, and lines the"
                    + " device ends with a bare CR do not overwrite each other:\n" + pane);
            for (String key : new String[] {"d", "r"}) {
                UartChecks.run("tmux", "-L", socket, "send-keys", "C-t");
                UartChecks.run("tmux", "-L", socket, "send-keys", "-l", key);
            }
            pane = awaitPane(socket, "[RTS off]", "");
            expect(pane.contains("[DTR off]") && pane.contains("[RTS off]"), "Ctrl-T d and Ctrl-T r switch DTR"
                    + " and RTS, and say so");
            UartChecks.run("tmux", "-L", socket, "send-keys", "C-t");
            UartChecks.run("tmux", "-L", socket, "send-keys", "C-]");
            byte[] literal = device.receive(1, 3000);
            expect(literal.length == 1 && literal[0] == 0x1d, "Ctrl-T Ctrl-] sends Ctrl-] itself: "
                    + Arrays.toString(literal));
            UartChecks.run("tmux", "-L", socket, "send-keys", "C-]");
            expect(device.receiveAny(8, 300).length == 0, "and Ctrl-] alone is not sent");
        } finally {
            UartChecks.run("tmux", "-L", socket, "kill-server");
        }
        // Piped input: the answer that comes after its end is still shown.
        while (device.receiveAny(4096, 200).length > 0) continue; // what the session left
        Thread answering = new Thread(() -> {
            // Until ser2net has the device open, its far end reads as hung up.
            String asked = "";
            for (long t = System.nanoTime(); asked.length() < 5 && System.nanoTime() - t < 10_000_000_000L;) {
                byte[] got = device.receive(5 - asked.length(), 100);
                asked += new String(got, StandardCharsets.US_ASCII);
                try {
                    if (got.length == 0) Thread.sleep(5);
                } catch (InterruptedException e) {
                    return;
                }
            }
            if (asked.equals("ping\r")) {
                try {
                    Thread.sleep(200); // a device that takes its time
                } catch (InterruptedException e) {
                    return;
                }
                device.send("pong\r\n".getBytes(StandardCharsets.US_ASCII));
            }
        });
        answering.start();
        String out = UartChecks.run("sh", "-c", "printf 'ping\\r' | " + java + " term " + url + " 9600");
        answering.join();
        expect(out.contains("pong"), "printf 'ping\\r' | term waits for the answer: " + out);
        String usage = UartChecks.run("sh", "-c", java + " term --bogus " + url + "; echo \"exit $?\"");
        expect(usage.lines().count() == 2 && usage.startsWith("dorlesk: bad usage: term --bogus")
                && usage.endsWith("exit 2"), "bad usage is one line and exit 2: " + usage);
    }

    /** The pane once it shows what, or after 10 s; a pane that ends (term left) answers the last seen. */
    static String awaitPane(String socket, String what, String last) throws Exception {
        for (int i = 0; i < 100; i++) {
            String pane = UartChecks.run("tmux", "-L", socket, "capture-pane", "-p");
            if (pane.contains(what)) return pane;
            last = pane;
            Thread.sleep(100);
        }
        return last;
    }

    /** A server that goes away ends a waiting read at once. */
    static void hangUp(String url) throws Exception {
        int h = Serial.commOpen(url);
        Serial.commSetTimeout(h, 20000);
        new Thread(() -> {
            try {
                Thread.sleep(300);
                server.destroyForcibly();
            } catch (InterruptedException e) {
                Thread.currentThread().interrupt();
            }
        }).start();
        long started = System.nanoTime();
        int n = Serial.commRead(h, new byte[10], 10);
        long ms = (System.nanoTime() - started) / 1_000_000;
        expect(n == 0 && ms < 2000, "killing ser2net ends a read waiting for 20 s after " + ms + " ms");
        Serial.commClose(h);
    }
}
