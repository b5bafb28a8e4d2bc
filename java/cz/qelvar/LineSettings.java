package cz.qelvar;

import java.util.Locale;

/**
 * The rates and frames that {@link Serial#commSetBaud} applies. The native call
 * keeps the line as it was for a text outside its table and still succeeds, so
 * a caller that states a rate must check it here first.
 */
final class LineSettings {
    static final String[] RATES = {"1200", "2400", "9600", "19200", "38400", "57600", "115200"};
    static final String TAKES = "rates " + String.join(" ", RATES)
            + "; frames of 5 to 8 data bits, parity N, E or O, and 1 or 2 stop bits, such as 8N1 or 7E1";

    private LineSettings() {}

    /** Why the library would not set this rate and frame, or null when it would. */
    static String refusal(String baud, String frame) {
        boolean rate = false;
        for (String r : RATES) rate |= r.equals(baud);
        String f = frame.toUpperCase(Locale.ROOT);
        boolean framed = f.length() == 3 && f.charAt(0) >= '5' && f.charAt(0) <= '8'
                && "NEO".indexOf(f.charAt(1)) >= 0 && (f.charAt(2) == '1' || f.charAt(2) == '2');
        if (rate && framed) return null;
        return (rate ? "" : "no rate " + baud + (framed ? "" : ", ")) + (framed ? "" : "no frame " + frame)
                + " here: the library takes " + TAKES;
    }
}
