package cz.qelvar;

import java.io.ByteArrayOutputStream;
import java.io.IOException;
import java.io.InputStream;

/** A stream read whole, or up to a count: calls Java 8 does not have. */
final class Bytes {
    private Bytes() {}

    /** Everything up to the end of the stream. */
    static byte[] readAll(InputStream in) throws IOException {
        return read(in, Integer.MAX_VALUE);
    }

    /** Up to max bytes, fewer only at the end of the stream. */
    static byte[] read(InputStream in, int max) throws IOException {
        ByteArrayOutputStream out = new ByteArrayOutputStream();
        byte[] buffer = new byte[8192];
        for (int n; out.size() < max && (n = in.read(buffer, 0, Math.min(buffer.length, max - out.size()))) > 0;) {
            out.write(buffer, 0, n);
        }
        return out.toByteArray();
    }
}
