package cz.qelvar;

import java.io.File;
import java.io.IOException;
import java.io.InputStream;
import java.io.UncheckedIOException;
import java.nio.file.AccessDeniedException;
import java.nio.file.AtomicMoveNotSupportedException;
import java.nio.file.FileAlreadyExistsException;
import java.nio.file.FileSystemException;
import java.nio.file.FileSystems;
import java.nio.file.Files;
import java.nio.file.InvalidPathException;
import java.nio.file.LinkOption;
import java.nio.file.NoSuchFileException;
import java.nio.file.NotDirectoryException;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.nio.file.StandardCopyOption;
import java.nio.file.attribute.PosixFilePermission;
import java.nio.file.attribute.PosixFilePermissions;
import java.security.MessageDigest;
import java.security.NoSuchAlgorithmException;
import java.util.Arrays;
import java.util.Locale;
import java.util.Map;

/**
 * Loads the native library of {@link Serial}: first by its module name from
 * {@code java.library.path}, so that an installed library wins; otherwise the
 * binary this jar carries for the running OS and architecture, extracted into
 * a directory of the user's own named by the jar's version and the binary's hash.
 */
final class NativeLoader {
    static final String MODULE = "Dorlesk";
    private static final String RESOURCES = "/cz/qelvar/native/";
    static final String[] CARRIED = {
        "linux-x86_64", "linux-aarch64", "linux-armhf", "windows-x86", "windows-x86_64"};

    /** Where the library came from, for diagnostics. */
    static String origin = "not loaded";

    /**
     * Why the library did not load, or null: the class that loads it cannot be
     * used again after a failure, and only its first use hears the reason.
     */
    static volatile String failure;

    private NativeLoader() {}

    static void load() {
        try {
            find();
        } catch (UnsatisfiedLinkError | RuntimeException e) {
            failure = e.getMessage() != null ? e.getMessage() : e.toString();
            throw e;
        }
    }

    private static void find() {
        UnsatisfiedLinkError fromPath;
        try {
            System.loadLibrary(MODULE);
            origin = onLibraryPath();
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
            String which = isArm32(arch) && !hardFloat()
                    ? "a soft-float ARM JVM (" + os + " on " + arch + ", ABI "
                            + System.getProperty("sun.arch.abi", "unknown") + ")"
                    : os + " on " + arch;
            throw new UnsatisfiedLinkError("Dorlesk has no native library for " + which
                    + "; this jar carries " + String.join(", ", CARRIED) + "; " + tried);
        }
        String file = System.mapLibraryName(MODULE);
        byte[] binary;
        try (InputStream in = NativeLoader.class.getResourceAsStream(RESOURCES + platform + "/" + file)) {
            if (in == null) {
                throw new UnsatisfiedLinkError("Dorlesk: this jar lacks " + RESOURCES + platform
                        + "/" + file + " for " + os + " on " + arch + "; " + tried);
            }
            binary = Bytes.readAll(in);
        } catch (IOException e) {
            throw new UnsatisfiedLinkError("Dorlesk: could not read " + platform + "/" + file
                    + " from the jar: " + e + "; " + tried);
        }
        // A user with no home to cache in (a service's, whose home is
        // /nonexistent) gets a fresh directory of its own for this run.
        boolean forThisRun = cacheRootText() == null;
        String into = forThisRun ? "a new directory in " + System.getProperty("java.io.tmpdir")
                : cacheRootText();
        Path target;
        try {
            Path dir = forThisRun ? privateDirectory(runDirectory())
                    : privateDirectory(cacheRoot(), version() + "-" + sha256(binary).substring(0, 16), platform);
            target = dir.resolve(file);
            into = target.toString();
            extract(binary, target, false);
        } catch (IOException | UncheckedIOException | InvalidPathException e) {
            throw new UnsatisfiedLinkError("Dorlesk: could not extract the native library for "
                    + os + " on " + arch + " into " + into + ": " + describe(e) + "; " + tried);
        }
        try {
            System.load(target.toString());
        } catch (UnsatisfiedLinkError e) {
            if (noexec(target.getParent())) {
                throw new UnsatisfiedLinkError(noexecAdvice(target.getParent(), "the native library",
                        ", or install " + file + " on java.library.path", e.getMessage()));
            }
            throw e;
        } finally {
            // The library stays mapped; the run's directory goes with its file.
            if (forThisRun) {
                try {
                    Files.deleteIfExists(target);
                    Files.deleteIfExists(target.getParent());
                } catch (IOException e) {
                    // left for the system's cleaning of its temporary directory
                }
            }
        }
        origin = target.toString() + (forThisRun ? " (removed once loaded: there is no home to cache it in)" : "");
    }

    /**
     * A directory only this run knows: made at once with mode 0700 under a name
     * nobody can guess (as mkdtemp makes one) in the temporary directory, which
     * privateDirectory still checks as it checks a cache.
     */
    private static Path runDirectory() throws IOException {
        Path tmp = Paths.get(System.getProperty("java.io.tmpdir", "/tmp")).toAbsolutePath();
        return Files.createTempDirectory(tmp, "dorlesk-",
                PosixFilePermissions.asFileAttribute(PosixFilePermissions.fromString("rwx------")));
    }

    /**
     * The file System.loadLibrary took: the first directory of java.library.path
     * that holds the library's file, as it searches them.
     */
    private static String onLibraryPath() {
        String file = System.mapLibraryName(MODULE);
        for (String dir : System.getProperty("java.library.path", "").split(File.pathSeparator)) {
            Path candidate = Paths.get(dir.isEmpty() ? "." : dir, file);
            if (Files.isRegularFile(candidate)) return candidate.toAbsolutePath() + " (from java.library.path)";
        }
        return "java.library.path (" + System.getProperty("java.library.path") + ")";
    }

    /**
     * Whether dir lies on a mount that may not execute files, as the mount table
     * says: the system's own error (a failed mapping, a refused exec) names no cause.
     */
    static boolean noexec(Path dir) {
        try {
            String real = dir.toRealPath().toString();
            String best = "", options = "";
            for (String line : Files.readAllLines(Paths.get("/proc/self/mountinfo"))) {
                String[] f = line.split(" ");
                if (f.length < 6) continue;
                String point = f[4].replace("\\040", " ").replace("\\011", "\t").replace("\\134", "\\");
                boolean under = real.equals(point) || real.startsWith(point.equals("/") ? "/" : point + "/");
                // The last of equal mount points is the one on top.
                if (under && point.length() >= best.length()) {
                    best = point;
                    options = f[5];
                }
            }
            return Arrays.asList(options.split(",")).contains("noexec");
        } catch (IOException | RuntimeException e) {
            return false;
        }
    }

    static String noexecAdvice(Path dir, String what, String otherWay, String systemSaid) {
        return "Dorlesk: the file system of " + dir + " does not allow executing files (mounted"
                + " noexec), so " + what + " extracted there cannot be run; choose a directory"
                + " elsewhere with -Ddorlesk.native.dir=DIR or XDG_CACHE_HOME" + otherWay
                + "; the system said: " + systemSaid;
    }

    /** An exception's text with its reason: the file system's own ones carry only a path. */
    static String describe(Exception e) {
        if (!(e instanceof FileSystemException)) return e.getMessage();
        FileSystemException f = (FileSystemException) e;
        String why = f.getReason() != null ? f.getReason()
                : e instanceof AccessDeniedException ? "permission denied"
                : e instanceof NotDirectoryException ? "not a directory"
                : e instanceof NoSuchFileException ? "no such file or directory"
                : e instanceof FileAlreadyExistsException ? "exists and is not a directory"
                : e.getClass().getSimpleName();
        return f.getFile() + (f.getOtherFile() != null ? " -> " + f.getOtherFile() : "") + ": " + why;
    }

    /** The resource directory for an OS and architecture, or null when the jar carries none. */
    static String platform(String os, String arch) {
        String a = arch.toLowerCase(Locale.ROOT);
        boolean x64 = a.equals("amd64") || a.equals("x86_64");
        boolean x86 = a.equals("x86") || a.equals("i386") || a.equals("i486") || a.equals("i586")
                || a.equals("i686");
        if (os.startsWith("Linux") && x64) return "linux-x86_64";
        if (os.startsWith("Linux") && (a.equals("aarch64") || a.equals("arm64"))) return "linux-aarch64";
        // A soft-float JVM could not call a hard-float library.
        if (os.startsWith("Linux") && isArm32(a)) return hardFloat() ? "linux-armhf" : null;
        if (os.startsWith("Windows") && x64) return "windows-x86_64";
        if (os.startsWith("Windows") && x86) return "windows-x86";
        return null;
    }

    static boolean isArm32(String arch) {
        String a = arch.toLowerCase(Locale.ROOT);
        return a.equals("arm") || a.equals("armhf") || a.startsWith("armv7") || a.startsWith("armv6");
    }

    /**
     * Whether this 32-bit ARM JVM passes floating point in registers, as armhf code
     * expects: its ABI property when it has one, else the hard-float flag in its
     * own executable's ELF header.
     */
    static boolean hardFloat() {
        String abi = System.getProperty("sun.arch.abi", "");
        if (!abi.isEmpty()) return abi.endsWith("hf");
        try (InputStream in = Files.newInputStream(Paths.get("/proc/self/exe"))) {
            byte[] header = Bytes.read(in, 40);
            if (header.length < 40 || header[4] != 1) return false; // not a 32-bit ELF
            int flags = (header[36] & 0xff) | (header[37] & 0xff) << 8 | (header[38] & 0xff) << 16
                    | (header[39] & 0xff) << 24;
            return (flags & 0x400) != 0; // EF_ARM_ABI_FLOAT_HARD
        } catch (IOException | RuntimeException e) {
            return false;
        }
    }

    /**
     * Where extracted binaries go: {@code dorlesk.native.dir} (relative to the working
     * directory), else the user's own cache directory; null when there is no home to
     * put it in. Text, so that a name the file system's encoding cannot hold still
     * makes a message.
     */
    static String cacheRootText() {
        String dir = System.getProperty("dorlesk.native.dir", "");
        if (!dir.isEmpty()) return dir;
        String home = System.getProperty("user.home");
        if (System.getProperty("os.name", "").startsWith("Windows")) {
            String local = System.getenv("LOCALAPPDATA");
            return (local != null ? local : home) + "\\Dorlesk\\native";
        }
        // The XDG rules: a relative XDG_CACHE_HOME is invalid and ignored.
        String cache = System.getenv("XDG_CACHE_HOME");
        if (cache != null && cache.startsWith("/")) return cache + "/dorlesk";
        String h = homeText();
        return h != null ? h + "/.cache/dorlesk" : null;
    }

    /**
     * The user's home: user.home, else HOME. A uid with no passwd entry (a
     * container's) has user.home "?": never a place relative to the working directory.
     */
    private static String homeText() {
        for (String h : new String[] {System.getProperty("user.home"), System.getenv("HOME")}) {
            if (h != null && h.startsWith("/") && isDirectory(h)) return h;
        }
        return null;
    }

    /** A name the locale cannot spell counts as one: extracting then says why it fails. */
    private static boolean isDirectory(String path) {
        try {
            return Files.isDirectory(Paths.get(path));
        } catch (InvalidPathException e) {
            return true;
        }
    }

    static Path cacheRoot() throws IOException {
        String root = cacheRootText();
        if (root == null) {
            throw new IOException("there is no home directory to cache it in (user.home is "
                    + System.getProperty("user.home") + ", HOME is "
                    + (System.getenv("HOME") != null ? System.getenv("HOME") : "unset")
                    + "); set HOME or XDG_CACHE_HOME to an absolute directory, or choose one with"
                    + " -Ddorlesk.native.dir=DIR");
        }
        return Paths.get(root).toAbsolutePath();
    }

    /**
     * The directory {@code below} root, each level made with mode 0700 where missing.
     * Nothing is loaded or run from a place another user can change, as ssh's
     * StrictModes asks of its files: root and each level below it must belong to this
     * user and be writable by no one else, and every directory above root must belong
     * to this user or to root and, if others may write to it, be sticky (as /tmp is).
     * Inside a user namespace, an owner outside it shows as the overflow uid, root and
     * any other user of the host alike, and the owner of a directory may rename what
     * lies in it whatever its mode. Such an owner earns only the trust the user's home
     * already gives its ancestors (who could swap the home itself): one that is the
     * home or above it counts as root where no one else may write to it; any other is
     * refused.
     * Root is taken by its real path, so no link can be re-pointed after the check. On
     * Windows the user's local application data is their own.
     */
    static Path privateDirectory(Path root, String... below) throws IOException {
        boolean posix = FileSystems.getDefault().supportedFileAttributeViews().contains("unix");
        Path dir = root;
        make(dir, posix);
        if (posix) {
            dir = dir.toRealPath();
            Path home = realHome();
            for (Path up = dir.getParent(); up != null; up = up.getParent()) {
                check(up, home != null && home.startsWith(up) ? Level.HOME_OR_ABOVE : Level.ABOVE);
            }
            check(dir, Level.OWN);
        }
        for (String name : below) {
            dir = dir.resolve(name);
            make(dir, posix);
            if (posix) check(dir, Level.OWN);
        }
        return dir;
    }

    /** Where a directory stands: the user's own, above it, or the home or above that. */
    private enum Level { OWN, ABOVE, HOME_OR_ABOVE }

    private static Path realHome() {
        try {
            String h = homeText();
            return h != null ? Paths.get(h).toRealPath() : null;
        } catch (IOException | InvalidPathException e) {
            return null;
        }
    }

    private static void make(Path dir, boolean posix) throws IOException {
        if (Files.exists(dir, LinkOption.NOFOLLOW_LINKS)) return;
        try {
            if (posix) {
                Files.createDirectories(dir,
                        PosixFilePermissions.asFileAttribute(PosixFilePermissions.fromString("rwx------")));
            } else {
                Files.createDirectories(dir);
            }
        } catch (FileAlreadyExistsException e) {
            // made meanwhile by another start, or a file: judged by the check
        }
    }

    private static void check(Path dir, Level level) throws IOException {
        boolean above = level != Level.OWN;
        if (!Files.isDirectory(dir, LinkOption.NOFOLLOW_LINKS)) throw new IOException(dir + " is not a directory");
        Map<String, Object> a = Files.readAttributes(dir, "unix:uid,mode", LinkOption.NOFOLLOW_LINKS);
        int uid = (Integer) a.get("uid"), mode = (Integer) a.get("mode");
        int self = (Integer) Files.getAttribute(Paths.get("/proc/self"), "unix:uid");
        boolean outsider = uid == unmappedOwner();
        if (uid != self && !(above && (uid == 0 || outsider))) {
            throw new IOException(dir + " belongs to another user (uid " + uid + ")");
        }
        if (outsider && level != Level.HOME_OR_ABOVE) {
            throw new IOException(dir + " belongs to a user outside this user namespace (shown as uid "
                    + uid + "), who may be anyone and could swap what lies below it; choose a"
                    + " directory in your home, with -Ddorlesk.native.dir=DIR or XDG_CACHE_HOME");
        }
        boolean sticky = (mode & 01000) != 0;
        String modeText = Integer.toOctalString(mode & 07777);
        if ((mode & 022) != 0 && !(above && sticky)) {
            throw new IOException(dir + " can be written by other users (mode " + modeText + ")");
        }
        // The owner may rename what lies in a sticky directory, and an owner
        // outside this user namespace may be anyone, not only root.
        if ((mode & 022) != 0 && outsider) {
            throw new IOException(dir + " can be written by other users (mode " + modeText + ") and"
                    + " belongs to a user outside this user namespace (shown as uid " + uid + "), who"
                    + " may be anyone and could swap what lies below it; choose a directory below"
                    + " none that others may write, such as one in your home, with"
                    + " -Ddorlesk.native.dir=DIR or XDG_CACHE_HOME");
        }
    }

    /**
     * The overflow uid where it stands for owners outside this user namespace (as
     * root's {@code /} and {@code /tmp} appear inside one that maps only the user), or
     * -1 where it is a user of this namespace, as on the host, where it is nobody.
     */
    static int unmappedOwner() {
        try {
            // readString stops short on a proc file, which claims to be empty.
            long overflow = Long.parseLong(Files.readAllLines(Paths.get("/proc/sys/kernel/overflowuid")).get(0).trim());
            for (String line : Files.readAllLines(Paths.get("/proc/self/uid_map"))) {
                String[] f = line.trim().split("\\s+");
                long inside = Long.parseLong(f[0]), count = Long.parseLong(f[2]);
                if (overflow >= inside && overflow - inside < count) return -1;
            }
            return (int) overflow;
        } catch (IOException | RuntimeException e) {
            return -1;
        }
    }

    static String version() {
        String v = NativeLoader.class.getPackage().getImplementationVersion();
        return v != null ? v : "dev";
    }

    /**
     * Writes the binary unless an identical file is there, by an atomic rename, so that a
     * concurrent start never sees the file half written or missing. A file that differs
     * from the jar's copy, tampered with or cut short, is replaced, never used.
     */
    static void extract(byte[] binary, Path target, boolean executable) throws IOException {
        if (Files.isRegularFile(target, LinkOption.NOFOLLOW_LINKS) && Files.size(target) == binary.length
                && sha256(Files.readAllBytes(target)).equals(sha256(binary))
                && (!executable || Files.getPosixFilePermissions(target, LinkOption.NOFOLLOW_LINKS)
                        .contains(PosixFilePermission.OWNER_EXECUTE))) {
            return;
        }
        Path part = Files.createTempFile(target.getParent(), target.getFileName().toString(), ".part");
        try {
            Files.write(part, binary);
            if (executable) part.toFile().setExecutable(true, true);
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
