package cz.qelvar.test;

import java.nio.file.Files;

/**
 * SerialPort's guarantees (the methods of SerialPortTest that take a Wire) on
 * one kind of port, outside JUnit: the uart layer's VM runs it on its 8250
 * and FTDI pairs, the net layer on ser2net and on a server of the test's own.
 * Prints "ok" or "FAIL" for each and exits 1 when one failed.
 *   SerialPortSuite device NEAR_PORT FAR_DEVICE | rfc2217 | ser2net
 */
public final class SerialPortSuite {
    interface Guarantee {
        void check(Wire far) throws Exception;
    }

    public static void main(String[] args) throws Exception {
        String kind = args[0];
        java.util.Map<String, Guarantee> suite = new java.util.LinkedHashMap<>();
        suite.put("streamsCarryEveryByteValue", SerialPortTest::streamsCarryEveryByteValue);
        suite.put("timeOutsCountFromTheCall", SerialPortTest::timeOutsCountFromTheCall);
        suite.put("callsBesideAWaitingReadGoAtOnce", SerialPortTest::callsBesideAWaitingReadGoAtOnce);
        suite.put("aWaitingReadCostsNoCpu", SerialPortTest::aWaitingReadCostsNoCpu);
        suite.put("readLineHandsOverEachLineAsItArrives", SerialPortTest::readLineHandsOverEachLineAsItArrives);
        suite.put("eachWriteArrivesAsOneBlock", SerialPortTest::eachWriteArrivesAsOneBlock);
        suite.put("portsDoNotWaitForEachOther", SerialPortTest::portsDoNotWaitForEachOther);
        suite.put("closeEndsBlockedCallsInOtherThreads", SerialPortTest::closeEndsBlockedCallsInOtherThreads);
        suite.put("aListenerGetsWhatArrivesInOrderAndHearsTheEndOnce",
                far -> SerialPortTest.aListenerGetsWhatArrivesInOrderAndHearsTheEndOnce(far, false));
        suite.put("readsTimeOutHangUpAndTakeOffsets", SerialPortTest::readsTimeOutHangUpAndTakeOffsets); // hangs up
        int failed = 0;
        try (Wire far = wire(args)) {
            System.out.println("SerialPort's guarantees on " + far.port() + " (" + kind + ")");
            for (var guarantee : suite.entrySet()) {
                long started = System.nanoTime();
                try {
                    guarantee.getValue().check(far);
                    System.out.println("ok   " + guarantee.getKey() + " ("
                            + (System.nanoTime() - started) / 1_000_000 + " ms)");
                } catch (Throwable e) {
                    failed++;
                    System.out.println("FAIL " + guarantee.getKey() + ": " + e);
                    e.printStackTrace(System.out);
                }
            }
        } finally {
            if (NetChecks.server != null) NetChecks.server.destroyForcibly().waitFor();
            if (NetChecks.dir != null) new ProcessBuilder("rm", "-rf", NetChecks.dir.toString()).start().waitFor();
        }
        System.out.println(failed == 0 ? "all checks passed" : failed + " checks failed");
        System.exit(failed == 0 ? 0 : 1);
    }

    static Wire wire(String[] args) throws Exception {
        switch (args[0]) {
            case "device":
                cz.qelvar.PortInfo near = null;
                for (cz.qelvar.PortInfo p : cz.qelvar.SerialPort.ports()) if (args[1].equals(p.comName())) near = p;
                if (near == null) throw new IllegalStateException(args[1] + " is not there");
                return Pty.device(args[2], args[1], near.device(), near.kind() != cz.qelvar.PortInfo.Kind.USB_ADAPTER
                        ? null : "qemu's FTDI adapter takes bytes as fast as they come and ignores XOFF; a long"
                        + " write stops the VM instead of waiting");
            case "rfc2217":
                return new Rfc2217Device();
            case "ser2net":
                NetChecks.dir = Files.createTempDirectory("dorlesk-net");
                Pty device = new Pty();
                String url = NetChecks.startServer(device.slave);
                return new Wire() {
                    public String port() {
                        return url;
                    }

                    public int rate() {
                        return device.rate();
                    }

                    public void send(byte[] bytes) {
                        device.send(bytes);
                    }

                    public byte[] receive(int max, int timeoutMs) {
                        return device.receive(max, timeoutMs);
                    }

                    public byte[] receiveAny(int max, int timeoutMs) {
                        return device.receiveAny(max, timeoutMs);
                    }

                    /** The server goes (a terminal server keeps the connection when its device goes). */
                    public String hangUp() {
                        NetChecks.server.destroyForcibly();
                        return null;
                    }

                    public void close() {
                        device.close();
                    }
                };
            default:
                throw new IllegalArgumentException("no kind " + args[0]);
        }
    }
}
