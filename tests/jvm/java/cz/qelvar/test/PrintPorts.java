package cz.qelvar.test;

import cz.qelvar.Serial;

/** Prints what the library found at load, for tests that need a JVM of their own. */
public final class PrintPorts {
    public static void main(String[] args) {
        String[] ports = Serial.commEnumPorts();
        System.out.println(ports.length + " ports:" + (ports.length > 0 ? " " : "")
                + String.join(" ", ports));
    }
}
