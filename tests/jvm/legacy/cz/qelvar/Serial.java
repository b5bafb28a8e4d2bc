package cz.qelvar;

/**
 * The class as an existing program ships it: instance methods, the time-out as
 * an int followed by an unused int, and the library from java.library.path.
 */
public class Serial {
    static {
        System.loadLibrary("Dorlesk");
    }

    public native String[] commEnumPorts();
    public native int commOpen(String name);
    public native int commClose(int handle);
    public native int commSetBaud(int handle, String baud, String frame);
    public native int commSetTimeout(int handle, int timeoutMillis, int unused);
    public native int commRead(int handle, byte[] buffer, int length);
    public native int commWrite(int handle, byte[] data, int length);
    public native int commRTS(int handle, boolean on);
    public native int commDTR(int handle, boolean on);
    public native boolean commRI(int handle);
    public native boolean commDCD(int handle);
}
