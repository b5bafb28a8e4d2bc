package cz.qelvar;

import java.io.IOException;
import java.io.InputStream;
import java.io.UncheckedIOException;
import java.nio.file.AtomicMoveNotSupportedException;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.nio.file.StandardCopyOption;
import java.security.MessageDigest;
import java.security.NoSuchAlgorithmException;
import java.util.Locale;

/**
 * Loads the native library of {@link Serial}: first by its module name from
 * {@code java.library.path}, so that an installed library wins; otherwise the
 * binary this jar carries for the running OS and architecture, extracted into
 * a per-user directory named by the jar's version and the binary's hash.
 */
final class NativeLoader {
    static final String MODULE = "Dorlesk";
    private static final String RESOURCES = "/cz/qelvar/native/";
    private static final String[] CARRIED = {"linux-x86_64", "windows-x86", "windows-x86_64"};

    /** Where the library came from, for diagnostics. */
    static String origin = "not loaded";

    private NativeLoader() {}

    static void load() {
        UnsatisfiedLinkError fromPath;
        try {
            System.loadLibrary(MODULE);
            origin = "java.library.path (" + System.getProperty("java.library.path") + ")";
            return;
        } catch (UnsatisfiedLinkError e) {
            fromPath = e;
        }
        String os = System.getProperty("os.name", "?");
        String arch = System.getProperty("os.arch", "?");
        String platform = platform(os, arch);
        String tried = "tried java.library.path (" + System.getProperty("java.library.path")
                + "): " + fromPath.getMessage();
        if (platform == null) {
            throw new UnsatisfiedLinkError("Dorlesk has no native library for " + os + " on "
                    + arch + "; this jar carries " + String.join(", ", CARRIED) + "; " + tried);
        }
        String file = System.mapLibraryName(MODULE);
        Path target = null;
        try (InputStream in = NativeLoader.class.getResourceAsStream(RESOURCES + platform + "/" + file)) {
            if (in == null) {
                throw new UnsatisfiedLinkError("Dorlesk: this jar lacks " + RESOURCES + platform
                        + "/" + file + " for " + os + " on " + arch + "; " + tried);
            }
            byte[] binary = in.readAllBytes();
            Path dir = cacheRoot().resolve(version() + "-" + sha256(binary).substring(0, 16))
                    .resolve(platform);
            target = dir.resolve(file);
            extract(binary, target);
            System.load(target.toString());
            origin = target.toString();
        } catch (IOException | UncheckedIOException e) {
            throw new UnsatisfiedLinkError("Dorlesk: could not extract the native library for "
                    + os + " on " + arch + " into " + (target == null ? cacheRoot() : target)
                    + ": " + e + "; " + tried);
        }
    }

    /** The resource directory for an OS and architecture, or null when the jar carries none. */
    static String platform(String os, String arch) {
        String a = arch.toLowerCase(Locale.ROOT);
        boolean x64 = a.equals("amd64") || a.equals("x86_64");
        boolean x86 = a.equals("x86") || a.equals("i386") || a.equals("i486") || a.equals("i586")
                || a.equals("i686");
        if (os.startsWith("Linux") && x64) return "linux-x86_64";
        if (os.startsWith("Windows") && x64) return "windows-x86_64";
        if (os.startsWith("Windows") && x86) return "windows-x86";
        return null;
    }

    /** A directory of the user's own, never a temporary name another user could take. */
    static Path cacheRoot() {
        String dir = System.getProperty("dorlesk.native.dir");
        if (dir != null) return Paths.get(dir);
        String home = System.getProperty("user.home");
        if (System.getProperty("os.name", "").startsWith("Windows")) {
            String local = System.getenv("LOCALAPPDATA");
            return Paths.get(local != null ? local : home, "Dorlesk", "native");
        }
        String cache = System.getenv("XDG_CACHE_HOME");
        return (cache != null && cache.startsWith("/") ? Paths.get(cache) : Paths.get(home, ".cache"))
                .resolve("dorlesk");
    }

    static String version() {
        String v = NativeLoader.class.getPackage().getImplementationVersion();
        return v != null ? v : "dev";
    }

    /** Writes the binary unless an identical file is there, by a rename so no half file is seen. */
    private static void extract(byte[] binary, Path target) throws IOException {
        if (Files.isRegularFile(target) && Files.size(target) == binary.length
                && sha256(Files.readAllBytes(target)).equals(sha256(binary))) {
            return;
        }
        Files.createDirectories(target.getParent());
        Path part = Files.createTempFile(target.getParent(), target.getFileName().toString(), ".part");
        try {
            Files.write(part, binary);
            try {
                Files.move(part, target, StandardCopyOption.ATOMIC_MOVE, StandardCopyOption.REPLACE_EXISTING);
            } catch (AtomicMoveNotSupportedException e) {
                Files.move(part, target, StandardCopyOption.REPLACE_EXISTING);
            }
        } finally {
            Files.deleteIfExists(part);
        }
    }

    private static String sha256(byte[] data) {
        try {
            StringBuilder hex = new StringBuilder();
            for (byte b : MessageDigest.getInstance("SHA-256").digest(data)) {
                hex.append(String.format("%02x", b));
            }
            return hex.toString();
        } catch (NoSuchAlgorithmException e) {
            throw new IllegalStateException(e);
        }
    }
}
