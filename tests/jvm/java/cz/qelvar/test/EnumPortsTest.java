package cz.qelvar.test;

import static org.junit.jupiter.api.Assertions.*;

import cz.qelvar.Serial;
import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.List;
import org.junit.jupiter.api.AfterAll;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.Test;

/** The list is made once when the library loads; this class must load it first in its JVM. */
class EnumPortsTest {
    static final List<Pty> ptys = new ArrayList<>();

    @BeforeAll
    static void linkPortsThenLoad() throws IOException {
        Pty.freshPortDir();
        for (String name : new String[] {"COM3", "COM10", "COM100"}) {
            Pty p = new Pty();
            p.linkAs(name);
            ptys.add(p);
        }
    }

    @AfterAll
    static void release() {
        ptys.forEach(Pty::close);
    }

    @Test
    void listsThePortsFoundAtLoadInNumberOrderAndNothingAbove99() {
        assertArrayEquals(new String[] {"COM3", "COM10"}, Serial.commEnumPorts());
    }

    @Test
    void everyCallMakesANewArrayWithEqualContents() {
        String[] a = Serial.commEnumPorts();
        String[] b = Serial.commEnumPorts();
        assertNotSame(a, b);
        assertArrayEquals(a, b);
        a[0] = "changed";
        assertEquals("COM3", Serial.commEnumPorts()[0]);
    }

    @Test
    void aPortLinkedAfterLoadIsNotListed() throws IOException {
        Serial.commEnumPorts(); // loaded by now
        Pty late = new Pty();
        ptys.add(late);
        late.linkAs("COM5");
        assertArrayEquals(new String[] {"COM3", "COM10"}, Serial.commEnumPorts());
        // ...although it can be opened by name.
        int h = Serial.commOpen("COM5");
        assertNotEquals(-1, h);
        Serial.commClose(h);
    }

    /** Runs PrintPorts in a JVM of its own whose port directory is dir. */
    static String printPorts(Path dir) throws Exception {
        ProcessBuilder pb = new ProcessBuilder(
                Path.of(System.getProperty("java.home"), "bin", "java").toString(),
                "-Xcheck:jni",
                "-Djava.library.path=" + System.getProperty("java.library.path"),
                "-cp", System.getProperty("dorlesk.test.classpath"),
                "cz.qelvar.test.PrintPorts");
        pb.environment().put("DORLESK_PORT_DIR", dir.toString());
        pb.redirectErrorStream(true);
        Process p = pb.start();
        String out = new String(p.getInputStream().readAllBytes(), StandardCharsets.UTF_8);
        assertEquals(0, p.waitFor(), out);
        return out.strip();
    }

    @Test
    void anEmptyPortDirectoryGivesAnEmptyArray() throws Exception {
        Path empty = Files.createTempDirectory("dorlesk-empty");
        assertEquals("0 ports:", printPorts(empty));
        Files.delete(empty);
    }

    @Test
    void ninetyNinePortsAreListedWithoutAJniWarning() throws Exception {
        Path dir = Files.createTempDirectory("dorlesk-99");
        List<Pty> many = new ArrayList<>();
        try {
            for (int n = 1; n <= 100; n++) {
                Pty p = new Pty();
                many.add(p);
                Files.createSymbolicLink(dir.resolve("COM" + n), Path.of(p.slave));
            }
            String out = printPorts(dir); // under -Xcheck:jni, like this JVM
            assertFalse(out.contains("WARNING"), out);
            assertTrue(out.startsWith("99 ports: COM1 COM2 "), out);
            assertTrue(out.endsWith(" COM98 COM99"), out);
        } finally {
            many.forEach(Pty::close);
            try (var links = Files.list(dir)) {
                for (Path l : (Iterable<Path>) links::iterator) Files.delete(l);
            }
            Files.delete(dir);
        }
    }
}
